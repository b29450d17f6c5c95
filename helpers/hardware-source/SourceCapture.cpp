#include "SourceCapture.h"

#include <AudioABI/AudioProperties.h>

#include <cmath>

#include "TidewellHelpers/TidewellBufferListAccess.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"

void RequestInputBufferFrameSize(TidewellInputBufferSize* size, const TidewellBufferSizeOps* ops,
                                 AudioObjectID device, uint32_t frames) {
    if (device == kAudioObjectUnknown || frames < 32) {
        return;
    }
    const uint32_t current = ops->query(ops->context, device, kAudioObjectPropertyScopeInput);
    if (current == 0 || current == frames) {
        return;
    }
    const bool written = ops->set(ops->context, device, kAudioObjectPropertyScopeInput, frames) ||
                         ops->set(ops->context, device, kAudioObjectPropertyScopeGlobal, frames);
    if (written) {
        size->resizedDevice = device;
        size->previousFrames = current;
        size->changed = true;
    }
}

void RestoreInputBufferFrameSize(TidewellInputBufferSize* size, const TidewellBufferSizeOps* ops) {
    if (size->changed && size->resizedDevice != kAudioObjectUnknown && size->previousFrames != 0) {
        if (!ops->set(ops->context, size->resizedDevice, kAudioObjectPropertyScopeInput, size->previousFrames)) {
            ops->set(ops->context, size->resizedDevice, kAudioObjectPropertyScopeGlobal, size->previousFrames);
        }
    }
    *size = TidewellInputBufferSize{};
}

bool TidewellSourceFormatSupported(const AudioStreamBasicDescription& format) {
    // Rates below 8000 Hz would turn one 8192-frame block into more than the resampled block holds.
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           format.mBitsPerChannel == 32 && format.mChannelsPerFrame != 0 && std::isfinite(format.mSampleRate) &&
           format.mSampleRate >= 8000.0 && format.mSampleRate <= 768000.0;
}

uint32_t TidewellSourceRingWriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list,
                                           const AudioTimeStamp* time) {
    const uint32_t frames = TidewellBufferListFrameCount(list);
    if (ring == nullptr || frames == 0) {
        return 0;
    }
    const uint32_t inputs = ring->sourceChannels;
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list);
    const uint32_t routed = TidewellCaptureRouteAndMeter(
        ring, frames, inputs, inputs, [&map](uint32_t f, uint32_t c) { return TidewellBufferListMappedSample(&map, f, c); });
    const TidewellBlockTime blockTime = TidewellBlockTimeFrom(time);
    ResampleAndAppendAt(ring, routed, &blockTime);
    return routed;
}

uint32_t TidewellSourceRingWrite(TidewellHelperRing* ring, const float* data, uint32_t frames,
                                 const AudioTimeStamp* time) {
    if (ring == nullptr || data == nullptr || frames == 0) {
        return 0;
    }
    const uint32_t inputs = ring->sourceChannels;
    const uint32_t routed = TidewellCaptureRouteAndMeter(
        ring, frames, inputs, inputs, [data, inputs](uint32_t f, uint32_t c) { return data[uint64_t{f} * inputs + c]; });
    TidewellBlockTime blockTime = TidewellBlockTimeFrom(time);
    if (blockTime.hasHostTime) {
        blockTime.deliveredNanos = TidewellBlockTimeNow().hostNanos;
    }
    ResampleAndAppendAt(ring, routed, &blockTime);
    return routed;
}
