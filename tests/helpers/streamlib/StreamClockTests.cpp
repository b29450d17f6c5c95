#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "TidewellStream/TidewellStreamClock.h"

namespace {

constexpr double kRate = 48000;

// A 512-frame device cycle at 48000 Hz, in nanoseconds (what the unit's stamps are spaced by).
constexpr uint64_t kPeriod = 10'666'667;

// Feeds one slice per device cycle at stamps `first`, `first + spacing`, ... and returns the sample
// time the record gives the last one.
double Slices(TidewellUnitTimeline* timeline, uint64_t first, uint64_t spacing, int count, double* sample) {
    double result = 0;
    for (int i = 0; i < count; ++i) {
        result = TidewellUnitTimelineSlice(timeline, first + uint64_t(i) * spacing, *sample, 512, kRate);
        *sample += 512;
    }
    return result;
}

}  // namespace

// The unit stamps a cycle with the time it will be played; the rate control wants the time the
// cycle began, one cycle earlier. The record learns the cycle's length from the stamps.
TEST(UnitTimeline, LearnsTheCycleFromItsStampsAndGivesEachCycleItsStart) {
    TidewellUnitTimeline timeline{};
    EXPECT_EQ(TidewellUnitTimelineCycleStart(&timeline, 5'000'000'000), 5'000'000'000u);   // not yet known
    double sample = 0;
    Slices(&timeline, 5'000'000'000, kPeriod, 3, &sample);
    EXPECT_EQ(timeline.periodNanos, kPeriod);
    EXPECT_EQ(TidewellUnitTimelineCycleStart(&timeline, 6'000'000'000), 6'000'000'000 - kPeriod);
}

// A converting unit leaves cycles without a slice, and a loaded server passes some by: spacings of
// whole cycles leave the length alone. A device whose buffer size changed shows spacings that fit
// no whole count; after a run of them their length is the new cycle.
TEST(UnitTimeline, SkippedCyclesKeepTheLengthAndANewBufferSizeReplacesIt) {
    TidewellUnitTimeline timeline{};
    timeline.periodNanos = kPeriod;   // as the bridge reads it from the device at start
    double sample = 0;
    uint64_t at = 1'000'000'000;
    Slices(&timeline, at, kPeriod, 4, &sample);
    at += 4 * kPeriod;
    Slices(&timeline, at, 2 * kPeriod, 4, &sample);
    at += 4 * 2 * kPeriod;
    Slices(&timeline, at, 3 * kPeriod, 3, &sample);
    at += 3 * 3 * kPeriod;
    EXPECT_EQ(timeline.periodNanos, kPeriod);

    const uint64_t longer = kPeriod * 3 / 2;   // 768 frames
    Slices(&timeline, at, longer, 7, &sample);
    at += 7 * longer;
    EXPECT_EQ(timeline.periodNanos, kPeriod) << "a few odd spacings are not yet a new size";
    Slices(&timeline, at, longer, 3, &sample);
    EXPECT_EQ(timeline.periodNanos, longer);
}

// A device's buffer made smaller just as an output unit starts on it (another client asked for
// 192 frames): the record goes on taking the old 512-frame cycle off each stamp until the new
// length is learned, so the first cycle starts lie 6.7 ms off the line of the rest. A clock
// that fitted them read the device hundreds of ppm slow for seconds, and the ring that follows
// it drained by a hundred frames until a step set it right, in the middle of the audio.
TEST(StreamClock, ACycleLengthLearnedAnewAtStartLeavesTheRateExact) {
    constexpr uint32_t kFrames = 192;
    for (const double ppm : {0.0, 300.0}) {
        SCOPED_TRACE(testing::Message() << ppm << " ppm");
        const double rate = kRate * (1 + ppm * 1e-6);
        TidewellUnitTimeline timeline{};
        timeline.periodNanos = kPeriod;   // read off the device at start, before the change
        TidewellStreamClock clock;
        TidewellStreamClockInit(&clock, kRate);
        bool moved = false;
        for (int cycle = 0; cycle < 1000; ++cycle) {
            // Each stamp is the time the cycle will be played, one cycle after it begins.
            const auto stamp = uint64_t(1e9 + std::floor((cycle + 1) * kFrames / rate * 1e9));
            const double sample =
                TidewellUnitTimelineSlice(&timeline, stamp, cycle * double(kFrames), kFrames, kRate);
            TidewellBlockTime time{TidewellUnitTimelineCycleStart(&timeline, stamp), sample, true, true};
            time.timelineMoved = timeline.moved;
            moved = moved || timeline.moved;
            TidewellStreamClockAddBlock(&clock, kFrames, time);
            if (cycle >= 125 && cycle % 25 == 0) {   // from half a second on
                ASSERT_NEAR(TidewellStreamClockRate(&clock) / rate - 1, 0, 0.1e-6) << "cycle " << cycle;
            }
        }
        EXPECT_TRUE(moved) << "the record never learned the new length";
        EXPECT_NEAR(double(timeline.periodNanos), kFrames / rate * 1e9, 1.0);
    }
}

// From exact device stamps the clock reads the device's rate to well under a ppm, drift included.
TEST(StreamClock, ExactStampsGiveTheDevicesRate) {
    for (const double ppm : {0.0, 300.0, -250.0}) {
        TidewellStreamClock clock;
        TidewellStreamClockInit(&clock, kRate);
        const double rate = kRate * (1 + ppm * 1e-6);
        for (int cycle = 0; cycle < 2000; ++cycle) {
            const double seconds = cycle * 512 / rate;
            const TidewellBlockTime time{uint64_t(1e9 + std::floor(seconds * 1e9)), cycle * 512.0, true, true};
            TidewellStreamClockAddBlock(&clock, 512, time);
        }
        EXPECT_NEAR(TidewellStreamClockRate(&clock) / kRate - 1, ppm * 1e-6, 0.1e-6) << ppm;
    }
}

// A device that stalls resumes on a new grid: its host time jumps by a few cycles and a fraction
// while its sample time goes on by one cycle. The clock keeps the rate it measured; fitted, the
// jump would bend it by hundreds of ppm for seconds, which the ring hears as a slow slip.
TEST(StreamClock, AStalledDeviceResumingOnANewGridKeepsItsRate) {
    TidewellStreamClock clock;
    TidewellStreamClockInit(&clock, kRate);
    const double rate = kRate * 1.0003;
    double host = 1.0;
    double sample = 0;
    for (int cycle = 0; cycle < 6000; ++cycle) {
        if (cycle == 1500) host += 0.0437;   // the stall, 4.1 cycles long
        TidewellStreamClockAddBlock(&clock, 512, TidewellBlockTime{uint64_t(host * 1e9), sample, true, true});
        if (cycle > 1500 && cycle % 100 == 0) {
            EXPECT_NEAR(TidewellStreamClockRate(&clock) / rate - 1, 0, 1e-6) << "cycle " << cycle;
        }
        host += 512 / rate;
        sample += 512;
    }
}

// The unit's record likewise adds no skipped frames for a spacing that fits no whole number of
// cycles: the device did not play that time, with this unit or without it.
TEST(UnitTimeline, AStallOffTheGridSkipsNoFrames) {
    TidewellUnitTimeline timeline{};
    timeline.periodNanos = kPeriod;
    double sample = 0;
    Slices(&timeline, 1'000'000'000, kPeriod, 4, &sample);
    const uint64_t resumed = 1'000'000'000 + 3 * kPeriod + kPeriod * 41 / 10;
    EXPECT_EQ(TidewellUnitTimelineSlice(&timeline, resumed, sample, 512, kRate), sample);
    EXPECT_EQ(timeline.skippedFrames, 0);
    // Two whole cycles passed by (a late client) still count as played without it.
    sample += 512;
    EXPECT_EQ(TidewellUnitTimelineSlice(&timeline, resumed + 3 * kPeriod, sample, 512, kRate), sample + 1024);
}

// Stamps that scatter by a fraction of a cycle (a queue's, taken when its buffers complete) are
// fitted as they come: the clock still finds the rate rather than holding an early estimate.
TEST(StreamClock, ScatteredStampsAreFittedNotTakenForJumps) {
    TidewellStreamClock clock;
    TidewellStreamClockInit(&clock, kRate);
    const double rate = kRate * 0.9997;
    uint32_t noise = 12345;
    for (int cycle = 0; cycle < 3000; ++cycle) {
        noise = noise * 1103515245u + 12345u;
        const double jitter = ((noise >> 16) % 1000) / 1000.0 * 0.6 * 512 / rate;   // up to 0.6 cycle late
        const double host = 1.0 + cycle * 512 / rate + jitter;
        TidewellStreamClockAddBlock(&clock, 512, TidewellBlockTime{uint64_t(host * 1e9), cycle * 512.0, true, true});
    }
    EXPECT_NEAR(TidewellStreamClockRate(&clock) / rate - 1, 0, 20e-6);
}

// Two clocks the stamps cannot tell apart are one: their ratio is exactly 1, and an equal-rate
// resampler keeps copying. A real drift, however small, is followed; so are nominal rates apart.
TEST(ClockRatio, ClocksThatAgreeWithinTheirStampsNoiseAreOne) {
    EXPECT_EQ(TidewellClockRatioScalar(48000.000001, 48000, 47999.999999, 48000, 0), 1.0);
    EXPECT_EQ(TidewellClockRatioScalar(48000.00432, 48000, 48000, 48000, 0), 1.0);   // 0.09 ppm
    EXPECT_EQ(TidewellClockRatioScalar(48000.000001, 48000, 47999.999999, 48000, 3e-6), 1.0 + 3e-6);
    EXPECT_EQ(TidewellClockRatioScalar(44100.000001, 44100, 48000, 48000, 0), 1.0);
    EXPECT_DOUBLE_EQ(TidewellClockRatioScalar(48000.024, 48000, 48000, 48000, 0), 1.0 + 0.5e-6);
    EXPECT_DOUBLE_EQ(TidewellClockRatioScalar(48014.4, 48000, 48000, 48000, 0), 1.0003);
    EXPECT_DOUBLE_EQ(TidewellClockRatioScalar(48000, 48000, 48014.4, 48000, 1e-6), (1.0 / 1.0003) * (1.0 + 1e-6));
    EXPECT_EQ(TidewellClockRatioScalar(0, 48000, 48000, 48000, 2e-6), 1.0 + 2e-6);   // no rate yet
}
