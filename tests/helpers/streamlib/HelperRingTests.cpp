#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "SignalAnalysis.h"
#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellOutputBridge.h"

using namespace streamlib_test;

namespace {

struct RingDeleter {
    void operator()(TidewellHelperRing* r) const { TidewellHelperRingDestroy(r); }
};
using RingPtr = std::unique_ptr<TidewellHelperRing, RingDeleter>;

RingPtr Make(uint32_t channels, double inputRate = 48000) {
    return RingPtr(TidewellHelperRingCreate(2, channels, inputRate));
}

// Frames whose every sample is its running number, so a test can see which frame went where.
std::vector<float> Stamped(uint64_t first, uint64_t count, uint32_t channels) {
    std::vector<float> frames(count * channels);
    for (uint64_t i = 0; i < count; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            frames[i * channels + c] = static_cast<float>(first + i) + 0.25f * c;
        }
    }
    return frames;
}

uint64_t Fill(const TidewellHelperRing* ring) {
    return ring->writePosition.load() - ring->readPosition.load();
}

}  // namespace

TEST(HelperRing, CreateAllocatesEverythingOrNothing) {
    auto ring = Make(2, 44100);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->capacity, 192000u);
    EXPECT_EQ(ring->resampledCapacity, 65536u);
    EXPECT_EQ(ring->masterGain.load(), 1.0f);
    EXPECT_EQ(ring->channelGains[0], 1.0f);
    EXPECT_EQ(ring->channelGains[1], 1.0f);
    ASSERT_NE(ring->resampler, nullptr);
    EXPECT_EQ(ring->resampler->inputRate, 44100.0);
    EXPECT_EQ(ring->resampler->outputRate, 48000.0);
    EXPECT_EQ(ring->resampler->maxInputFrames, 8192u);
    EXPECT_EQ(ring->targetFill.load(), 0u);
    EXPECT_EQ(ring->meterWriter.mapping, nullptr);
    EXPECT_EQ(ring->meterWriter.descriptor, -1);
    EXPECT_EQ(TidewellHelperRingCreate(0, 2, 48000), nullptr);
    EXPECT_EQ(TidewellHelperRingCreate(2, 65, 48000), nullptr);
    EXPECT_EQ(TidewellHelperRingCreate(2, 2, 0), nullptr);   // no resampler for that rate
    TidewellHelperRingDestroy(nullptr);
}

TEST(HelperRing, EmptyReadGivesSilenceAndCountsUnderrun) {
    auto ring = Make(2);
    std::vector<float> out(512 * 2, 7.0f);
    RingRead(ring.get(), out.data(), 512);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(ring->rendered.load(), 512u);
    EXPECT_EQ(ring->underrun.load(), 512u);
    EXPECT_EQ(ring->readPosition.load(), 0u);
}

TEST(HelperRing, ReadsWhatWasAppendedScaledByTheMasterGainThenSilence) {
    auto ring = Make(2);
    ring->targetFill.store(1000);
    const auto in = Stamped(0, 300, 2);
    RingAppend(ring.get(), in.data(), 300);
    EXPECT_EQ(ring->captured.load(), 300u);
    ring->masterGain.store(0.5f);
    std::vector<float> out(400 * 2, 7.0f);
    RingRead(ring.get(), out.data(), 400);
    for (uint64_t i = 0; i < 300 * 2; ++i) {
        ASSERT_EQ(out[i], in[i] * 0.5f) << i;
    }
    for (uint64_t i = 300 * 2; i < 400 * 2; ++i) {
        ASSERT_EQ(out[i], 0.0f) << i;
    }
    EXPECT_EQ(ring->readPosition.load(), 300u);
    EXPECT_EQ(ring->rendered.load(), 400u);
    EXPECT_EQ(ring->underrun.load(), 100u);
    EXPECT_EQ(ring->dropped.load(), 0u);
}

TEST(HelperRing, WrapsAroundTheEndOfItsStorage) {
    auto ring = Make(3);
    ring->targetFill.store(5000);
    const uint64_t start = ring->capacity * 3 - 100;   // positions keep growing past capacity
    ring->readPosition.store(start);
    ring->writePosition.store(start);
    const auto in = Stamped(start, 1000, 3);
    RingAppend(ring.get(), in.data(), 600);
    RingAppend(ring.get(), in.data() + 600 * 3, 400);
    std::vector<float> out(1000 * 3);
    RingRead(ring.get(), out.data(), 250);
    RingRead(ring.get(), out.data() + 250 * 3, 750);
    EXPECT_EQ(out, in);
    EXPECT_EQ(ring->readPosition.load(), start + 1000);
    EXPECT_EQ(ring->underrun.load(), 0u);
}

TEST(HelperRing, AFullRingRefusesWhatDoesNotFitAndLeavesTheReaderAlone) {
    auto ring = Make(1);
    ring->targetFill.store(100000);
    const uint64_t held = ring->capacity - 500;
    const auto old = Stamped(0, held, 1);
    RingAppend(ring.get(), old.data(), held);
    const auto in = Stamped(held, 1000, 1);
    RingAppend(ring.get(), in.data(), 1000);
    EXPECT_EQ(ring->dropped.load(), 500u);
    EXPECT_EQ(ring->captured.load(), held + 1000);
    EXPECT_EQ(ring->readPosition.load(), 0u);
    EXPECT_EQ(Fill(ring.get()), ring->capacity);
    // Nothing the reader was owed is overwritten: the oldest frame is still frame 0, and the
    // ring ends with the first 500 frames of the block that overflowed.
    std::vector<float> out(ring->capacity);
    RingRead(ring.get(), out.data(), ring->capacity);
    EXPECT_EQ(out.front(), 0.0f);
    EXPECT_EQ(out.back(), static_cast<float>(held + 499));
    EXPECT_EQ(ring->underrun.load(), 0u);
}

TEST(HelperRing, ReaderFarBehindJumpsToTheNewestTargetFramesAndAsksForResync) {
    auto ring = Make(1);
    ring->targetFill.store(100);
    const auto in = Stamped(0, 901, 1);
    RingAppend(ring.get(), in.data(), 901);
    std::vector<float> out(64);
    RingRead(ring.get(), out.data(), 64);
    EXPECT_EQ(out.front(), 801.0f);
    EXPECT_EQ(out.back(), 864.0f);
    EXPECT_EQ(ring->dropped.load(), 801u);
    EXPECT_TRUE(ring->resync.load());
    EXPECT_EQ(ring->readPosition.load(), 865u);

    // The writer's next block resets its drift controller and clears the flag.
    ring->driftController.integral = 0.004;
    ring->driftController.ratio = 1.004;
    ResampleAndAppend(ring.get(), 64);
    EXPECT_FALSE(ring->resync.load());
    EXPECT_EQ(ring->driftController.integral, 0.0);
    EXPECT_EQ(ring->driftController.ratio, 1.0);
    EXPECT_EQ(ring->driftController.targetFill, 100.0);

    // Exactly eight times the target is not yet too far behind.
    auto exact = Make(1);
    exact->targetFill.store(100);
    RingAppend(exact.get(), in.data(), 800);
    RingRead(exact.get(), out.data(), 64);
    EXPECT_EQ(out.front(), 0.0f);
    EXPECT_FALSE(exact->resync.load());
    EXPECT_EQ(exact->dropped.load(), 0u);
}

TEST(HelperRing, WithoutTargetTheNewestFramesArePlayed) {
    auto ring = Make(1);
    const auto in = Stamped(0, 1000, 1);
    RingAppend(ring.get(), in.data(), 1000);
    std::vector<float> out(128);
    RingRead(ring.get(), out.data(), 128);
    EXPECT_EQ(out.front(), 872.0f);
    EXPECT_EQ(out.back(), 999.0f);
    EXPECT_EQ(ring->dropped.load(), 0u);   // the skipped frames are not counted
    EXPECT_FALSE(ring->resync.load());
    EXPECT_EQ(Fill(ring.get()), 0u);
}

TEST(HelperRing, RenderCallbackNeedsTheRingsChannelCount) {
    auto ring = Make(2);
    const auto in = Stamped(1, 100, 2);
    RingAppend(ring.get(), in.data(), 100);
    std::vector<float> out(4 * 64, 7.0f);
    EXPECT_EQ(OutputBridgeCallback(ring.get(), out.data(), 64, 4), 0u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(ring->readPosition.load(), 0u);
    EXPECT_EQ(ring->rendered.load(), 0u);
    EXPECT_EQ(ring->underrun.load(), 0u);

    ring->targetFill.store(1000);
    EXPECT_EQ(OutputBridgeCallback(ring.get(), out.data(), 64, 2), 0u);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(ring->rendered.load(), 64u);
}

TEST(HelperRing, ResampleAndAppendConvertsTheRoutedBlockToTheEngineRate) {
    auto ring = Make(2, 44100);
    ring->targetFill.store(4000);
    std::vector<float> played;
    std::vector<float> out(512 * 2);
    for (int block = 0; block < 100; ++block) {
        const auto in = Sine(44100, 997, 0.5, block * 441u, 441, 2);
        std::copy(in.begin(), in.end(), ring->routedBlock);
        ResampleAndAppend(ring.get(), 441);
        if (block > 2) {
            RingRead(ring.get(), out.data(), 480);
            played.insert(played.end(), out.begin(), out.begin() + 480 * 2);
        }
    }
    EXPECT_EQ(ring->driftController.targetFill, 4000.0);
    // Drift control may pace the output by up to 0.5 %.
    EXPECT_NEAR(static_cast<double>(ring->writePosition.load()), 100 * 480.0, 240.0);
    // Over a short stretch the pace is steady enough to see the tone at its level.
    std::vector<float> left;
    for (size_t i = played.size() / 2 - 2400; i < played.size() / 2; ++i) left.push_back(played[i * 2]);
    const SineFit fit = FitSine(left, 48000, 997 * ring->driftController.ratio);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.01);
    EXPECT_LT(fit.residualRms, 0.01);
}

TEST(HelperRing, SlowCaptureRatesAreChunkedSoNothingIsLost) {
    // At 6000 Hz one routed block of 8192 frames gives more than the resampled block holds.
    auto ring = Make(1, 6000);
    ASSERT_GT(TidewellResamplerMaxOutputFrames(ring->resampler, 8192), ring->resampledCapacity);
    ring->targetFill.store(100000);
    const auto in = Sine(6000, 200, 0.5, 0, 8192);
    std::copy(in.begin(), in.end(), ring->routedBlock);
    ResampleAndAppend(ring.get(), 8192);
    EXPECT_EQ(ring->dropped.load(), 0u);
    EXPECT_NEAR(static_cast<double>(ring->captured.load()), 8192 * 8.0, 20.0);
    EXPECT_GE(ring->resampler->position, 15.0);
    // More than a block asked for is cut to a block.
    ResampleAndAppend(ring.get(), 100000);
    EXPECT_NEAR(static_cast<double>(ring->captured.load()), 2 * 8192 * 8.0, 0.01 * 2 * 8192 * 8.0);
    EXPECT_EQ(ring->dropped.load(), 0u);
}

AudioTimeStamp CycleStamp(double seconds, double sampleTime) {
    AudioTimeStamp stamp{};
    stamp.mHostTime = static_cast<uint64_t>((1.0 + seconds) * 1e9);
    stamp.mSampleTime = sampleTime;
    stamp.mFlags = kAudioTimeStampSampleHostTimeValid;
    return stamp;
}

TEST(HelperRing, DriftControlSettlesAThreeHundredPpmOffsetWithoutOscillating) {
    // The capture clock runs 300 ppm fast against the playback clock, each side's cycles stamped
    // on one host clock. The capture side delivers 64-frame blocks; the playback side takes one
    // frame at a time, so the fill the writer measures is the true fill and any swing would be
    // the control's own.
    auto ring = Make(1, 48000);
    const uint32_t target = 224;
    ring->targetFill.store(target);
    TidewellDriftControllerInit(&ring->driftController, target);
    const double writerPeriod = 64.0 / (48000.0 * 1.0003);
    const double readerPeriod = 1.0 / 48000.0;
    double writerTime = 0.0;
    double readerTime = target / 48000.0;
    float out[1];
    uint64_t sample = 0;
    struct Point {
        double time;
        double fill;
        double ratio;
    };
    std::vector<Point> trace;
    uint64_t droppedAtOneSecond = UINT64_MAX;
    while (writerTime < 200.0) {
        if (droppedAtOneSecond == UINT64_MAX && writerTime >= 1.0) {
            droppedAtOneSecond = ring->dropped.load();
        }
        if (writerTime <= readerTime) {
            for (uint32_t i = 0; i < 64; ++i, ++sample) {
                ring->routedBlock[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * sample / 48000.0));
            }
            trace.push_back({writerTime, static_cast<double>(Fill(ring.get())), ring->resampler->rateScalar.load()});
            const AudioTimeStamp stamp = CycleStamp(writerTime, static_cast<double>(sample - 64));
            const TidewellBlockTime stamped{stamp.mHostTime, stamp.mSampleTime, true, true};
            ResampleAndAppendAt(ring.get(), 64, &stamped);
            writerTime += writerPeriod;
        } else {
            const AudioTimeStamp stamp = CycleStamp(readerTime, std::round((readerTime - target / 48000.0) * 48000.0));
            const TidewellOutputBridgeRenderScope scope(&stamp);
            RingRead(ring.get(), out, 1);
            readerTime += readerPeriod;
        }
    }
    // The start is aligned once (a frame or so); nothing is dropped after that.
    EXPECT_LE(droppedAtOneSecond, 64u);
    EXPECT_EQ(ring->dropped.load(), droppedAtOneSecond);
    EXPECT_FALSE(ring->resync.load());

    // Settled: the ratio sits at the clock offset and the fill at the target.
    double fillMin = 1e9;
    double fillMax = 0.0;
    double ratioMin = 2.0;
    double ratioMax = 0.0;
    for (const Point& p : trace) {
        if (p.time >= 120.0) {
            fillMin = std::min(fillMin, p.fill);
            fillMax = std::max(fillMax, p.fill);
            ratioMin = std::min(ratioMin, p.ratio);
            ratioMax = std::max(ratioMax, p.ratio);
        }
    }
    EXPECT_GE(fillMin, target - 0.05 * target);
    EXPECT_LE(fillMax, target + 0.05 * target + 64);
    EXPECT_NEAR(ratioMin, 1.0003, 0.00002);
    EXPECT_NEAR(ratioMax, 1.0003, 0.00002);

    // No oscillation: the ratio approaches 1.0003 without swinging back and forth around it.
    int crossings = 0;
    int side = 0;   // -1 below a small band around 1.0003, +1 above
    double peak = 0.0;
    for (const Point& p : trace) {
        const int now = p.ratio > 1.0003 + 0.00001 ? 1 : (p.ratio < 1.0003 - 0.00001 ? -1 : 0);
        if (now != 0 && side != 0 && now != side) ++crossings;
        if (now != 0) side = now;
        peak = std::max(peak, p.ratio);
    }
    EXPECT_LE(crossings, 1);
    EXPECT_LT(peak, 1.0003 + 0.00005);   // an overshoot of at most a sixth of the offset
}

namespace {

// Both sides on stamped 192-frame cycles of one 48000 Hz clock, the reader 2 ms behind the
// writer; one cycle of either side can be passed by, as a loaded server does with a late client.
struct LostCycleRun {
    double missedWriterAt = -1;
    int missedWriterCycles = 1;   // in a row, from the one at missedWriterAt
    double missedReaderAt = -1;
    double seconds = 12;
    double watchFrom = 6;
    // The reader plays nothing in this stretch, as when its device has gone; with `readerReturns`
    // it then starts again on a new device (a new timeline), after the ring's restart of its side.
    double readerAwayFrom = -1;
    double readerAwayUntil = -1;
    bool readerReturns = false;
    uint64_t underrun = 0, dropped = 0, steps = 0, explained = 0;   // over the watched stretch
    uint64_t totalCaptured = 0, totalDropped = 0, finalFill = 0;

    // On a fresh mono ring at 48000 Hz with a 224-frame target.
    void Run() {
        auto owned = Make(1, 48000);
        TidewellHelperRing* ring = owned.get();
        ring->targetFill.store(224);
        TidewellDriftControllerInit(&ring->driftController, 224);
        const uint32_t frames = 192;
        const double period = frames / 48000.0;
        std::vector<float> out(frames);
        std::fill(ring->routedBlock, ring->routedBlock + frames, 0.25f);
        double writerTime = 0, readerTime = 0.002, writerSample = 0, readerSample = 0;
        bool watching = false;
        uint64_t underrunBefore = 0, droppedBefore = 0, stepsBefore = 0, explainedBefore = 0;
        while (writerTime < seconds || readerTime < seconds) {
            if (!watching && std::min(writerTime, readerTime) >= watchFrom) {
                watching = true;
                underrunBefore = ring->underrun.load();
                droppedBefore = ring->dropped.load();
                stepsBefore = ring->stepCorrections.load();
                explainedBefore = ring->explainedUnderrun.load();
            }
            if (writerTime <= readerTime) {
                const double lostFrom = std::floor(missedWriterAt / period);
                const double cycle = std::round(writerTime / period);
                if (!(missedWriterAt >= 0 && cycle >= lostFrom && cycle < lostFrom + missedWriterCycles)) {
                    const AudioTimeStamp stamp = CycleStamp(writerTime, writerSample);
                    const TidewellBlockTime time{stamp.mHostTime, stamp.mSampleTime, true, true};
                    ResampleAndAppendAt(ring, frames, &time);
                }
                writerTime += period;
                writerSample += frames;
                continue;
            }
            const bool away = readerTime >= readerAwayFrom && readerTime < readerAwayUntil;
            if (away && readerReturns && readerTime + period >= readerAwayUntil) {
                TidewellHelperRingRestartSide(ring, TidewellHelperRingReaderSide);
                readerSample = -frames;   // the new device's first cycle is at sample time 0
            }
            if (!away && !(missedReaderAt >= readerTime && missedReaderAt < readerTime + period)) {
                const AudioTimeStamp stamp = CycleStamp(readerTime, readerSample);
                const TidewellOutputBridgeRenderScope scope(&stamp);
                RingRead(ring, out.data(), frames);
            }
            readerTime += period;
            readerSample += frames;
        }
        underrun = ring->underrun.load() - underrunBefore;
        dropped = ring->dropped.load() - droppedBefore;
        steps = ring->stepCorrections.load() - stepsBefore;
        explained = ring->explainedUnderrun.load() - explainedBefore;
        totalCaptured = ring->captured.load();
        totalDropped = ring->dropped.load();
        finalFill = Fill(ring);
    }
};

}  // namespace

// A cycle either side misses costs the audio of that cycle and nothing more: the writer puts
// silence where the capture it never got belongs, the reader skips what its device played
// without it, and what follows stays on time, so no step sets the fill right afterwards.
TEST(HelperRing, AMissedReaderCycleSkipsItsFramesAtOnce) {
    LostCycleRun run;
    run.missedReaderAt = 8.0;
    run.Run();
    EXPECT_EQ(run.underrun, 0u);
    EXPECT_EQ(run.dropped, 192u);
    EXPECT_EQ(run.steps, 0u);
}

TEST(HelperRing, AMissedWriterCycleIsMadeUpWithSilenceAtOnce) {
    LostCycleRun run;
    run.missedWriterAt = 8.0;
    run.Run();
    // The reader may run dry while the cycle is missing; the silence written is only the rest.
    EXPECT_LE(run.underrun, 192u);
    EXPECT_EQ(run.explained, run.underrun);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.steps, 0u);
}

// A loss longer than the fill runs the reader dry. The lost cycles explain every frame of that
// underrun, so the adaptive fill does not grow its target for it (which would only insert
// silence later), and the writer's silence makes up just the rest.
TEST(HelperRing, AnUnderrunThatLostWriterCyclesExplainIsMarkedSo) {
    LostCycleRun run;
    run.missedWriterAt = 8.0;
    run.missedWriterCycles = 2;
    run.Run();
    EXPECT_GT(run.underrun, 0u);
    EXPECT_LE(run.underrun, 2 * 192u);
    EXPECT_EQ(run.explained, run.underrun);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.steps, 0u);
}

// A reader whose device has gone plays nothing for a long while; the writer goes on. The ring
// fills and refuses what does not fit, but its counters stay true: no more frames dropped than
// were ever captured (the reader's last point, carried along its clock, must not read as an ever
// emptier ring whose steps insert seconds of silence that are then counted as dropped).
TEST(HelperRing, AReaderThatStopsNeverMakesTheDroppedCountExceedTheCaptured) {
    LostCycleRun run;
    run.readerAwayFrom = 4.0;
    run.readerAwayUntil = 1e9;
    run.seconds = 64;
    run.watchFrom = 10;
    run.Run();
    EXPECT_EQ(run.finalFill, kTidewellHelperRingCapacity);
    EXPECT_LE(run.totalDropped, run.totalCaptured);
    // Past the full ring every captured frame is refused, and nothing else is counted.
    EXPECT_NEAR(static_cast<double>(run.dropped), 54.0 * 48000, 2 * 192.0);
    EXPECT_EQ(run.steps, 0u);
}

// The reader comes back on a new device (a new timeline): it starts on fresh audio, the ring is
// aligned once, and then it plays on without a gap, a drop or a step.
TEST(HelperRing, AReaderThatStartsAgainOnANewDevicePlaysOnFromFreshAudio) {
    LostCycleRun run;
    run.readerAwayFrom = 4.0;
    run.readerAwayUntil = 9.0;
    run.readerReturns = true;
    run.seconds = 20;
    run.watchFrom = 11;
    run.Run();
    EXPECT_LE(run.totalDropped, run.totalCaptured);
    EXPECT_EQ(run.underrun, 0u);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.steps, 0u);
    EXPECT_LE(run.finalFill, 224u + 2 * 192u);
}
