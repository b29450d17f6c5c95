// The interface between the audio server and an audio-server plug-in: the driver
// interface table a plug-in hands out (COM style: a pointer to a pointer to the table),
// the host interface the server hands in, the records passed across, and the UUIDs that
// name the plug-in type and the interfaces. Declarations only; the server's plug-in host
// and the plug-ins implement them.
#pragma once

#include <AudioABI/AudioProperties.h>
#include <AudioABI/AudioTypes.h>

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFUUID.h>
#include <stdbool.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// A UUID passed by value: 16 bytes in text order.
typedef CFUUIDBytes REFIID;
typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef void* LPVOID;

// The UUIDs, in text form for property lists and as bytes for comparisons.
#define kAudioServerPlugInTypeUUIDString "A40E1879-8653-48C8-8806-6C09226E55C9"
#define kAudioServerPlugInDriverInterfaceUUIDString "8760198A-9BAE-4B68-B204-835B32F8449F"
#define kIUnknownUUIDString "9B0331DF-B185-41B6-9448-E9A3AD956700"

static const CFUUIDBytes kAudioServerPlugInTypeUUIDBytes = {
    0xA4, 0x0E, 0x18, 0x79, 0x86, 0x53, 0x48, 0xC8, 0x88, 0x06, 0x6C, 0x09, 0x22, 0x6E, 0x55, 0xC9};
static const CFUUIDBytes kAudioServerPlugInDriverInterfaceUUIDBytes = {
    0x87, 0x60, 0x19, 0x8A, 0x9B, 0xAE, 0x4B, 0x68, 0xB2, 0x04, 0x83, 0x5B, 0x32, 0xF8, 0x44, 0x9F};
static const CFUUIDBytes kIUnknownUUIDBytes = {
    0x9B, 0x03, 0x31, 0xDF, 0xB1, 0x85, 0x41, 0xB6, 0x94, 0x48, 0xE9, 0xA3, 0xAD, 0x95, 0x67, 0x00};

// The same UUIDs as process-lifetime objects, for factories and property lists.
#define kAudioServerPlugInTypeUUID                                                                          \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xA4, 0x0E, 0x18, 0x79, 0x86, 0x53, 0x48, 0xC8, 0x88, 0x06, 0x6C, \
                                   0x09, 0x22, 0x6E, 0x55, 0xC9)
#define kAudioServerPlugInDriverInterfaceUUID                                                               \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x87, 0x60, 0x19, 0x8A, 0x9B, 0xAE, 0x4B, 0x68, 0xB2, 0x04, 0x83, \
                                   0x5B, 0x32, 0xF8, 0x44, 0x9F)
#define IUnknownUUID                                                                                        \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x9B, 0x03, 0x31, 0xDF, 0xB1, 0x85, 0x41, 0xB6, 0x94, 0x48, 0xE9, \
                                   0xA3, 0xAD, 0x95, 0x67, 0x00)

// IO operations a device performs each cycle, in cycle order.
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationThread, AUDIO_FOUR_CC('t', 'h', 'r', 'd'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationCycle, AUDIO_FOUR_CC('c', 'y', 'c', 'l'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationReadInput, AUDIO_FOUR_CC('r', 'e', 'a', 'd'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationConvertInput, AUDIO_FOUR_CC('c', 'n', 'v', 'i'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationProcessInput, AUDIO_FOUR_CC('p', 'i', 'n', 'p'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationProcessOutput, AUDIO_FOUR_CC('p', 'o', 'u', 't'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationMixOutput, AUDIO_FOUR_CC('m', 'i', 'x', 'o'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationProcessMix, AUDIO_FOUR_CC('p', 'm', 'i', 'x'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationConvertMix, AUDIO_FOUR_CC('c', 'n', 'v', 'm'))
AUDIO_CONSTANT(UInt32, kAudioServerPlugInIOOperationWriteMix, AUDIO_FOUR_CC('w', 'r', 'i', 't'))

// Who a device client is. clientID is non-zero and unique among a device's clients.
typedef struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
} AudioServerPlugInClientInfo;

typedef struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    AudioTimeStamp mCurrentTime;
} AudioServerPlugInIOCycleInfo;

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;

// The host side. PropertiesChanged may be called from any thread, also from inside a
// driver call the host is making; the addresses are valid only during the call.
struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                  UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef inData);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost, AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
};

typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;
// The reference a plug-in hands out: points at a word that points at the table.
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

// The driver table: one reserved null slot, the three COM operations, then the driver
// operations (23 pointer slots in all).
struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    ULONG (*AddRef)(void* inDriver);
    ULONG (*Release)(void* inDriver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                             const AudioServerPlugInClientInfo* inClientInfo, AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                                 AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                                 void* inChangeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                               UInt64 inChangeAction, void* inChangeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                           const AudioObjectPropertyAddress* inAddress);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                const void* inData);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                              UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                              void* ioMainBuffer, void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};

// The factory a plug-in exports under the name its bundle's property list registers.
// Returns a driver reference (one reference added) for the plug-in type, else null.
typedef void* (*AudioServerPlugInFactoryFunction)(CFAllocatorRef inAllocator, CFUUIDRef inRequestedTypeUUID);

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(AudioServerPlugInDriverInterface) == 23 * sizeof(void*), "the driver table has 23 slots");
#endif
