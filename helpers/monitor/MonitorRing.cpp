#include "MonitorRing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TidewellHelpers/TidewellBufferListAccess.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"

namespace {

float* AllocateZeroed(uint64_t count) {
    return static_cast<float*>(std::calloc(count, sizeof(float)));
}

constexpr double kEngineRate = 48000.0;

template <typename Sample>
void WriteRouted(TidewellMonitorRing* ring, uint32_t frames, Sample sample) {
    if (frames == 0) {
        return;
    }
    const uint64_t read = ring->readPosition.load(std::memory_order_acquire);
    const uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    if (read != ring->readAtLastWrite) {
        ring->cushion.store(write - read, std::memory_order_relaxed);
        ring->cushionsMeasured.fetch_add(1, std::memory_order_release);
        ring->readAtLastWrite = read;
    }
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
    return ring;
}

bool TidewellMonitorRingCreateConverter(TidewellMonitorRing* ring, double outputRate) {
    ring->outputRate = outputRate;
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

void TidewellMonitorRingWrite(TidewellMonitorRing* ring, const float* data, uint32_t frames) {
    if (ring == nullptr || data == nullptr) {
        return;
    }
    const uint32_t inputs = ring->inputChannels;
    WriteRouted(ring, frames, [data, inputs](uint32_t f, uint32_t c) { return data[uint64_t{f} * inputs + c]; });
}

void TidewellMonitorRingWriteBufferList(TidewellMonitorRing* ring, const AudioBufferList* list) {
    if (ring == nullptr) {
        return;
    }
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list);
    WriteRouted(ring, TidewellBufferListFrameCount(list),
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

// A cushion this far from the target (as a share of it) is no drift but a step: output or input
// cycles the server passed by, an underrun, a new target. It is set right at once, not resampled
// away over seconds at a shifted pitch.
constexpr double kRealignShare = 0.25;
// Cushions are averaged over this long before an alignment: single ones vary by up to a cycle
// with the phase of the two sides.
constexpr double kAlignSeconds = 0.25;

void RequestAlignment(TidewellMonitorRing* ring, uint64_t measurement) {
    ring->aligned = false;
    ring->alignedAtMeasurement = measurement;
    ring->alignSum = 0;
    ring->alignSeconds = 0;
}

// Moves the reader so that the mean cushion becomes the target: the excess is dropped (and
// counted), a shortfall is played as silence before the next ring frames. The controller keeps
// its rate and seeds its smoothed cushion again from the next measurement.
void AlignCushion(TidewellMonitorRing* ring, double meanCushion, uint64_t measurement) {
    const auto cushion = static_cast<uint64_t>(std::llround(meanCushion));
    const uint64_t target = std::max<uint64_t>(ring->targetFill.load(std::memory_order_relaxed), 1);
    ring->holdFrames = 0;
    if (cushion > target) {
        const uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
        const uint64_t fill = ring->writePosition.load(std::memory_order_acquire) - read;
        const uint64_t excess = std::min(cushion - target, fill);
        ring->dropped.fetch_add(excess, std::memory_order_relaxed);
        ring->readPosition.store(read + excess, std::memory_order_release);
    } else {
        ring->holdFrames = target - cushion;
    }
    ring->aligned = true;
    ring->alignedAtMeasurement = measurement;
    ring->controlSeconds = 0;
    ring->driftController.seeded = false;
}

// The drift control step of one render call. The controller holds the cushion, not the fill of
// this moment: between input cycles the fill also counts what remains of the newest block (up to
// a whole device cycle), and held at the target that would leave the ring dry before each block
// while the conversion ran fast. The current fill is the lower one only while the input is late.
void ControlDrift(TidewellMonitorRing* ring, uint32_t frames) {
    TidewellDriftController* controller = &ring->driftController;
    const uint64_t measurement = ring->cushionsMeasured.load(std::memory_order_acquire);
    if (ring->resync.exchange(false, std::memory_order_acq_rel)) {
        TidewellDriftControllerReset(controller);
        RequestAlignment(ring, measurement);
    }
    const double target = ring->targetFill.load(std::memory_order_relaxed);
    if (target != controller->targetFill) {
        TidewellDriftControllerSetTarget(controller, target);
    }
    const double elapsed = frames / ring->outputRate;
    // Nothing measured since start or the last alignment: the last measurement is of no use.
    if (measurement != ring->alignedAtMeasurement) {
        const uint64_t fill = ring->writePosition.load(std::memory_order_acquire) -
                              ring->readPosition.load(std::memory_order_relaxed);
        const uint64_t cushion = std::min(fill, ring->cushion.load(std::memory_order_relaxed));
        if (!ring->aligned) {
            ring->alignSum += static_cast<double>(cushion) * elapsed;
            ring->alignSeconds += elapsed;
            if (ring->alignSeconds >= kAlignSeconds) {
                AlignCushion(ring, ring->alignSum / ring->alignSeconds, measurement);
            }
        } else {
            TidewellDriftControllerUpdate(controller, static_cast<double>(cushion), elapsed);
            ring->controlSeconds += elapsed;
            // Only a smoothed cushion says anything: the one the controller was just seeded with
            // is a single measurement.
            if (ring->controlSeconds >= kAlignSeconds &&
                std::fabs(controller->smoothedFill - controller->targetFill) > kRealignShare * controller->targetFill) {
                RequestAlignment(ring, measurement);
            }
        }
    }
    TidewellResamplerSetRateScalar(ring->resampler, controller->ratio);
}

}  // namespace

uint32_t MonitorOutputBridgeRender(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* ring = static_cast<TidewellMonitorRing*>(context);
    if (ring == nullptr || destination == nullptr || channels != ring->outputChannels || ring->resampler == nullptr) {
        return 0;
    }
    ControlDrift(ring, frames);
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
    return 0;
}
