#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Continuity.h>

#include "Fourier.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <complex>
#include <cstdint>
#include <optional>

namespace tidewell::tools {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A small deterministic generator: the same signal on every machine.
struct Random {
    uint64_t state;
    double uniform() {   // [0, 1)
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
    }
    double noise() { return 2.0 * uniform() - 1.0; }
};

// A biquad in direct form I, with its coefficients set per sample when it wanders.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    void bandPass(double hz, double q, double rate) {
        const double w = 2 * kPi * hz / rate, alpha = std::sin(w) / (2 * q), a0 = 1 + alpha;
        b0 = alpha / a0, b1 = 0, b2 = -alpha / a0, a1 = -2 * std::cos(w) / a0, a2 = (1 - alpha) / a0;
    }
    void lowPass(double hz, double q, double rate) {
        const double w = 2 * kPi * hz / rate, alpha = std::sin(w) / (2 * q), a0 = 1 + alpha, c = std::cos(w);
        b0 = (1 - c) / 2 / a0, b1 = (1 - c) / a0, b2 = (1 - c) / 2 / a0, a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    }
    double step(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return y;
    }
};

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Kaiser-windowed sinc of half-width `half` frames, cutoff as a share of the Nyquist frequency,
// tabulated finely enough that interpolating between entries costs nothing measurable.
struct SincKernel {
    static constexpr int kSteps = 512;
    int half;
    std::vector<double> table;
    SincKernel(int h, double cutoff, double beta) : half(h), table(static_cast<size_t>(h) * kSteps + 2, 0.0) {
        const double norm = besselI0(beta);
        for (size_t i = 0; i + 1 < table.size(); ++i) {
            const double d = static_cast<double>(i) / kSteps;
            if (d >= half) break;
            const double r = d / half;
            const double window = besselI0(beta * std::sqrt(1 - r * r)) / norm;
            const double x = kPi * cutoff * d;
            table[i] = cutoff * (x < 1e-12 ? 1.0 : std::sin(x) / x) * window;
        }
    }
    double operator()(double d) const {
        const double a = std::fabs(d) * kSteps;
        const auto i = static_cast<size_t>(a);
        if (i + 1 >= table.size()) return 0.0;
        const double f = a - static_cast<double>(i);
        return table[i] + f * (table[i + 1] - table[i]);
    }
};

// The source as the aligner sees it: looping or silent past its ends.
struct Source {
    const std::vector<float>& x;
    bool loops;
    int64_t length() const { return static_cast<int64_t>(x.size()); }
    double at(int64_t k) const {
        const int64_t n = length();
        if (loops) {
            k %= n;
            if (k < 0) k += n;
            return x[static_cast<size_t>(k)];
        }
        return (k < 0 || k >= n) ? 0.0 : x[static_cast<size_t>(k)];
    }
};

// Normalised correlation of one block with the source starting at integer `start`.
double correlationAt(const float* block, size_t frames, double blockEnergy, const Source& src, int64_t start) {
    double cross = 0, energy = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double s = src.at(start + static_cast<int64_t>(i));
        cross += block[i] * s;
        energy += s * s;
    }
    if (blockEnergy <= 0 || energy <= 0) return 0;
    return cross / std::sqrt(blockEnergy * energy);
}

struct Match {
    double position;     // fractional source frame of the block's first frame
    double correlation;  // against the source interpolated at that position
};

// Best position within +-radius of `around`, refined between frames.
std::optional<Match> searchNear(const float* block, size_t frames, double blockEnergy, const Source& src,
                                double around, int64_t radius, const SincKernel& kernel) {
    const auto centre = static_cast<int64_t>(std::llround(around));
    double best = -2;
    int64_t bestAt = centre;
    std::vector<double> scores(static_cast<size_t>(2 * radius + 1));
    for (int64_t d = -radius; d <= radius; ++d) {
        const double c = correlationAt(block, frames, blockEnergy, src, centre + d);
        scores[static_cast<size_t>(d + radius)] = c;
        if (c > best) {
            best = c;
            bestAt = centre + d;
        }
    }
    if (best <= 0) return std::nullopt;
    double fraction = 0;
    const int64_t i = bestAt - centre + radius;
    if (i > 0 && i < 2 * radius) {
        const double l = scores[static_cast<size_t>(i - 1)], m = scores[static_cast<size_t>(i)],
                     r = scores[static_cast<size_t>(i + 1)];
        const double denominator = l - 2 * m + r;
        if (denominator < 0) fraction = std::clamp(0.5 * (l - r) / denominator, -0.5, 0.5);
    }
    const double position = static_cast<double>(bestAt) + fraction;
    // The correlation at the fractional position, against the source interpolated there.
    double cross = 0, energy = 0;
    for (size_t n = 0; n < frames; ++n) {
        const double x = position + static_cast<double>(n);
        const auto k0 = static_cast<int64_t>(std::floor(x));
        double s = 0;
        for (int64_t k = k0 - kernel.half + 1; k <= k0 + kernel.half; ++k) {
            s += src.at(k) * kernel(x - static_cast<double>(k));
        }
        cross += block[n] * s;
        energy += s * s;
    }
    // The interpolation itself loses a little of the top octave: a block that sits on a whole
    // frame is judged as it is.
    const double correlation = std::max(best, energy > 0 ? cross / std::sqrt(blockEnergy * energy) : 0);
    return Match{position, correlation};
}

// The lag below `lags` at which a window of the recording correlates best with the stretch of
// source whose transform `spectrum` is (circular cross-correlation by FFT; the window is padded
// to the spectrum's size).
size_t bestLag(const std::vector<std::complex<double>>& spectrum, const float* window, size_t frames, size_t lags) {
    std::vector<std::complex<double>> w(spectrum.size());
    for (size_t i = 0; i < frames; ++i) w[i] = window[i];
    fourierTransform(w);
    for (size_t i = 0; i < w.size(); ++i) w[i] = spectrum[i] * std::conj(w[i]);
    fourierTransform(w, true);
    size_t best = 0;
    for (size_t i = 1; i < lags; ++i) {
        if (w[i].real() > w[best].real()) best = i;
    }
    return best;
}

// The source frame where a window of the recording fits best, over the whole source. The
// source's transform is made once.
struct GlobalSearch {
    const Source& src;
    size_t size = 0;
    std::vector<std::complex<double>> sourceSpectrum;
    explicit GlobalSearch(const Source& s) : src(s) {}
    int64_t find(const float* window, size_t frames) {
        if (sourceSpectrum.empty()) {
            size = 1;
            while (size < static_cast<size_t>(src.length()) + frames) size <<= 1;
            sourceSpectrum.assign(size, {});
            for (int64_t k = 0; k < src.length(); ++k) sourceSpectrum[static_cast<size_t>(k)] = src.at(k);
            // A looping source continues past its end, so a window near the end still fits.
            if (src.loops) {
                for (size_t k = static_cast<size_t>(src.length()); k < size; ++k) {
                    sourceSpectrum[k] = src.at(static_cast<int64_t>(k));
                }
            }
            fourierTransform(sourceSpectrum);
        }
        const size_t usable = src.loops ? static_cast<size_t>(src.length()) : size - frames;
        return static_cast<int64_t>(bestLag(sourceSpectrum, window, frames, usable));
    }
};

// The source frame within [from, from + span] where a window of the recording fits best: the
// same cross-correlation as the whole-source search, over a stretch of the source only, so it
// costs little enough to try for every block lost near its predicted place.
int64_t findWithin(const float* window, size_t frames, const Source& src, int64_t from, int64_t span) {
    size_t size = 1;
    while (size < static_cast<size_t>(span) + frames) size <<= 1;
    std::vector<std::complex<double>> stretch(size);
    for (size_t k = 0; k < size; ++k) stretch[k] = src.at(from + static_cast<int64_t>(k));
    fourierTransform(stretch);
    return from + static_cast<int64_t>(bestLag(stretch, window, frames, static_cast<size_t>(span) + 1));
}

// Gauss-Jordan elimination of the first n rows of normal equations [m | rhs] (rhs in column 4);
// afterwards m[r][4] / m[r][r] is unknown r. False when singular.
bool eliminate(double (&m)[4][5], int n) {
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        for (int k = 0; k < 5; ++k) std::swap(m[col][k], m[pivot][k]);
        if (std::fabs(m[col][col]) < 1e-300) return false;
        for (int r = 0; r < n; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int k = col; k < 5; ++k) m[r][k] -= f * m[col][k];
        }
    }
    return true;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

}  // namespace

AudioData makeSpeechLikeNoise(uint32_t sampleRate, uint32_t channels, double seconds, uint32_t seed,
                              double levelDbfs) {
    AudioData out;
    out.sampleRate = sampleRate;
    out.channels = channels;
    out.format = SampleFormat::Float32;
    const auto frames = static_cast<size_t>(seconds * sampleRate);
    const double rate = sampleRate;
    Random random{0x9E3779B97F4A7C15ull ^ (uint64_t{seed} * 0x100000001B3ull) ^ 1};
    std::array<Biquad, 3> formants;
    const std::array<double, 3> centres{550.0, 1500.0, 2600.0};
    std::array<double, 3> wander{};
    std::array<double, 3> wanderRate{};
    for (size_t f = 0; f < 3; ++f) {
        wander[f] = random.uniform();
        wanderRate[f] = 0.3 + 0.7 * random.uniform();
    }
    // Everything above ~8 kHz falls steeply, so no resampler's band edge decides a match.
    Biquad lowA, lowB;
    lowA.lowPass(7000, 0.707, rate);
    lowB.lowPass(7000, 0.707, rate);
    double tilt = 0;
    double syllable = 0, syllableRate = 4;
    std::vector<double> mono(frames);
    for (size_t i = 0; i < frames; ++i) {
        if ((i & 31) == 0) {
            for (size_t f = 0; f < 3; ++f) {
                const double t = static_cast<double>(i) / rate;
                const double hz = centres[f] * (1 + 0.25 * std::sin(2 * kPi * (wanderRate[f] * t + wander[f])));
                formants[f].bandPass(hz, 4.0, rate);
            }
        }
        const double white = random.noise();
        tilt += 0.3 * (white - tilt);
        double voiced = 0;
        for (auto& f : formants) voiced += f.step(white);
        const double shaped = lowB.step(lowA.step(voiced + 0.35 * tilt + 0.08 * white));
        syllable += syllableRate / rate;
        if (syllable >= 1) {
            syllable -= 1;
            syllableRate = 3 + 3 * random.uniform();
        }
        const double envelope = 0.1 + 0.9 * (0.5 - 0.5 * std::cos(2 * kPi * syllable));
        mono[i] = shaped * envelope;
    }
    double peak = 0;
    for (double v : mono) peak = std::max(peak, std::fabs(v));
    const double scale = peak > 0 ? dbfsToAmplitude(levelDbfs) / peak : 0;
    out.samples.resize(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < channels; ++c) out.samples[i * channels + c] = static_cast<float>(mono[i] * scale);
    }
    return out;
}

std::vector<float> resampleOffline(const std::vector<float>& mono, double fromRate, double toRate) {
    if (fromRate == toRate) return mono;
    const double step = fromRate / toRate;
    const double cutoff = 0.9 * std::min(1.0, toRate / fromRate);
    const int reach = static_cast<int>(std::ceil(48 / cutoff));
    const SincKernel kernel(reach, cutoff, 10.0);
    const auto frames = static_cast<size_t>(std::floor(static_cast<double>(mono.size()) / step));
    std::vector<float> out(frames);
    const auto n = static_cast<int64_t>(mono.size());
    for (size_t i = 0; i < frames; ++i) {
        const double x = static_cast<double>(i) * step;
        const auto k0 = static_cast<int64_t>(std::floor(x));
        double s = 0;
        for (int64_t k = k0 - reach + 1; k <= k0 + reach; ++k) {
            if (k < 0 || k >= n) continue;
            s += mono[static_cast<size_t>(k)] * kernel(x - static_cast<double>(k));
        }
        out[i] = static_cast<float>(s);
    }
    return out;
}

std::vector<float> channelOf(const AudioData& audio, unsigned channel) {
    std::vector<float> out(audio.frames());
    if (channel >= audio.channels) return out;
    for (size_t i = 0; i < out.size(); ++i) out[i] = audio.samples[i * audio.channels + channel];
    return out;
}

ContinuityReport measureContinuity(const std::vector<float>& recording, const std::vector<float>& source,
                                   double sampleRate, const ContinuityOptions& options) {
    ContinuityReport report;
    if (source.empty() || recording.empty() || options.blockFrames == 0) return report;
    const Source src{source, options.sourceLoops};
    const SincKernel kernel(32, 0.97, 9.0);
    GlobalSearch global(src);
    const size_t b = options.blockFrames;
    const auto skip = static_cast<size_t>(options.skipSeconds * sampleRate);
    const auto settle = skip + static_cast<size_t>(options.settleSeconds * sampleRate);

    struct Point {
        double at;         // recording frame
        double corrected;  // source position less the steps found so far
    };
    std::vector<Point> points;
    std::vector<double> correlations;
    size_t settledBlocks = 0, settledMatched = 0;
    bool locked = false;
    double lastAt = 0, lastPosition = 0, slope = 1.0, steps = 0;
    size_t unmatchedRun = 0;
    std::vector<std::pair<double, double>> recent;   // (at, position) since the last step
    // A search over the whole source costs two transforms of all of it. A block lost near its
    // predicted place is first looked for within a second of it, which finds every step a
    // helper makes; a block that straddles a step matches nowhere and the next one is found
    // again, so while locked the whole source waits for a few lost blocks in a row, and in a
    // long stretch that matches nothing it is searched again only every quarter of a second.
    // Blocks since the last such search:
    constexpr size_t kGlobalAfterLost = 3;
    const auto kLocalSpan = static_cast<int64_t>(sampleRate);
    const size_t kGlobalEvery = std::max<size_t>(1, static_cast<size_t>(0.25 * sampleRate / static_cast<double>(b)));
    size_t sinceGlobal = SIZE_MAX;

    for (size_t p = skip; p + b <= recording.size(); p += b) {
        if (sinceGlobal != SIZE_MAX) ++sinceGlobal;
        const float* block = recording.data() + p;
        double energy = 0;
        for (size_t i = 0; i < b; ++i) energy += static_cast<double>(block[i]) * block[i];
        ++report.blocks;
        const bool settled = p >= settle;
        if (settled) ++settledBlocks;
        std::optional<Match> match;
        if (energy > 1e-12 * static_cast<double>(b)) {
            const double predicted = lastPosition + (static_cast<double>(p) - lastAt) * slope;
            if (locked) {
                match = searchNear(block, b, energy, src, predicted, 16, kernel);
                if (!match || match->correlation < options.matchThreshold) {
                    match = searchNear(block, b, energy, src, predicted, 4096, kernel);
                }
                if (!match || match->correlation < options.matchThreshold) {
                    const size_t window = std::min<size_t>(8192, recording.size() - p);
                    const int64_t found = findWithin(block, window, src,
                                                     static_cast<int64_t>(std::llround(predicted)) - kLocalSpan,
                                                     2 * kLocalSpan);
                    match = searchNear(block, b, energy, src, static_cast<double>(found), 2, kernel);
                }
            }
            const bool globalDue =
                sinceGlobal >= kGlobalEvery && (!locked || unmatchedRun + 1 >= kGlobalAfterLost);
            if ((!match || match->correlation < options.matchThreshold) && globalDue) {
                // Lost (or not yet found): look over the whole source with a longer window.
                sinceGlobal = 0;
                const size_t window = std::min<size_t>(8192, recording.size() - p);
                const int64_t found = global.find(block, window);
                match = searchNear(block, b, energy, src, static_cast<double>(found), 2, kernel);
                if (match && locked) {
                    // Keep positions unwrapped: the nearest lap of a looping source.
                    const double lap = static_cast<double>(src.length());
                    if (src.loops) match->position += lap * std::round((predicted - match->position) / lap);
                }
            }
        }
        if (!match || match->correlation < options.matchThreshold) {
            if (locked) ++unmatchedRun;
            continue;
        }
        const double at = static_cast<double>(p);
        if (!locked) {
            locked = true;
            report.sourceOffsetFrames = at - match->position;
        } else {
            const double jump = match->position - (lastPosition + (at - lastAt) * slope);
            if (std::fabs(jump) > 0.5 || unmatchedRun > 0) {
                const double when = at / sampleRate;
                auto& list = settled ? report.discontinuities : report.settlingDiscontinuities;
                // A block that straddles the step finds a position between the two sides: one event.
                if (!list.empty() && when - list.back().atSeconds <= 3.0 * static_cast<double>(b) / sampleRate) {
                    list.back().frames += jump;
                    list.back().unmatchedBlocks += unmatchedRun;
                } else {
                    list.push_back({when, jump, unmatchedRun});
                }
                steps += jump;
                recent.clear();
            }
        }
        unmatchedRun = 0;
        recent.emplace_back(at, match->position);
        if (recent.size() > 32) recent.erase(recent.begin());
        if (recent.size() >= 8) {
            slope = (recent.back().second - recent.front().second) / (recent.back().first - recent.front().first);
        }
        lastAt = at;
        lastPosition = match->position;
        if (settled) {
            if (settledMatched == 0) {
                report.settledRecordingFrame = at;
                report.settledSourcePosition = match->position;
            }
            ++settledMatched;
            correlations.push_back(match->correlation);
            points.push_back({at, match->position - steps});
        }
    }
    report.matchedBlocks = settledMatched;
    report.matchedShare = settledBlocks ? static_cast<double>(settledMatched) / static_cast<double>(settledBlocks) : 0;
    if (!correlations.empty()) {
        report.minCorrelation =
            settledMatched < settledBlocks ? 0.0 : *std::min_element(correlations.begin(), correlations.end());
        report.medianCorrelation = median(correlations);
    }
    // Rate per span: the slope of the step-corrected position against the recording's frames.
    const double span = options.spanSeconds * sampleRate;
    std::vector<double> rates;
    size_t first = 0;
    while (first < points.size()) {
        size_t last = first;
        while (last + 1 < points.size() && points[last + 1].at - points[first].at < span) ++last;
        if (last - first + 1 >= 8 && points[last].at - points[first].at >= 0.8 * span) {
            double mx = 0, my = 0;
            const double n = static_cast<double>(last - first + 1);
            for (size_t i = first; i <= last; ++i) mx += points[i].at, my += points[i].corrected;
            mx /= n, my /= n;
            double sxy = 0, sxx = 0;
            for (size_t i = first; i <= last; ++i) {
                sxy += (points[i].at - mx) * (points[i].corrected - my);
                sxx += (points[i].at - mx) * (points[i].at - mx);
            }
            rates.push_back((sxy / sxx - 1.0) * 1e6);
        }
        first = last + 1;
    }
    report.spans = rates.size();
    report.rateErrorPpm = median(rates);
    report.worstSpanPpm = report.rateErrorPpm;
    for (double r : rates) {
        if (std::fabs(r - report.rateErrorPpm) > std::fabs(report.worstSpanPpm - report.rateErrorPpm)) {
            report.worstSpanPpm = r;
        }
    }
    return report;
}

double thdPlusNoiseDb(const float* x, size_t frames, unsigned channels, unsigned channel, double sampleRate,
                      double nominalHz) {
    if (frames < 1024 || channel >= channels) return 0;
    double hz = dominantFrequency(x, std::min<size_t>(frames, static_cast<size_t>(sampleRate)), channels, channel,
                                  sampleRate);
    if (!(hz > 0) || std::fabs(hz - nominalHz) > 0.05 * nominalHz) hz = nominalHz;
    const double middle = 0.5 * static_cast<double>(frames - 1);
    double w = 2 * kPi * hz / sampleRate;
    double a = 0, bb = 0, c = 0;
    // Gauss-Newton on a cos(w t) + b sin(w t) + c: the frequency must be right to a few micro-
    // hertz over ten seconds, which no spectrum peak gives.
    for (int iteration = 0; iteration < 12; ++iteration) {
        double m[4][5] = {};
        for (size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) - middle;
            const double co = std::cos(w * t), si = std::sin(w * t);
            const double col[4] = {co, si, 1.0, t * (-a * si + bb * co)};
            const double y = x[i * channels + channel];
            for (int r = 0; r < 4; ++r) {
                for (int k = 0; k < 4; ++k) m[r][k] += col[r] * col[k];
                m[r][4] += col[r] * (y - (iteration == 0 ? 0.0 : a * co + bb * si + c));
            }
        }
        // On the first pass there is no amplitude yet: fit a, b, c alone.
        const int n = iteration == 0 ? 3 : 4;
        if (!eliminate(m, n)) return 0;
        if (iteration == 0) {
            a = m[0][4] / m[0][0], bb = m[1][4] / m[1][1], c = m[2][4] / m[2][2];
        } else {
            a += m[0][4] / m[0][0], bb += m[1][4] / m[1][1], c += m[2][4] / m[2][2];
            w += std::clamp(m[3][4] / m[3][3], -1e-4, 1e-4);
        }
    }
    // The tone is fitted again every 100 ms (amplitude, phase, offset and frequency), as an
    // analyser's notch tracks it: a single phase step then spoils its own window, not every window
    // after it, and a pitch that settles over seconds is not counted; a pitch that wavers within
    // a window, and everything that is not the tone, is.
    double tone = 0, rest = 0;
    const auto window = static_cast<size_t>(sampleRate / 10);
    for (size_t from = 0; from + window <= frames; from += window) {
        const double centre = static_cast<double>(from) + 0.5 * static_cast<double>(window - 1);
        double ww = w, wa = 0, wb = 0, wc = 0;
        for (int iteration = 0; iteration < 4; ++iteration) {
            const int n = iteration == 0 ? 3 : 4;
            double m[4][5] = {};
            for (size_t i = from; i < from + window; ++i) {
                const double t = static_cast<double>(i) - centre;
                const double co = std::cos(ww * t), si = std::sin(ww * t);
                const double col[4] = {co, si, 1.0, t * (-wa * si + wb * co)};
                const double y = x[i * channels + channel] - (iteration == 0 ? 0.0 : wa * co + wb * si + wc);
                for (int r = 0; r < n; ++r) {
                    for (int k = 0; k < n; ++k) m[r][k] += col[r] * col[k];
                    m[r][4] += col[r] * y;
                }
            }
            if (!eliminate(m, n)) return 0;
            wa += m[0][4] / m[0][0], wb += m[1][4] / m[1][1], wc += m[2][4] / m[2][2];
            if (n == 4) ww += std::clamp(m[3][4] / m[3][3], -1e-4, 1e-4);
        }
        for (size_t i = from; i < from + window; ++i) {
            const double t = static_cast<double>(i) - centre;
            const double fit = wa * std::cos(ww * t) + wb * std::sin(ww * t);
            const double y = x[i * channels + channel] - wc;
            tone += fit * fit;
            rest += (y - fit) * (y - fit);
        }
    }
    if (rest <= 0) return 200;
    return 10 * std::log10(tone / rest);
}

size_t countDisturbances(const ContinuityReport& report, double apart) {
    size_t events = 0;
    double last = -std::numeric_limits<double>::infinity();
    for (const auto& d : report.discontinuities) {
        if (d.atSeconds - last >= apart) ++events;
        last = d.atSeconds;
    }
    return events;
}

}  // namespace tidewell::tools
