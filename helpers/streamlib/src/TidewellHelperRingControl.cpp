// The ring's rate control, on whichever side converts (see TidewellHelperRing.h and
// TidewellStreamClock.h): the writer's resample-and-append for the capture helpers, the reader's
// pull-and-convert render for the monitor, and the control step they share.

#include "TidewellStream/TidewellHelperRing.h"

#include "TidewellHelperRingInternal.h"
#include "TidewellStream/TidewellOutputBridge.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Writer controls: a capture cycle this side never got. Silence in its place keeps what follows
// on time, less the silence the reader already played for want of it: its underruns up to the
// point this cycle measures the fill against, so that the two agree.
void MakeUpMissedCapture(TidewellHelperRing* ring, uint32_t frames, const TidewellBlockTime& time,
                         const TidewellRingSideSnapshot& reader) {
    const double missed = TidewellCycleGapUpdate(&ring->writerGap, time, frames, kTidewellLargestCycleGap * frames);
    const auto lost = static_cast<uint64_t>(std::llround(missed * kTidewellHelperRingEngineRate / ring->inputRate));
    const uint64_t underrun = reader.valid ? reader.underrun : ring->writerUnderrunSeen;
    ring->pendingStep -= static_cast<int64_t>(TidewellHelperRingSilenceForLoss(ring, lost, underrun));
}

// The other side's position carried along its clock to a host time.
double SidePositionAt(const TidewellRingSideSnapshot& other, uint64_t hostNanos) {
    const double since = static_cast<double>(static_cast<int64_t>(hostNanos - other.hostNanos)) * 1e-9;
    return static_cast<double>(other.position) + since * other.rate;
}

// Writer controls: the ring's low point for this block. A block is measured at its own stamp:
// the reader's position then against what was written before it. An input queue hands a device
// cycle over in several buffers at once, each well after its first frame; the reader has gone on
// meanwhile, so the ring stood lower than the stamp says while they waited. For such a block the
// low point is at its delivery, before the delivery's first block was appended; held to the
// target there, the reader never runs dry for the queue's delay.
double WriterFill(TidewellHelperRing* ring, const TidewellBlockTime& time, const TidewellRingSideSnapshot& other) {
    const uint64_t write = ring->writePosition.load(std::memory_order_relaxed);
    if (time.deliveredNanos == 0) {
        return static_cast<double>(write) - SidePositionAt(other, time.hostNanos);
    }
    // Buffers handed over together arrive within a fraction of a millisecond of each other.
    constexpr uint64_t kOneDeliveryNanos = 1'000'000;
    if (time.deliveredNanos - ring->deliveryNanos > kOneDeliveryNanos) {
        ring->deliveryWritePosition = write;
    }
    ring->deliveryNanos = time.deliveredNanos;
    return static_cast<double>(ring->deliveryWritePosition) - SidePositionAt(other, time.deliveredNanos);
}

}  // namespace

uint64_t TidewellHelperRingSilenceForLoss(TidewellHelperRing* ring, uint64_t lost, uint64_t underrun) {
    const uint64_t played = underrun > ring->writerUnderrunSeen ? underrun - ring->writerUnderrunSeen : 0;
    ring->writerUnderrunSeen += played;
    if (lost == 0) {
        return 0;
    }
    ring->explainedUnderrun.fetch_add(std::min(lost, played), std::memory_order_relaxed);
    return lost > played ? lost - played : 0;
}

TidewellBlockTime TidewellHelperRingTimeOrNow(const TidewellBlockTime* given) {
    TidewellBlockTime time = given != nullptr && given->hasHostTime ? *given : TidewellBlockTimeNow();
    if (given != nullptr && !given->hasHostTime) {
        time.sampleTime = given->sampleTime;
        time.hasSampleTime = given->hasSampleTime;
    }
    return time;
}

TidewellBlockTime TidewellHelperRingRenderTime() {
    TidewellBlockTime time{};
    if (!TidewellOutputBridgeRenderTime(&time) || !time.hasHostTime) {
        time = TidewellBlockTimeNow();
    }
    return time;
}

void TidewellHelperRingControlCycle(TidewellHelperRing* ring, uint32_t frames, const TidewellBlockTime& time) {
    const bool writerControls = ring->control == TidewellHelperRingWriterControls;
    if (ring->resync.exchange(false, std::memory_order_acq_rel)) {
        TidewellDriftControllerReset(&ring->driftController);
        TidewellFillControlRealign(&ring->fillControl);
        ring->pendingStep = 0;
        ring->holdFrames = 0;
    }
    const double target = static_cast<double>(ring->targetFill.load(std::memory_order_relaxed));
    if (target != ring->driftController.targetFill) {
        TidewellDriftControllerSetTarget(&ring->driftController, target);
    }
    TidewellStreamClockAddBlock(writerControls ? &ring->inputClock : &ring->outputClock, frames, time);
    const TidewellRingSideSnapshot other = TidewellRingSideRead(&ring->sidePoint);
    if (writerControls) {
        MakeUpMissedCapture(ring, frames, time, other);
    }
    // The ring's low envelope at this cycle: the other side's position carried along its clock to
    // this cycle's host time, against this side's own position (before the writer's block; with
    // the silence the reader still holds back, which is latency like the ring's frames).
    // A point the other side stopped publishing would be carried along its clock for ever: the fill
    // would read ever further off (ever emptier for the writer, whose steps would then insert
    // seconds of silence at every alignment). No step follows such a point.
    const double writerRate =
        writerControls ? TidewellStreamClockRate(&ring->inputClock) : (other.valid ? other.rate : 0.0);
    const double readerRate = TidewellStreamClockRate(&ring->outputClock);
    ring->fillControl.exactCopy = ring->inputRate == ring->outputRate &&
                                  TidewellClocksAgree(writerRate, ring->inputRate, readerRate, ring->outputRate);
    const bool current =
        other.valid && static_cast<int64_t>(time.hostNanos - other.hostNanos) <=
                           static_cast<int64_t>(kTidewellSidePointStaleNanos);
    if (current && other.rate > 0 && target > 0) {
        const uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
        double fill = 0;
        if (writerControls) {
            // With the step still to apply to what it appends next: the silence a lost capture
            // cycle is owed (counted as written, or the low point would dip by it for this one
            // cycle), or frames still to be dropped.
            fill = WriterFill(ring, time, other) - static_cast<double>(ring->pendingStep);
        } else {
            // With the silence still held back (latency like the ring's frames), and less the frames
            // still to skip for what the device played without this side. Less, too, what this side
            // played from an empty ring since the writer's point: the writer may yet find it was a
            // lost input cycle, and make it up with that much less silence.
            const uint64_t unsettled = ring->underrun.load(std::memory_order_relaxed) - other.underrun;
            fill = SidePositionAt(other, time.hostNanos) - static_cast<double>(read) +
                   static_cast<double>(ring->holdFrames) - static_cast<double>(ring->readerSkipOwed) -
                   static_cast<double>(unsettled);
        }
        // A ring the reader has run dry stands below nothing at its low point: the reader's next
        // cycle takes more than is there. The step makes up the whole shortfall. Cut to the target,
        // it would leave the ring short by the rest, which the trim then makes up at its limit for
        // minutes (a point that no longer moves, which would read as an ever deeper shortfall,
        // takes no step at all: see above).
        // The reader's underruns that stay in the ring (no lost input cycle explained them), as of
        // this fill: as far as this side has accounted for them when it writes, as far as the
        // writer's point has when it reads.
        const uint64_t underrun =
            writerControls ? ring->writerUnderrunSeen - ring->explainedUnderrun.load(std::memory_order_relaxed)
                           : other.underrun - other.explained;
        const int64_t step = TidewellFillControlUpdate(
            &ring->fillControl, fill, target, frames / (writerControls ? ring->inputRate : ring->outputRate), underrun);
        if (step != 0 && writerControls) {
            // Applied to what the writer appends next, on top of the step still to apply, which the
            // fill counted.
            ring->pendingStep += step;
        } else if (step > 0) {
            const uint64_t available = ring->writePosition.load(std::memory_order_acquire) - read;
            const uint64_t excess = std::min<uint64_t>(static_cast<uint64_t>(step), available);
            ring->dropped.fetch_add(excess, std::memory_order_relaxed);
            ring->readPosition.store(read + excess, std::memory_order_release);
        } else if (step < 0) {
            ring->holdFrames += static_cast<uint64_t>(-step);
        }
        // The first alignment sets the latency before anything is heard; every later one is a
        // correction a listener hears.
        if (step != 0 && ring->startAligned) {
            ring->stepCorrections.fetch_add(1, std::memory_order_relaxed);
        }
        ring->startAligned = ring->startAligned || ring->fillControl.aligned;
    }
    double scalar = TidewellClockRatioScalar(writerRate, ring->inputRate, readerRate, ring->outputRate,
                                             ring->fillControl.trim);
    // Leaving the identity copy delays the stream by the filter's half-width; going back to it
    // would jump by as much, so once filtering the scalar never returns to exactly 1.
    if (scalar == 1.0 && ring->filtering) {
        scalar = std::nextafter(1.0, 2.0);
    }
    TidewellResamplerSetRateScalar(ring->resampler, scalar);
    ring->filtering = ring->filtering || !TidewellResamplerIsIdentity(ring->resampler);
}

namespace {

// Appends with the pending step applied: a drop swallows the first frames, an insertion puts
// silence before them. Both are counted as dropped or as (writer-made) silence.
void AppendStepped(TidewellHelperRing* ring, const float* frames, uint64_t count) {
    // Captured, whether the step swallows it or the ring takes it.
    ring->captured.fetch_add(count, std::memory_order_relaxed);
    if (ring->pendingStep > 0) {
        const uint64_t swallowed = std::min<uint64_t>(count, static_cast<uint64_t>(ring->pendingStep));
        ring->pendingStep -= static_cast<int64_t>(swallowed);
        ring->dropped.fetch_add(swallowed, std::memory_order_relaxed);
        frames += swallowed * ring->channels;
        count -= swallowed;
    }
    if (ring->pendingStep < 0) {
        // Silence ahead of the block; it is no captured audio.
        TidewellHelperRingAppendSilence(ring, static_cast<uint64_t>(-ring->pendingStep));
        ring->pendingStep = 0;
    }
    if (count > 0) {
        TidewellHelperRingAppendFrames(ring, frames, count);
    }
}

// Reader controls: the output device played `missed` frames without this side. What was meant for
// them is skipped: converted frames first, then silence still held back, then the ring's own
// frames at 48000 Hz. What the ring does not hold yet (the writer was held up as well) is skipped
// from what arrives next, with the frames still owed from before.
void SkipMissedOutput(TidewellHelperRing* ring, uint32_t missed) {
    constexpr double kEngineRate = kTidewellHelperRingEngineRate;
    const uint32_t channels = ring->channels;
    const uint32_t pending = std::min(missed, ring->pendingFrames);
    ring->pendingFrames -= pending;
    std::memmove(ring->pendingBlock, ring->pendingBlock + uint64_t{pending} * channels,
                 uint64_t{ring->pendingFrames} * channels * sizeof(float));
    auto rest = static_cast<uint64_t>(std::llround((missed - pending) * kEngineRate / ring->outputRate)) +
                ring->readerSkipOwed;
    const uint64_t held = std::min(rest, ring->holdFrames);
    ring->holdFrames -= held;
    rest -= held;
    const uint64_t read = ring->readPosition.load(std::memory_order_relaxed);
    const uint64_t skipped = std::min(rest, ring->writePosition.load(std::memory_order_acquire) - read);
    if (skipped > 0) {
        ring->dropped.fetch_add(skipped, std::memory_order_relaxed);
        ring->readPosition.store(read + skipped, std::memory_order_release);
    }
    ring->readerSkipOwed = rest - skipped;
}

// Reader controls: converted frames for one render call, then the control step. Skips what the
// device played without this side, then pulls from the ring (after any silence held back) until
// the pending block covers the call.
void RenderConverted(TidewellHelperRing* ring, float* destination, uint32_t frames, uint32_t channels) {
    constexpr double kEngineRate = kTidewellHelperRingEngineRate;
    TidewellBlockTime stamp{};
    TidewellOutputBridgeRenderTime(&stamp);
    const double missed =
        TidewellCycleGapUpdate(&ring->readerGap, stamp, frames, kTidewellLargestCycleGap * frames);
    if (missed > 0 || ring->readerSkipOwed > 0) {
        SkipMissedOutput(ring, static_cast<uint32_t>(missed));
    }
    for (uint32_t pulls = 0; ring->pendingFrames < frames && pulls < kTidewellHelperRingMaximumPulls; ++pulls) {
        const double wanted = std::floor((frames - ring->pendingFrames) * kEngineRate / ring->outputRate) + 8;
        const auto pull = static_cast<uint32_t>(std::min<double>(wanted, kTidewellHelperRingPullFrames));
        const auto held = static_cast<uint32_t>(std::min<uint64_t>(pull, ring->holdFrames));
        std::memset(ring->pullBlock, 0, uint64_t{held} * channels * sizeof(float));
        ring->holdFrames -= held;
        if (pull > held) {
            RingRead(ring, ring->pullBlock + uint64_t{held} * channels, pull - held);
        }
        const uint32_t produced =
            TidewellResamplerProcess(ring->resampler, ring->pullBlock, pull, ring->resampledBlock, ring->resampledCapacity);
        const uint32_t kept = std::min(produced, kTidewellHelperRingPendingFrames - ring->pendingFrames);
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
    TidewellHelperRingControlCycle(ring, frames, TidewellHelperRingRenderTime());
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
    TidewellHelperRingControlCycle(ring, frames, TidewellHelperRingTimeOrNow(givenTime));

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
    if (ring != nullptr && ring->control == TidewellHelperRingReaderControls) {
        if (channels == ring->channels && ring->resampler != nullptr) {
            RenderConverted(ring, destination, frames, channels);
        }
    } else if (ring != nullptr && channels == ring->channels) {
        RingRead(ring, destination, frames);
    } else {
        std::memset(destination, 0, static_cast<size_t>(frames) * channels * sizeof(float));
    }
    return 0;
}
