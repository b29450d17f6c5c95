// Both sides of a helper ring on one 48000 Hz clock, as the process tap's aggregate and a virtual
// device are, or a virtual device and the output a monitor plays to: the ring carries the source
// as a delayed copy, sample for sample, once it has settled. The ring starts dry, as a helper's
// does: the reader's device runs before the writer's first cycle, so the ring's low point is below
// nothing when it is first measured, and the first alignment has to make up the whole shortfall.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

struct RingDeleter {
    void operator()(TidewellHelperRing* r) const { TidewellHelperRingDestroy(r); }
};
using RingPtr = std::unique_ptr<TidewellHelperRing, RingDeleter>;

constexpr double kRate = 48000.0;
constexpr uint32_t kTarget = 224;
constexpr double kSettleSeconds = 3.0;

// A device's cycles on the host clock: each begins a whole number of nanoseconds after the start
// (as a device's time stamps do), `frames` frames apart.
struct Cycles {
    uint32_t frames;
    double startSeconds;
    uint64_t index = 0;
    uint64_t Nanos() const {
        return static_cast<uint64_t>(std::llround((1.0 + startSeconds) * 1e9 + index * (frames / kRate) * 1e9));
    }
    double Seconds() const { return startSeconds + index * (frames / kRate); }
    AudioTimeStamp Stamp() const {
        AudioTimeStamp stamp{};
        stamp.mHostTime = Nanos();
        stamp.mSampleTime = static_cast<double>(index * frames);
        stamp.mFlags = kAudioTimeStampSampleHostTimeValid;
        return stamp;
    }
};

struct EqualClocksRun {
    TidewellHelperRingControl control = TidewellHelperRingWriterControls;
    Cycles writer{192, 0.0025};
    Cycles reader{512, 0.0};
    // The reader's device cycle in the slices its output unit renders, all with the cycle's stamp.
    std::vector<uint32_t> slices{192, 192, 128};
    double seconds = 8;
    // Cycles the server passes by, as it does a late client's: the writer's capture of them is
    // lost, the reader's device plays them without it (silence, here).
    double missedWriterAt = -1;
    int missedWriterCycles = 0;
    double missedReaderAt = -1;
    // Both sides miss every cycle that begins in this stretch: the helper was held up as a whole.
    // The writer's side comes back this much later (the reader's runs first after the stretch).
    double heldFrom = -1;
    double heldUntil = -1;
    double writerBackLater = 0;
    // The writer's cycles that begin in this stretch come late, all at its end (its thread was held
    // up past them, but the server did not pass them by): the reader may run dry meanwhile.
    double writerLateFrom = -1;
    double writerLateUntil = -1;
    // A new target from then on, as the adaptive fill sets one after an underrun or a quiet spell.
    double newTargetAt = -1;
    uint32_t newTarget = kTarget;

    std::vector<float> source;    // what the writer was given, frame by frame
    std::vector<float> played;    // what the reader played, frame by frame
    size_t settledFrom = 0;       // the first frame played after settling
    double largestSettledTrim = 0;
    bool filteredAfterSettling = false;
    uint64_t settledUnderrun = 0;

    bool Held(const Cycles& side) const {
        const double until = heldUntil + (&side == &writer ? writerBackLater : 0.0);
        return side.Seconds() >= heldFrom && side.Seconds() < until;
    }

    void Run() {
        RingPtr ring(control == TidewellHelperRingWriterControls ? TidewellHelperRingCreate(1, 1, kRate)
                                                                 : TidewellHelperRingCreateReaderControlled(1, 1));
        ASSERT_NE(ring, nullptr);
        if (control == TidewellHelperRingReaderControls) {
            ring->routeCount = 1;
            ring->routes[0][0] = 1;
            ring->routes[0][1] = 1;
            ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring.get(), kRate));
        }
        ring->targetFill.store(kTarget);
        TidewellDriftControllerInit(&ring->driftController, kTarget);
        // Noise, so that every frame can be told from its neighbours and no period hides a shift.
        std::mt19937 random(36);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        std::vector<float> out(reader.frames);
        uint64_t underrunAtSettling = 0;
        while (writer.Seconds() < seconds || reader.Seconds() < seconds) {
            if (newTargetAt >= 0 && std::min(writer.Seconds(), reader.Seconds()) >= newTargetAt) {
                ring->targetFill.store(newTarget);
            }
            const bool writerHeldUp = writer.Seconds() >= writerLateFrom && writer.Seconds() < writerLateUntil &&
                                      reader.Seconds() <= writerLateUntil;
            if (writer.Seconds() <= reader.Seconds() && !writerHeldUp) {
                const AudioTimeStamp stamp = writer.Stamp();
                const TidewellBlockTime time{stamp.mHostTime, stamp.mSampleTime, true, true};
                for (uint32_t i = 0; i < writer.frames; ++i) {
                    source.push_back(noise(random));
                    ring->routedBlock[i] = source.back();
                }
                const double lostFrom = std::floor(missedWriterAt / (writer.frames / kRate));
                if ((missedWriterAt >= 0 && writer.index >= lostFrom && writer.index < lostFrom + missedWriterCycles) ||
                    Held(writer)) {
                    // Lost before the writer saw it.
                } else if (control == TidewellHelperRingWriterControls) {
                    ResampleAndAppendAt(ring.get(), writer.frames, &time);
                } else {
                    RingWriterCycle(ring.get(), writer.frames, time);
                    RingAppendRouted(ring.get(), writer.frames);
                }
                ++writer.index;
                continue;
            }
            const bool settled = reader.Seconds() >= kSettleSeconds;
            if (settled && settledFrom == 0) {
                settledFrom = played.size();
                underrunAtSettling = ring->underrun.load();
            }
            AudioTimeStamp stamp = reader.Stamp();
            if ((missedReaderAt >= reader.Seconds() && missedReaderAt < reader.Seconds() + reader.frames / kRate) ||
                Held(reader)) {
                played.insert(played.end(), reader.frames, 0.0f);
                ++reader.index;
                continue;
            }
            for (uint32_t slice : slices) {
                const TidewellOutputBridgeRenderScope scope(&stamp);
                OutputBridgeCallback(ring.get(), out.data(), slice, 1);
                played.insert(played.end(), out.begin(), out.begin() + slice);
                stamp.mSampleTime += slice;
            }
            if (settled) {
                largestSettledTrim = std::max(largestSettledTrim, std::fabs(ring->fillControl.trim));
                filteredAfterSettling = filteredAfterSettling || !TidewellResamplerIsIdentity(ring->resampler);
            }
            ++reader.index;
        }
        settledUnderrun = ring->underrun.load() - underrunAtSettling;
    }
};

// The capture helpers' shape (a tap aggregate's 192-frame cycles into a virtual device's 512-frame
// cycles, rendered in slices) or the monitor's (a virtual device's 512-frame cycles out to a
// device's 192-frame cycles), with the writer's first cycle `writerStart` seconds after the
// reader's.
EqualClocksRun Shaped(TidewellHelperRingControl control, double writerStart = 0.0025) {
    EqualClocksRun run;
    run.control = control;
    if (control == TidewellHelperRingReaderControls) {
        run.writer = Cycles{512, writerStart};
        run.reader = Cycles{192, 0.0};
        run.slices = {192};
    } else {
        run.writer.startSeconds = writerStart;
    }
    return run;
}

const char* Name(TidewellHelperRingControl control) {
    return control == TidewellHelperRingWriterControls ? "writer controls (capture helpers)"
                                                       : "reader controls (monitor)";
}

// The part of what was played from frame `from` on against the source: the delay of its first
// frame, then how many frames differ from the source at that delay, and how many of those are
// silence.
struct Comparison {
    bool found = false;
    size_t delay = 0;
    size_t differing = 0;
    size_t silent = 0;
};

Comparison ComparePlayed(const EqualClocksRun& run, size_t from) {
    Comparison result;
    if (from == 0 || from >= run.played.size()) {
        return result;
    }
    const auto first = std::find(run.source.begin(), run.source.end(), run.played[from]);
    if (first == run.source.end()) {
        return result;
    }
    result.found = true;
    result.delay = from - static_cast<size_t>(first - run.source.begin());
    for (size_t i = from; i < run.played.size(); ++i) {
        if (run.played[i] != run.source[i - result.delay]) {
            ++result.differing;
            result.silent += run.played[i] == 0.0f ? 1 : 0;
        }
    }
    return result;
}

Comparison CompareSettled(const EqualClocksRun& run) {
    return ComparePlayed(run, run.settledFrom);
}

const TidewellHelperRingControl kBothSides[] = {TidewellHelperRingWriterControls, TidewellHelperRingReaderControls};

}  // namespace

// The first alignment measures the ring below nothing (the reader has run it dry) and puts it at
// the target, whatever the shortfall: left short, the fill trim would sit at its limit for
// minutes, converting at a shifted rate to make up what one step makes up at the start. Where the
// two sides' cycles begin together now and then, the dry ring runs out at some of the reader's
// cycles and not at others while it is measured; where a writer's cycle is lost meanwhile, the
// reader runs dry for want of it, which the writer's silence then makes up for.
TEST(HelperRingEqualClocks, TheTrimSettlesToNothingWithinTheSettlingTime) {
    for (const auto control : kBothSides) {
        for (const double writerStart : {0.0025, 0.0}) {
            for (const bool lostWhileMeasured : {false, true}) {
                SCOPED_TRACE(testing::Message() << Name(control) << ", the writer starting " << writerStart
                                                << " s later" << (lostWhileMeasured ? ", a cycle lost at 0.3 s" : ""));
                EqualClocksRun run = Shaped(control, writerStart);
                if (lostWhileMeasured) {
                    run.missedWriterAt = 0.3;
                    run.missedWriterCycles = 2;
                }
                run.Run();
                EXPECT_EQ(run.largestSettledTrim, 0.0);
                EXPECT_EQ(run.settledUnderrun, 0u);
            }
        }
    }
}

// Settled, the ring is a delay line: the clocks' ratio is exactly 1 and the resampler copies, so
// every frame played is the source's, a fixed number of frames late.
TEST(HelperRingEqualClocks, TheSettledRingCarriesTheSourceSampleForSample) {
    for (const auto control : kBothSides) {
        SCOPED_TRACE(Name(control));
        EqualClocksRun run = Shaped(control);
        run.Run();
        EXPECT_FALSE(run.filteredAfterSettling);
        const Comparison copy = CompareSettled(run);
        ASSERT_TRUE(copy.found) << "the first frame played after settling is no source frame";
        EXPECT_EQ(copy.differing, 0u) << "of " << run.played.size() - run.settledFrom << " frames, " << copy.delay
                                      << " frames late";
    }
}

// A cycle either side misses costs that cycle's frames and nothing more: silence in their place,
// the same delay before and after, no step, and the copy goes on without the trim (which would
// make it a filtered copy for good).
TEST(HelperRingEqualClocks, ALostCycleCostsItsFramesAndNothingMore) {
    struct Loss {
        TidewellHelperRingControl control;
        bool writer;
        int cycles;
        size_t frames;
    };
    const Loss losses[] = {{TidewellHelperRingWriterControls, true, 2, 2 * 192},
                           {TidewellHelperRingWriterControls, false, 1, 512},
                           {TidewellHelperRingReaderControls, true, 1, 512},
                           {TidewellHelperRingReaderControls, false, 1, 192}};
    for (const Loss& loss : losses) {
        SCOPED_TRACE(testing::Message() << Name(loss.control) << ", " << (loss.writer ? "writer" : "reader")
                                        << " cycles lost");
        EqualClocksRun run = Shaped(loss.control);
        (loss.writer ? run.missedWriterAt : run.missedReaderAt) = 5.0;
        run.missedWriterCycles = loss.cycles;
        run.Run();
        EXPECT_EQ(run.largestSettledTrim, 0.0);
        EXPECT_FALSE(run.filteredAfterSettling);
        // A lost cycle longer than the ring's low point runs the reader dry for want of it.
        EXPECT_LE(run.settledUnderrun, loss.writer ? loss.frames : 0u);
        const Comparison copy = CompareSettled(run);
        ASSERT_TRUE(copy.found);
        EXPECT_EQ(copy.differing, loss.frames);
        EXPECT_EQ(copy.silent, copy.differing);
    }
}

// A new target is set right at once, by one step of the difference: the ring goes on as a copy of
// the source, that much later (a larger target) or earlier (a smaller one), without the trim.
// Trimmed towards it, the ring would reach a target 192 frames higher only after minutes at the
// trim's limit, running dry meanwhile as often as before the target grew.
TEST(HelperRingEqualClocks, ANewTargetIsReachedByOneStep) {
    for (const auto control : kBothSides) {
        for (const uint32_t newTarget : {kTarget + 192, kTarget - 96}) {
            SCOPED_TRACE(testing::Message() << Name(control) << ", a new target of " << newTarget);
            EqualClocksRun run = Shaped(control);
            run.newTargetAt = 5.0;
            run.newTarget = newTarget;
            run.Run();
            EXPECT_EQ(run.largestSettledTrim, 0.0);
            EXPECT_FALSE(run.filteredAfterSettling);
            EXPECT_EQ(run.settledUnderrun, 0u);
            const Comparison before = CompareSettled(run);
            const Comparison after = ComparePlayed(run, static_cast<size_t>(7.0 * kRate));
            if (!before.found || !after.found) {
                ADD_FAILURE() << "what was played is no copy of the source";
                continue;
            }
            EXPECT_EQ(static_cast<double>(after.delay) - static_cast<double>(before.delay),
                      static_cast<double>(newTarget) - kTarget);
            EXPECT_EQ(after.differing, 0u);
        }
    }
}

// A writer's cycle lost while the ring is measured for a new target runs the reader dry for want
// of it; the writer's silence makes that up, less what the reader played meanwhile, so the ring
// does not stand any fuller for it, and the measurement must not count it as if it did.
TEST(HelperRingEqualClocks, ACycleLostWhileTheRingIsMeasuredLeavesItsAlignmentAlone) {
    for (const auto control : kBothSides) {
        for (const double lostAt : {5.05, 5.1, 5.15, 5.2}) {
            SCOPED_TRACE(testing::Message() << Name(control) << ", writer cycles lost at " << lostAt << " s");
            EqualClocksRun run = Shaped(control);
            run.newTargetAt = 5.0;
            run.newTarget = kTarget + 192;
            run.missedWriterAt = lostAt;
            run.missedWriterCycles = control == TidewellHelperRingWriterControls ? 3 : 2;
            run.Run();
            EXPECT_EQ(run.largestSettledTrim, 0.0);
            EXPECT_FALSE(run.filteredAfterSettling);
        }
    }
}

// A helper held up as a whole (its process not run for a while) misses the cycles of both its
// sides at once, and its reader comes back first: it runs dry for want of what the writer never
// got, which the writer then makes up with that much less silence. Held up for longer than the
// ring holds, the reader finds less in it than its device played without it, and skips the rest as
// soon as the writer's silence for the same stretch arrives. Either way the ring comes back at its
// target, and the copy goes on at the same delay, without the trim.
TEST(HelperRingEqualClocks, AHelperHeldUpAsAWholeComesBackAtTheSameDelay) {
    for (const auto control : kBothSides) {
        for (const double held : {0.012, 0.025}) {
            SCOPED_TRACE(testing::Message() << Name(control) << ", held up for " << held << " s");
            EqualClocksRun run = Shaped(control);
            run.heldFrom = 5.0;
            run.heldUntil = 5.0 + held;
            run.writerBackLater = run.writer.frames / kRate;
            run.Run();
            EXPECT_EQ(run.largestSettledTrim, 0.0);
            EXPECT_FALSE(run.filteredAfterSettling);
            const Comparison before = CompareSettled(run);
            const Comparison after = ComparePlayed(run, static_cast<size_t>(6.0 * kRate));
            if (!before.found || !after.found) {
                ADD_FAILURE() << "what was played is no copy of the source";
                continue;
            }
            EXPECT_EQ(after.delay, before.delay);
            EXPECT_EQ(after.differing, 0u);
            // Silence where the stretch was, and no more than it and a cycle of either side.
            EXPECT_EQ(before.silent, before.differing);
            EXPECT_LE(before.differing, static_cast<size_t>((held + run.writerBackLater) * kRate) + 512 + 192);
        }
    }
}

// A writer held up past its cycle without losing it (its thread ran late, the server waited for
// it) runs the reader dry: the reader falls behind by what it could not take, and the frames come
// all the same, so the ring stands that much higher. Trimmed away, a few frames would take minutes
// and leave the copy filtered for good: the ring stays a copy, at the new delay or, past the step
// limit, at the target again after one step.
TEST(HelperRingEqualClocks, AWriterHeldUpPastItsCycleLeavesTheCopyExact) {
    for (const auto control : kBothSides) {
        // Late by more than the ring's low point and the reader's next cycle: it runs dry by 104 to
        // 808 frames.
        for (const double late : {0.014, 0.016, 0.025}) {
            SCOPED_TRACE(testing::Message() << Name(control) << ", the writer held up " << late << " s");
            EqualClocksRun run = Shaped(control);
            run.writerLateFrom = 5.0;
            run.writerLateUntil = 5.0 + late;
            run.Run();
            EXPECT_GT(run.settledUnderrun, 0u) << "the reader never ran dry";
            EXPECT_EQ(run.largestSettledTrim, 0.0);
            EXPECT_FALSE(run.filteredAfterSettling);
            const Comparison after = ComparePlayed(run, static_cast<size_t>(6.0 * kRate));
            ASSERT_TRUE(after.found) << "what was played is no copy of the source";
            EXPECT_EQ(after.differing, 0u);
        }
    }
}

// The monitor held up for longer than its ring holds, while its output device went away: the
// render side's last cycle before the stop skipped all the ring held and still owed the rest of
// what that device played without it. Both devices then start again. The owed frames belong to
// the old output's stream: the new one plays what is written from then on, from its first frame.
TEST(HelperRingEqualClocks, AReaderStartedAgainOwesTheOldStreamNoSkip) {
    RingPtr ring(TidewellHelperRingCreateReaderControlled(1, 1));
    ASSERT_NE(ring, nullptr);
    ring->routeCount = 1;
    ring->routes[0][0] = 1;
    ring->routes[0][1] = 1;
    ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring.get(), kRate));
    ring->targetFill.store(kTarget);
    TidewellDriftControllerInit(&ring->driftController, kTarget);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    Cycles writer{512, 0.0025};
    Cycles reader{192, 0.0};
    std::vector<float> source;
    std::vector<float> played;
    std::vector<float> out(reader.frames);
    constexpr double kHeldFrom = 2.0;
    constexpr double kHeldFor = 0.2;      // 50 of the output's cycles: far more than the ring holds
    constexpr double kEnd = 4.0;
    bool restarted = false;
    size_t sourceAtRestart = 0;
    size_t playedAtRestart = 0;
    uint64_t droppedAtRestart = 0;
    while (writer.Seconds() < kEnd || reader.Seconds() < kEnd) {
        if (writer.Seconds() <= reader.Seconds()) {
            if (writer.Seconds() >= kHeldFrom && writer.Seconds() < kHeldFrom + kHeldFor + writer.frames / kRate) {
                ++writer.index;
                continue;
            }
            const AudioTimeStamp stamp = writer.Stamp();
            const TidewellBlockTime time{stamp.mHostTime, stamp.mSampleTime, true, true};
            for (uint32_t i = 0; i < writer.frames; ++i) {
                source.push_back(noise(random));
                ring->routedBlock[i] = source.back();
            }
            RingWriterCycle(ring.get(), writer.frames, time);
            RingAppendRouted(ring.get(), writer.frames);
            ++writer.index;
            continue;
        }
        if (reader.Seconds() >= kHeldFrom && reader.Seconds() < kHeldFrom + kHeldFor) {
            ++reader.index;
            continue;
        }
        if (!restarted && reader.Seconds() >= kHeldFrom + kHeldFor + 0.003) {
            // One cycle after it came back, before the writer did, the output device went away;
            // then both devices came back under new ids: each side starts again on its new clock.
            TidewellHelperRingRestartSide(ring.get(), TidewellHelperRingReaderSide);
            TidewellHelperRingRestartSide(ring.get(), TidewellHelperRingWriterSide);
            restarted = true;
            sourceAtRestart = source.size();
            playedAtRestart = played.size();
            droppedAtRestart = ring->dropped.load();
        }
        AudioTimeStamp stamp = reader.Stamp();
        const TidewellOutputBridgeRenderScope scope(&stamp);
        OutputBridgeCallback(ring.get(), out.data(), reader.frames, 1);
        played.insert(played.end(), out.begin(), out.end());
        ++reader.index;
    }
    ASSERT_TRUE(restarted);
    // The first frame written after the restart is played, after the new output's silence.
    const auto first = std::find(played.begin() + static_cast<std::ptrdiff_t>(playedAtRestart), played.end(),
                                 source[sourceAtRestart]);
    ASSERT_NE(first, played.end()) << "the first frame written after the restart was never played";
    const auto firstDelay = static_cast<size_t>(first - played.begin()) - sourceAtRestart;
    // The fresh alignment then sets the ring to its target by one step; from then on the output is
    // the source at one delay.
    const size_t settledFrom = playedAtRestart + static_cast<size_t>(1.0 * kRate);
    const auto settled = std::find(source.begin(), source.end(), played[settledFrom]);
    ASSERT_NE(settled, source.end()) << "what is played after the restart is no copy of the source";
    const size_t delay = settledFrom - static_cast<size_t>(settled - source.begin());
    size_t differing = 0;
    for (size_t i = settledFrom; i < played.size(); ++i) {
        differing += played[i] != source[i - delay] ? 1 : 0;
    }
    EXPECT_EQ(differing, 0u);
    // Silence held back only delays the copy; frames are dropped only where the delay shrank.
    EXPECT_EQ(ring->dropped.load() - droppedAtRestart, firstDelay > delay ? firstDelay - delay : 0u);
}
