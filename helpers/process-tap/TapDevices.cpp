#include "TapDevices.h"

#include <vector>

#include "TidewellStream/TidewellHelperRuntime.h"

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

namespace {

// A device-valued property of the system object; a failed read or no device prints the status line.
AudioObjectID DefaultDeviceForSelector(AudioObjectPropertySelector selector, const char* what) {
    const AudioObjectPropertyAddress address = Address(selector);
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    const OSStatus status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device);
    if (status != 0 || device == kAudioObjectUnknown) {
        PrintStatus(what, status);
        return kAudioObjectUnknown;
    }
    return device;
}

}  // namespace

AudioObjectID DefaultSystemOutputDevice() {
    return DefaultDeviceForSelector(kAudioHardwarePropertyDefaultSystemOutputDevice,
                                    "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultSystemOutputDevice)");
}

AudioObjectID DefaultOutputDevice() {
    return DefaultDeviceForSelector(kAudioHardwarePropertyDefaultOutputDevice,
                                    "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultOutputDevice)");
}

namespace {

std::string StringFromCF(CFStringRef text) {
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(capacity > 0 ? capacity : 1));
    if (!CFStringGetCString(text, buffer.data(), capacity, kCFStringEncodingUTF8)) {
        return std::string();
    }
    return std::string(buffer.data());
}

}  // namespace

std::optional<std::string> CopyDeviceUID(AudioObjectID device) {
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyDeviceUID);
    CFStringRef uid = nullptr;
    UInt32 size = sizeof uid;
    const OSStatus status = AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &uid);
    if (status != 0 || uid == nullptr) {
        PrintStatus("AudioObjectGetPropertyData(kAudioDevicePropertyDeviceUID)", status);
        return std::nullopt;
    }
    std::string text = StringFromCF(uid);
    CFRelease(uid);
    return text;
}

namespace {

bool DeviceHasOutputStreams(AudioObjectID device) {
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput);
    UInt32 size = 0;
    return AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) == 0 && size >= sizeof(AudioObjectID);
}

// What the clock choice needs to know about a device.
TidewellClockCandidate ClockCandidate(AudioObjectID device) {
    TidewellClockCandidate candidate{};
    candidate.device = device;
    if (device == kAudioObjectUnknown) {
        return candidate;
    }
    candidate.hasOutputStreams = DeviceHasOutputStreams(device);
    const AudioObjectPropertyAddress transport = Address(kAudioDevicePropertyTransportType);
    UInt32 size = sizeof candidate.transportType;
    candidate.transportReadable =
        AudioObjectGetPropertyData(device, &transport, 0, nullptr, &size, &candidate.transportType) == 0;
    const AudioObjectPropertyAddress rate = Address(kAudioDevicePropertyNominalSampleRate);
    Float64 nominal = 0;
    size = sizeof nominal;
    candidate.rateReadable = AudioObjectGetPropertyData(device, &rate, 0, nullptr, &size, &nominal) == 0;
    candidate.nominalRate = nominal;
    return candidate;
}

}  // namespace

bool IsUsableClock(AudioObjectID device) {
    return device != kAudioObjectUnknown && IsUsableClockDevice(ClockCandidate(device));
}

AudioObjectID FirstPhysicalOutput() {
    const AudioObjectPropertyAddress address = Address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) != 0) {
        return kAudioObjectUnknown;
    }
    std::vector<AudioObjectID> devices(size / sizeof(AudioObjectID) + 1);
    size = static_cast<UInt32>(devices.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, devices.data()) != 0) {
        return kAudioObjectUnknown;
    }
    devices.resize(size / sizeof(AudioObjectID));
    std::vector<TidewellClockCandidate> candidates;
    candidates.reserve(devices.size());
    for (AudioObjectID device : devices) {
        candidates.push_back(ClockCandidate(device));
    }
    const size_t index = FirstPhysicalOutputDevice(candidates.data(), candidates.size());
    return index < candidates.size() ? candidates[index].device : kAudioObjectUnknown;
}

AudioObjectID TranslatePIDToProcessObject(pid_t pid) {
    const AudioObjectPropertyAddress address = Address(kAudioHardwarePropertyTranslatePIDToProcessObject);
    const int32_t qualifier = static_cast<int32_t>(pid);
    AudioObjectID object = kAudioObjectUnknown;
    UInt32 size = sizeof object;
    const OSStatus status =
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof qualifier, &qualifier, &size, &object);
    if (status != 0) {
        PrintStatus("AudioObjectGetPropertyData(kAudioHardwarePropertyTranslatePIDToProcessObject)", status);
        return kAudioObjectUnknown;
    }
    return object;
}

// The audio server's process objects with their process ids; empty when the list cannot be read.
std::vector<TidewellTapProcess> AudioProcesses() {
    std::vector<TidewellTapProcess> processes;
    const AudioObjectPropertyAddress address = Address(kAudioHardwarePropertyProcessObjectList);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) != 0) {
        return processes;
    }
    std::vector<AudioObjectID> objects(size / sizeof(AudioObjectID) + 1);
    size = static_cast<UInt32>(objects.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, objects.data()) != 0) {
        return processes;
    }
    objects.resize(size / sizeof(AudioObjectID));
    const AudioObjectPropertyAddress pidAddress = Address(kAudioProcessPropertyPID);
    for (AudioObjectID object : objects) {
        int32_t pid = 0;
        UInt32 pidSize = sizeof pid;
        if (AudioObjectGetPropertyData(object, &pidAddress, 0, nullptr, &pidSize, &pid) == 0 && pid > 0) {
            processes.push_back({object, static_cast<pid_t>(pid)});
        }
    }
    return processes;
}

namespace {

OSStatus SilentIOProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*, void*) {
    return 0;
}

}  // namespace

void AnnounceAsAudioProcess(AudioObjectID device) {
    AudioDeviceIOProcID proc = nullptr;
    if (AudioDeviceCreateIOProcID(device, SilentIOProc, nullptr, &proc) != 0 || proc == nullptr) {
        return;
    }
    if (AudioDeviceStart(device, proc) == 0) {
        AudioDeviceStop(device, proc);
    }
    AudioDeviceDestroyIOProcID(device, proc);
}
