#include "TidewellStream/TidewellRateEstimator.h"

#include <cmath>

static_assert(std::atomic<double>::is_always_lock_free, "the measured rate must be lock-free");

void TidewellRateEstimatorInit(TidewellRateEstimator* estimator, double maximumGap, double minimumWindow) {
    if (estimator == nullptr) {
        return;
    }
    estimator->maximumGap = maximumGap > 0.0 ? maximumGap : 0.25;
    estimator->minimumWindow = minimumWindow > 0.0 ? minimumWindow : 3.0;
    estimator->maximumWindow = 4.0 * estimator->minimumWindow;
    TidewellRateEstimatorReset(estimator);
}

void TidewellRateEstimatorAddBlock(TidewellRateEstimator* estimator, uint32_t frames, double timeSeconds) {
    if (estimator == nullptr || frames == 0 || !std::isfinite(timeSeconds)) {
        return;
    }
    if (!estimator->started || timeSeconds <= estimator->lastBlock ||
        timeSeconds - estimator->lastBlock > estimator->maximumGap ||
        timeSeconds - estimator->windowStart > estimator->maximumWindow) {
        // This block opens a new window and is not counted; the last rate stays reported.
        estimator->windowStart = timeSeconds;
        estimator->lastBlock = timeSeconds;
        estimator->frames = 0;
        estimator->started = true;
        return;
    }
    estimator->frames += frames;
    estimator->lastBlock = timeSeconds;
    const double window = timeSeconds - estimator->windowStart;
    if (window >= estimator->minimumWindow) {
        estimator->measuredRate.store(static_cast<double>(estimator->frames) / window, std::memory_order_relaxed);
    }
}

double TidewellRateEstimatorMeasuredRate(const TidewellRateEstimator* estimator) {
    if (estimator == nullptr) {
        return 0.0;
    }
    return estimator->measuredRate.load(std::memory_order_relaxed);
}

void TidewellRateEstimatorReset(TidewellRateEstimator* estimator) {
    if (estimator == nullptr) {
        return;
    }
    estimator->windowStart = 0.0;
    estimator->lastBlock = 0.0;
    estimator->frames = 0;
    estimator->started = false;
    estimator->measuredRate.store(0.0, std::memory_order_relaxed);
}
