// Starting a 48000 Hz float input queue on a device, shared by the hardware-source and
// monitor helpers: create, point at the device by UID, fill with buffers, start. Each
// helper reports failures under its own step names.
#pragma once

#include <AudioClient/AudioToolbox.h>

#include <cstdint>

struct TidewellInputQueueTexts {
    const char* newInput;   // e.g. "AudioQueueNewInput"
    const char* allocate;   // e.g. "AudioQueueAllocateBuffer(input)"
    const char* enqueue;    // e.g. "AudioQueueEnqueueBuffer(input)"
    const char* start;      // e.g. "AudioQueueStart(input)"
};

// Stops and disposes *queue when it is set, and clears it.
void TidewellInputQueueDispose(AudioQueueRef* queue);

// Creates and starts the queue into *queue. An empty or null UID keeps the default input.
// On failure prints the failing step, disposes what was made, leaves *queue null and
// returns false.
bool TidewellInputQueueStart(AudioQueueRef* queue, uint32_t channels, const char* inputUID,
                             uint32_t bufferCount, uint32_t bufferBytes, AudioQueueInputCallback callback,
                             void* userData, const TidewellInputQueueTexts& texts);

// Creates an IO proc on the input device and starts it, into *ioProc. On failure prints the
// failing step's status line under `createLabel` or `startLabel`, destroys what was made,
// leaves *ioProc null and returns false.
bool TidewellInputIOProcStart(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                              const char* createLabel, const char* startLabel, AudioDeviceIOProcID* ioProc);
