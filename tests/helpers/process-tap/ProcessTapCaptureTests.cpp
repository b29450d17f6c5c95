// tidewell-process-tap capturing through the audio server's process taps into a virtual device:
// an application's tone on the routed channels at the source gain, live gain changes, mute when
// capturing, system capture without Tidewell's own helpers, the clock fallback and run duration.
#include <sys/wait.h>

#include <csignal>
#include <thread>

#include "ProcessTapTestSupport.h"
#include "TidewellCore/TidewellConstants.h"

using namespace taptest;

namespace {

// The player's tone arrives on device channels 3 and 4 at the source gain of its control region,
// silence elsewhere; a new gain there is heard within 0.2 s without a restart.
TEST_F(ProcessTapProgram, ApplicationToneArrivesOnTheRoutedChannelsAndFollowsTheGain) {
    const std::string id = SourceID();
    PublishSource(id, 0.5);
    auto player = Player();
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid()),
               "TIDEWELL_TAP_MODE=application", "TIDEWELL_TAP_ROUTES=1:3,2:4", "TIDEWELL_TAP_SOURCE_ID=" + id});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    const std::string report = tap.output();
    EXPECT_TRUE(InOrder(report, {Step("checking output device"), Step("finding default system output"),
                                 Step("choosing tap clock device"), Step("creating tap description"),
                                 Step("creating process tap"), Step("created process tap"),
                                 Step("created private aggregate tap device"), Step("creating output bridge"),
                                 Step("creating tap IOProc")}))
        << report;
    EXPECT_TRUE(InOrder(report, {"Routing application capture to tw.tap.capture with 2 route(s).\n",
                                 "Tap format: 48000 Hz, 2 channels, interleaved.\n",
                                 "Tap clock device: BuiltInOutputDevice.\n", "Output backend: ", "Buffer frames: 192.\n",
                                 "Press Ctrl-C to stop.\n"}))
        << report;
    std::this_thread::sleep_for(500ms);

    const auto steady = Tail(Record(kDevice, 1.5), 0.3);
    ASSERT_EQ(steady.channels, 8u);
    for (unsigned ch : {2u, 3u}) {
        EXPECT_NEAR(BestLevel(steady, ch), -12 + 20 * std::log10(0.5), 0.5) << "channel " << ch + 1;
        EXPECT_NEAR(tools::dominantFrequency(steady.samples.data(), steady.frames(), 8, ch, 48000), 997, 7);
    }
    for (unsigned ch : {0u, 1u, 4u, 5u, 6u, 7u}) {
        EXPECT_LT(BestLevel(steady, ch), -90) << "channel " << ch + 1;
    }

    // A gain change while recording: find when the level falls from -18 dBFS to -30 dBFS.
    const std::string file = server_->dir() + "/change.wav";
    const uint64_t lostBefore = LostCycles(*server_);
    Child recorder({Program("audio-record"), "--device", kDevice, "--duration", "3", "--output", file});
    ASSERT_TRUE(recorder.waitFor("audio-record: recording", 20s)) << recorder.output();
    const auto recording = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    const auto published = std::chrono::steady_clock::now();
    PublishSource(id, 0.125);
    ASSERT_EQ(recorder.wait(20s), 0) << recorder.output();
    const uint64_t lost = LostCycles(*server_) - lostBefore;
    const auto changed = tools::readWav(file);
    const size_t window = changed.sampleRate / 100;
    const double publishedAt = std::chrono::duration<double>(published - recording).count();
    const size_t before = static_cast<size_t>((publishedAt - 0.3) * changed.sampleRate);
    EXPECT_NEAR(SteadyLevel(changed, 2, before, window * 20), -18.06, 0.5);
    // The level of each 10 ms from 0.3 s before the change, for a failure to show. A window near
    // silence is a hole that cycles lost under load leave: none unless the server counted some.
    std::string levels;
    size_t holes = 0;
    for (size_t at = before; at + window <= changed.frames(); at += window) {
        const double level = Level(changed, 2, at, window);
        levels += std::to_string(static_cast<int>(std::max(-99L, std::lround(level)))) + " ";
        holes += level < -60;
    }
    if (lost == 0) {
        EXPECT_EQ(holes, 0u) << levels;
    }
    // Heard where the level falls to the new gain's, not into a hole, and stays down for the next
    // 0.1 s: a hole's edge may pass through that level, but the hole does not hold it.
    std::optional<double> heardAt;
    for (size_t at = before; at + window * 10 <= changed.frames(); at += window) {
        const double level = Level(changed, 2, at, window);
        if (level < -24 && level > -36 && SteadyLevel(changed, 2, at, window * 10) < -24) {
            heardAt = static_cast<double>(at + window) / changed.sampleRate;
            break;
        }
    }
    ASSERT_TRUE(heardAt) << "the new gain was never heard: " << levels;
    // The recording started no later than its line was read, so this delay is an upper bound.
    EXPECT_LT(*heardAt - publishedAt, 0.2) << levels;
    const size_t after = static_cast<size_t>((*heardAt + 0.1) * changed.sampleRate);
    ASSERT_LT(after + window * 20, changed.frames());
    EXPECT_NEAR(SteadyLevel(changed, 2, after, window * 20), -12 + 20 * std::log10(0.125), 0.5)
        << "heard " << *heardAt - publishedAt << " s after the change, " << lost << " cycles lost: " << levels;

    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    EXPECT_NE(tap.output().find("Stopped process tap. captured="), std::string::npos) << tap.output();
}

// Mute when capturing: the player is silent at Built-in Output while the tap runs, and heard
// there again once the helper has gone; the tap still hears it.
TEST_F(ProcessTapProgram, MuteWhenCapturingSilencesThePlayerAtItsOwnOutput) {
    auto player = Player();
    EXPECT_NEAR(BestLevel(Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 1.0), 0.2), 0), -12, 0.5);
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid()),
               "TIDEWELL_TAP_MUTE_WHEN_CAPTURING=TRUE"});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    std::this_thread::sleep_for(300ms);
    const auto muted = Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 1.0), 0.2);
    for (unsigned ch : {0u, 1u}) {
        EXPECT_LT(BestLevel(muted, ch), -90) << "channel " << ch + 1;
    }
    const auto captured = Tail(Record(kDevice, 1.0), 0.2);
    EXPECT_NEAR(BestLevel(captured, 0), -12, 0.5);
    tap.signal(SIGINT);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(BestLevel(Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 1.0), 0.2), 0), -12, 0.5);
}

// "yes" is not one of the words that ask for muting.
TEST_F(ProcessTapProgram, OtherWordsLeaveThePlayerAudible) {
    auto player = Player();
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid()),
               "TIDEWELL_TAP_MUTE_WHEN_CAPTURING=yes"});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(BestLevel(Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 1.0), 0.2), 0), -12, 0.5);
    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
}

// System mode with a process id captures that process alone, and still says "system". A clock
// the server refuses falls back to the system output with its notice. A run duration of 2.5 s
// ends after 25 ticks with status 0, and the buffer sizes this helper asked for are put back.
TEST_F(ProcessTapProgram, ProcessIDBeatsTheModeAndARefusedClockFallsBack) {
    auto player = Player();
    auto other = Player("org.example.other", 440);
    const uint32_t before = BufferFrameSize("BuiltInOutputDevice");
    const auto started = std::chrono::steady_clock::now();
    Child tap({Program(kProgram), "2.5"},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid()),
               "TIDEWELL_TAP_MODE=system", "TIDEWELL_TAP_CLOCK_UID=NoSuchClock", "TIDEWELL_TAP_BUFFER_FRAMES=256",
               "TIDEWELL_TAP_SECONDS=60"});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    const std::string report = tap.output();
    EXPECT_NE(report.find("Tap aggregate on clock device NoSuchClock failed ("), std::string::npos) << report;
    EXPECT_NE(report.find("); falling back to the system output device.\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Routing system capture to tw.tap.capture with 2 route(s).\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Tap clock device: BuiltInOutputDevice.\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Buffer frames: 256.\n"), std::string::npos) << report;
    const auto captured = Tail(Record(kDevice, 1.0), 0.2);
    EXPECT_NEAR(tools::dominantFrequency(captured.samples.data(), captured.frames(), 8, 0, 48000), 997, 7);
    EXPECT_NEAR(BestLevel(captured, 0), -12, 0.5);   // the other player's tone would add to it
    EXPECT_EQ(tap.wait(30s), 0) << tap.output();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_NE(tap.output().find("Stopped process tap."), std::string::npos) << tap.output();
    EXPECT_EQ(BufferFrameSize("BuiltInOutputDevice"), before);
}

// System capture: the whole system less Tidewell's own helpers, which would otherwise feed the
// virtual devices back into themselves.
TEST_F(ProcessTapProgram, SystemCaptureLeavesOutTheHelpers) {
    auto player = Player();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "440", "-12"}), 0);
    Child source({Program("tidewell-hardware-source")},
                 {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice", "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(source.waitFor("Press Ctrl-C to stop.", 30s)) << source.output();
    std::this_thread::sleep_for(300ms);
    const auto both = Tail(CaptureOutput(*server_, "BuiltInOutputDevice", 1.0), 0.2);
    ASSERT_GT(BestLevel(both, 0), -12 + 1);   // the helper's tone and the player's add up

    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice)});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    EXPECT_NE(tap.output().find("Routing system capture to tw.tap.capture with 2 route(s).\n"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    const auto captured = Tail(Record(kDevice, 1.5), 0.3);
    EXPECT_NEAR(tools::dominantFrequency(captured.samples.data(), captured.frames(), 8, 0, 48000), 997, 7);
    EXPECT_NEAR(BestLevel(captured, 0), -12, 0.5);
    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    source.signal(SIGTERM);
    EXPECT_EQ(source.wait(20s), 0) << source.output();
}

// The environment's gains and routes at their edges: a gain that reads as not-a-number counts
// as 1.0 (it would otherwise turn every sample into NaN), a single channel gain leaves the second
// at 1.0, several routes may share a source channel, and "yes" mutes the source.
TEST_F(ProcessTapProgram, EnvironmentGainsAndRoutesAtTheirEdges) {
    auto player = Player();
    const std::string pid = "TIDEWELL_TAP_PID=" + std::to_string(player->pid());
    {
        Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), pid, "TIDEWELL_TAP_GAIN=nan",
                                        "TIDEWELL_TAP_CHANNEL_GAINS=0.5", "TIDEWELL_TAP_ROUTES=1:1,2:2,1:5"});
        ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
        EXPECT_NE(tap.output().find("with 3 route(s).\n"), std::string::npos) << tap.output();
        std::this_thread::sleep_for(300ms);
        const auto captured = Tail(Record(kDevice, 1.0), 0.2);
        EXPECT_NEAR(BestLevel(captured, 0), -12 + 20 * std::log10(0.5), 0.5);
        EXPECT_NEAR(BestLevel(captured, 1), -12, 0.5);
        EXPECT_NEAR(BestLevel(captured, 4), -12 + 20 * std::log10(0.5), 0.5);
        EXPECT_LT(BestLevel(captured, 2), -90);
        tap.signal(SIGTERM);
        EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    }
    {
        Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), pid,
                                        "TIDEWELL_TAP_MUTED=yes", "TIDEWELL_TAP_GAIN=2"});
        ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
        std::this_thread::sleep_for(300ms);
        const auto captured = Tail(Record(kDevice, 1.0), 0.2);
        EXPECT_LT(BestLevel(captured, 0), -90);
        EXPECT_LT(BestLevel(captured, 1), -90);
        tap.signal(SIGTERM);
        EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    }
    {
        // Set but empty: no routes at all.
        Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), pid, "TIDEWELL_TAP_ROUTES="});
        ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
        EXPECT_NE(tap.output().find("with 0 route(s).\n"), std::string::npos) << tap.output();
        tap.signal(SIGTERM);
        EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    }
}

// A helper that starts after the system capture is left out too: the tap is replaced by one that
// excludes it, and the player goes on being captured.
TEST_F(ProcessTapProgram, SystemCaptureLeavesOutAHelperThatStartsLater) {
    auto player = Player();
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice)});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "440", "-12"}), 0);
    Child source({Program("tidewell-hardware-source")},
                 {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice", "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(source.waitFor("Press Ctrl-C to stop.", 30s)) << source.output();
    std::this_thread::sleep_for(700ms);
    const auto captured = Tail(Record(kDevice, 1.5), 0.3);
    EXPECT_NEAR(tools::dominantFrequency(captured.samples.data(), captured.frames(), 8, 0, 48000), 997, 7);
    EXPECT_NEAR(BestLevel(captured, 0), -12, 0.5);
    EXPECT_NEAR(BestLevel(captured, 1), -12, 0.5);
    source.signal(SIGTERM);
    EXPECT_EQ(source.wait(20s), 0) << source.output();
    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
}

// A replacement of the system tap whose new tap does not start, and whose old one does not start
// again either, would leave the helper running and capturing nothing: it says so and ends with
// status 1 instead, for the service to start it again. A permission prompt holds the
// replacement's tap request while the next two device starts (the new tap's and the old one's)
// are made to fail.
TEST_F(ProcessTapProgram, ATapSwapThatLosesTheOldTapTooEndsWithStatusOne) {
    auto player = Player();
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice)});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "tap-permission", "prompt", "3", "allow"}), 0);
    Child source({Program("tidewell-hardware-source")},
                 {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice", "TIDEWELL_SOURCE_OUTPUT_UID=BuiltInOutputDevice"});
    ASSERT_TRUE(source.waitFor("Press Ctrl-C to stop.", 30s)) << source.output();
    // The new helper's own starts are done; no other client starts a device from here on.
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "fail", "AudioDeviceStart", "!run", "2"}), 0);
    EXPECT_EQ(tap.wait(30s), 1) << tap.output();
    EXPECT_TRUE(InOrder(tap.output(), {"AudioDeviceStart(replacement tap aggregate) failed: ",
                                       "AudioDeviceStart(tap aggregate) failed: ",
                                       "Tidewell process tap: neither the replacement tap nor the old one runs; "
                                       "ending so that the service starts capture afresh.\n",
                                       "Stopped process tap."}))
        << tap.output();
    source.signal(SIGTERM);
    EXPECT_EQ(source.wait(20s), 0) << source.output();
}

// A tap labelled 48000 Hz that delivers 44100 Hz: after the estimator's window and 20 mismatched
// ticks the helper says so once and resamples from 44100 Hz, so the tone comes out at its pitch.
TEST_F(ProcessTapProgram, AMislabelledTapIsResampledFromItsMeasuredRate) {
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "tap-rates", "48000", "44100"}), 0);
    auto player = Player();
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid())});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    EXPECT_NE(tap.output().find("Tap format: 48000 Hz, 2 channels, interleaved.\n"), std::string::npos) << tap.output();
    const auto started = std::chrono::steady_clock::now();
    const auto line = tap.waitFor("Tidewell process tap: tap delivering ~", 30s);
    ASSERT_TRUE(line) << tap.output();
    const auto switched = std::chrono::steady_clock::now() - started;
    EXPECT_GT(switched, 3s);
    EXPECT_LT(switched, 20s);
    EXPECT_NE(line->find(" Hz but labeled 48000 Hz; resampling from the measured rate (44100 Hz)."), std::string::npos)
        << *line;
    std::this_thread::sleep_for(1s);
    const auto captured = Tail(Record(kDevice, 1.5), 0.3);
    EXPECT_NEAR(tools::dominantFrequency(captured.samples.data(), captured.frames(), 8, 0, 48000), 997, 7);
    EXPECT_NEAR(BestLevel(captured, 0), -12, 1.0);
    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
    const std::string out = tap.output();
    const auto first = out.find("tap delivering ~");
    EXPECT_EQ(out.find("tap delivering ~", first + 1), std::string::npos) << out;   // once only
}

// Without an output UID the helper plays into the plug-in's pass-thru device.
TEST_F(ProcessTapProgram, WithoutAnOutputUIDItPlaysIntoThePassThruDevice) {
    tidewell::RuntimeControlStoreV3::publish(std::vector<tidewell::RuntimeDeviceControls>{}, false);
    const std::string passThru(tidewell::TidewellCore::passThruDeviceUID);
    ASSERT_TRUE(DeviceAppears(passThru));
    auto player = Player();
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_PID=" + std::to_string(player->pid())});
    ASSERT_TRUE(tap.waitFor("Press Ctrl-C to stop.", 30s)) << tap.output();
    EXPECT_NE(tap.output().find("capture to " + passThru + " with 2 route(s).\n"), std::string::npos) << tap.output();
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(BestLevel(Tail(Record(passThru, 1.0), 0.2), 0), -12, 0.5);
    tap.signal(SIGTERM);
    EXPECT_EQ(tap.wait(20s), 0) << tap.output();
}

// A refused tap prints the permission hint and ends with status 1.
TEST_F(ProcessTapProgram, DeniedPermissionPrintsTheHint) {
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "tap-permission", "deny"}), 0);
    auto player = Player();
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid())});
    EXPECT_EQ(tap.wait(30s), 1);
    EXPECT_TRUE(InOrder(tap.output(),
                        {Step("creating process tap"), "AudioHardwareCreateProcessTap failed: ",
                         "System audio capture may need approval in System Settings > Privacy & Security > Screen & "
                         "System Audio Recording.\n"}))
        << tap.output();
}

// A permission prompt nobody answers: the start-up watchdog ends the helper with 124 at the
// configured timeout.
TEST_F(ProcessTapProgram, APromptThatNeverAnswersEndsWith124) {
    ASSERT_EQ(audiotest::Run({Program("audioctl"), "tap-permission", "prompt", "5", "never"}), 0);
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_STARTUP_TIMEOUT=2"});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(tap.wait(30s), 124) << tap.output();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GT(elapsed, 1500ms);
    EXPECT_LT(elapsed, 10s);
    EXPECT_NE(tap.output().find("Tidewell process tap startup timed out after 2 seconds. Check Screen & System Audio "
                                "Recording permission.\n"),
              std::string::npos)
        << tap.output();
}

// A restarted audio server ends every helper with its restart line and status 0.
TEST_F(ProcessTapProgram, AServerRestartEndsEveryHelperCleanly) {
    auto player = Player();
    Child tap({Program(kProgram)},
              {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(player->pid())});
    Child source({Program("tidewell-hardware-source")},
                 {"TIDEWELL_SOURCE_INPUT_UID=BuiltInMicrophoneDevice", "TIDEWELL_SOURCE_OUTPUT_UID=" + std::string(kDevice)});
    Child monitor({Program("tidewell-monitor")},
                  {"TIDEWELL_MONITOR_INPUT_UID=" + std::string(kDevice), "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"});
    for (Child* helper : {&tap, &source, &monitor}) {
        ASSERT_TRUE(helper->waitFor("Press Ctrl-C to stop.", 30s)) << helper->output();
    }
    // audioctl waits for the old server to be gone; being this test's child, it is gone only
    // once reaped.
    std::thread reaper([pid = server_->pid()] { waitpid(pid, nullptr, 0); });
    std::string output;
    const int restarted = audiotest::Run({Program("audioctl"), "restart"}, &output);
    reaper.join();
    ASSERT_EQ(restarted, 0) << output;
    for (Child* helper : {&tap, &source, &monitor}) {
        EXPECT_EQ(helper->wait(30s), 0) << helper->output();
        EXPECT_NE(helper->output().find("Core Audio server restarted; exiting to reattach cleanly.\n"),
                  std::string::npos)
            << helper->output();
    }
    EXPECT_NE(tap.output().find("Stopped process tap."), std::string::npos) << tap.output();
    // The server audioctl started is this test's to stop.
    audiotest::Run({Program("audioctl"), "stop"});
}

}  // namespace
