#include "TidewellStream/TidewellHelperRing.h"

#include "TidewellHelperRingInternal.h"
#include "TidewellStream/TidewellOutputBridge.h"

#include <algorithm>
#include <cstring>
#include <new>

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(kTidewellHelperRingMaximumChannels == kTidewellResamplerMaximumChannels);

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

// Copies count frames from position on, channel j scaled by gains[j].
void CopyOut(const TidewellHelperRing* ring, float* destination, uint64_t position, uint64_t count, const float* gains) {
    const size_t channels = ring->channels;
    uint64_t slot = position % ring->capacity;
    uint64_t done = 0;
    while (done < count) {
        const uint64_t run = std::min(count - done, ring->capacity - slot);
        const float* source = ring->frames + slot * channels;
        float* out = destination + done * channels;
        for (uint64_t f = 0; f < run; ++f) {
            for (size_t j = 0; j < channels; ++j) {
                out[f * channels + j] = source[f * channels + j] * gains[j];
            }
        }
        done += run;
        slot = 0;
    }
}

// Storage, gains and counters for either kind of ring; null when a count is out of range or an
// allocation fails.
TidewellHelperRing* CreateStorage(TidewellHelperRingControl control, uint32_t sourceChannels, uint32_t channels) {
    if (sourceChannels == 0 || sourceChannels > kTidewellHelperRingMaximumChannels || channels == 0 ||
        channels > kTidewellHelperRingMaximumChannels) {
        return nullptr;
    }
    auto* ring = new (std::nothrow) TidewellHelperRing{};
    if (ring == nullptr) {
        return nullptr;
    }
    ring->control = control;
    ring->meterWriter.descriptor = -1;
    ring->capacity = kTidewellHelperRingCapacity;
    ring->sourceChannels = sourceChannels;
    ring->channels = channels;
    ring->inputRate = kTidewellHelperRingEngineRate;
    ring->outputRate = kTidewellHelperRingEngineRate;
    ring->masterGain.store(1.0f);
    std::fill(std::begin(ring->channelGains), std::end(ring->channelGains), 1.0f);
    ring->frames = AllocateZeroed(ring->capacity * channels);
    ring->routedBlock = AllocateZeroed(uint64_t{kTidewellHelperRingBlockFrames} * channels);
    if (ring->frames == nullptr || ring->routedBlock == nullptr) {
        TidewellHelperRingDestroy(ring);
        return nullptr;
    }
    TidewellDriftControllerInit(&ring->driftController, 1.0);
    TidewellStreamClockInit(&ring->inputClock, kTidewellHelperRingEngineRate);
    TidewellStreamClockInit(&ring->outputClock, kTidewellHelperRingEngineRate);
    TidewellFillControlInit(&ring->fillControl);
    return ring;
}

}  // namespace

TidewellHelperRing* TidewellHelperRingCreate(uint32_t sourceChannels, uint32_t channels, double inputRate) {
    TidewellHelperRing* ring = CreateStorage(TidewellHelperRingWriterControls, sourceChannels, channels);
    if (ring == nullptr) {
        return nullptr;
    }
    ring->resampledCapacity = kTidewellHelperRingResampledCapacity;
    ring->inputRate = inputRate;
    ring->resampledBlock = AllocateZeroed(uint64_t{ring->resampledCapacity} * channels);
    ring->resampler =
        TidewellResamplerCreate(channels, kTidewellHelperRingBlockFrames, inputRate, kTidewellHelperRingEngineRate);
    if (ring->resampledBlock == nullptr || ring->resampler == nullptr) {
        TidewellHelperRingDestroy(ring);
        return nullptr;
    }
    TidewellStreamClockInit(&ring->inputClock, inputRate);
    return ring;
}

TidewellHelperRing* TidewellHelperRingCreateReaderControlled(uint32_t sourceChannels, uint32_t channels) {
    return CreateStorage(TidewellHelperRingReaderControls, sourceChannels, channels);
}

bool TidewellHelperRingCreateOutputConverter(TidewellHelperRing* ring, double outputRate) {
    ring->outputRate = outputRate;
    TidewellStreamClockInit(&ring->outputClock, outputRate);
    ring->resampler = TidewellResamplerCreate(ring->channels, kTidewellHelperRingPullFrames,
                                              kTidewellHelperRingEngineRate, outputRate);
    if (ring->resampler == nullptr) {
        return false;
    }
    const uint64_t channels = ring->channels;
    ring->resampledCapacity = TidewellResamplerMaxOutputFrames(ring->resampler, kTidewellHelperRingPullFrames);
    ring->pullBlock = AllocateZeroed(kTidewellHelperRingPullFrames * channels);
    ring->resampledBlock = AllocateZeroed(ring->resampledCapacity * channels);
    ring->pendingBlock = AllocateZeroed(kTidewellHelperRingPendingFrames * channels);
    return ring->pullBlock != nullptr && ring->resampledBlock != nullptr && ring->pendingBlock != nullptr;
}

void TidewellHelperRingDestroy(TidewellHelperRing* ring) {
    if (ring == nullptr) {
        return;
    }
    TidewellMeterWriterClose(&ring->meterWriter);
    TidewellResamplerDestroy(ring->resampler);
    delete[] ring->frames;
    delete[] ring->routedBlock;
    delete[] ring->resampledBlock;
    delete[] ring->pullBlock;
    delete[] ring->pendingBlock;
    delete ring;
}

namespace {

// Appends what fits and returns how many frames that was. The reader may be copying any slot from
// its read position up to write; overwriting one of those would hand it torn frames, and moving
// its position under it would count frames twice. So frames that find no room are refused. The
// reader's resync catches up with the newest audio once it runs again.
uint64_t AppendWhatFits(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    const uint64_t read = ring->readPosition.load(std::memory_order_acquire);
    const uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    const uint64_t room = ring->capacity - std::min(write - read, ring->capacity);
    const uint64_t accepted = std::min(count, room);
    if (accepted > 0) {
        CopyIn(ring, frames, write, accepted);
        ring->writePosition.store(write + accepted, std::memory_order_release);
    }
    return accepted;
}

}  // namespace

uint64_t TidewellHelperRingAppendFrames(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    const uint64_t accepted = AppendWhatFits(ring, frames, count);
    if (accepted < count) {
        ring->dropped.fetch_add(count - accepted, std::memory_order_relaxed);
    }
    return accepted;
}

void TidewellHelperRingAppendSilence(TidewellHelperRing* ring, uint64_t count) {
    // From a zeroed row block. It is no captured audio: what finds no room is simply not written,
    // and never counted as dropped (a helper never drops more than it captured).
    static const float kSilence[4096] = {};
    const uint64_t perPiece = std::max<uint64_t>(1, 4096 / ring->channels);
    for (uint64_t left = count; left > 0;) {
        const uint64_t piece = std::min(left, perPiece);
        if (AppendWhatFits(ring, kSilence, piece) < piece) {
            return;
        }
        left -= piece;
    }
}

void RingAppend(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    if (ring == nullptr || frames == nullptr || count == 0) {
        return;
    }
    TidewellHelperRingAppendFrames(ring, frames, count);
    ring->captured.fetch_add(count, std::memory_order_relaxed);
}

void RingAppendRouted(TidewellHelperRing* ring, uint32_t count) {
    if (ring == nullptr || count == 0) {
        return;
    }
    // Every frame the input gave counts as captured, the ones the ring refused as dropped too.
    TidewellHelperRingAppendFrames(ring, ring->routedBlock, count);
    ring->captured.fetch_add(count, std::memory_order_relaxed);
}

void RingRead(TidewellHelperRing* ring, float* destination, uint64_t count) {
    if (ring == nullptr || destination == nullptr || count == 0) {
        return;
    }
    const bool writerControls = ring->control == TidewellHelperRingWriterControls;
    uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
    const uint64_t write = ring->writePosition.load(std::memory_order_acquire);
    uint64_t fill = write - read;
    if (writerControls) {
        // The device played a cycle without this side: the frames meant for it are skipped, so
        // what follows stays on time instead of a cycle late. (When the reader controls, its
        // render skips them before it pulls.)
        TidewellBlockTime stamp{};
        TidewellOutputBridgeRenderTime(&stamp);
        const auto missed = static_cast<uint64_t>(TidewellCycleGapUpdate(
            &ring->readerGap, stamp, static_cast<uint32_t>(count), kTidewellLargestCycleGap * count));
        if (missed > 0 && fill > 0) {
            const uint64_t skipped = std::min(missed, fill);
            ring->dropped.fetch_add(skipped, std::memory_order_relaxed);
            read += skipped;
            fill -= skipped;
        }
    }
    const uint64_t target = ring->targetFill.load(std::memory_order_relaxed);
    if (target > 0 && fill > 8 * target) {
        // Far behind: jump to the newest target frames and let the controlling side restart.
        ring->dropped.fetch_add(fill - target, std::memory_order_relaxed);
        ring->resync.store(true, std::memory_order_release);
        ring->readerSkipOwed = 0;
        read = write - target;
        fill = target;
    } else if (writerControls && target == 0 && fill > count) {
        read = write - count;
        fill = count;
    }
    const uint64_t n = std::min(count, fill);
    const uint32_t channels = ring->channels;
    const float master = ring->masterGain.load(std::memory_order_relaxed);
    float gains[kTidewellHelperRingMaximumChannels];
    for (uint32_t j = 0; j < channels; ++j) {
        gains[j] = writerControls ? master : master * TidewellLoadGain(ring->channelGains[j]);
    }
    CopyOut(ring, destination, read, n, gains);
    if (n < count) {
        std::memset(destination + n * channels, 0, (count - n) * channels * sizeof(float));
    }
    ring->readPosition.store(read + n, std::memory_order_release);
    ring->rendered.fetch_add(count, std::memory_order_relaxed);
    if (n < count) {
        ring->underrun.fetch_add(count - n, std::memory_order_relaxed);
    }
    if (!writerControls) {
        float levels[kTidewellHelperRingMaximumChannels];
        float peaks[kTidewellHelperRingMaximumChannels];
        TidewellMeterComputeInterleavedLevels(destination, static_cast<uint32_t>(count), channels, levels, peaks,
                                              channels, 1.0f);
        TidewellMeterWriterPublishWithPeaks(&ring->meterWriter, levels, peaks, channels);
        return;
    }
    // Where the reader stands on its device's clock, for the writer's rate control.
    const TidewellBlockTime time = TidewellHelperRingRenderTime();
    TidewellStreamClockAddBlock(&ring->outputClock, static_cast<uint32_t>(count), time);
    TidewellRingSidePublish(&ring->sidePoint, read + n, time.hostNanos, TidewellStreamClockRate(&ring->outputClock),
                            ring->underrun.load(std::memory_order_relaxed), 0);
}

void RingWriterCycle(TidewellHelperRing* ring, uint32_t frames, TidewellBlockTime time) {
    if (ring == nullptr || frames == 0) {
        return;
    }
    time = TidewellHelperRingTimeOrNow(&time);
    uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    TidewellStreamClockAddBlock(&ring->inputClock, frames, time);
    // An input cycle this side never got: silence in its place keeps what follows on time, less
    // the silence the render side already played for want of it.
    const auto missed = static_cast<uint64_t>(
        TidewellCycleGapUpdate(&ring->writerGap, time, frames, kTidewellLargestCycleGap * frames));
    const uint64_t underrun = ring->underrun.load(std::memory_order_relaxed);
    if (const uint64_t owed = TidewellHelperRingSilenceForLoss(ring, missed, underrun); owed > 0) {
        const uint64_t read = ring->readPosition.load(std::memory_order_acquire);
        const uint64_t silence = std::min(owed, ring->capacity - std::min(ring->capacity, write - read));
        TidewellHelperRingAppendSilence(ring, silence);
        write += silence;
    }
    TidewellRingSidePublish(&ring->sidePoint, write, time.hostNanos, TidewellStreamClockRate(&ring->inputClock),
                            ring->writerUnderrunSeen, ring->explainedUnderrun.load(std::memory_order_relaxed));
}

bool TidewellHelperRingSetInputRate(TidewellHelperRing* ring, double inputRate) {
    TidewellResampler* resampler =
        TidewellResamplerCreate(ring->channels, kTidewellHelperRingBlockFrames, inputRate, kTidewellHelperRingEngineRate);
    if (resampler == nullptr) {
        return false;
    }
    TidewellResamplerDestroy(ring->resampler);
    ring->resampler = resampler;
    ring->inputRate = inputRate;
    ring->filtering = false;   // the new resampler starts as its own identity copy or filter
    TidewellStreamClockInit(&ring->inputClock, inputRate);
    return true;
}

void TidewellHelperRingRestartSide(TidewellHelperRing* ring, TidewellHelperRingSide side) {
    if (ring == nullptr) {
        return;
    }
    const bool controls = (side == TidewellHelperRingWriterSide) == (ring->control == TidewellHelperRingWriterControls);
    if (side == TidewellHelperRingReaderSide) {
        // What was written while nothing played it is stale by now.
        const uint64_t write = ring->writePosition.load(std::memory_order_acquire);
        const uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
        if (write > read) {
            ring->dropped.fetch_add(write - read, std::memory_order_relaxed);
            ring->readPosition.store(write, std::memory_order_release);
        }
        ring->readerGap = TidewellCycleGap{};
        TidewellStreamClockRestart(&ring->outputClock);
        if (controls) {
            ring->pendingFrames = 0;
            ring->holdFrames = 0;
            // Owed to what the old device played; the new one has played nothing yet.
            ring->readerSkipOwed = 0;
        }
    } else {
        // The time it was away is no cycle it missed: the reader has played silence for it.
        ring->writerGap = TidewellCycleGap{};
        ring->writerUnderrunSeen = ring->underrun.load(std::memory_order_relaxed);
        TidewellStreamClockRestart(&ring->inputClock);
        if (controls) {
            ring->pendingStep = 0;
            ring->deliveryNanos = 0;
            ring->deliveryWritePosition = 0;
        }
    }
    if (!controls) {
        TidewellRingSideWithdraw(&ring->sidePoint);
    }
    ring->resync.store(true, std::memory_order_release);
}
