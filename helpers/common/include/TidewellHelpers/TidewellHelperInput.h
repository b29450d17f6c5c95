#pragma once
// The input side the hardware source and the monitor share: an input device read through its IO
// procedure, or a 48000 Hz float input queue on it, each writing into the helper ring through the
// helper's own write functions.

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioToolbox.h>

#include <cstdint>

#include "TidewellHelpers/TidewellInputQueue.h"
#include "TidewellStream/TidewellHelperRing.h"

// The helper's writes: an IO procedure's buffer list, and an input queue's interleaved frames of
// the ring's source channels.
using TidewellInputListWrite = void (*)(TidewellHelperRing* ring, const AudioBufferList* list,
                                        const AudioTimeStamp* time);
using TidewellInputInterleavedWrite = void (*)(TidewellHelperRing* ring, const float* data, uint32_t frames,
                                               const AudioTimeStamp* time);

struct TidewellHelperInput {
    uint32_t activeKind;   // 0 none, 1 device IO procedure, 2 input audio queue
    AudioQueueRef queue;
    AudioObjectID device;
    AudioDeviceIOProcID ioProc;
    TidewellHelperRing* ring;
    uint32_t bufferFrames;
    AudioStreamBasicDescription format;   // the device's, once the IO procedure path read it
    TidewellInputListWrite writeList;
    TidewellInputInterleavedWrite writeInterleaved;
};

// Clears the input and sets what every start needs.
void TidewellHelperInputInit(TidewellHelperInput* input, TidewellHelperRing* ring, AudioObjectID device,
                             uint32_t bufferFrames, TidewellInputListWrite writeList,
                             TidewellInputInterleavedWrite writeInterleaved);

// The device's input stream format into input->format; false after the failed read's status line.
bool TidewellHelperInputReadFormat(TidewellHelperInput* input);
// The line that says the IO procedure path cannot take the device's format and the queue follows;
// `who` begins it ("Hardware", "Monitor").
void TidewellHelperInputReportFallback(const char* who, const AudioStreamBasicDescription& format);

// Starts the device's IO procedure (failures reported under the labels); the input's kind is 1.
bool TidewellHelperInputStartIOProc(TidewellHelperInput* input, const char* createLabel, const char* startLabel);
// Starts four queue buffers of the input's buffer frames on the device by UID (failures reported
// under the texts); the input's kind is 2.
bool TidewellHelperInputStartQueue(TidewellHelperInput* input, const char* inputUID,
                                   const TidewellInputQueueTexts& texts);
// Stops and releases whichever runs; the input's kind is 0.
void TidewellHelperInputStop(TidewellHelperInput* input);
