#pragma once
// Small analysis helpers for the signal tests: least-squares sine fit and the frequency response
// a resampler's filter table implies.

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "TidewellStream/TidewellResampler.h"

namespace streamlib_test {

struct SineFit {
    double amplitude = 0.0;
    double residualRms = 0.0;   // what the fitted sine and DC do not explain
};

// Fits a sine of known frequency plus DC to y (least squares, 3x3 normal equations).
inline SineFit FitSine(const std::vector<float>& y, double rate, double frequency) {
    double m[3][4] = {};
    const size_t n = y.size();
    for (size_t i = 0; i < n; ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        const double basis[3] = {std::cos(phase), std::sin(phase), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                m[r][c] += basis[r] * basis[c];
            }
            m[r][3] += basis[r] * y[i];
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = i + 1; j < 3; ++j) {
            const double factor = m[j][i] / m[i][i];
            for (int k = i; k < 4; ++k) {
                m[j][k] -= factor * m[i][k];
            }
        }
    }
    double x[3];
    for (int i = 2; i >= 0; --i) {
        double v = m[i][3];
        for (int k = i + 1; k < 3; ++k) {
            v -= m[i][k] * x[k];
        }
        x[i] = v / m[i][i];
    }
    double error = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        const double d = y[i] - (x[0] * std::cos(phase) + x[1] * std::sin(phase) + x[2]);
        error += d * d;
    }
    return SineFit{std::hypot(x[0], x[1]), std::sqrt(error / static_cast<double>(n))};
}

// Gain the filter table gives a tone of `frequency` Hz at the input rate. Its rows sample one
// kernel at 256 offsets per input frame, so the response of all rows together is the kernel's own,
// images beyond the input's Nyquist frequency included.
inline double DesignGain(const TidewellResampler* resampler, double frequency) {
    const double omega = 2.0 * M_PI * frequency / resampler->inputRate;
    std::complex<double> h = 0.0;
    for (uint32_t p = 0; p < kTidewellResamplerPhases; ++p) {
        const double fraction = static_cast<double>(p) / kTidewellResamplerPhases;
        for (uint32_t k = 0; k < kTidewellResamplerTaps; ++k) {
            const double d = static_cast<double>(k) - 15.0 - fraction;
            h += static_cast<double>(resampler->filterTable[p * kTidewellResamplerTaps + k]) *
                 std::polar(1.0, omega * d);
        }
    }
    return std::abs(h) / kTidewellResamplerPhases;
}

inline double Decibels(double ratio) {
    return 20.0 * std::log10(ratio);
}

// A sine of `amplitude` at `frequency` on every channel, `frames` frames from frame `start`.
inline std::vector<float> Sine(double rate, double frequency, double amplitude, size_t start, size_t frames,
                               uint32_t channels = 1) {
    std::vector<float> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const float v =
            static_cast<float>(amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(start + i) / rate));
        for (uint32_t c = 0; c < channels; ++c) {
            out[i * channels + c] = v;
        }
    }
    return out;
}

}  // namespace streamlib_test
