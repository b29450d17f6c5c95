// TidewellHAL: the audio-server plug-in that publishes the virtual devices described by
// the runtime region and loops each device's output stream to its input stream.
//
// This header declares the driver-interface operations and the few internal entry points
// that in-process tests and benchmarks use, on top of the device model (TWDevice.h) and
// the IO path (TWIO.h). The audio server only sees the exported factory and the driver
// table it hands out.
#pragma once

#include <TidewellHAL/TWDevice.h>
#include <TidewellHAL/TWIO.h>

// ---- the driver interface ----------------------------------------------------------------

extern "C" {
// The exported factory: the driver reference (a pointer to the word holding the table's
// address) for the audio-server plug-in type or the driver interface UUID, else null.
__attribute__((visibility("default"))) void* TidewellHALFactory(CFAllocatorRef allocator,
                                                                CFUUIDRef requestedTypeUUID);
}

HRESULT Tidewell_QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
ULONG Tidewell_AddRef(void* driver);
ULONG Tidewell_Release(void* driver);
OSStatus TWDriver_Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
OSStatus TWDriver_CreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                               const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDeviceID);
OSStatus TWDriver_DestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID deviceID);
OSStatus TWDriver_AddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                  const AudioServerPlugInClientInfo* clientInfo);
OSStatus TWDriver_RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                     const AudioServerPlugInClientInfo* clientInfo);
OSStatus TWDriver_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                                   UInt64 action, void* info);
OSStatus TWDriver_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                                 UInt64 action, void* info);
Boolean TWDriver_HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                             const AudioObjectPropertyAddress* address);
OSStatus TWDriver_IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                     const AudioObjectPropertyAddress* address, Boolean* outIsSettable);
OSStatus TWDriver_GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                      const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                      const void* qualifierData, UInt32* outSize);
OSStatus TWDriver_GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                  const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                  const void* qualifierData, UInt32 inDataSize, UInt32* outDataSize,
                                  void* outData);
OSStatus TWDriver_SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                  const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                  const void* qualifierData, UInt32 inDataSize, const void* data);

// ---- entry points for in-process inspection ----------------------------------------------

// One reconcile pass on the calling thread; TWReconcileNow runs it on the reconcile queue when
// the timer runs one.
void TWReconcileOnce();
void TWReconcileNow();
void TWSetRuntimeSharedMemoryName(const char* name);
void TWSetReconcileTimerEnabled(bool enabled);

// ---- property value helpers ----------------------------------------------------------------

Float32 TWVolumeScalarForGain(Float32 gain);
Float32 TWVolumeDecibelsForGain(Float32 gain);
UInt32 TWAudioBufferListSize(UInt32 buffers);
