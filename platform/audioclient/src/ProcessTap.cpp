// Process taps and aggregate devices: the description's initialisers, and the create and
// destroy calls.
#include "Connection.h"

#include <AudioClient/AudioHardware.h>

#include <limits>
#include <unistd.h>
#include <utility>

namespace {

std::string FreshUUIDString() {
    CFUUIDRef uuid = CFUUIDCreate(nullptr);
    CFStringRef text = CFUUIDCreateString(nullptr, uuid);
    CFRelease(uuid);
    char buf[64] = {};
    CFStringGetCString(text, buf, sizeof(buf), kCFStringEncodingUTF8);
    CFRelease(text);
    return buf;
}

}  // namespace

AudioTapDescription AudioTapDescription::StereoMixdownOfProcesses(std::vector<AudioObjectID> processes) {
    AudioTapDescription d;
    d.uuid = FreshUUIDString();
    d.processes = std::move(processes);
    return d;
}

AudioTapDescription AudioTapDescription::StereoGlobalTapExcludingProcesses(std::vector<AudioObjectID> excluded) {
    AudioTapDescription d = StereoMixdownOfProcesses(std::move(excluded));
    d.exclusive = true;
    return d;
}

namespace {

// Sends a request whose answer is an object id.
OSStatus AskForID(audioproto::Op op, const std::vector<uint8_t>& payload, AudioObjectID* outID, int timeoutMs) {
    auto r = audioclient::Connection::Get().call(op, payload, timeoutMs);
    if (r.fd >= 0) close(r.fd);
    if (r.status != 0) return r.status;
    audioproto::Reader rd(r.payload);
    AudioObjectID id = rd.u32();
    if (!rd.ok()) return kAudioHardwareUnspecifiedError;
    if (outID) *outID = id;
    return 0;
}

// Creating a tap waits for the server's permission answer, which may take as long as a
// person takes (or forever): no reply deadline of our own.
constexpr int kNoDeadlineMs = std::numeric_limits<int>::max();

}  // namespace

OSStatus AudioHardwareCreateProcessTap(const AudioTapDescription* inDescription, AudioObjectID* outTapID) {
    if (!inDescription || !outTapID) return kAudio_ParamError;
    *outTapID = kAudioObjectUnknown;
    const AudioTapDescription& d = *inDescription;
    audioproto::Writer w;
    w.str(d.name);
    w.str(d.uuid);
    w.u32(static_cast<uint32_t>(d.processes.size()));
    for (AudioObjectID p : d.processes) w.u32(p);
    w.u32((d.exclusive ? 1u : 0u) | (d.isPrivate ? 2u : 0u) | (d.mono ? 4u : 0u) | (d.mixdown ? 8u : 0u));
    w.i32(d.muteBehavior);
    return AskForID(audioproto::Op::CreateTap, w.data(), outTapID, kNoDeadlineMs);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) {
    audioproto::Writer w;
    w.u32(inTapID);
    return AskForID(audioproto::Op::DestroyTap, w.data(), nullptr, 10000);
}

extern "C" {

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID) {
    if (!inDescription || !outDeviceID) return kAudio_ParamError;
    *outDeviceID = kAudioObjectUnknown;
    CFDataRef xml = CFPropertyListCreateData(nullptr, inDescription, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!xml) return kAudio_ParamError;
    audioproto::Writer w;
    w.bytes(CFDataGetBytePtr(xml), static_cast<size_t>(CFDataGetLength(xml)));
    CFRelease(xml);
    if (w.data().size() > audioproto::kMaxMessageBytes - 64) return kAudio_ParamError;
    return AskForID(audioproto::Op::CreateAggregate, w.data(), outDeviceID, 10000);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    audioproto::Writer w;
    w.u32(inDeviceID);
    return AskForID(audioproto::Op::DestroyAggregate, w.data(), nullptr, 10000);
}

}  // extern "C"
