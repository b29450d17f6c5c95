#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ScopedEnvironment.h"
#include "TidewellHelpers/TidewellHelperLoop.h"

namespace {

struct Counters {
    std::atomic<uint64_t> read{0}, write{0}, captured{0}, rendered{0}, dropped{0}, underrun{0}, explained{0}, steps{0};
    std::atomic<uint32_t> target{0};
    TidewellHelperRingCounters View() {
        return {&read, &write, &captured, &rendered, &dropped, &underrun, &target, &explained, &steps};
    }
};

class HelperLoopTest : public ::testing::Test {
protected:
    void Init(bool adaptive, double duration = 0.0) {
        env.Set("TIDEWELL_TEST_ADAPTIVE_FILL", adaptive ? "1" : "0");
        TidewellAdaptiveFillConfigInit(&config, 224, 192, 96);
        TidewellAdaptiveFillConfigApplyEnvironment(&config, "TIDEWELL_TEST");
        start = TidewellHelperLoopInit(&loop, counters.View(), &config, duration);
    }
    std::string Ticks(int n) {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        for (int i = 0; i < n; ++i) {
            TidewellHelperLoopCountTick(&loop, out);
        }
        std::fclose(out);
        std::string result(text, size);
        std::free(text);
        return result;
    }
    ScopedEnvironment env;
    Counters counters;
    TidewellAdaptiveFillConfig config{};
    TidewellHelperLoop loop{};
    double start = 0;
};

TEST_F(HelperLoopTest, StartingTargetIsTheRoundedAdaptiveTarget) {
    Init(true);
    EXPECT_GE(start, 224.0);
    EXPECT_EQ(counters.target.load(), static_cast<uint32_t>(start + 0.5));
}

TEST_F(HelperLoopTest, UnderrunsGrowTheTargetOnlyWhileTheInputMoves) {
    Init(true);
    const uint32_t initial = counters.target.load();
    for (int i = 0; i < 31; ++i) {   // past the warm-up
        TidewellHelperLoopAdvanceFill(&loop);
    }
    // The input stalled: underruns do not count.
    counters.underrun = 5000;
    TidewellHelperLoopAdvanceFill(&loop);
    EXPECT_EQ(counters.target.load(), initial);
    // The input moves and underruns grow: once they have waited a tick for an explanation that
    // does not come, the target grows.
    counters.captured = 4800;
    counters.underrun = 9000;
    TidewellHelperLoopAdvanceFill(&loop);
    EXPECT_EQ(counters.target.load(), initial);
    counters.captured = 9600;
    TidewellHelperLoopAdvanceFill(&loop);
    EXPECT_GT(counters.target.load(), initial);
}

// A ring started again on a device that came back underruns while it is aligned afresh, as at the
// start: the fill starts again from its starting target, and those underruns fall in its warm-up.
TEST_F(HelperLoopTest, ARestartedFillStartsAgainAndWarmsUpAgain) {
    Init(true);
    const uint32_t initial = counters.target.load();
    uint64_t captured = 0, underrun = 0;
    auto tick = [&](uint64_t newUnderrun) {
        counters.captured = captured += 4800;
        counters.underrun = underrun += newUnderrun;
        TidewellHelperLoopAdvanceFill(&loop);
    };
    for (int i = 0; i < 40; ++i) {   // past the warm-up, then a real shortage grows the target
        tick(0);
    }
    tick(900);
    tick(900);
    tick(0);
    ASSERT_GT(counters.target.load(), initial);
    TidewellHelperLoopRestartFill(&loop);
    EXPECT_EQ(counters.target.load(), initial);
    for (int i = 0; i < 5; ++i) {
        tick(900);
    }
    EXPECT_EQ(counters.target.load(), initial);
}

// A capture cycle the server never delivered runs the reader dry; the writer finds the gap at its
// next cycle and explains the underrun. More fill would not have helped, and growing the target
// would only insert silence later, so the target stays.
TEST_F(HelperLoopTest, UnderrunsALostInputCycleExplainsDoNotGrowTheTarget) {
    Init(true);
    const uint32_t initial = counters.target.load();
    uint64_t captured = 0;
    auto tick = [&] {
        captured += 4800;
        counters.captured = captured;
        TidewellHelperLoopAdvanceFill(&loop);
    };
    for (int i = 0; i < 31; ++i) tick();   // past the warm-up

    // Explained within the same tick.
    counters.underrun += 512;
    counters.explained += 512;
    tick();
    tick();
    EXPECT_EQ(counters.target.load(), initial);

    // Explained a tick later: the writer's next cycle came after this tick.
    counters.underrun += 512;
    tick();
    counters.explained += 512;
    tick();
    tick();
    EXPECT_EQ(counters.target.load(), initial);

    // Only partly explained: the rest counts.
    counters.underrun += 700;
    counters.explained += 512;
    tick();
    EXPECT_EQ(counters.target.load(), initial);
    tick();
    EXPECT_GT(counters.target.load(), initial);
}

TEST_F(HelperLoopTest, DisabledAdaptiveFillKeepsTheTargetButTracksCounters) {
    Init(false);
    const uint32_t initial = counters.target.load();
    counters.captured = 4800;
    counters.underrun = 9000;
    TidewellHelperLoopAdvanceFill(&loop);
    EXPECT_EQ(counters.target.load(), initial);
    EXPECT_EQ(loop.previousUnderrun, 9000u);
    EXPECT_EQ(loop.previousCaptured, 4800u);
}

TEST_F(HelperLoopTest, StatusEveryThirtySecondsOnlyWhenSomethingChanged) {
    Init(false);
    counters.captured = 10;
    counters.write = 300;
    counters.read = 100;
    EXPECT_EQ(Ticks(299), "");
    const std::string first = Ticks(1);   // the first chance always prints
    EXPECT_EQ(first, "status captured=10 rendered=0 dropped=0 underrun=0 targetFill=" +
                         std::to_string(counters.target.load()) + " fill=200\n");
    EXPECT_EQ(Ticks(300), "");            // nothing changed
    counters.underrun = 3;
    EXPECT_EQ(Ticks(299), "");
    EXPECT_NE(Ticks(1), "");
    counters.target = 999;
    EXPECT_NE(Ticks(300), "");
}

TEST_F(HelperLoopTest, DurationEndsAfterItsTicks) {
    Init(false, 2.5);
    Ticks(24);
    EXPECT_FALSE(TidewellHelperLoopDurationElapsed(&loop));
    Ticks(1);
    EXPECT_TRUE(TidewellHelperLoopDurationElapsed(&loop));
}

}  // namespace
