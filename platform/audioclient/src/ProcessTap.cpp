// Process taps and aggregate devices: the description's initialisers, and the create and
// destroy calls.
#include <AudioClient/AudioHardware.h>

#include <utility>

namespace {

std::string FreshUUIDString() {
    CFUUIDRef uuid = CFUUIDCreate(nullptr);
    CFStringRef text = CFUUIDCreateString(nullptr, uuid);
    CFRelease(uuid);
    char buf[64] = {};
    CFStringGetCString(text, buf, sizeof(buf), kCFStringEncodingUTF8);
    CFRelease(text);
    return buf;
}

}  // namespace

AudioTapDescription AudioTapDescription::StereoMixdownOfProcesses(std::vector<AudioObjectID> processes) {
    AudioTapDescription d;
    d.uuid = FreshUUIDString();
    d.processes = std::move(processes);
    return d;
}

AudioTapDescription AudioTapDescription::StereoGlobalTapExcludingProcesses(std::vector<AudioObjectID> excluded) {
    AudioTapDescription d = StereoMixdownOfProcesses(std::move(excluded));
    d.exclusive = true;
    return d;
}

OSStatus AudioHardwareCreateProcessTap(const AudioTapDescription* inDescription, AudioObjectID* outTapID) {
    if (!inDescription || !outTapID) return kAudio_ParamError;
    *outTapID = kAudioObjectUnknown;
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID) { return kAudioHardwareUnsupportedOperationError; }

extern "C" {

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID) {
    if (!inDescription || !outDeviceID) return kAudio_ParamError;
    *outDeviceID = kAudioObjectUnknown;
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID) { return kAudioHardwareUnsupportedOperationError; }

}  // extern "C"
