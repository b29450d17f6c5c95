#include "ToolClient.h"

#include <AudioClient/AudioServerStatus.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tidewell::tools {

namespace {

AudioObjectPropertyAddress address(AudioObjectPropertySelector s, AudioObjectPropertyScope scope) {
    return AudioObjectPropertyAddress{s, scope, kAudioObjectPropertyElementMain};
}

std::string uidOf(AudioObjectID id) {
    CFStringRef s = nullptr;
    UInt32 size = sizeof s;
    auto a = address(kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal);
    if (AudioObjectGetPropertyData(id, &a, 0, nullptr, &size, &s) != 0 || s == nullptr) return "";
    char buffer[512];
    std::string out = CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "";
    CFRelease(s);
    return out;
}

}  // namespace

uint32_t DeviceInfo::totalChannels() const {
    uint32_t n = 0;
    for (const auto& s : streams) n += s.channels;
    return n;
}

std::optional<DeviceInfo> findDevice(const std::string& uid, bool input, std::string& error) {
    DeviceInfo info;
    if (uid.empty()) {
        auto a = address(input ? kAudioHardwarePropertyDefaultInputDevice : kAudioHardwarePropertyDefaultOutputDevice,
                         kAudioObjectPropertyScopeGlobal);
        UInt32 size = sizeof info.id;
        OSStatus st = AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, &info.id);
        if (st != 0) {
            error = failure("cannot read the default " + std::string(input ? "input" : "output") + " device", st);
            return std::nullopt;
        }
        if (info.id == 0) {
            error = std::string("there is no default ") + (input ? "input" : "output") + " device";
            return std::nullopt;
        }
        info.uid = uidOf(info.id);
    } else {
        auto a = address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
        UInt32 size = 0;
        OSStatus st = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size);
        std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
        if (st == 0 && !ids.empty()) st = AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data());
        if (st != 0) {
            error = failure("cannot list the audio devices", st);
            return std::nullopt;
        }
        ids.resize(size / sizeof(AudioObjectID));
        for (AudioObjectID id : ids)
            if (uidOf(id) == uid) info.id = id;
        if (info.id == 0) {
            error = "no audio device has the UID \"" + uid + "\"";
            return std::nullopt;
        }
        info.uid = uid;
    }

    AudioObjectPropertyScope scope = input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    auto rateAddress = address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
    UInt32 size = sizeof info.sampleRate;
    OSStatus st = AudioObjectGetPropertyData(info.id, &rateAddress, 0, nullptr, &size, &info.sampleRate);
    if (st != 0 || !(info.sampleRate > 0)) {
        error = failure("cannot read the sample rate of \"" + info.uid + "\"", st);
        return std::nullopt;
    }

    auto config = address(kAudioDevicePropertyStreamConfiguration, scope);
    size = 0;
    st = AudioObjectGetPropertyDataSize(info.id, &config, 0, nullptr, &size);
    std::vector<uint8_t> raw(std::max<size_t>(size, sizeof(AudioBufferList)));
    if (st == 0) st = AudioObjectGetPropertyData(info.id, &config, 0, nullptr, &size, raw.data());
    if (st != 0) {
        error = failure("cannot read the stream configuration of \"" + info.uid + "\"", st);
        return std::nullopt;
    }
    auto* list = reinterpret_cast<const AudioBufferList*>(raw.data());
    size_t fit = (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    for (UInt32 i = 0; i < list->mNumberBuffers && i < fit; ++i)
        info.streams.push_back(StreamLayout{list->mBuffers[i].mNumberChannels, 4, true});

    // The sample format of each stream, where the device tells it.
    auto streamsAddress = address(kAudioDevicePropertyStreams, scope);
    size = 0;
    if (AudioObjectGetPropertyDataSize(info.id, &streamsAddress, 0, nullptr, &size) == 0 && size > 0) {
        std::vector<AudioObjectID> streamIDs(size / sizeof(AudioObjectID));
        if (AudioObjectGetPropertyData(info.id, &streamsAddress, 0, nullptr, &size, streamIDs.data()) == 0 &&
            streamIDs.size() == info.streams.size()) {
            for (size_t i = 0; i < streamIDs.size(); ++i) {
                AudioStreamBasicDescription f{};
                UInt32 fsize = sizeof f;
                auto fa = address(kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal);
                if (AudioObjectGetPropertyData(streamIDs[i], &fa, 0, nullptr, &fsize, &f) != 0) continue;
                bool isFloat = (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
                uint32_t bytes = f.mBitsPerChannel / 8;
                if ((isFloat && bytes == 4) || (!isFloat && (bytes == 2 || bytes == 3)))
                    info.streams[i] = StreamLayout{info.streams[i].channels, bytes, isFloat};
            }
        }
    }
    if (info.totalChannels() == 0) {
        error = "\"" + info.uid + "\" has no " + (input ? "input" : "output") + " channels";
        return std::nullopt;
    }
    return info;
}

std::string failure(const std::string& what, OSStatus status) {
    if (AudioServerIsMissing(status)) return AudioServerMissingMessage();
    return what + " (" + statusText(status) + ")";
}

std::optional<double> parseNumber(const char* text) {
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return std::nullopt;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

float sampleAt(const uint8_t* p, const StreamLayout& layout) {
    if (layout.isFloat) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    if (layout.bytesPerSample == 3) {
        int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                         static_cast<uint32_t>(p[2]) << 24) >> 8;
        return static_cast<float>(v / 8388608.0);
    }
    int16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<float>(v / 32768.0);
}

std::string statusText(OSStatus status) {
    uint32_t u = static_cast<uint32_t>(status);
    char c[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
    bool printable = true;
    for (char ch : c) printable = printable && std::isprint(static_cast<unsigned char>(ch));
    if (printable) return "'" + std::string(c, 4) + "'";
    return std::to_string(status);
}

bool startIOProc(AudioObjectID device, AudioDeviceIOProc proc, void* context, AudioDeviceIOProcID& procID,
                 std::string& error) {
    procID = nullptr;
    OSStatus st = AudioDeviceCreateIOProcID(device, proc, context, &procID);
    if (st != 0) {
        error = failure("AudioDeviceCreateIOProcID failed", st);
        return false;
    }
    st = AudioDeviceStart(device, procID);
    if (st != 0) {
        AudioDeviceDestroyIOProcID(device, procID);
        procID = nullptr;
        error = failure("AudioDeviceStart failed", st);
        return false;
    }
    return true;
}

}  // namespace tidewell::tools
