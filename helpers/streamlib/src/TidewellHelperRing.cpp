#include "TidewellStream/TidewellHelperRing.h"

#include "TidewellStream/TidewellOutputBridge.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

float* AllocateZeroed(uint64_t values) {
    auto* buffer = new (std::nothrow) float[values];
    if (buffer != nullptr) {
        std::memset(buffer, 0, values * sizeof(float));
    }
    return buffer;
}

void CopyIn(TidewellHelperRing* ring, const float* source, uint64_t position, uint64_t count) {
    const uint64_t slot = position % ring->capacity;
    const uint64_t first = std::min(count, ring->capacity - slot);
    const size_t channels = ring->channels;
    std::memcpy(ring->frames + slot * channels, source, first * channels * sizeof(float));
    if (count > first) {
        std::memcpy(ring->frames, source + first * channels, (count - first) * channels * sizeof(float));
    }
}

void CopyOut(const TidewellHelperRing* ring, float* destination, uint64_t position, uint64_t count, float gain) {
    const size_t channels = ring->channels;
    uint64_t slot = position % ring->capacity;
    uint64_t done = 0;
    while (done < count) {
        const uint64_t run = std::min(count - done, ring->capacity - slot);
        const float* source = ring->frames + slot * channels;
        float* out = destination + done * channels;
        const size_t values = run * channels;
        for (size_t v = 0; v < values; ++v) {
            out[v] = source[v] * gain;
        }
        done += run;
        slot = 0;
    }
}

// Appends what fits; `captured` says whether the frames count as captured audio.
void AppendFrames(TidewellHelperRing* ring, const float* frames, uint64_t count, bool captured) {
    const uint64_t read = ring->readPosition.load(std::memory_order_acquire);
    const uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    // The reader may be copying any slot from its read position up to write; overwriting one of
    // those would hand it torn frames, and moving its position under it would count frames twice.
    // So frames that find no room are refused. The reader's resync catches up with the newest
    // audio once it runs again.
    const uint64_t room = ring->capacity - std::min(write - read, ring->capacity);
    const uint64_t accepted = std::min(count, room);
    if (accepted < count) {
        ring->dropped.fetch_add(count - accepted, std::memory_order_relaxed);
    }
    if (accepted > 0) {
        CopyIn(ring, frames, write, accepted);
        ring->writePosition.store(write + accepted, std::memory_order_release);
    }
    if (captured) {
        ring->captured.fetch_add(count, std::memory_order_relaxed);
    }
}

}  // namespace

TidewellHelperRing* TidewellHelperRingCreate(uint32_t sourceChannels, uint32_t channels, double inputRate) {
    if (sourceChannels == 0 || sourceChannels > kTidewellResamplerMaximumChannels || channels == 0 ||
        channels > kTidewellResamplerMaximumChannels) {
        return nullptr;
    }
    auto* ring = new (std::nothrow) TidewellHelperRing{};
    if (ring == nullptr) {
        return nullptr;
    }
    ring->meterWriter.descriptor = -1;
    ring->capacity = kTidewellHelperRingCapacity;
    ring->sourceChannels = sourceChannels;
    ring->channels = channels;
    ring->resampledCapacity = kTidewellHelperRingResampledCapacity;
    ring->inputRate = inputRate;
    ring->masterGain.store(1.0f);
    ring->frames = AllocateZeroed(ring->capacity * channels);
    ring->channelGains = AllocateZeroed(sourceChannels);
    ring->routedBlock = AllocateZeroed(uint64_t{kTidewellHelperRingBlockFrames} * channels);
    ring->resampledBlock = AllocateZeroed(uint64_t{ring->resampledCapacity} * channels);
    ring->resampler =
        TidewellResamplerCreate(channels, kTidewellHelperRingBlockFrames, inputRate, kTidewellHelperRingEngineRate);
    if (ring->frames == nullptr || ring->channelGains == nullptr || ring->routedBlock == nullptr ||
        ring->resampledBlock == nullptr || ring->resampler == nullptr) {
        TidewellHelperRingDestroy(ring);
        return nullptr;
    }
    std::fill(ring->channelGains, ring->channelGains + sourceChannels, 1.0f);
    TidewellDriftControllerInit(&ring->driftController, 1.0);
    TidewellStreamClockInit(&ring->inputClock, inputRate);
    TidewellStreamClockInit(&ring->outputClock, kTidewellHelperRingEngineRate);
    TidewellFillControlInit(&ring->fillControl);
    return ring;
}

void TidewellHelperRingDestroy(TidewellHelperRing* ring) {
    if (ring == nullptr) {
        return;
    }
    TidewellMeterWriterClose(&ring->meterWriter);
    TidewellResamplerDestroy(ring->resampler);
    delete[] ring->frames;
    delete[] ring->channelGains;
    delete[] ring->routedBlock;
    delete[] ring->resampledBlock;
    delete ring;
}

void RingAppend(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    if (ring == nullptr || frames == nullptr || count == 0) {
        return;
    }
    AppendFrames(ring, frames, count, true);
}

void RingRead(TidewellHelperRing* ring, float* destination, uint64_t count) {
    if (ring == nullptr || destination == nullptr || count == 0) {
        return;
    }
    uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
    const uint64_t write = ring->writePosition.load(std::memory_order_acquire);
    uint64_t fill = write - read;
    const uint64_t target = ring->targetFill.load(std::memory_order_relaxed);
    if (target > 0 && fill > 8 * target) {
        // Far behind: jump to the newest target frames and let the writer restart drift control.
        ring->dropped.fetch_add(fill - target, std::memory_order_relaxed);
        ring->resync.store(true, std::memory_order_release);
        read = write - target;
        fill = target;
    } else if (target == 0 && fill > count) {
        read = write - count;
        fill = count;
    }
    const uint64_t n = std::min(count, fill);
    CopyOut(ring, destination, read, n, ring->masterGain.load(std::memory_order_relaxed));
    if (n < count) {
        std::memset(destination + n * ring->channels, 0, (count - n) * ring->channels * sizeof(float));
    }
    ring->readPosition.store(read + n, std::memory_order_release);
    ring->rendered.fetch_add(count, std::memory_order_relaxed);
    if (n < count) {
        ring->underrun.fetch_add(count - n, std::memory_order_relaxed);
    }
    // Where the reader stands on its device's clock, for the writer's rate control.
    TidewellBlockTime time{};
    if (!TidewellOutputBridgeRenderTime(&time) || !time.hasHostTime) {
        time = TidewellBlockTimeNow();
    }
    TidewellStreamClockAddBlock(&ring->outputClock, static_cast<uint32_t>(count), time);
    TidewellRingSidePublish(&ring->readerPoint, read + n, time.hostNanos, TidewellStreamClockRate(&ring->outputClock));
}

namespace {

// The ring's low envelope at the writer's cycle: the write position before this block against
// the reader's position carried along its clock to the same host time.
double LowEnvelopeFill(const TidewellHelperRing* ring, uint64_t write, uint64_t hostNanos, bool* known) {
    const TidewellRingSideSnapshot reader = TidewellRingSideRead(&ring->readerPoint);
    *known = reader.valid && reader.rate > 0;
    if (!*known) {
        return 0;
    }
    const double since = static_cast<double>(static_cast<int64_t>(hostNanos - reader.hostNanos)) * 1e-9;
    return static_cast<double>(write) - (static_cast<double>(reader.position) + since * reader.rate);
}

// Appends with the pending step applied: a drop swallows the first frames, an insertion puts
// silence before them. Both are counted as dropped or as (writer-made) silence.
void AppendStepped(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    if (ring->pendingStep > 0) {
        const uint64_t swallowed = std::min<uint64_t>(count, static_cast<uint64_t>(ring->pendingStep));
        ring->pendingStep -= static_cast<int64_t>(swallowed);
        ring->dropped.fetch_add(swallowed, std::memory_order_relaxed);
        frames += swallowed * ring->channels;
        count -= swallowed;
    }
    if (ring->pendingStep < 0) {
        // Silence ahead of the block, from a zeroed row block; it is no captured audio.
        static const float kSilence[4096] = {};
        const uint64_t perPiece = std::max<uint64_t>(1, 4096 / ring->channels);
        for (auto left = static_cast<uint64_t>(-ring->pendingStep); left > 0;) {
            const uint64_t piece = std::min(left, perPiece);
            AppendFrames(ring, kSilence, piece, false);
            left -= piece;
        }
        ring->pendingStep = 0;
    }
    AppendFrames(ring, frames, count, true);
}

}  // namespace

void ResampleAndAppend(TidewellHelperRing* ring, uint64_t count) {
    ResampleAndAppendAt(ring, count, nullptr);
}

void ResampleAndAppendAt(TidewellHelperRing* ring, uint64_t count, const TidewellBlockTime* givenTime) {
    if (ring == nullptr || ring->resampler == nullptr || count == 0) {
        return;
    }
    TidewellResampler* resampler = ring->resampler;
    const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(count, kTidewellHelperRingBlockFrames));
    TidewellBlockTime time = givenTime != nullptr && givenTime->hasHostTime ? *givenTime : TidewellBlockTimeNow();
    if (givenTime != nullptr && !givenTime->hasHostTime) {
        time.sampleTime = givenTime->sampleTime;
        time.hasSampleTime = givenTime->hasSampleTime;
    }
    if (ring->resync.exchange(false, std::memory_order_acq_rel)) {
        TidewellDriftControllerReset(&ring->driftController);
        TidewellFillControlRealign(&ring->fillControl);
        ring->pendingStep = 0;
    }
    const double target = static_cast<double>(ring->targetFill.load(std::memory_order_relaxed));
    if (target != ring->driftController.targetFill) {
        TidewellDriftControllerSetTarget(&ring->driftController, target);
    }
    TidewellStreamClockAddBlock(&ring->inputClock, frames, time);
    // The ratio is the two clocks' ratio; the fill error only trims it, and a step in the fill is
    // set right at once (see TidewellStreamClock.h).
    bool known = false;
    const double fill =
        LowEnvelopeFill(ring, ring->writePosition.load(std::memory_order_relaxed), time.hostNanos, &known);
    if (known && target > 0) {
        const int64_t step = TidewellFillControlUpdate(&ring->fillControl, fill, target,
                                                       static_cast<double>(frames) / ring->inputRate);
        if (step != 0) {
            ring->pendingStep = step;
            ring->stepCorrections.fetch_add(1, std::memory_order_relaxed);
        }
    }
    double scalar = TidewellClockRatioScalar(TidewellStreamClockRate(&ring->inputClock), ring->inputRate,
                                             TidewellStreamClockRate(&ring->outputClock),
                                             kTidewellHelperRingEngineRate, ring->fillControl.trim);
    // Leaving the identity copy delays the stream by the filter's half-width; going back to it
    // would jump by as much, so once filtering the scalar never returns to exactly 1.
    if (scalar == 1.0 && ring->filtering) {
        scalar = std::nextafter(1.0, 2.0);
    }
    TidewellResamplerSetRateScalar(resampler, scalar);
    ring->filtering = ring->filtering || !TidewellResamplerIsIdentity(resampler);

    // Chunks small enough that their output always fits the resampled block, whatever the rate:
    // at low capture rates one routed block yields more than the block holds.
    uint32_t chunk = std::min(frames, resampler->maxInputFrames);
    while (chunk > 1 && TidewellResamplerMaxOutputFrames(resampler, chunk) > ring->resampledCapacity) {
        chunk = std::max<uint32_t>(1, chunk / 2);
    }
    for (uint32_t done = 0; done < frames;) {
        const uint32_t take = std::min(chunk, frames - done);
        const uint32_t produced =
            TidewellResamplerProcess(resampler, ring->routedBlock + static_cast<size_t>(done) * ring->channels, take,
                                     ring->resampledBlock, ring->resampledCapacity);
        AppendStepped(ring, ring->resampledBlock, produced);
        done += take;
    }
}

uint32_t OutputBridgeCallback(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* ring = static_cast<TidewellHelperRing*>(context);
    if (destination == nullptr) {
        return 0;
    }
    if (ring != nullptr && channels == ring->channels) {
        RingRead(ring, destination, frames);
    } else {
        std::memset(destination, 0, static_cast<size_t>(frames) * channels * sizeof(float));
    }
    return 0;
}
