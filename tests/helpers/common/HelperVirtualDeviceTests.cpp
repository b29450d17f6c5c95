// The helpers with a virtual device of the plug-in: a hardware input captured into a device comes
// out of its input on the routed channels, and a monitor plays a device to the built-in output.
#include <gtest/gtest.h>

#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <sys/mman.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "HelperProgramSupport.h"

using namespace audiotest;
using namespace helpertest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

namespace {

tidewell::RuntimeDeviceControls Device(const std::string& uid, int64_t channels,
                                       std::vector<tidewell::RuntimeChannelRoute> routes) {
    return tidewell::RuntimeDeviceControls(uid, uid, "waveform.circle", channels, true, 1.0, {}, true, false, 1.0,
                                           std::move(routes));
}

bool DeviceAppears(const std::string& uid) {
    for (int i = 0; i < 100; ++i) {
        for (AudioObjectID id : DeviceIDs()) {
            if (StringProperty(id, kAudioDevicePropertyDeviceUID) == uid) {
                return true;
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The level of the loudest 0.2 s of a channel: a cycle missed under load does not decide it.
double BestLevel(const tools::AudioData& a, unsigned channel) {
    const size_t window = a.sampleRate / 5;
    double best = -400;
    for (size_t at = 0; at + window <= a.frames(); at += window / 8) {
        best = std::max(best, tools::rmsDbfs(a.samples.data() + at * a.channels, window, a.channels, channel));
    }
    return best;
}

// The pitch of a channel: the median of its dominant frequency over 0.25 s windows. A cycle the
// loaded server passes by leaves a gap whose phase step moves the peak of one long window, not the
// pitch of the tone around it.
double Pitch(const tools::AudioData& a, unsigned channel) {
    const size_t window = a.sampleRate / 4;
    std::vector<double> found;
    for (size_t at = 0; at + window <= a.frames(); at += window) {
        found.push_back(
            tools::dominantFrequency(a.samples.data() + at * a.channels, window, a.channels, channel, a.sampleRate));
    }
    if (found.empty()) {
        return 0;
    }
    std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
    return found[found.size() / 2];
}

class HelperVirtualDevice : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("TIDEWELL_PLUGIN_DIR");
        ASSERT_NE(dir, nullptr);
        setenv("AUDIOSERVER_PLUGIN_PATH", dir, 1);
        shm_unlink(TidewellRuntimeRegionName);
        server_ = std::make_unique<TestServer>();
    }
    void TearDown() override {
        server_.reset();
        shm_unlink(TidewellRuntimeRegionName);
    }
    std::unique_ptr<TestServer> server_;
};

TEST_F(HelperVirtualDevice, HardwareInputArrivesOnTheRoutedDeviceChannels) {
    tidewell::RuntimeControlStoreV3::publish({Device("tw.helpers.capture", 4, {{1, 1}, {2, 2}, {3, 3}, {4, 4}})},
                                             false);
    ASSERT_TRUE(DeviceAppears("tw.helpers.capture"));
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "997", "-12"}), 0);
    Child source({Program("tidewell-hardware-source")},
                 {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice", "TIDEWELL_SOURCE_OUTPUT_UID=tw.helpers.capture",
                  "TIDEWELL_SOURCE_ROUTES=1:3,2:4", "TIDEWELL_SOURCE_GAIN=0.5"});
    ASSERT_TRUE(source.waitFor("Press Ctrl-C to stop.", 30s)) << source.output();
    EXPECT_NE(source.output().find("with 2 route(s)"), std::string::npos) << source.output();
    std::this_thread::sleep_for(500ms);
    const std::string file = server_->dir() + "/captured.wav";
    std::string output;
    ASSERT_EQ(audiotest::Run({Program("audio-record"), "--device", "tw.helpers.capture", "--duration", "2", "--output", file},
                  &output),
              0)
        << output;
    const auto recorded = Tail(tools::readWav(file), 0.5);
    ASSERT_EQ(recorded.channels, 4u);
    for (unsigned ch : {2u, 3u}) {
        EXPECT_NEAR(BestLevel(recorded, ch), -12 + 20 * std::log10(0.5), 0.5) << "channel " << ch + 1;
        EXPECT_NEAR(tools::dominantFrequency(recorded.samples.data(), recorded.frames(), 4, ch, 48000), 997, 2);
    }
    for (unsigned ch : {0u, 1u}) {
        EXPECT_LT(BestLevel(recorded, ch), -90) << "channel " << ch + 1;
    }
    source.signal(SIGTERM);
    EXPECT_EQ(source.wait(20s), 0) << source.output();
}

TEST_F(HelperVirtualDevice, MonitorPlaysWhatWasPlayedIntoTheDevice) {
    tidewell::RuntimeControlStoreV3::publish({Device("tw.helpers.monitored", 2, {{1, 1}, {2, 2}})}, false);
    ASSERT_TRUE(DeviceAppears("tw.helpers.monitored"));
    Child player({Program("audio-play"), "--device", "tw.helpers.monitored", "--sine", "997", "--level", "-12"});
    ASSERT_TRUE(player.waitFor("audio-play: playing", 20s)) << player.output();
    Child monitor({Program("tidewell-monitor")},
                  {"TIDEWELL_MONITOR_INPUT_UID=tw.helpers.monitored", "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(monitor.waitFor("Press Ctrl-C to stop.", 30s)) << monitor.output();
    EXPECT_NE(monitor.output().find("Input backend: audio-device."), std::string::npos) << monitor.output();
    std::this_thread::sleep_for(300ms);
    const auto played = Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 2.0), 0.5);
    ASSERT_EQ(played.channels, 2u);
    for (unsigned ch : {0u, 1u}) {
        EXPECT_NEAR(BestLevel(played, ch), -12, 0.5) << "channel " << ch + 1;
        EXPECT_NEAR(Pitch(played, ch), 997, 1) << "channel " << ch + 1;
    }
    monitor.signal(SIGTERM);
    EXPECT_EQ(monitor.wait(20s), 0) << monitor.output();
    player.signal(SIGTERM);
    player.wait(10s);
}

}  // namespace
