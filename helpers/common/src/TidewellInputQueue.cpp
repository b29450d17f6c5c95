#include "TidewellHelpers/TidewellInputQueue.h"

#include "TidewellStream/TidewellHelperRuntime.h"

#include <cstdio>

void TidewellInputQueueDispose(AudioQueueRef* queue) {
    if (*queue != nullptr) {
        AudioQueueStop(*queue, true);
        AudioQueueDispose(*queue, true);
        *queue = nullptr;
    }
}

bool TidewellInputQueueStart(AudioQueueRef* queue, uint32_t channels, const char* inputUID,
                             uint32_t bufferCount, uint32_t bufferBytes, AudioQueueInputCallback callback,
                             void* userData, const TidewellInputQueueTexts& texts) {
    *queue = nullptr;
    const AudioStreamBasicDescription format{48000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked,
                                             4 * channels, 1, 4 * channels, channels, 32, 0};
    OSStatus status = AudioQueueNewInput(&format, callback, userData, nullptr, nullptr, 0, queue);
    if (status != 0) {
        PrintStatus(texts.newInput, status);
        *queue = nullptr;
        return false;
    }
    if (inputUID != nullptr && *inputUID != '\0') {
        CFStringRef uid = CFStringCreateWithCString(nullptr, inputUID, kCFStringEncodingUTF8);
        if (uid == nullptr) {
            std::fprintf(stderr, "Could not create device UID string for %s.\n", inputUID);
            TidewellInputQueueDispose(queue);
            return false;
        }
        status = AudioQueueSetProperty(*queue, kAudioQueueProperty_CurrentDevice, &uid, sizeof uid);
        CFRelease(uid);
        if (status != 0) {
            PrintStatus("AudioQueueSetProperty(input current device)", status);
            TidewellInputQueueDispose(queue);
            return false;
        }
    }
    for (uint32_t i = 0; i < bufferCount; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        status = AudioQueueAllocateBuffer(*queue, bufferBytes, &buffer);
        if (status != 0) {
            PrintStatus(texts.allocate, status);
            TidewellInputQueueDispose(queue);
            return false;
        }
        status = AudioQueueEnqueueBuffer(*queue, buffer, 0, nullptr);
        if (status != 0) {
            PrintStatus(texts.enqueue, status);
            TidewellInputQueueDispose(queue);
            return false;
        }
    }
    status = AudioQueueStart(*queue, nullptr);
    if (status != 0) {
        PrintStatus(texts.start, status);
        TidewellInputQueueDispose(queue);
        return false;
    }
    return true;
}

bool TidewellInputIOProcStart(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                              const char* createLabel, const char* startLabel, AudioDeviceIOProcID* ioProc) {
    const OSStatus created = AudioDeviceCreateIOProcID(device, proc, clientData, ioProc);
    if (created != 0) {
        PrintStatus(createLabel, created);
        *ioProc = nullptr;
        return false;
    }
    const OSStatus started = AudioDeviceStart(device, *ioProc);
    if (started != 0) {
        PrintStatus(startLabel, started);
        AudioDeviceDestroyIOProcID(device, *ioProc);
        *ioProc = nullptr;
        return false;
    }
    return true;
}
