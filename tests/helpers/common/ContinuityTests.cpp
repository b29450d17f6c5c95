// Each helper carries a source as a delayed copy: speech-like noise through the helper, recorded
// at the far end and aligned with the source block by block. With equal clocks every block after
// settling matches (correlation >= 0.999) with no step and no rate error; where the clocks are one
// (a stand-in device and a virtual device, both paced by the host clock, at 48000 Hz) the recording
// is the source itself after settling, sample for sample, at its own rate. With 300 ppm of drift
// on a device the helper follows it without ever dropping or inserting audio after settling.
//
// A cycle the loaded server gives up on (a client's late cycle, or a stalled one) is a gap no
// helper can prevent: each run is judged once, with the cycles the server counted as lost during
// it. Each of them may cost a disturbance (the steps within 1.5 s of each other) and, where the
// recording is held to the source sample for sample, a bounded number of blocks around it and one
// change of the delay (the player's or the recorder's lost cycle moves the source against the
// recording for good); everywhere else the recording stays the source's exact copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

constexpr double kSeconds = 20.0;
constexpr double kSettleSeconds = 3.0;
// Exact copy: blocks of 1024 frames (about two of the largest device cycles), and how many of
// them a cycle the server lost may spoil (its gap falls in one block, or across the boundary of
// two). Short blocks keep what a loaded machine's lost cycles excuse a small part of the run.
constexpr size_t kExactBlockFrames = 1024;
constexpr size_t kSpoiledBlocksPerLostCycle = 2;

struct Judged {
    RigResult run;
    tools::ContinuityReport report;
};

// The recording after settling against the reference, block by block, as the output of a delay
// line: each block either the reference's frames, bit for bit, at one delay (recording frame minus
// reference frame), or not. The delay a block is looked for at first is the one before it; only
// where it is not there is it looked for anywhere else.
struct DelayLine {
    size_t blocks = 0;
    size_t exact = 0;
    size_t spoiled = 0;
    size_t delayChanges = 0;
    size_t exactSpans = 0;       // whole seconds whose every block is exact at one delay
    size_t spans = 0;
    long long firstDelay = 0;
    bool anyExact = false;
    std::string spoiledAt;       // the first few spoiled blocks, in seconds of the recording
};

bool ExactAt(const std::vector<float>& recorded, const std::vector<float>& reference, size_t from, size_t frames,
             long long delay) {
    if (static_cast<long long>(from) < delay) return false;
    const auto source = static_cast<size_t>(static_cast<long long>(from) - delay);
    if (source + frames > reference.size()) return false;
    return std::equal(recorded.begin() + static_cast<std::ptrdiff_t>(from),
                      recorded.begin() + static_cast<std::ptrdiff_t>(from + frames),
                      reference.begin() + static_cast<std::ptrdiff_t>(source));
}

// The delay at which the block is an exact copy, looked for by its first frames anywhere in the
// reference; false when it is none.
bool FindExact(const std::vector<float>& recorded, const std::vector<float>& reference, size_t from, size_t frames,
               long long* delay) {
    constexpr size_t kRun = 16;
    auto at = reference.begin();
    const auto first = recorded.begin() + static_cast<std::ptrdiff_t>(from);
    while ((at = std::search(at, reference.end(), first, first + kRun)) != reference.end()) {
        const long long candidate = static_cast<long long>(from) - static_cast<long long>(at - reference.begin());
        if (ExactAt(recorded, reference, from, frames, candidate)) {
            *delay = candidate;
            return true;
        }
        ++at;
    }
    return false;
}

DelayLine CompareAsDelayLine(const std::vector<float>& recorded, const std::vector<float>& reference, double rate) {
    DelayLine line;
    constexpr size_t block = kExactBlockFrames;
    const auto settled = static_cast<size_t>(kSettleSeconds * rate);
    const auto spanFrames = static_cast<size_t>(rate);
    long long delay = 0;
    bool known = false;
    bool spanExact = true;
    size_t span = 0;
    for (size_t from = settled; from + block <= recorded.size(); from += block) {
        if ((from - settled) / spanFrames != span) {
            ++line.spans;
            line.exactSpans += spanExact ? 1 : 0;
            spanExact = true;
            span = (from - settled) / spanFrames;
        }
        ++line.blocks;
        long long found = delay;
        const bool exact = (known && ExactAt(recorded, reference, from, block, delay)) ||
                           FindExact(recorded, reference, from, block, &found);
        if (exact) {
            ++line.exact;
            if (!known) {
                line.firstDelay = found;
                line.anyExact = true;
            } else if (found != delay) {
                ++line.delayChanges;
                spanExact = false;
            }
            delay = found;
            known = true;
        } else {
            ++line.spoiled;
            spanExact = false;
            if (line.spoiled <= 8) {
                std::ostringstream at;
                at << " " << static_cast<double>(from) / rate << "s";
                line.spoiledAt += at.str();
            }
        }
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

    // One run, judged as it went: a run is never tried again for the cycles the server lost.
    Judged Measure(Path path, uint32_t rate, double drift, bool integerSource = false) {
        Judged j;
        RigRun run;
        run.path = path;
        run.rate = rate;
        run.driftPpm = drift;
        run.seconds = kSeconds;
        run.integerSource = integerSource;
        j.run = RunPath(*rig_->server, run);
        if (!j.run.error.empty()) return j;
        tools::ContinuityOptions options;
        options.settleSeconds = kSettleSeconds;
        j.report = tools::measureContinuity(j.run.recorded, j.run.reference, j.run.recordedRate, options);
        return j;
    }

    // A delayed copy: every block after settling found, none that would be heard changed, no step,
    // and the source at its own rate (the set drift, which the far end's clock does not share).
    void ExpectDelayedCopy(const Judged& j, double expectedPpm) {
        ASSERT_TRUE(j.run.error.empty()) << j.run.error;
        const size_t allowedSteps = j.run.lateClientCycles;
        EXPECT_TRUE(j.run.counters.found) << Describe(j);
        if (allowedSteps == 0) {
            EXPECT_TRUE(j.report.discontinuities.empty()) << Describe(j);
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
    // is the source's, a fixed number of frames late, and the source comes out at its own rate.
    // A cycle the server lost is a gap no helper can prevent; it may spoil the blocks it falls in
    // and move the delay once. The rate is the median over one-second spans; the span furthest from
    // it is held to the same bound only in a run that lost no cycle (a gap is a span's jump).
    void ExpectExactCopy(const Judged& j) {
        ExpectDelayedCopy(j, 0);
        if (HasFatalFailure()) return;
        const uint64_t lost = j.run.lateClientCycles;
        const DelayLine line = CompareAsDelayLine(j.run.recorded, j.run.reference, j.run.recordedRate);
        std::ostringstream figures;
        figures << "of " << line.blocks << " blocks of " << kExactBlockFrames << " frames after settling, " << line.exact
                << " exact (first at a delay of " << line.firstDelay << " frames), " << line.spoiled << " spoiled"
                << (line.spoiledAt.empty() ? "" : " (at" + line.spoiledAt + ")") << ", " << line.delayChanges
                << " changes of the delay, " << line.exactSpans << " of " << line.spans
                << " one-second spans exact throughout; lost cycles " << lost << " (" << j.run.lateClients << ")\n"
                << Describe(j);
        EXPECT_TRUE(line.anyExact) << "no block after settling is the source's exact copy\n" << figures.str();
        EXPECT_LE(line.spoiled, kSpoiledBlocksPerLostCycle * lost) << figures.str();
        EXPECT_LE(line.delayChanges, lost) << figures.str();
        EXPECT_NEAR(j.report.rateErrorPpm, 0.0, 2.0) << figures.str();
        if (lost == 0) {
            EXPECT_NEAR(j.report.worstSpanPpm, 0.0, 2.0) << figures.str();
        }
        std::printf("exact copy: %s\n", figures.str().substr(0, figures.str().find('\n')).c_str());
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
