// The output audio unit and the audio queues of the client library, both built on the
// library's IO procs. Each named call can be made to fail by the server's fault hook
// (`audioctl fail CALL STATUS [COUNT]`); AudioUnitSetProperty also answers a fault named
// after the property, such as "AudioUnitSetProperty(kAudioUnitProperty_StreamFormat)" or
// "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO input)" (or "... output").
#pragma once

#include <AudioABI/AudioUnitQueueTypes.h>
#include <AudioClient/AudioHardware.h>

extern "C" {

// ---- the output unit ---------------------------------------------------------------------
// One component: type output, subtype HAL output. A description field of 0 matches anything
// (the flags are ignored). Returns null when nothing (more) matches.
AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc);
OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
// Stops, uninitialises and frees the unit, whatever state it is in.
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize);
// Resolves the device (the default output when none was set), checks the format against
// it and allocates everything the render path needs.
OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioUnitUninitialize(AudioUnit inUnit);
// The render callback then runs on the device's IO thread, asked for at most the maximum
// frames per slice at a time; its channels go to the device's channels in order, across
// the device's streams. A non-zero render status plays silence for that slice.
OSStatus AudioOutputUnitStart(AudioUnit inUnit);
// Returns once the render callback will not be called again.
OSStatus AudioOutputUnitStop(AudioUnit inUnit);

// ---- audio queues ------------------------------------------------------------------------
// Formats: linear PCM, interleaved and packed, 1 to 64 channels, 32-bit float or 16-, 24-
// (3 bytes) or 32-bit signed integer. The queue converts rate, sample format and channel
// count to and from the device. Callbacks run on the queue's own thread; only a null run
// loop is accepted.
OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat, AudioQueueOutputCallback inCallbackProc,
                             void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode,
                             UInt32 inFlags, AudioQueueRef* outAQ);
OSStatus AudioQueueNewInput(const AudioStreamBasicDescription* inFormat, AudioQueueInputCallback inCallbackProc,
                            void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode,
                            UInt32 inFlags, AudioQueueRef* outAQ);
// kAudioQueueProperty_CurrentDevice only: a UID that no device carries is refused.
OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, const void* inData, UInt32 inDataSize);
OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize, AudioQueueBufferRef* outBuffer);
// Output queues play a buffer's mAudioDataByteSize bytes; input queues fill it to capacity.
// Allowed before start and from the queue's callbacks.
OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, UInt32 inNumPacketDescs,
                                 const AudioStreamPacketDescription* inPacketDescs);
// inStartTime must be null (start now).
OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime);
// Stops at once, whether immediate or not: when it returns no callback runs any more and
// buffers still enqueued are handed back to the user untouched (not called back).
OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean inImmediate);
// Stops and frees the queue and its buffers.
OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean inImmediate);

}  // extern "C"
