// Status codes, well-known objects, scopes, elements, property selectors, class ids and
// transport types of the audio platform. Where the system quotes a four-character code it
// is used as is; the other codes are ours and are kept in this one header.
#pragma once

#include <AudioABI/AudioTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- status codes -------------------------------------------------------------------
enum {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = AUDIO_FOUR_CC('s', 't', 'o', 'p'),
    kAudioHardwareUnspecifiedError = AUDIO_FOUR_CC('w', 'h', 'a', 't'),
    kAudioHardwareUnknownPropertyError = AUDIO_FOUR_CC('w', 'h', 'o', '?'),
    kAudioHardwareBadPropertySizeError = AUDIO_FOUR_CC('!', 's', 'i', 'z'),
    kAudioHardwareIllegalOperationError = AUDIO_FOUR_CC('n', 'o', 'p', 'e'),
    kAudioHardwareBadObjectError = AUDIO_FOUR_CC('!', 'o', 'b', 'j'),
    kAudioHardwareBadDeviceError = AUDIO_FOUR_CC('!', 'd', 'e', 'v'),
    kAudioHardwareBadStreamError = AUDIO_FOUR_CC('!', 's', 't', 'r'),
    kAudioHardwareUnsupportedOperationError = AUDIO_FOUR_CC('u', 'n', 'o', 'p'),
    kAudioHardwareNotReadyError = AUDIO_FOUR_CC('n', 'r', 'd', 'y'),
    kAudioDeviceUnsupportedFormatError = AUDIO_FOUR_CC('!', 'd', 'a', 't'),
    kAudioDevicePermissionsError = AUDIO_FOUR_CC('!', 'h', 'o', 'g'),
    kAudio_ParamError = -50,
    kAudio_MemFullError = -108,
};

// COM-style results of the plug-in interface's QueryInterface.
#define AUDIO_E_NOINTERFACE ((SInt32)0x80000004u)
#define AUDIO_E_POINTER ((SInt32)0x80000005u)

// ---- objects, scopes, elements --------------------------------------------------------
enum {
    kAudioObjectUnknown = 0,
    kAudioObjectSystemObject = 1,
};

enum {
    kAudioObjectPropertyScopeGlobal = AUDIO_FOUR_CC('g', 'l', 'o', 'b'),
    kAudioObjectPropertyScopeInput = AUDIO_FOUR_CC('i', 'n', 'p', 't'),
    kAudioObjectPropertyScopeOutput = AUDIO_FOUR_CC('o', 'u', 't', 'p'),
    kAudioObjectPropertyScopePlayThrough = AUDIO_FOUR_CC('p', 't', 'r', 'u'),
    kAudioObjectPropertyScopeWildcard = AUDIO_FOUR_CC('*', '*', '*', '*'),
    kAudioObjectPropertySelectorWildcard = AUDIO_FOUR_CC('*', '*', '*', '*'),
    kAudioObjectClassIDWildcard = AUDIO_FOUR_CC('*', '*', '*', '*'),
};

enum {
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFFu,
};

// ---- class ids -----------------------------------------------------------------------
enum {
    kAudioObjectClassID = AUDIO_FOUR_CC('a', 'o', 'b', 'j'),
    kAudioSystemObjectClassID = AUDIO_FOUR_CC('a', 's', 'y', 's'),
    kAudioPlugInClassID = AUDIO_FOUR_CC('a', 'p', 'l', 'g'),
    kAudioDeviceClassID = AUDIO_FOUR_CC('a', 'd', 'e', 'v'),
    kAudioStreamClassID = AUDIO_FOUR_CC('a', 's', 't', 'r'),
    kAudioControlClassID = AUDIO_FOUR_CC('a', 'c', 't', 'l'),
    kAudioLevelControlClassID = AUDIO_FOUR_CC('l', 'e', 'v', 'l'),
    kAudioVolumeControlClassID = AUDIO_FOUR_CC('v', 'l', 'm', 'e'),
    kAudioBooleanControlClassID = AUDIO_FOUR_CC('t', 'o', 'g', 'l'),
    kAudioMuteControlClassID = AUDIO_FOUR_CC('m', 'u', 't', 'e'),
    kAudioProcessClassID = AUDIO_FOUR_CC('c', 'l', 'n', 't'),
    kAudioTapClassID = AUDIO_FOUR_CC('t', 'c', 'l', 's'),
    kAudioAggregateDeviceClassID = AUDIO_FOUR_CC('a', 'a', 'g', 'g'),
};

// ---- transport types and terminal types ------------------------------------------------
enum {
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = AUDIO_FOUR_CC('b', 'l', 't', 'n'),
    kAudioDeviceTransportTypeAggregate = AUDIO_FOUR_CC('g', 'r', 'u', 'p'),
    kAudioDeviceTransportTypeAutoAggregate = AUDIO_FOUR_CC('f', 'g', 'r', 'p'),
    kAudioDeviceTransportTypeVirtual = AUDIO_FOUR_CC('v', 'i', 'r', 't'),
    kAudioDeviceTransportTypeUSB = AUDIO_FOUR_CC('u', 's', 'b', ' '),
    kAudioDeviceTransportTypeBluetooth = AUDIO_FOUR_CC('b', 'l', 'u', 'e'),
    kAudioDeviceTransportTypeBluetoothLE = AUDIO_FOUR_CC('b', 'l', 'e', 'a'),
    kAudioDeviceTransportTypePCI = AUDIO_FOUR_CC('p', 'c', 'i', ' '),
};

enum {
    kAudioStreamTerminalTypeMicrophone = AUDIO_FOUR_CC('m', 'i', 'c', 'r'),
    kAudioStreamTerminalTypeSpeaker = AUDIO_FOUR_CC('s', 'p', 'k', 'r'),
    kAudioStreamTerminalTypeLine = AUDIO_FOUR_CC('l', 'i', 'n', 'e'),
};

// ---- selectors every object answers ----------------------------------------------------
enum {
    kAudioObjectPropertyBaseClass = AUDIO_FOUR_CC('b', 'c', 'l', 's'),
    kAudioObjectPropertyClass = AUDIO_FOUR_CC('c', 'l', 'a', 's'),
    kAudioObjectPropertyOwner = AUDIO_FOUR_CC('s', 't', 'd', 'v'),
    kAudioObjectPropertyOwnedObjects = AUDIO_FOUR_CC('o', 'w', 'n', 'd'),
    kAudioObjectPropertyName = AUDIO_FOUR_CC('l', 'n', 'a', 'm'),
    kAudioObjectPropertyModelName = AUDIO_FOUR_CC('l', 'm', 'o', 'd'),
    kAudioObjectPropertyManufacturer = AUDIO_FOUR_CC('l', 'm', 'a', 'k'),
    kAudioObjectPropertyElementName = AUDIO_FOUR_CC('l', 'c', 'h', 'n'),
    kAudioObjectPropertyCustomPropertyInfoList = AUDIO_FOUR_CC('c', 'u', 's', 't'),
};

// ---- system object ---------------------------------------------------------------------
enum {
    kAudioHardwarePropertyDevices = AUDIO_FOUR_CC('d', 'e', 'v', '#'),
    kAudioHardwarePropertyDefaultInputDevice = AUDIO_FOUR_CC('d', 'I', 'n', ' '),
    kAudioHardwarePropertyDefaultOutputDevice = AUDIO_FOUR_CC('d', 'O', 'u', 't'),
    kAudioHardwarePropertyDefaultSystemOutputDevice = AUDIO_FOUR_CC('s', 'O', 'u', 't'),
    kAudioHardwarePropertyTranslateUIDToDevice = AUDIO_FOUR_CC('u', 'i', 'd', 'd'),
    kAudioHardwarePropertyPlugInList = AUDIO_FOUR_CC('p', 'l', 'g', '#'),
    kAudioHardwarePropertyTranslateBundleIDToPlugIn = AUDIO_FOUR_CC('b', 'i', 'd', 'p'),
    kAudioHardwarePropertyProcessObjectList = AUDIO_FOUR_CC('p', 'r', 's', '#'),
    kAudioHardwarePropertyTranslatePIDToProcessObject = AUDIO_FOUR_CC('i', 'd', '2', 'p'),
    kAudioHardwarePropertyTapList = AUDIO_FOUR_CC('t', 'p', '#', ' '),
    // Notification only: fired by the client library once a server answers again after
    // its server went away.
    kAudioHardwarePropertyServiceRestarted = AUDIO_FOUR_CC('s', 'r', 's', 't'),
};

// ---- plug-in objects -------------------------------------------------------------------
enum {
    kAudioPlugInPropertyBoxList = AUDIO_FOUR_CC('b', 'o', 'x', '#'),
    kAudioPlugInPropertyClockDeviceList = AUDIO_FOUR_CC('c', 'l', 'k', '#'),
    kAudioPlugInPropertyTranslateUIDToDevice = AUDIO_FOUR_CC('u', 'i', 'd', 'd'),
    kAudioPlugInPropertyResourceBundle = AUDIO_FOUR_CC('p', 'i', 'i', 'd'),
    kAudioPlugInPropertyDeviceList = AUDIO_FOUR_CC('d', 'e', 'v', '#'),
};

// ---- devices ---------------------------------------------------------------------------
enum {
    kAudioDevicePropertyDeviceUID = AUDIO_FOUR_CC('u', 'i', 'd', ' '),
    kAudioDevicePropertyModelUID = AUDIO_FOUR_CC('m', 'u', 'i', 'd'),
    kAudioDevicePropertyTransportType = AUDIO_FOUR_CC('t', 'r', 'a', 'n'),
    kAudioDevicePropertyRelatedDevices = AUDIO_FOUR_CC('a', 'k', 'i', 'n'),
    kAudioDevicePropertyClockAlgorithm = AUDIO_FOUR_CC('c', 'l', 'o', 'k'),
    kAudioDevicePropertyClockDomain = AUDIO_FOUR_CC('c', 'l', 'k', 'd'),
    kAudioDevicePropertyClockIsStable = AUDIO_FOUR_CC('c', 's', 't', 'b'),
    kAudioDevicePropertyDeviceIsAlive = AUDIO_FOUR_CC('l', 'i', 'v', 'n'),
    kAudioDevicePropertyDeviceIsRunning = AUDIO_FOUR_CC('g', 'o', 'i', 'n'),
    kAudioDevicePropertyDeviceIsRunningSomewhere = AUDIO_FOUR_CC('g', 'o', 'n', 'e'),
    kAudioDevicePropertyDeviceCanBeDefaultDevice = AUDIO_FOUR_CC('d', 'f', 'l', 't'),
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = AUDIO_FOUR_CC('s', 'f', 'l', 't'),
    kAudioDevicePropertyIsHidden = AUDIO_FOUR_CC('h', 'i', 'd', 'n'),
    kAudioDevicePropertyLatency = AUDIO_FOUR_CC('l', 't', 'n', 'c'),
    kAudioDevicePropertySafetyOffset = AUDIO_FOUR_CC('s', 'a', 'f', 't'),
    kAudioDevicePropertyStreams = AUDIO_FOUR_CC('s', 't', 'm', '#'),
    kAudioDevicePropertyStreamConfiguration = AUDIO_FOUR_CC('s', 'l', 'a', 'y'),
    kAudioDevicePropertyStreamFormat = AUDIO_FOUR_CC('s', 'f', 'm', 't'),
    kAudioDevicePropertyNominalSampleRate = AUDIO_FOUR_CC('n', 's', 'r', 't'),
    kAudioDevicePropertyAvailableNominalSampleRates = AUDIO_FOUR_CC('n', 's', 'r', '#'),
    kAudioDevicePropertyActualSampleRate = AUDIO_FOUR_CC('a', 's', 'r', 't'),
    kAudioDevicePropertyBufferFrameSize = AUDIO_FOUR_CC('f', 's', 'i', 'z'),
    kAudioDevicePropertyBufferFrameSizeRange = AUDIO_FOUR_CC('f', 's', 'z', '#'),
    kAudioDevicePropertyZeroTimeStampPeriod = AUDIO_FOUR_CC('r', 'i', 'n', 'g'),
    kAudioDevicePropertyIcon = AUDIO_FOUR_CC('i', 'c', 'o', 'n'),
    kAudioDevicePropertyPreferredChannelsForStereo = AUDIO_FOUR_CC('d', 'c', 'h', '2'),
    kAudioObjectPropertyControlList = AUDIO_FOUR_CC('c', 't', 'r', 'l'),
};

// ---- streams ---------------------------------------------------------------------------
enum {
    kAudioStreamPropertyDirection = AUDIO_FOUR_CC('s', 'd', 'i', 'r'),
    kAudioStreamPropertyTerminalType = AUDIO_FOUR_CC('t', 'e', 'r', 'm'),
    kAudioStreamPropertyStartingChannel = AUDIO_FOUR_CC('s', 'c', 'h', 'n'),
    kAudioStreamPropertyIsActive = AUDIO_FOUR_CC('s', 'a', 'c', 't'),
    kAudioStreamPropertyLatency = AUDIO_FOUR_CC('l', 't', 'n', 'c'),
    kAudioStreamPropertyVirtualFormat = AUDIO_FOUR_CC('s', 'f', 'm', 't'),
    kAudioStreamPropertyPhysicalFormat = AUDIO_FOUR_CC('p', 'f', 't', ' '),
    kAudioStreamPropertyAvailableVirtualFormats = AUDIO_FOUR_CC('s', 'f', 'm', 'a'),
    kAudioStreamPropertyAvailablePhysicalFormats = AUDIO_FOUR_CC('p', 'f', 't', 'a'),
};

// ---- controls --------------------------------------------------------------------------
enum {
    kAudioControlPropertyScope = AUDIO_FOUR_CC('c', 's', 'c', 'p'),
    kAudioControlPropertyElement = AUDIO_FOUR_CC('c', 'e', 'l', 'm'),
    kAudioLevelControlPropertyScalarValue = AUDIO_FOUR_CC('l', 'c', 's', 'v'),
    kAudioLevelControlPropertyDecibelValue = AUDIO_FOUR_CC('l', 'c', 'd', 'v'),
    kAudioLevelControlPropertyDecibelRange = AUDIO_FOUR_CC('l', 'c', 'd', 'r'),
    kAudioLevelControlPropertyConvertScalarToDecibels = AUDIO_FOUR_CC('l', 'c', 's', 'd'),
    kAudioLevelControlPropertyConvertDecibelsToScalar = AUDIO_FOUR_CC('l', 'c', 'd', 's'),
    kAudioBooleanControlPropertyValue = AUDIO_FOUR_CC('b', 'c', 'v', 'l'),
};

// ---- process objects and taps ----------------------------------------------------------
enum {
    kAudioProcessPropertyPID = AUDIO_FOUR_CC('p', 'p', 'i', 'd'),
    kAudioProcessPropertyBundleID = AUDIO_FOUR_CC('p', 'b', 'i', 'd'),
    kAudioProcessPropertyIsRunning = AUDIO_FOUR_CC('p', 'i', 'r', '?'),
    kAudioTapPropertyUID = AUDIO_FOUR_CC('t', 'u', 'i', 'd'),
    kAudioTapPropertyDescription = AUDIO_FOUR_CC('t', 'd', 's', 'c'),
    kAudioTapPropertyFormat = AUDIO_FOUR_CC('t', 'f', 'm', 't'),
};

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
