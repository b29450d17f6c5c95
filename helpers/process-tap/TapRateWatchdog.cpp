#include "TapRateWatchdog.h"

#include <cmath>

double SnapToStandardRate(double measured) {
    static constexpr double kStandardRates[] = {8000, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
    for (double rate : kStandardRates) {
        if (std::fabs(measured / rate - 1.0) < 0.01) {
            return rate;
        }
    }
    return measured;
}

bool TidewellTapRateIsCarried(double rate) {
    return std::isfinite(rate) && rate >= kTidewellTapMinimumCarriedRate && rate <= kTidewellTapMaximumCarriedRate;
}

void TidewellTapRateWatchdogInit(TidewellTapRateWatchdog* watchdog, double labelledRate) {
    watchdog->labelled = labelledRate;
    watchdog->mismatchCount = 0;
    watchdog->ticksSinceSwitch = kTidewellTapSwitchHoldOffTicks;   // already past the hold-off
}

double TidewellTapRateWatchdogTick(TidewellTapRateWatchdog* watchdog, double measured) {
    if (watchdog->ticksSinceSwitch < UINT64_MAX) {
        ++watchdog->ticksSinceSwitch;
    }
    // Compared as a difference so that exactly 2 % is not a mismatch after rounding.
    if (measured > 0 && TidewellTapRateIsCarried(measured) && std::fabs(measured - watchdog->labelled) > 0.02 * watchdog->labelled) {
        ++watchdog->mismatchCount;
    } else {
        watchdog->mismatchCount = 0;
    }
    if (watchdog->mismatchCount < kTidewellTapMismatchTicks ||
        watchdog->ticksSinceSwitch < kTidewellTapSwitchHoldOffTicks) {
        return 0.0;
    }
    return SnapToStandardRate(measured);
}

void TidewellTapRateWatchdogSwitched(TidewellTapRateWatchdog* watchdog, double rate) {
    watchdog->labelled = rate;
    watchdog->mismatchCount = 0;
    watchdog->ticksSinceSwitch = 0;
}
