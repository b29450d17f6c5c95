// Status codes, well-known objects, scopes, elements, property selectors, class ids and
// transport types of the audio platform. Where the system quotes a four-character code it
// is used as is; the other codes are ours and are kept in this one header.
#pragma once

#include <AudioABI/AudioTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- status codes -------------------------------------------------------------------
AUDIO_CONSTANT(OSStatus, kAudioHardwareNoError, 0)
AUDIO_CONSTANT(OSStatus, kAudioHardwareNotRunningError, AUDIO_FOUR_CC('s', 't', 'o', 'p'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareUnspecifiedError, AUDIO_FOUR_CC('w', 'h', 'a', 't'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareUnknownPropertyError, AUDIO_FOUR_CC('w', 'h', 'o', '?'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareBadPropertySizeError, AUDIO_FOUR_CC('!', 's', 'i', 'z'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareIllegalOperationError, AUDIO_FOUR_CC('n', 'o', 'p', 'e'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareBadObjectError, AUDIO_FOUR_CC('!', 'o', 'b', 'j'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareBadDeviceError, AUDIO_FOUR_CC('!', 'd', 'e', 'v'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareBadStreamError, AUDIO_FOUR_CC('!', 's', 't', 'r'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareUnsupportedOperationError, AUDIO_FOUR_CC('u', 'n', 'o', 'p'))
AUDIO_CONSTANT(OSStatus, kAudioHardwareNotReadyError, AUDIO_FOUR_CC('n', 'r', 'd', 'y'))
AUDIO_CONSTANT(OSStatus, kAudioDeviceUnsupportedFormatError, AUDIO_FOUR_CC('!', 'd', 'a', 't'))
AUDIO_CONSTANT(OSStatus, kAudioDevicePermissionsError, AUDIO_FOUR_CC('!', 'h', 'o', 'g'))
// Creating a process tap was refused by the tap permission policy.
AUDIO_CONSTANT(OSStatus, kAudioHardwareTapPermissionError, AUDIO_FOUR_CC('!', 't', 'a', 'p'))
AUDIO_CONSTANT(OSStatus, kAudio_ParamError, -50)
AUDIO_CONSTANT(OSStatus, kAudio_MemFullError, -108)

// COM-style results of the plug-in interface's QueryInterface.
#define AUDIO_E_NOINTERFACE ((SInt32)0x80000004u)
#define AUDIO_E_POINTER ((SInt32)0x80000005u)

// ---- objects, scopes, elements --------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioObjectUnknown, 0)
AUDIO_CONSTANT(UInt32, kAudioObjectSystemObject, 1)

AUDIO_CONSTANT(UInt32, kAudioObjectPropertyScopeGlobal, AUDIO_FOUR_CC('g', 'l', 'o', 'b'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyScopeInput, AUDIO_FOUR_CC('i', 'n', 'p', 't'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyScopeOutput, AUDIO_FOUR_CC('o', 'u', 't', 'p'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyScopePlayThrough, AUDIO_FOUR_CC('p', 't', 'r', 'u'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyScopeWildcard, AUDIO_FOUR_CC('*', '*', '*', '*'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertySelectorWildcard, AUDIO_FOUR_CC('*', '*', '*', '*'))
AUDIO_CONSTANT(UInt32, kAudioObjectClassIDWildcard, AUDIO_FOUR_CC('*', '*', '*', '*'))

AUDIO_CONSTANT(UInt32, kAudioObjectPropertyElementMain, 0)
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyElementWildcard, 0xFFFFFFFFu)

// ---- class ids -----------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioObjectClassID, AUDIO_FOUR_CC('a', 'o', 'b', 'j'))
AUDIO_CONSTANT(UInt32, kAudioSystemObjectClassID, AUDIO_FOUR_CC('a', 's', 'y', 's'))
AUDIO_CONSTANT(UInt32, kAudioPlugInClassID, AUDIO_FOUR_CC('a', 'p', 'l', 'g'))
AUDIO_CONSTANT(UInt32, kAudioDeviceClassID, AUDIO_FOUR_CC('a', 'd', 'e', 'v'))
AUDIO_CONSTANT(UInt32, kAudioStreamClassID, AUDIO_FOUR_CC('a', 's', 't', 'r'))
AUDIO_CONSTANT(UInt32, kAudioControlClassID, AUDIO_FOUR_CC('a', 'c', 't', 'l'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlClassID, AUDIO_FOUR_CC('l', 'e', 'v', 'l'))
AUDIO_CONSTANT(UInt32, kAudioVolumeControlClassID, AUDIO_FOUR_CC('v', 'l', 'm', 'e'))
AUDIO_CONSTANT(UInt32, kAudioBooleanControlClassID, AUDIO_FOUR_CC('t', 'o', 'g', 'l'))
AUDIO_CONSTANT(UInt32, kAudioMuteControlClassID, AUDIO_FOUR_CC('m', 'u', 't', 'e'))
AUDIO_CONSTANT(UInt32, kAudioProcessClassID, AUDIO_FOUR_CC('c', 'l', 'n', 't'))
AUDIO_CONSTANT(UInt32, kAudioTapClassID, AUDIO_FOUR_CC('t', 'c', 'l', 's'))
AUDIO_CONSTANT(UInt32, kAudioAggregateDeviceClassID, AUDIO_FOUR_CC('a', 'a', 'g', 'g'))

// ---- transport types and terminal types ------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeUnknown, 0)
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeBuiltIn, AUDIO_FOUR_CC('b', 'l', 't', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeAggregate, AUDIO_FOUR_CC('g', 'r', 'u', 'p'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeAutoAggregate, AUDIO_FOUR_CC('f', 'g', 'r', 'p'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeVirtual, AUDIO_FOUR_CC('v', 'i', 'r', 't'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeUSB, AUDIO_FOUR_CC('u', 's', 'b', ' '))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeBluetooth, AUDIO_FOUR_CC('b', 'l', 'u', 'e'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypeBluetoothLE, AUDIO_FOUR_CC('b', 'l', 'e', 'a'))
AUDIO_CONSTANT(UInt32, kAudioDeviceTransportTypePCI, AUDIO_FOUR_CC('p', 'c', 'i', ' '))

AUDIO_CONSTANT(UInt32, kAudioStreamTerminalTypeMicrophone, AUDIO_FOUR_CC('m', 'i', 'c', 'r'))
AUDIO_CONSTANT(UInt32, kAudioStreamTerminalTypeSpeaker, AUDIO_FOUR_CC('s', 'p', 'k', 'r'))
AUDIO_CONSTANT(UInt32, kAudioStreamTerminalTypeLine, AUDIO_FOUR_CC('l', 'i', 'n', 'e'))

// ---- selectors every object answers ----------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyBaseClass, AUDIO_FOUR_CC('b', 'c', 'l', 's'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyClass, AUDIO_FOUR_CC('c', 'l', 'a', 's'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyOwner, AUDIO_FOUR_CC('s', 't', 'd', 'v'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyOwnedObjects, AUDIO_FOUR_CC('o', 'w', 'n', 'd'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyName, AUDIO_FOUR_CC('l', 'n', 'a', 'm'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyModelName, AUDIO_FOUR_CC('l', 'm', 'o', 'd'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyManufacturer, AUDIO_FOUR_CC('l', 'm', 'a', 'k'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyElementName, AUDIO_FOUR_CC('l', 'c', 'h', 'n'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyCustomPropertyInfoList, AUDIO_FOUR_CC('c', 'u', 's', 't'))

// ---- system object ---------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyDevices, AUDIO_FOUR_CC('d', 'e', 'v', '#'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyDefaultInputDevice, AUDIO_FOUR_CC('d', 'I', 'n', ' '))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyDefaultOutputDevice, AUDIO_FOUR_CC('d', 'O', 'u', 't'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyDefaultSystemOutputDevice, AUDIO_FOUR_CC('s', 'O', 'u', 't'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyTranslateUIDToDevice, AUDIO_FOUR_CC('u', 'i', 'd', 'd'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyPlugInList, AUDIO_FOUR_CC('p', 'l', 'g', '#'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyTranslateBundleIDToPlugIn, AUDIO_FOUR_CC('b', 'i', 'd', 'p'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyProcessObjectList, AUDIO_FOUR_CC('p', 'r', 's', '#'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyTranslatePIDToProcessObject, AUDIO_FOUR_CC('i', 'd', '2', 'p'))
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyTapList, AUDIO_FOUR_CC('t', 'p', '#', ' '))
// Notification only: fired by the client library once a server answers again after
// its server went away.
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyServiceRestarted, AUDIO_FOUR_CC('s', 'r', 's', 't'))
// UInt64: an id of the running server process, different for every start of the server.
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyServerInstance, AUDIO_FOUR_CC('s', 'i', 'n', 's'))
// CFString: the folders the running server loaded its plug-ins from, colon-separated, so that a
// program started without the server's environment looks where the server does.
AUDIO_CONSTANT(UInt32, kAudioHardwarePropertyPlugInSearchPath, AUDIO_FOUR_CC('p', 'p', 't', 'h'))

// ---- plug-in objects -------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyBoxList, AUDIO_FOUR_CC('b', 'o', 'x', '#'))
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyClockDeviceList, AUDIO_FOUR_CC('c', 'l', 'k', '#'))
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyTranslateUIDToDevice, AUDIO_FOUR_CC('u', 'i', 'd', 'd'))
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyResourceBundle, AUDIO_FOUR_CC('p', 'i', 'i', 'd'))
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyDeviceList, AUDIO_FOUR_CC('d', 'e', 'v', '#'))
// Answered by the server, not the plug-in: the text value of the key named by the qualifier
// (a string) in the Info.plist of the bundle as it was loaded; an unknown-property error
// when that value is missing or not text.
AUDIO_CONSTANT(UInt32, kAudioPlugInPropertyLoadedBundleInfoValue, AUDIO_FOUR_CC('p', 'i', 'n', 'f'))

// ---- devices ---------------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceUID, AUDIO_FOUR_CC('u', 'i', 'd', ' '))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyModelUID, AUDIO_FOUR_CC('m', 'u', 'i', 'd'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyTransportType, AUDIO_FOUR_CC('t', 'r', 'a', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyRelatedDevices, AUDIO_FOUR_CC('a', 'k', 'i', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyClockAlgorithm, AUDIO_FOUR_CC('c', 'l', 'o', 'k'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyClockDomain, AUDIO_FOUR_CC('c', 'l', 'k', 'd'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyClockIsStable, AUDIO_FOUR_CC('c', 's', 't', 'b'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceIsAlive, AUDIO_FOUR_CC('l', 'i', 'v', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceIsRunning, AUDIO_FOUR_CC('g', 'o', 'i', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceIsRunningSomewhere, AUDIO_FOUR_CC('g', 'o', 'n', 'e'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceCanBeDefaultDevice, AUDIO_FOUR_CC('d', 'f', 'l', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, AUDIO_FOUR_CC('s', 'f', 'l', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyIsHidden, AUDIO_FOUR_CC('h', 'i', 'd', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyLatency, AUDIO_FOUR_CC('l', 't', 'n', 'c'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertySafetyOffset, AUDIO_FOUR_CC('s', 'a', 'f', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyStreams, AUDIO_FOUR_CC('s', 't', 'm', '#'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyStreamConfiguration, AUDIO_FOUR_CC('s', 'l', 'a', 'y'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyStreamFormat, AUDIO_FOUR_CC('s', 'f', 'm', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyNominalSampleRate, AUDIO_FOUR_CC('n', 's', 'r', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyAvailableNominalSampleRates, AUDIO_FOUR_CC('n', 's', 'r', '#'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyActualSampleRate, AUDIO_FOUR_CC('a', 's', 'r', 't'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyBufferFrameSize, AUDIO_FOUR_CC('f', 's', 'i', 'z'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyBufferFrameSizeRange, AUDIO_FOUR_CC('f', 's', 'z', '#'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyZeroTimeStampPeriod, AUDIO_FOUR_CC('r', 'i', 'n', 'g'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyIcon, AUDIO_FOUR_CC('i', 'c', 'o', 'n'))
AUDIO_CONSTANT(UInt32, kAudioDevicePropertyPreferredChannelsForStereo, AUDIO_FOUR_CC('d', 'c', 'h', '2'))
AUDIO_CONSTANT(UInt32, kAudioObjectPropertyControlList, AUDIO_FOUR_CC('c', 't', 'r', 'l'))

// ---- streams ---------------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyDirection, AUDIO_FOUR_CC('s', 'd', 'i', 'r'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyTerminalType, AUDIO_FOUR_CC('t', 'e', 'r', 'm'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyStartingChannel, AUDIO_FOUR_CC('s', 'c', 'h', 'n'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyIsActive, AUDIO_FOUR_CC('s', 'a', 'c', 't'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyLatency, AUDIO_FOUR_CC('l', 't', 'n', 'c'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyVirtualFormat, AUDIO_FOUR_CC('s', 'f', 'm', 't'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyPhysicalFormat, AUDIO_FOUR_CC('p', 'f', 't', ' '))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyAvailableVirtualFormats, AUDIO_FOUR_CC('s', 'f', 'm', 'a'))
AUDIO_CONSTANT(UInt32, kAudioStreamPropertyAvailablePhysicalFormats, AUDIO_FOUR_CC('p', 'f', 't', 'a'))

// ---- controls --------------------------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioControlPropertyScope, AUDIO_FOUR_CC('c', 's', 'c', 'p'))
AUDIO_CONSTANT(UInt32, kAudioControlPropertyElement, AUDIO_FOUR_CC('c', 'e', 'l', 'm'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlPropertyScalarValue, AUDIO_FOUR_CC('l', 'c', 's', 'v'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlPropertyDecibelValue, AUDIO_FOUR_CC('l', 'c', 'd', 'v'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlPropertyDecibelRange, AUDIO_FOUR_CC('l', 'c', 'd', 'r'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlPropertyConvertScalarToDecibels, AUDIO_FOUR_CC('l', 'c', 's', 'd'))
AUDIO_CONSTANT(UInt32, kAudioLevelControlPropertyConvertDecibelsToScalar, AUDIO_FOUR_CC('l', 'c', 'd', 's'))
AUDIO_CONSTANT(UInt32, kAudioBooleanControlPropertyValue, AUDIO_FOUR_CC('b', 'c', 'v', 'l'))

// ---- process objects and taps ----------------------------------------------------------
AUDIO_CONSTANT(UInt32, kAudioProcessPropertyPID, AUDIO_FOUR_CC('p', 'p', 'i', 'd'))
AUDIO_CONSTANT(UInt32, kAudioProcessPropertyBundleID, AUDIO_FOUR_CC('p', 'b', 'i', 'd'))
AUDIO_CONSTANT(UInt32, kAudioProcessPropertyIsRunning, AUDIO_FOUR_CC('p', 'i', 'r', '?'))
AUDIO_CONSTANT(UInt32, kAudioTapPropertyUID, AUDIO_FOUR_CC('t', 'u', 'i', 'd'))
AUDIO_CONSTANT(UInt32, kAudioTapPropertyDescription, AUDIO_FOUR_CC('t', 'd', 's', 'c'))
AUDIO_CONSTANT(UInt32, kAudioTapPropertyFormat, AUDIO_FOUR_CC('t', 'f', 'm', 't'))

// What a tap does to its processes' own outputs.
typedef SInt32 AudioTapMuteBehavior;
// Heard at their outputs as usual.
AUDIO_CONSTANT(SInt32, kAudioTapMuteBehaviorUnmuted, 0)
// Silent at their outputs for as long as the tap exists.
AUDIO_CONSTANT(SInt32, kAudioTapMuteBehaviorMuted, 1)
// Silent at their outputs while the tap runs (an aggregate presenting it is running).
AUDIO_CONSTANT(SInt32, kAudioTapMuteBehaviorMutedWhenTapped, 2)

// ---- aggregate device description keys -------------------------------------------------
// Keys of the dictionary an aggregate device is created from (C string literals; make
// CFStrings of them). Top level:
#define kAudioAggregateDeviceNameKey "name"                // string
#define kAudioAggregateDeviceUIDKey "uid"                  // string, unique
#define kAudioAggregateDeviceMainSubDeviceKey "master"     // string: UID of the clock device
#define kAudioAggregateDeviceIsPrivateKey "private"        // boolean: only the creator sees it
#define kAudioAggregateDeviceIsStackedKey "stacked"        // boolean
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"  // boolean: taps run with its IO
#define kAudioAggregateDeviceSubDeviceListKey "subdevices"  // array of dictionaries
#define kAudioAggregateDeviceTapListKey "taps"             // array of dictionaries
// In a sub-device dictionary:
#define kAudioSubDeviceUIDKey "uid"  // string: the device's UID
// In a tap dictionary:
#define kAudioSubTapUIDKey "uid"                          // string: the tap's UUID string
#define kAudioSubTapDriftCompensationKey "drift"          // boolean

// ---- client callback types -------------------------------------------------------------
typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                                     const AudioObjectPropertyAddress* inAddresses,
                                                     void* inClientData);

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                      void* inClientData);

typedef AudioDeviceIOProc AudioDeviceIOProcID;

#ifdef __cplusplus
}  // extern "C"
#endif
