#pragma once
// Measures the real sample rate of a capture stream from the frames of each block and the block's
// host time, over windows of a few seconds. Blocks are added on the capture thread; the measured
// rate is read on the main thread.

#include <atomic>
#include <cstdint>

struct TidewellRateEstimator {
    double maximumGap;
    double minimumWindow;
    double maximumWindow;
    double windowStart;
    double lastBlock;
    uint64_t frames;
    bool started;
    std::atomic<double> measuredRate;
};

void TidewellRateEstimatorInit(TidewellRateEstimator* estimator, double maximumGap, double minimumWindow);
void TidewellRateEstimatorAddBlock(TidewellRateEstimator* estimator, uint32_t frames, double timeSeconds);
double TidewellRateEstimatorMeasuredRate(const TidewellRateEstimator* estimator);
void TidewellRateEstimatorReset(TidewellRateEstimator* estimator);
