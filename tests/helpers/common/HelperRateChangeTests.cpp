// A hardware input changes its rate under a running hardware source: another program switches the
// interface from 44100 Hz to 48000 Hz. The helper starts its input again at the new rate, and 2 s
// after the change the virtual device carries the input as it is again: a 997 Hz tone at 997 Hz on
// one channel, and speech-like noise on the other, each judged block by block against its source
// (the server's lost cycles allowed for), the tone by its frequency too. Through an IO procedure
// (a float input) and through an input queue (a 24-bit input, which the queue converts).
#include <gtest/gtest.h>

#include <sstream>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

constexpr double kRecordSeconds = 9.0;
constexpr double kChangeAfterSeconds = 1.0;   // of recording, at 44100 Hz
constexpr double kJudgedFromSeconds = 2.0;    // after the change
constexpr double kToneHz = 997.0;

uint64_t NowNanos() { return AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()); }

// One second of the tone at 48000 Hz: 997 whole periods, so it loops without a seam.
std::vector<float> ToneSecond() {
    std::vector<float> tone(48000);
    const double amplitude = tools::dbfsToAmplitude(-12.0);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * kToneHz * static_cast<double>(i) / 48000.0));
    }
    return tone;
}

std::string Describe(const char* what, const tools::ContinuityReport& r, uint64_t late, const std::string& output) {
    std::ostringstream out;
    out << what << ": matched " << r.matchedShare * 100 << "% of " << r.blocks << " blocks, median correlation "
        << r.medianCorrelation << ", rate " << r.rateErrorPpm << " ppm, late cycles " << late << ", steps:";
    for (const auto& d : r.discontinuities) out << " " << d.frames << "@" << d.atSeconds << "s";
    out << "\n" << output;
    return out.str();
}

class HelperRateChange : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<RigServer>();
        ASSERT_TRUE(rig_->error.empty()) << rig_->error;
    }
    void TearDown() override {
        if (source_) {
            source_->signal(SIGTERM);
            source_->wait(20s);
        }
        rig_.reset();
    }

    std::unique_ptr<RigServer> rig_;
    std::unique_ptr<audiotest::Child> source_;
};

TEST_P(HelperRateChange, TheHardwareSourceCarriesItsInputAtTheNewRateWithin2s) {
    const bool integerInput = GetParam();
    audiotest::TestServer& server = *rig_->server;
    const std::string device(kVirtualDevice);
    const std::string input = RigDevice("interface", 44100, integerInput);
    // The noise is played a frame per device frame: at 48000 Hz once the interface runs there.
    const tools::AudioData noise = tools::makeSpeechLikeNoise(48000, 1, 60, 7, -12.0);
    const std::string noiseWav = server.dir() + "/noise.wav";
    tools::writeWav(noiseWav, noise);
    ASSERT_EQ(Ctl({"signal", input, "--channel", "1", "sine", "997", "-12"}), 0);
    ASSERT_EQ(Ctl({"signal", input, "--channel", "2", "wav", noiseWav}), 0);

    source_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-hardware-source")},
        std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + input, "TIDEWELL_SOURCE_OUTPUT_UID=" + device});
    ASSERT_TRUE(source_->waitFor("Press Ctrl-C to stop.", 30s)) << source_->output();
    // The IO procedure takes the device's 44100 Hz; the queue converts to 48000 Hz itself.
    EXPECT_NE(source_->output().find(integerInput ? "Sample-rate conversion: 48000 Hz -> 48000 Hz (identity).\n"
                                                  : "Sample-rate conversion: 44100 Hz -> 48000 Hz.\n"),
              std::string::npos)
        << source_->output();

    const std::string recorded = server.dir() + "/recorded.wav";
    audiotest::Child recorder({Bin("audio-record"), "--device", device, "--duration", std::to_string(kRecordSeconds),
                               "--output", recorded});
    std::this_thread::sleep_for(std::chrono::duration<double>(kChangeAfterSeconds));
    const uint64_t lateBefore = LostCycles(server);
    const uint64_t changedAt = NowNanos();
    ASSERT_EQ(Ctl({"alter-device", input, "--rate", "48000"}), 0);
    ASSERT_EQ(recorder.wait(60s).value_or(-1), 0) << recorder.output();
    const uint64_t late = LostCycles(server) - lateBefore;

    EXPECT_TRUE(source_->waitFor("Audio device UID " + input + " changed its sample rate to 48000 Hz; running on it again.",
                                 20s))
        << source_->output();
    const uint64_t first = FirstFrameHostNanos(recorder.output());
    ASSERT_GT(first, 0u) << recorder.output();
    ASSERT_GT(changedAt, first);
    const double from = static_cast<double>(changedAt - first) * 1e-9 + kJudgedFromSeconds;
    const tools::AudioData recording = tools::readWav(recorded);
    ASSERT_EQ(recording.sampleRate, 48000u);
    ASSERT_GT(recording.frames(), static_cast<size_t>((from + 4) * 48000));

    // The tone at its pitch from 2 s after the change, and one piece with its source from then on.
    const std::vector<float> tone = tools::channelOf(recording, 0);
    const size_t fromFrame = static_cast<size_t>(from * 48000);
    EXPECT_NEAR(tools::dominantFrequency(tone.data() + fromFrame, tone.size() - fromFrame, 1, 0, 48000), kToneHz, 1.0)
        << source_->output();
    tools::ContinuityOptions options;
    options.skipSeconds = from - 0.5;
    options.settleSeconds = 0.5;
    options.sourceLoops = true;
    const std::string output = source_->output();
    for (const auto& [what, report] :
         {std::pair{"tone", tools::measureContinuity(tone, ToneSecond(), 48000, options)},
          std::pair{"noise", tools::measureContinuity(tools::channelOf(recording, 1), noise.samples, 48000, options)}}) {
        EXPECT_GT(report.blocks, 0u) << Describe(what, report, late, output);
        ASSERT_GT(report.matchedShare, 0.0) << Describe(what, report, late, output);
        // A lost cycle leaves a gap of at most a cycle, and the blocks on either side of it that
        // straddle the step: three blocks found nowhere at most.
        const double judged = double(report.matchedBlocks) / report.matchedShare;
        EXPECT_LE(judged - double(report.matchedBlocks), 3.0 * double(late) + 0.5)
            << Describe(what, report, late, output);
        EXPECT_GE(report.medianCorrelation, 0.99) << Describe(what, report, late, output);
        EXPECT_LE(tools::countDisturbances(report), late) << Describe(what, report, late, output);
        EXPECT_NEAR(report.rateErrorPpm, 0.0, 20.0) << Describe(what, report, late, output);
    }

    source_->signal(SIGTERM);
    EXPECT_EQ(source_->wait(20s).value_or(-1), 0) << source_->output();
    const HelperCounters counters = ParseStopped(source_->output());
    ASSERT_TRUE(counters.found) << source_->output();
    EXPECT_LE(counters.dropped, counters.captured) << source_->output();
}

INSTANTIATE_TEST_SUITE_P(Inputs, HelperRateChange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThroughAnInputQueue" : "ThroughAnIOProcedure";
                         });

}  // namespace
