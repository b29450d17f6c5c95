#pragma once
// Reading samples out of the buffer lists the audio server hands an IO procedure, without ever
// reading past a buffer: whatever the buffer count, the channel counts and the byte sizes say, a
// sample outside the data reads as 0 and the frame count never exceeds what every buffer read
// actually holds. Real-time safe: no allocation, lock or system call.

#include <AudioABI/AudioTypes.h>

#include <cstdint>

#include "TidewellStream/TidewellStreamClock.h"

// Frames of a list whose buffers each carry one block of channels (interleaved within the buffer):
// the smallest byte size / (4 x channels) over the buffers that have data and at least one
// channel; 0 when there is no such buffer or any of them holds less than one frame.
uint32_t TidewellBufferListFrameCount(const AudioBufferList* list);

// Channel c (zero-based) of frame f: the buffers with at least one channel cover consecutive
// blocks of channel numbers in order; 0 for a buffer without data, a channel no buffer covers, or a
// frame beyond the buffer's bytes.
float TidewellBufferListSample(const AudioBufferList* list, uint32_t frame, uint32_t channel);

// Where each of the first 64 channels of a buffer list lies, worked out once per block so that
// reading a sample does not walk the buffers again. Reads are bounded like
// TidewellBufferListSample's.
struct TidewellBufferListChannelMap {
    const float* data[64];      // null: the channel reads as 0
    uint32_t stride[64];
    uint64_t samples[64];       // floats the channel's buffer holds
};
void TidewellBufferListMapChannels(TidewellBufferListChannelMap* map, const AudioBufferList* list);
inline float TidewellBufferListMappedSample(const TidewellBufferListChannelMap* map, uint32_t frame,
                                            uint32_t channel) {
    if (channel >= 64 || map->data[channel] == nullptr) {
        return 0.0f;
    }
    const uint64_t index = uint64_t{frame} * map->stride[channel];
    return index < map->samples[channel] ? map->data[channel][index] : 0.0f;
}

// The process tap's block layouts. Interleaved: the first buffer holds every tap channel (its
// channel count, or the tap's when it reports 0). Not interleaved: buffer k holds channel k, the
// last buffer standing in for channels beyond the count.
// The frame count is 0 for a missing list, no buffers, or a first buffer without data or bytes;
// otherwise the smallest count of frames that every buffer the reader will touch really holds.
uint32_t TidewellTapBlockFrameCount(const AudioBufferList* list, bool interleaved, uint32_t tapChannels);
float TidewellTapBlockSample(const AudioBufferList* list, bool interleaved, uint32_t tapChannels, uint32_t frame,
                             uint32_t channel);

// A cycle's time stamp as the rate control takes it (host time in nanoseconds, sample time), each
// part only when its flag says it is valid; null gives neither.
TidewellBlockTime TidewellBlockTimeFrom(const AudioTimeStamp* stamp);
