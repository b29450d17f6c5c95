// Types, property ids, scopes and status codes of the output audio unit and of the audio
// queues. The codes are ours; they live only in this header.
#pragma once

#include <AudioABI/AudioProperties.h>
#include <AudioABI/AudioTypes.h>
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 OSType;

// ---- audio components and units ---------------------------------------------------------

typedef struct AudioComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
} AudioComponentDescription;

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct OpaqueAudioComponentInstance* AudioComponentInstance;
typedef AudioComponentInstance AudioUnit;

typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;

AUDIO_CONSTANT(UInt32, kAudioUnitType_Output, AUDIO_FOUR_CC('a', 'u', 'o', 'u'))
// The output unit that plays to one device of the audio server.
AUDIO_CONSTANT(UInt32, kAudioUnitSubType_HALOutput, AUDIO_FOUR_CC('a', 'h', 'a', 'l'))
// The one maker of the platform's own units.
AUDIO_CONSTANT(UInt32, kAudioUnitManufacturer_Platform, AUDIO_FOUR_CC('p', 'l', 't', 'f'))

AUDIO_CONSTANT(UInt32, kAudioUnitScope_Global, 0)
AUDIO_CONSTANT(UInt32, kAudioUnitScope_Input, 1)
AUDIO_CONSTANT(UInt32, kAudioUnitScope_Output, 2)

// UInt32, 0 or 1: output scope element 0 plays, input scope element 1 records.
AUDIO_CONSTANT(UInt32, kAudioOutputUnitProperty_EnableIO, 2003)
// AudioObjectID, global scope.
AUDIO_CONSTANT(UInt32, kAudioOutputUnitProperty_CurrentDevice, 2000)
// AudioStreamBasicDescription of what the render callback supplies: input scope, element 0.
AUDIO_CONSTANT(UInt32, kAudioUnitProperty_StreamFormat, 8)
// UInt32, global scope: the most frames one render call is asked for.
AUDIO_CONSTANT(UInt32, kAudioUnitProperty_MaximumFramesPerSlice, 14)
// AURenderCallbackStruct, input scope, element 0.
AUDIO_CONSTANT(UInt32, kAudioUnitProperty_SetRenderCallback, 23)

typedef OSStatus (*AURenderCallback)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                                     AudioBufferList* ioData);

typedef struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
} AURenderCallbackStruct;

AUDIO_CONSTANT(OSStatus, kAudioUnitErr_InvalidProperty, AUDIO_FOUR_CC('a', 'u', 'p', '?'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_InvalidScope, AUDIO_FOUR_CC('a', 'u', 's', '?'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_InvalidElement, AUDIO_FOUR_CC('a', 'u', 'e', '?'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_InvalidPropertyValue, AUDIO_FOUR_CC('a', 'u', 'v', '?'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_FormatNotSupported, AUDIO_FOUR_CC('a', 'u', 'f', '?'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_Initialized, AUDIO_FOUR_CC('a', 'u', 'i', '!'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_Uninitialized, AUDIO_FOUR_CC('a', 'u', 'u', '!'))
AUDIO_CONSTANT(OSStatus, kAudioUnitErr_NoConnection, AUDIO_FOUR_CC('a', 'u', 'n', 'c'))

// ---- audio queues -------------------------------------------------------------------------

typedef struct OpaqueAudioQueue* AudioQueueRef;
typedef UInt32 AudioQueuePropertyID;

// The foundation layer has no run loops; queues always call back on their own thread.
typedef struct OpaqueRunLoop* CFRunLoopRef;

typedef struct AudioStreamPacketDescription {
    SInt64 mStartOffset;
    UInt32 mVariableFramesInPacket;
    UInt32 mDataByteSize;
} AudioStreamPacketDescription;

// One buffer of a queue: allocated by the queue, filled (output) or read (input) by its
// user. Capacity and data pointer never change while the buffer lives.
typedef struct AudioQueueBuffer {
    UInt32 mAudioDataBytesCapacity;
    void* mAudioData;
    UInt32 mAudioDataByteSize;
    void* mUserData;
} AudioQueueBuffer;
typedef AudioQueueBuffer* AudioQueueBufferRef;

typedef void (*AudioQueueOutputCallback)(void* inUserData, AudioQueueRef inAQ, AudioQueueBufferRef inBuffer);
typedef void (*AudioQueueInputCallback)(void* inUserData, AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                        const AudioTimeStamp* inStartTime, UInt32 inNumberPacketDescriptions,
                                        const AudioStreamPacketDescription* inPacketDescs);

// CFStringRef: the UID of the device the queue plays to or records from. Unset: the
// default output (output queues) or the default input (input queues).
AUDIO_CONSTANT(UInt32, kAudioQueueProperty_CurrentDevice, AUDIO_FOUR_CC('a', 'q', 'c', 'd'))

AUDIO_CONSTANT(OSStatus, kAudioQueueErr_InvalidBuffer, AUDIO_FOUR_CC('a', 'q', 'b', '?'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_BufferInQueue, AUDIO_FOUR_CC('a', 'q', 'b', 'q'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_InvalidDevice, AUDIO_FOUR_CC('a', 'q', 'd', '?'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_InvalidProperty, AUDIO_FOUR_CC('a', 'q', 'p', '?'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_InvalidPropertyValue, AUDIO_FOUR_CC('a', 'q', 'v', '?'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_InvalidRunState, AUDIO_FOUR_CC('a', 'q', 'r', '?'))
AUDIO_CONSTANT(OSStatus, kAudioQueueErr_TooManyBuffers, AUDIO_FOUR_CC('a', 'q', 'b', '#'))
AUDIO_CONSTANT(OSStatus, kAudioFormatUnsupportedDataFormatError, AUDIO_FOUR_CC('f', 'm', 't', '?'))

#ifdef __cplusplus
}  // extern "C"
#endif
