// Client connections: the requests a client sends on the socket, its IO blocks on devices,
// its process object, and the property notifications every client receives.
#include "Server.h"

#include <algorithm>
#include <unistd.h>

namespace audioserver {

using audioproto::Header;
using audioproto::Op;
using audioproto::Reader;
using audioproto::ValueKind;
using audioproto::WireValue;
using audioproto::Writer;

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

}  // namespace audioserver
