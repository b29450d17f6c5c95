// Each helper carries a source as a delayed copy: speech-like noise through the helper, recorded
// at the far end and aligned with the source block by block. With equal clocks every block after
// settling matches (correlation >= 0.999) with no step and no rate error; where the clocks are one
// (a stand-in device and a virtual device, both paced by the host clock, at 48000 Hz) the recording
// is the source itself after settling, sample for sample, at its own rate. With 300 ppm of drift
// on a device the helper follows it without ever dropping or inserting audio after settling.
//
// A cycle the loaded server gives up on is a step no helper can prevent, so a run in which the
// server counted late cycles is tried again (three times at most); the last one may show no more
// disturbances than the late cycles it had, each disturbance being the steps within 1.5 s of
// each other (the helper realigns its ring within a second or so of a lost cycle).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

constexpr double kSeconds = 20.0;
constexpr double kSettleSeconds = 3.0;
constexpr int kAttempts = 3;

struct Judged {
    RigResult run;
    tools::ContinuityReport report;
};

// The recording from frame `from` on against the reference, as the output of a delay line: where
// in the reference its first frame is, and how many of the frames after it differ from the
// reference frames that follow there (every frame compared when the first is found nowhere).
struct DelayLine {
    bool found = false;
    size_t sourceFrame = 0;
    size_t compared = 0;
    size_t differing = 0;
};

DelayLine CompareAsDelayLine(const std::vector<float>& recorded, const std::vector<float>& reference, size_t from) {
    DelayLine line;
    constexpr size_t kRun = 16;   // frames that must match for a place to count as found
    if (from + kRun > recorded.size()) return line;
    line.compared = recorded.size() - from;
    const auto first = std::search(reference.begin(), reference.end(), recorded.begin() + from,
                                   recorded.begin() + from + kRun);
    if (first == reference.end()) {
        line.differing = line.compared;
        return line;
    }
    line.found = true;
    line.sourceFrame = static_cast<size_t>(first - reference.begin());
    for (size_t i = 0; i < line.compared; ++i) {
        const size_t source = line.sourceFrame + i;
        line.differing += source >= reference.size() || recorded[from + i] != reference[source] ? 1 : 0;
    }
    return line;
}

std::string Describe(const Judged& j) {
    std::ostringstream out;
    out << "rate " << j.report.rateErrorPpm << " ppm (worst span " << j.report.worstSpanPpm << "), matched "
        << j.report.matchedShare * 100 << "%, min correlation " << j.report.minCorrelation << ", late cycles "
        << j.run.lateClientCycles << ", ring alignment steps " << j.run.counters.steps << ", steps:";
    for (const auto& d : j.report.discontinuities) out << " " << d.frames << "@" << d.atSeconds << "s";
    out << "\n" << j.run.helperOutput;
    return out.str();
}

class HelperRealTimeContinuity : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<RigServer>();
        ASSERT_TRUE(rig_->error.empty()) << rig_->error;
    }
    void TearDown() override { rig_.reset(); }

    Judged Measure(Path path, uint32_t rate, double drift, bool integerSource = false) {
        Judged j;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            RigRun run;
            run.path = path;
            run.rate = rate;
            run.driftPpm = drift;
            run.seconds = kSeconds;
            run.integerSource = integerSource;
            run.seed = static_cast<uint32_t>(attempt + 1);
            j.run = RunPath(*rig_->server, run);
            // A run that could not be made is a fault of its own, never tried again.
            if (!j.run.error.empty()) break;
            tools::ContinuityOptions options;
            options.settleSeconds = kSettleSeconds;
            j.report = tools::measureContinuity(j.run.recorded, j.run.reference, j.run.recordedRate, options);
            if (j.run.lateClientCycles == 0) break;
        }
        return j;
    }

    // A delayed copy: every block after settling found, none that would be heard changed, no step,
    // and the source at its own rate (the set drift, which the far end's clock does not share).
    void ExpectDelayedCopy(const Judged& j, double expectedPpm) {
        ASSERT_TRUE(j.run.error.empty()) << j.run.error;
        const size_t allowedSteps = j.run.lateClientCycles;
        if (allowedSteps == 0) {
            EXPECT_TRUE(j.report.discontinuities.empty()) << Describe(j);
            EXPECT_TRUE(j.run.counters.found) << Describe(j);
            EXPECT_EQ(j.run.counters.steps, 0u) << "the ring was moved after its first alignment\n" << Describe(j);
        } else {
            EXPECT_LE(tools::countDisturbances(j.report), allowedSteps) << Describe(j);
        }
        EXPECT_NEAR(j.report.rateErrorPpm, expectedPpm, 20.0) << Describe(j);
        EXPECT_GE(j.report.spans, 10u) << Describe(j);
        if (allowedSteps == 0) {
            EXPECT_EQ(j.report.matchedShare, 1.0) << Describe(j);
            EXPECT_GE(j.report.minCorrelation, 0.999) << Describe(j);
        }
    }

    // Where the two clocks are one, the helper is a delay line once settled: every frame recorded
    // is the source's, a fixed number of frames late, and the source comes out at its own rate in
    // every span. A cycle the server lost is a gap no helper can prevent, after which a ring may
    // be trimmed back to its target for a while: a run that had one is held to the delayed copy.
    void ExpectExactCopy(const Judged& j) {
        ExpectDelayedCopy(j, 0);
        if (HasFatalFailure() || j.run.lateClientCycles > 0) return;
        EXPECT_NEAR(j.report.rateErrorPpm, 0.0, 2.0) << Describe(j);
        EXPECT_NEAR(j.report.worstSpanPpm, 0.0, 2.0) << Describe(j);
        const auto settled = static_cast<size_t>(kSettleSeconds * j.run.recordedRate);
        const DelayLine line = CompareAsDelayLine(j.run.recorded, j.run.reference, settled);
        EXPECT_TRUE(line.found) << "the first frame after settling is found nowhere in the source\n" << Describe(j);
        EXPECT_EQ(line.differing, 0u) << "of " << line.compared << " frames after settling, from source frame "
                                      << line.sourceFrame << " on\n" << Describe(j);
    }

    std::unique_ptr<RigServer> rig_;
};

TEST_F(HelperRealTimeContinuity, ProcessTapAtEqualRatesCarriesTheSourceSampleForSample) {
    ExpectExactCopy(Measure(Path::ProcessTap, 48000, 0));
}

TEST_F(HelperRealTimeContinuity, HardwareSourceFrom44100HzDeliversADelayedCopy) {
    ExpectDelayedCopy(Measure(Path::HardwareSource, 44100, 0), 0);
}

// A 24-bit input reaches the helper through an input queue, which hands each device cycle over in
// several buffers at once, a cycle late: the ring must hold enough for that delay from the start.
TEST_F(HelperRealTimeContinuity, HardwareSourceFromA24BitInputQueueAt44100HzDeliversADelayedCopy) {
    ExpectDelayedCopy(Measure(Path::HardwareSource, 44100, 0, true), 0);
}

TEST_F(HelperRealTimeContinuity, MonitorAtEqualRatesCarriesTheSourceSampleForSample) {
    ExpectExactCopy(Measure(Path::Monitor, 48000, 0));
}

// The source device runs 300 ppm fast: its audio reaches the far end 300 ppm fast, in one piece.
TEST_F(HelperRealTimeContinuity, ProcessTapFollows300PpmWithoutAStep) {
    ExpectDelayedCopy(Measure(Path::ProcessTap, 48000, 300), 300);
}

TEST_F(HelperRealTimeContinuity, HardwareSourceFollows300PpmWithoutAStep) {
    ExpectDelayedCopy(Measure(Path::HardwareSource, 48000, 300), 300);
}

// The monitor's output device runs 300 ppm fast: its frames carry the source 300 ppm slow.
TEST_F(HelperRealTimeContinuity, MonitorFollows300PpmWithoutAStep) {
    ExpectDelayedCopy(Measure(Path::Monitor, 48000, 300), -300);
}

}  // namespace
