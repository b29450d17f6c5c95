// tidewell-hardware-source against a private audio server: its report, what it plays, its exit
// statuses, and the input device's buffer size on every way out.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "HelperProgramSupport.h"
#include "HelperStopReport.h"

using namespace audiotest;
using namespace helpertest;
using namespace std::chrono_literals;

namespace {

const char* kProgram = "tidewell-hardware-source";

TEST(HardwareSourceProgram, RequiresTheInputUID) {
    TestServer server;
    Child child({Program(kProgram)}, {"TIDEWELL_SOURCE_INPUT_UID="});
    EXPECT_EQ(child.wait(20s), 1);
    EXPECT_NE(child.output().find("TIDEWELL_SOURCE_INPUT_UID is required.\n"), std::string::npos) << child.output();
}

TEST(HardwareSourceProgram, UnknownDeviceEndsWithStatusOne) {
    TestServer server;
    Child child({Program(kProgram)}, {"TIDEWELL_SOURCE_INPUT_UID=NoSuchDevice"});
    EXPECT_EQ(child.wait(20s), 1);
    EXPECT_NE(child.output().find("Audio device UID NoSuchDevice is not registered with Core Audio.\n"),
              std::string::npos)
        << child.output();
}

// The USB interface delivers 24-bit integers at 44100 Hz: the automatic choice says so and runs on
// the queue, which hands 48000 Hz floats; routes and channel gains pick and scale the channels.
TEST(HardwareSourceProgram, IntegerInputFallsBackToTheQueueAndPlaysTheRoutedChannels) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}), 0);
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "USBAudioInterface", "--channel", "3", "sine", "1000", "-12"}), 0);
    const uint32_t before = BufferFrameSize("USBAudioInterface");
    Child child({Program(kProgram), "4"},
                {"TIDEWELL_SOURCE_INPUT_UID=USBAudioInterface", "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice",
                 "TIDEWELL_SOURCE_ROUTES=1:1,3:2", "TIDEWELL_SOURCE_CHANNEL_GAINS=1,1,0.5",
                 "TIDEWELL_SOURCE_BUFFER_FRAMES=256"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    const std::string report = child.output();
    EXPECT_NE(report.find("Hardware input IOProc does not support active device format 44100 Hz, format=1819304813 "),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Routing hardware input USBAudioInterface to BuiltInOutputDevice with 2 route(s).\n"
                          "Input backend: audio-queue.\n"
                          "Sample-rate conversion: 48000 Hz -> 48000 Hz (identity).\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Buffer frames: 256.\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("Input format:"), std::string::npos) << report;

    const auto steady = Tail(CaptureOutput(server, "BuiltInOutputDevice", 2.0), 0.5);
    ASSERT_EQ(steady.channels, 2u);
    const auto channels = tidewell::tools::analyse(steady);
    EXPECT_NEAR(channels[0].dominantHz, 440, 2);
    EXPECT_NEAR(channels[0].steadyDbfs, -12, 0.5);
    EXPECT_NEAR(channels[1].dominantHz, 1000, 2);
    EXPECT_NEAR(channels[1].steadyDbfs, -18.02, 0.5);

    EXPECT_EQ(child.wait(30s), 0) << child.output();
    EXPECT_NE(child.output().find("Stopped hardware source. captured="), std::string::npos) << child.output();
    // The device's buffer size is shared by every client: it is back where it was.
    EXPECT_EQ(BufferFrameSize("USBAudioInterface"), before);
}

// Asked for the device IO procedure only, the integer format fails without the fallback line; the
// buffer size this helper changed on the way is put back before it exits.
TEST(HardwareSourceProgram, DeviceIOProcOnlyFailsAndRestoresTheBufferSize) {
    TestServer server;
    const uint32_t before = BufferFrameSize("USBAudioInterface");
    ASSERT_NE(before, 0u);
    ASSERT_NE(before, 128u);
    Child child({Program(kProgram)}, {"TIDEWELL_SOURCE_INPUT_UID=USBAudioInterface",
                                      "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice",
                                      "TIDEWELL_SOURCE_INPUT_BACKEND=hal", "TIDEWELL_SOURCE_BUFFER_FRAMES=128"});
    EXPECT_EQ(child.wait(30s), 1) << child.output();
    EXPECT_NE(child.output().find("Could not start hardware input backend audio-device.\n"), std::string::npos)
        << child.output();
    EXPECT_EQ(child.output().find("Falling back to AudioQueue"), std::string::npos) << child.output();
    EXPECT_EQ(BufferFrameSize("USBAudioInterface"), before);
}

TEST(HardwareSourceProgram, FloatInputRunsOnTheDeviceIOProcAndStopsOnASignal) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "600", "-20"}), 0);
    Child child({Program(kProgram)}, {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice", "TIDEWELL_SOURCE_GAIN=0.5"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    const std::string report = child.output();
    EXPECT_NE(report.find("Input backend: audio-device.\n"
                          "Sample-rate conversion: 48000 Hz -> 48000 Hz (identity).\n"
                          "Input format: 48000 Hz, 2 channels, flags="),
              std::string::npos)
        << report;
    const auto steady = Tail(CaptureOutput(server, "BuiltInOutputDevice", 1.5), 0.5);
    for (const auto& channel : tidewell::tools::analyse(steady)) {
        EXPECT_NEAR(channel.dominantHz, 600, 2);
        EXPECT_NEAR(channel.steadyDbfs, -26.02, 0.5);   // the source gain halves it
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20s), 0) << child.output();
    EXPECT_NE(child.output().find("Stopped hardware source."), std::string::npos);
}

// The USB interface's clock runs 300 ppm fast against the output's: over 30 s, 432 of its frames
// more than the output plays. The drift controller follows the input's clock, so the ring needs no
// step to hold its fill, and nothing is dropped. A controller that lost the clock would see the
// fill climb until it stepped it back (a cut a listener hears).
//
// Judged by the helper's own counts at its end, not by a snapshot of the fill: the queue hands
// over a device cycle in several buffers at once, so a snapshot lies anywhere between the ring's
// low point and a whole delivery (two, after a late cycle) above it. A server starved into giving
// up cycles steps every client, and no helper can prevent that. The server counts those cycles on
// each of the two devices: each may cost the ring one step, and one cycle of audio dropped (an
// output cycle lost leaves the input's frames nowhere to go) or missing (an input cycle lost).
TEST(HardwareSourceProgram, HoldsItsFillAgainstADriftingInputClockInRealTime) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "drift", "USBAudioInterface", "300"}), 0);
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "USBAudioInterface", "sine", "440", "-12"}), 0);
    const char* devices[] = {"USBAudioInterface", "BuiltInOutputDevice"};
    uint64_t lostBefore[2] = {CyclesOf(server, devices[0]).late, CyclesOf(server, devices[1]).late};
    Child child({Program(kProgram), "31"},
                {"TIDEWELL_SOURCE_INPUT_UID=USBAudioInterface", "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice",
                 "TIDEWELL_SOURCE_ADAPTIVE_FILL=0"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    // The cycle sizes the helper set, read while it runs (it puts the old ones back as it ends).
    const uint64_t cycleFrames[2] = {BufferFrameSize(devices[0]), BufferFrameSize(devices[1])};
    ASSERT_GT(cycleFrames[0], 0u);
    ASSERT_GT(cycleFrames[1], 0u);
    ASSERT_EQ(child.wait(90s), 0) << child.output();
    uint64_t lost = 0, lostFrames = 0;
    for (int d = 0; d < 2; ++d) {
        const uint64_t cycles = CyclesOf(server, devices[d]).late - lostBefore[d];
        lost += cycles;
        lostFrames += cycles * cycleFrames[d];
    }
    const std::string& out = child.output();
    const HelperCounters c = ParseStopped(out);
    ASSERT_TRUE(c.found) << out;
    std::printf("drift 300 ppm: %llu ring steps, %llu dropped, %llu underrun, %llu captured, %llu cycles (%llu "
                "frames) lost on the two devices\n",
                static_cast<unsigned long long>(c.steps), static_cast<unsigned long long>(c.dropped),
                static_cast<unsigned long long>(c.underrun), static_cast<unsigned long long>(c.captured),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(lostFrames));
    EXPECT_GT(c.captured, 29ull * 48000) << out;
    EXPECT_LE(c.steps, lost) << out;
    EXPECT_LE(c.dropped, lostFrames) << out;
    // Only while the first blocks arrive, and then for each lost cycle.
    EXPECT_LT(c.underrun, 48000ull / 2 + lostFrames) << out;
}

TEST(HardwareSourceProgram, ServerRestartEndsTheHelperCleanly) {
    TestServer server;
    Child child({Program(kProgram)}, {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice",
                                      "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(child.waitFor("Press Ctrl-C to stop.", 30s)) << child.output();
    server.stop();
    server.start();
    EXPECT_EQ(child.wait(30s), 0) << child.output();
    EXPECT_NE(child.output().find("Core Audio server restarted; exiting to reattach cleanly.\n"), std::string::npos)
        << child.output();
}

}  // namespace
