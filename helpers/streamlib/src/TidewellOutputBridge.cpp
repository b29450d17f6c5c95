// Needs the audio client library's unit and queues; without them the stream library is
// built without the bridge.
#if __has_include(<AudioClient/AudioToolbox.h>)

#include "TidewellStream/TidewellOutputBridge.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kDefaultBufferFrames = 1024;
constexpr uint32_t kMinimumScratchFrames = 1024;
constexpr uint32_t kMinimumDeviceFrames = 64;
constexpr uint32_t kMinimumSliceFrames = 128;
constexpr uint32_t kMinimumQueueFrames = 128;
constexpr uint32_t kMinimumRequestFrames = 32;

AudioObjectPropertyAddress MainAddress(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

void SetError(TidewellOutputBridge* bridge, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Every error text is cut to 255 characters.
void SetError(TidewellOutputBridge* bridge, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(bridge->error, sizeof bridge->error, format, args);
    va_end(args);
}

bool CheckStatus(TidewellOutputBridge* bridge, OSStatus status, const char* what) {
    if (status == 0) {
        return true;
    }
    char formatted[64];
    TidewellOutputBridgeFormatStatus(status, formatted, sizeof formatted);
    SetError(bridge, "%s failed: %s", what, formatted);
    return false;
}

uint32_t FramesOrDefault(uint32_t frames) { return frames == 0 ? kDefaultBufferFrames : frames; }

// The bridge's own device lookup: failures become the error text, never an exit.
bool FindDeviceByUID(TidewellOutputBridge* bridge, const char* uid, AudioObjectID* device) {
    *device = kAudioObjectUnknown;
    if (uid == nullptr || uid[0] == '\0') {
        const AudioObjectPropertyAddress address =
            MainAddress(kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal);
        AudioObjectID found = kAudioObjectUnknown;
        UInt32 size = sizeof found;
        if (!CheckStatus(bridge,
                         AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &found),
                         "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultOutputDevice)")) {
            return false;
        }
        if (found == kAudioObjectUnknown) {
            SetError(bridge, "No default output device is registered with Core Audio.");
            return false;
        }
        *device = found;
        return true;
    }

    const AudioObjectPropertyAddress devicesAddress =
        MainAddress(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
    UInt32 size = 0;
    if (!CheckStatus(bridge, AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size),
                     "AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices)")) {
        return false;
    }
    // An empty list simply holds no device of that UID.
    auto* devices = static_cast<AudioObjectID*>(std::malloc(size > 0 ? size : sizeof(AudioObjectID)));
    if (devices == nullptr) {
        SetError(bridge, "Could not allocate Core Audio device list.");
        return false;
    }
    if (size > 0 && !CheckStatus(bridge,
                                 AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size,
                                                            devices),
                                 "AudioObjectGetPropertyData(kAudioHardwarePropertyDevices)")) {
        std::free(devices);
        return false;
    }
    CFStringRef wanted = CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8);
    if (wanted == nullptr) {
        std::free(devices);
        SetError(bridge, "Could not create device UID string for %s.", uid);
        return false;
    }
    const AudioObjectPropertyAddress uidAddress =
        MainAddress(kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal);
    const size_t count = size / sizeof(AudioObjectID);
    for (size_t i = 0; i < count && *device == kAudioObjectUnknown; ++i) {
        CFStringRef deviceUID = nullptr;
        UInt32 uidSize = sizeof deviceUID;
        if (AudioObjectGetPropertyData(devices[i], &uidAddress, 0, nullptr, &uidSize, &deviceUID) != 0 ||
            deviceUID == nullptr) {
            continue;  // a device whose UID cannot be read is skipped
        }
        if (CFStringCompare(deviceUID, wanted, 0) == kCFCompareEqualTo) {
            *device = devices[i];
        }
        CFRelease(deviceUID);
    }
    CFRelease(wanted);
    std::free(devices);
    if (*device == kAudioObjectUnknown) {
        SetError(bridge, "Audio device UID %s is not registered with Core Audio.", uid);
        return false;
    }
    return true;
}

uint32_t ReadOutputBufferFrames(AudioObjectID device) {
    const AudioObjectPropertyAddress address =
        MainAddress(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput);
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) != 0) {
        return 0;
    }
    return frames;
}

uint64_t DevicePeriodNanos(AudioObjectID device) {
    const AudioObjectPropertyAddress address =
        MainAddress(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const uint32_t frames = ReadOutputBufferFrames(device);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate) != 0 || !(rate > 0) || frames == 0) {
        return 0;
    }
    return static_cast<uint64_t>(std::llround(frames / rate * 1e9));
}

// Asks the device for that buffer size; every failure here is silent. The change is for
// every client of the device, and only stop puts the old size back.
void RequestOutputBufferFrameSize(TidewellOutputBridge* bridge, AudioObjectID device, uint32_t frames) {
    if (frames < kMinimumRequestFrames || !ShouldRequestDeviceBufferSize()) {
        return;
    }
    const AudioObjectPropertyAddress address =
        MainAddress(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput);
    Boolean settable = 0;
    if (AudioObjectIsPropertySettable(device, &address, &settable) != 0 || !settable) {
        return;
    }
    const uint32_t previous = ReadOutputBufferFrames(device);
    if (previous == 0 || previous == frames) {
        return;
    }
    const UInt32 value = frames;
    if (AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof value, &value) != 0) {
        return;
    }
    bridge->resizedDevice = device;
    bridge->previousBufferFrames = previous;
    bridge->bufferSizeChanged = true;
}

void RestoreOutputBufferFrameSize(TidewellOutputBridge* bridge) {
    if (bridge->bufferSizeChanged && bridge->resizedDevice != kAudioObjectUnknown && bridge->previousBufferFrames != 0) {
        const AudioObjectPropertyAddress address =
            MainAddress(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput);
        const UInt32 value = bridge->previousBufferFrames;
        (void)AudioObjectSetPropertyData(bridge->resizedDevice, &address, 0, nullptr, sizeof value, &value);
    }
    bridge->resizedDevice = kAudioObjectUnknown;
    bridge->previousBufferFrames = 0;
    bridge->bufferSizeChanged = false;
}

OSStatus BridgeRenderCallback(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32,
                              UInt32 inNumberFrames, AudioBufferList* ioData) {
    // The unit stamps its slices with the time the device will play them, a cycle later than the
    // cycle itself; the rate control compares cycles as they begin, so the slice gets its cycle's
    // start (the device's own time, not the moment this thread happened to run), with the unit's
    // sample time carried over the device cycles the unit never rendered.
    auto* bridge = static_cast<TidewellOutputBridge*>(refCon);
    AudioTimeStamp running{};
    bool moved = false;
    if (time != nullptr) {
        running = *time;
        if ((time->mFlags & kAudioTimeStampSampleHostTimeValid) == kAudioTimeStampSampleHostTimeValid) {
            const uint64_t stamp = AudioConvertHostTimeToNanos(time->mHostTime);
            running.mSampleTime =
                TidewellUnitTimelineSlice(&bridge->unitTimeline, stamp, time->mSampleTime, inNumberFrames, bridge->unitRate);
            running.mHostTime = AudioConvertNanosToHostTime(TidewellUnitTimelineCycleStart(&bridge->unitTimeline, stamp));
            moved = bridge->unitTimeline.moved;
        } else {
            running.mHostTime = AudioGetCurrentHostTime();
        }
        running.mFlags |= kAudioTimeStampHostTimeValid;
    }
    const TidewellOutputBridgeRenderScope scope(time != nullptr ? &running : nullptr, moved);
    return static_cast<OSStatus>(TidewellOutputBridgeFillBufferList(bridge, ioData, inNumberFrames));
}

bool StartAudioDevice(TidewellOutputBridge* bridge, const TidewellOutputBridgeConfig* config) {
    AudioObjectID device = kAudioObjectUnknown;
    if (!FindDeviceByUID(bridge, config->deviceUID, &device)) {
        return false;
    }
    const uint32_t frames = std::max(FramesOrDefault(config->bufferFrames), kMinimumDeviceFrames);
    RequestOutputBufferFrameSize(bridge, device, frames);
    const uint32_t actual = ReadOutputBufferFrames(device);
    bridge->deviceBufferFrames = actual != 0 ? actual : frames;

    AudioDeviceIOProcID procID = nullptr;
    if (!CheckStatus(bridge, AudioDeviceCreateIOProcID(device, TidewellOutputBridgeIOProc, bridge, &procID),
                     "AudioDeviceCreateIOProcID")) {
        return false;
    }
    if (!CheckStatus(bridge, AudioDeviceStart(device, procID), "AudioDeviceStart")) {
        AudioDeviceDestroyIOProcID(device, procID);
        return false;
    }
    bridge->device = device;
    bridge->ioProcID = procID;
    bridge->activeBackend = TidewellOutputBackendAudioDevice;
    return true;
}

AudioStreamBasicDescription StreamFormat(const TidewellOutputBridgeConfig* config) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = config->sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 4 * config->channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * config->channels;
    format.mChannelsPerFrame = config->channels;
    format.mBitsPerChannel = 32;
    return format;
}

// A failed step leaves the unit in the record for the following stop to dispose of.
bool StartAudioUnit(TidewellOutputBridge* bridge, const TidewellOutputBridgeConfig* config) {
    AudioObjectID device = kAudioObjectUnknown;
    if (!FindDeviceByUID(bridge, config->deviceUID, &device)) {
        return false;
    }
    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_Output;
    description.componentSubType = kAudioUnitSubType_HALOutput;
    description.componentManufacturer = kAudioUnitManufacturer_Platform;
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) {
        SetError(bridge, "Could not find HAL Output AudioUnit component.");
        return false;
    }
    if (!CheckStatus(bridge, AudioComponentInstanceNew(component, &bridge->audioUnit),
                     "AudioComponentInstanceNew(HALOutput)")) {
        return false;
    }
    AudioUnit unit = bridge->audioUnit;
    const UInt32 enable = 1;
    if (!CheckStatus(bridge,
                     AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &enable,
                                          sizeof enable),
                     "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO output)")) {
        return false;
    }
    const UInt32 disable = 0;
    // Only noted: an output unit that cannot turn recording off still plays.
    (void)CheckStatus(bridge,
                      AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &disable,
                                           sizeof disable),
                      "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO input)");
    if (!CheckStatus(bridge,
                     AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                          &device, sizeof device),
                     "AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice)")) {
        return false;
    }
    const AudioStreamBasicDescription format = StreamFormat(config);
    if (!CheckStatus(bridge,
                     AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &format,
                                          sizeof format),
                     "AudioUnitSetProperty(kAudioUnitProperty_StreamFormat)")) {
        return false;
    }
    const UInt32 sliceFrames = std::max(FramesOrDefault(config->bufferFrames), kMinimumSliceFrames);
    if (!CheckStatus(bridge,
                     AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                                          &sliceFrames, sizeof sliceFrames),
                     "AudioUnitSetProperty(kAudioUnitProperty_MaximumFramesPerSlice)")) {
        return false;
    }
    bridge->unitRate = config->sampleRate;
    // The device's cycle as it is now; the render's stamps confirm it or learn a new one.
    bridge->unitTimeline.periodNanos = DevicePeriodNanos(device);
    AURenderCallbackStruct callback{};
    callback.inputProc = BridgeRenderCallback;
    callback.inputProcRefCon = bridge;
    if (!CheckStatus(bridge,
                     AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                                          &callback, sizeof callback),
                     "AudioUnitSetProperty(kAudioUnitProperty_SetRenderCallback)")) {
        return false;
    }
    if (!CheckStatus(bridge, AudioUnitInitialize(unit), "AudioUnitInitialize")) {
        return false;
    }
    if (!CheckStatus(bridge, AudioOutputUnitStart(unit), "AudioOutputUnitStart")) {
        return false;
    }
    bridge->deviceBufferFrames = sliceFrames;
    bridge->activeBackend = TidewellOutputBackendAudioUnit;
    return true;
}

bool StartAudioQueue(TidewellOutputBridge* bridge, const TidewellOutputBridgeConfig* config) {
    const AudioStreamBasicDescription format = StreamFormat(config);
    if (!CheckStatus(bridge,
                     AudioQueueNewOutput(&format, TidewellAudioQueueOutputCallback, bridge, nullptr, nullptr, 0,
                                         &bridge->queue),
                     "AudioQueueNewOutput")) {
        bridge->queue = nullptr;
        return false;
    }
    if (config->deviceUID != nullptr && config->deviceUID[0] != '\0') {
        CFStringRef uid = CFStringCreateWithCString(nullptr, config->deviceUID, kCFStringEncodingUTF8);
        if (uid == nullptr) {
            SetError(bridge, "Could not create device UID string for %s.", config->deviceUID);
            return false;
        }
        const OSStatus status = AudioQueueSetProperty(bridge->queue, kAudioQueueProperty_CurrentDevice, &uid, sizeof uid);
        CFRelease(uid);
        if (!CheckStatus(bridge, status, "AudioQueueSetProperty(kAudioQueueProperty_CurrentDevice)")) {
            return false;
        }
    }
    const uint32_t frames = std::max(FramesOrDefault(config->bufferFrames), kMinimumQueueFrames);
    bridge->deviceBufferFrames = frames;
    const UInt32 bufferBytes = frames * bridge->bytesPerFrame;
    const uint32_t count = AudioQueueBufferCountFromEnvironment();
    for (uint32_t i = 0; i < count; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        if (!CheckStatus(bridge, AudioQueueAllocateBuffer(bridge->queue, bufferBytes, &buffer),
                         "AudioQueueAllocateBuffer(output)")) {
            return false;
        }
        bridge->queueBuffers[i] = buffer;
        bridge->queueBufferCount = i + 1;
        TidewellAudioQueueOutputCallback(bridge, bridge->queue, buffer);
    }
    if (!CheckStatus(bridge, AudioQueueStart(bridge->queue, nullptr), "AudioQueueStart(output)")) {
        return false;
    }
    bridge->activeBackend = TidewellOutputBackendAudioQueue;
    return true;
}

void CopyText(char* destination, const char* source) {
    std::snprintf(destination, sizeof(TidewellOutputBridge::error), "%s", source);
}

}  // namespace

bool TidewellOutputBridgeStart(TidewellOutputBridge* bridge, const TidewellOutputBridgeConfig* config) {
    if (bridge == nullptr || config == nullptr) {
        return false;
    }
    std::memset(bridge, 0, sizeof *bridge);
    bridge->requestedBackend = config->backend;
    bridge->channels = config->channels;
    bridge->bytesPerFrame = 4 * config->channels;
    bridge->render = config->render;
    bridge->context = config->context;

    if (!(config->sampleRate > 0) || config->channels == 0 || config->render == nullptr) {
        SetError(bridge, "Invalid output bridge configuration.");
        return false;
    }
    bridge->scratchFrames = std::max(FramesOrDefault(config->bufferFrames), kMinimumScratchFrames);
    bridge->scratch =
        static_cast<float*>(std::calloc(static_cast<size_t>(bridge->scratchFrames) * config->channels, sizeof(float)));
    if (bridge->scratch == nullptr) {
        bridge->scratchFrames = 0;
        SetError(bridge, "Could not allocate output bridge scratch buffer.");
        return false;
    }

    const TidewellOutputBackend backend = config->backend;
    char deviceError[sizeof bridge->error] = "";
    char unitError[sizeof bridge->error] = "";
    bool deviceFailed = false;
    bool unitTried = false;
    bool unitFailed = false;

    if (backend == TidewellOutputBackendAudioDevice) {
        if (StartAudioDevice(bridge, config)) {
            return true;
        }
        CopyText(deviceError, bridge->error);
        deviceFailed = true;
        TidewellOutputBridgeStop(bridge);
    }
    if (backend == TidewellOutputBackendDefault || backend == TidewellOutputBackendAudioUnit) {
        unitTried = true;
        if (StartAudioUnit(bridge, config)) {
            return true;
        }
        CopyText(unitError, bridge->error);
        unitFailed = true;
        TidewellOutputBridgeStop(bridge);
    }
    const bool queueTried = backend == TidewellOutputBackendDefault || backend == TidewellOutputBackendAudioQueue ||
                            config->allowFallback;
    if (queueTried) {
        bridge->error[0] = '\0';
        if (StartAudioQueue(bridge, config)) {
            if (config->log != nullptr) {
                if (deviceFailed) {
                    std::fprintf(config->log, "Fell back to AudioQueue output bridge after AudioDevice setup failed: %s\n",
                                 deviceError);
                } else if (unitTried && unitFailed) {
                    std::fprintf(config->log, "Fell back to AudioQueue output bridge after AudioUnit setup failed: %s\n",
                                 unitError);
                }
                std::fflush(config->log);
            }
            return true;
        }
        char queueError[sizeof bridge->error];
        CopyText(queueError, bridge->error);
        if (deviceFailed) {
            SetError(bridge, "AudioDevice failed: %s; AudioQueue failed: %s", deviceError, queueError);
        } else if (unitFailed) {
            SetError(bridge, "AudioUnit failed: %s; AudioQueue failed: %s", unitError, queueError);
        }
    } else if (deviceFailed) {
        CopyText(bridge->error, deviceError);
    } else if (unitFailed) {
        CopyText(bridge->error, unitError);
    }
    TidewellOutputBridgeStop(bridge);
    return false;
}

void TidewellOutputBridgeStop(TidewellOutputBridge* bridge) {
    if (bridge == nullptr) {
        return;
    }
    if (bridge->queue != nullptr) {
        AudioQueueStop(bridge->queue, true);
        AudioQueueDispose(bridge->queue, true);
        bridge->queue = nullptr;
    }
    for (auto& buffer : bridge->queueBuffers) {
        buffer = nullptr;
    }
    bridge->queueBufferCount = 0;
    if (bridge->audioUnit != nullptr) {
        AudioOutputUnitStop(bridge->audioUnit);
        AudioUnitUninitialize(bridge->audioUnit);
        AudioComponentInstanceDispose(bridge->audioUnit);
        bridge->audioUnit = nullptr;
    }
    if (bridge->ioProcID != nullptr) {
        AudioDeviceStop(bridge->device, bridge->ioProcID);
        AudioDeviceDestroyIOProcID(bridge->device, bridge->ioProcID);
        bridge->ioProcID = nullptr;
        bridge->device = kAudioObjectUnknown;
    }
    RestoreOutputBufferFrameSize(bridge);
    std::free(bridge->scratch);
    bridge->scratch = nullptr;
    bridge->scratchFrames = 0;
    bridge->activeBackend = TidewellOutputBackendDefault;
}

const char* TidewellOutputBridgeError(const TidewellOutputBridge* bridge) {
    if (bridge == nullptr || bridge->error[0] == '\0') {
        return "Unknown output bridge error.";
    }
    return bridge->error;
}

#endif
