#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TidewellStream/TidewellDriftController.h"

namespace {

TidewellDriftController Make(double target) {
    TidewellDriftController c{};
    TidewellDriftControllerInit(&c, target);
    return c;
}

}  // namespace

TEST(DriftController, SetTargetIgnoresNonFiniteValuesAndKeepsAtLeastOneFrame) {
    auto c = Make(500);
    TidewellDriftControllerSetTarget(&c, std::nan(""));
    TidewellDriftControllerSetTarget(&c, std::numeric_limits<double>::infinity());
    EXPECT_EQ(c.targetFill, 500.0);
    TidewellDriftControllerSetTarget(&c, 0.0);
    EXPECT_EQ(c.targetFill, 1.0);
    TidewellDriftControllerSetTarget(&c, 224.0);
    EXPECT_EQ(c.targetFill, 224.0);
    EXPECT_EQ(Make(0.2).targetFill, 1.0);
    EXPECT_EQ(TidewellDriftControllerUpdate(nullptr, 1, 1), 1.0);
}

TEST(DriftController, FirstUpdateOnlySeedsAndBadTimesChangeNothing) {
    auto c = Make(500);
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, 5000, 0.01), 1.0);
    EXPECT_TRUE(c.seeded);
    EXPECT_EQ(c.smoothedFill, 5000.0);
    const auto before = c;
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, 9000, 0.0), 1.0);
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, 9000, -1.0), 1.0);
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, std::nan(""), 0.01), 1.0);
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, 9000, std::numeric_limits<double>::infinity()), 1.0);
    EXPECT_EQ(c.smoothedFill, before.smoothedFill);
    EXPECT_EQ(c.integral, before.integral);
}

TEST(DriftController, FillAtTargetHoldsTheRatio) {
    auto c = Make(500);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(TidewellDriftControllerUpdate(&c, 500, 0.01), 1.0);
    }
}

TEST(DriftController, RatioMovesAtMostTheSlewPerSecondAndStopsAtTheLimit) {
    auto c = Make(500);
    TidewellDriftControllerUpdate(&c, 100000, 0.01);
    double previous = 1.0;
    for (int i = 0; i < 400; ++i) {   // 4 s
        const double ratio = TidewellDriftControllerUpdate(&c, 100000, 0.01);
        EXPECT_LE(ratio - previous, 0.002 * 0.01 + 1e-15);
        EXPECT_GE(ratio, previous);
        previous = ratio;
    }
    EXPECT_NEAR(previous, 1.005, 1e-12);
    EXPECT_LE(std::fabs(c.integral), 0.005);

    // After 1.5 s the ratio has come no further than 0.003 above 1.
    auto d = Make(500);
    TidewellDriftControllerUpdate(&d, 100000, 0.01);
    for (int i = 0; i < 150; ++i) TidewellDriftControllerUpdate(&d, 100000, 0.01);
    EXPECT_NEAR(d.ratio, 1.003, 1e-9);

    auto low = Make(500);
    TidewellDriftControllerUpdate(&low, 0, 0.01);
    for (int i = 0; i < 400; ++i) TidewellDriftControllerUpdate(&low, 0, 0.01);
    // An empty ring is a relative error of -1, which asks for less than the full limit.
    EXPECT_LT(low.ratio, 0.9965);
    EXPECT_GE(low.ratio, 0.995);
}

TEST(DriftController, ResetReturnsToUnseededButKeepsTarget) {
    auto c = Make(500);
    TidewellDriftControllerUpdate(&c, 800, 0.01);
    for (int i = 0; i < 100; ++i) TidewellDriftControllerUpdate(&c, 800, 0.01);
    ASSERT_GT(c.ratio, 1.0);
    ASSERT_GT(c.integral, 0.0);
    const double smoothed = c.smoothedFill;
    TidewellDriftControllerReset(&c);
    EXPECT_EQ(c.ratio, 1.0);
    EXPECT_EQ(c.integral, 0.0);
    EXPECT_FALSE(c.seeded);
    EXPECT_EQ(c.targetFill, 500.0);
    EXPECT_EQ(c.smoothedFill, smoothed);
    EXPECT_EQ(TidewellDriftControllerUpdate(&c, 300, 0.01), 1.0);
    EXPECT_EQ(c.smoothedFill, 300.0);
}

TEST(DriftController, SmoothsTheMeasuredFillWithItsTimeConstant) {
    auto c = Make(500);
    TidewellDriftControllerUpdate(&c, 500, 0.01);
    TidewellDriftControllerUpdate(&c, 600, 0.1);
    EXPECT_NEAR(c.smoothedFill, 500 + 100 * (1 - std::exp(-1.0)), 1e-9);
}
