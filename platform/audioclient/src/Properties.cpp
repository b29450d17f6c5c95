// The property calls: marshal the address, qualifier and data, ask the server, and turn
// string values into string references of this process.
#include "Connection.h"

#include <AudioClient/AudioHardware.h>

#include <cstring>

using audioclient::Connection;
using audioproto::Op;
using audioproto::ValueKind;
using audioproto::WireValue;

namespace {

bool QualifierToWire(const AudioObjectPropertyAddress& a, UInt32 size, const void* data, WireValue& out) {
    if (size > 0 && !data) return false;
    if (audioproto::SelectorHasStringQualifier(a.mSelector) && size == sizeof(CFStringRef)) {
        CFStringRef s = nullptr;
        std::memcpy(&s, data, sizeof(s));
        if (!s) {
            out.kind = ValueKind::NullString;
            return true;
        }
        CFIndex max = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
        std::string buf(static_cast<size_t>(max), '\0');
        if (!CFStringGetCString(s, buf.data(), max, kCFStringEncodingUTF8)) return false;
        buf.resize(std::strlen(buf.c_str()));
        out.kind = ValueKind::String;
        out.text = buf;
        return true;
    }
    out.kind = ValueKind::Plain;
    if (size) out.bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return true;
}

audioclient::Response Ask(Op op, AudioObjectID obj, const AudioObjectPropertyAddress& a, const WireValue& q,
                          UInt32 inSize) {
    audioproto::Writer w;
    w.u32(obj);
    w.address(a);
    q.write(w);
    w.u32(inSize);
    return Connection::Get().call(op, w.data());
}

}  // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress) {
    if (!inAddress) return false;
    auto r = Ask(Op::HasProperty, inObjectID, *inAddress, WireValue{}, 0);
    if (r.status != 0) return false;
    audioproto::Reader rd(r.payload);
    return rd.u32() != 0 && rd.ok();
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (!inAddress || !outIsSettable) return kAudio_ParamError;
    auto r = Ask(Op::IsSettable, inObjectID, *inAddress, WireValue{}, 0);
    if (r.status != 0) return r.status;
    audioproto::Reader rd(r.payload);
    uint32_t v = rd.u32();
    if (!rd.ok()) return kAudioHardwareUnspecifiedError;
    *outIsSettable = v != 0;
    return 0;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize) {
    if (!inAddress || !outDataSize) return kAudio_ParamError;
    WireValue q;
    if (!QualifierToWire(*inAddress, inQualifierDataSize, inQualifierData, q)) return kAudio_ParamError;
    auto r = Ask(Op::GetSize, inObjectID, *inAddress, q, 0);
    if (r.status != 0) return r.status;
    audioproto::Reader rd(r.payload);
    uint32_t size = rd.u32();
    if (!rd.ok()) return kAudioHardwareUnspecifiedError;
    *outDataSize = size;
    return 0;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData) {
    if (!inAddress || !ioDataSize || (!outData && *ioDataSize > 0)) return kAudio_ParamError;
    WireValue q;
    if (!QualifierToWire(*inAddress, inQualifierDataSize, inQualifierData, q)) return kAudio_ParamError;
    auto r = Ask(Op::GetData, inObjectID, *inAddress, q, *ioDataSize);
    if (r.status != 0) return r.status;
    audioproto::Reader rd(r.payload);
    WireValue v = WireValue::read(rd);
    if (!rd.ok()) return kAudioHardwareUnspecifiedError;
    if (v.kind == ValueKind::Plain) {
        if (v.bytes.size() > *ioDataSize) return kAudioHardwareBadPropertySizeError;
        if (!v.bytes.empty()) std::memcpy(outData, v.bytes.data(), v.bytes.size());
        *ioDataSize = static_cast<UInt32>(v.bytes.size());
        return 0;
    }
    if (*ioDataSize < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
    CFStringRef s = nullptr;
    if (v.kind == ValueKind::String) {
        s = CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(v.text.data()),
                                    static_cast<CFIndex>(v.text.size()), kCFStringEncodingUTF8, false);
        if (!s) return kAudioHardwareUnspecifiedError;
    }
    std::memcpy(outData, &s, sizeof(s));
    *ioDataSize = sizeof(CFStringRef);
    return 0;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData) {
    if (!inAddress || (!inData && inDataSize > 0)) return kAudio_ParamError;
    WireValue q;
    if (!QualifierToWire(*inAddress, inQualifierDataSize, inQualifierData, q)) return kAudio_ParamError;
    audioproto::Writer w;
    w.u32(inObjectID);
    w.address(*inAddress);
    q.write(w);
    w.bytes(inData, inDataSize);
    return Connection::Get().call(Op::SetData, w.data()).status;
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (!inAddress || !inListener) return kAudio_ParamError;
    return Connection::Get().addListener(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (!inAddress || !inListener) return kAudio_ParamError;
    return Connection::Get().removeListener(inObjectID, *inAddress, inListener, inClientData);
}

UInt64 AudioGetCurrentHostTime(void) { return HostClockGetTime(); }
Float64 AudioGetHostClockFrequency(void) { return HostClockGetFrequency(); }
UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime) { return HostClockConvertToNanoseconds(inHostTime); }
UInt64 AudioConvertNanosToHostTime(UInt64 inNanos) { return HostClockConvertFromNanoseconds(inNanos); }

}  // extern "C"

OSStatus AudioClientConsumeInjectedFault(const char* inCallName) {
    if (!inCallName) return 0;
    audioproto::Writer w;
    w.str(inCallName);
    auto r = Connection::Get().call(Op::ConsumeFault, w.data());
    // With no server the call itself will fail on its own; injected faults need a server.
    return r.status == kAudioHardwareNotRunningError ? 0 : r.status;
}
