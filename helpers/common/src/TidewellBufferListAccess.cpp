#include "TidewellHelpers/TidewellBufferListAccess.h"

#include <AudioClient/AudioHardware.h>

#include <algorithm>

namespace {

// Floats the buffer really holds.
uint64_t SampleCapacity(const AudioBuffer& buffer) {
    return buffer.mData != nullptr ? buffer.mDataByteSize / sizeof(float) : 0;
}

float SampleAt(const AudioBuffer& buffer, uint64_t index) {
    if (index >= SampleCapacity(buffer)) {
        return 0.0f;
    }
    return static_cast<const float*>(buffer.mData)[index];
}

}  // namespace

uint32_t TidewellBufferListFrameCount(const AudioBufferList* list) {
    if (list == nullptr) {
        return 0;
    }
    bool found = false;
    uint32_t frames = 0;
    for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        if (buffer.mData == nullptr || buffer.mNumberChannels == 0) {
            continue;
        }
        const uint64_t count = buffer.mDataByteSize / (uint64_t{4} * buffer.mNumberChannels);
        // A buffer with data but less than one frame is still read for every frame, so it limits
        // the block to nothing rather than being passed over.
        frames = found ? std::min<uint32_t>(frames, static_cast<uint32_t>(count)) : static_cast<uint32_t>(count);
        found = true;
    }
    return found ? frames : 0;
}

float TidewellBufferListSample(const AudioBufferList* list, uint32_t frame, uint32_t channel) {
    if (list == nullptr) {
        return 0.0f;
    }
    uint32_t first = 0;
    for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        const uint32_t n = buffer.mNumberChannels;
        if (n == 0) {
            continue;
        }
        if (channel < first + n) {
            return SampleAt(buffer, uint64_t{frame} * n + (channel - first));
        }
        first += n;
    }
    return 0.0f;
}

void TidewellBufferListMapChannels(TidewellBufferListChannelMap* map, const AudioBufferList* list) {
    for (uint32_t c = 0; c < 64; ++c) {
        map->data[c] = nullptr;
        map->stride[c] = 0;
        map->samples[c] = 0;
    }
    if (list == nullptr) {
        return;
    }
    uint32_t first = 0;
    for (uint32_t b = 0; b < list->mNumberBuffers && first < 64; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        const uint32_t n = buffer.mNumberChannels;
        for (uint32_t k = 0; k < n && first + k < 64; ++k) {
            const uint64_t capacity = SampleCapacity(buffer);
            // The channel's samples start k floats into the buffer.
            map->data[first + k] = capacity > k ? static_cast<const float*>(buffer.mData) + k : nullptr;
            map->stride[first + k] = n;
            map->samples[first + k] = capacity > k ? capacity - k : 0;
        }
        first += n;
    }
}

uint32_t TidewellTapBlockFrameCount(const AudioBufferList* list, bool interleaved, uint32_t tapChannels) {
    if (list == nullptr || list->mNumberBuffers == 0 || list->mBuffers[0].mData == nullptr ||
        list->mBuffers[0].mDataByteSize == 0) {
        return 0;
    }
    if (interleaved) {
        const AudioBuffer& buffer = list->mBuffers[0];
        const uint32_t n = buffer.mNumberChannels != 0 ? buffer.mNumberChannels : std::max(tapChannels, 1u);
        return static_cast<uint32_t>(buffer.mDataByteSize / (uint64_t{4} * n));
    }
    // Not interleaved: channel c is read from buffer min(c, count - 1) at index f x n; every such
    // buffer must hold the frames counted.
    const uint32_t used = std::min(std::max(tapChannels, 1u), list->mNumberBuffers);
    uint32_t frames = UINT32_MAX;
    for (uint32_t b = 0; b < used; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        const uint32_t n = std::max(buffer.mNumberChannels, 1u);
        const uint64_t count = buffer.mData != nullptr ? buffer.mDataByteSize / (uint64_t{4} * n) : 0;
        frames = std::min<uint32_t>(frames, static_cast<uint32_t>(count));
    }
    return frames == UINT32_MAX ? 0 : frames;
}

float TidewellTapBlockSample(const AudioBufferList* list, bool interleaved, uint32_t tapChannels, uint32_t frame,
                             uint32_t channel) {
    if (list == nullptr || list->mNumberBuffers == 0) {
        return 0.0f;
    }
    if (interleaved) {
        const AudioBuffer& buffer = list->mBuffers[0];
        const uint32_t n = buffer.mNumberChannels != 0 ? buffer.mNumberChannels : std::max(tapChannels, 1u);
        return SampleAt(buffer, uint64_t{frame} * n + std::min(channel, n - 1));
    }
    const AudioBuffer& buffer = list->mBuffers[std::min(channel, list->mNumberBuffers - 1)];
    const uint32_t n = std::max(buffer.mNumberChannels, 1u);
    return SampleAt(buffer, uint64_t{frame} * n + std::min(channel, n - 1));
}

TidewellBlockTime TidewellBlockTimeFrom(const AudioTimeStamp* stamp) {
    if (stamp == nullptr) {
        return TidewellBlockTime{};
    }
    const bool host = (stamp->mFlags & kAudioTimeStampHostTimeValid) != 0;
    const bool sample = (stamp->mFlags & kAudioTimeStampSampleTimeValid) != 0;
    return TidewellBlockTime{host ? AudioConvertHostTimeToNanos(stamp->mHostTime) : 0, sample ? stamp->mSampleTime : 0.0,
                             host, sample};
}
