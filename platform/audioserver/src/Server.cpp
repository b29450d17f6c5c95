#include "Server.h"

#include "PlugInHost.h"

#include <AudioToolsCommon/Wav.h>
#include <CoreFoundation/HostClock.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace audioserver {

using audioproto::Header;
using audioproto::Op;
using audioproto::Reader;
using audioproto::ValueKind;
using audioproto::WireValue;
using audioproto::Writer;
using nlohmann::json;

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


uint32_t ParseFourCC(const std::string& s, uint32_t fallback) {
    if (s.size() != 4) return fallback;
    return AUDIO_FOUR_CC(s[0], s[1], s[2], s[3]);
}

}  // namespace

Server::Server(std::string socketPath, bool defaultDevices)
    : socketPath_(std::move(socketPath)), defaultDevices_(defaultDevices) {
    uint64_t r = 0;
    if (getrandom(&r, sizeof(r), 0) != sizeof(r)) r = HostClockGetTime();
    instanceID_ = r ^ (uint64_t(getpid()) << 32);
}

Server::~Server() {
    if (listenFd_ >= 0) close(listenFd_);
}

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
    default: return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus Server::getValue(const Connection& c, AudioObjectID obj, const AudioObjectPropertyAddress& a,
                          const WireValue& q, PropValue& out) const {
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
        return f->forwardSet(a, q, data);
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

// ---- faults ----------------------------------------------------------------------------

int32_t Server::consumeFault(const std::string& call) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    auto it = faults_.find(call);
    if (it == faults_.end()) return 0;
    int32_t status = it->second.status;
    if (it->second.remaining > 0 && --it->second.remaining == 0) faults_.erase(it);
    return status;
}

// ---- notifications ---------------------------------------------------------------------

void Server::notify(const Notes& notes) {
    if (notes.empty()) return;
    std::lock_guard<std::mutex> lock(noteMutex_);
    for (const auto& n : notes) {
        // Coalesce consecutive addresses of one object into one message.
        if (!noteQueue_.empty() && noteQueue_.back().first == n.first && noteQueue_.size() > 0 &&
            noteQueue_.back().second.size() < 64)
            noteQueue_.back().second.push_back(n.second);
        else
            noteQueue_.push_back({n.first, {n.second}});
    }
    noteCv_.notify_one();
}

void Server::notifierLoop() {
    for (;;) {
        std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>> item;
        {
            std::unique_lock<std::mutex> lock(noteMutex_);
            noteCv_.wait(lock, [&] { return noteStop_ || !noteQueue_.empty(); });
            if (noteQueue_.empty()) return;
            item = std::move(noteQueue_.front());
            noteQueue_.pop_front();
        }
        Writer w;
        w.u32(item.first);
        w.u32(static_cast<uint32_t>(item.second.size()));
        for (const auto& a : item.second) w.address(a);
        Header h{static_cast<uint32_t>(Op::Notify), 0, 0, 0};
        std::vector<std::shared_ptr<Connection>> conns;
        {
            std::lock_guard<std::mutex> lock(connMutex_);
            conns = connections_;
        }
        for (auto& c : conns) {
            // A client that does not read (stopped, or stuck) loses its notifications
            // rather than holding up everyone else's.
            std::lock_guard<std::mutex> lock(c->sendMutex);
            if (!c->closed) audioproto::SendMessage(c->fd, h, w.data(), -1, true);
        }
    }
}

// ---- connections -----------------------------------------------------------------------

void Server::reply(Connection& c, const Header& req, int32_t status, const std::vector<uint8_t>& payload, int passFd) {
    Header h{req.op, req.seq, status, 0};
    std::lock_guard<std::mutex> lock(c.sendMutex);
    if (!c.closed) audioproto::SendMessage(c.fd, h, payload, passFd);
}

void Server::stopIO(Connection& c, AudioObjectID device, Notes& notes) {
    std::shared_ptr<Device> d;
    std::shared_ptr<EngineClient> client;
    bool wasRunning = false;
    bool active = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        d = deviceByID(device);
        auto it = c.io.find(device);
        if (it != c.io.end()) {
            client = it->second;
            c.io.erase(it);
        }
        active = c.activeIO.erase(device) > 0;
        wasRunning = d && d->engine->running();
    }
    if (d && client) d->engine->removeClient(client.get());
    if (d && client && client->lateCycles.load() > 0) {
        // Out of the cycle now, so its count is final.
        std::lock_guard<std::mutex> lock(mutex_);
        d->departedLate.push_back({client->pid, c.bundleID, client->clientID, client->lateCycles.load()});
        if (d->departedLate.size() > Device::kDepartedLateLimit) d->departedLate.pop_front();
    }
    if (d && client && active) d->clientStopped(client->clientID, client->pid);
    if (d && wasRunning && !d->engine->running())
        notes.push_back({d->id, {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0}});
}

void Server::disconnect(const std::shared_ptr<Connection>& c) {
    Notes notes;
    std::vector<AudioObjectID> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, client] : c->io) devices.push_back(id);
    }
    for (AudioObjectID d : devices) stopIO(*c, d, notes);
    // Its taps and aggregates go with it.
    removeTapsOf(*c, notes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (c->processObject) {
            objects_.erase(c->processObject);
            processes_.erase(std::remove_if(processes_.begin(), processes_.end(),
                                            [&](const auto& p) { return p->id == c->processObject; }),
                             processes_.end());
            c->processObject = 0;
            notes.push_back({kAudioObjectSystemObject,
                             {kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal, 0}});
        }
    }
    {
        std::lock_guard<std::mutex> lock(c->sendMutex);
        c->closed = true;
        close(c->fd);
    }
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        connections_.erase(std::remove(connections_.begin(), connections_.end(), c), connections_.end());
    }
    notify(notes);
}

void Server::serve(const std::shared_ptr<Connection>& c) {
    Header h{};
    std::vector<uint8_t> payload;
    while (!shuttingDown_.load()) {
        int fd = -1;
        if (!audioproto::ReceiveMessage(c->fd, h, payload, &fd)) break;
        if (fd >= 0) close(fd);  // clients never send descriptors
        handle(c, h, payload);
    }
    if (!shuttingDown_.load()) disconnect(c);
}

void Server::handle(const std::shared_ptr<Connection>& c, const Header& h, const std::vector<uint8_t>& payload) {
    Reader r(payload);
    Writer w;
    Notes notes;
    switch (static_cast<Op>(h.op)) {
    case Op::Hello: {
        int32_t pid = r.i32();
        std::string bundle = r.str();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            c->pid = pid;
            c->bundleID = bundle;
        }
        w.u64(instanceID_);
        w.i32(getpid());
        return reply(*c, h, 0, w.data());
    }
    case Op::GetSize:
    case Op::GetData:
    case Op::HasProperty:
    case Op::IsSettable: {
        AudioObjectID obj = r.u32();
        AudioObjectPropertyAddress a = r.address();
        WireValue q = WireValue::read(r);
        uint32_t inSize = r.u32();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        Op op = static_cast<Op>(h.op);
        const char* call = op == Op::GetSize   ? "AudioObjectGetPropertyDataSize"
                           : op == Op::GetData ? "AudioObjectGetPropertyData"
                           : op == Op::IsSettable ? "AudioObjectIsPropertySettable"
                                                  : "AudioObjectHasProperty";
        if (int32_t f = consumeFault(call)) return reply(*c, h, f);
        PropValue v;
        OSStatus st;
        bool settable = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            st = getValue(*c, obj, a, q, v);
            if (op == Op::IsSettable && st == 0) settable = isSettable(obj, a);
            if (op == Op::IsSettable && st == kAudioHardwareUnknownPropertyError && isSettable(obj, a)) st = 0;
        }
        if (op == Op::HasProperty) {
            w.u32(st == 0 ? 1 : 0);
            return reply(*c, h, 0, w.data());
        }
        if (st != 0) return reply(*c, h, st);
        if (op == Op::IsSettable) {
            w.u32(settable ? 1 : 0);
            return reply(*c, h, 0, w.data());
        }
        if (op == Op::GetSize) {
            w.u32(v.size());
            return reply(*c, h, 0, w.data());
        }
        // A buffer too small for a fixed-size value is an error; a list of ids gives as
        // many whole ids as fit, since the list may have grown since the size query.
        if (inSize < v.size()) {
            bool isList = v.kind == ValueKind::Plain &&
                          (a.mSelector == kAudioHardwarePropertyDevices || a.mSelector == kAudioObjectPropertyOwnedObjects ||
                           a.mSelector == kAudioHardwarePropertyProcessObjectList ||
                           a.mSelector == kAudioDevicePropertyStreams || a.mSelector == kAudioHardwarePropertyPlugInList ||
                           a.mSelector == kAudioHardwarePropertyTapList);
            if (!isList) return reply(*c, h, kAudioHardwareBadPropertySizeError);
            v.bytes.resize(inSize / 4 * 4);
        }
        WireValue out;
        out.kind = v.kind;
        out.bytes = v.bytes;
        out.text = v.text;
        out.write(w);
        return reply(*c, h, 0, w.data());
    }
    case Op::SetData: {
        AudioObjectID obj = r.u32();
        AudioObjectPropertyAddress a = r.address();
        WireValue q = WireValue::read(r);
        std::vector<uint8_t> data = r.bytes();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        if (int32_t f = consumeFault("AudioObjectSetPropertyData")) return reply(*c, h, f);
        OSStatus st;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            st = setValue(*c, obj, a, q, data, notes);
        }
        reply(*c, h, st);
        return notify(notes);
    }
    case Op::CheckDevice: {
        AudioObjectID dev = r.u32();
        std::string call = r.str();
        if (int32_t f = consumeFault(call)) return reply(*c, h, f);
        std::lock_guard<std::mutex> lock(mutex_);
        auto d = deviceByID(dev);
        return reply(*c, h, d && visibleTo(*d, *c) ? 0 : kAudioHardwareBadDeviceError);
    }
    case Op::IOStart: {
        AudioObjectID dev = r.u32();
        if (int32_t f = consumeFault("AudioDeviceStart")) return reply(*c, h, f);
        std::shared_ptr<EngineClient> client;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto d = deviceByID(dev);
            if (!d || !visibleTo(*d, *c)) return reply(*c, h, kAudioHardwareBadDeviceError);
            auto it = c->io.find(dev);
            if (it != c->io.end()) {
                client = it->second;
            } else {
                client = CreateEngineClient(d->io, d->nextClientID++, c->pid);
                if (!client) return reply(*c, h, kAudio_MemFullError);
                c->io[dev] = client;
            }
        }
        w.u32(client->size);
        w.u32(client->clientID);
        return reply(*c, h, 0, w.data(), client->memfd);
    }
    case Op::IOActivate: {
        AudioObjectID dev = r.u32();
        std::shared_ptr<Device> d;
        std::shared_ptr<EngineClient> client;
        bool wasRunning = false;
        bool tapsStale = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            d = deviceByID(dev);
            auto it = c->io.find(dev);
            if (!d || it == c->io.end()) return reply(*c, h, kAudioHardwareBadDeviceError);
            // A device that appeared after the last change of the taps learns them now.
            tapsStale = !taps_.empty() && d->tapGeneration != tapGeneration_;
            client = it->second;
            if (c->activeIO.count(dev)) return reply(*c, h, 0);
            c->activeIO.insert(dev);
            wasRunning = d->engine->running();
            // A process becomes a process object when it first starts audio IO.
            if (!c->processObject) {
                auto p = std::make_shared<ProcessObject>();
                p->id = allocateID();
                p->pid = c->pid;
                p->bundleID = c->bundleID;
                objects_[p->id] = p;
                processes_.push_back(p);
                c->processObject = p->id;
                notes.push_back({kAudioObjectSystemObject,
                                 {kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal, 0}});
            }
        }
        if (tapsStale) publishTaps();
        d->clientStarting(client->clientID, c->pid);
        d->engine->addClient(client);
        if (!wasRunning) notes.push_back({d->id, {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0}});
        reply(*c, h, 0);
        return notify(notes);
    }
    case Op::IOStop: {
        AudioObjectID dev = r.u32();
        stopIO(*c, dev, notes);
        reply(*c, h, 0);
        return notify(notes);
    }
    case Op::CreateTap:
    case Op::DestroyTap:
    case Op::CreateAggregate:
    case Op::DestroyAggregate: return handleTapRequest(c, h, payload);
    case Op::ConsumeFault: {
        std::string call = r.str();
        return reply(*c, h, consumeFault(call));
    }
    case Op::Control: {
        std::string req = r.str();
        bool stop = false;
        std::string answer = control(req, stop);
        w.str(answer);
        reply(*c, h, 0, w.data());
        if (stop) shutdown();
        return;
    }
    default: return reply(*c, h, kAudioHardwareIllegalOperationError);
    }
}

// ---- control requests (audioctl) ---------------------------------------------------------

static bool ParseStreams(const json& j, const char* key, SampleFormat fmt, std::vector<StreamSpec>& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_array()) return false;
    for (const auto& v : j[key]) {
        if (!v.is_number_unsigned() || v.get<uint32_t>() == 0 || v.get<uint32_t>() > 64) return false;
        out.push_back({v.get<uint32_t>(), fmt});
    }
    return true;
}

std::string Server::control(const std::string& request, bool& shutdownAfter) {
    json req = json::parse(request, nullptr, false);
    auto fail = [](const std::string& msg) { return json{{"ok", false}, {"error", msg}}.dump(); };
    if (req.is_discarded() || !req.is_object() || !req.contains("op") || !req["op"].is_string())
        return fail("malformed request");
    const std::string op = req["op"];
    Notes notes;
    json answer = {{"ok", true}};
    try {
        if (op == "status") {
            answer["pid"] = getpid();
            answer["instance"] = instanceID_;
        } else if (op == "shutdown") {
            shutdownAfter = true;
        } else if (op == "addDevice") {
            DeviceDescription s;
            s.name = req.value("name", "");
            s.uid = req.value("uid", "");
            if (s.name.empty() || s.uid.empty()) return fail("a device needs a name and a UID");
            s.manufacturer = req.value("manufacturer", s.manufacturer);
            s.transport = ParseFourCC(req.value("transport", "bltn"), 0);
            if (!s.transport) return fail("transport must be four characters");
            s.rate = req.value("rate", 48000.0);
            if (!(s.rate >= 8000.0 && s.rate <= 384000.0)) return fail("rate out of range");
            std::string fmt = req.value("inputFormat", "float32");
            SampleFormat inFmt = fmt == "int24" ? SampleFormat::Int24 : fmt == "int16" ? SampleFormat::Int16 : SampleFormat::Float32;
            if (fmt != "int24" && fmt != "int16" && fmt != "float32") return fail("input format must be float32, int24 or int16");
            if (!ParseStreams(req, "inputs", inFmt, s.inputs) || !ParseStreams(req, "outputs", SampleFormat::Float32, s.outputs))
                return fail("streams are lists of channel counts from 1 to 64");
            if (s.inputs.empty() && s.outputs.empty()) return fail("a device needs at least one stream");
            if (s.inputs.size() > audioproto::kMaxIOStreams || s.outputs.size() > audioproto::kMaxIOStreams)
                return fail("too many streams");
            s.bufferMin = req.value("bufferMin", 32u);
            s.bufferMax = req.value("bufferMax", 4096u);
            s.bufferFrames = req.value("bufferFrames", 512u);
            if (s.bufferMin < 1 || s.bufferMax > audioproto::kMaxIOFrames || s.bufferMin > s.bufferMax)
                return fail("buffer range must lie within 1 to 4096");
            s.driftPpm = req.value("driftPpm", 0.0);
            if (!(std::fabs(s.driftPpm) <= 100000.0)) return fail("drift out of range");
            std::lock_guard<std::mutex> lock(mutex_);
            if (deviceByUID(s.uid)) return fail("a device with UID " + s.uid + " exists");
            answer["id"] = addDevice(s, notes)->id;
        } else if (op == "removeDevice") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
                if (!d) return fail("no device with that UID");
                removeDevice(d, notes);
            }
            d->engine->removeAllClients();
            d->engine->stopCapture();
        } else if (op == "alterDevice") {
            std::lock_guard<std::mutex> lock(mutex_);
            auto d = deviceByUID(req.value("uid", ""));
            if (!d) return fail("no device with that UID");
            if (req.contains("name")) {
                d->desc.name = req.value("name", d->desc.name);
                notes.push_back({d->id, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}});
            }
            if (req.contains("driftPpm")) {
                double ppm = req.value("driftPpm", 0.0);
                if (!(std::fabs(ppm) <= 100000.0)) return fail("drift out of range");
                d->io.driftPpm.store(ppm);
            }
            if (req.contains("rate")) {
                double rate = req.value("rate", 0.0);
                if (!(rate >= 8000.0 && rate <= 384000.0)) return fail("rate out of range");
                if (d->io.nominalRate.exchange(rate) != rate) {
                    notes.push_back({d->id, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyActualSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeOutput, 0}});
                }
            }
            if (req.contains("bufferFrames")) {
                uint32_t f = req.value("bufferFrames", 0u);
                if (f < d->desc.bufferMin || f > d->desc.bufferMax) return fail("buffer frame size out of the device's range");
                if (d->io.bufferFrames.exchange(f) != f)
                    notes.push_back({d->id, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}});
            }
        } else if (op == "setDefault") {
            std::lock_guard<std::mutex> lock(mutex_);
            auto d = deviceByUID(req.value("uid", ""));
            if (!d) return fail("no device with that UID");
            std::string which = req.value("which", "");
            AudioObjectID* target = which == "input"    ? &defaultInput_
                                    : which == "output" ? &defaultOutput_
                                    : which == "system" ? &defaultSystemOutput_
                                                        : nullptr;
            if (!target) return fail("which must be input, output or system");
            if ((which == "input" ? d->desc.inputs : d->desc.outputs).empty())
                return fail("the device has no " + std::string(which == "input" ? "input" : "output") + " streams");
            AudioObjectPropertySelector sel = which == "input"    ? kAudioHardwarePropertyDefaultInputDevice
                                              : which == "output" ? kAudioHardwarePropertyDefaultOutputDevice
                                                                  : kAudioHardwarePropertyDefaultSystemOutputDevice;
            if (*target != d->id) {
                *target = d->id;
                notes.push_back({kAudioObjectSystemObject, {sel, kAudioObjectPropertyScopeGlobal, 0}});
            }
        } else if (op == "signal") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            uint32_t inCh = d->io.inputChannels();
            if (inCh == 0) return fail("the device has no inputs");
            int channel = req.value("channel", 0);
            if (channel < 0 || channel > int(inCh)) return fail("channel out of range");
            ChannelSignal sig;
            std::string type = req.value("type", "");
            if (type == "silence") {
                sig.type = SignalType::Silence;
            } else if (type == "sine") {
                sig.type = SignalType::Sine;
                sig.frequency = req.value("frequency", 0.0);
                double level = req.value("level", -20.0);
                if (!(sig.frequency > 0 && sig.frequency < d->io.nominalRate.load() / 2)) return fail("frequency out of range");
                if (!(level <= 0.0 && level > -200.0)) return fail("level must be a dBFS value at most 0");
                sig.amplitude = std::pow(10.0, level / 20.0);
            } else if (type == "samples") {
                if (!req.contains("samples") || !req["samples"].is_array() || req["samples"].empty())
                    return fail("samples must be a non-empty list");
                auto v = std::make_shared<std::vector<float>>();
                for (const auto& s : req["samples"]) {
                    if (!s.is_number()) return fail("samples must be numbers");
                    v->push_back(std::clamp(s.get<float>(), -1.0f, 1.0f));
                }
                sig.type = SignalType::Samples;
                sig.samples = v;
            } else if (type == "wav") {
                tidewell::tools::AudioData audio;
                try {
                    audio = tidewell::tools::readWav(req.value("path", ""));
                } catch (const std::exception& e) {
                    return fail("cannot read " + req.value("path", "") + ": " + e.what());
                }
                if (audio.channels == 0 || audio.frames() == 0) return fail("the file holds no audio");
                // File channel k plays on device channel k (wrapping round the file's
                // channels); a single chosen channel gets the file's first channel.
                for (uint32_t ch = 0; ch < inCh; ++ch) {
                    if (channel != 0 && ch != uint32_t(channel - 1)) continue;
                    uint32_t from = channel != 0 ? 0 : ch % audio.channels;
                    auto v = std::make_shared<std::vector<float>>();
                    v->reserve(audio.frames());
                    for (size_t i = 0; i < audio.frames(); ++i) v->push_back(audio.samples[i * audio.channels + from]);
                    ChannelSignal one;
                    one.type = SignalType::Samples;
                    one.samples = v;
                    d->engine->setSignal(int(ch), one);
                }
                notify(notes);
                return answer.dump();
            } else {
                return fail("signal type must be silence, sine, samples or wav");
            }
            d->engine->setSignal(channel - 1, sig);
        } else if (op == "captureStart") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            if (d->io.outputChannels() == 0) return fail("the device has no outputs");
            std::string error;
            bool wasRunning = d->engine->running();
            if (!d->engine->startCapture(req.value("path", ""), error)) return fail(error);
            if (!wasRunning) notes.push_back({d->id, {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0}});
        } else if (op == "captureStop") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            if (!d->engine->stopCapture()) return fail("no capture runs on that device");
        } else if (op == "fail") {
            std::string call = req.value("call", "");
            if (call.empty()) return fail("name the call to fail");
            int32_t status = req.value("status", 0);
            int64_t count = req.value("count", int64_t(1));
            std::lock_guard<std::mutex> lock(faultMutex_);
            if (status == 0) faults_.erase(call);
            else faults_[call] = Fault{status, count == 0 ? -1 : count};
        } else if (op == "tapPermission") {
            return controlTapPermission(req);
        } else if (op == "tapRates") {
            return controlTapRates(req);
        } else if (op == "counters") {
            std::lock_guard<std::mutex> lock(mutex_);
            std::vector<std::shared_ptr<Connection>> conns;
            {
                std::lock_guard<std::mutex> connLock(connMutex_);
                conns = connections_;
            }
            auto entry = [](const ClientLateCount& k, bool present) {
                return json{{"pid", k.pid}, {"name", k.name}, {"clientID", k.clientID}, {"lateCycles", k.lateCycles},
                            {"present", present}};
            };
            json devs = json::array();
            for (const auto& d : devices_) {
                EngineCounters k = d->engine->counters();
                // Per client: those with an IO block on the device now, then those that
                // left after being late.
                std::vector<ClientLateCount> present;
                for (const auto& c : conns)
                    if (auto it = c->io.find(d->id); it != c->io.end())
                        present.push_back({c->pid, c->bundleID, it->second->clientID, it->second->lateCycles.load()});
                std::sort(present.begin(), present.end(), [](const auto& a, const auto& b) { return a.clientID < b.clientID; });
                json clients = json::array();
                for (const auto& p : present) clients.push_back(entry(p, true));
                for (const auto& p : d->departedLate) clients.push_back(entry(p, false));
                devs.push_back({{"uid", d->desc.uid}, {"cycles", k.cycles}, {"lateClientCycles", k.lateClientCycles},
                                {"running", d->engine->running()}, {"clients", clients}});
            }
            answer["devices"] = devs;
        } else {
            return fail("unknown request " + op);
        }
    } catch (const json::exception& e) {
        return fail(std::string("bad request: ") + e.what());
    }
    notify(notes);
    return answer.dump();
}

// ---- life ------------------------------------------------------------------------------

static void MakeParents(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
}

bool Server::listen() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "audioserverd: socket path is empty or too long: %s\n", socketPath_.c_str());
        return false;
    }
    int probe = audioproto::ConnectToServer(socketPath_);
    if (probe >= 0) {
        close(probe);
        std::fprintf(stderr, "audioserverd: a server already answers on %s\n", socketPath_.c_str());
        return false;
    }
    MakeParents(socketPath_);
    unlink(socketPath_.c_str());  // a stale socket of a server that died
    std::memcpy(addr.sun_path, socketPath_.data(), socketPath_.size());
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        std::fprintf(stderr, "audioserverd: cannot listen on %s: %s\n", socketPath_.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void Server::shutdown() {
    if (shuttingDown_.exchange(true)) return;
    char b = 1;
    if (write(wakePipe_[1], &b, 1) < 0) {
    }
}

void Server::run() {
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) return;
    {
        Notes notes;
        std::lock_guard<std::mutex> lock(mutex_);
        if (defaultDevices_) {
            DeviceDescription out;
            out.name = "Built-in Output";
            out.uid = "BuiltInOutputDevice";
            out.outputs = {{2, SampleFormat::Float32}};
            auto o = addDevice(out, notes);
            DeviceDescription mic;
            mic.name = "Built-in Microphone";
            mic.uid = "BuiltInMicrophoneDevice";
            mic.inputs = {{2, SampleFormat::Float32}};
            auto m = addDevice(mic, notes);
            DeviceDescription usb;
            usb.name = "USB Audio Interface";
            usb.uid = "USBAudioInterface";
            usb.transport = kAudioDeviceTransportTypeUSB;
            usb.rate = 44100.0;
            usb.inputs = {{2, SampleFormat::Int24}, {2, SampleFormat::Int24}};
            usb.outputs = {{4, SampleFormat::Float32}};
            addDevice(usb, notes);
            defaultOutput_ = defaultSystemOutput_ = o->id;
            defaultInput_ = m->id;
            // The microphone plays a quiet test tone unless told otherwise.
            ChannelSignal tone;
            tone.type = SignalType::Sine;
            tone.frequency = 440.0;
            tone.amplitude = std::pow(10.0, -30.0 / 20.0);
            m->engine->setSignal(-1, tone);
        }
    }
    notifier_ = std::thread([this] { notifierLoop(); });
    // Plug-ins come after the emulated devices; their devices appear as they report them.
    plugIns_ = new PlugInHost(*this);
    plugIns_->loadAll();

    // Signals end the server cleanly: captures are completed and the socket removed.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread signalThread([this, set] {
        int sig = 0;
        sigwait(&set, &sig);
        shutdown();
    });
    signalThread.detach();

    while (!shuttingDown_.load()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        {
            std::lock_guard<std::mutex> lock(connMutex_);
            connections_.push_back(c);
        }
        std::thread([this, c] { serve(c); }).detach();
    }

    // Stop: no new clients, every engine stopped (captures completed), then leave.
    close(listenFd_);
    listenFd_ = -1;
    unlink(socketPath_.c_str());
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices = devices_;
    }
    for (auto& d : devices) {
        d->engine->stopCapture();
        d->engine->removeAllClients();
    }
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        for (auto& c : connections_) {
            std::lock_guard<std::mutex> l2(c->sendMutex);
            c->closed = true;
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
    {
        // Pending permission prompts end without an answer.
        std::unique_lock<std::mutex> lock(promptMutex_);
        promptCv_.notify_all();
        promptCv_.wait(lock, [&] { return promptsWaiting_ == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(noteMutex_);
        noteStop_ = true;
        noteQueue_.clear();
    }
    noteCv_.notify_all();
    notifier_.join();
}

}  // namespace audioserver
