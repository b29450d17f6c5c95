// The server's objects and properties, read through the client library.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <unistd.h>

using namespace audiotest;

namespace {

class Properties : public ::testing::Test {
protected:
    TestServer server;
};

std::vector<uint8_t> Raw(AudioObjectID obj, AudioObjectPropertyAddress a, OSStatus* status) {
    UInt32 size = 0;
    *status = AudioObjectGetPropertyDataSize(obj, &a, 0, nullptr, &size);
    if (*status != 0) return {};
    std::vector<uint8_t> buf(size);
    *status = AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, buf.data());
    buf.resize(size);
    return buf;
}

std::vector<uint32_t> ChannelsPerBuffer(AudioObjectID dev, AudioObjectPropertyScope scope) {
    OSStatus st;
    auto bytes = Raw(dev, Address(kAudioDevicePropertyStreamConfiguration, scope), &st);
    EXPECT_EQ(st, 0);
    std::vector<uint32_t> out;
    if (bytes.size() < 8) return out;
    auto* list = reinterpret_cast<const AudioBufferList*>(bytes.data());
    EXPECT_EQ(bytes.size(), AUDIO_BUFFER_LIST_SIZE(list->mNumberBuffers));
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
        out.push_back(list->mBuffers[i].mNumberChannels);
        EXPECT_EQ(list->mBuffers[i].mData, nullptr);
    }
    return out;
}

TEST_F(Properties, DefaultDevicesHaveTheirNamesChannelsRatesAndDefaults) {
    auto ids = DeviceIDs();
    ASSERT_EQ(ids.size(), 3u);
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    AudioObjectID mic = DeviceByUID("BuiltInMicrophoneDevice");
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    ASSERT_NE(out, 0u);
    ASSERT_NE(mic, 0u);
    ASSERT_NE(usb, 0u);
    EXPECT_EQ(StringProperty(out, kAudioObjectPropertyName), "Built-in Output");
    EXPECT_EQ(StringProperty(mic, kAudioObjectPropertyName), "Built-in Microphone");
    EXPECT_EQ(StringProperty(usb, kAudioObjectPropertyName), "USB Audio Interface");

    EXPECT_EQ(ChannelsPerBuffer(out, kAudioObjectPropertyScopeOutput), (std::vector<uint32_t>{2}));
    EXPECT_TRUE(ChannelsPerBuffer(out, kAudioObjectPropertyScopeInput).empty());
    EXPECT_EQ(ChannelsPerBuffer(mic, kAudioObjectPropertyScopeInput), (std::vector<uint32_t>{2}));
    EXPECT_EQ(ChannelsPerBuffer(usb, kAudioObjectPropertyScopeInput), (std::vector<uint32_t>{2, 2}));
    EXPECT_EQ(ChannelsPerBuffer(usb, kAudioObjectPropertyScopeOutput), (std::vector<uint32_t>{4}));

    EXPECT_EQ(U32Property(out, Address(kAudioDevicePropertyTransportType)), kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(U32Property(usb, Address(kAudioDevicePropertyTransportType)), kAudioDeviceTransportTypeUSB);

    auto sys = kAudioObjectSystemObject;
    EXPECT_EQ(U32Property(sys, Address(kAudioHardwarePropertyDefaultOutputDevice)), out);
    EXPECT_EQ(U32Property(sys, Address(kAudioHardwarePropertyDefaultSystemOutputDevice)), out);
    EXPECT_EQ(U32Property(sys, Address(kAudioHardwarePropertyDefaultInputDevice)), mic);

    double rate = 0;
    UInt32 size = 8;
    auto a = Address(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectGetPropertyData(usb, &a, 0, nullptr, &size, &rate), 0);
    EXPECT_EQ(rate, 44100.0);
    ASSERT_EQ(AudioObjectGetPropertyData(out, &a, 0, nullptr, &size, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
}

TEST_F(Properties, DeviceFormatOfAScopeIsItsFirstStreamsFormat) {
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    AudioStreamBasicDescription f{};
    UInt32 size = sizeof(f);
    auto a = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(AudioObjectGetPropertyData(usb, &a, 0, nullptr, &size, &f), 0);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(f.mSampleRate, 44100.0);
    EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(f.mFormatFlags & kAudioFormatFlagIsFloat, 0u);
    EXPECT_NE(f.mFormatFlags & kAudioFormatFlagIsSignedInteger, 0u);
    EXPECT_EQ(f.mBitsPerChannel, 24u);
    EXPECT_EQ(f.mChannelsPerFrame, 2u);
    EXPECT_EQ(f.mBytesPerFrame, 6u);

    a.mScope = kAudioObjectPropertyScopeOutput;
    ASSERT_EQ(AudioObjectGetPropertyData(usb, &a, 0, nullptr, &size, &f), 0);
    EXPECT_EQ(f.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(f.mChannelsPerFrame, 4u);

    // A device with no stream in a scope has no format there.
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    a.mScope = kAudioObjectPropertyScopeInput;
    EXPECT_EQ(AudioObjectGetPropertyData(out, &a, 0, nullptr, &size, &f), kAudioHardwareUnknownPropertyError);

    // Stream objects answer the same format, and their starting channels follow on.
    auto s = Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    OSStatus st;
    auto bytes = Raw(usb, s, &st);
    ASSERT_EQ(st, 0);
    ASSERT_EQ(bytes.size(), 8u);
    AudioObjectID streams[2];
    std::memcpy(streams, bytes.data(), 8);
    EXPECT_EQ(U32Property(streams[0], Address(kAudioStreamPropertyStartingChannel)), 1u);
    EXPECT_EQ(U32Property(streams[1], Address(kAudioStreamPropertyStartingChannel)), 3u);
    EXPECT_EQ(U32Property(streams[1], Address(kAudioStreamPropertyDirection)), 1u);
    EXPECT_EQ(U32Property(streams[1], Address(kAudioObjectPropertyOwner)), usb);
}

TEST_F(Properties, ErrorsAreReportedAndNothingIsWritten) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    // A buffer too small for a fixed-size value.
    double rate = -1;
    UInt32 size = 4;
    auto a = Address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(out, &a, 0, nullptr, &size, &rate), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(rate, -1.0);
    EXPECT_EQ(size, 4u);
    // A larger buffer reports the bytes written.
    uint8_t big[64];
    size = sizeof(big);
    EXPECT_EQ(AudioObjectGetPropertyData(out, &a, 0, nullptr, &size, big), 0);
    EXPECT_EQ(size, 8u);
    // Unknown objects and properties.
    EXPECT_EQ(U32Property(0x7FFFFFF0u, Address(kAudioDevicePropertyTransportType)), 0u);
    OSStatus st;
    U32Property(0x7FFFFFF0u, Address(kAudioDevicePropertyTransportType), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
    U32Property(out, Address(AUDIO_FOUR_CC('z', 'z', 'z', 'z')), &st);
    EXPECT_EQ(st, kAudioHardwareUnknownPropertyError);
    auto name = Address(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeOutput, 1);
    EXPECT_FALSE(AudioObjectHasProperty(out, &name));
    auto uidAddr = Address(kAudioDevicePropertyDeviceUID);
    EXPECT_TRUE(AudioObjectHasProperty(out, &uidAddr));
    // Null pointers are parameter errors, not crashes.
    EXPECT_NE(AudioObjectGetPropertyData(out, nullptr, 0, nullptr, &size, big), 0);
    EXPECT_NE(AudioObjectGetPropertyDataSize(out, &a, 0, nullptr, nullptr), 0);
}

TEST_F(Properties, BufferFrameSizeIsDeviceWideAndRangeChecked) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    auto a = Address(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput);
    Boolean settable = false;
    ASSERT_EQ(AudioObjectIsPropertySettable(out, &a, &settable), 0);
    EXPECT_TRUE(settable);
    EXPECT_EQ(U32Property(out, a), 512u);
    UInt32 frames = 256;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), 0);
    // Any scope reads the one device-wide value.
    EXPECT_EQ(U32Property(out, Address(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeInput)), 256u);
    EXPECT_EQ(U32Property(out, Address(kAudioDevicePropertyBufferFrameSize)), 256u);
    frames = 16;
    EXPECT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), kAudioHardwareUnsupportedOperationError);
    frames = 8192;
    EXPECT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 2, &frames), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(U32Property(out, a), 256u);

    AudioValueRange range{};
    UInt32 size = sizeof(range);
    auto r = Address(kAudioDevicePropertyBufferFrameSizeRange);
    ASSERT_EQ(AudioObjectGetPropertyData(out, &r, 0, nullptr, &size, &range), 0);
    EXPECT_EQ(range.mMinimum, 32.0);
    EXPECT_EQ(range.mMaximum, 4096.0);

    // The UID and name are read-only.
    auto uid = Address(kAudioDevicePropertyDeviceUID);
    ASSERT_EQ(AudioObjectIsPropertySettable(out, &uid, &settable), 0);
    EXPECT_FALSE(settable);
}

TEST_F(Properties, TranslationsAnswerZeroForUnknownKeys) {
    auto sys = kAudioObjectSystemObject;
    // A pid that is not an audio client translates to 0, with success.
    int32_t pid = getpid();
    AudioObjectID proc = 123;
    UInt32 size = 4;
    auto p = Address(kAudioHardwarePropertyTranslatePIDToProcessObject);
    ASSERT_EQ(AudioObjectGetPropertyData(sys, &p, sizeof(pid), &pid, &size, &proc), 0);
    EXPECT_EQ(proc, 0u);

    auto u = Address(kAudioHardwarePropertyTranslateUIDToDevice);
    CFStringRef uid = CFStringCreateWithCString(nullptr, "USBAudioInterface", kCFStringEncodingUTF8);
    AudioObjectID dev = 0;
    size = 4;
    ASSERT_EQ(AudioObjectGetPropertyData(sys, &u, sizeof(uid), &uid, &size, &dev), 0);
    EXPECT_EQ(dev, DeviceByUID("USBAudioInterface"));
    CFRelease(uid);
    uid = CFStringCreateWithCString(nullptr, "NoSuchDevice", kCFStringEncodingUTF8);
    ASSERT_EQ(AudioObjectGetPropertyData(sys, &u, sizeof(uid), &uid, &size, &dev), 0);
    EXPECT_EQ(dev, 0u);

    // No plug-in is loaded: bundle id translation answers 0 with success.
    auto b = Address(kAudioHardwarePropertyTranslateBundleIDToPlugIn);
    AudioObjectID plugin = 7;
    ASSERT_EQ(AudioObjectGetPropertyData(sys, &b, sizeof(uid), &uid, &size, &plugin), 0);
    EXPECT_EQ(plugin, 0u);
    CFRelease(uid);
}

// A qualifier is read only as what its selector takes: text for the translations by text, a
// 4-byte process id, class ids for owned objects, and none anywhere else. Every other kind or
// size is refused with an error, through the client library and from a client that writes
// the protocol itself; no qualifier at all is still taken.
audioproto::WireValue PlainQualifier(std::vector<uint8_t> bytes) {
    audioproto::WireValue q;
    q.bytes = std::move(bytes);
    return q;
}

audioproto::WireValue TextQualifier(const std::string& text, audioproto::ValueKind kind = audioproto::ValueKind::String) {
    audioproto::WireValue q;
    q.kind = kind;
    q.text = text;
    return q;
}

TEST_F(Properties, QualifiersThatAreNotWhatTheSelectorTakesAreRefused) {
    auto sys = kAudioObjectSystemObject;
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(out, 0u);
    auto uidd = Address(kAudioHardwarePropertyTranslateUIDToDevice);
    auto id2p = Address(kAudioHardwarePropertyTranslatePIDToProcessObject);
    auto devs = Address(kAudioHardwarePropertyDevices);
    AudioObjectID found = 7;
    UInt32 size = 4;
    // Through the client library: sizes a selector does not take.
    uint32_t four = 1;
    EXPECT_EQ(AudioObjectGetPropertyData(sys, &uidd, sizeof four, &four, &size, &found), kAudioHardwareBadPropertySizeError);
    uint64_t eight = getpid();
    EXPECT_EQ(AudioObjectGetPropertyData(sys, &id2p, sizeof eight, &eight, &size, &found), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(sys, &devs, sizeof four, &four, &size), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(found, 7u) << "a refused request writes nothing";

    // From a client of its own: raw bytes where a string reference belongs, text where the
    // selector takes none or a number, and a kind the protocol does not have.
    using audioproto::Op;
    RawClient raw(server.socket());
    ASSERT_TRUE(raw.connected());
    std::vector<uint8_t> reference(8, 0x41);
    auto reply = raw.property(Op::GetData, sys, uidd, PlainQualifier(reference), 4);
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    reply = raw.property(Op::GetSize, sys, Address(kAudioHardwarePropertyTranslateBundleIDToPlugIn), PlainQualifier(reference));
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    reply = raw.property(Op::GetData, sys, id2p, TextQualifier("1"), 4);
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    reply = raw.property(Op::GetData, out, Address(kAudioObjectPropertyName), TextQualifier("x"), 8);
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    reply = raw.property(Op::GetData, out, Address(kAudioObjectPropertyOwnedObjects), TextQualifier("", audioproto::ValueKind::NullString), 16);
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    audioproto::WireValue strange = PlainQualifier({1, 2, 3, 4});
    strange.kind = static_cast<audioproto::ValueKind>(7);
    reply = raw.property(Op::GetData, out, Address(kAudioDevicePropertyTransportType), strange, 4);
    EXPECT_EQ(reply.status, kAudio_ParamError);
    // Setting with a qualifier no settable property takes changes nothing.
    audioproto::Writer set;
    set.u32(sys);
    set.address(Address(kAudioHardwarePropertyDefaultOutputDevice));
    TextQualifier("x").write(set);
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    set.bytes(&usb, sizeof usb);
    reply = raw.call(Op::SetData, set.data());
    EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(U32Property(sys, Address(kAudioHardwarePropertyDefaultOutputDevice)), out);

    // What the selectors take is still answered, and so is a request without a qualifier.
    reply = raw.property(Op::GetData, sys, uidd, TextQualifier("BuiltInOutputDevice"), 4);
    ASSERT_EQ(reply.status, 0);
    audioproto::Reader answer(reply.payload);
    audioproto::WireValue value = audioproto::WireValue::read(answer);
    ASSERT_EQ(value.bytes.size(), 4u);
    std::memcpy(&found, value.bytes.data(), 4);
    EXPECT_EQ(found, out);
    reply = raw.property(Op::GetData, sys, uidd, TextQualifier("", audioproto::ValueKind::NullString), 4);
    EXPECT_EQ(reply.status, 0);
    EXPECT_TRUE(AudioObjectHasProperty(sys, &uidd));
    EXPECT_TRUE(AudioObjectHasProperty(sys, &id2p));
    uint32_t classes[2] = {kAudioStreamClassID, kAudioDeviceClassID};
    auto owned = Address(kAudioObjectPropertyOwnedObjects);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(out, &owned, sizeof classes, classes, &size), 0);
    EXPECT_EQ(size, 4u) << "the output's one stream";
}

TEST_F(Properties, DefaultsCanBeSetAndRejectDevicesWithoutThatDirection) {
    auto sys = kAudioObjectSystemObject;
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    AudioObjectID mic = DeviceByUID("BuiltInMicrophoneDevice");
    auto out = Address(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(AudioObjectSetPropertyData(sys, &out, 0, nullptr, 4, &usb), 0);
    EXPECT_EQ(U32Property(sys, out), usb);
    EXPECT_EQ(AudioObjectSetPropertyData(sys, &out, 0, nullptr, 4, &mic), kAudioHardwareIllegalOperationError);
    AudioObjectID bogus = 5;
    EXPECT_EQ(AudioObjectSetPropertyData(sys, &out, 0, nullptr, 4, &bogus), kAudioHardwareBadDeviceError);
    EXPECT_EQ(U32Property(sys, out), usb);
}

TEST_F(Properties, AddedAndRemovedDevicesComeAndGoWithNewIDs) {
    auto reply = server.control({{"op", "addDevice"}, {"name", "Eight"}, {"uid", "eight"}, {"inputs", {8}}, {"outputs", {2, 6}},
                                 {"rate", 96000}, {"transport", "pci "}});
    ASSERT_TRUE(reply && reply->value("ok", false)) << (reply ? reply->dump() : "no answer");
    AudioObjectID eight = DeviceByUID("eight");
    ASSERT_NE(eight, 0u);
    EXPECT_EQ(DeviceIDs().size(), 4u);
    EXPECT_EQ(U32Property(eight, Address(kAudioDevicePropertyTransportType)), kAudioDeviceTransportTypePCI);
    EXPECT_EQ(ChannelsPerBuffer(eight, kAudioObjectPropertyScopeOutput), (std::vector<uint32_t>{2, 6}));
    // A UID may not be taken twice; bad device descriptions are refused with a reason.
    reply = server.control({{"op", "addDevice"}, {"name", "Again"}, {"uid", "eight"}, {"outputs", {2}}});
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->value("ok", true));
    reply = server.control({{"op", "addDevice"}, {"name", "Wide"}, {"uid", "wide"}, {"outputs", {65}}});
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->value("ok", true));

    reply = server.control({{"op", "removeDevice"}, {"uid", "eight"}});
    ASSERT_TRUE(reply && reply->value("ok", false));
    EXPECT_EQ(DeviceIDs().size(), 3u);
    OSStatus st;
    U32Property(eight, Address(kAudioDevicePropertyTransportType), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);

    reply = server.control({{"op", "addDevice"}, {"name", "Eight"}, {"uid", "eight"}, {"outputs", {2}}});
    ASSERT_TRUE(reply && reply->value("ok", false));
    AudioObjectID again = DeviceByUID("eight");
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, eight) << "ids are never reused";
}

TEST(NoServer, EveryCallFailsAtOnce) {
    {
        TestServer gone;  // a server came and went: its socket path answers no more
    }
    auto start = std::chrono::steady_clock::now();
    UInt32 size = 0;
    auto a = Address(kAudioHardwarePropertyDevices);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size), kAudioHardwareNotRunningError);
    AudioObjectID id = 0;
    size = 4;
    auto d = Address(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &d, 0, nullptr, &size, &id), kAudioHardwareNotRunningError);
    EXPECT_EQ(id, 0u);
    AudioDeviceIOProcID proc = nullptr;
    auto noop = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                   const AudioTimeStamp*, void*) -> OSStatus { return 0; };
    EXPECT_EQ(AudioDeviceCreateIOProcID(0x40000000u, noop, nullptr, &proc), kAudioHardwareNotRunningError);
    EXPECT_FALSE(AudioObjectHasProperty(kAudioObjectSystemObject, &a));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kAtOnce);
}

}  // namespace
