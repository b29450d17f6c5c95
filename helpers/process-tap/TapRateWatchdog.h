#pragma once
// The process tap's rate watchdog: a tap's labelled rate can differ from what it really delivers,
// so the helper watches the measured rate and switches its resampler to it. Pure decision logic,
// ticked by the main loop every 100 ms; the swap itself is the program's.

#include <cstdint>

// Rates the capture path can carry: the resampled block must hold what 8192 input frames become
// at 48000 Hz (at least 8000 Hz), and the resampler takes nothing above its own maximum.
inline constexpr double kTidewellTapMinimumCarriedRate = 8000.0;
inline constexpr double kTidewellTapMaximumCarriedRate = 768000.0;
inline constexpr uint32_t kTidewellTapMismatchTicks = 20;
inline constexpr uint64_t kTidewellTapSwitchHoldOffTicks = 100;

struct TidewellTapRateWatchdog {
    double labelled;
    uint32_t mismatchCount;
    uint64_t ticksSinceSwitch;
};

// The first standard rate within 1 % of the measured rate, else the measured rate itself.
double SnapToStandardRate(double measured);
bool TidewellTapRateIsCarried(double rate);

void TidewellTapRateWatchdogInit(TidewellTapRateWatchdog* watchdog, double labelledRate);
// One tick with the estimator's measured rate (0 when none yet). Returns the rate to switch to
// when a switch is due, else 0. A measurement the capture path cannot carry is not acted on.
double TidewellTapRateWatchdogTick(TidewellTapRateWatchdog* watchdog, double measured);
// After the program switched its resampler to `rate`.
void TidewellTapRateWatchdogSwitched(TidewellTapRateWatchdog* watchdog, double rate);
