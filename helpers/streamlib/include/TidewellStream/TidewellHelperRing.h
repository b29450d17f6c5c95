#pragma once
// The capture helpers' ring between the capture thread (the only writer) and the output bridge's
// render thread (the only reader), with the step that resamples a routed capture block into it
// under drift control and the render callback that plays it.

#include <atomic>
#include <cstdint>

#include "TidewellStream/TidewellDriftController.h"
#include "TidewellStream/TidewellMeterWriter.h"
#include "TidewellStream/TidewellResampler.h"
#include "TidewellStream/TidewellStreamClock.h"

inline constexpr uint64_t kTidewellHelperRingCapacity = 192000;          // 4 s at 48000 Hz
inline constexpr uint32_t kTidewellHelperRingBlockFrames = 8192;          // routed block, and one chunk
inline constexpr uint32_t kTidewellHelperRingResampledCapacity = 65536;   // resampled block
inline constexpr uint32_t kTidewellHelperRingEngineRate = 48000;
inline constexpr uint32_t kTidewellMaximumRoutes = 256;

// Routes from source channels to output channels, both one-based.
struct TidewellRouteTable {
    uint32_t count;
    uint32_t routes[kTidewellMaximumRoutes][2];
};

struct TidewellHelperRing {
    float* frames;                      // capacity x channels, interleaved
    uint64_t capacity;
    uint32_t sourceChannels;
    uint32_t channels;
    std::atomic<float> masterGain;      // written by the main loop, applied when reading
    float* channelGains;                // one per source channel, applied by the capture write path
    uint32_t routeCount;
    uint32_t routes[kTidewellMaximumRoutes][2];
    TidewellMeterWriter meterWriter;    // the source's meter region, opened by the helper
    TidewellResampler* resampler;       // may be swapped by the writer's own thread
    TidewellDriftController driftController;
    double inputRate;
    std::atomic<uint32_t> targetFill;   // 0 means no target
    std::atomic<bool> resync;           // reader sets it after a drop, writer consumes it
    float* routedBlock;                 // block frames x channels
    float* resampledBlock;              // resampled capacity x channels
    uint32_t resampledCapacity;
    // Each position has exactly one storer: the read position the reader, the write position
    // the writer. Positions only grow; fill = write - read; slot = position mod capacity.
    std::atomic<uint64_t> readPosition;
    std::atomic<uint64_t> writePosition;
    std::atomic<uint64_t> captured;
    std::atomic<uint64_t> rendered;
    std::atomic<uint64_t> dropped;
    std::atomic<uint64_t> underrun;
    // Rate control (see TidewellStreamClock.h): the capture device's clock and the fill trim
    // belong to the writer; the bridge's clock to the reader, which publishes where it is.
    TidewellStreamClock inputClock;
    TidewellStreamClock outputClock;
    TidewellRingSidePoint readerPoint;
    TidewellFillControl fillControl;
    int64_t pendingStep;                // writer: frames still to drop (> 0) or to insert as silence (< 0)
    bool filtering;                     // writer: the resampler has left its identity copy
    std::atomic<uint64_t> stepCorrections;   // alignments that moved the ring
};

// Allocates and zeroes every buffer (so no page is first touched on an audio thread), creates the
// resampler from inputRate to 48000 Hz, sets every channel gain and the master gain to 1.0 and
// leaves the meter writer closed. Null when a count is 0 or above 64, the rate is one the
// resampler refuses, or an allocation fails. Destroy also closes the meter writer.
TidewellHelperRing* TidewellHelperRingCreate(uint32_t sourceChannels, uint32_t channels, double inputRate);
void TidewellHelperRingDestroy(TidewellHelperRing* ring);

// Writer side. When the ring has no room for every frame, the frames that do not fit are dropped
// and counted: the writer never moves the read position.
void RingAppend(TidewellHelperRing* ring, const float* frames, uint64_t count);
// Reader side: count frames from the ring, then silence.
void RingRead(TidewellHelperRing* ring, float* destination, uint64_t count);
// Writer side: resamples the first count frames of the routed block under drift control and
// appends the result. The ratio follows the capture device's and the bridge's clocks; the fill
// only trims it. `time` is the capture cycle's time stamp; without one the block counts as now.
void ResampleAndAppend(TidewellHelperRing* ring, uint64_t count);
void ResampleAndAppendAt(TidewellHelperRing* ring, uint64_t count, const TidewellBlockTime* time);
// The render callback the capture helpers give their output bridge; context is the ring.
uint32_t OutputBridgeCallback(void* context, float* destination, uint32_t frames, uint32_t channels);
