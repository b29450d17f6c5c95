#include <gtest/gtest.h>

#include "TapRateWatchdog.h"

namespace {

// Ticks until a switch is due; returns the tick count (1-based) and the rate, or 0 when none in n.
std::pair<int, double> TicksUntilSwitch(TidewellTapRateWatchdog* w, double measured, int n) {
    for (int i = 1; i <= n; ++i) {
        const double rate = TidewellTapRateWatchdogTick(w, measured);
        if (rate > 0) {
            return {i, rate};
        }
    }
    return {0, 0.0};
}

TEST(TapRateWatchdog, SwitchesAfterTwentyMismatchedTicksToTheSnappedRate) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    const auto [tick, rate] = TicksUntilSwitch(&w, 44130, 100);
    EXPECT_EQ(tick, 20);
    EXPECT_EQ(rate, 44100);
}

TEST(TapRateWatchdog, ExactlyTwoPercentIsNoMismatch) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 50000);
    EXPECT_EQ(TicksUntilSwitch(&w, 51000, 200).first, 0);   // |51000 / 50000 - 1| == 0.02
    EXPECT_EQ(TicksUntilSwitch(&w, 51001, 200).first, 20);
}

TEST(TapRateWatchdog, NoStandardRateCloseUsesTheMeasurement) {
    EXPECT_EQ(SnapToStandardRate(45500), 45500);
    EXPECT_EQ(SnapToStandardRate(47600), 48000);
    EXPECT_EQ(SnapToStandardRate(96500), 96000);
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    EXPECT_EQ(TicksUntilSwitch(&w, 45500, 100).second, 45500);
}

TEST(TapRateWatchdog, AMatchingTickResetsTheCount) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    EXPECT_EQ(TicksUntilSwitch(&w, 44100, 19).first, 0);
    EXPECT_EQ(TidewellTapRateWatchdogTick(&w, 48000), 0.0);
    EXPECT_EQ(TidewellTapRateWatchdogTick(&w, 0), 0.0);   // no measurement yet
    EXPECT_EQ(TicksUntilSwitch(&w, 44100, 100).first, 20);
}

TEST(TapRateWatchdog, LaterSwitchesWaitOneHundredTicks) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    EXPECT_EQ(TicksUntilSwitch(&w, 44100, 100).first, 20);
    TidewellTapRateWatchdogSwitched(&w, 44100);
    EXPECT_EQ(w.labelled, 44100);
    // A new mismatch at once: the count reaches 20 after 20 ticks but the hold-off lasts 100.
    EXPECT_EQ(TicksUntilSwitch(&w, 96000, 200).first, 100);
}

TEST(TapRateWatchdog, AFailedSwitchIsRetriedOnTheNextTick) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    EXPECT_EQ(TicksUntilSwitch(&w, 44100, 100).first, 20);
    // The program could not build the resampler and did not call Switched.
    EXPECT_EQ(TidewellTapRateWatchdogTick(&w, 44100), 44100);
}

TEST(TapRateWatchdog, RatesThePathCannotCarryAreNeverSwitchedTo) {
    TidewellTapRateWatchdog w;
    TidewellTapRateWatchdogInit(&w, 48000);
    // 8192 frames at 3000 Hz would become 131072 frames at 48000 Hz: more than the resampled block.
    EXPECT_EQ(TicksUntilSwitch(&w, 3000, 500).first, 0);
    EXPECT_EQ(TicksUntilSwitch(&w, 5e6, 500).first, 0);
    EXPECT_EQ(TicksUntilSwitch(&w, std::numeric_limits<double>::infinity(), 500).first, 0);
    EXPECT_TRUE(TidewellTapRateIsCarried(8000));
    EXPECT_FALSE(TidewellTapRateIsCarried(7999));
    EXPECT_EQ(TicksUntilSwitch(&w, 8000, 100).second, 8000);
}

}  // namespace
