// tidewell-monitor against a private audio server: it records an input device and plays it to an
// output, with its gains, and stops when the output's rate changes or the server restarts.
#include <gtest/gtest.h>

#include <csignal>

#include "HelperProgramSupport.h"

using namespace audiotest;
using namespace helpertest;
using namespace std::chrono_literals;

namespace {

const char* kProgram = "tidewell-monitor";

TEST(MonitorProgram, PlaysTheRecordedDeviceWithItsGains) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "500", "-14"}), 0);
    Child child({Program(kProgram)}, {"TIDEWELL_MONITOR_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice", "TIDEWELL_MONITOR_GAIN=0.5",
                                      "TIDEWELL_MONITOR_CHANNEL_GAINS=1,0", "TIDEWELL_MONITOR_ROUTES=1:1,2:2"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    const std::string report = child.output();
    EXPECT_NE(report.find("Monitoring BuiltInMicrophoneDevice (2 ch) to BuiltInOutputDevice (2 ch) with 2 route(s).\n"
                          "Sample-rate conversion: 48000 Hz -> 48000 Hz (identity).\n"
                          "Buffer frames: 192.\n"
                          "Input backend: audio-device.\n"
                          "Input format: 48000 Hz, 2 channels, flags="),
              std::string::npos)
        << report;
    const auto steady = Tail(CaptureOutput(server, "BuiltInOutputDevice", 1.5), 0.5);
    const auto channels = tidewell::tools::analyse(steady);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_NEAR(channels[0].dominantHz, 500, 2);
    EXPECT_NEAR(channels[0].steadyDbfs, -20.02, 0.5);
    EXPECT_LT(channels[1].rmsDbfs, -90);   // channel gain 0
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(20s), 0) << child.output();
    EXPECT_NE(child.output().find("Stopped monitor. captured="), std::string::npos);
}

TEST(MonitorProgram, DefaultOutputAndARunDuration) {
    TestServer server;
    const auto started = std::chrono::steady_clock::now();
    Child child({Program(kProgram), "1.5"}, {"TIDEWELL_MONITOR_INPUT_UID=BuiltInMicrophoneDevice",
                                             "TIDEWELL_MONITOR_SECONDS=60"});
    EXPECT_EQ(child.wait(30s), 0) << child.output();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_NE(child.output().find("to default output (2 ch)"), std::string::npos) << child.output();
}

TEST(MonitorProgram, OutputRateChangeEndsItWithStatusZero) {
    TestServer server;
    Child child({Program(kProgram)}, {"TIDEWELL_MONITOR_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "alter-device", "BuiltInOutputDevice", "--rate", "44100"}), 0);
    EXPECT_EQ(child.wait(30s), 0) << child.output();
    const std::string out = child.output();
    const auto changed = out.find("Monitor output device sample rate changed; restarting to renegotiate.\n");
    EXPECT_NE(changed, std::string::npos) << out;
    EXPECT_NE(out.find("Stopped monitor.", changed == std::string::npos ? 0 : changed), std::string::npos) << out;
}

// An output unplugged and plugged in again at another rate is a rate change too: the monitor says
// so and ends with status 0, for the service to start it afresh at the new rate.
TEST(MonitorProgram, AnOutputBackAtAnotherRateEndsItWithStatusZero) {
    TestServer server;
    Child child({Program(kProgram)}, {"TIDEWELL_MONITOR_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "remove-device", "BuiltInOutputDevice"}), 0);
    ASSERT_TRUE(child.waitFor("Audio device UID BuiltInOutputDevice went away; waiting for it to come back.", 20s))
        << child.output();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "add-device", "Built-in Output", "BuiltInOutputDevice", "--outputs",
                              "2", "--rate", "44100"}),
              0);
    EXPECT_EQ(child.wait(30s), 0) << child.output();
    const std::string out = child.output();
    const auto changed = out.find("Monitor output device sample rate changed; restarting to renegotiate.\n");
    EXPECT_NE(changed, std::string::npos) << out;
    EXPECT_NE(out.find("Stopped monitor.", changed == std::string::npos ? 0 : changed), std::string::npos) << out;
}

TEST(MonitorProgram, OutputAtAnotherRateIsConverted) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "alter-device", "BuiltInOutputDevice", "--rate", "44100"}), 0);
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "700", "-10"}), 0);
    Child child({Program(kProgram)}, {"TIDEWELL_MONITOR_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    EXPECT_NE(child.output().find("Sample-rate conversion: 48000 Hz -> 44100 Hz.\n"), std::string::npos)
        << child.output();
    const auto steady = Tail(CaptureOutput(server, "BuiltInOutputDevice", 1.5), 0.5);
    EXPECT_EQ(steady.sampleRate, 44100u);
    for (const auto& channel : tidewell::tools::analyse(steady)) {
        EXPECT_NEAR(channel.dominantHz, 700, 2);
        EXPECT_NEAR(channel.steadyDbfs, -10, 0.5);
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20s), 0) << child.output();
}

}  // namespace
