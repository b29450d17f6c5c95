#include "PlugInHost.h"

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

namespace audioserver {

using audioproto::ValueKind;
using audioproto::WireValue;

namespace {

constexpr const char* kDefaultPlugInPath = "/usr/local/lib/audioserver/Plug-Ins/HAL";

std::string InfoString(CFBundleRef bundle, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = CFBundleGetValueForInfoDictionaryKey(bundle, k);
    CFRelease(k);
    return v != nullptr && CFGetTypeID(v) == CFStringGetTypeID() ? CFText(static_cast<CFStringRef>(v)) : std::string();
}

// The factory function named in the property list for the audio-server plug-in type:
// CFPlugInTypes maps the type UUID to factory UUIDs, CFPlugInFactories maps a factory UUID
// to the exported function's name.
std::string FactoryName(CFBundleRef bundle) {
    CFDictionaryRef info = CFBundleGetInfoDictionary(bundle);
    if (info == nullptr) return {};
    CFTypeRef types = CFDictionaryGetValue(info, CFSTR("CFPlugInTypes"));
    CFTypeRef factories = CFDictionaryGetValue(info, CFSTR("CFPlugInFactories"));
    if (types == nullptr || factories == nullptr || CFGetTypeID(types) != CFDictionaryGetTypeID() ||
        CFGetTypeID(factories) != CFDictionaryGetTypeID()) {
        return {};
    }
    CFTypeRef list = CFDictionaryGetValue(static_cast<CFDictionaryRef>(types), CFSTR(kAudioServerPlugInTypeUUIDString));
    if (list == nullptr || CFGetTypeID(list) != CFArrayGetTypeID()) return {};
    auto array = static_cast<CFArrayRef>(list);
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        CFTypeRef factoryID = CFArrayGetValueAtIndex(array, i);
        if (factoryID == nullptr || CFGetTypeID(factoryID) != CFStringGetTypeID()) continue;
        CFTypeRef name = CFDictionaryGetValue(static_cast<CFDictionaryRef>(factories), factoryID);
        if (name != nullptr && CFGetTypeID(name) == CFStringGetTypeID()) return CFText(static_cast<CFStringRef>(name));
    }
    return {};
}

// A plug-in stream's channel count from its virtual format, kept within what the server
// carries; `fallback` when the stream does not answer.
uint32_t StreamChannels(AudioServerPlugInDriverRef driver, AudioObjectID stream, uint32_t fallback) {
    AudioStreamBasicDescription format{};
    AudioObjectPropertyAddress a = {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 written = 0;
    if (stream == 0 || Table(driver).GetPropertyData(driver, stream, 0, &a, 0, nullptr, sizeof format, &written, &format) != 0 ||
        written < sizeof format || format.mChannelsPerFrame == 0) {
        return fallback;
    }
    return std::min<uint32_t>(format.mChannelsPerFrame, kMaxChannels);
}

}  // namespace

// ---- loading ------------------------------------------------------------------------------

PlugInHost::PlugInHost(Server& server) : server_(server) {
    thread_ = std::thread([this] { eventLoop(); });
    thread_.detach();
}

void PlugInHost::loadAll() {
    const char* env = std::getenv("AUDIOSERVER_PLUGIN_PATH");
    std::string path = env != nullptr && *env != '\0' ? env : kDefaultPlugInPath;
    searchPath_ = path;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(start, end - start);
        start = end + 1;
        if (folder.empty()) continue;
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) continue;  // a missing folder holds no plug-ins
        std::vector<std::string> bundles;
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st;
            std::string candidate = folder + "/" + name;
            if (stat((candidate + "/Contents/Info.plist").c_str(), &st) == 0) bundles.push_back(candidate);
        }
        closedir(dir);
        std::sort(bundles.begin(), bundles.end());
        for (const auto& b : bundles) load(b);
    }
}

void PlugInHost::load(const std::string& bundlePath) {
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "audioserverd: plug-in %s: %s\n", bundlePath.c_str(), why.c_str());
    };
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(bundlePath.c_str()),
                                                           static_cast<CFIndex>(bundlePath.size()), true);
    CFBundleRef bundle = url ? CFBundleCreate(nullptr, url) : nullptr;
    if (url) CFRelease(url);
    if (bundle == nullptr) return fail("not a bundle");
    std::string factoryName = FactoryName(bundle);
    if (factoryName.empty()) return fail("its Info.plist registers no factory for the audio-server plug-in type");
    CFURLRef exe = CFBundleCopyExecutableURL(bundle);
    if (exe == nullptr) return fail("its executable is missing");
    CFStringRef exePath = CFURLCopyFileSystemPath(exe, kCFURLPOSIXPathStyle);
    std::string executable = CFText(exePath);
    CFRelease(exePath);
    CFRelease(exe);
    // Never closed: the driver's threads and mappings live until the server ends.
    void* handle = dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return fail(std::string("cannot load: ") + dlerror());
    auto factory = reinterpret_cast<AudioServerPlugInFactoryFunction>(dlsym(handle, factoryName.c_str()));
    if (factory == nullptr) return fail("no exported function " + factoryName);
    host(factory, bundlePath, bundle);
}

void PlugInHost::loadLinked(AudioServerPlugInFactoryFunction factory, const std::string& name) {
    host(factory, name, nullptr);
}

void PlugInHost::host(AudioServerPlugInFactoryFunction factory, const std::string& bundlePath, CFBundleRef bundle) {
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "audioserverd: plug-in %s: %s\n", bundlePath.c_str(), why.c_str());
    };
    void* reference = factory(nullptr, kAudioServerPlugInTypeUUID);
    if (reference == nullptr) return fail("its factory refused the plug-in type");
    // The reference points at a word that points at the interface table.
    auto unknown = static_cast<AudioServerPlugInDriverInterface**>(reference);
    void* driverRef = nullptr;
    if ((*unknown)->QueryInterface(reference, kAudioServerPlugInDriverInterfaceUUIDBytes, &driverRef) != 0 ||
        driverRef == nullptr) {
        return fail("no driver interface");
    }
    (*unknown)->Release(reference);

    auto plugIn = std::make_unique<PlugIn>();
    plugIn->hostInterface.PropertiesChanged = &PlugInHost::PropertiesChanged;
    plugIn->hostInterface.RequestDeviceConfigurationChange = &PlugInHost::RequestDeviceConfigurationChange;
    plugIn->host = this;
    plugIn->driver = static_cast<AudioServerPlugInDriverRef>(driverRef);
    plugIn->bundlePath = bundlePath;
    plugIn->bundleID = bundle ? InfoString(bundle, "CFBundleIdentifier") : std::string();
    plugIn->bundle = bundle;
    PlugIn* raw = plugIn.get();
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        auto object = std::make_shared<PlugInObject>();
        object->id = server_.allocateID();
        object->owner = kAudioObjectSystemObject;
        object->plugIn = raw;
        object->local = kAudioObjectSystemObject;  // a plug-in's own object is 1 in its id space
        object->cls = kAudioPlugInClassID;
        raw->object = object;
        raw->toServer[object->local] = object->id;
        raw->toLocal[object->id] = object->local;
        server_.objects_[object->id] = object;
        plugIns_.push_back(std::move(plugIn));
    }
    // The driver may call back into the host from inside Initialize; callbacks only queue.
    OSStatus status = Table(raw->driver).Initialize(raw->driver, &raw->hostInterface);
    if (status != 0) fail("Initialize failed with " + std::to_string(status));
    syncDevices(*raw);
    Server::Notes notes;
    notes.push_back({kAudioObjectSystemObject, {kAudioHardwarePropertyPlugInList, kAudioObjectPropertyScopeGlobal, 0}});
    server_.notify(notes);
}

std::vector<AudioObjectID> PlugInHost::plugInObjects() const {
    std::vector<AudioObjectID> ids;
    for (const auto& p : plugIns_) ids.push_back(p->object->id);
    return ids;
}

AudioObjectID PlugInHost::plugInForBundleID(const std::string& bundleID) const {
    for (const auto& p : plugIns_) {
        if (p->bundleID == bundleID) return p->object->id;
    }
    return 0;
}

// ---- the device mirror ------------------------------------------------------------------

std::shared_ptr<PlugInDevice> PlugInHost::deviceFor(PlugIn& plugIn, AudioObjectID local) const {
    auto o = server_.object(plugIn.serverID(local));
    return std::dynamic_pointer_cast<PlugInDevice>(o);
}

void PlugInHost::addDevice(PlugIn& plugIn, AudioObjectID local, Server::Notes& notes) {
    auto& t = Table(plugIn.driver);
    auto readU32 = [&](AudioObjectID object, AudioObjectPropertySelector sel, AudioObjectPropertyScope scope,
                       uint32_t fallback) {
        AudioObjectPropertyAddress a = {sel, scope, 0};
        UInt32 value = fallback, written = 0;
        t.GetPropertyData(plugIn.driver, object, 0, &a, 0, nullptr, 4, &written, &value);
        return value;
    };
    auto readText = [&](AudioObjectPropertySelector sel) {
        PropValue v;
        AudioObjectPropertyAddress a = {sel, kAudioObjectPropertyScopeGlobal, 0};
        return plugIn.get(local, a, WireValue{}, v) == 0 ? v.text : std::string();
    };
    AudioObjectID streams[2] = {0, 0};
    {
        AudioObjectPropertyAddress a = {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal, 0};
        UInt32 written = 0;
        t.GetPropertyData(plugIn.driver, local, 0, &a, 0, nullptr, sizeof streams, &written, streams);
    }
    AudioStreamBasicDescription format{};
    {
        AudioObjectPropertyAddress a = {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0};
        UInt32 written = 0;
        t.GetPropertyData(plugIn.driver, streams[0], 0, &a, 0, nullptr, sizeof format, &written, &format);
    }
    const uint32_t inChannels = StreamChannels(plugIn.driver, streams[0], 2);
    const uint32_t outChannels = StreamChannels(plugIn.driver, streams[1], inChannels);

    DeviceDescription desc;
    desc.name = readText(kAudioObjectPropertyName);
    desc.uid = readText(kAudioDevicePropertyDeviceUID);
    desc.manufacturer = readText(kAudioObjectPropertyManufacturer);
    desc.transport = readU32(local, kAudioDevicePropertyTransportType, kAudioObjectPropertyScopeGlobal, 0);
    desc.rate = format.mSampleRate > 0 ? format.mSampleRate : 48000.0;
    desc.inputs = {{inChannels, SampleFormat::Float32}};
    desc.outputs = {{outChannels, SampleFormat::Float32}};
    desc.bufferFrames = readU32(local, kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 512);

    auto device = std::make_shared<PlugInDevice>();
    device->plugIn = &plugIn;
    device->local = local;
    auto pio = std::make_shared<PlugInIO>();
    pio->driver = plugIn.driver;
    pio->device = local;
    pio->inputStream = streams[0];
    pio->outputStream = streams[1];
    pio->inputChannels.store(inChannels);
    pio->outputChannels.store(outChannels);
    pio->periodFrames.store(readU32(local, kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 512));
    device->pio = pio;
    device->io.backend = pio.get();
    // The channel count can change while clients run: their blocks have room for the most.
    device->io.reservedInputChannels = kMaxChannels;
    device->io.reservedOutputChannels = kMaxChannels;
    server_.addDevice(desc, notes, device);
    device->owner = plugIn.object->id;
    plugIn.toServer[local] = device->id;
    plugIn.toLocal[device->id] = local;
    // Streams: the server's own stream objects stand for the plug-in's two streams.
    for (const auto& s : device->streams) {
        AudioObjectID l = s->isInput ? streams[0] : streams[1];
        plugIn.toServer[l] = s->id;
        plugIn.toLocal[s->id] = l;
    }
    // Controls: forwarded objects.
    AudioObjectID controls[2] = {0, 0};
    {
        AudioObjectPropertyAddress a = {kAudioObjectPropertyControlList, kAudioObjectPropertyScopeGlobal, 0};
        UInt32 written = 0;
        t.GetPropertyData(plugIn.driver, local, 0, &a, 0, nullptr, sizeof controls, &written, controls);
    }
    for (AudioObjectID l : controls) {
        if (l == 0) continue;
        auto control = std::make_shared<PlugInObject>();
        control->id = server_.allocateID();
        control->owner = device->id;
        control->plugIn = &plugIn;
        control->local = l;
        control->cls = readU32(l, kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0);
        control->base = readU32(l, kAudioObjectPropertyBaseClass, kAudioObjectPropertyScopeGlobal, kAudioObjectClassID);
        server_.objects_[control->id] = control;
        plugIn.toServer[l] = control->id;
        plugIn.toLocal[control->id] = l;
    }
}

void PlugInHost::retireDevice(const std::shared_ptr<PlugInDevice>& device, Server::Notes& notes) {
    // Stop every client's IO so that the plug-in can free the device.
    std::vector<std::pair<uint32_t, pid_t>> clients;
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        std::lock_guard<std::mutex> connLock(server_.connMutex_);
        for (auto& c : server_.connections_) {
            auto it = c->io.find(device->id);
            if (it != c->io.end() && c->activeIO.count(device->id)) clients.push_back({it->second->clientID, c->pid});
        }
    }
    device->engine->removeAllClients();
    for (const auto& [id, pid] : clients) device->clientStopped(id, pid);
    std::lock_guard<std::mutex> lock(server_.mutex_);
    PlugIn& plugIn = *device->plugIn;
    for (auto it = plugIn.toLocal.begin(); it != plugIn.toLocal.end();) {
        auto o = server_.object(it->first);
        bool mine = it->first == device->id || (o && o->owner == device->id);
        if (mine) {
            plugIn.toServer.erase(it->second);
            if (it->first != device->id) {
                bool isStream = std::dynamic_pointer_cast<Stream>(o) != nullptr;
                if (!isStream) server_.objects_.erase(it->first);
            }
            it = plugIn.toLocal.erase(it);
        } else {
            ++it;
        }
    }
    server_.removeDevice(device, notes);
}

void PlugInHost::syncDevices(PlugIn& plugIn) {
    std::vector<AudioObjectID> listed;
    {
        AudioObjectPropertyAddress a = {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, 0};
        auto& t = Table(plugIn.driver);
        for (int attempt = 0; attempt < 4; ++attempt) {
            UInt32 size = 0;
            if (t.GetPropertyDataSize(plugIn.driver, kAudioObjectSystemObject, 0, &a, 0, nullptr, &size) != 0) break;
            listed.assign(size / 4, 0);
            UInt32 written = 0;
            OSStatus s = t.GetPropertyData(plugIn.driver, kAudioObjectSystemObject, 0, &a, 0, nullptr, size, &written,
                                           listed.data());
            if (s == 0) {
                listed.resize(written / 4);
                break;
            }
            listed.clear();
        }
    }
    Server::Notes notes;
    std::vector<std::shared_ptr<PlugInDevice>> gone;
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        for (const auto& d : server_.devices_) {
            auto pd = std::dynamic_pointer_cast<PlugInDevice>(d);
            if (pd && pd->plugIn == &plugIn && std::find(listed.begin(), listed.end(), pd->local) == listed.end()) {
                gone.push_back(pd);
            }
        }
        for (AudioObjectID local : listed) {
            if (!deviceFor(plugIn, local)) addDevice(plugIn, local, notes);
        }
    }
    for (const auto& d : gone) retireDevice(d, notes);
    server_.notify(notes);
}

// ---- configuration changes ------------------------------------------------------------------

void PlugInHost::changeConfiguration(PlugIn& plugIn, AudioObjectID local, UInt64 action, void* info) {
    std::shared_ptr<PlugInDevice> device;
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        device = deviceFor(plugIn, local);
    }
    auto& t = Table(plugIn.driver);
    if (!device) {
        t.AbortDeviceConfigurationChange(plugIn.driver, local, action, info);
        return;
    }
    PlugInIO& pio = *device->pio;
    // No StartIO or StopIO meanwhile, and no IO: the device's IO thread ends after the
    // cycle in flight and stays paused until the change is in place.
    std::lock_guard<std::mutex> ioLock(device->ioControl);
    const bool wasRunning = device->engine->running();
    device->engine->pause();
    t.PerformDeviceConfigurationChange(plugIn.driver, local, action, info);
    const uint32_t inChannels = StreamChannels(plugIn.driver, pio.inputStream, pio.inputChannels.load());
    const uint32_t outChannels = StreamChannels(plugIn.driver, pio.outputStream, pio.outputChannels.load());
    UInt32 period = 0, frames = 0, written = 0;
    AudioObjectPropertyAddress ring = {kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectPropertyAddress fsiz = {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
    if (t.GetPropertyData(plugIn.driver, local, 0, &ring, 0, nullptr, 4, &written, &period) != 0 || period == 0) {
        period = pio.periodFrames.load();
    }
    if (t.GetPropertyData(plugIn.driver, local, 0, &fsiz, 0, nullptr, 4, &written, &frames) != 0 || frames == 0) {
        frames = device->io.bufferFrames.load();
    }
    bool changed = false;
    {
        // The model and the engine's view of the streams change together, while no IO
        // thread runs; every client's block gets the new layout from the next cycle on.
        std::lock_guard<std::mutex> lock(server_.mutex_);
        changed = inChannels != pio.inputChannels.load() || outChannels != pio.outputChannels.load();
        pio.inputChannels.store(inChannels);
        pio.outputChannels.store(outChannels);
        pio.periodFrames.store(period);
        device->io.bufferFrames.store(frames);
        device->desc.inputs = {{inChannels, SampleFormat::Float32}};
        device->desc.outputs = {{outChannels, SampleFormat::Float32}};
        for (const auto& s : device->streams) s->desc = s->isInput ? device->desc.inputs[0] : device->desc.outputs[0];
        device->engine->resume([&](EngineDevice& io) {
            io.inputs = device->desc.inputs;
            io.outputs = device->desc.outputs;
        });
    }
    Server::Notes notes;
    // Clients that stopped meanwhile may have left nothing to run for.
    if (wasRunning && !device->engine->running())
        notes.push_back({device->id, {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0}});
    if (!changed) return server_.notify(notes);
    for (auto scope : {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
        notes.push_back({device->id, {kAudioDevicePropertyStreamConfiguration, scope, 0}});
        notes.push_back({device->id, {kAudioDevicePropertyStreamFormat, scope, 0}});
    }
    for (const auto& s : device->streams) {
        notes.push_back({s->id, {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0}});
        notes.push_back({s->id, {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal, 0}});
    }
    server_.notify(notes);
}

// ---- callbacks and the event thread ------------------------------------------------------

OSStatus PlugInHost::PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                       const AudioObjectPropertyAddress* addresses) {
    auto* plugIn = reinterpret_cast<PlugIn*>(const_cast<AudioServerPlugInHostInterface*>(host));
    if (plugIn == nullptr || (count > 0 && addresses == nullptr)) return kAudioHardwareIllegalOperationError;
    Event e;
    e.plugIn = plugIn;
    e.object = objectID;
    e.addresses.assign(addresses, addresses + count);
    plugIn->host->post(std::move(e));
    return 0;
}

OSStatus PlugInHost::RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                      UInt64 action, void* info) {
    auto* plugIn = reinterpret_cast<PlugIn*>(const_cast<AudioServerPlugInHostInterface*>(host));
    if (plugIn == nullptr) return kAudioHardwareIllegalOperationError;
    Event e;
    e.plugIn = plugIn;
    e.object = deviceID;
    e.configurationChange = true;
    e.action = action;
    e.info = info;
    plugIn->host->post(std::move(e));
    return 0;
}

void PlugInHost::post(Event event) {
    std::lock_guard<std::mutex> lock(eventMutex_);
    events_.push_back(std::move(event));
    eventCv_.notify_one();
}

void PlugInHost::eventLoop() {
    for (;;) {
        Event e;
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            eventCv_.wait(lock, [&] { return !events_.empty(); });
            e = std::move(events_.front());
            events_.pop_front();
        }
        handle(e);
    }
}

void PlugInHost::handle(const Event& e) {
    PlugIn& plugIn = *e.plugIn;
    if (e.configurationChange) return changeConfiguration(plugIn, e.object, e.action, e.info);
    bool resync = false;
    Server::Notes notes;
    {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        AudioObjectID serverID = plugIn.serverID(e.object);
        auto device = deviceFor(plugIn, e.object);
        for (const auto& a : e.addresses) {
            if (e.object == kAudioObjectSystemObject && (a.mSelector == kAudioPlugInPropertyDeviceList ||
                                                         a.mSelector == kAudioObjectPropertyOwnedObjects)) {
                resync = true;
            }
            if (device && a.mSelector == kAudioDevicePropertyDeviceIsAlive) resync = true;
            if (device && a.mSelector == kAudioDevicePropertyBufferFrameSize) {
                UInt32 frames = 0, written = 0;
                AudioObjectPropertyAddress f = {kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 0};
                if (Table(plugIn.driver).GetPropertyData(plugIn.driver, e.object, 0, &f, 0, nullptr, 4, &written,
                                                         &frames) == 0) {
                    device->io.bufferFrames.store(frames);
                    device->pio->periodFrames.store(frames);
                }
            }
            if (device && a.mSelector == kAudioObjectPropertyName) {
                PropValue v;
                AudioObjectPropertyAddress n = {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
                if (plugIn.get(e.object, n, WireValue{}, v) == 0) device->desc.name = v.text;
            }
            if (serverID != 0) notes.push_back({serverID, a});
        }
    }
    server_.notify(notes);
    if (resync) syncDevices(plugIn);
}

}  // namespace audioserver