#pragma once
// The monitor's ring: the input side writes routed frames at 48000 Hz (no gain), the render side
// reads them with the monitor's gains, meters what it plays, and converts to the output device's
// rate under drift control, keeping converted frames that one render call did not need.

#include <AudioABI/AudioTypes.h>

#include <atomic>
#include <cstdint>

#include "TidewellStream/TidewellDriftController.h"
#include "TidewellStream/TidewellMeterWriter.h"
#include "TidewellStream/TidewellResampler.h"
#include "TidewellStream/TidewellStreamClock.h"

inline constexpr uint64_t kTidewellMonitorRingCapacity = 192000;
inline constexpr uint32_t kTidewellMonitorPullFrames = 512;
inline constexpr uint32_t kTidewellMonitorPendingFrames = 16384;
inline constexpr uint32_t kTidewellMonitorMaximumPulls = 64;

struct TidewellMonitorRing {
    float* frames;
    uint64_t capacity;
    uint32_t inputChannels;
    uint32_t outputChannels;
    uint32_t bytesPerInputFrame;
    uint32_t bufferFrames;
    AudioStreamBasicDescription inputFormat;
    std::atomic<float> masterGain;
    float channelGains[64];            // stored whole by the main thread, read by the render thread
    uint32_t routeCount;
    uint32_t routes[256][2];
    TidewellMeterWriter meterWriter;
    TidewellResampler* resampler;
    TidewellDriftController driftController;
    double outputRate;
    std::atomic<uint32_t> targetFill;
    std::atomic<bool> resync;
    float* pullBlock;
    float* resampledBlock;
    uint32_t resampledCapacity;
    float* pendingBlock;
    uint32_t pendingFrames;
    std::atomic<uint64_t> readPosition;
    std::atomic<uint64_t> writePosition;
    std::atomic<uint64_t> captured;
    std::atomic<uint64_t> rendered;
    std::atomic<uint64_t> dropped;
    std::atomic<uint64_t> underrun;
    // Rate control (see TidewellStreamClock.h): the input side measures the virtual device's
    // clock and publishes where it stands; the render side measures the output device's clock,
    // takes the resampling ratio from the two and trims it by the ring's low-envelope fill. A
    // step in the fill is set right at once: the excess dropped, a shortfall held back with
    // silence before the next ring frames.
    TidewellStreamClock inputClock;            // input side only
    TidewellRingSidePoint writerPoint;
    TidewellStreamClock outputClock;           // render side only
    TidewellFillControl fillControl;           // render side only
    bool filtering;                            // render side only
    uint64_t holdFrames;                       // render side only: silence still to play
    std::atomic<uint64_t> stepCorrections;
};

// Allocates the ring (zeroed), sets gains to 1.0, leaves the meter writer closed and no resampler.
// Null when a channel count is 0 or above 64 or the allocation fails.
TidewellMonitorRing* TidewellMonitorRingCreate(uint32_t inputChannels, uint32_t outputChannels);
// The converter from 48000 Hz to the output rate and its blocks; false when any is missing.
bool TidewellMonitorRingCreateConverter(TidewellMonitorRing* ring, double outputRate);
// Frees everything and closes the meter writer.
void TidewellMonitorRingDestroy(TidewellMonitorRing* ring);

// Input side: interleaved frames of the input channels, routed (no gain). Frames that do not fit
// are dropped and counted: the writer never moves the read position.
// `time` is the input cycle's time stamp (null: now).
void TidewellMonitorRingWrite(TidewellMonitorRing* ring, const float* data, uint32_t frames,
                              const AudioTimeStamp* time = nullptr);
// Input side for an IO procedure's buffer list, read without leaving any buffer.
void TidewellMonitorRingWriteBufferList(TidewellMonitorRing* ring, const AudioBufferList* list,
                                        const AudioTimeStamp* time = nullptr);

// Render side: count frames at 48000 Hz with the master and channel gains, metered.
void TidewellMonitorRingRead(TidewellMonitorRing* ring, float* destination, uint32_t count);

// The output bridge's render callback: frames at the output rate. Always 0.
uint32_t MonitorOutputBridgeRender(void* context, float* destination, uint32_t frames, uint32_t channels);
