#include "TidewellHelpers/TidewellHelperInput.h"

#include <cstdio>

#include "TidewellStream/TidewellHelperRuntime.h"

namespace {

constexpr uint32_t kQueueBuffers = 4;

OSStatus InputIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* list, const AudioTimeStamp*,
                     AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    auto* input = static_cast<TidewellHelperInput*>(clientData);
    input->writeList(input->ring, list, now);
    return 0;
}

void InputCallback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer, const AudioTimeStamp* start,
                   UInt32, const AudioStreamPacketDescription*) {
    auto* input = static_cast<TidewellHelperInput*>(userData);
    const uint32_t bytesPerFrame = 4 * input->ring->sourceChannels;
    const uint32_t frames = bytesPerFrame != 0 ? buffer->mAudioDataByteSize / bytesPerFrame : 0;
    if (frames > 0) {
        input->writeInterleaved(input->ring, static_cast<const float*>(buffer->mAudioData), frames, start);
    }
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

}  // namespace

void TidewellHelperInputInit(TidewellHelperInput* input, TidewellHelperRing* ring, AudioObjectID device,
                             uint32_t bufferFrames, TidewellInputListWrite writeList,
                             TidewellInputInterleavedWrite writeInterleaved) {
    *input = TidewellHelperInput{};
    input->device = device;
    input->ring = ring;
    input->bufferFrames = bufferFrames;
    input->writeList = writeList;
    input->writeInterleaved = writeInterleaved;
}

bool TidewellHelperInputReadFormat(TidewellHelperInput* input) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain};
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    const OSStatus status = AudioObjectGetPropertyData(input->device, &address, 0, nullptr, &size, &format);
    if (status != 0) {
        PrintStatus("AudioObjectGetPropertyData(kAudioDevicePropertyStreamFormat input)", status);
        return false;
    }
    input->format = format;
    return true;
}

void TidewellHelperInputReportFallback(const char* who, const AudioStreamBasicDescription& format) {
    std::fprintf(stderr,
                 "%s input IOProc does not support active device format %.0f Hz, format=%u flags=0x%x "
                 "bits=%u channels=%u. Falling back to AudioQueue.\n",
                 who, format.mSampleRate, format.mFormatID, format.mFormatFlags, format.mBitsPerChannel,
                 format.mChannelsPerFrame);
}

bool TidewellHelperInputStartIOProc(TidewellHelperInput* input, const char* createLabel, const char* startLabel) {
    if (!TidewellInputIOProcStart(input->device, InputIOProc, input, createLabel, startLabel, &input->ioProc)) {
        return false;
    }
    input->activeKind = 1;
    return true;
}

bool TidewellHelperInputStartQueue(TidewellHelperInput* input, const char* inputUID,
                                   const TidewellInputQueueTexts& texts) {
    const uint32_t channels = input->ring->sourceChannels;
    if (!TidewellInputQueueStart(&input->queue, channels, inputUID, kQueueBuffers, input->bufferFrames * 4 * channels,
                                 InputCallback, input, texts)) {
        return false;
    }
    input->activeKind = 2;
    return true;
}

void TidewellHelperInputStop(TidewellHelperInput* input) {
    TidewellInputQueueDispose(&input->queue);
    if (input->ioProc != nullptr) {
        AudioDeviceStop(input->device, input->ioProc);
        AudioDeviceDestroyIOProcID(input->device, input->ioProc);
        input->ioProc = nullptr;
    }
    input->activeKind = 0;
}
