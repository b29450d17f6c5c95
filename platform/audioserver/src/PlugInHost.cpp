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
constexpr uint32_t kMaxChannels = 64;

bool IsStringSelector(AudioObjectPropertySelector s) {
    return s == kAudioObjectPropertyName || s == kAudioObjectPropertyManufacturer ||
           s == kAudioObjectPropertyModelName || s == kAudioDevicePropertyDeviceUID ||
           s == kAudioDevicePropertyModelUID || s == kAudioPlugInPropertyResourceBundle ||
           s == kAudioObjectPropertyElementName;
}

// Selectors whose values are object ids (or lists of them) in the plug-in's id space.
bool IsIDSelector(AudioObjectPropertySelector s) {
    return s == kAudioPlugInPropertyDeviceList || s == kAudioObjectPropertyOwnedObjects ||
           s == kAudioObjectPropertyOwner || s == kAudioDevicePropertyStreams ||
           s == kAudioObjectPropertyControlList || s == kAudioDevicePropertyRelatedDevices ||
           s == kAudioPlugInPropertyTranslateUIDToDevice;
}

std::string CFText(CFStringRef s) {
    if (s == nullptr) return {};
    const char* direct = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
    if (direct) return direct;
    std::vector<char> buffer(4096);
    return CFStringGetCString(s, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8)
               ? std::string(buffer.data())
               : std::string();
}

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

AudioServerPlugInDriverInterface& Table(AudioServerPlugInDriverRef driver) { return **driver; }

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

// ---- values from a plug-in ---------------------------------------------------------------

AudioObjectID PlugIn::serverID(AudioObjectID local) const {
    if (local == 0) return 0;
    auto it = toServer.find(local);
    return it == toServer.end() ? 0 : it->second;
}

AudioObjectID PlugIn::localID(AudioObjectID server) const {
    auto it = toLocal.find(server);
    return it == toLocal.end() ? 0 : it->second;
}

OSStatus PlugIn::get(AudioObjectID local, const AudioObjectPropertyAddress& a, const WireValue& q,
                     PropValue& out) const {
    auto& t = Table(driver);
    // A string qualifier travels to the plug-in as a string reference.
    std::vector<uint8_t> qualifier = q.bytes;
    CFStringRef qualifierString = nullptr;
    if (q.kind == ValueKind::String) {
        qualifierString = CFStringCreateWithCString(nullptr, q.text.c_str(), kCFStringEncodingUTF8);
        qualifier.resize(sizeof qualifierString);
        std::memcpy(qualifier.data(), &qualifierString, sizeof qualifierString);
    } else if (a.mSelector == kAudioObjectPropertyOwnedObjects) {
        qualifier.clear();  // the server filters owned objects by class itself
    }
    const void* qualifierData = qualifier.empty() ? nullptr : qualifier.data();
    const UInt32 qualifierSize = static_cast<UInt32>(qualifier.size());
    OSStatus status = 0;
    std::vector<uint8_t> data;
    UInt32 written = 0;
    // The size can change between the two calls (devices come and go): ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        UInt32 size = 0;
        status = t.GetPropertyDataSize(driver, local, 0, &a, qualifierSize, qualifierData, &size);
        if (status != 0) break;
        data.assign(std::max<UInt32>(size, 8), 0);
        written = 0;
        status = t.GetPropertyData(driver, local, 0, &a, qualifierSize, qualifierData, size, &written, data.data());
        if (status != kAudioHardwareBadPropertySizeError) break;
    }
    if (qualifierString) CFRelease(qualifierString);
    if (status != 0) return status;
    data.resize(std::min<size_t>(written, data.size()));

    out = PropValue{};
    if (IsStringSelector(a.mSelector) && data.size() == sizeof(CFStringRef)) {
        CFStringRef s;
        std::memcpy(&s, data.data(), sizeof s);
        out.kind = s ? ValueKind::String : ValueKind::NullString;
        out.text = CFText(s);
        if (s) CFRelease(s);
        return 0;
    }
    if (a.mSelector == kAudioDevicePropertyIcon && data.size() == sizeof(CFURLRef)) {
        CFURLRef url;
        std::memcpy(&url, data.data(), sizeof url);
        out.kind = url ? ValueKind::String : ValueKind::NullString;
        if (url) {
            CFStringRef path = CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle);
            out.text = CFText(path);
            if (path) CFRelease(path);
            CFRelease(url);
        }
        return 0;
    }
    if (IsIDSelector(a.mSelector)) {
        for (size_t i = 0; i + 4 <= data.size(); i += 4) {
            AudioObjectID id;
            std::memcpy(&id, data.data() + i, 4);
            if (id == kAudioObjectUnknown && a.mSelector == kAudioObjectPropertyOwner) {
                id = kAudioObjectSystemObject;  // the plug-in object belongs to the system
            } else {
                id = serverID(id);
            }
            std::memcpy(data.data() + i, &id, 4);
        }
    }
    out.bytes = std::move(data);
    return 0;
}

OSStatus PlugIn::set(AudioObjectID local, const AudioObjectPropertyAddress& a, const WireValue& q,
                     const std::vector<uint8_t>& data) const {
    return Table(driver).SetPropertyData(driver, local, 0, &a, static_cast<UInt32>(q.bytes.size()),
                                         q.bytes.empty() ? nullptr : q.bytes.data(),
                                         static_cast<UInt32>(data.size()), data.empty() ? nullptr : data.data());
}

bool PlugIn::settable(AudioObjectID local, const AudioObjectPropertyAddress& a) const {
    Boolean settable = 0;
    return Table(driver).IsPropertySettable(driver, local, 0, &a, &settable) == 0 && settable != 0;
}

OSStatus PlugInObject::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    if (a.mSelector == kAudioPlugInPropertyLoadedBundleInfoValue) {
        // What this server loaded, which the files on disk may no longer be.
        if (q.kind != ValueKind::String || plugIn->bundle == nullptr) return kAudioHardwareUnknownPropertyError;
        CFStringRef key = CFStringCreateWithCString(nullptr, q.text.c_str(), kCFStringEncodingUTF8);
        if (key == nullptr) return kAudioHardwareUnknownPropertyError;
        CFTypeRef v = CFBundleGetValueForInfoDictionaryKey(plugIn->bundle, key);
        CFRelease(key);
        if (v == nullptr || CFGetTypeID(v) != CFStringGetTypeID()) return kAudioHardwareUnknownPropertyError;
        out.kind = ValueKind::String;
        out.text = CFText(static_cast<CFStringRef>(v));
        return 0;
    }
    return plugIn->get(local, a, q, out);
}

bool PlugInObject::settable(const AudioObjectPropertyAddress& a) const { return plugIn->settable(local, a); }

OSStatus PlugInObject::forwardSet(const AudioObjectPropertyAddress& a, const WireValue& q,
                                  const std::vector<uint8_t>& data) {
    return plugIn->set(local, a, q, data);
}

OSStatus PlugInDevice::get(const AudioObjectPropertyAddress& a, const WireValue& q, PropValue& out) const {
    if (a.mSelector == kAudioDevicePropertyStreamFormat) {
        // A device-level format is the format of the device's first stream in that scope.
        AudioObjectID stream = a.mScope == kAudioObjectPropertyScopeInput ? pio->inputStream : pio->outputStream;
        AudioObjectPropertyAddress s = {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0};
        return plugIn->get(stream, s, q, out);
    }
    return plugIn->get(local, a, q, out);
}

bool PlugInDevice::settable(const AudioObjectPropertyAddress& a) const { return plugIn->settable(local, a); }

OSStatus PlugInDevice::forwardSet(const AudioObjectPropertyAddress& a, const WireValue& q,
                                  const std::vector<uint8_t>& data) {
    OSStatus status = plugIn->set(local, a, q, data);
    if (status == 0 && a.mSelector == kAudioDevicePropertyBufferFrameSize && data.size() == 4) {
        uint32_t frames;
        std::memcpy(&frames, data.data(), 4);
        io.bufferFrames.store(frames);
        pio->periodFrames.store(frames);
    }
    return status;
}

void PlugInDevice::clientStarting(uint32_t clientID, pid_t pid) {
    std::lock_guard<std::mutex> lock(ioControl);
    AudioServerPlugInClientInfo info{clientID, pid, 1, nullptr};
    Table(plugIn->driver).AddDeviceClient(plugIn->driver, local, &info);
    OSStatus status = Table(plugIn->driver).StartIO(plugIn->driver, local, clientID);
    if (status == 0) {
        startedClients.insert(clientID);
    } else {
        std::fprintf(stderr, "audioserverd: StartIO of client %u on %s: %d\n", clientID, desc.uid.c_str(), status);
    }
}

void PlugInDevice::clientStopped(uint32_t clientID, pid_t pid) {
    std::lock_guard<std::mutex> lock(ioControl);
    AudioServerPlugInClientInfo info{clientID, pid, 1, nullptr};
    if (startedClients.erase(clientID) > 0) Table(plugIn->driver).StopIO(plugIn->driver, local, clientID);
    Table(plugIn->driver).RemoveDeviceClient(plugIn->driver, local, &info);
}

// ---- IO ---------------------------------------------------------------------------------

PlugInIO::PlugInIO() : scratch(size_t(audioproto::kMaxIOFrames) * kMaxChannels, 0.0f) {}

AudioServerPlugInIOCycleInfo PlugInIO::cycleInfo(uint32_t frames) const {
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = cycle.load(std::memory_order_relaxed);
    info.mNominalIOBufferFrameSize = frames;
    return info;
}

bool PlugInIO::nextBoundary(uint64_t now, uint64_t& boundary) {
    (void)now;
    Float64 sampleTime = 0;
    UInt64 hostTime = 0, seed = 0;
    if (Table(driver).GetZeroTimeStamp(driver, device, 0, &sampleTime, &hostTime, &seed) != 0) return false;
    const double periodNs = double(periodFrames.load(std::memory_order_relaxed)) / 48000.0 * 1e9;
    boundary = hostTime + static_cast<uint64_t>(periodNs);
    cycle.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void PlugInIO::readInput(uint32_t clientID, float* interleaved, uint32_t frames, uint32_t blockChannels) {
    const uint32_t c = inputChannels.load(std::memory_order_relaxed);
    frames = std::min(frames, audioproto::kMaxIOFrames);
    // The plug-in writes frames x c samples: straight into a block laid out as wide,
    // through the scratch buffer into any other.
    float* target = c == blockChannels ? interleaved : scratch.data();
    auto info = cycleInfo(frames);
    auto& t = Table(driver);
    t.BeginIOOperation(driver, device, clientID, kAudioServerPlugInIOOperationReadInput, frames, &info);
    const bool done = t.DoIOOperation(driver, device, inputStream, clientID, kAudioServerPlugInIOOperationReadInput,
                                      frames, &info, target, nullptr) == 0;
    t.EndIOOperation(driver, device, clientID, kAudioServerPlugInIOOperationReadInput, frames, &info);
    if (target == interleaved) {
        if (!done) std::memset(interleaved, 0, size_t(frames) * blockChannels * sizeof(float));
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t k = 0; k < blockChannels; ++k) {
            interleaved[size_t(f) * blockChannels + k] = done && k < c ? scratch[size_t(f) * c + k] : 0.0f;
        }
    }
}

void PlugInIO::writeMix(const float* interleaved, uint32_t frames, uint32_t mixChannels) {
    const uint32_t c = outputChannels.load(std::memory_order_relaxed);
    frames = std::min(frames, audioproto::kMaxIOFrames);
    // The plug-in reads frames x c samples and never writes them.
    const float* source = interleaved;
    if (mixChannels != c) {
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t k = 0; k < c; ++k) {
                scratch[size_t(f) * c + k] = k < mixChannels ? interleaved[size_t(f) * mixChannels + k] : 0.0f;
            }
        }
        source = scratch.data();
    }
    auto info = cycleInfo(frames);
    auto& t = Table(driver);
    t.BeginIOOperation(driver, device, 0, kAudioServerPlugInIOOperationWriteMix, frames, &info);
    t.DoIOOperation(driver, device, outputStream, 0, kAudioServerPlugInIOOperationWriteMix, frames, &info,
                    const_cast<float*>(source), nullptr);
    t.EndIOOperation(driver, device, 0, kAudioServerPlugInIOOperationWriteMix, frames, &info);
}

// ---- loading ------------------------------------------------------------------------------

PlugInHost::PlugInHost(Server& server) : server_(server) {
    thread_ = std::thread([this] { eventLoop(); });
    thread_.detach();
}

void PlugInHost::loadAll() {
    const char* env = std::getenv("AUDIOSERVER_PLUGIN_PATH");
    std::string path = env != nullptr && *env != '\0' ? env : kDefaultPlugInPath;
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
    plugIn->bundleID = InfoString(bundle, "CFBundleIdentifier");
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

// Keeps the engine objects of a retired device alive for the life of the process: an IO
// thread that is being stopped may still be inside the backend.
static std::vector<std::shared_ptr<PlugInIO>>& RetiredIO() {
    static auto* retired = new std::vector<std::shared_ptr<PlugInIO>>();
    return *retired;
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
    RetiredIO().push_back(device->pio);
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
