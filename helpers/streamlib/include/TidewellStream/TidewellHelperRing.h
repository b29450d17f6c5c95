#pragma once
// The helpers' ring between one writing thread and one reading thread (the output bridge's render
// thread), used by all three helpers. Every ring holds 48000 Hz frames; one of its two sides
// converts between that rate and its device's, and that side also controls the ring: it measures
// the ring's low-envelope fill from the other side's published point (see TidewellStreamClock.h),
// takes the conversion ratio from the two clocks, trims it by the fill, and steps the ring at
// once when the fill steps.
//
// - Writer controls (the capture helpers: process tap, hardware source): the writer routes a
//   capture block into the routed block with the source-channel gains (helpers/common), resamples
//   it to 48000 Hz and appends it. A step drops frames it would append or appends silence first.
//   The reader plays the ring with the master gain and publishes where it stands.
// - Reader controls (the monitor): the writer appends routed 48000 Hz frames as they are and
//   publishes where it stands. The reader plays the ring with the master gain and the per-output
//   channel gains, meters what it plays, and resamples to the output's rate, keeping converted
//   frames one render call did not need. A step skips ring frames or holds silence back.
//
// Audio threads: no lock, allocation or I/O.

#include <atomic>
#include <cstdint>

#include "TidewellStream/TidewellDriftController.h"
#include "TidewellStream/TidewellMeterWriter.h"
#include "TidewellStream/TidewellResampler.h"
#include "TidewellStream/TidewellStreamClock.h"

inline constexpr uint64_t kTidewellHelperRingCapacity = 192000;          // 4 s at 48000 Hz
inline constexpr uint32_t kTidewellHelperRingBlockFrames = 8192;          // routed block, and one chunk
inline constexpr uint32_t kTidewellHelperRingResampledCapacity = 65536;   // resampled block (writer controls)
inline constexpr uint32_t kTidewellHelperRingEngineRate = 48000;
inline constexpr uint32_t kTidewellMaximumRoutes = 256;
inline constexpr uint32_t kTidewellHelperRingMaximumChannels = 64;
// Reader controls: ring frames per pull into the converter, converted frames kept between render
// calls, and pulls per render call.
inline constexpr uint32_t kTidewellHelperRingPullFrames = 512;
inline constexpr uint32_t kTidewellHelperRingPendingFrames = 16384;
inline constexpr uint32_t kTidewellHelperRingMaximumPulls = 64;

// Routes from source channels to output channels, both one-based.
struct TidewellRouteTable {
    uint32_t count;
    uint32_t routes[kTidewellMaximumRoutes][2];
};

// The side that converts the rate, measures the fill and steps the ring.
enum TidewellHelperRingControl : uint32_t {
    TidewellHelperRingWriterControls = 0,
    TidewellHelperRingReaderControls = 1,
};

struct TidewellHelperRing {
    TidewellHelperRingControl control;
    float* frames;                      // capacity x channels, interleaved
    uint64_t capacity;
    uint32_t sourceChannels;
    uint32_t channels;
    std::atomic<float> masterGain;      // written by the main loop, applied when reading
    // Stored whole by the main loop (TidewellStoreGain). Writer controls: one per source channel,
    // applied by the capture write path. Reader controls: one per ring channel, applied when read.
    float channelGains[kTidewellHelperRingMaximumChannels];
    uint32_t routeCount;
    uint32_t routes[kTidewellMaximumRoutes][2];
    TidewellMeterWriter meterWriter;    // opened by the helper; reader controls: metered when read
    TidewellResampler* resampler;       // the controlling side's; the writer may swap its own
    TidewellDriftController driftController;
    double inputRate;                   // the writer's nominal rate (48000 when the reader controls)
    double outputRate;                  // the reader's nominal rate (48000 when the writer controls)
    std::atomic<uint32_t> targetFill;   // 0 means no target
    std::atomic<bool> resync;           // reader sets it after a drop, the controlling side consumes it
    float* routedBlock;                 // writer: block frames x channels
    float* resampledBlock;              // controlling side: resampled capacity x channels
    uint32_t resampledCapacity;
    float* pullBlock;                   // reader controls: pull frames x channels
    float* pendingBlock;                // reader controls: pending frames x channels
    uint32_t pendingFrames;
    // Each position has exactly one storer: the read position the reader, the write position
    // the writer. Positions only grow; fill = write - read; slot = position mod capacity.
    std::atomic<uint64_t> readPosition;
    std::atomic<uint64_t> writePosition;
    std::atomic<uint64_t> captured;
    std::atomic<uint64_t> rendered;
    std::atomic<uint64_t> dropped;
    std::atomic<uint64_t> underrun;
    // Rate control: each side measures its own device's clock; the side that does not control
    // publishes its point for the one that does.
    TidewellStreamClock inputClock;     // the writer's
    TidewellStreamClock outputClock;    // the reader's
    TidewellRingSidePoint sidePoint;    // published by the side that does not control
    TidewellFillControl fillControl;    // controlling side
    int64_t pendingStep;                // writer controls: frames still to drop (> 0) or to insert as silence (< 0)
    uint64_t holdFrames;                // reader controls: silence still to play before the ring's frames
    bool filtering;                     // controlling side: the resampler has left its identity copy
    std::atomic<uint64_t> stepCorrections;   // alignments that moved the ring, after the first
    bool startAligned;                  // controlling side: the first alignment is done
    // Device cycles either side missed: the writer puts silence in place of the capture it never
    // got, the reader skips the frames its device played without it (see TidewellCycleGap).
    TidewellCycleGap writerGap;
    TidewellCycleGap readerGap;
    // Reader controls: frames the output device played without this side that the ring did not
    // hold yet (the writer was held up with it), skipped from the first frames that arrive.
    uint64_t readerSkipOwed;
    uint64_t writerUnderrunSeen;        // writer: the underrun count at its last block
    // Writer controls, blocks handed over well after their first frame (an input queue's): the
    // host time of the current delivery and the write position before its first block.
    uint64_t deliveryNanos;
    uint64_t deliveryWritePosition;
    // Underrun frames a lost input cycle explains: the reader ran dry because the writer never got
    // that cycle, not because the ring holds too little. The adaptive fill does not grow for them.
    std::atomic<uint64_t> explainedUnderrun;
};

// Gains written by the main thread and read by the audio threads: each a whole 32-bit word.
inline float TidewellLoadGain(const float& gain) {
    return std::atomic_ref<const float>(gain).load(std::memory_order_relaxed);
}
inline void TidewellStoreGain(float& gain, float value) {
    std::atomic_ref<float>(gain).store(value, std::memory_order_relaxed);
}

// A ring the writer controls: allocates and zeroes every buffer (so no page is first touched on an
// audio thread), creates the resampler from inputRate to 48000 Hz, sets every channel gain and the
// master gain to 1.0 and leaves the meter writer closed. Null when a count is 0 or above 64, the
// rate is one the resampler refuses, or an allocation fails. Destroy also closes the meter writer.
TidewellHelperRing* TidewellHelperRingCreate(uint32_t sourceChannels, uint32_t channels, double inputRate);
// A ring the reader controls, without its converter yet (the render then plays nothing); same
// allocation, gains and failures otherwise.
TidewellHelperRing* TidewellHelperRingCreateReaderControlled(uint32_t sourceChannels, uint32_t channels);
// Reader controls: the converter from 48000 Hz to the output rate and its blocks; false when any
// is missing.
bool TidewellHelperRingCreateOutputConverter(TidewellHelperRing* ring, double outputRate);
void TidewellHelperRingDestroy(TidewellHelperRing* ring);

// Writer side. When the ring has no room for every frame, the frames that do not fit are dropped
// and counted: the writer never moves the read position.
void RingAppend(TidewellHelperRing* ring, const float* frames, uint64_t count);
// Reader side: count frames from the ring, then silence. Writer controls: without a target only
// the newest frames play, and the reader publishes where it stands. Reader controls: the ring's
// channel gains apply and what is read is metered.
void RingRead(TidewellHelperRing* ring, float* destination, uint64_t count);

// Writer side, writer controls: resamples the first count frames of the routed block under drift
// control and appends the result. The ratio follows the capture device's and the bridge's clocks;
// the fill only trims it. `time` is the capture cycle's time stamp; without one the block counts
// as now.
void ResampleAndAppend(TidewellHelperRing* ring, uint64_t count);
void ResampleAndAppendAt(TidewellHelperRing* ring, uint64_t count, const TidewellBlockTime* time);

// Writer side, reader controls: one input cycle of `frames` frames at `time` (without host time:
// now) counts on the writer's clock and publishes the write position before it. Then
// RingAppendRouted appends routed blocks of the cycle as they are.
void RingWriterCycle(TidewellHelperRing* ring, uint32_t frames, TidewellBlockTime time);
void RingAppendRouted(TidewellHelperRing* ring, uint32_t count);

// Writer controls, while the writer does not run: the writer's frames come at `inputRate` from now
// on. A new resampler from that rate to 48000 Hz replaces the old one, and the writer's clock
// expects the rate. False, with everything as it was, when the resampler cannot be made.
bool TidewellHelperRingSetInputRate(TidewellHelperRing* ring, double inputRate);

// One side of a ring: the writer or the reader.
enum TidewellHelperRingSide : uint32_t {
    TidewellHelperRingWriterSide = 0,
    TidewellHelperRingReaderSide = 1,
};

// A side stops, and starts again: on another device (its device went away and came back under a
// new id), or on the same one at another rate. Called while that side's thread does not run,
// before it starts again. Forgets the side's clock and cycle gaps; a side that does not control
// also withdraws its published point, and one that does forgets what it held back. The
// controlling side then measures and aligns the ring afresh. A reader that starts again skips what
// was written while nothing played it (counted as dropped).
void TidewellHelperRingRestartSide(TidewellHelperRing* ring, TidewellHelperRingSide side);

// The render callback every helper gives its output bridge; context is the ring. Writer controls:
// the ring's frames (silence for another channel count). Reader controls: frames converted to the
// output rate (the destination untouched for another channel count or without a converter),
// then the drift control step. Always 0.
uint32_t OutputBridgeCallback(void* context, float* destination, uint32_t frames, uint32_t channels);
