#include "TidewellStream/TidewellResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

static_assert(std::atomic<double>::is_always_lock_free, "the rate scalar must be lock-free");

namespace {

constexpr uint32_t kRows = kTidewellResamplerPhases + 1;
constexpr double kKaiserBeta = 8.0;
constexpr double kHalfWidth = 16.0;
constexpr double kPassFraction = 0.92;
constexpr int kTapsBeforeCentre = 15;   // taps reach from frame i - 15 to frame i + 16

// Modified Bessel function of the first kind, order 0, by its power series.
double BesselI0(double z) {
    double sum = 1.0;
    double term = 1.0;
    const double half = z / 2.0;
    for (int k = 1; k <= 31; ++k) {
        const double factor = half / k;
        term *= factor * factor;
        sum += term;
        if (term < 1e-12 * sum) {
            break;
        }
    }
    return sum;
}

double KaiserWindow(double d, double i0Beta) {
    const double x = d / kHalfWidth;
    if (x < -1.0 || x > 1.0) {
        return 0.0;
    }
    return BesselI0(kKaiserBeta * std::sqrt(1.0 - x * x)) / i0Beta;
}

double TapValue(double cutoff, double d, double i0Beta) {
    const double sinc = (d == 0.0) ? cutoff : std::sin(M_PI * cutoff * d) / (M_PI * d);
    return sinc * KaiserWindow(d, i0Beta);
}

void BuildFilterTable(float* table, double ratio) {
    const double widened = ratio * kTidewellResamplerMaximumScalar;
    const double cutoff = widened > 1.0 ? kPassFraction / widened : kPassFraction;
    const double i0Beta = BesselI0(kKaiserBeta);
    double sum = 0.0;
    for (uint32_t p = 0; p < kRows; ++p) {
        const double fraction = static_cast<double>(p) / kTidewellResamplerPhases;
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            sum += TapValue(cutoff, (static_cast<double>(k) - kTapsBeforeCentre) - fraction, i0Beta);
        }
    }
    // Dividing by the mean row sum gives every row a DC gain near 1.
    const double meanRowSum = sum / kRows;
    for (uint32_t p = 0; p < kRows; ++p) {
        const double fraction = static_cast<double>(p) / kTidewellResamplerPhases;
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            double value = TapValue(cutoff, (static_cast<double>(k) - kTapsBeforeCentre) - fraction, i0Beta);
            if (meanRowSum != 0.0) {
                value /= meanRowSum;
            }
            table[p * kTidewellResamplerTaps + k] = static_cast<float>(value);
        }
    }
}

bool RateAcceptable(double rate) {
    return std::isfinite(rate) && rate >= kTidewellResamplerMinimumRate && rate <= kTidewellResamplerMaximumRate;
}

// One output frame per position, for positions up to `limit`. Coefficients are interpolated
// between two table rows once per frame (the same value for every channel), then each channel
// accumulates its 32 taps in order with fused multiply-add, so vectorising across channels leaves
// every result bit for bit what a per-channel loop gives.
template <uint32_t kFixedChannels>
__attribute__((always_inline)) inline uint32_t FilterLoop(const float* table, const float* work,
                                                          uint32_t runtimeChannels, double& position, double step,
                                                          double limit, float* output, uint32_t capacity) {
    const uint32_t channels = kFixedChannels != 0 ? kFixedChannels : runtimeChannels;
    uint32_t count = 0;
    float coefficients[kTidewellResamplerTaps];
    float acc[kTidewellResamplerMaximumChannels];
    while (position <= limit && count < capacity) {
        const double whole = std::floor(position);
        const uint32_t i = static_cast<uint32_t>(whole);
        const double q = (position - whole) * kTidewellResamplerPhases;
        const uint32_t row = static_cast<uint32_t>(q);
        const float t = static_cast<float>(q - row);
        const float* a = table + row * kTidewellResamplerTaps;
        const float* b = a + kTidewellResamplerTaps;
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            coefficients[k] = __builtin_fmaf(b[k] - a[k], t, a[k]);
        }
        const float* frame = work + static_cast<size_t>(i - kTapsBeforeCentre) * channels;
        uint32_t first = 0;
        if constexpr (kFixedChannels == 0) {
            // Eight channels at a time, so the compiler keeps them in one vector register.
            for (; first + 8 <= channels; first += 8) {
                float lane[8] = {};
                for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
                    const float coefficient = coefficients[k];
                    const float* samples = frame + static_cast<size_t>(k) * channels + first;
                    for (uint32_t j = 0; j < 8; ++j) {
                        lane[j] = __builtin_fmaf(samples[j], coefficient, lane[j]);
                    }
                }
                for (uint32_t j = 0; j < 8; ++j) {
                    acc[first + j] = lane[j];
                }
            }
        }
        for (uint32_t c = first; c < channels; ++c) {
            acc[c] = 0.0f;
        }
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            const float coefficient = coefficients[k];
            const float* samples = frame + static_cast<size_t>(k) * channels;
            for (uint32_t c = first; c < channels; ++c) {
                acc[c] = __builtin_fmaf(samples[c], coefficient, acc[c]);
            }
        }
        float* out = output + static_cast<size_t>(count) * channels;
        for (uint32_t c = 0; c < channels; ++c) {
            out[c] = acc[c];
        }
        ++count;
        position += step;
    }
    return count;
}

// For one or two channels a frame's 32 dependent multiply-adds leave the processor waiting on
// each result; two frames side by side keep it busy. Each chain keeps its own order, so the bits
// are those of the loop above.
template <uint32_t kChannels>
__attribute__((always_inline)) inline uint32_t FilterLoopPaired(const float* table, const float* work,
                                                                double& position, double step, double limit,
                                                                float* output, uint32_t capacity) {
    uint32_t count = 0;
    while (position <= limit && count < capacity) {
        const double next = position + step;
        if (!(next <= limit && count + 1 < capacity)) {
            return count + FilterLoop<kChannels>(table, work, kChannels, position, step, limit,
                                                 output + static_cast<size_t>(count) * kChannels, capacity - count);
        }
        float coefficients[2][kTidewellResamplerTaps];
        const float* frames[2];
        const double positions[2] = {position, next};
        for (int n = 0; n < 2; ++n) {
            const double whole = std::floor(positions[n]);
            const double q = (positions[n] - whole) * kTidewellResamplerPhases;
            const uint32_t row = static_cast<uint32_t>(q);
            const float t = static_cast<float>(q - row);
            const float* a = table + row * kTidewellResamplerTaps;
            const float* b = a + kTidewellResamplerTaps;
            for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
                coefficients[n][k] = __builtin_fmaf(b[k] - a[k], t, a[k]);
            }
            frames[n] = work + static_cast<size_t>(static_cast<uint32_t>(whole) - kTapsBeforeCentre) * kChannels;
        }
        float first[kChannels] = {};
        float second[kChannels] = {};
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                first[c] = __builtin_fmaf(frames[0][k * kChannels + c], coefficients[0][k], first[c]);
                second[c] = __builtin_fmaf(frames[1][k * kChannels + c], coefficients[1][k], second[c]);
            }
        }
        float* out = output + static_cast<size_t>(count) * kChannels;
        for (uint32_t c = 0; c < kChannels; ++c) {
            out[c] = first[c];
            out[kChannels + c] = second[c];
        }
        count += 2;
        position = next + step;
    }
    return count;
}

#define TIDEWELL_FILTER_BODY                                                                   \
    switch (channels) {                                                                        \
    case 1:                                                                                    \
        return FilterLoopPaired<1>(table, work, position, step, limit, output, capacity);     \
    case 2:                                                                                    \
        return FilterLoopPaired<2>(table, work, position, step, limit, output, capacity);     \
    default:                                                                                   \
        return FilterLoop<0>(table, work, channels, position, step, limit, output, capacity); \
    }

// Built twice: with fused multiply-add instructions for processors that have them, and portable
// (where fused multiply-add is a library call). Both give the same bits. The choice is made per
// call rather than through an ifunc, whose resolver runs before sanitizer runtimes are ready.
__attribute__((target("fma"))) uint32_t FilterWithFma(const float* table, const float* work, uint32_t channels,
                                                      double& position, double step, double limit, float* output,
                                                      uint32_t capacity) {
    TIDEWELL_FILTER_BODY
}

uint32_t FilterPortable(const float* table, const float* work, uint32_t channels, double& position, double step,
                        double limit, float* output, uint32_t capacity) {
    TIDEWELL_FILTER_BODY
}

#undef TIDEWELL_FILTER_BODY

uint32_t Filter(const float* table, const float* work, uint32_t channels, double& position, double step,
                double limit, float* output, uint32_t capacity) {
    if (__builtin_cpu_supports("fma")) {
        return FilterWithFma(table, work, channels, position, step, limit, output, capacity);
    }
    return FilterPortable(table, work, channels, position, step, limit, output, capacity);
}

}  // namespace

TidewellResampler* TidewellResamplerCreate(uint32_t channels, uint32_t maxInputFrames, double inputRate,
                                           double outputRate) {
    if (!RateAcceptable(inputRate) || !RateAcceptable(outputRate) || channels == 0 ||
        channels > kTidewellResamplerMaximumChannels || maxInputFrames == 0) {
        return nullptr;
    }
    auto* resampler = new (std::nothrow) TidewellResampler{};
    if (resampler == nullptr) {
        return nullptr;
    }
    const size_t tableValues = static_cast<size_t>(kRows) * kTidewellResamplerTaps;
    const size_t workValues =
        (static_cast<size_t>(kTidewellResamplerHistoryFrames) + maxInputFrames) * static_cast<size_t>(channels);
    resampler->filterTable = new (std::nothrow) float[tableValues]();
    resampler->workBuffer = new (std::nothrow) float[workValues]();
    if (resampler->filterTable == nullptr || resampler->workBuffer == nullptr) {
        TidewellResamplerDestroy(resampler);
        return nullptr;
    }
    resampler->inputRate = inputRate;
    resampler->outputRate = outputRate;
    resampler->ratio = inputRate / outputRate;
    resampler->rateScalar.store(1.0);
    resampler->channels = channels;
    resampler->maxInputFrames = maxInputFrames;
    resampler->identity = inputRate == outputRate;
    resampler->historyLength = kTidewellResamplerHistoryFrames;
    resampler->position = 0.0;
    resampler->primed = false;
    BuildFilterTable(resampler->filterTable, resampler->ratio);
    return resampler;
}

void TidewellResamplerDestroy(TidewellResampler* resampler) {
    if (resampler == nullptr) {
        return;
    }
    delete[] resampler->filterTable;
    delete[] resampler->workBuffer;
    delete resampler;
}

void TidewellResamplerSetRateScalar(TidewellResampler* resampler, double scalar) {
    if (resampler == nullptr) {
        return;
    }
    double value = kTidewellResamplerMinimumScalar;
    if (!std::isnan(scalar)) {
        value = std::clamp(scalar, kTidewellResamplerMinimumScalar, kTidewellResamplerMaximumScalar);
    }
    resampler->rateScalar.store(value, std::memory_order_relaxed);
}

bool TidewellResamplerIsIdentity(const TidewellResampler* resampler) {
    if (resampler == nullptr) {
        return false;
    }
    return resampler->identity && resampler->rateScalar.load(std::memory_order_relaxed) == 1.0;
}

uint32_t TidewellResamplerMaxOutputFrames(const TidewellResampler* resampler, uint32_t inputFrames) {
    if (resampler == nullptr) {
        return 0;
    }
    const double frames = std::floor(inputFrames / (resampler->ratio * kTidewellResamplerMinimumScalar)) + 8.0;
    return frames >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(frames);
}

namespace {

// The largest number of leading input frames whose output is certain to fit `capacity`.
uint32_t InputFramesFitting(const TidewellResampler* resampler, uint32_t inputFrames, uint32_t capacity) {
    if (TidewellResamplerMaxOutputFrames(resampler, inputFrames) <= capacity) {
        return inputFrames;
    }
    uint32_t low = 0;                  // fits (0 input frames write nothing)
    uint32_t high = inputFrames;       // does not fit
    while (high - low > 1) {
        const uint32_t middle = low + (high - low) / 2;
        if (TidewellResamplerMaxOutputFrames(resampler, middle) <= capacity) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

}  // namespace

uint32_t TidewellResamplerProcess(TidewellResampler* resampler, const float* input, uint32_t inputFrames,
                                  float* output, uint32_t outputCapacity) {
    if (resampler == nullptr || input == nullptr || output == nullptr || inputFrames == 0) {
        return 0;
    }
    const uint32_t channels = resampler->channels;
    uint32_t frames = std::min(inputFrames, resampler->maxInputFrames);

    const double scalar = resampler->rateScalar.load(std::memory_order_relaxed);
    if (resampler->identity && scalar == 1.0) {
        const uint32_t copied = std::min(frames, outputCapacity);
        std::memcpy(output, input, static_cast<size_t>(copied) * channels * sizeof(float));
        return copied;
    }

    // A short output buffer would end the loop before the block is used up and leave the position
    // behind the history; consume only what is sure to fit instead.
    frames = InputFramesFitting(resampler, frames, outputCapacity);
    if (frames == 0) {
        return 0;
    }

    const uint32_t history = resampler->historyLength;
    float* work = resampler->workBuffer;
    if (!resampler->primed) {
        std::memset(work, 0, static_cast<size_t>(history) * channels * sizeof(float));
        resampler->position = 16.0;
        resampler->primed = true;
    }
    std::memcpy(work + static_cast<size_t>(history) * channels, input,
                static_cast<size_t>(frames) * channels * sizeof(float));
    const uint32_t total = history + frames;
    const double step = resampler->ratio * scalar;
    const double limit = static_cast<double>(total) - 17.0;

    double position = resampler->position;
    const uint32_t count = Filter(resampler->filterTable, work, channels, position, step, limit, output, outputCapacity);

    std::memmove(work, work + static_cast<size_t>(frames) * channels,
                 static_cast<size_t>(history) * channels * sizeof(float));
    position -= frames;
    // With the input cut to fit, the loop always runs to the limit and the position lands in
    // (15, 15 + step]; hold the first tap inside the buffer even if rounding says otherwise.
    resampler->position = std::max(position, static_cast<double>(kTapsBeforeCentre));
    return count;
}
