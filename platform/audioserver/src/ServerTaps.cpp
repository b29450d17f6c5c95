// Process taps, aggregate devices that present them, and the tap permission policy.
#include "Server.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>

namespace audioserver {

using audioproto::Header;
using audioproto::Op;
using audioproto::Reader;
using audioproto::ValueKind;
using audioproto::WireValue;
using audioproto::Writer;
using nlohmann::json;

namespace {

// The canonical upper-case form of a UUID string, or "" when it is not one.
std::string CanonicalUUID(const std::string& text) {
    if (text.size() != 36) return {};
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? out[i] != '-' : !std::isxdigit(static_cast<unsigned char>(out[i]))) return {};
        out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[i])));
    }
    return out;
}

std::string StringOf(CFTypeRef v) {
    if (!v || CFGetTypeID(v) != CFStringGetTypeID()) return {};
    auto s = static_cast<CFStringRef>(v);
    CFIndex max = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    std::string buf(static_cast<size_t>(max), '\0');
    if (!CFStringGetCString(s, buf.data(), max, kCFStringEncodingUTF8)) return {};
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

CFTypeRef Value(CFDictionaryRef d, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = CFDictionaryGetValue(d, k);
    CFRelease(k);
    return v;
}

// A boolean value (a CFBoolean, or a number: non-zero is true); `fallback` when absent.
bool BoolOf(CFTypeRef v, bool fallback) {
    if (!v) return fallback;
    if (CFGetTypeID(v) == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(v));
    if (CFGetTypeID(v) == CFNumberGetTypeID()) {
        double x = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberDoubleType, &x);
        return x != 0;
    }
    return fallback;
}

// The "uid" strings of a list of dictionaries (and each one's `flag`, when asked for);
// false when the list is malformed.
bool UIDList(CFTypeRef v, const char* key, std::vector<std::string>& out, const char* flag = nullptr,
             std::vector<bool>* flags = nullptr) {
    if (!v) return true;
    if (CFGetTypeID(v) != CFArrayGetTypeID()) return false;
    auto a = static_cast<CFArrayRef>(v);
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
        CFTypeRef item = CFArrayGetValueAtIndex(a, i);
        if (!item || CFGetTypeID(item) != CFDictionaryGetTypeID()) return false;
        std::string uid = StringOf(Value(static_cast<CFDictionaryRef>(item), key));
        if (uid.empty()) return false;
        out.push_back(uid);
        if (flags) flags->push_back(BoolOf(Value(static_cast<CFDictionaryRef>(item), flag), false));
    }
    return true;
}

}  // namespace

// ---- objects ---------------------------------------------------------------------------

OSStatus TapObject::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    switch (a.mSelector) {
    case kAudioObjectPropertyName:
        out.kind = ValueKind::String;
        out.text = name;
        return 0;
    case kAudioTapPropertyUID:
        out.kind = ValueKind::String;
        out.text = uuid;
        return 0;
    case kAudioTapPropertyFormat: {
        AudioStreamBasicDescription f = MakeFormat(rate, state->channels, SampleFormat::Float32);
        out.bytes.resize(sizeof(f));
        std::memcpy(out.bytes.data(), &f, sizeof(f));
        return 0;
    }
    default: return Object::get(a, q, out);
    }
}

bool AggregateDevice::settable(const AudioObjectPropertyAddress& a) const {
    // The rate follows the clock device; only the cycle size is the aggregate's own.
    return a.mSelector == kAudioDevicePropertyBufferFrameSize;
}

void AggregateDevice::clientStarting(uint32_t, pid_t) {
    std::lock_guard<std::mutex> lock(runMutex);
    if (destroyed || activeClients++ > 0) return;
    startGeneration->fetch_add(1, std::memory_order_acq_rel);
    if (tapAutoStart)
        for (auto& t : taps) t->runCount.fetch_add(1, std::memory_order_acq_rel);
}

void AggregateDevice::clientStopped(uint32_t, pid_t) {
    std::lock_guard<std::mutex> lock(runMutex);
    if (destroyed || activeClients == 0 || --activeClients > 0) return;
    if (tapAutoStart)
        for (auto& t : taps) t->runCount.fetch_sub(1, std::memory_order_acq_rel);
}

void AggregateDevice::retire() {
    std::lock_guard<std::mutex> lock(runMutex);
    if (destroyed) return;
    destroyed = true;
    if (activeClients > 0 && tapAutoStart)
        for (auto& t : taps) t->runCount.fetch_sub(1, std::memory_order_acq_rel);
    activeClients = 0;
}

bool Server::visibleTo(const Object& o, const Connection& c) const {
    if (const auto* a = dynamic_cast<const AggregateDevice*>(&o)) return !a->isPrivate || a->creator == &c;
    if (const auto* t = dynamic_cast<const TapObject*>(&o)) return !t->isPrivate || t->creator == &c;
    if (const auto* s = dynamic_cast<const Stream*>(&o)) return !s->device || visibleTo(*s->device, c);
    return true;
}

// ---- taps ------------------------------------------------------------------------------

OSStatus Server::createTap(Connection& c, const TapRequest& d, AudioObjectID& id, Notes& notes) {
    if (c.departed.load()) return kAudioHardwareNotRunningError;
    std::string uuid = CanonicalUUID(d.uuid);
    if (uuid.empty()) return kAudio_ParamError;
    if (d.mute < kAudioTapMuteBehaviorUnmuted || d.mute > kAudioTapMuteBehaviorMutedWhenTapped) return kAudio_ParamError;
    // Only mixdowns are offered: a tap is one or two channels whatever the devices.
    if (!d.mixdown) return kAudioHardwareUnsupportedOperationError;
    for (const auto& t : taps_)
        if (t->uuid == uuid) return kAudioHardwareIllegalOperationError;
    auto state = std::make_shared<TapState>();
    for (AudioObjectID p : d.processes) {
        auto* proc = dynamic_cast<ProcessObject*>(object(p).get());
        if (!proc) return kAudioHardwareBadObjectError;
        state->pids.push_back(proc->pid);
    }
    std::sort(state->pids.begin(), state->pids.end());
    state->channels = d.mono ? 1 : 2;
    state->mute = d.mute;
    state->exclusive = d.exclusive;

    auto t = std::make_shared<TapObject>();
    t->id = allocateID();
    t->name = d.name;
    t->uuid = uuid;
    t->processes = d.processes;
    t->isPrivate = d.isPrivate;
    t->creator = &c;
    t->state = state;
    if (auto out = deviceByID(defaultOutput_)) t->rate = out->io.nominalRate.load();
    objects_[t->id] = t;
    taps_.push_back(t);
    id = t->id;
    notes.push_back({kAudioObjectSystemObject, {kAudioHardwarePropertyTapList, kAudioObjectPropertyScopeGlobal, 0}});
    return 0;
}

OSStatus Server::destroyTap(Connection& c, AudioObjectID id, Notes& notes) {
    auto it = std::find_if(taps_.begin(), taps_.end(), [&](const auto& t) { return t->id == id; });
    if (it == taps_.end() || (*it)->creator != &c) return kAudioHardwareBadObjectError;
    objects_.erase(id);
    taps_.erase(it);
    notes.push_back({kAudioObjectSystemObject, {kAudioHardwarePropertyTapList, kAudioObjectPropertyScopeGlobal, 0}});
    return 0;
}

// ---- aggregates ------------------------------------------------------------------------

OSStatus Server::createAggregate(Connection& c, const std::vector<uint8_t>& plist, AudioObjectID& id, Notes& notes) {
    if (c.departed.load()) return kAudioHardwareNotRunningError;
    CFDataRef data = CFDataCreate(nullptr, plist.data(), static_cast<CFIndex>(plist.size()));
    CFPropertyListRef parsed = CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
    CFRelease(data);
    if (!parsed) return kAudio_ParamError;
    struct Release {
        CFTypeRef r;
        ~Release() { CFRelease(r); }
    } release{parsed};
    if (CFGetTypeID(parsed) != CFDictionaryGetTypeID()) return kAudio_ParamError;
    auto dict = static_cast<CFDictionaryRef>(parsed);

    std::string name = StringOf(Value(dict, kAudioAggregateDeviceNameKey));
    std::string uid = StringOf(Value(dict, kAudioAggregateDeviceUIDKey));
    std::string mainUID = StringOf(Value(dict, kAudioAggregateDeviceMainSubDeviceKey));
    std::vector<std::string> subUIDs, tapUIDs;
    std::vector<bool> tapDrift;
    if (uid.empty() || !UIDList(Value(dict, kAudioAggregateDeviceSubDeviceListKey), kAudioSubDeviceUIDKey, subUIDs) ||
        !UIDList(Value(dict, kAudioAggregateDeviceTapListKey), kAudioSubTapUIDKey, tapUIDs,
                 kAudioSubTapDriftCompensationKey, &tapDrift))
        return kAudio_ParamError;
    if (Value(dict, kAudioAggregateDeviceMainSubDeviceKey) && mainUID.empty()) return kAudio_ParamError;
    if (deviceByUID(uid)) return kAudioHardwareIllegalOperationError;

    // Every device named must be one the caller can see, and not an aggregate itself.
    auto known = [&](const std::string& u) -> std::shared_ptr<Device> {
        auto d = deviceByUID(u);
        if (!d || !visibleTo(*d, c) || dynamic_cast<AggregateDevice*>(d.get())) return nullptr;
        return d;
    };
    for (const auto& u : subUIDs)
        if (!known(u)) return kAudioHardwareBadDeviceError;
    std::string clockUID = !mainUID.empty() ? mainUID : !subUIDs.empty() ? subUIDs.front() : std::string();
    auto clock = clockUID.empty() ? deviceByID(defaultOutput_) : known(clockUID);
    if (!clock) return kAudioHardwareBadDeviceError;

    // Its input is its taps and nothing else (sub-devices only clock it).
    std::vector<std::shared_ptr<TapObject>> taps;
    for (const auto& u : tapUIDs) {
        std::string canon = CanonicalUUID(u);
        auto it = std::find_if(taps_.begin(), taps_.end(),
                               [&](const auto& t) { return t->uuid == canon && t->creator == &c; });
        if (it == taps_.end()) return kAudioHardwareBadObjectError;
        if ((*it)->aggregate != 0 || std::find(taps.begin(), taps.end(), *it) != taps.end())
            return kAudioHardwareIllegalOperationError;
        taps.push_back(*it);
    }
    if (taps.empty() || taps.size() > audioproto::kMaxIOStreams) return kAudioHardwareUnsupportedOperationError;

    double labelled = 0, delivered = 0;
    {
        std::lock_guard<std::mutex> lock(promptMutex_);
        labelled = tapLabelledRate_;
        delivered = tapDeliveredRate_;
    }
    DeviceDescription desc;
    desc.name = name;
    desc.uid = uid;
    desc.manufacturer = "Tidewell";
    desc.transport = kAudioDeviceTransportTypeAggregate;
    desc.rate = delivered > 0 ? delivered : clock->io.nominalRate.load();
    desc.driftPpm = clock->io.driftPpm.load();
    desc.bufferMin = clock->desc.bufferMin;
    desc.bufferMax = clock->desc.bufferMax;
    desc.bufferFrames = clock->io.bufferFrames.load();
    for (const auto& t : taps) desc.inputs.push_back({t->state->channels, SampleFormat::Float32});

    auto made = std::make_shared<AggregateDevice>();
    made->creator = &c;
    made->isPrivate = BoolOf(Value(dict, kAudioAggregateDeviceIsPrivateKey), false);
    made->tapAutoStart = BoolOf(Value(dict, kAudioAggregateDeviceTapAutoStartKey), false);
    for (const auto& t : taps) {
        made->taps.push_back(t->state);
        made->tapIDs.push_back(t->id);
    }
    made->tapDrift = tapDrift;
    auto d = addDevice(desc, notes, made);
    for (const auto& t : taps) {
        t->aggregate = d->id;
        t->rate = labelled > 0 ? labelled : desc.rate;
    }
    id = d->id;
    return 0;
}

OSStatus Server::destroyAggregate(Connection& c, AudioObjectID id, Notes& notes) {
    auto d = deviceByID(id);
    auto* a = dynamic_cast<AggregateDevice*>(d.get());
    if (!a || a->creator != &c) return kAudioHardwareBadDeviceError;
    a->retire();
    for (const auto& t : taps_)
        if (t->aggregate == id) t->aggregate = 0;
    removeDevice(d, notes);
    return 0;
}

void Server::removeTapsOf(Connection& c, Notes& notes) {
    std::vector<std::shared_ptr<Device>> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        c.departed.store(true);
        for (const auto& d : std::vector<std::shared_ptr<Device>>(devices_))
            if (auto* a = dynamic_cast<AggregateDevice*>(d.get()); a && a->creator == &c) {
                destroyAggregate(c, d->id, notes);
                gone.push_back(d);
            }
        std::vector<AudioObjectID> mine;
        for (const auto& t : taps_)
            if (t->creator == &c) mine.push_back(t->id);
        for (AudioObjectID t : mine) destroyTap(c, t, notes);
        if (gone.empty() && mine.empty()) {
            // Nothing of its own: the engines' tap sets stay as they are.
            std::lock_guard<std::mutex> prompts(promptMutex_);
            promptCv_.notify_all();
            return;
        }
    }
    {
        // A prompt this client waits for ends now.
        std::lock_guard<std::mutex> lock(promptMutex_);
        promptCv_.notify_all();
    }
    for (auto& d : gone) {
        d->engine->removeAllClients();
        d->engine->stopCapture();
    }
    publishTaps();
}

// ---- publication to the engines ----------------------------------------------------------

void Server::publishTaps() {
    std::lock_guard<std::mutex> publishing(tapPublishMutex_);
    std::vector<std::pair<std::shared_ptr<Device>, std::unique_ptr<TapFeedSet>>> feeds;
    std::vector<std::pair<std::shared_ptr<Device>, std::unique_ptr<TapInputSet>>> inputs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++tapGeneration_;
        std::set<AudioObjectID> live;
        for (const auto& d : devices_) live.insert(d->id);
        for (const auto& t : taps_)
            for (auto it = t->rings.begin(); it != t->rings.end();)
                it = live.count(it->first) ? std::next(it) : t->rings.erase(it);
        for (const auto& d : devices_) {
            d->tapGeneration = tapGeneration_;
            if (auto* a = dynamic_cast<AggregateDevice*>(d.get())) {
                auto set = std::make_unique<TapInputSet>();
                set->startGeneration = a->startGeneration;
                set->seenGeneration = a->startGeneration->load();
                for (size_t i = 0; i < a->taps.size(); ++i) set->streams.push_back({a->taps[i], {}, a->tapDrift[i]});
                inputs.emplace_back(d, std::move(set));
                continue;
            }
            if (d->io.outputChannels() == 0 || (taps_.empty() && !d->tapsPublished)) continue;
            std::unique_ptr<TapFeedSet> set;
            if (!taps_.empty()) {
                set = std::make_unique<TapFeedSet>();
                for (const auto& t : taps_) {
                    auto& ring = t->rings[d->id];
                    if (!ring) ring = std::make_shared<TapRing>(t->state->channels);
                    set->taps.push_back({t->state, ring});
                }
            }
            d->tapsPublished = !taps_.empty();
            feeds.emplace_back(d, std::move(set));
        }
        // Each aggregate reads every device's ring of its taps (a destroyed tap has none).
        for (auto& [d, set] : inputs) {
            auto* a = static_cast<AggregateDevice*>(d.get());
            for (size_t i = 0; i < a->taps.size(); ++i) {
                for (const auto& t : taps_)
                    if (t->id == a->tapIDs[i])
                        for (const auto& [dev, ring] : t->rings) set->streams[i].rings.push_back(ring);
            }
        }
    }
    for (auto& [d, set] : feeds) d->engine->setTaps(std::move(set));
    for (auto& [d, set] : inputs) d->engine->setTapInput(std::move(set));
}

// ---- requests ----------------------------------------------------------------------------

void Server::promptThenCreate(std::shared_ptr<Connection> c, Header h, TapRequest d, TapPermission p) {
    bool gone;
    {
        std::unique_lock<std::mutex> lock(promptMutex_);
        auto over = [&] { return c->departed.load() || shuttingDown_.load(); };
        if (p.answer == TapPermission::Answer::Never)
            promptCv_.wait(lock, over);
        else
            promptCv_.wait_for(lock, std::chrono::duration<double>(p.seconds), over);
        gone = over();
    }
    if (!gone) {
        if (p.answer == TapPermission::Answer::Deny) {
            reply(*c, h, kAudioHardwareTapPermissionError);
        } else {
            Notes notes;
            AudioObjectID id = 0;
            OSStatus st;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                st = createTap(*c, d, id, notes);
            }
            if (st == 0) publishTaps();
            std::vector<uint8_t> answer(sizeof(id));
            std::memcpy(answer.data(), &id, sizeof(id));
            reply(*c, h, st, answer);
            notify(notes);
        }
    }
    std::lock_guard<std::mutex> lock(promptMutex_);
    --promptsWaiting_;
    promptCv_.notify_all();
}

void Server::handleTapRequest(const std::shared_ptr<Connection>& c, const Header& h, const std::vector<uint8_t>& payload) {
    Reader r(payload);
    Writer w;
    Notes notes;
    OSStatus st = 0;
    AudioObjectID id = 0;
    switch (static_cast<Op>(h.op)) {
    case Op::CreateTap: {
        TapRequest d;
        d.name = r.str();
        d.uuid = r.str();
        uint32_t n = r.u32();
        for (uint32_t i = 0; i < n && r.ok(); ++i) d.processes.push_back(r.u32());
        uint32_t flags = r.u32();
        d.exclusive = flags & 1u;
        d.isPrivate = flags & 2u;
        d.mono = flags & 4u;
        d.mixdown = flags & 8u;
        d.mute = r.i32();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        if (int32_t f = consumeFault("AudioHardwareCreateProcessTap")) return reply(*c, h, f);
        TapPermission p;
        {
            std::lock_guard<std::mutex> lock(promptMutex_);
            p = permission_;
            if (p.mode == TapPermission::Mode::Prompt) {
                // The wait runs beside this client's request thread, so the client's
                // other calls (and every other client) go on meanwhile.
                ++promptsWaiting_;
                std::thread([this, c, h, d, p] { promptThenCreate(c, h, d, p); }).detach();
                return;
            }
        }
        if (p.mode == TapPermission::Mode::Deny) return reply(*c, h, kAudioHardwareTapPermissionError);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            st = createTap(*c, d, id, notes);
        }
        if (st == 0) publishTaps();
        break;
    }
    case Op::DestroyTap: {
        AudioObjectID tap = r.u32();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        if (int32_t f = consumeFault("AudioHardwareDestroyProcessTap")) return reply(*c, h, f);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            st = destroyTap(*c, tap, notes);
        }
        if (st == 0) publishTaps();
        break;
    }
    case Op::CreateAggregate: {
        std::vector<uint8_t> plist = r.bytes();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        if (int32_t f = consumeFault("AudioHardwareCreateAggregateDevice")) return reply(*c, h, f);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            st = createAggregate(*c, plist, id, notes);
        }
        if (st == 0) publishTaps();
        break;
    }
    case Op::DestroyAggregate: {
        AudioObjectID dev = r.u32();
        if (!r.ok()) return reply(*c, h, kAudio_ParamError);
        if (int32_t f = consumeFault("AudioHardwareDestroyAggregateDevice")) return reply(*c, h, f);
        std::shared_ptr<Device> d;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            d = deviceByID(dev);
            st = destroyAggregate(*c, dev, notes);
        }
        if (st == 0) {
            d->engine->removeAllClients();
            d->engine->stopCapture();
            publishTaps();
        }
        break;
    }
    default: return reply(*c, h, kAudioHardwareIllegalOperationError);
    }
    w.u32(id);
    reply(*c, h, st, w.data());
    notify(notes);
}

std::string Server::controlTapPermission(const json& req) {
    auto fail = [](const std::string& msg) { return json{{"ok", false}, {"error", msg}}.dump(); };
    TapPermission p;
    std::string mode = req.value("mode", "");
    if (mode == "allow") p.mode = TapPermission::Mode::Allow;
    else if (mode == "deny") p.mode = TapPermission::Mode::Deny;
    else if (mode == "prompt") p.mode = TapPermission::Mode::Prompt;
    else return fail("mode must be allow, deny or prompt");
    if (p.mode == TapPermission::Mode::Prompt) {
        p.seconds = req.value("seconds", -1.0);
        if (!(p.seconds >= 0 && p.seconds <= 86400)) return fail("seconds must lie within 0 to 86400");
        std::string answer = req.value("answer", "");
        if (answer == "allow") p.answer = TapPermission::Answer::Allow;
        else if (answer == "deny") p.answer = TapPermission::Answer::Deny;
        else if (answer == "never") p.answer = TapPermission::Answer::Never;
        else return fail("answer must be allow, deny or never");
    }
    std::lock_guard<std::mutex> lock(promptMutex_);
    permission_ = p;
    return json{{"ok", true}}.dump();
}

std::string Server::controlTapRates(const json& req) {
    double labelled = req.value("labelled", -1.0), delivered = req.value("delivered", -1.0);
    auto valid = [](double r) { return r == 0 || (r >= 8000 && r <= 384000); };
    if (!valid(labelled) || !valid(delivered))
        return json{{"ok", false}, {"error", "rates must be 0 (the clock's) or lie within 8000 to 384000"}}.dump();
    std::lock_guard<std::mutex> lock(promptMutex_);
    tapLabelledRate_ = labelled;
    tapDeliveredRate_ = delivered;
    return json{{"ok", true}}.dump();
}

}  // namespace audioserver
