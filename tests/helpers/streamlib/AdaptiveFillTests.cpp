#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>
#include <algorithm>
#include <utility>

#include "TidewellStream/TidewellAdaptiveFill.h"
#include "TidewellStream/TidewellRateEstimator.h"

namespace {

// Sets variables for one test and restores the earlier values afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old != nullptr, old != nullptr ? old : "");
            if (value != nullptr) {
                setenv(name, value, 1);
            } else {
                unsetenv(name);
            }
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, had, value] : saved_) {
            if (had) {
                setenv(name.c_str(), value.c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

private:
    std::vector<std::tuple<std::string, bool, std::string>> saved_;
};

// The helpers' configuration for B buffer frames.
TidewellAdaptiveFillConfig HelperConfig(double bufferFrames, const char* prefix) {
    TidewellAdaptiveFillConfig config{};
    TidewellAdaptiveFillConfigInit(&config, bufferFrames + 32, bufferFrames,
                                   std::max(std::floor(bufferFrames / 2), 32.0));
    TidewellAdaptiveFillConfigApplyEnvironment(&config, prefix);
    return config;
}

const std::initializer_list<std::pair<const char*, const char*>> kNoOverrides = {
    {"TIDEWELL_ADAPTIVE_FILL", nullptr},          {"TIDEWELL_ADAPTIVE_FILL_MAX_MS", nullptr},
    {"TIDEWELL_ADAPTIVE_FILL_FLOOR_MS", nullptr}, {"TIDEWELL_TAP_ADAPTIVE_FILL", nullptr},
    {"TIDEWELL_TAP_ADAPTIVE_FILL_MAX_MS", nullptr}, {"TIDEWELL_TAP_ADAPTIVE_FILL_FLOOR_MS", nullptr},
};

}  // namespace

TEST(AdaptiveFillConfig, HelperDefaults) {
    ScopedEnvironment env(kNoOverrides);
    const auto config = HelperConfig(192, "TIDEWELL_TAP");
    EXPECT_TRUE(config.enabled);
    EXPECT_EQ(config.floor, 224.0);
    EXPECT_EQ(config.maximum, 960.0);
    EXPECT_EQ(config.growStep, 192.0);
    EXPECT_EQ(config.shrinkStep, 96.0);

    TidewellAdaptiveFillConfig tiny{};
    TidewellAdaptiveFillConfigInit(&tiny, 0.0, -5.0, 0.5);
    EXPECT_EQ(tiny.minimumFill, 1.0);
    EXPECT_EQ(tiny.growStep, 1.0);
    EXPECT_EQ(tiny.shrinkStep, 1.0);
    TidewellAdaptiveFillConfig large{};
    TidewellAdaptiveFillConfigInit(&large, 2000.0, 1, 1);
    EXPECT_EQ(large.maximum, 2000.0);
}

TEST(AdaptiveFillConfig, ProgramVariableWinsAndEmptyFallsBack) {
    {
        ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL", "Off"}, {"TIDEWELL_ADAPTIVE_FILL", "1"}});
        EXPECT_FALSE(HelperConfig(192, "TIDEWELL_TAP").enabled);
        EXPECT_TRUE(HelperConfig(192, "TIDEWELL_SOURCE").enabled);
    }
    {
        ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL", ""}, {"TIDEWELL_ADAPTIVE_FILL", "NO"}});
        EXPECT_FALSE(HelperConfig(192, "TIDEWELL_TAP").enabled);
    }
    for (const char* off : {"0", "false", "FALSE", "no", "off", "oFf"}) {
        ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL", off}});
        EXPECT_FALSE(HelperConfig(192, "TIDEWELL_TAP").enabled) << off;
    }
    for (const char* on : {"1", "yes", "disabled", " off"}) {
        ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL", on}});
        EXPECT_TRUE(HelperConfig(192, "TIDEWELL_TAP").enabled) << on;
    }
    // A prefix too long for the name buffer is skipped; the shared variable still counts.
    ScopedEnvironment env({{"TIDEWELL_ADAPTIVE_FILL", "off"}});
    const std::string longPrefix(200, 'X');
    EXPECT_FALSE(HelperConfig(192, longPrefix.c_str()).enabled);
    EXPECT_FALSE(HelperConfig(192, nullptr).enabled);
}

TEST(AdaptiveFillConfig, MillisecondOverridesAreClampedAndReadFromTheStart) {
    struct Case {
        const char* text;
        double maximum;
    };
    for (const Case c : {Case{"2", 240.0}, Case{"5000", 48000.0}, Case{"letters", 960.0}, Case{"20ms", 960.0},
                         Case{"12.5", 600.0}, Case{"nan", 960.0}, Case{"inf", 960.0}, Case{"", 960.0}}) {
        ScopedEnvironment env({{"TIDEWELL_ADAPTIVE_FILL_MAX_MS", c.text}, {"TIDEWELL_TAP_ADAPTIVE_FILL_MAX_MS", nullptr}});
        EXPECT_EQ(HelperConfig(192, "TIDEWELL_TAP").maximum, c.maximum) << c.text;
    }
    {
        // A floor below the minimum fill is raised to it; a maximum below the floor is raised too.
        ScopedEnvironment env({{"TIDEWELL_ADAPTIVE_FILL_FLOOR_MS", "1"}, {"TIDEWELL_ADAPTIVE_FILL_MAX_MS", "2"}});
        const auto config = HelperConfig(192, "TIDEWELL_TAP");
        EXPECT_EQ(config.floor, 224.0);
        EXPECT_EQ(config.maximum, 240.0);
    }
    {
        ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL_FLOOR_MS", "30"}, {"TIDEWELL_ADAPTIVE_FILL_MAX_MS", "10"}});
        const auto config = HelperConfig(192, "TIDEWELL_TAP");
        EXPECT_EQ(config.floor, 1440.0);
        EXPECT_EQ(config.maximum, 1440.0);
    }
    {
        ScopedEnvironment env({{"TIDEWELL_ADAPTIVE_FILL_FLOOR_MS", "5000"}});
        EXPECT_EQ(HelperConfig(192, "TIDEWELL_TAP").floor, 48000.0);
    }
}

TEST(AdaptiveFill, DisabledReturnsTheFloorFromTheEnvironment) {
    ScopedEnvironment env({{"TIDEWELL_TAP_ADAPTIVE_FILL", "off"}, {"TIDEWELL_ADAPTIVE_FILL_FLOOR_MS", "10"}});
    const auto config = HelperConfig(192, "TIDEWELL_TAP");
    TidewellAdaptiveFill fill{};
    TidewellAdaptiveFillInit(&fill, &config);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 5000, 0.1), 480.0);
    }
    EXPECT_EQ(fill.clock, 0.0);
    EXPECT_EQ(TidewellAdaptiveFillAdvance(nullptr, 1, 0.1), 0.0);
}

TEST(AdaptiveFill, GrowsOnlyAfterWarmUpAndNeverPastTheMaximum) {
    ScopedEnvironment env(kNoOverrides);
    const auto config = HelperConfig(192, "TIDEWELL_TAP");
    TidewellAdaptiveFill fill{};
    TidewellAdaptiveFillInit(&fill, &config);
    EXPECT_EQ(fill.target, 224.0);
    for (int tick = 0; tick < 28; ++tick) {
        EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 0, 0.1), 224.0);
    }
    // Clock 2.9 s: the underrun only records the time.
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 64, 0.1), 224.0);
    EXPECT_NEAR(fill.lastUnderrun, 2.9, 1e-9);
    // Clock 3.0 s: grows by at least one buffer.
    fill.clock = 2.9;
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 64, 0.1), 224.0 + 192.0);
    // A large underrun grows by its own size.
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 300, 0.1), 716.0);
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 1, 0.1), 908.0);
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 1, 0.1), 960.0);
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, 100000, 0.1), 960.0);
    // Non-finite or negative underruns are no underruns.
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, std::nan(""), 0.1), 960.0);
    EXPECT_EQ(TidewellAdaptiveFillAdvance(&fill, -5, std::nan("")), 960.0);
}

TEST(AdaptiveFill, ShrinksAfterAQuietMinuteByHalfABufferEveryFifteenSeconds) {
    ScopedEnvironment env(kNoOverrides);
    const auto config = HelperConfig(192, "TIDEWELL_TAP");
    TidewellAdaptiveFill fill{};
    TidewellAdaptiveFillInit(&fill, &config);
    fill.clock = 10.0;
    TidewellAdaptiveFillAdvance(&fill, 1, 0.0);   // underrun at 10 s: target 416
    TidewellAdaptiveFillAdvance(&fill, 1, 0.0);   // 608
    ASSERT_EQ(fill.target, 608.0);
    double target = fill.target;
    double lastChange = 10.0;
    std::vector<double> shrinkTimes;
    for (int tick = 0; tick < 3000; ++tick) {   // 300 s of quiet
        const double now = TidewellAdaptiveFillAdvance(&fill, 0, 0.1);
        if (now != target) {
            EXPECT_EQ(target - now, std::min(96.0, target - 224.0));
            shrinkTimes.push_back(fill.clock);
            lastChange = fill.clock;
            target = now;
        }
    }
    ASSERT_EQ(shrinkTimes.size(), 4u);   // 608 -> 512 -> 416 -> 320 -> 224
    EXPECT_NEAR(shrinkTimes[0], 70.0, 0.11);
    for (size_t i = 1; i < shrinkTimes.size(); ++i) {
        EXPECT_NEAR(shrinkTimes[i] - shrinkTimes[i - 1], 15.0, 0.11);
    }
    EXPECT_EQ(target, 224.0);
    EXPECT_LT(lastChange, 120.0);
}

TEST(AdaptiveFill, QuietTimeCountsFromTheEndOfWarmUp) {
    ScopedEnvironment env(kNoOverrides);
    TidewellAdaptiveFillConfig config = HelperConfig(192, "TIDEWELL_TAP");
    TidewellAdaptiveFill fill{};
    TidewellAdaptiveFillInit(&fill, &config);
    fill.target = 500.0;   // as if grown
    double firstShrink = -1;
    for (int tick = 0; tick < 700 && firstShrink < 0; ++tick) {
        if (TidewellAdaptiveFillAdvance(&fill, 0, 0.1) != 500.0) firstShrink = fill.clock;
    }
    EXPECT_NEAR(firstShrink, 63.0, 0.11);
}

TEST(RateEstimator, InitFallsBackToDefaults) {
    TidewellRateEstimator e{};
    TidewellRateEstimatorInit(&e, 0.0, -1.0);
    EXPECT_EQ(e.maximumGap, 0.25);
    EXPECT_EQ(e.minimumWindow, 3.0);
    EXPECT_EQ(e.maximumWindow, 12.0);
    TidewellRateEstimatorInit(&e, 0.5, 1.0);
    EXPECT_EQ(e.maximumWindow, 4.0);
    EXPECT_FALSE(e.started);
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(&e), 0.0);
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(nullptr), 0.0);
    TidewellRateEstimatorAddBlock(nullptr, 1, 1.0);
}

TEST(RateEstimator, MeasuresTheDeliveredRateOnceTheWindowIsLongEnough) {
    TidewellRateEstimator e{};
    TidewellRateEstimatorInit(&e, 0.25, 3.0);
    // A tap labelled 48000 Hz that really delivers 44100 frames a second in 441-frame blocks,
    // with a little jitter on the host times.
    double t = 1000.0;
    for (int block = 0; block < 299; ++block) {
        TidewellRateEstimatorAddBlock(&e, 441, t + ((block % 3) - 1) * 0.0005);
        t += 0.01;
    }
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(&e), 0.0);   // 2.98 s: not yet
    for (int block = 0; block < 200; ++block) {
        TidewellRateEstimatorAddBlock(&e, 441, t + ((block % 3) - 1) * 0.0005);
        t += 0.01;
    }
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&e), 44100.0, 20.0);
}

TEST(RateEstimator, GapsBackwardTimesAndLongWindowsRestartIt) {
    TidewellRateEstimator e{};
    TidewellRateEstimatorInit(&e, 0.25, 3.0);
    double t = 5.0;
    for (int block = 0; block < 400; ++block, t += 0.01) TidewellRateEstimatorAddBlock(&e, 480, t);
    const double rate = TidewellRateEstimatorMeasuredRate(&e);
    EXPECT_NEAR(rate, 48000.0, 1.0);

    // A block 0.3 s after the previous one opens a new window, uncounted; the old rate stays.
    t += 0.29;
    TidewellRateEstimatorAddBlock(&e, 480, t);
    EXPECT_EQ(e.windowStart, t);
    EXPECT_EQ(e.frames, 0u);
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(&e), rate);

    // So does a block whose time is not later than the previous one.
    TidewellRateEstimatorAddBlock(&e, 480, t + 0.01);
    EXPECT_EQ(e.frames, 480u);
    TidewellRateEstimatorAddBlock(&e, 480, t + 0.01);
    EXPECT_EQ(e.frames, 0u);
    EXPECT_EQ(e.windowStart, t + 0.01);

    // Zero frames and non-finite times are ignored.
    TidewellRateEstimatorAddBlock(&e, 0, t + 0.02);
    TidewellRateEstimatorAddBlock(&e, 480, std::nan(""));
    EXPECT_EQ(e.lastBlock, t + 0.01);

    // A window older than 12 s restarts; the rate follows a change of the delivered rate.
    double start = e.windowStart;
    t = start;
    int restarts = 0;
    for (int block = 0; block < 1500; ++block) {
        t += 0.01;
        TidewellRateEstimatorAddBlock(&e, 441, t);
        if (e.windowStart != start) {
            ++restarts;
            start = e.windowStart;
        }
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&e), 44100.0, 1.0);

    TidewellRateEstimatorReset(&e);
    EXPECT_FALSE(e.started);
    EXPECT_EQ(e.frames, 0u);
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(&e), 0.0);
    EXPECT_EQ(e.maximumWindow, 12.0);
}
