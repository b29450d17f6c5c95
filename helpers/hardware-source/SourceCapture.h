#pragma once
// The hardware source's writing side (routed, metered, resampled into the helper ring from an IO
// procedure's buffer list or an input queue's interleaved buffer) and the bookkeeping of the input
// device's buffer frame size, which is shared by every client of the device and so must be put
// back on every way out once this helper changed it.

#include <AudioABI/AudioTypes.h>

#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"

// Property access the buffer-size bookkeeping needs; the program backs it with the audio server.
struct TidewellBufferSizeOps {
    // 'fsiz' of the device in the scope; 0 when it cannot be read.
    uint32_t (*query)(void* context, AudioObjectID device, uint32_t scope);
    // Writes 'fsiz' when the property is settable; true on success.
    bool (*set)(void* context, AudioObjectID device, uint32_t scope, uint32_t frames);
    void* context;
};

struct TidewellInputBufferSize {
    AudioObjectID resizedDevice;
    uint32_t previousFrames;
    bool changed;
};

// Asks the device for `frames` (input scope, else global) when it runs at another size, and
// remembers what to put back.
void RequestInputBufferFrameSize(TidewellInputBufferSize* size, const TidewellBufferSizeOps* ops,
                                 AudioObjectID device, uint32_t frames);
// Puts the remembered size back (input scope, else global) and forgets it whatever the result.
void RestoreInputBufferFrameSize(TidewellInputBufferSize* size, const TidewellBufferSizeOps* ops);

// A device input format the IO procedure path takes: linear PCM, float, 32 bits, at least one
// channel, and a rate the capture path can carry.
bool TidewellSourceFormatSupported(const AudioStreamBasicDescription& format);

// The IO procedure's write: frames from the buffer list, routed, metered, resampled and appended.
// `time` is the input cycle's time stamp (null: now).
uint32_t TidewellSourceRingWriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list,
                                           const AudioTimeStamp* time = nullptr);
// The input queue's write: interleaved frames of the ring's source channels. The queue hands
// them over after `time` (their first frame's), and the ring's fill is judged at their delivery.
uint32_t TidewellSourceRingWrite(TidewellHelperRing* ring, const float* data, uint32_t frames,
                                 const AudioTimeStamp* time = nullptr);
