// The meter scale, the ballistics of one meter, and the shared clock that steps them.

#include "TidewellApp/MeterBallistics.h"
#include "TidewellApp/MeterClock.h"

#include <QObject>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace tidewell;

namespace {

constexpr double t0 = 1024.0;  // any time > 0; this one keeps time steps exact

// A meter that already shows a bar at `level` and a held peak at `peak`, at time t0.
MeterBallistics settled(double rms, double peakSample) {
    MeterBallistics b;
    b.step(rms, peakSample, t0);
    return b;
}

}  // namespace

TEST(MeterScaleTest, IsLinearInDecibelsFromMinusSixtyToZero) {
    EXPECT_DOUBLE_EQ(meterScale(1.0), 1.0);
    EXPECT_DOUBLE_EQ(meterScale(4.0), 1.0) << "above full scale is full scale";
    EXPECT_NEAR(meterScale(0.5), 0.8997, 1e-4);
    EXPECT_NEAR(meterScale(0.1), 2.0 / 3.0, 1e-9);
    EXPECT_NEAR(meterScale(0.001), 0.0, 1e-9);
    EXPECT_DOUBLE_EQ(meterScale(0.0001), 0.0);
    EXPECT_DOUBLE_EQ(meterScale(0.0), 0.0);
    EXPECT_DOUBLE_EQ(meterScale(-0.5), 0.0);
    EXPECT_DOUBLE_EQ(meterScale(std::numeric_limits<double>::quiet_NaN()), 0.0);
    EXPECT_DOUBLE_EQ(meterScale(std::numeric_limits<double>::infinity()), 1.0);
}

TEST(MeterBallisticsTest, TheFirstStepJumpsAndLaterRisesFollowTheAttack) {
    MeterBallistics b;
    const auto first = b.step(0.5, 0.5, t0);
    EXPECT_NEAR(first.bar, 0.8997, 1e-4);
    EXPECT_NEAR(first.peak, 0.8997, 1e-4);
    EXPECT_FALSE(first.clipped);

    MeterBallistics rising = settled(0.001, 0);  // bar at 0
    const auto step = rising.step(1.0, 0, t0 + 0.025);
    EXPECT_NEAR(step.bar, 1 - std::exp(-1.0), 1e-9) << "one time constant: 63 % of the way";
    const auto later = rising.step(1.0, 0, t0 + 0.050);
    EXPECT_NEAR(later.bar, 1 - std::exp(-2.0), 1e-9);
}

TEST(MeterBallisticsTest, TheBarFallsAtFourTenthsPerSecondButNotBelowTheLevel) {
    MeterBallistics b = settled(1.0, 0);
    EXPECT_NEAR(b.step(0, 0, t0 + 0.125).bar, 0.95, 1e-9);
    EXPECT_NEAR(b.step(0, 0, t0 + 0.375).bar, 0.85, 1e-9);
    EXPECT_NEAR(b.step(0.1, 0, t0 + 0.625).bar, 0.75, 1e-9) << "still above the target";
    // A target above the fallen value holds the bar there.
    EXPECT_NEAR(b.step(0.1, 0, t0 + 0.875).bar, 2.0 / 3.0, 1e-9);
    // And it reaches zero, never below.
    for (double t = t0 + 1.25; t < t0 + 4; t += 0.25) b.step(0, 0, t);
    EXPECT_DOUBLE_EQ(b.bar(), 0.0);
}

TEST(MeterBallisticsTest, ThePeakIsHeldThenFallsTowardsTheLevel) {
    MeterBallistics b = settled(0, 0.1);  // peak at 2/3
    const double peak = 2.0 / 3.0;
    EXPECT_NEAR(b.step(0, 0, t0 + 1.2).peak, peak, 1e-9) << "held up to 1.2 s inclusive";
    EXPECT_NEAR(b.step(0, 0, t0 + 1.4).peak, peak - 0.2 * 0.2, 1e-9);
    EXPECT_NEAR(b.step(0, 0, t0 + 1.5).peak, peak - 0.2 * 0.3, 1e-9);
    // A target at or above the falling value snaps it up and restarts the hold.
    const auto snapped = b.step(0, 0.1, t0 + 1.6);
    EXPECT_NEAR(snapped.peak, peak, 1e-9);
    EXPECT_NEAR(b.peakHeldUntil(), t0 + 2.8, 1e-6);
    EXPECT_NEAR(b.step(0, 0, t0 + 2.8).peak, peak, 1e-9);

    // While falling it never passes below the RMS target.
    MeterBallistics over = settled(0, 1.0);
    over.step(0.1, 0, t0 + 1.25);
    for (double t = t0 + 1.5; t < t0 + 5; t += 0.25) over.step(0.1, 0, t);
    EXPECT_NEAR(over.peak(), 2.0 / 3.0, 1e-9);
}

TEST(MeterBallisticsTest, AClipHoldsForOneSecondFromTheLastClippingSample) {
    MeterBallistics b;
    EXPECT_FALSE(b.step(0, 0.984, t0).clipped);
    EXPECT_TRUE(b.step(0, 0.985, t0 + 0.1).clipped);
    EXPECT_TRUE(b.step(0, 0, t0 + 1.0).clipped);
    EXPECT_TRUE(b.step(0, 1.0, t0 + 1.05).clipped);  // extends to t0 + 2.05
    EXPECT_TRUE(b.step(0, 0, t0 + 2.0).clipped);
    EXPECT_FALSE(b.step(0, 0, t0 + 2.05).clipped);
}

TEST(MeterBallisticsTest, TimeStepsAreClampedToAQuarterSecond) {
    MeterBallistics late = settled(1.0, 0);
    EXPECT_NEAR(late.step(0, 0, t0 + 10).bar, 0.9, 1e-9) << "10 s later counts as 0.25 s";

    MeterBallistics held = settled(0, 1.0);
    held.step(0, 0, t0 + 1.25);  // hold just ended; falls by 0.2 · 0.25
    EXPECT_NEAR(held.peak(), 0.95, 1e-9);
    EXPECT_NEAR(held.step(0, 0, t0 + 60).peak, 0.9, 1e-9);
}

TEST(MeterBallisticsTest, AClockSetBackNeitherRaisesAFallingMeterNorStretchesItsHolds) {
    MeterBallistics b = settled(1.0, 1.0);
    b.step(0, 0, t0 + 1.25);  // the bar has fallen to 0.9, the peak to 0.95; clip over
    const double bar = b.bar();
    const double peak = b.peak();
    EXPECT_NEAR(bar, 0.9, 1e-9);

    // The wall clock jumps back 1000 s: no time passes.
    const double back = t0 - 1000;
    const auto after = b.step(0, 0, back);
    EXPECT_DOUBLE_EQ(after.bar, bar);
    EXPECT_DOUBLE_EQ(after.peak, peak);
    EXPECT_FALSE(after.clipped);
    // From there on, time runs normally from the new clock.
    EXPECT_NEAR(b.step(0, 0, back + 0.25).bar, bar - 0.1, 1e-9);

    // A hold running at the jump keeps what was left of it, not an extra 1000 s.
    MeterBallistics clip = settled(0, 1.0);
    EXPECT_TRUE(clip.step(0, 0, back).clipped);
    EXPECT_NEAR(clip.clipUntil(), back + 1.0, 1e-9);
    EXPECT_NEAR(clip.peakHeldUntil(), back + 1.2, 1e-9);
    EXPECT_FALSE(clip.step(0, 0, back + 1.0).clipped);
    EXPECT_LT(clip.step(0, 0, back + 1.3).peak, 1.0);
}

TEST(MeterClockTest, StepsLiveSubscribersAndDropsTheOnesThatAreGone) {
    MeterClock& clock = MeterClock::shared();
    clock.tick(t0);  // nothing live from earlier tests: clears and stops
    EXPECT_FALSE(clock.isRunning());
    EXPECT_EQ(clock.subscriberCount(), 0u);

    auto kept = std::make_unique<QObject>();
    int keptSteps = 0;
    double seen = 0;
    clock.subscribe(kept.get(), [&](double now) {
        ++keptSteps;
        seen = now;
    });
    EXPECT_TRUE(clock.isRunning());
    // Rows rebuilt over and over: each rebuild's meters go away.
    int goneSteps = 0;
    for (int rebuild = 0; rebuild < 100; ++rebuild) {
        auto row = std::make_unique<QObject>();
        clock.subscribe(row.get(), [&](double) { ++goneSteps; });
        clock.tick(t0 + rebuild);
    }
    EXPECT_EQ(goneSteps, 100) << "each stepped while it lived";
    EXPECT_EQ(keptSteps, 100);
    EXPECT_DOUBLE_EQ(seen, t0 + 99);
    clock.tick(t0 + 100);
    EXPECT_EQ(clock.subscriberCount(), 1u) << "the dead entries are pruned";
    EXPECT_TRUE(clock.isRunning());

    // Subscribing again replaces the step.
    int replaced = 0;
    clock.subscribe(kept.get(), [&](double) { ++replaced; });
    clock.tick(t0 + 101);
    EXPECT_EQ(clock.subscriberCount(), 1u);
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(keptSteps, 101);

    kept.reset();
    clock.tick(t0 + 102);
    EXPECT_FALSE(clock.isRunning()) << "stops at the first tick without a live subscriber";
    EXPECT_EQ(clock.subscriberCount(), 0u);

    QObject fresh;
    clock.subscribe(&fresh, [](double) {});
    EXPECT_TRUE(clock.isRunning()) << "a new subscriber starts it again";
}

TEST(MeterClockTest, NowCountsSecondsSinceTheStartOf2001) {
    // 2026 lies between 25 and 26 years of seconds after 2001.
    const double now = meterClockNow();
    EXPECT_GT(now, 25 * 365.25 * 86400 - 86400);
    EXPECT_LT(now, 60 * 365.25 * 86400);
}

TEST(MeterClockTest, TicksReadTheTimeSource) {
    MeterClock& clock = MeterClock::shared();
    QObject subscriber;
    double seen = 0;
    clock.subscribe(&subscriber, [&](double now) { seen = now; });
    clock.setTimeSource([] { return 42.5; });
    clock.tick();
    EXPECT_DOUBLE_EQ(seen, 42.5);
    clock.setTimeSource({});
    clock.tick();
    EXPECT_NEAR(seen, meterClockNow(), 5.0);
}
