#include "MonitorRing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TidewellHelpers/TidewellBufferListAccess.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

float* AllocateZeroed(uint64_t count) {
    return static_cast<float*>(std::calloc(count, sizeof(float)));
}

constexpr double kEngineRate = 48000.0;

template <typename Sample>
void WriteRouted(TidewellMonitorRing* ring, uint32_t frames, const AudioTimeStamp* stamp, Sample sample) {
    if (frames == 0) {
        return;
    }
    const uint64_t read = ring->readPosition.load(std::memory_order_acquire);
    const uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    TidewellBlockTime time = TidewellBlockTimeFrom(stamp);
    if (!time.hasHostTime) {
        time.hostNanos = TidewellBlockTimeNow().hostNanos;
        time.hasHostTime = true;
    }
    TidewellStreamClockAddBlock(&ring->inputClock, frames, time);
    TidewellRingSidePublish(&ring->writerPoint, write, time.hostNanos, TidewellStreamClockRate(&ring->inputClock));
    const uint64_t room = ring->capacity - std::min(ring->capacity, write - read);
    const uint64_t taken = std::min<uint64_t>(frames, room);
    if (taken < frames) {
        ring->dropped.fetch_add(frames - taken, std::memory_order_relaxed);
    }
    const uint32_t outputs = ring->outputChannels;
    const uint32_t inputs = ring->inputChannels;
    for (uint64_t i = 0; i < taken; ++i) {
        float* slot = ring->frames + ((write + i) % ring->capacity) * outputs;
        for (uint32_t o = 0; o < outputs; ++o) {
            slot[o] = 0.0f;
        }
        for (uint32_t r = 0; r < ring->routeCount; ++r) {
            const uint32_t s = ring->routes[r][0];
            const uint32_t o = ring->routes[r][1];
            if (s >= 1 && o >= 1 && s <= inputs && o <= outputs) {
                slot[o - 1] += sample(static_cast<uint32_t>(i), s - 1);
            }
        }
    }
    ring->writePosition.store(write + taken, std::memory_order_release);
    ring->captured.fetch_add(taken, std::memory_order_relaxed);
}

}  // namespace

TidewellMonitorRing* TidewellMonitorRingCreate(uint32_t inputChannels, uint32_t outputChannels) {
    if (inputChannels == 0 || inputChannels > 64 || outputChannels == 0 || outputChannels > 64) {
        return nullptr;
    }
    auto* ring = new (std::nothrow) TidewellMonitorRing{};
    if (ring == nullptr) {
        return nullptr;
    }
    ring->meterWriter.descriptor = -1;
    ring->capacity = kTidewellMonitorRingCapacity;
    ring->inputChannels = inputChannels;
    ring->outputChannels = outputChannels;
    ring->bytesPerInputFrame = 4 * inputChannels;
    ring->masterGain.store(1.0f);
    std::fill(ring->channelGains, ring->channelGains + 64, 1.0f);
    ring->outputRate = kEngineRate;
    ring->frames = AllocateZeroed(ring->capacity * outputChannels);
    if (ring->frames == nullptr) {
        delete ring;
        return nullptr;
    }
    TidewellDriftControllerInit(&ring->driftController, 1.0);
    TidewellStreamClockInit(&ring->inputClock, kEngineRate);
    TidewellStreamClockInit(&ring->outputClock, kEngineRate);
    TidewellFillControlInit(&ring->fillControl);
    return ring;
}

bool TidewellMonitorRingCreateConverter(TidewellMonitorRing* ring, double outputRate) {
    ring->outputRate = outputRate;
    TidewellStreamClockInit(&ring->outputClock, outputRate);
    ring->resampler = TidewellResamplerCreate(ring->outputChannels, kTidewellMonitorPullFrames, kEngineRate, outputRate);
    if (ring->resampler == nullptr) {
        return false;
    }
    ring->resampledCapacity = TidewellResamplerMaxOutputFrames(ring->resampler, kTidewellMonitorPullFrames);
    ring->pullBlock = AllocateZeroed(uint64_t{kTidewellMonitorPullFrames} * ring->outputChannels);
    ring->resampledBlock = AllocateZeroed(uint64_t{ring->resampledCapacity} * ring->outputChannels);
    ring->pendingBlock = AllocateZeroed(uint64_t{kTidewellMonitorPendingFrames} * ring->outputChannels);
    return ring->pullBlock != nullptr && ring->resampledBlock != nullptr && ring->pendingBlock != nullptr;
}

void TidewellMonitorRingDestroy(TidewellMonitorRing* ring) {
    if (ring == nullptr) {
        return;
    }
    TidewellResamplerDestroy(ring->resampler);
    std::free(ring->pullBlock);
    std::free(ring->resampledBlock);
    std::free(ring->pendingBlock);
    std::free(ring->frames);
    TidewellMeterWriterClose(&ring->meterWriter);
    delete ring;
}

void TidewellMonitorRingWrite(TidewellMonitorRing* ring, const float* data, uint32_t frames,
                              const AudioTimeStamp* time) {
    if (ring == nullptr || data == nullptr) {
        return;
    }
    const uint32_t inputs = ring->inputChannels;
    WriteRouted(ring, frames, time, [data, inputs](uint32_t f, uint32_t c) { return data[uint64_t{f} * inputs + c]; });
}

void TidewellMonitorRingWriteBufferList(TidewellMonitorRing* ring, const AudioBufferList* list,
                                        const AudioTimeStamp* time) {
    if (ring == nullptr) {
        return;
    }
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list);
    WriteRouted(ring, TidewellBufferListFrameCount(list), time,
                [&map](uint32_t f, uint32_t c) { return TidewellBufferListMappedSample(&map, f, c); });
}

void TidewellMonitorRingRead(TidewellMonitorRing* ring, float* destination, uint32_t count) {
    const uint32_t channels = ring->outputChannels;
    uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
    const uint64_t write = ring->writePosition.load(std::memory_order_acquire);
    uint64_t fill = write - read;
    const uint64_t target = ring->targetFill.load(std::memory_order_relaxed);
    if (target > 0 && fill > 8 * target) {
        ring->dropped.fetch_add(fill - target, std::memory_order_relaxed);
        read = write - target;
        fill = target;
        ring->resync.store(true, std::memory_order_relaxed);
    }
    const uint64_t n = std::min<uint64_t>(count, fill);
    const float master = ring->masterGain.load(std::memory_order_relaxed);
    float gains[64];
    for (uint32_t j = 0; j < channels; ++j) {
        gains[j] = master * TidewellLoadGain(ring->channelGains[j]);
    }
    for (uint64_t i = 0; i < n; ++i) {
        const float* slot = ring->frames + ((read + i) % ring->capacity) * channels;
        float* out = destination + i * channels;
        for (uint32_t j = 0; j < channels; ++j) {
            out[j] = slot[j] * gains[j];
        }
    }
    std::memset(destination + n * channels, 0, (count - n) * channels * sizeof(float));
    ring->readPosition.store(read + n, std::memory_order_release);
    ring->rendered.fetch_add(count, std::memory_order_relaxed);
    if (n < count) {
        ring->underrun.fetch_add(count - n, std::memory_order_relaxed);
    }
    float levels[64];
    float peaks[64];
    TidewellMeterComputeInterleavedLevels(destination, count, channels, levels, peaks, channels, 1.0f);
    TidewellMeterWriterPublishWithPeaks(&ring->meterWriter, levels, peaks, channels);
}

namespace {

// The drift control step of one render call, after its pulls (see TidewellStreamClock.h): the
// ratio for the next call from the two clocks, trimmed by the ring's low envelope at this cycle
// (the input's position carried along its clock to this cycle's host time, less what the reader
// has taken).
void ControlDrift(TidewellMonitorRing* ring, uint32_t frames) {
    TidewellDriftController* controller = &ring->driftController;
    if (ring->resync.exchange(false, std::memory_order_acq_rel)) {
        TidewellDriftControllerReset(controller);
        TidewellFillControlRealign(&ring->fillControl);
        ring->holdFrames = 0;
    }
    const double target = ring->targetFill.load(std::memory_order_relaxed);
    if (target != controller->targetFill) {
        TidewellDriftControllerSetTarget(controller, target);
    }
    TidewellBlockTime time{};
    if (!TidewellOutputBridgeRenderTime(&time) || !time.hasHostTime) {
        time = TidewellBlockTimeNow();
    }
    TidewellStreamClockAddBlock(&ring->outputClock, frames, time);
    const TidewellRingSideSnapshot writer = TidewellRingSideRead(&ring->writerPoint);
    if (writer.valid && writer.rate > 0 && target > 0) {
        const double since = static_cast<double>(static_cast<int64_t>(time.hostNanos - writer.hostNanos)) * 1e-9;
        const uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
        // Silence still held back plays before the ring's frames: it is latency like them.
        const double fill = static_cast<double>(writer.position) + since * writer.rate - static_cast<double>(read) +
                            static_cast<double>(ring->holdFrames);
        const int64_t step = TidewellFillControlUpdate(&ring->fillControl, fill, target, frames / ring->outputRate);
        if (step > 0) {
            const uint64_t available = ring->writePosition.load(std::memory_order_acquire) - read;
            const uint64_t excess = std::min<uint64_t>(static_cast<uint64_t>(step), available);
            ring->dropped.fetch_add(excess, std::memory_order_relaxed);
            ring->readPosition.store(read + excess, std::memory_order_release);
        } else if (step < 0) {
            ring->holdFrames += static_cast<uint64_t>(-step);
        }
        if (step != 0) {
            ring->stepCorrections.fetch_add(1, std::memory_order_relaxed);
        }
    }
    double scalar = TidewellClockRatioScalar(writer.valid ? writer.rate : 0.0, kEngineRate,
                                             TidewellStreamClockRate(&ring->outputClock), ring->outputRate,
                                             ring->fillControl.trim);
    // Once filtering, never back to the identity copy: that would jump by the filter's delay.
    if (scalar == 1.0 && ring->filtering) {
        scalar = std::nextafter(1.0, 2.0);
    }
    TidewellResamplerSetRateScalar(ring->resampler, scalar);
    ring->filtering = ring->filtering || !TidewellResamplerIsIdentity(ring->resampler);
}

}  // namespace

uint32_t MonitorOutputBridgeRender(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* ring = static_cast<TidewellMonitorRing*>(context);
    if (ring == nullptr || destination == nullptr || channels != ring->outputChannels || ring->resampler == nullptr) {
        return 0;
    }
    for (uint32_t pulls = 0; ring->pendingFrames < frames && pulls < kTidewellMonitorMaximumPulls; ++pulls) {
        const double wanted = std::floor((frames - ring->pendingFrames) * kEngineRate / ring->outputRate) + 8;
        const auto pull = static_cast<uint32_t>(std::min<double>(wanted, kTidewellMonitorPullFrames));
        const auto held = static_cast<uint32_t>(std::min<uint64_t>(pull, ring->holdFrames));
        std::memset(ring->pullBlock, 0, uint64_t{held} * channels * sizeof(float));
        ring->holdFrames -= held;
        if (pull > held) {
            TidewellMonitorRingRead(ring, ring->pullBlock + uint64_t{held} * channels, pull - held);
        }
        const uint32_t produced =
            TidewellResamplerProcess(ring->resampler, ring->pullBlock, pull, ring->resampledBlock, ring->resampledCapacity);
        const uint32_t kept = std::min(produced, kTidewellMonitorPendingFrames - ring->pendingFrames);
        std::memcpy(ring->pendingBlock + uint64_t{ring->pendingFrames} * channels, ring->resampledBlock,
                    uint64_t{kept} * channels * sizeof(float));
        ring->pendingFrames += kept;
    }
    const uint32_t m = std::min(ring->pendingFrames, frames);
    std::memcpy(destination, ring->pendingBlock, uint64_t{m} * channels * sizeof(float));
    std::memset(destination + uint64_t{m} * channels, 0, uint64_t{frames - m} * channels * sizeof(float));
    ring->pendingFrames -= m;
    std::memmove(ring->pendingBlock, ring->pendingBlock + uint64_t{m} * channels,
                 uint64_t{ring->pendingFrames} * channels * sizeof(float));
    // After this call's pulls: the fill is what is left for the next one, whatever its size.
    ControlDrift(ring, frames);
    return 0;
}
