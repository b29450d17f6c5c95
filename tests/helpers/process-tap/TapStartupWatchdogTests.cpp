#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ScopedEnvironment.h"
#include "TapStartupWatchdog.h"

namespace {

// Each case runs the watchdog in a forked child that never completes its start-up.
void HangInStartup(int seconds) {
    StartStartupWatchdog();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::exit(0);
}

TEST(TapStartupWatchdogDeathTest, ExitsWith124AfterTheTimeout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedEnvironment env;
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "1");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(HangInStartup(10), ::testing::ExitedWithCode(124),
                "Tidewell process tap startup timed out after 1 seconds\\. Check Screen & System Audio Recording "
                "permission\\.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}

TEST(TapStartupWatchdogDeathTest, OffOrHugeTimeoutsNeverEndTheStartup) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedEnvironment env;
    for (const char* value : {"0", "-5", "429496730", "9223372036854775807"}) {
        env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", value);
        EXPECT_EXIT(HangInStartup(2), ::testing::ExitedWithCode(0), "") << value;
    }
}

TEST(TapStartupWatchdogDeathTest, CompletedStartupIsLeftAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedEnvironment env;
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "1");
    EXPECT_EXIT(
        {
            StartStartupWatchdog();
            gTapStartupComplete.store(true, std::memory_order_release);
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
