// CPU time per second of audio for each helper's audio path: the capture write (routing,
// metering, resampling, ring append) and the render read of the capture helpers, and the monitor's
// routed write plus its converting render. The "cpu_s_per_audio_s" counter is the figure to read:
// 0.01 means the helper's audio threads need 1 % of one core.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "MonitorCapture.h"
#include "SourceCapture.h"
#include "TapCapture.h"

namespace {

constexpr uint32_t kBlock = 512;

void Report(benchmark::State& state, double frames, double rate) {
    state.counters["cpu_s_per_audio_s"] = benchmark::Counter(frames / rate, benchmark::Counter::kIsRate |
                                                                                benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<int64_t>(frames));
}

struct BufferList {
    explicit BufferList(uint32_t buffers)
        : list(static_cast<AudioBufferList*>(std::calloc(1, AUDIO_BUFFER_LIST_SIZE(buffers)))) {
        list->mNumberBuffers = buffers;
    }
    ~BufferList() { std::free(list); }
    AudioBufferList* list;
};

void RouteIdentity(TidewellHelperRing* ring, uint32_t sources, uint32_t outputs) {
    ring->routeCount = 0;
    for (uint32_t c = 0; c < outputs; ++c) {
        ring->routes[ring->routeCount][0] = c % sources + 1;
        ring->routes[ring->routeCount][1] = c + 1;
        ++ring->routeCount;
    }
}

void Drain(TidewellHelperRing* ring, std::vector<float>& out) {
    const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
    const uint64_t frames = std::min<uint64_t>(fill, out.size() / ring->channels);
    RingRead(ring, out.data(), frames);
}

// A stereo tap routed onto `outputs` device channels at the tap's rate.
void BM_ProcessTap(benchmark::State& state) {
    const auto outputs = static_cast<uint32_t>(state.range(0));
    const double rate = static_cast<double>(state.range(1));
    TidewellHelperRing* ring = TidewellHelperRingCreate(2, outputs, rate);
    RouteIdentity(ring, 2, outputs);
    ring->targetFill.store(1024);
    TapCaptureState tap{};
    TidewellTapCaptureInit(&tap, ring, 2, true, 192);
    std::vector<float> samples(kBlock * 2, 0.25f);
    BufferList input(1);
    input.list->mBuffers[0] = {2, kBlock * 2 * 4, samples.data()};
    std::vector<float> out(uint64_t{16384} * outputs);
    AudioTimeStamp time{};
    time.mFlags = kAudioTimeStampHostTimeValid;
    double frames = 0;
    for (auto _ : state) {
        time.mHostTime += static_cast<uint64_t>(kBlock / rate * 1e9);
        TidewellTapCaptureBlock(&tap, &time, input.list, &time);
        Drain(ring, out);
        frames += kBlock;
    }
    Report(state, frames, rate);
    TidewellHelperRingDestroy(ring);
}
BENCHMARK(BM_ProcessTap)->Args({2, 48000})->Args({64, 48000})->Args({2, 44100})->Args({64, 44100});

// A hardware input of `channels` channels in two-channel streams, routed one to one.
void BM_HardwareSource(benchmark::State& state) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    const double rate = static_cast<double>(state.range(1));
    TidewellHelperRing* ring = TidewellHelperRingCreate(channels, channels, rate);
    RouteIdentity(ring, channels, channels);
    ring->targetFill.store(1024);
    const uint32_t streams = (channels + 1) / 2;
    std::vector<std::vector<float>> data(streams);
    BufferList input(streams);
    for (uint32_t s = 0; s < streams; ++s) {
        const uint32_t n = std::min(2u, channels - 2 * s);
        data[s].assign(uint64_t{kBlock} * n, 0.25f);
        input.list->mBuffers[s] = {n, kBlock * n * 4, data[s].data()};
    }
    std::vector<float> out(uint64_t{16384} * channels);
    double frames = 0;
    for (auto _ : state) {
        TidewellSourceRingWriteBufferList(ring, input.list);
        Drain(ring, out);
        frames += kBlock;
    }
    Report(state, frames, rate);
    TidewellHelperRingDestroy(ring);
}
BENCHMARK(BM_HardwareSource)->Args({2, 48000})->Args({64, 48000})->Args({2, 44100})->Args({64, 44100});

// A virtual device of `channels` channels played to an output at `rate`.
void BM_Monitor(benchmark::State& state) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    const double rate = static_cast<double>(state.range(1));
    TidewellHelperRing* ring = TidewellHelperRingCreateReaderControlled(channels, channels);
    TidewellHelperRingCreateOutputConverter(ring, rate);
    for (uint32_t c = 0; c < channels; ++c) {
        ring->routes[c][0] = c + 1;
        ring->routes[c][1] = c + 1;
    }
    ring->routeCount = channels;
    ring->targetFill.store(1024);
    std::vector<float> input(uint64_t{kBlock} * channels, 0.25f);
    std::vector<float> out(uint64_t{kBlock} * channels);
    const auto renderFrames = static_cast<uint32_t>(kBlock * rate / 48000.0);
    double frames = 0;
    for (auto _ : state) {
        TidewellMonitorWrite(ring, input.data(), kBlock);
        OutputBridgeCallback(ring, out.data(), renderFrames, channels);
        frames += kBlock;
    }
    Report(state, frames, 48000.0);
    TidewellHelperRingDestroy(ring);
}
BENCHMARK(BM_Monitor)->Args({2, 48000})->Args({64, 48000})->Args({2, 44100})->Args({64, 44100});

}  // namespace

BENCHMARK_MAIN();
