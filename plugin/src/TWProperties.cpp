// The five property operations. One table (TWPropertySize) decides whether a property
// exists on an object and how large its value is; TWDriver_GetPropertyData fills it.

#include <TidewellHAL/TWDriver.h>

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

#include <cmath>
#include <cstring>

namespace {

constexpr Float64 kTWDecibelMinimum = -96.0;
constexpr Float64 kTWDecibelMaximum = static_cast<Float64>(6.02f);

AudioClassID TWClassForObject(const TWObjectRef& ref) {
    switch (ref.kind) {
        case kTWObjectPlugIn: return kAudioPlugInClassID;
        case kTWObjectDevice: return kAudioDeviceClassID;
        case kTWObjectStream: return kAudioStreamClassID;
        case kTWObjectVolumeControl: return kAudioVolumeControlClassID;
        case kTWObjectMuteControl: return kAudioMuteControlClassID;
        default: return 0;
    }
}

AudioClassID TWBaseClassForObject(const TWObjectRef& ref) {
    switch (ref.kind) {
        case kTWObjectVolumeControl: return kAudioLevelControlClassID;
        case kTWObjectMuteControl: return kAudioBooleanControlClassID;
        default: return kAudioObjectClassID;
    }
}

bool TWObjectMatchesClassQualifier(AudioClassID cls, AudioClassID base, UInt32 qualifierSize,
                                   const void* qualifierData) {
    if (qualifierSize == 0 || qualifierData == nullptr) return true;
    if (qualifierSize % 4 != 0) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(qualifierData);
    for (UInt32 i = 0; i < qualifierSize; i += 4) {
        AudioClassID wanted;
        std::memcpy(&wanted, bytes + i, 4);
        if (wanted == kAudioObjectClassID || wanted == cls || wanted == base) return true;
    }
    return false;
}

// The objects an object owns, filtered by the class qualifier, in order. Returns the count.
uint32_t TWOwnedObjects(const TWObjectRef& ref, UInt32 qualifierSize, const void* qualifierData,
                        AudioObjectID* ids, uint32_t capacity) {
    uint32_t count = 0;
    auto add = [&](AudioObjectID id, AudioClassID cls, AudioClassID base) {
        if (!TWObjectMatchesClassQualifier(cls, base, qualifierSize, qualifierData)) return;
        if (ids != nullptr && count < capacity) ids[count] = id;
        ++count;
    };
    if (ref.kind == kTWObjectPlugIn) {
        for (auto& d : gDevices) {
            if (TWDeviceVisible(&d)) add(d.deviceID.load(std::memory_order_relaxed), kAudioDeviceClassID, kAudioObjectClassID);
        }
    } else if (ref.kind == kTWObjectDevice) {
        TWDevice* d = ref.device;
        add(d->inputStreamID.load(std::memory_order_relaxed), kAudioStreamClassID, kAudioObjectClassID);
        add(d->outputStreamID.load(std::memory_order_relaxed), kAudioStreamClassID, kAudioObjectClassID);
        add(d->volumeControlID.load(std::memory_order_relaxed), kAudioVolumeControlClassID, kAudioLevelControlClassID);
        add(d->muteControlID.load(std::memory_order_relaxed), kAudioMuteControlClassID, kAudioBooleanControlClassID);
    }
    return count;
}

AudioStreamBasicDescription TWStreamFormat(uint32_t channels) {
    AudioStreamBasicDescription f;
    std::memset(&f, 0, sizeof f);
    f.mSampleRate = kTWSampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 4 * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4 * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

uint32_t TWChannels(const TWDevice* device) {
    return static_cast<uint32_t>(device->channelCount.load(std::memory_order_relaxed));
}

}  // namespace

Float32 TWVolumeScalarForGain(Float32 gain) {
    if (std::isnan(gain)) return 0.0f;
    Float32 s = gain / 2.0f;
    return s < 0.0f ? 0.0f : (s > 1.0f ? 1.0f : s);
}

Float32 TWVolumeDecibelsForGain(Float32 gain) {
    if (std::isnan(gain) || gain <= 0.0f) return static_cast<Float32>(kTWDecibelMinimum);
    Float64 db = 20.0 * std::log10(static_cast<Float64>(gain));
    if (db < kTWDecibelMinimum) db = kTWDecibelMinimum;
    if (db > kTWDecibelMaximum) db = kTWDecibelMaximum;
    return static_cast<Float32>(db);
}

UInt32 TWAudioBufferListSize(UInt32 buffers) { return 16 * buffers + 8; }

static OSStatus TWPropertySize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                               UInt32 qualifierSize, const void* qualifierData, UInt32* outSize) {
    if (address == nullptr || outSize == nullptr) return kAudioHardwareBadObjectError;
    TWObjectRef ref = TWResolveObject(objectID);
    if (ref.kind == kTWObjectNone) return kAudioHardwareBadObjectError;
    const AudioObjectPropertySelector sel = address->mSelector;
    const AudioObjectPropertyScope scope = address->mScope;
    UInt32 size = 0;
    bool found = true;
    // Every object.
    switch (sel) {
        case kAudioObjectPropertyBaseClass:
        case kAudioObjectPropertyClass:
        case kAudioObjectPropertyOwner: *outSize = 4; return 0;
        case kAudioObjectPropertyOwnedObjects:
            *outSize = 4 * TWOwnedObjects(ref, qualifierSize, qualifierData, nullptr, 0);
            return 0;
        case kAudioObjectPropertyCustomPropertyInfoList: *outSize = 0; return 0;
        default: break;
    }
    if (ref.kind != kTWObjectVolumeControl && ref.kind != kTWObjectMuteControl) {
        if (sel == kAudioObjectPropertyName || sel == kAudioObjectPropertyManufacturer ||
            sel == kAudioObjectPropertyModelName) {
            *outSize = sizeof(CFStringRef);
            return 0;
        }
    }
    switch (ref.kind) {
        case kTWObjectPlugIn:
            switch (sel) {
                case kAudioPlugInPropertyDeviceList: size = 4 * TWVisibleDeviceCount(); break;
                case kAudioPlugInPropertyBoxList:
                case kAudioPlugInPropertyClockDeviceList: size = 0; break;
                case kAudioPlugInPropertyTranslateUIDToDevice: size = 4; break;
                case kAudioPlugInPropertyResourceBundle: size = sizeof(CFStringRef); break;
                default: found = false;
            }
            break;
        case kTWObjectDevice:
            switch (sel) {
                case kAudioDevicePropertyDeviceUID:
                case kAudioDevicePropertyModelUID:
                case kAudioDevicePropertyIcon: size = 8; break;
                case kAudioDevicePropertyRelatedDevices:
                case kAudioDevicePropertyTransportType:
                case kAudioDevicePropertyClockAlgorithm:
                case kAudioDevicePropertyClockDomain:
                case kAudioDevicePropertyClockIsStable:
                case kAudioDevicePropertyLatency:
                case kAudioDevicePropertySafetyOffset:
                case kAudioDevicePropertyBufferFrameSize:
                case kAudioDevicePropertyZeroTimeStampPeriod:
                case kAudioDevicePropertyDeviceIsRunning:
                case kAudioDevicePropertyDeviceIsRunningSomewhere:
                case kAudioDevicePropertyDeviceIsAlive:
                case kAudioDevicePropertyIsHidden:
                case kAudioDevicePropertyDeviceCanBeDefaultDevice:
                case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice: size = 4; break;
                case kAudioDevicePropertyNominalSampleRate:
                case kAudioDevicePropertyActualSampleRate: size = 8; break;
                case kAudioDevicePropertyAvailableNominalSampleRates:
                case kAudioDevicePropertyBufferFrameSizeRange: size = sizeof(AudioValueRange); break;
                case kAudioDevicePropertyStreams:
                    if (scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput) {
                        size = 4;
                    } else if (scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeWildcard) {
                        size = 8;
                    } else {
                        found = false;
                    }
                    break;
                case kAudioDevicePropertyStreamConfiguration:
                    if (scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeInput ||
                        scope == kAudioObjectPropertyScopeOutput || scope == kAudioObjectPropertyScopeWildcard) {
                        size = TWAudioBufferListSize(1);
                    } else {
                        found = false;
                    }
                    break;
                case kAudioDevicePropertyPreferredChannelsForStereo:
                case kAudioObjectPropertyControlList: size = 8; break;
                default: found = false;
            }
            break;
        case kTWObjectStream:
            switch (sel) {
                case kAudioStreamPropertyDirection:
                case kAudioStreamPropertyTerminalType:
                case kAudioStreamPropertyStartingChannel:
                case kAudioStreamPropertyIsActive:
                case kAudioStreamPropertyLatency: size = 4; break;
                case kAudioStreamPropertyVirtualFormat:
                case kAudioStreamPropertyPhysicalFormat: size = sizeof(AudioStreamBasicDescription); break;
                case kAudioStreamPropertyAvailableVirtualFormats:
                case kAudioStreamPropertyAvailablePhysicalFormats: size = sizeof(AudioStreamRangedDescription); break;
                default: found = false;
            }
            break;
        case kTWObjectVolumeControl:
        case kTWObjectMuteControl:
            switch (sel) {
                case kAudioControlPropertyScope:
                case kAudioControlPropertyElement: size = 4; break;
                case kAudioLevelControlPropertyScalarValue:
                case kAudioLevelControlPropertyDecibelValue:
                case kAudioLevelControlPropertyConvertScalarToDecibels:
                case kAudioLevelControlPropertyConvertDecibelsToScalar:
                    found = ref.kind == kTWObjectVolumeControl;
                    size = 4;
                    break;
                case kAudioLevelControlPropertyDecibelRange:
                    found = ref.kind == kTWObjectVolumeControl;
                    size = sizeof(AudioValueRange);
                    break;
                case kAudioBooleanControlPropertyValue:
                    found = ref.kind == kTWObjectMuteControl;
                    size = 4;
                    break;
                default: found = false;
            }
            break;
        default: found = false;
    }
    if (!found) return kAudioHardwareUnknownPropertyError;
    *outSize = size;
    return 0;
}

Boolean TWDriver_HasProperty(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                             const AudioObjectPropertyAddress* address) {
    UInt32 size = 0;
    return TWPropertySize(objectID, address, 0, nullptr, &size) == 0 ? 1 : 0;
}

OSStatus TWDriver_IsPropertySettable(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                                     const AudioObjectPropertyAddress* address, Boolean* outIsSettable) {
    if (address == nullptr || outIsSettable == nullptr) return kAudioHardwareIllegalOperationError;
    TWObjectRef ref = TWResolveObject(objectID);
    const AudioObjectPropertySelector sel = address->mSelector;
    bool settable = (ref.kind == kTWObjectDevice &&
                     (sel == kAudioDevicePropertyNominalSampleRate || sel == kAudioDevicePropertyBufferFrameSize)) ||
                    (ref.kind == kTWObjectStream &&
                     (sel == kAudioStreamPropertyVirtualFormat || sel == kAudioStreamPropertyPhysicalFormat));
    *outIsSettable = settable ? 1 : 0;
    UInt32 size = 0;
    return TWPropertySize(objectID, address, 0, nullptr, &size) == 0 ? 0 : kAudioHardwareUnknownPropertyError;
}

OSStatus TWDriver_GetPropertyDataSize(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                                      const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                      const void* qualifierData, UInt32* outSize) {
    return TWPropertySize(objectID, address, qualifierSize, qualifierData, outSize);
}

namespace {

void TWWriteUInt32(void* out, UInt32 value) { std::memcpy(out, &value, 4); }
void TWWriteObjectID(void* out, AudioObjectID value) { std::memcpy(out, &value, 4); }
void TWWriteFloat32(void* out, Float32 value) { std::memcpy(out, &value, 4); }
void TWWriteFloat64(void* out, Float64 value) { std::memcpy(out, &value, 8); }
void TWWriteStringValue(void* out, const char* utf8) {
    CFStringRef s = CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
    std::memcpy(out, &s, sizeof s);
}
void TWWriteRange(void* out, Float64 minimum, Float64 maximum) {
    AudioValueRange r = {minimum, maximum};
    std::memcpy(out, &r, sizeof r);
}

// The id of the live device whose uid is the string held by an 8-byte qualifier, else 0.
AudioObjectID TWTranslateUID(UInt32 qualifierSize, const void* qualifierData) {
    if (qualifierSize != sizeof(CFStringRef) || qualifierData == nullptr) return 0;
    CFStringRef uid;
    std::memcpy(&uid, qualifierData, sizeof uid);
    if (uid == nullptr) return 0;
    char buffer[TidewellRuntimeUIDCapacity];
    if (!CFStringGetCString(uid, buffer, sizeof buffer, kCFStringEncodingUTF8)) return 0;
    TWDevice* device = TWActiveDeviceForUID(buffer);
    return device ? device->deviceID.load(std::memory_order_relaxed) : 0;
}

}  // namespace

OSStatus TWDriver_GetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                                  const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                  const void* qualifierData, UInt32 inDataSize, UInt32* outDataSize, void* outData) {
    if (address == nullptr || outDataSize == nullptr || outData == nullptr) return kAudioHardwareBadObjectError;
    TWObjectRef ref = TWResolveObject(objectID);
    if (ref.kind == kTWObjectNone) return kAudioHardwareBadObjectError;
    UInt32 size = 0;
    OSStatus status = TWPropertySize(objectID, address, qualifierSize, qualifierData, &size);
    if (status != 0) return status;
    if (inDataSize < size) return kAudioHardwareBadPropertySizeError;

    TWDevice* device = ref.device;
    const AudioObjectPropertySelector sel = address->mSelector;
    const AudioObjectPropertyScope scope = address->mScope;
    unsigned char* out = static_cast<unsigned char*>(outData);
    UInt32 written = size;

    switch (sel) {
        case kAudioObjectPropertyBaseClass: TWWriteUInt32(out, TWBaseClassForObject(ref)); break;
        case kAudioObjectPropertyClass: TWWriteUInt32(out, TWClassForObject(ref)); break;
        case kAudioObjectPropertyOwner:
            if (ref.kind == kTWObjectPlugIn) {
                TWWriteObjectID(out, kAudioObjectUnknown);
            } else if (ref.kind == kTWObjectDevice) {
                TWWriteObjectID(out, kTWPlugInObjectID);
            } else {
                TWWriteObjectID(out, device->deviceID.load(std::memory_order_relaxed));
            }
            break;
        case kAudioObjectPropertyOwnedObjects: {
            AudioObjectID ids[TidewellRuntimeMaxDevices > 4 ? TidewellRuntimeMaxDevices : 4];
            uint32_t count = TWOwnedObjects(ref, qualifierSize, qualifierData, ids, sizeof ids / sizeof ids[0]);
            uint32_t fit = inDataSize / 4;
            if (count > fit) count = fit;
            std::memcpy(out, ids, 4 * count);
            written = 4 * count;
            break;
        }
        case kAudioObjectPropertyCustomPropertyInfoList:
        case kAudioPlugInPropertyBoxList:
        case kAudioPlugInPropertyClockDeviceList: written = 0; break;
        default: goto kindSpecific;
    }
    *outDataSize = written;
    return 0;

kindSpecific:
    if (ref.kind == kTWObjectPlugIn) {
        switch (sel) {
            case kAudioObjectPropertyName: TWWriteStringValue(out, "Tidewell HAL"); break;
            case kAudioObjectPropertyManufacturer:
            case kAudioObjectPropertyModelName: TWWriteStringValue(out, "Tidewell"); break;
            case kAudioPlugInPropertyDeviceList: {
                uint32_t fit = inDataSize / 4;
                uint32_t count = 0;
                for (auto& d : gDevices) {
                    if (count >= fit) break;
                    if (!TWDeviceVisible(&d)) continue;
                    TWWriteObjectID(out + 4 * count, d.deviceID.load(std::memory_order_relaxed));
                    ++count;
                }
                written = 4 * count;
                break;
            }
            case kAudioPlugInPropertyTranslateUIDToDevice:
                TWWriteObjectID(out, TWTranslateUID(qualifierSize, qualifierData));
                break;
            case kAudioPlugInPropertyResourceBundle: TWWriteStringValue(out, kTWBundleIdentifier); break;
            default: return kAudioHardwareUnknownPropertyError;
        }
    } else if (ref.kind == kTWObjectDevice) {
        switch (sel) {
            case kAudioObjectPropertyName:
            case kAudioObjectPropertyModelName: {
                char name[sizeof device->name];
                TWLoadText(name, device->name, sizeof name);
                TWWriteStringValue(out, name);
                break;
            }
            case kAudioObjectPropertyManufacturer: TWWriteStringValue(out, "Tidewell"); break;
            case kAudioDevicePropertyDeviceUID: {
                char uid[sizeof device->uid];
                TWLoadText(uid, device->uid, sizeof uid);
                TWWriteStringValue(out, uid);
                break;
            }
            case kAudioDevicePropertyModelUID: TWWriteStringValue(out, kTWModelUID); break;
            case kAudioDevicePropertyRelatedDevices:
                TWWriteObjectID(out, device->deviceID.load(std::memory_order_relaxed));
                break;
            case kAudioDevicePropertyTransportType: TWWriteUInt32(out, kAudioDeviceTransportTypeVirtual); break;
            case kAudioDevicePropertyClockAlgorithm: TWWriteUInt32(out, AUDIO_FOUR_CC('r', 'a', 'w', 'w')); break;
            case kAudioDevicePropertyClockDomain:
            case kAudioDevicePropertyLatency:
            case kAudioDevicePropertySafetyOffset:
            case kAudioDevicePropertyIsHidden: TWWriteUInt32(out, 0); break;
            case kAudioDevicePropertyClockIsStable:
            case kAudioDevicePropertyDeviceCanBeDefaultDevice: TWWriteUInt32(out, 1); break;
            case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
                TWWriteUInt32(out, scope == kAudioObjectPropertyScopeInput ? 0 : 1);
                break;
            case kAudioDevicePropertyNominalSampleRate:
            case kAudioDevicePropertyActualSampleRate: TWWriteFloat64(out, kTWSampleRate); break;
            case kAudioDevicePropertyAvailableNominalSampleRates: TWWriteRange(out, kTWSampleRate, kTWSampleRate); break;
            case kAudioDevicePropertyBufferFrameSize:
                TWWriteUInt32(out, device->bufferFrameSize.load(std::memory_order_relaxed));
                break;
            case kAudioDevicePropertyBufferFrameSizeRange: TWWriteRange(out, kTWMinBufferFrames, kTWMaxBufferFrames); break;
            case kAudioDevicePropertyZeroTimeStampPeriod: TWWriteUInt32(out, TWZeroTimeStampPeriodFrames(device)); break;
            case kAudioDevicePropertyDeviceIsRunning:
            case kAudioDevicePropertyDeviceIsRunningSomewhere:
                TWWriteUInt32(out, device->runningIOCount.load(std::memory_order_acquire) != 0 ? 1 : 0);
                break;
            case kAudioDevicePropertyDeviceIsAlive: TWWriteUInt32(out, TWDeviceVisible(device) ? 1 : 0); break;
            case kAudioDevicePropertyIcon: {
                CFStringRef identifier = CFStringCreateWithCString(nullptr, kTWBundleIdentifier, kCFStringEncodingUTF8);
                CFBundleRef bundle = CFBundleGetBundleWithIdentifier(identifier);
                CFRelease(identifier);
                if (bundle == nullptr) return kAudioHardwareUnknownPropertyError;
                CFURLRef url = CFBundleCopyResourceURL(bundle, CFSTR("DeviceIcon"), CFSTR("icns"), nullptr);
                if (url == nullptr) return kAudioHardwareUnknownPropertyError;
                std::memcpy(out, &url, sizeof url);
                break;
            }
            case kAudioDevicePropertyStreams: {
                AudioObjectID in = device->inputStreamID.load(std::memory_order_relaxed);
                AudioObjectID outStream = device->outputStreamID.load(std::memory_order_relaxed);
                if (scope == kAudioObjectPropertyScopeInput) {
                    TWWriteObjectID(out, in);
                } else if (scope == kAudioObjectPropertyScopeOutput) {
                    TWWriteObjectID(out, outStream);
                } else {
                    TWWriteObjectID(out, in);
                    TWWriteObjectID(out + 4, outStream);
                }
                break;
            }
            case kAudioDevicePropertyStreamConfiguration: {
                std::memset(out, 0, size);
                AudioBufferList list;
                std::memset(&list, 0, sizeof list);
                list.mNumberBuffers = 1;
                list.mBuffers[0].mNumberChannels = TWChannels(device);
                list.mBuffers[0].mDataByteSize = 0;
                list.mBuffers[0].mData = nullptr;
                std::memcpy(out, &list, sizeof list);
                break;
            }
            case kAudioDevicePropertyPreferredChannelsForStereo:
                TWWriteUInt32(out, 1);
                TWWriteUInt32(out + 4, 2);
                break;
            case kAudioObjectPropertyControlList:
                TWWriteObjectID(out, device->volumeControlID.load(std::memory_order_relaxed));
                TWWriteObjectID(out + 4, device->muteControlID.load(std::memory_order_relaxed));
                break;
            default: return kAudioHardwareUnknownPropertyError;
        }
    } else if (ref.kind == kTWObjectStream) {
        switch (sel) {
            case kAudioObjectPropertyName:
                TWWriteStringValue(out, ref.isInputStream ? "Tidewell Input" : "Tidewell Output");
                break;
            case kAudioObjectPropertyManufacturer:
            case kAudioObjectPropertyModelName: TWWriteStringValue(out, "Tidewell"); break;
            case kAudioStreamPropertyDirection: TWWriteUInt32(out, ref.isInputStream ? 1 : 0); break;
            case kAudioStreamPropertyTerminalType:
                TWWriteUInt32(out, ref.isInputStream ? kAudioStreamTerminalTypeMicrophone
                                                     : kAudioStreamTerminalTypeSpeaker);
                break;
            case kAudioStreamPropertyStartingChannel:
            case kAudioStreamPropertyIsActive: TWWriteUInt32(out, 1); break;
            case kAudioStreamPropertyLatency: TWWriteUInt32(out, 0); break;
            case kAudioStreamPropertyVirtualFormat:
            case kAudioStreamPropertyPhysicalFormat: {
                AudioStreamBasicDescription f = TWStreamFormat(TWChannels(device));
                std::memcpy(out, &f, sizeof f);
                break;
            }
            case kAudioStreamPropertyAvailableVirtualFormats:
            case kAudioStreamPropertyAvailablePhysicalFormats: {
                AudioStreamRangedDescription r;
                std::memset(&r, 0, sizeof r);
                r.mFormat = TWStreamFormat(TWChannels(device));
                r.mSampleRateRange = {kTWSampleRate, kTWSampleRate};
                std::memcpy(out, &r, sizeof r);
                break;
            }
            default: return kAudioHardwareUnknownPropertyError;
        }
    } else {
        switch (sel) {
            case kAudioControlPropertyScope: TWWriteUInt32(out, kAudioObjectPropertyScopeOutput); break;
            case kAudioControlPropertyElement: TWWriteUInt32(out, kAudioObjectPropertyElementMain); break;
            case kAudioLevelControlPropertyScalarValue:
                TWWriteFloat32(out, TWVolumeScalarForGain(TWCurrentControlsForDevice(device).deviceGain));
                break;
            case kAudioLevelControlPropertyDecibelValue:
                TWWriteFloat32(out, TWVolumeDecibelsForGain(TWCurrentControlsForDevice(device).deviceGain));
                break;
            case kAudioLevelControlPropertyDecibelRange: TWWriteRange(out, kTWDecibelMinimum, kTWDecibelMaximum); break;
            case kAudioLevelControlPropertyConvertScalarToDecibels: {
                Float32 scalar;
                std::memcpy(&scalar, out, 4);
                TWWriteFloat32(out, TWVolumeDecibelsForGain(2.0f * scalar));
                break;
            }
            case kAudioLevelControlPropertyConvertDecibelsToScalar: {
                Float32 db;
                std::memcpy(&db, out, 4);
                TWWriteFloat32(out, TWVolumeScalarForGain(static_cast<Float32>(std::pow(10.0, db / 20.0))));
                break;
            }
            case kAudioBooleanControlPropertyValue:
                TWWriteUInt32(out, TWCurrentControlsForDevice(device).muted ? 1 : 0);
                break;
            default: return kAudioHardwareUnknownPropertyError;
        }
    }
    *outDataSize = written;
    return 0;
}

OSStatus TWDriver_SetPropertyData(AudioServerPlugInDriverRef, AudioObjectID objectID, pid_t,
                                  const AudioObjectPropertyAddress* address, UInt32, const void*, UInt32 inDataSize,
                                  const void* data) {
    if (address == nullptr || data == nullptr) return kAudioHardwareIllegalOperationError;
    TWObjectRef ref = TWResolveObject(objectID);
    const AudioObjectPropertySelector sel = address->mSelector;
    if (ref.kind == kTWObjectDevice && sel == kAudioDevicePropertyNominalSampleRate) {
        if (inDataSize != 8) return kAudioHardwareBadPropertySizeError;
        Float64 rate;
        std::memcpy(&rate, data, 8);
        return rate == kTWSampleRate ? 0 : kAudioHardwareUnsupportedOperationError;
    }
    if (ref.kind == kTWObjectDevice && sel == kAudioDevicePropertyBufferFrameSize) {
        if (inDataSize != 4) return kAudioHardwareBadPropertySizeError;
        UInt32 frames;
        std::memcpy(&frames, data, 4);
        if (frames < kTWMinBufferFrames || frames > kTWMaxBufferFrames) return kAudioHardwareUnsupportedOperationError;
        ref.device->bufferFrameSize.store(frames, std::memory_order_relaxed);
        TWNotifyDeviceProperty(ref.device, kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal);
        return 0;
    }
    if (ref.kind == kTWObjectStream &&
        (sel == kAudioStreamPropertyVirtualFormat || sel == kAudioStreamPropertyPhysicalFormat)) {
        if (inDataSize != sizeof(AudioStreamBasicDescription)) return kAudioHardwareBadPropertySizeError;
        AudioStreamBasicDescription f;
        std::memcpy(&f, data, sizeof f);
        bool accepted = f.mFormatID == kAudioFormatLinearPCM && f.mChannelsPerFrame == TWChannels(ref.device) &&
                        f.mBitsPerChannel == 32 && f.mSampleRate == kTWSampleRate;
        return accepted ? 0 : kAudioHardwareUnsupportedOperationError;
    }
    return kAudioHardwareUnknownPropertyError;
}
