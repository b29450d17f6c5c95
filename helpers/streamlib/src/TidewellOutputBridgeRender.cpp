// The output bridge's render thread: filling the back-ends' buffers from the render callback, and
// the cycle time that callback may ask for.
// Needs the audio client library's unit and queues; without them the stream library is
// built without the bridge.
#if __has_include(<AudioClient/AudioToolbox.h>)

#include "TidewellStream/TidewellOutputBridge.h"

#include <algorithm>
#include <cstring>

namespace {

// The cycle being rendered on this thread, for the render callback's rate control.
thread_local const AudioTimeStamp* tRenderTime = nullptr;
thread_local bool tRenderTimelineMoved = false;

}  // namespace

uint32_t TidewellOutputBridgeFillBufferList(TidewellOutputBridge* bridge, AudioBufferList* list, uint32_t frames) {
    if (list == nullptr || frames == 0) {
        return 0;
    }
    // Clear every buffer, each only as far as its own size reaches.
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
        AudioBuffer& buffer = list->mBuffers[i];
        const uint32_t bytes = frames * buffer.mNumberChannels * 4u;
        if (buffer.mData != nullptr) {
            const uint32_t cleared = std::min(bytes, buffer.mDataByteSize);
            std::memset(buffer.mData, 0, cleared);
            buffer.mDataByteSize = cleared;
        } else {
            buffer.mDataByteSize = bytes;
        }
    }
    if (list->mNumberBuffers == 1 && list->mBuffers[0].mData != nullptr &&
        list->mBuffers[0].mNumberChannels == bridge->channels) {
        AudioBuffer& buffer = list->mBuffers[0];
        const uint32_t fit = buffer.mDataByteSize / bridge->bytesPerFrame;
        return bridge->render(bridge->context, static_cast<float*>(buffer.mData), std::min(frames, fit),
                              bridge->channels);
    }
    if (bridge->scratch == nullptr) {
        return 0;
    }
    // Through the scratch, in blocks of at most its size, so that a device cycle larger than
    // the scratch still plays instead of going silent.
    for (uint32_t done = 0; done < frames;) {
        const uint32_t block = std::min(frames - done, bridge->scratchFrames);
        std::memset(bridge->scratch, 0, static_cast<size_t>(block) * bridge->bytesPerFrame);
        const uint32_t status = bridge->render(bridge->context, bridge->scratch, block, bridge->channels);
        if (status != 0) {
            for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
                if (list->mBuffers[i].mData != nullptr) {
                    std::memset(list->mBuffers[i].mData, 0, list->mBuffers[i].mDataByteSize);
                }
            }
            return status;
        }
        uint32_t sourceChannel = 0;
        for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
            AudioBuffer& buffer = list->mBuffers[i];
            const uint32_t channels = buffer.mNumberChannels;
            if (buffer.mData == nullptr) {
                sourceChannel += channels;
                continue;
            }
            if (channels == 0) {
                continue;
            }
            const uint32_t fit = buffer.mDataByteSize / (channels * 4u);
            const uint32_t count = done < fit ? std::min(block, fit - done) : 0;
            auto* destination = static_cast<float*>(buffer.mData) + static_cast<size_t>(done) * channels;
            for (uint32_t c = 0; c < channels && sourceChannel < bridge->channels; ++c, ++sourceChannel) {
                for (uint32_t f = 0; f < count; ++f) {
                    destination[static_cast<size_t>(f) * channels + c] =
                        bridge->scratch[static_cast<size_t>(f) * bridge->channels + sourceChannel];
                }
            }
        }
        done += block;
    }
    return 0;
}

OSStatus TidewellOutputBridgeIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList* outOutputData, const AudioTimeStamp*, void* clientData) {
    auto* bridge = static_cast<TidewellOutputBridge*>(clientData);
    const TidewellOutputBridgeRenderScope scope(now);
    if (outOutputData == nullptr || outOutputData->mNumberBuffers == 0) {
        return 0;
    }
    // The frames every buffer with data can hold, so that no buffer is written past its end
    // and all channels stay in step. With no such buffer there is nothing to fill.
    uint32_t frames = 0;
    bool any = false;
    for (UInt32 i = 0; i < outOutputData->mNumberBuffers; ++i) {
        const AudioBuffer& buffer = outOutputData->mBuffers[i];
        if (buffer.mData == nullptr || buffer.mNumberChannels == 0) {
            continue;
        }
        const uint32_t bufferFrames = buffer.mDataByteSize / (buffer.mNumberChannels * 4u);
        frames = any ? std::min(frames, bufferFrames) : bufferFrames;
        any = true;
    }
    if (frames == 0) {
        return 0;
    }
    return static_cast<OSStatus>(TidewellOutputBridgeFillBufferList(bridge, outOutputData, frames));
}

void TidewellAudioQueueOutputCallback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer) {
    auto* bridge = static_cast<TidewellOutputBridge*>(userData);
    if (bridge == nullptr || buffer == nullptr || bridge->bytesPerFrame == 0) {
        return;
    }
    const uint32_t frames = buffer->mAudioDataBytesCapacity / bridge->bytesPerFrame;
    const uint32_t status = bridge->render != nullptr
                                ? bridge->render(bridge->context, static_cast<float*>(buffer->mAudioData), frames,
                                                 bridge->channels)
                                : 1;
    if (status != 0) {
        std::memset(buffer->mAudioData, 0, buffer->mAudioDataBytesCapacity);
    }
    buffer->mAudioDataByteSize = frames * bridge->bytesPerFrame;
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

bool TidewellOutputBridgeRenderTime(TidewellBlockTime* time) {
    const AudioTimeStamp* stamp = tRenderTime;
    if (time == nullptr || stamp == nullptr ||
        (stamp->mFlags & (kAudioTimeStampHostTimeValid | kAudioTimeStampSampleTimeValid)) == 0) {
        return false;
    }
    const bool hasHost = (stamp->mFlags & kAudioTimeStampHostTimeValid) != 0;
    *time = TidewellBlockTime{hasHost ? AudioConvertHostTimeToNanos(stamp->mHostTime) : 0, stamp->mSampleTime, hasHost,
                              (stamp->mFlags & kAudioTimeStampSampleTimeValid) != 0};
    time->timelineMoved = tRenderTimelineMoved;
    return true;
}

TidewellOutputBridgeRenderScope::TidewellOutputBridgeRenderScope(const AudioTimeStamp* time, bool timelineMoved) {
    tRenderTime = time;
    tRenderTimelineMoved = timelineMoved;
}

TidewellOutputBridgeRenderScope::~TidewellOutputBridgeRenderScope() {
    tRenderTime = nullptr;
    tRenderTimelineMoved = false;
}

#endif
