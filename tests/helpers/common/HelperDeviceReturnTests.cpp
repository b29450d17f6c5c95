// The helpers follow their virtual device when the plug-in retires it and creates it again: the
// runtime region stops listing the device (another process of the user publishes it without), then
// lists it again, and the device comes back under new object ids. A process tap and a hardware
// source play into it, and a monitor plays it to an output device; all three run through the
// absence. From shortly after the return, the device carries both sources again and the monitor
// plays them, each judged block by block against its source, and no helper's counters claim more
// frames dropped than it captured.
#include <gtest/gtest.h>

#include <sstream>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

// How much of each recording after the return is judged: from 2 s after it on.
constexpr double kRecordSeconds = 8.0;
constexpr double kJudgedFromSeconds = 2.0;

// The region with another device only: the plug-in retires every device it does not list.
void PublishWithoutTheVirtualDevice() {
    std::vector<tidewell::RuntimeChannelRoute> routes{{1, 1}, {2, 2}};
    tidewell::RuntimeControlStoreV3::publish({tidewell::RuntimeDeviceControls("tw.elsewhere", "tw.elsewhere",
                                                                              "waveform.circle", 2, true, 1.0, {},
                                                                              true, false, 1.0, routes)},
                                             false);
}

tools::AudioData Noise(uint32_t seed) {
    return tools::makeSpeechLikeNoise(48000, 1, 90, seed, -12.0);
}

struct Judgement {
    tools::ContinuityReport report;
    std::string what;
};

// One channel of a recording against the source it should carry, from kJudgedFromSeconds on.
Judgement Judge(const std::string& what, const tools::AudioData& recording, unsigned channel,
                const tools::AudioData& source) {
    tools::ContinuityOptions options;
    options.skipSeconds = kJudgedFromSeconds - 0.5;
    options.settleSeconds = 0.5;
    options.sourceLoops = true;
    Judgement j{tools::measureContinuity(tools::channelOf(recording, channel), source.samples, 48000, options), what};
    return j;
}

std::string Describe(const Judgement& j) {
    std::ostringstream out;
    out << j.what << ": matched " << j.report.matchedShare * 100 << "% of " << j.report.blocks
        << " blocks, median correlation " << j.report.medianCorrelation << ", steps:";
    for (const auto& d : j.report.discontinuities) out << " " << d.frames << "@" << d.atSeconds << "s";
    return out.str();
}

class HelperDeviceReturn : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<RigServer>();
        ASSERT_TRUE(rig_->error.empty()) << rig_->error;
    }
    void TearDown() override {
        for (auto* child : {monitor_.get(), source_.get(), tap_.get(), player_.get()}) {
            if (child != nullptr) {
                child->signal(SIGTERM);
                child->wait(20s);
            }
        }
        rig_.reset();
    }

    std::unique_ptr<RigServer> rig_;
    std::unique_ptr<audiotest::Child> player_, tap_, source_, monitor_;
};

TEST_F(HelperDeviceReturn, EveryHelperPlaysItsSourceAgainOnceTheVirtualDeviceIsBack) {
    audiotest::TestServer& server = *rig_->server;
    const std::string device(kVirtualDevice);
    const std::string played = RigDevice("source", 48000);
    const std::string input = RigDevice("input", 48000);
    const std::string output = RigDevice("output", 48000);

    // The tapped application's source on the device's left, the hardware input's on its right.
    const tools::AudioData tapSource = Noise(11);
    const tools::AudioData inputSource = Noise(23);
    const std::string tapWav = server.dir() + "/tap-source.wav";
    const std::string inputWav = server.dir() + "/input-source.wav";
    tools::writeWav(tapWav, tapSource);
    tools::writeWav(inputWav, inputSource);
    ASSERT_EQ(Ctl({"signal", input, "wav", inputWav}), 0);

    player_ = std::make_unique<audiotest::Child>(std::vector<std::string>{
        Bin("audio-play"), "--device", played, "--wav", tapWav, "--bundle-id", "org.example.return"});
    ASSERT_TRUE(player_->waitFor("audio-play: playing", 20s)) << player_->output();
    tap_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-process-tap")},
        std::vector<std::string>{"TIDEWELL_TAP_OUTPUT_UID=" + device, "TIDEWELL_TAP_PID=" + std::to_string(player_->pid()),
                                 "TIDEWELL_TAP_CLOCK_UID=" + played, "TIDEWELL_TAP_ROUTES=1:1"});
    source_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-hardware-source")},
        std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + input, "TIDEWELL_SOURCE_OUTPUT_UID=" + device,
                                 "TIDEWELL_SOURCE_ROUTES=1:2"});
    monitor_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-monitor")},
        std::vector<std::string>{"TIDEWELL_MONITOR_INPUT_UID=" + device, "TIDEWELL_MONITOR_OUTPUT_UID=" + output});
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        ASSERT_TRUE(helper->waitFor("Press Ctrl-C to stop.", 30s)) << helper->output();
    }

    // The device goes; each helper notices and runs on without it.
    const std::string gone = "Audio device UID " + device + " went away; waiting for it to come back.";
    PublishWithoutTheVirtualDevice();
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(device) == 0; }));
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        EXPECT_TRUE(helper->waitFor(gone, 20s)) << helper->output();
    }
    std::this_thread::sleep_for(1500ms);   // a while without it: the capture helpers' rings fill

    // It comes back under a new id. The recordings start at once; they are judged from 2 s on.
    ASSERT_TRUE(PublishVirtualDevice());
    const uint64_t lateBefore = LostCycles(server);
    const std::string monitored = server.dir() + "/monitored.wav";
    auto started = server.control({{"op", "captureStart"}, {"uid", output}, {"path", monitored}});
    ASSERT_TRUE(started && started->value("ok", false));
    const std::string recorded = server.dir() + "/recorded.wav";
    audiotest::Child recorder({Bin("audio-record"), "--device", device, "--duration", std::to_string(kRecordSeconds),
                               "--output", recorded});
    ASSERT_EQ(recorder.wait(60s).value_or(-1), 0) << recorder.output();
    server.control({{"op", "captureStop"}, {"uid", output}});
    const uint64_t late = LostCycles(server) - lateBefore;

    const std::string back = "Audio device UID " + device + " is back; running on it again.";
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        EXPECT_TRUE(helper->waitFor(back, 20s)) << helper->output();
    }
    const tools::AudioData deviceInput = tools::readWav(recorded);
    const tools::AudioData monitorOutput = tools::readWav(monitored);
    ASSERT_EQ(deviceInput.channels, 2u);
    ASSERT_EQ(monitorOutput.channels, 2u);
    // A cycle a loaded server gives up on, or never serves, is a step no helper can prevent: one
    // allowed per lost cycle.
    for (const Judgement& j : {Judge("process tap into the device", deviceInput, 0, tapSource),
                               Judge("hardware source into the device", deviceInput, 1, inputSource),
                               Judge("monitor of the tap's channel", monitorOutput, 0, tapSource),
                               Judge("monitor of the hardware source's channel", monitorOutput, 1, inputSource)}) {
        EXPECT_GT(j.report.blocks, 0u) << Describe(j);
        // Each lost cycle leaves a gap of at most a cycle of 192 frames, and the blocks of 256 on
        // either side of it that straddle the step: three blocks found nowhere at most.
        ASSERT_GT(j.report.matchedShare, 0.0) << Describe(j);
        const double judged = double(j.report.matchedBlocks) / j.report.matchedShare;
        const double unmatched = judged - double(j.report.matchedBlocks);
        EXPECT_LE(unmatched, 3.0 * double(late) + 0.5) << Describe(j) << "\nlate cycles " << late;
        EXPECT_GE(j.report.medianCorrelation, 0.99) << Describe(j);
        EXPECT_LE(tools::countDisturbances(j.report), late) << Describe(j) << "\nlate cycles " << late;
    }

    // The counters stay true through it all.
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        helper->signal(SIGTERM);
        EXPECT_EQ(helper->wait(20s).value_or(-1), 0) << helper->output();
        const HelperCounters counters = ParseStopped(helper->output());
        ASSERT_TRUE(counters.found) << helper->output();
        EXPECT_LE(counters.dropped, counters.captured) << helper->output();
    }
}

}  // namespace
