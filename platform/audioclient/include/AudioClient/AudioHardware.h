// The audio client library: property access and listeners on the audio server's
// objects, IO procs on its devices, and the host clock. Every call goes to the server
// (audioserverd) over its control socket; with no server answering, each call returns
// kAudioHardwareNotRunningError at once. When a server answers again after the
// connection was lost, the kAudioHardwarePropertyServiceRestarted listeners of the system
// object fire once; ids of the old server stay invalid.
#pragma once

#include <AudioABI/AudioABI.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <functional>

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize);
// On entry *ioDataSize is the buffer's size; on return, the bytes written. A buffer too
// small for the value gives kAudioHardwareBadPropertySizeError and writes nothing (lists
// of object ids give as many whole ids as fit). String values are new references (+1)
// the caller releases.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);

// Listeners run on the library's notification thread: never on an IO thread, never inside
// the caller's own call, one at a time. After Remove returns the listener is not called
// again (unless Remove is called from a listener, where the current call may finish).
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener, void* inClientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener, void* inClientData);

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// Returns once the proc takes part in the device's IO cycles.
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
// Returns once the proc will not be called again.
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);

// Host time: CLOCK_MONOTONIC nanoseconds.
UInt64 AudioGetCurrentHostTime(void);
Float64 AudioGetHostClockFrequency(void);
UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime);
UInt64 AudioConvertNanosToHostTime(UInt64 inNanos);

}  // extern "C"

typedef std::function<void(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                           const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                           const AudioTimeStamp* inOutputTime)>
    AudioDeviceIOBlock;

// The block runs as work of the serial queue: never at the same time as other work of
// that queue. A cycle in which the queue is busy with other work passes the block by.
OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t inDispatchQueue, AudioDeviceIOBlock inIOBlock);

// The status a test has injected for the named call through `audioctl fail` (0: none);
// each answer uses up one injected failure. For calls of this library that do not go to
// the server otherwise.
OSStatus AudioClientConsumeInjectedFault(const char* inCallName);

// Process taps and private aggregate devices.
#include <AudioClient/AudioProcessTap.h>
