// Needs the audio client library; without it the stream library is built without these.
#if __has_include(<AudioClient/AudioHardware.h>)

#include "TidewellStream/TidewellHelperDevices.h"

#include <AudioClient/AudioHardware.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "TidewellStream/TidewellHelperRuntime.h"

namespace {

constexpr uint32_t kMaximumOutputChannels = 64;

AudioObjectPropertyAddress MainAddress(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

bool WholePositiveDecimal(const char* text, uint32_t* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t number = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(*p - '0');
        if (number > UINT32_MAX) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(number);
    return number > 0;
}

}  // namespace

uint32_t ChannelCountForDevice(AudioObjectID device, AudioObjectPropertyScope scope) {
    bool allocationFailed = false;
    return ChannelCountForDeviceChecked(device, scope, &allocationFailed);
}

uint32_t ChannelCountForDeviceChecked(AudioObjectID device, AudioObjectPropertyScope scope, bool* allocationFailed,
                                      void* (*allocate)(size_t count, size_t size)) {
    *allocationFailed = false;
    if (device == kAudioObjectUnknown) {
        return 0;
    }
    const AudioObjectPropertyAddress address = MainAddress(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != 0 ||
        size < offsetof(AudioBufferList, mBuffers)) {
        return 0;
    }
    std::unique_ptr<void, FreeDeleter> storage((allocate != nullptr ? allocate : std::calloc)(1, size));
    if (!storage) {
        *allocationFailed = true;
        return 0;
    }
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage.get()) != 0 ||
        size < offsetof(AudioBufferList, mBuffers)) {
        return 0;
    }
    const auto* list = static_cast<const AudioBufferList*>(storage.get());
    // Only the buffers the reply really holds, whatever its count says.
    const size_t held = (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    const size_t buffers = list->mNumberBuffers < held ? list->mNumberBuffers : held;
    uint32_t channels = 0;
    for (size_t i = 0; i < buffers; ++i) {
        channels += list->mBuffers[i].mNumberChannels;
    }
    return channels;
}

bool SetDeviceBufferFrameSize(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t frames) {
    const AudioObjectPropertyAddress address = MainAddress(kAudioDevicePropertyBufferFrameSize, scope);
    Boolean settable = false;
    if (AudioObjectIsPropertySettable(device, &address, &settable) != 0 || !settable) {
        return false;
    }
    const UInt32 value = frames;
    return AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof value, &value) == 0;
}

double TidewellDeviceNominalSampleRate(AudioObjectID device) {
    if (device == kAudioObjectUnknown) {
        return 0;
    }
    const AudioObjectPropertyAddress address =
        MainAddress(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate) != 0 || !(rate > 0)) {
        return 0;
    }
    return rate;
}

TidewellDeviceLookup TidewellLookUpDeviceByUID(const char* uid) {
    TidewellDeviceLookup lookup{kAudioObjectUnknown, 0, nullptr, false};
    const AudioObjectPropertyAddress devicesAddress =
        MainAddress(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
    UInt32 size = 0;
    lookup.status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size);
    if (lookup.status != 0) {
        lookup.failedCall = "AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices)";
        return lookup;
    }
    std::unique_ptr<void, FreeDeleter> storage(std::malloc(size > 0 ? size : 1));
    if (!storage) {
        lookup.allocationFailed = true;
        return lookup;
    }
    lookup.status =
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size, storage.get());
    if (lookup.status != 0) {
        lookup.failedCall = "AudioObjectGetPropertyData(kAudioHardwarePropertyDevices)";
        return lookup;
    }
    const auto* devices = static_cast<const AudioObjectID*>(storage.get());
    const size_t count = size / sizeof(AudioObjectID);

    CFStringRef wanted = uid != nullptr ? CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8) : nullptr;
    const AudioObjectPropertyAddress uidAddress =
        MainAddress(kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal);
    for (size_t i = 0; i < count && wanted != nullptr && lookup.device == kAudioObjectUnknown; ++i) {
        CFStringRef deviceUID = nullptr;
        UInt32 uidSize = sizeof deviceUID;
        if (AudioObjectGetPropertyData(devices[i], &uidAddress, 0, nullptr, &uidSize, &deviceUID) != 0 ||
            deviceUID == nullptr) {
            continue;
        }
        if (CFStringCompare(deviceUID, wanted, 0) == kCFCompareEqualTo) {
            lookup.device = devices[i];
        }
        CFRelease(deviceUID);
    }
    if (wanted != nullptr) {
        CFRelease(wanted);
    }
    return lookup;
}

AudioObjectID FindDeviceByUID(const char* uid) {
    const TidewellDeviceLookup lookup = TidewellLookUpDeviceByUID(uid);
    if (lookup.failedCall != nullptr) {
        Check(lookup.status, lookup.failedCall);
    }
    if (lookup.allocationFailed) {
        std::fputs("Could not allocate device list.\n", stderr);
        std::exit(1);
    }
    if (lookup.device == kAudioObjectUnknown) {
        std::fprintf(stderr, "Audio device UID %s is not registered with Core Audio.\n", uid != nullptr ? uid : "");
        std::exit(1);
    }
    return lookup.device;
}

uint32_t ResolveOutputChannelCount(const char* variableName, AudioObjectID device) {
    uint32_t channels = 0;
    if (!WholePositiveDecimal(variableName != nullptr ? std::getenv(variableName) : nullptr, &channels)) {
        channels = ChannelCountForDevice(device, kAudioObjectPropertyScopeOutput);
    }
    if (channels == 0) {
        return 2;
    }
    return channels > kMaximumOutputChannels ? kMaximumOutputChannels : channels;
}

OSStatus ServiceRestartedListener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    std::fputs("Core Audio server restarted; exiting to reattach cleanly.\n", stderr);
    gStopRequested.store(1, std::memory_order_relaxed);
    return 0;
}

void InstallServiceRestartedListener() {
    const AudioObjectPropertyAddress address =
        MainAddress(kAudioHardwarePropertyServiceRestarted, kAudioObjectPropertyScopeGlobal);
    AudioObjectAddPropertyListener(kAudioObjectSystemObject, &address, ServiceRestartedListener, nullptr);
}

#endif
