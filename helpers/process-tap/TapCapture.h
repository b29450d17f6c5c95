#pragma once
// The process tap's capture record and its IO block: the tap's one or two channels, routed onto the
// target device's channels with per-tap-channel gains, metered, resampled to 48000 Hz under drift
// control and appended to the helper ring. Also the private aggregate's description dictionary and
// the helper's embedded information property list.

#include <AudioABI/AudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellRateEstimator.h"

// The helper's information property list: the permission prompt shows its usage text.
extern const char kTidewellProcessTapInfoPlist[];
inline constexpr const char* kTidewellProcessTapBundleID = "app.tidewell.process-tap";
inline constexpr const char* kTidewellProcessTapQueueLabel = "app.tidewell.process-tap.io";

struct TapCaptureState {
    TidewellHelperRing* ring;     // sourceChannels 2: the gains of tap channels 1 and 2
    uint32_t tapChannels;         // 1 or 2
    uint32_t outputChannels;
    uint32_t bytesPerFrame;
    uint32_t bufferFrames;
    bool interleaved;
    TidewellRateEstimator rateEstimator;
    // The device's sample time at the previous block, when its time stamp carried one: a cycle
    // the helper missed (a late IO thread under load) still counts as delivered audio, so it
    // cannot make the tap look slower than it is.
    double previousSampleTime;
    bool hasPreviousSampleTime;
};

// Tap channels from a reported channel count: 1 below 2, else 2.
uint32_t TidewellTapChannelsFor(uint32_t reportedChannels);

// A tap format the capture path takes: linear PCM, float, 32 bits, at least one channel.
bool TidewellTapFormatSupported(const AudioStreamBasicDescription& format);

// Fills the state around an existing ring (outputs = ring channels).
void TidewellTapCaptureInit(TapCaptureState* state, TidewellHelperRing* ring, uint32_t tapChannels,
                            bool interleaved, uint32_t bufferFrames);

// The IO block: frame count, rate estimation from the block's host time (crediting the frames its
// sample time advanced by, when it carries one), then the write.
void TidewellTapCaptureBlock(TapCaptureState* state, const AudioTimeStamp* now, const AudioBufferList* input,
                             const AudioTimeStamp* inputTime);
// The write alone (routing, metering, resampling, append); returns the frames taken (at most 8192).
uint32_t TidewellTapRingWrite(TapCaptureState* state, const AudioBufferList* input,
                              const AudioTimeStamp* time = nullptr);

// The rate watchdog's switch to a resampler the caller built from `rate` to 48000 Hz on the
// main thread: swapped in on the IO queue (synchronously, so no block sees a half-made change)
// together with the tap rate and a reset drift controller; the old one is destroyed once the
// queue has let go of it.
void TidewellTapSwitchResampler(TapCaptureState* state, dispatch_queue_t ioQueue, TidewellResampler* replacement,
                                double rate);

// The aggregate device's description: exactly the eight keys "name", "uid" (a fresh UUID each
// call), "master", "private", "stacked", "tapautostart", "subdevices" and "taps". +1 reference.
CFDictionaryRef TidewellTapAggregateDescription(CFStringRef name, CFStringRef clockUID, CFStringRef tapUUID);
