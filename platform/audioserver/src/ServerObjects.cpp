// The object model: ids, devices coming and going, and the property requests on any object.
#include "Server.h"

#include "PlugInHost.h"

#include <CoreFoundation/HostClock.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace audioserver {

using audioproto::ValueKind;
using audioproto::WireValue;

namespace {

// Ids are handed out in blocks; the high-water mark is kept next to the socket so that a
// restarted server never hands out an id an earlier instance used.
constexpr AudioObjectID kFirstServerID = 0x40000000u;
constexpr AudioObjectID kIDBlock = 0x1000u;

std::string IDFile(const std::string& socketPath) { return socketPath + ".ids"; }

AudioObjectID ReadIDMark(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    unsigned long v = 0;
    int n = std::fscanf(f, "%lu", &v);
    std::fclose(f);
    return n == 1 && v < 0xF0000000ul ? static_cast<AudioObjectID>(v) : 0;
}

bool WriteIDMark(const std::string& path, AudioObjectID mark) {
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "%u\n", mark);
    bool ok = std::fclose(f) == 0;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

AudioObjectID Server::allocateID() {
    if (nextID_ >= idLimit_) {
        AudioObjectID mark = std::max(ReadIDMark(IDFile(socketPath_)), std::max(nextID_, kFirstServerID));
        nextID_ = mark;
        idLimit_ = mark + kIDBlock;
        if (!WriteIDMark(IDFile(socketPath_), idLimit_)) {
            // No place to remember the mark: start from the clock instead, which moves on
            // between instances.
            if (nextID_ == kFirstServerID) {
                nextID_ = kFirstServerID + static_cast<AudioObjectID>((HostClockGetTime() / 1000000ull) % 0x20000000ull);
                idLimit_ = nextID_ + kIDBlock;
            }
        }
    }
    return nextID_++;
}

std::shared_ptr<Device> Server::addDevice(const DeviceDescription& desc, Notes& notes, std::shared_ptr<Device> made) {
    auto d = made ? std::move(made) : std::make_shared<Device>();
    d->id = allocateID();
    d->desc = desc;
    d->io.inputs = desc.inputs;
    d->io.outputs = desc.outputs;
    d->io.nominalRate.store(desc.rate);
    d->io.driftPpm.store(desc.driftPpm);
    d->io.bufferFrames.store(std::clamp(desc.bufferFrames, desc.bufferMin, desc.bufferMax));
    uint32_t start = 1;
    for (size_t i = 0; i < desc.inputs.size(); ++i) {
        auto s = std::make_shared<Stream>();
        s->id = allocateID();
        s->owner = d->id;
        s->device = d.get();
        s->isInput = true;
        s->index = static_cast<uint32_t>(i);
        s->desc = desc.inputs[i];
        s->startingChannel = start;
        start += desc.inputs[i].channels;
        d->streams.push_back(s);
        objects_[s->id] = s;
    }
    start = 1;
    for (size_t i = 0; i < desc.outputs.size(); ++i) {
        auto s = std::make_shared<Stream>();
        s->id = allocateID();
        s->owner = d->id;
        s->device = d.get();
        s->isInput = false;
        s->index = static_cast<uint32_t>(i);
        s->desc = desc.outputs[i];
        s->startingChannel = start;
        start += desc.outputs[i].channels;
        d->streams.push_back(s);
        objects_[s->id] = s;
    }
    d->engine = std::make_unique<DeviceEngine>(d->io);
    objects_[d->id] = d;
    devices_.push_back(d);
    notes.push_back({kAudioObjectSystemObject, {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
    return d;
}

void Server::removeDevice(const std::shared_ptr<Device>& d, Notes& notes) {
    d->alive = false;
    devices_.erase(std::remove(devices_.begin(), devices_.end(), d), devices_.end());
    objects_.erase(d->id);
    for (const auto& s : d->streams) objects_.erase(s->id);
    auto clear = [&](AudioObjectID& which, AudioObjectPropertySelector sel) {
        if (which != d->id) return;
        which = 0;
        notes.push_back({kAudioObjectSystemObject, {sel, kAudioObjectPropertyScopeGlobal, 0}});
    };
    clear(defaultInput_, kAudioHardwarePropertyDefaultInputDevice);
    clear(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice);
    clear(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice);
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        for (auto& c : connections_) {
            c->io.erase(d->id);
            c->activeIO.erase(d->id);
        }
    }
    notes.push_back({d->id, {kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal, 0}});
    notes.push_back({kAudioObjectSystemObject, {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
}

std::shared_ptr<Device> Server::deviceByUID(const std::string& uid) const {
    for (const auto& d : devices_)
        if (d->desc.uid == uid) return d;
    return nullptr;
}

std::shared_ptr<Device> Server::deviceByID(AudioObjectID id) const {
    for (const auto& d : devices_)
        if (d->id == id) return d;
    return nullptr;
}

std::shared_ptr<Object> Server::object(AudioObjectID id) const {
    auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second;
}

// ---- properties ------------------------------------------------------------------------

// A client's qualifier is never read as anything but what its selector takes: the text of a
// translation ('uidd', 'bidp', 'pinf'; a null string reference is no text), the 4-byte process
// id of 'id2p', the class ids of 'ownd'. Any other kind or size is refused here, before an
// object or a plug-in could take raw bytes for a reference. No qualifier at all is always
// taken: existence and settability are asked without one, and a translation of nothing
// finds nothing.
OSStatus Server::checkQualifier(AudioObjectPropertySelector selector, const WireValue& q) {
    if (q.kind != ValueKind::Plain && q.kind != ValueKind::String && q.kind != ValueKind::NullString)
        return kAudio_ParamError;
    if (q.kind == ValueKind::Plain && q.bytes.empty()) return 0;
    const bool isText = q.kind == ValueKind::String || q.kind == ValueKind::NullString;
    if (audioproto::SelectorHasStringQualifier(selector)) return isText ? 0 : kAudioHardwareBadPropertySizeError;
    if (selector == kAudioHardwarePropertyTranslatePIDToProcessObject)
        return !isText && q.bytes.size() == sizeof(int32_t) ? 0 : kAudioHardwareBadPropertySizeError;
    if (selector == kAudioObjectPropertyOwnedObjects) return isText ? kAudioHardwareBadPropertySizeError : 0;
    return kAudioHardwareBadPropertySizeError;
}

OSStatus Server::systemGet(const Connection& c, const AudioObjectPropertyAddress& a, const WireValue& q,
                           PropValue& out) const {
    auto u32 = [&](uint32_t v) {
        out.bytes.resize(4);
        std::memcpy(out.bytes.data(), &v, 4);
    };
    auto ids = [&](const std::vector<AudioObjectID>& v) {
        out.bytes.resize(v.size() * 4);
        if (!v.empty()) std::memcpy(out.bytes.data(), v.data(), v.size() * 4);
    };
    switch (a.mSelector) {
    case kAudioObjectPropertyClass: u32(kAudioSystemObjectClassID); return 0;
    case kAudioObjectPropertyBaseClass: u32(kAudioObjectClassID); return 0;
    case kAudioObjectPropertyOwner: u32(0); return 0;
    case kAudioObjectPropertyName:
        out.kind = ValueKind::String;
        out.text = "Audio System";
        return 0;
    case kAudioObjectPropertyManufacturer:
        out.kind = ValueKind::String;
        out.text = "Tidewell";
        return 0;
    case kAudioHardwarePropertyDevices:
    case kAudioObjectPropertyOwnedObjects: {
        std::vector<AudioObjectID> v;
        for (const auto& d : devices_)
            if (visibleTo(*d, c)) v.push_back(d->id);
        if (a.mSelector == kAudioObjectPropertyOwnedObjects) {
            for (const auto& p : processes_) v.push_back(p->id);
            for (const auto& t : taps_)
                if (visibleTo(*t, c)) v.push_back(t->id);
        }
        ids(v);
        return 0;
    }
    case kAudioHardwarePropertyDefaultInputDevice: u32(defaultInput_); return 0;
    case kAudioHardwarePropertyDefaultOutputDevice: u32(defaultOutput_); return 0;
    case kAudioHardwarePropertyDefaultSystemOutputDevice: u32(defaultSystemOutput_); return 0;
    case kAudioHardwarePropertyProcessObjectList: {
        std::vector<AudioObjectID> v;
        for (const auto& p : processes_) v.push_back(p->id);
        ids(v);
        return 0;
    }
    case kAudioHardwarePropertyPlugInList: ids(plugIns_ ? plugIns_->plugInObjects() : std::vector<AudioObjectID>{}); return 0;
    case kAudioHardwarePropertyTapList: {
        std::vector<AudioObjectID> v;
        for (const auto& t : taps_)
            if (visibleTo(*t, c)) v.push_back(t->id);
        ids(v);
        return 0;
    }
    case kAudioHardwarePropertyTranslatePIDToProcessObject: {
        // 0 for a pid that is not an audio client (yet); the status is still success.
        int32_t pid = 0;
        if (q.kind == ValueKind::Plain && q.bytes.size() == 4) std::memcpy(&pid, q.bytes.data(), 4);
        AudioObjectID found = 0;
        for (const auto& p : processes_)
            if (p->pid == pid) found = p->id;
        u32(found);
        return 0;
    }
    case kAudioHardwarePropertyTranslateUIDToDevice: {
        AudioObjectID found = 0;
        if (q.kind == ValueKind::String)
            if (auto d = deviceByUID(q.text); d && visibleTo(*d, c)) found = d->id;
        u32(found);
        return 0;
    }
    case kAudioHardwarePropertyTranslateBundleIDToPlugIn:
        u32(plugIns_ && q.kind == ValueKind::String ? plugIns_->plugInForBundleID(q.text) : 0);
        return 0;
    case kAudioHardwarePropertyServiceRestarted: u32(0); return 0;
    case kAudioHardwarePropertyServerInstance:
        out.bytes.resize(8);
        std::memcpy(out.bytes.data(), &instanceID_, 8);
        return 0;
    case kAudioHardwarePropertyPlugInSearchPath:
        out.kind = ValueKind::String;
        out.text = plugIns_ ? plugIns_->searchPath() : std::string();
        return 0;
    default: return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus Server::getValue(const Connection& c, AudioObjectID obj, const AudioObjectPropertyAddress& a,
                          const WireValue& q, PropValue& out) const {
    if (OSStatus refused = checkQualifier(a.mSelector, q)) return refused;
    if (obj == kAudioObjectSystemObject) return systemGet(c, a, q, out);
    auto o = object(obj);
    if (!o || !visibleTo(*o, c)) return kAudioHardwareBadObjectError;
    OSStatus st = o->get(a, q, out);
    if (st == 0 && a.mSelector == kAudioObjectPropertyOwnedObjects && q.kind == ValueKind::Plain && !q.bytes.empty()) {
        // Filter by the class ids of the qualifier.
        if (q.bytes.size() % 4 != 0) {
            out.bytes.clear();
            return 0;
        }
        std::vector<AudioClassID> classes(q.bytes.size() / 4);
        std::memcpy(classes.data(), q.bytes.data(), q.bytes.size());
        std::vector<uint8_t> kept;
        for (size_t i = 0; i + 4 <= out.bytes.size(); i += 4) {
            AudioObjectID id;
            std::memcpy(&id, out.bytes.data() + i, 4);
            auto child = object(id);
            if (!child) continue;
            for (AudioClassID k : classes)
                if (k == kAudioObjectClassID || k == child->classID() || k == child->baseClassID()) {
                    kept.insert(kept.end(), out.bytes.begin() + long(i), out.bytes.begin() + long(i) + 4);
                    break;
                }
        }
        out.bytes = kept;
    }
    return st;
}

bool Server::isSettable(AudioObjectID obj, const AudioObjectPropertyAddress& a) const {
    if (obj == kAudioObjectSystemObject)
        return a.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
               a.mSelector == kAudioHardwarePropertyDefaultOutputDevice ||
               a.mSelector == kAudioHardwarePropertyDefaultSystemOutputDevice;
    auto o = object(obj);
    return o && o->settable(a);
}

OSStatus Server::setValue(Connection& c, AudioObjectID obj, const AudioObjectPropertyAddress& a, const WireValue& q,
                          const std::vector<uint8_t>& data, Notes& notes) {
    if (OSStatus refused = checkQualifier(a.mSelector, q)) return refused;
    if (obj == kAudioObjectSystemObject) {
        AudioObjectID* target = nullptr;
        bool wantInput = false;
        switch (a.mSelector) {
        case kAudioHardwarePropertyDefaultInputDevice: target = &defaultInput_; wantInput = true; break;
        case kAudioHardwarePropertyDefaultOutputDevice: target = &defaultOutput_; break;
        case kAudioHardwarePropertyDefaultSystemOutputDevice: target = &defaultSystemOutput_; break;
        default: {
            PropValue tmp;
            return systemGet(c, a, q, tmp) == 0 ? kAudioHardwareIllegalOperationError : kAudioHardwareUnknownPropertyError;
        }
        }
        if (data.size() != 4) return kAudioHardwareBadPropertySizeError;
        AudioObjectID id;
        std::memcpy(&id, data.data(), 4);
        auto d = deviceByID(id);
        if (!d) return kAudioHardwareBadDeviceError;
        if ((wantInput ? d->desc.inputs : d->desc.outputs).empty()) return kAudioHardwareIllegalOperationError;
        if (*target != id) {
            *target = id;
            notes.push_back({kAudioObjectSystemObject, {a.mSelector, kAudioObjectPropertyScopeGlobal, 0}});
        }
        return 0;
    }
    auto o = object(obj);
    if (!o) return kAudioHardwareBadObjectError;
    if (auto* f = dynamic_cast<ForwardingObject*>(o.get())) {
        // Objects of a plug-in: the plug-in decides and notifies.
        return f->forwardSet(a, data);
    }
    if (!visibleTo(*o, c)) return kAudioHardwareBadObjectError;
    auto d = std::dynamic_pointer_cast<Device>(o);
    if (d && a.mSelector != kAudioDevicePropertyBufferFrameSize && dynamic_cast<AggregateDevice*>(d.get())) {
        // An aggregate's rate is its clock device's.
        PropValue tmp;
        OSStatus st = o->get(a, q, tmp);
        return st != 0 ? st : kAudioHardwareIllegalOperationError;
    }
    if (d && a.mSelector == kAudioDevicePropertyBufferFrameSize) {
        // Device-wide: the last writer wins, for every client, and the value stays when
        // the writer leaves.
        if (data.size() != 4) return kAudioHardwareBadPropertySizeError;
        uint32_t frames;
        std::memcpy(&frames, data.data(), 4);
        if (frames < d->desc.bufferMin || frames > d->desc.bufferMax) return kAudioHardwareUnsupportedOperationError;
        if (d->io.bufferFrames.exchange(frames) != frames) {
            notes.push_back({d->id, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}});
            notes.push_back({d->id, {kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 0}});
        }
        return 0;
    }
    if (d && a.mSelector == kAudioDevicePropertyNominalSampleRate) {
        if (data.size() != 8) return kAudioHardwareBadPropertySizeError;
        double rate;
        std::memcpy(&rate, data.data(), 8);
        bool known = false;
        for (double r : {44100.0, 48000.0, 88200.0, 96000.0}) known = known || r == rate;
        if (!known) return kAudioHardwareUnsupportedOperationError;
        if (d->io.nominalRate.exchange(rate) != rate) {
            notes.push_back({d->id, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
            notes.push_back({d->id, {kAudioDevicePropertyActualSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
            notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput, 0}});
            notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeOutput, 0}});
            for (const auto& s : d->streams)
                notes.push_back({s->id, {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0}});
        }
        return 0;
    }
    PropValue tmp;
    OSStatus st = o->get(a, q, tmp);
    if (st != 0) return st;
    if (auto s = std::dynamic_pointer_cast<Stream>(o);
        s && (a.mSelector == kAudioStreamPropertyVirtualFormat || a.mSelector == kAudioStreamPropertyPhysicalFormat)) {
        // The format of an emulated stream is fixed; setting it to itself is accepted.
        if (data.size() != sizeof(AudioStreamBasicDescription)) return kAudioHardwareBadPropertySizeError;
        return std::memcmp(data.data(), tmp.bytes.data(), data.size()) == 0 ? 0 : kAudioDeviceUnsupportedFormatError;
    }
    return kAudioHardwareIllegalOperationError;
}

}  // namespace audioserver
