// Support for the tests of the plug-in hosted by audioserverd: runtime controls as the
// service publishes them, a fixture with its own server, an IO proc that plays a sine and
// records, and the meter regions as the application reads them.
#pragma once

#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace twserver {

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

inline const std::string kLegacyUID = "app.tidewell.passthru.main";

inline tidewell::RuntimeDeviceControls Controls(const std::string& uid, const std::string& name, int64_t channels,
                                         std::vector<tidewell::RuntimeChannelRoute> routes, double deviceGain = 1.0,
                                         std::vector<double> channelGains = {}, bool muted = false) {
    return tidewell::RuntimeDeviceControls(uid, name, "waveform.circle", channels, true, deviceGain, channelGains,
                                           true, muted, 1.0, std::move(routes));
}

// The best that `measure(start, frames)` finds over the 0.2 s windows of a recording. A cycle
// that a loaded machine misses drops one block of the player's audio; judging a clean stretch
// keeps a tight tolerance meaningful, and a fault that every window shows still fails.
template <typename Measure>
inline double BestWindow(const float* s, size_t frames, unsigned channels, Measure measure) {
    const size_t window = 9600;
    double best = -400;
    for (size_t at = 0; at + window <= frames; at += 1200) best = std::max(best, measure(s + at * channels, window));
    return best;
}

// The level of the loudest 0.2 s of one channel.
inline double BestLevel(const float* s, size_t frames, unsigned channels, unsigned ch) {
    return BestWindow(s, frames, channels,
                      [&](const float* w, size_t n) { return tools::rmsDbfs(w, n, channels, ch); });
}

// Waits up to `limit` for the predicate.
template <typename F>
inline bool Within(std::chrono::milliseconds limit, F predicate) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return predicate();
}

class HostedPlugIn : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* dir = std::getenv("TIDEWELL_PLUGIN_DIR");
        ASSERT_NE(dir, nullptr);
        setenv("AUDIOSERVER_PLUGIN_PATH", dir, 1);
    }
    void SetUp() override {
        shm_unlink(TidewellRuntimeRegionName);
        server_ = std::make_unique<TestServer>();
    }
    void TearDown() override {
        server_.reset();
        shm_unlink(TidewellRuntimeRegionName);
    }
    std::unique_ptr<TestServer> server_;
};

// Running, not a zombie that a signal ended.
inline bool ServerRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// An IO proc that plays a sine into the first output channel and records every input
// channel.
struct Loop {
    double frequency = 997, amplitude = 0.5, phase = 0;
    std::vector<float> recording = std::vector<float>(48000 * 8 * 6, 0.0f);
    std::atomic<size_t> written{0};
    std::atomic<uint32_t> channels{0};
    std::atomic<bool> play{true};
    std::atomic<bool> record{true};
};

inline OSStatus LoopProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                  AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto* l = static_cast<Loop*>(data);
    if (l->play && out->mNumberBuffers > 0) {
        AudioBuffer& b = out->mBuffers[0];
        uint32_t frames = b.mDataByteSize / (4 * b.mNumberChannels);
        auto* s = static_cast<float*>(b.mData);
        for (uint32_t i = 0; i < frames; ++i) {
            s[i * b.mNumberChannels] = static_cast<float>(l->amplitude * std::sin(l->phase));
            l->phase = std::fmod(l->phase + 2 * M_PI * l->frequency / 48000.0, 2 * M_PI);
        }
    }
    if (l->record && in->mNumberBuffers > 0) {
        const AudioBuffer& b = in->mBuffers[0];
        l->channels.store(b.mNumberChannels);
        size_t n = b.mDataByteSize / 4;
        size_t at = l->written.load();
        n = std::min(n, l->recording.size() - at);
        std::memcpy(l->recording.data() + at, b.mData, n * 4);
        l->written.store(at + n);
    }
    return 0;
}

// A hosted plug-in with a Loop that records a 2-channel device, for tests that do something
// to the server while it runs.
class LoopingPlugIn : public HostedPlugIn {
protected:
    // Lets the device run for at least `frames` more recorded frames and returns the frame
    // where that stretch began. Fails when the recording stops advancing: the server died.
    size_t record(size_t frames) {
        const size_t from = loop_.written.load() / 2;
        EXPECT_TRUE(Within(10s, [&] {
            return loop_.written.load() / 2 >= from + frames || !ServerRunning(server_->pid());
        }) && ServerRunning(server_->pid()))
            << "the recording stopped at frame " << loop_.written.load() / 2;
        return from;
    }
    float peak(size_t from, size_t to) const {
        float p = 0;
        for (size_t i = from; i < to; ++i) p = std::max(p, std::fabs(loop_.recording[i * 2]));
        return p;
    }

    Loop loop_;
};

// The shared-memory name of an owner's meter region.
inline std::string MeterRegionName(const std::string& owner) {
    char name[TidewellRegionNameCapacity];
    TidewellRegionFormatName(TidewellMeterNamePrefix, TidewellOwnerHash(owner.c_str()), name, sizeof name);
    return name;
}

// One channel's level as the application reads it; -1 without a region. The region must
// hold its first page.
inline float MeterLevel(const std::string& owner, uint32_t channel) {
    int fd = shm_open(MeterRegionName(owner).c_str(), O_RDONLY, 0);
    if (fd < 0) return -1.0f;
    void* m = mmap(nullptr, TidewellMeterSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return -1.0f;
    float v = TidewellRegionLoadFloat(m, offsetof(TidewellMeterRegion, levels) + 4 * channel);
    munmap(m, TidewellMeterSize);
    return v;
}

}  // namespace twserver
