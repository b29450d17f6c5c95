// TidewellHAL's IO path: the IO operations of the driver interface, the client slots and
// the ring, and the IO counters that in-process tests read. It depends on the device model
// (TWDevice.h) only; the object model and reconcile pass never call into it.
#pragma once

#include <TidewellHAL/TWDevice.h>

// ---- the IO operations of the driver interface -------------------------------------------

OSStatus TWDriver_StartIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID);
OSStatus TWDriver_StopIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID);
OSStatus TWDriver_GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                                   Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
OSStatus TWDriver_WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                                    UInt32 operationID, Boolean* outWillDo, Boolean* outWillDoInPlace);
OSStatus TWDriver_BeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                                   UInt32 operationID, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycleInfo);
OSStatus TWDriver_DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, AudioObjectID streamID,
                                UInt32 clientID, UInt32 operationID, UInt32 frames,
                                const AudioServerPlugInIOCycleInfo* cycleInfo, void* mainBuffer,
                                void* secondaryBuffer);
OSStatus TWDriver_EndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                                 UInt32 operationID, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycleInfo);

// ---- the IO path's own state ------------------------------------------------------------

TWClientState* TWClientStateForID(TWDevice* device, uint32_t clientID, bool claim);
void TWRemoveClientState(TWDevice* device, uint32_t clientID);
void TWWriteRing(TWDevice* device, const float* buffer, uint32_t frames);
void TWReadRing(TWDevice* device, float* buffer, uint32_t frames, uint32_t clientID);
uint32_t TWZeroTimeStampPeriodFrames(const TWDevice* device);

// ---- IO counters for in-process inspection -----------------------------------------------

uint32_t TWTestClientCushionFrames(AudioObjectID deviceID, uint32_t clientID);
uint32_t TWTestClientUnderrunCount(AudioObjectID deviceID, uint32_t clientID);
uint32_t TWTestDeviceUnderrunCount(AudioObjectID deviceID);
uint32_t TWTestDeviceCushionGrowthCount(AudioObjectID deviceID);
