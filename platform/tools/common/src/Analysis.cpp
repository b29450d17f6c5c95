#include <AudioToolsCommon/Analysis.h>

#include "Fourier.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace tidewell::tools {

namespace {

constexpr double kPi = 3.14159265358979323846;

// |sum x[n] e^{-i 2 pi f n}| for a frequency in cycles per sample.
double magnitudeAt(const std::vector<double>& x, double f) {
    std::complex<double> step = std::polar(1.0, -2 * kPi * f);
    std::complex<double> rot(1.0, 0.0), sum(0.0, 0.0);
    for (size_t n = 0; n < x.size(); ++n) {
        sum += x[n] * rot;
        rot *= step;
        if ((n & 1023) == 1023) rot /= std::abs(rot);  // keep the rotation on the unit circle
    }
    return std::abs(sum);
}

}  // namespace

double amplitudeToDbfs(double amplitude) {
    if (amplitude <= 0) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(amplitude);
}

double dbfsToAmplitude(double dbfs) { return std::pow(10.0, dbfs / 20.0); }

double rmsDbfs(const float* x, size_t frames, unsigned channels, unsigned channel) {
    if (frames == 0 || channel >= channels) return -std::numeric_limits<double>::infinity();
    double sum = 0;
    for (size_t i = 0; i < frames; ++i) {
        double v = x[i * channels + channel];
        sum += v * v;
    }
    return amplitudeToDbfs(std::sqrt(sum / static_cast<double>(frames)) * std::sqrt(2.0));
}

double steadyRmsDbfs(const float* x, size_t frames, unsigned channels, unsigned channel, size_t windowFrames) {
    if (windowFrames == 0 || frames < 2 * windowFrames) return rmsDbfs(x, frames, channels, channel);
    std::vector<double> levels;
    for (size_t at = 0; at + windowFrames <= frames; at += windowFrames)
        levels.push_back(rmsDbfs(x + at * channels, windowFrames, channels, channel));
    std::sort(levels.begin(), levels.end());
    const size_t middle = levels.size() / 2;
    return levels.size() % 2 ? levels[middle] : (levels[middle - 1] + levels[middle]) / 2;
}

double peakAmplitude(const float* x, size_t frames, unsigned channels, unsigned channel) {
    double peak = 0;
    if (channel >= channels) return 0;
    for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(static_cast<double>(x[i * channels + channel])));
    return peak;
}

double dominantFrequency(const float* x, size_t frames, unsigned channels, unsigned channel,
                         double sampleRate) {
    if (frames < 64 || channel >= channels || sampleRate <= 0) return 0;
    // Long recordings gain nothing past a few seconds; keep the work bounded.
    frames = std::min<size_t>(frames, static_cast<size_t>(sampleRate * 4));
    std::vector<double> w(frames);
    double mean = 0;
    for (size_t i = 0; i < frames; ++i) mean += x[i * channels + channel];
    mean /= static_cast<double>(frames);
    double energy = 0;
    for (size_t i = 0; i < frames; ++i) {
        double hann = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(frames - 1));
        w[i] = (x[i * channels + channel] - mean) * hann;
        energy += w[i] * w[i];
    }
    if (energy < 1e-20) return 0;

    size_t n = 1;
    while (n < frames * 2) n <<= 1;  // zero-pad: bins at most half the resolution apart
    std::vector<std::complex<double>> spectrum(n);
    for (size_t i = 0; i < frames; ++i) spectrum[i] = w[i];
    fourierTransform(spectrum);
    size_t best = 1;
    for (size_t k = 1; k < n / 2; ++k)
        if (std::norm(spectrum[k]) > std::norm(spectrum[best])) best = k;

    // Golden-section search for the peak of the continuous spectrum around the best bin.
    double lo = (static_cast<double>(best) - 1.0) / static_cast<double>(n);
    double hi = (static_cast<double>(best) + 1.0) / static_cast<double>(n);
    lo = std::max(lo, 0.0);
    const double g = (std::sqrt(5.0) - 1) / 2;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double fa = magnitudeAt(w, a), fb = magnitudeAt(w, b);
    for (int i = 0; i < 40 && (hi - lo) * sampleRate > 1e-4; ++i) {
        if (fa < fb) {
            lo = a;
            a = b;
            fa = fb;
            b = lo + g * (hi - lo);
            fb = magnitudeAt(w, b);
        } else {
            hi = b;
            b = a;
            fb = fa;
            a = hi - g * (hi - lo);
            fa = magnitudeAt(w, a);
        }
    }
    return (lo + hi) / 2 * sampleRate;
}

std::vector<ChannelReport> analyse(const AudioData& audio) {
    std::vector<ChannelReport> out;
    size_t frames = audio.frames();
    for (unsigned c = 0; c < audio.channels; ++c) {
        ChannelReport r;
        r.rmsDbfs = rmsDbfs(audio.samples.data(), frames, audio.channels, c);
        r.steadyDbfs = steadyRmsDbfs(audio.samples.data(), frames, audio.channels, c, audio.sampleRate / 20);
        r.peakDbfs = amplitudeToDbfs(peakAmplitude(audio.samples.data(), frames, audio.channels, c));
        r.dominantHz = dominantFrequency(audio.samples.data(), frames, audio.channels, c, audio.sampleRate);
        out.push_back(r);
    }
    return out;
}

void fourierTransform(std::vector<std::complex<double>>& a, bool inverse) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, (inverse ? 2 : -2) * kPi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk(1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                wk *= w;
            }
        }
    }
}

}  // namespace tidewell::tools
