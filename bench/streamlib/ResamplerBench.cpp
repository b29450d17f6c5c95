// Resampler throughput (input frames per second, 44100 Hz to 48000 Hz, stereo and 64 channels)
// and quality (SNR of a 997 Hz sine, level of the image a 20 kHz sine folds to 23.9 kHz),
// for our resampler and, where installed, libsoxr, libsamplerate and speexdsp.
//
//   streamlib_resampler_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TidewellStream/TidewellResampler.h"

#if TW_HAVE_SOXR
#include <soxr.h>
#endif
#if TW_HAVE_SAMPLERATE
#include <samplerate.h>
#endif
#if TW_HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

namespace {

constexpr double kInputRate = 44100.0;
constexpr double kOutputRate = 48000.0;
constexpr uint32_t kBlock = 512;

// One streaming converter: process(input, frames, output, capacity) returns the frames written.
using Process = std::function<uint32_t(const float*, uint32_t, float*, uint32_t)>;
using Factory = std::function<Process(uint32_t channels)>;

Process MakeTidewell(uint32_t channels) {
    std::shared_ptr<TidewellResampler> r(TidewellResamplerCreate(channels, kBlock, kInputRate, kOutputRate),
                                         TidewellResamplerDestroy);
    return [r](const float* in, uint32_t frames, float* out, uint32_t capacity) {
        return TidewellResamplerProcess(r.get(), in, frames, out, capacity);
    };
}

#if TW_HAVE_SOXR
Factory MakeSoxr(unsigned long recipe) {
    return [recipe](uint32_t channels) -> Process {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        std::shared_ptr<soxr> s(soxr_create(kInputRate, kOutputRate, channels, &error, &io, &quality, &runtime),
                                soxr_delete);
        return [s](const float* in, uint32_t frames, float* out, uint32_t capacity) {
            size_t used = 0;
            size_t written = 0;
            soxr_process(s.get(), in, frames, &used, out, capacity, &written);
            return static_cast<uint32_t>(written);
        };
    };
}
#endif

#if TW_HAVE_SAMPLERATE
Factory MakeSamplerate(int converter) {
    return [converter](uint32_t channels) -> Process {
        int error = 0;
        std::shared_ptr<SRC_STATE> s(src_new(converter, static_cast<int>(channels), &error), src_delete);
        return [s](const float* in, uint32_t frames, float* out, uint32_t capacity) {
            SRC_DATA data{};
            data.data_in = in;
            data.data_out = out;
            data.input_frames = frames;
            data.output_frames = capacity;
            data.src_ratio = kOutputRate / kInputRate;
            src_process(s.get(), &data);
            return static_cast<uint32_t>(data.output_frames_gen);
        };
    };
}
#endif

#if TW_HAVE_SPEEXDSP
Factory MakeSpeex(int quality) {
    return [quality](uint32_t channels) -> Process {
        int error = 0;
        std::shared_ptr<SpeexResamplerState> s(
            speex_resampler_init(channels, static_cast<spx_uint32_t>(kInputRate), static_cast<spx_uint32_t>(kOutputRate),
                                 quality, &error),
            speex_resampler_destroy);
        return [s](const float* in, uint32_t frames, float* out, uint32_t capacity) {
            spx_uint32_t inLength = frames;
            spx_uint32_t outLength = capacity;
            speex_resampler_process_interleaved_float(s.get(), in, &inLength, out, &outLength);
            return static_cast<uint32_t>(outLength);
        };
    };
}
#endif

std::vector<float> Sine(double frequency, size_t frames, uint32_t channels, size_t start = 0) {
    std::vector<float> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(0.5 * std::sin(2.0 * M_PI * frequency * (start + i) / kInputRate));
        for (uint32_t c = 0; c < channels; ++c) out[i * channels + c] = v;
    }
    return out;
}

// Amplitude of `frequency` in y (least-squares fit with DC) and what the fit leaves over.
void Fit(const std::vector<float>& y, double frequency, double* amplitude, double* residual) {
    double m[3][4] = {};
    for (size_t i = 0; i < y.size(); ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / kOutputRate;
        const double basis[3] = {std::cos(phase), std::sin(phase), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
            m[r][3] += basis[r] * y[i];
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = i + 1; j < 3; ++j) {
            const double f = m[j][i] / m[i][i];
            for (int k = i; k < 4; ++k) m[j][k] -= f * m[i][k];
        }
    }
    double x[3];
    for (int i = 2; i >= 0; --i) {
        double v = m[i][3];
        for (int k = i + 1; k < 3; ++k) v -= m[i][k] * x[k];
        x[i] = v / m[i][i];
    }
    double error = 0.0;
    for (size_t i = 0; i < y.size(); ++i) {
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / kOutputRate;
        const double d = y[i] - (x[0] * std::cos(phase) + x[1] * std::sin(phase) + x[2]);
        error += d * d;
    }
    *amplitude = std::hypot(x[0], x[1]);
    *residual = std::sqrt(error / static_cast<double>(y.size()));
}

// Two seconds of a mono sine through a fresh converter; the first 0.25 s is left out.
std::vector<float> Settled(const Factory& make, double frequency) {
    Process process = make(1);
    std::vector<float> output;
    std::vector<float> scratch(4 * kBlock);
    for (size_t start = 0; start < 2 * static_cast<size_t>(kInputRate); start += kBlock) {
        const auto in = Sine(frequency, kBlock, 1, start);
        const uint32_t n = process(in.data(), kBlock, scratch.data(), static_cast<uint32_t>(scratch.size()));
        output.insert(output.end(), scratch.begin(), scratch.begin() + n);
    }
    return std::vector<float>(output.begin() + 12000, output.begin() + 12000 + 72000);
}

void Resample(benchmark::State& state, Factory make) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    Process process = make(channels);
    const auto in = Sine(997.0, kBlock, channels);
    std::vector<float> out(4 * kBlock * channels);
    uint64_t frames = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(process(in.data(), kBlock, out.data(), 4 * kBlock));
        benchmark::ClobberMemory();
        frames += kBlock;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(frames) / kInputRate, benchmark::Counter::kIsRate);

    double amplitude = 0.0;
    double residual = 0.0;
    Fit(Settled(make, 997.0), 997.0, &amplitude, &residual);
    state.counters["SNR 997Hz dB"] = 20.0 * std::log10(amplitude / residual);
    // A 20 kHz tone at 44100 Hz has its first image at 24.1 kHz, which lands on 23.9 kHz at 48000 Hz.
    Fit(Settled(make, 20000.0), kOutputRate - (kInputRate - 20000.0), &amplitude, &residual);
    state.counters["alias 20kHz dB"] = 20.0 * std::log10(amplitude / 0.5);
}

}  // namespace

BENCHMARK_CAPTURE(Resample, tidewell, Factory(MakeTidewell))->Arg(2)->Arg(64);
#if TW_HAVE_SOXR
BENCHMARK_CAPTURE(Resample, soxr_hq, MakeSoxr(SOXR_HQ))->Arg(2)->Arg(64);
BENCHMARK_CAPTURE(Resample, soxr_vhq, MakeSoxr(SOXR_VHQ))->Arg(2)->Arg(64);
#endif
#if TW_HAVE_SAMPLERATE
BENCHMARK_CAPTURE(Resample, samplerate_sinc_fastest, MakeSamplerate(SRC_SINC_FASTEST))->Arg(2)->Arg(64);
BENCHMARK_CAPTURE(Resample, samplerate_sinc_medium, MakeSamplerate(SRC_SINC_MEDIUM_QUALITY))->Arg(2)->Arg(64);
BENCHMARK_CAPTURE(Resample, samplerate_sinc_best, MakeSamplerate(SRC_SINC_BEST_QUALITY))->Arg(2)->Arg(64);
#endif
#if TW_HAVE_SPEEXDSP
BENCHMARK_CAPTURE(Resample, speex_q5, MakeSpeex(5))->Arg(2)->Arg(64);
BENCHMARK_CAPTURE(Resample, speex_q10, MakeSpeex(10))->Arg(2)->Arg(64);
#endif

BENCHMARK_MAIN();
