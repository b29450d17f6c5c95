// Process taps and private aggregate devices.
//
// Usage: describe what to capture with an AudioTapDescription, either
// AudioTapDescription::StereoMixdownOfProcesses({processObject}) for one application or
// AudioTapDescription::StereoGlobalTapExcludingProcesses({own, other}) for every process
// but those (process objects come from kAudioHardwarePropertyTranslatePIDToProcessObject);
// set name, isPrivate, mono, mixdown and muteBehavior as wanted (the initialisers give a
// fresh random upper-case UUID string in `uuid`, stereo, mixdown, public, unmuted). Create
// the tap with AudioHardwareCreateProcessTap(&description, &tapID): the call follows the
// server's tap permission policy, so it may fail with kAudioHardwareTapPermissionError or
// block while a permission answer is pending. A tap delivers nothing by itself: wrap it in
// a private aggregate device created from a dictionary with the kAudioAggregateDevice*Key
// keys below (name, a fresh uid, the clock device's UID as main sub-device, private true,
// stacked false, tap auto-start true, sub-devices [{uid: clock UID}], taps [{uid: the tap's
// UUID string, drift: true}]) through AudioHardwareCreateAggregateDevice(dictionary,
// &deviceID). The aggregate's input is the tap alone (one stream, float32, the tap's one or
// two channels, interleaved); read kAudioTapPropertyFormat on the tap object for its format
// and start an IO proc on the aggregate to receive it. Destroy the aggregate, then the tap.
// Both belong to the creating process: other processes do not see them, and the server
// removes them when the creator disconnects.
#pragma once

#include <AudioABI/AudioABI.h>
#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <vector>

// What a tap captures and how. A value record; the server keeps its own copy.
struct AudioTapDescription {
    std::string name;
    // Upper-case "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"; the aggregate's tap list names the
    // tap by this string. Must be a UUID, unique among the caller's taps.
    std::string uuid;
    // The process objects captured, or with `exclusive` the ones left out.
    std::vector<AudioObjectID> processes;
    // A global tap: every process except `processes`.
    bool exclusive = false;
    bool isPrivate = false;
    // One channel instead of two.
    bool mono = false;
    // Mix every process and device down to the tap's channels (the only mode offered).
    bool mixdown = true;
    AudioTapMuteBehavior muteBehavior = kAudioTapMuteBehaviorUnmuted;

    bool operator==(const AudioTapDescription&) const = default;

    // A stereo mixdown of exactly these processes, with a fresh UUID.
    static AudioTapDescription StereoMixdownOfProcesses(std::vector<AudioObjectID> processes);
    // A stereo mixdown of every process except these, with a fresh UUID.
    static AudioTapDescription StereoGlobalTapExcludingProcesses(std::vector<AudioObjectID> excluded);
};

// Creates a tap owned by this process. Fails with kAudio_ParamError for a missing argument,
// a UUID that is not one or an unknown mute behaviour, kAudioHardwareIllegalOperationError
// for a UUID already in use, kAudioHardwareBadObjectError for an object that is not a
// process, kAudioHardwareUnsupportedOperationError without mixdown, and
// kAudioHardwareTapPermissionError when the permission policy refuses.
OSStatus AudioHardwareCreateProcessTap(const AudioTapDescription* inDescription, AudioObjectID* outTapID);
// Destroys a tap of this process (an aggregate that presents it then delivers silence);
// kAudioHardwareBadObjectError for any other id.
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

extern "C" {

// Creates an aggregate device from a description dictionary (keys in AudioABI). Fails with
// kAudio_ParamError for a missing or malformed dictionary, kAudioHardwareBadDeviceError for
// a main sub-device or sub-device UID the server does not know or refuses as a clock,
// kAudioHardwareBadObjectError for a tap UUID that is not one of this process's taps,
// kAudioHardwareIllegalOperationError for a UID in use or a tap already in an aggregate,
// and kAudioHardwareUnsupportedOperationError without taps.
OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID);
// kAudioHardwareBadDeviceError for anything but an aggregate of this process.
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);

}  // extern "C"
