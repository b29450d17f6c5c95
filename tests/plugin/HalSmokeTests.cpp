// tidewell-hal-smoke against a private audio server: its verdict follows what the plug-in's
// pass-thru device really carries back.
#include "TestServer.h"

#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdlib>
#include <string>
#include <thread>

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

const std::string kPassThruUID = "app.tidewell.passthru.main";

std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

bool WaitForDevice(const std::string& uid, bool present) {
    for (int i = 0; i < 150; ++i) {
        if ((DeviceByUID(uid) != 0) == present) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string Smoke() { return BinDir() + "/tidewell-hal-smoke"; }

class HalSmoke : public ::testing::Test {
protected:
    void SetUp() override { shm_unlink(TidewellRuntimeRegionName); }
    void TearDown() override {
        server_.reset();
        shm_unlink(TidewellRuntimeRegionName);
    }
    void StartServer(const std::string& pluginPath) {
        setenv("AUDIOSERVER_PLUGIN_PATH", pluginPath.c_str(), 1);
        server_ = std::make_unique<TestServer>();
    }
    std::unique_ptr<TestServer> server_;
};

TEST_F(HalSmoke, PassesWithTheLevelItCapturedWhenThePassThruDeviceLoops) {
    StartServer(std::getenv("TIDEWELL_PLUGIN_DIR"));
    ASSERT_TRUE(WaitForDevice(kPassThruUID, true));
    std::string out;
    EXPECT_EQ(audiotest::Run({Smoke()}, &out), 0) << out;
    size_t at = out.find("Captured RMS: ");
    ASSERT_NE(at, std::string::npos) << out;
    double level = std::strtod(out.c_str() + at + 14, nullptr);
    EXPECT_NEAR(level, -12.0, 0.5) << out;
}

// What a configured system publishes: the plug-in's own pass-thru device goes away, and the
// test must then check the devices the user made.
TEST_F(HalSmoke, PassesOnTheDevicesOfAConfiguredSystemWithTheirGains) {
    StartServer(std::getenv("TIDEWELL_PLUGIN_DIR"));
    tidewell::RuntimeControlStoreV3::publish(
        {tidewell::RuntimeDeviceControls("app.tidewell.devices.smoke-mix", "Podcast Mix", "waveform.circle", 2, true,
                                         0.5, {}, true, false, 1.0, {{1, 1}, {2, 2}}),
         tidewell::RuntimeDeviceControls("app.tidewell.devices.smoke-quiet", "Quiet", "waveform.circle", 2, true, 1.0,
                                         {}, true, true, 1.0, {{1, 1}})},
        false);
    ASSERT_TRUE(WaitForDevice("app.tidewell.devices.smoke-mix", true));
    ASSERT_TRUE(WaitForDevice(kPassThruUID, false));
    std::string out;
    EXPECT_EQ(audiotest::Run({Smoke()}, &out), 0) << out;
    size_t at = out.find("Captured RMS: ");
    ASSERT_NE(at, std::string::npos) << out;
    // Device gain 0.5: 6 dB under the tone played.
    EXPECT_NEAR(std::strtod(out.c_str() + at + 14, nullptr), -18.0, 0.5) << out;
    EXPECT_NE(out.find("Podcast Mix channel 2"), std::string::npos) << out;
    EXPECT_NE(out.find("not tested: Quiet is muted"), std::string::npos) << out;
}

TEST_F(HalSmoke, SaysSoInWordsWhenNoDeviceCanBeTested) {
    // The pass-thru device published muted: it is there, but nothing it plays may be heard.
    StartServer(std::getenv("TIDEWELL_PLUGIN_DIR"));
    tidewell::RuntimeControlStoreV3::publish(
        {tidewell::RuntimeDeviceControls(kPassThruUID, "Tidewell", "waveform.circle", 2, true, 1.0, {}, true, true, 1.0,
                                         {{1, 1}, {2, 2}})},
        false);
    ASSERT_TRUE(WaitForDevice(kPassThruUID, true));
    std::string out;
    EXPECT_EQ(audiotest::Run({Smoke()}, &out), 1) << out;
    EXPECT_EQ(out.find("Captured RMS: "), std::string::npos) << out;
    // The verdict is short enough for the diagnostics panel's two lines.
    EXPECT_EQ(LastLine(out), "Nothing to test: Tidewell is muted") << out;
}

TEST_F(HalSmoke, FailsWhenThePlugInIsNotLoaded) {
    TempDir empty;
    StartServer(empty.path());
    std::string out;
    EXPECT_EQ(audiotest::Run({Smoke()}, &out), 1) << out;
    EXPECT_EQ(out.find("Captured RMS: "), std::string::npos) << out;
    EXPECT_EQ(LastLine(out), "Tidewell is not in the audio server's device list") << out;
}

}  // namespace
