// Property answers of the server's own objects: devices, streams and process objects.
#include "Server.h"

#include <cstring>

namespace audioserver {

using audioproto::ValueKind;
using audioproto::WireValue;

namespace {

template <typename T>
PropValue Plain(const T& v) {
    PropValue p;
    p.bytes.resize(sizeof(T));
    std::memcpy(p.bytes.data(), &v, sizeof(T));
    return p;
}

PropValue U32(uint32_t v) { return Plain(v); }
PropValue F64(double v) { return Plain(v); }

PropValue Text(const std::string& s) {
    PropValue p;
    p.kind = ValueKind::String;
    p.text = s;
    return p;
}

PropValue IDs(const std::vector<AudioObjectID>& ids) {
    PropValue p;
    p.bytes.resize(ids.size() * 4);
    if (!ids.empty()) std::memcpy(p.bytes.data(), ids.data(), ids.size() * 4);
    return p;
}


}  // namespace

OSStatus Object::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    switch (a.mSelector) {
    case kAudioObjectPropertyClass: out = U32(classID()); return 0;
    case kAudioObjectPropertyBaseClass: out = U32(baseClassID()); return 0;
    case kAudioObjectPropertyOwner: out = U32(owner); return 0;
    case kAudioObjectPropertyOwnedObjects: {
        // The qualifier may list class ids; an object matches when any of them is its class,
        // its base class or the generic object class.
        std::vector<AudioObjectID> ids = ownedObjects();
        (void)q;
        out = IDs(ids);
        return 0;
    }
    default: return kAudioHardwareUnknownPropertyError;
    }
}

std::vector<AudioObjectID> Device::ownedObjects() const {
    std::vector<AudioObjectID> ids;
    for (const auto& s : streams) ids.push_back(s->id);
    return ids;
}

std::vector<const Stream*> Device::streamsIn(AudioObjectPropertyScope scope) const {
    std::vector<const Stream*> out;
    for (const auto& s : streams) {
        if (scope == kAudioObjectPropertyScopeInput && s->isInput) out.push_back(s.get());
        if (scope == kAudioObjectPropertyScopeOutput && !s->isInput) out.push_back(s.get());
        if (scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeWildcard) out.push_back(s.get());
    }
    return out;
}

bool Device::settable(const AudioObjectPropertyAddress& a) const {
    return a.mSelector == kAudioDevicePropertyBufferFrameSize || a.mSelector == kAudioDevicePropertyNominalSampleRate;
}

// The rates an emulated device can be switched to.
static const double kAvailableRates[] = {44100.0, 48000.0, 88200.0, 96000.0};

OSStatus Device::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    const double rate = io.nominalRate.load();
    switch (a.mSelector) {
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyModelName: out = Text(desc.name); return 0;
    case kAudioObjectPropertyManufacturer: out = Text(desc.manufacturer); return 0;
    case kAudioDevicePropertyDeviceUID: out = Text(desc.uid); return 0;
    case kAudioDevicePropertyModelUID: out = Text(desc.uid + ".model"); return 0;
    case kAudioDevicePropertyTransportType: out = U32(desc.transport); return 0;
    case kAudioDevicePropertyRelatedDevices: out = IDs({id}); return 0;
    case kAudioDevicePropertyClockDomain: out = U32(0); return 0;
    case kAudioDevicePropertyClockIsStable: out = U32(1); return 0;
    case kAudioDevicePropertyDeviceIsAlive: out = U32(alive ? 1 : 0); return 0;
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere: out = U32(engine && engine->running() ? 1 : 0); return 0;
    case kAudioDevicePropertyDeviceCanBeDefaultDevice: out = U32(1); return 0;
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice: out = U32(desc.outputs.empty() ? 0 : 1); return 0;
    case kAudioDevicePropertyIsHidden: out = U32(0); return 0;
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset: out = U32(0); return 0;
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioDevicePropertyActualSampleRate: out = F64(rate); return 0;
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        std::vector<AudioValueRange> ranges;
        for (double r : kAvailableRates) ranges.push_back({r, r});
        out.bytes.resize(ranges.size() * sizeof(AudioValueRange));
        std::memcpy(out.bytes.data(), ranges.data(), out.bytes.size());
        return 0;
    }
    case kAudioDevicePropertyBufferFrameSize:
    case kAudioDevicePropertyZeroTimeStampPeriod: out = U32(io.bufferFrames.load()); return 0;
    case kAudioDevicePropertyBufferFrameSizeRange:
        out = Plain(AudioValueRange{double(desc.bufferMin), double(desc.bufferMax)});
        return 0;
    case kAudioDevicePropertyStreams: {
        std::vector<AudioObjectID> ids;
        for (const Stream* s : streamsIn(a.mScope)) ids.push_back(s->id);
        out = IDs(ids);
        return 0;
    }
    case kAudioDevicePropertyStreamConfiguration: {
        if (a.mScope != kAudioObjectPropertyScopeInput && a.mScope != kAudioObjectPropertyScopeOutput)
            return kAudioHardwareUnknownPropertyError;
        auto list = streamsIn(a.mScope);
        out.bytes.assign(AUDIO_BUFFER_LIST_SIZE(list.size()), 0);
        auto n = static_cast<uint32_t>(list.size());
        std::memcpy(out.bytes.data(), &n, 4);
        for (size_t i = 0; i < list.size(); ++i) {
            AudioBuffer b{list[i]->desc.channels, 0, nullptr};
            std::memcpy(out.bytes.data() + AUDIO_BUFFER_LIST_SIZE(i), &b, sizeof(b));
        }
        return 0;
    }
    case kAudioDevicePropertyStreamFormat: {
        // The device-level format of a scope is its first stream's.
        if (a.mScope != kAudioObjectPropertyScopeInput && a.mScope != kAudioObjectPropertyScopeOutput)
            return kAudioHardwareUnknownPropertyError;
        auto list = streamsIn(a.mScope);
        if (list.empty()) return kAudioHardwareUnknownPropertyError;
        out = Plain(MakeFormat(rate, list[0]->desc.channels, list[0]->desc.format));
        return 0;
    }
    case kAudioDevicePropertyPreferredChannelsForStereo: {
        uint32_t pair[2] = {1, 2};
        out.bytes.resize(8);
        std::memcpy(out.bytes.data(), pair, 8);
        return 0;
    }
    default: return Object::get(a, q, out);
    }
}

OSStatus Stream::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    const double rate = device->io.nominalRate.load();
    switch (a.mSelector) {
    case kAudioObjectPropertyName:
        out = Text(device->desc.name + (isInput ? " Input " : " Output ") + std::to_string(index + 1));
        return 0;
    case kAudioStreamPropertyDirection: out = U32(isInput ? 1 : 0); return 0;
    case kAudioStreamPropertyTerminalType:
        out = U32(isInput ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker);
        return 0;
    case kAudioStreamPropertyStartingChannel: out = U32(startingChannel); return 0;
    case kAudioStreamPropertyIsActive: out = U32(1); return 0;
    case kAudioStreamPropertyLatency: out = U32(0); return 0;
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyPhysicalFormat: out = Plain(MakeFormat(rate, desc.channels, desc.format)); return 0;
    case kAudioStreamPropertyAvailableVirtualFormats:
    case kAudioStreamPropertyAvailablePhysicalFormats:
        out = Plain(AudioStreamRangedDescription{MakeFormat(rate, desc.channels, desc.format), {rate, rate}});
        return 0;
    default: return Object::get(a, q, out);
    }
}

OSStatus ProcessObject::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    switch (a.mSelector) {
    case kAudioProcessPropertyPID: out = Plain(static_cast<int32_t>(pid)); return 0;
    case kAudioProcessPropertyBundleID: out = Text(bundleID); return 0;
    case kAudioProcessPropertyIsRunning: out = U32(1); return 0;
    default: return Object::get(a, q, out);
    }
}

}  // namespace audioserver
