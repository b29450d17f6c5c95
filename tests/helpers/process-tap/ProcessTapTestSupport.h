// What the process-tap program tests share: a private audio server hosting the plug-in with one
// 8-channel virtual device, a player, a recorder, the source's control region and level checks.
#pragma once

#include <gtest/gtest.h>

#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellCore/SourceControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "HelperProgramSupport.h"
#include "RuntimeTestSupport.h"

namespace taptest {

using namespace audiotest;
using namespace helpertest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

inline const char* kProgram = "tidewell-process-tap";
inline const char* kDevice = "tw.tap.capture";

inline tidewell::RuntimeDeviceControls Device(const std::string& uid, int64_t channels) {
    std::vector<tidewell::RuntimeChannelRoute> routes;
    for (int64_t c = 1; c <= channels; ++c) {
        routes.push_back({c, c});
    }
    return tidewell::RuntimeDeviceControls(uid, uid, "waveform.circle", channels, true, 1.0, {}, true, false, 1.0,
                                           std::move(routes));
}

inline bool DeviceAppears(const std::string& uid) {
    for (int i = 0; i < 100; ++i) {
        if (DeviceByUID(uid) != 0) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

inline double Level(const tools::AudioData& a, unsigned channel, size_t from, size_t frames) {
    return tools::rmsDbfs(a.samples.data() + from * a.channels, frames, a.channels, channel);
}

// The level a tone holds at over `frames` from `from`: the median of its 10 ms windows, which
// a hole of a few lost cycles does not decide, while a wrong gain, in every window, does.
inline double SteadyLevel(const tools::AudioData& a, unsigned channel, size_t from, size_t frames) {
    return tools::steadyRmsDbfs(a.samples.data() + from * a.channels, frames, a.channels, channel, a.sampleRate / 100);
}

// The level of the loudest 0.2 s of a channel: a cycle missed under load does not decide it.
inline double BestLevel(const tools::AudioData& a, unsigned channel) {
    const size_t window = a.sampleRate / 5;
    double best = -400;
    for (size_t at = 0; at + window <= a.frames(); at += window / 8) {
        best = std::max(best, Level(a, channel, at, window));
    }
    return best;
}

// The source's control region, as the service publishes it.
inline void PublishSource(const std::string& id, double gain, bool muted = false) {
    using namespace tidewell::testing_support;
    tidewell::DeviceConfig device = makeDevice("tap-e2e", 8);
    device.sources = {makeSource(id, tidewell::SourceType::application, gain, muted)};
    tidewell::SourceControlStore::publish(makeSnapshot({device}));
}

// True when the stderr steps appear in this order.
inline bool InOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const auto& line : lines) {
        at = text.find(line, at);
        if (at == std::string::npos) {
            return false;
        }
        at += line.size();
    }
    return true;
}

inline std::string Step(const char* step) {
    return std::string("Tidewell process tap: ") + step + "\n";
}

class ProcessTapProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("TIDEWELL_PLUGIN_DIR");
        ASSERT_NE(dir, nullptr);
        setenv("AUDIOSERVER_PLUGIN_PATH", dir, 1);
        shm_unlink(TidewellRuntimeRegionName);
        server_ = std::make_unique<TestServer>();
        tidewell::RuntimeControlStoreV3::publish({Device(kDevice, 8)}, false);
        ASSERT_TRUE(DeviceAppears(kDevice));
    }
    void TearDown() override {
        server_.reset();
        shm_unlink(TidewellRuntimeRegionName);
        if (!sourceID_.empty()) {
            shm_unlink(tidewell::SourceControlStore::sharedMemoryName(sourceID_).c_str());
        }
    }
    std::unique_ptr<Child> Player(const std::string& bundleID = "org.example.player", double hz = 997) {
        auto player = std::make_unique<Child>(std::vector<std::string>{
            Program("audio-play"), "--bundle-id", bundleID, "--sine", std::to_string(hz), "--level", "-12"});
        EXPECT_TRUE(player->waitFor("audio-play: playing", 20s)) << player->output();
        return player;
    }
    std::string SourceID() {
        sourceID_ = "tap-e2e-" + std::to_string(getpid());
        return sourceID_;
    }
    tools::AudioData Record(const std::string& uid, double seconds) {
        const std::string file = server_->dir() + "/recorded.wav";
        std::string output;
        EXPECT_EQ(audiotest::Run({Program("audio-record"), "--device", uid, "--duration", std::to_string(seconds), "--output", file},
                      &output),
                  0)
            << output;
        return tools::readWav(file);
    }
    std::unique_ptr<TestServer> server_;
    std::string sourceID_;
};

}  // namespace taptest
