// The server's side of a plug-in's objects: property values read from the plug-in with its
// ids turned into server ids, the objects and devices that forward to it, and the engine side
// of a plug-in device (its IO, driven from the device's IO thread).
#include "PlugInHost.h"

#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstring>

namespace audioserver {

using audioproto::ValueKind;
using audioproto::WireValue;

namespace {

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

}  // namespace

std::string CFText(CFStringRef s) {
    if (s == nullptr) return {};
    const char* direct = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
    if (direct) return direct;
    std::vector<char> buffer(4096);
    return CFStringGetCString(s, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8)
               ? std::string(buffer.data())
               : std::string();
}

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
    // The only qualifier a plug-in is given is the text of a selector that takes one, as a
    // string reference of the server's own. A client's bytes never reach it: the server has
    // refused every other qualifier, and filters owned objects by class itself.
    CFStringRef qualifierString = nullptr;
    if (q.kind == ValueKind::String && audioproto::SelectorHasStringQualifier(a.mSelector)) {
        qualifierString = CFStringCreateWithCString(nullptr, q.text.c_str(), kCFStringEncodingUTF8);
    }
    const void* qualifierData = qualifierString ? &qualifierString : nullptr;
    const UInt32 qualifierSize = qualifierString ? UInt32(sizeof qualifierString) : 0;
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

OSStatus PlugIn::set(AudioObjectID local, const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) const {
    // No property a plug-in sets takes a qualifier.
    return Table(driver).SetPropertyData(driver, local, 0, &a, 0, nullptr, static_cast<UInt32>(data.size()),
                                         data.empty() ? nullptr : data.data());
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

OSStatus PlugInObject::forwardSet(const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) {
    return plugIn->set(local, a, data);
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

OSStatus PlugInDevice::forwardSet(const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) {
    OSStatus status = plugIn->set(local, a, data);
    if (status == 0 && a.mSelector == kAudioDevicePropertyBufferFrameSize && data.size() == 4) {
        uint32_t frames;
        std::memcpy(&frames, data.data(), 4);
        io.bufferFrames.store(frames);
        pio->periodFrames.store(frames);
    }
    return status;
}

PlugInDevice::~PlugInDevice() { engine.reset(); }

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

bool PlugInIO::nextBoundary(uint64_t now, uint64_t& boundary, double& sampleTime) {
    (void)now;
    Float64 zeroSampleTime = 0;
    UInt64 hostTime = 0, seed = 0;
    if (Table(driver).GetZeroTimeStamp(driver, device, 0, &zeroSampleTime, &hostTime, &seed) != 0) return false;
    const uint32_t period = periodFrames.load(std::memory_order_relaxed);
    const double periodNs = double(period) / 48000.0 * 1e9;
    boundary = hostTime + static_cast<uint64_t>(periodNs);
    sampleTime = zeroSampleTime + period;
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

}  // namespace audioserver
