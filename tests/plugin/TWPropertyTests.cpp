// Every property of every kind of plug-in object: existence, size, value, settability and
// errors, through the driver table.

#include "TWTestSupport.h"

#include <cmath>
#include <cstdlib>

using namespace twtest;

namespace {

struct Ids {
    AudioObjectID device, input, output, volume, mute;
};

class PropertyTest : public ::testing::Test {
protected:
    static RuntimeRegion& region() {
        static RuntimeRegion* r = new RuntimeRegion(UniqueName("props"));
        return *r;
    }
    static std::string uid(const char* tag) { return std::string("prop.") + tag + "." + std::to_string(getpid()); }

    void SetUp() override {
        InitializeDriverOnce(region().name());
        RuntimeRegion::Slot a{.uid = uid("a"), .name = "Alpha", .channels = 4, .deviceGain = 2.0f};
        RuntimeRegion::Slot b{.uid = uid("b"), .name = "Beta", .channels = 2, .deviceGain = 0.0f};
        b.flags |= TidewellSlotFlagMuted;
        region().publish({a, b});
        TWReconcileNow();
        a_ = idsFor(uid("a"));
        b_ = idsFor(uid("b"));
    }
    void TearDown() override { RetireAll(region()); }

    static Ids idsFor(const std::string& u) {
        AudioObjectID d = DeviceForUID(u);
        return {d, d + 1, d + 2, d + 3, d + 4};
    }
    static UInt32 Size(AudioObjectID object, AudioObjectPropertySelector selector,
                       AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
        UInt32 size = 0xFFFF;
        EXPECT_EQ(GetSize(object, selector, &size, scope), 0) << std::hex << selector;
        return size;
    }
    static bool Has(AudioObjectID object, AudioObjectPropertySelector selector,
                    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
        AudioObjectPropertyAddress a = Address(selector, scope);
        return Table().HasProperty(Driver(), object, 0, &a) != 0;
    }
    static OSStatus Set(AudioObjectID object, AudioObjectPropertySelector selector, const void* data, UInt32 size) {
        AudioObjectPropertyAddress a = Address(selector);
        return Table().SetPropertyData(Driver(), object, 0, &a, 0, nullptr, size, data);
    }
    static Float32 GetF32(AudioObjectID object, AudioObjectPropertySelector selector) {
        Float32 v = NAN;
        EXPECT_EQ(Get(object, selector, &v), 0);
        return v;
    }
    static Float32 Convert(AudioObjectID volume, AudioObjectPropertySelector selector, Float32 in) {
        Float32 v = in;
        EXPECT_EQ(Get(volume, selector, &v), 0);
        return v;
    }

    Ids a_{}, b_{};
};

TEST_F(PropertyTest, ClassesOwnersAndOwnedObjects) {
    struct Row {
        AudioObjectID id;
        AudioClassID cls, base;
        AudioObjectID owner;
    } rows[] = {
        {kTWPlugInObjectID, kAudioPlugInClassID, kAudioObjectClassID, 0},
        {a_.device, kAudioDeviceClassID, kAudioObjectClassID, kTWPlugInObjectID},
        {a_.input, kAudioStreamClassID, kAudioObjectClassID, a_.device},
        {a_.output, kAudioStreamClassID, kAudioObjectClassID, a_.device},
        {a_.volume, kAudioVolumeControlClassID, kAudioLevelControlClassID, a_.device},
        {a_.mute, kAudioMuteControlClassID, kAudioBooleanControlClassID, a_.device},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(GetU32(r.id, kAudioObjectPropertyClass), r.cls);
        EXPECT_EQ(GetU32(r.id, kAudioObjectPropertyBaseClass), r.base);
        EXPECT_EQ(GetU32(r.id, kAudioObjectPropertyOwner), r.owner);
        EXPECT_EQ(Size(r.id, kAudioObjectPropertyCustomPropertyInfoList), 0u);
    }
    EXPECT_EQ(Size(a_.input, kAudioObjectPropertyOwnedObjects), 0u);
    EXPECT_EQ(Size(a_.mute, kAudioObjectPropertyOwnedObjects), 0u);

    AudioObjectID owned[4] = {};
    UInt32 written = 0;
    ASSERT_EQ(Get(a_.device, kAudioObjectPropertyOwnedObjects, &owned, kAudioObjectPropertyScopeGlobal, &written), 0);
    EXPECT_EQ(written, 16u);
    EXPECT_EQ(owned[0], a_.input);
    EXPECT_EQ(owned[1], a_.output);
    EXPECT_EQ(owned[2], a_.volume);
    EXPECT_EQ(owned[3], a_.mute);

    // Class qualifiers: by class, by base class, 'aobj' matches all, odd sizes match nothing.
    AudioClassID level = kAudioLevelControlClassID;
    UInt32 size = 0;
    ASSERT_EQ(GetSize(a_.device, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 4, &level), 0);
    EXPECT_EQ(size, 4u);
    AudioClassID two[2] = {kAudioStreamClassID, kAudioMuteControlClassID};
    ASSERT_EQ(GetSize(a_.device, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 8, two), 0);
    EXPECT_EQ(size, 12u);
    AudioClassID any = kAudioObjectClassID;
    ASSERT_EQ(GetSize(a_.device, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 4, &any), 0);
    EXPECT_EQ(size, 16u);
    ASSERT_EQ(GetSize(a_.device, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 3, &any), 0);
    EXPECT_EQ(size, 0u);
    AudioClassID device = kAudioDeviceClassID;
    ASSERT_EQ(GetSize(kTWPlugInObjectID, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 4,
                      &device),
              0);
    EXPECT_EQ(size, 8u);
    AudioClassID stream = kAudioStreamClassID;
    ASSERT_EQ(GetSize(kTWPlugInObjectID, kAudioObjectPropertyOwnedObjects, &size, kAudioObjectPropertyScopeGlobal, 4,
                      &stream),
              0);
    EXPECT_EQ(size, 0u);
}

TEST_F(PropertyTest, PlugInProperties) {
    EXPECT_EQ(GetString(kTWPlugInObjectID, kAudioObjectPropertyName), "Tidewell HAL");
    EXPECT_EQ(GetString(kTWPlugInObjectID, kAudioObjectPropertyManufacturer), "Tidewell");
    EXPECT_EQ(GetString(kTWPlugInObjectID, kAudioObjectPropertyModelName), "Tidewell");
    EXPECT_EQ(GetString(kTWPlugInObjectID, kAudioPlugInPropertyResourceBundle), kTWBundleIdentifier);
    EXPECT_EQ(Size(kTWPlugInObjectID, kAudioPlugInPropertyBoxList), 0u);
    EXPECT_EQ(Size(kTWPlugInObjectID, kAudioPlugInPropertyClockDeviceList), 0u);
    EXPECT_EQ(Size(kTWPlugInObjectID, kAudioPlugInPropertyTranslateUIDToDevice), 4u);
    EXPECT_EQ(Size(kTWPlugInObjectID, kAudioPlugInPropertyDeviceList), 8u);
    EXPECT_EQ(DeviceList(), (std::vector<AudioObjectID>{a_.device, b_.device}));

    // A short buffer fails before anything is written.
    AudioObjectID one = 0xABCD;
    UInt32 written = 77;
    AudioObjectPropertyAddress devs = Address(kAudioPlugInPropertyDeviceList);
    EXPECT_EQ(Table().GetPropertyData(Driver(), kTWPlugInObjectID, 0, &devs, 0, nullptr, 4, &written, &one),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(one, 0xABCDu);
    EXPECT_EQ(written, 77u);
    // A larger buffer gets as many ids as there are.
    AudioObjectID many[8] = {};
    ASSERT_EQ(Table().GetPropertyData(Driver(), kTWPlugInObjectID, 0, &devs, 0, nullptr, sizeof many, &written, many), 0);
    EXPECT_EQ(written, 8u);

    // UID translation: exact UIDs only, anything else 0.
    EXPECT_EQ(DeviceForUID(uid("a")), a_.device);
    EXPECT_EQ(DeviceForUID("no.such.device"), 0u);
    EXPECT_EQ(DeviceForUID(std::string(200, 'x')), 0u);
    AudioObjectID id = 5;
    ASSERT_EQ(Get(kTWPlugInObjectID, kAudioPlugInPropertyTranslateUIDToDevice, &id), 0);
    EXPECT_EQ(id, 0u);  // no qualifier
}

TEST_F(PropertyTest, DeviceProperties) {
    const AudioObjectID d = a_.device;
    EXPECT_EQ(GetString(d, kAudioObjectPropertyName), "Alpha");
    EXPECT_EQ(GetString(d, kAudioObjectPropertyModelName), "Alpha");
    EXPECT_EQ(GetString(d, kAudioObjectPropertyManufacturer), "Tidewell");
    EXPECT_EQ(GetString(d, kAudioDevicePropertyDeviceUID), uid("a"));
    EXPECT_EQ(GetString(d, kAudioDevicePropertyModelUID), kTWModelUID);
    EXPECT_EQ(GetString(b_.device, kAudioDevicePropertyModelUID), kTWModelUID);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyRelatedDevices), d);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyTransportType), kAudioDeviceTransportTypeVirtual);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyClockAlgorithm), AUDIO_FOUR_CC('r', 'a', 'w', 'w'));
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyClockDomain), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyClockIsStable), 1u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyLatency), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertySafetyOffset), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyBufferFrameSize), 512u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyZeroTimeStampPeriod), 512u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceIsRunning), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceIsRunningSomewhere), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceIsAlive), 1u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyIsHidden), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceCanBeDefaultDevice), 1u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kAudioObjectPropertyScopeOutput), 1u);

    Float64 rate = 0;
    ASSERT_EQ(Get(d, kAudioDevicePropertyNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
    ASSERT_EQ(Get(d, kAudioDevicePropertyActualSampleRate, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
    AudioValueRange range{};
    ASSERT_EQ(Get(d, kAudioDevicePropertyAvailableNominalSampleRates, &range), 0);
    EXPECT_EQ(range.mMinimum, 48000.0);
    EXPECT_EQ(range.mMaximum, 48000.0);
    ASSERT_EQ(Get(d, kAudioDevicePropertyBufferFrameSizeRange, &range), 0);
    EXPECT_EQ(range.mMinimum, 32.0);
    EXPECT_EQ(range.mMaximum, 4096.0);

    EXPECT_EQ(Size(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), 4u);
    EXPECT_EQ(Size(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(Size(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal), 8u);
    EXPECT_EQ(Size(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeWildcard), 8u);
    EXPECT_FALSE(Has(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopePlayThrough));
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), a_.input);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput), a_.output);
    AudioObjectID both[2] = {};
    ASSERT_EQ(Get(d, kAudioDevicePropertyStreams, &both), 0);
    EXPECT_EQ(both[0], a_.input);
    EXPECT_EQ(both[1], a_.output);

    for (auto scope : {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeInput,
                       kAudioObjectPropertyScopeOutput, kAudioObjectPropertyScopeWildcard}) {
        EXPECT_EQ(Size(d, kAudioDevicePropertyStreamConfiguration, scope), 24u);
    }
    EXPECT_FALSE(Has(d, kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopePlayThrough));
    unsigned char list[24];
    std::memset(list, 0xEE, sizeof list);
    ASSERT_EQ(Get(d, kAudioDevicePropertyStreamConfiguration, &list, kAudioObjectPropertyScopeInput), 0);
    AudioBufferList parsed;
    std::memcpy(&parsed, list, sizeof parsed);
    EXPECT_EQ(parsed.mNumberBuffers, 1u);
    EXPECT_EQ(parsed.mBuffers[0].mNumberChannels, 4u);
    EXPECT_EQ(parsed.mBuffers[0].mDataByteSize, 0u);
    EXPECT_EQ(parsed.mBuffers[0].mData, nullptr);

    UInt32 pair[2] = {};
    ASSERT_EQ(Get(d, kAudioDevicePropertyPreferredChannelsForStereo, &pair), 0);
    EXPECT_EQ(pair[0], 1u);
    EXPECT_EQ(pair[1], 2u);
    ASSERT_EQ(Get(d, kAudioObjectPropertyControlList, &pair), 0);
    EXPECT_EQ(pair[0], a_.volume);
    EXPECT_EQ(pair[1], a_.mute);

    // Names of channels are not offered; nor are stream-only selectors.
    EXPECT_FALSE(Has(d, kAudioObjectPropertyElementName));
    EXPECT_FALSE(Has(d, kAudioStreamPropertyVirtualFormat));
    UInt32 v = 0;
    EXPECT_EQ(Get(d, kAudioObjectPropertyElementName, &v), kAudioHardwareUnknownPropertyError);
}

TEST_F(PropertyTest, DeviceIconComesFromTheBundleOrIsUnknown) {
    EXPECT_EQ(Size(a_.device, kAudioDevicePropertyIcon), 8u);
    const char* pluginDir = std::getenv("TIDEWELL_PLUGIN_DIR");
    CFStringRef identifier = CFStringCreateWithCString(nullptr, kTWBundleIdentifier, kCFStringEncodingUTF8);
    bool registered = CFBundleGetBundleWithIdentifier(identifier) != nullptr;
    if (!registered && pluginDir != nullptr) {
        // Not loaded from a bundle here: without the bundle the icon is unknown.
        CFURLRef icon = nullptr;
        EXPECT_EQ(Get(a_.device, kAudioDevicePropertyIcon, &icon), kAudioHardwareUnknownPropertyError);
        std::string path = std::string(pluginDir) + "/TidewellHAL.driver";
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                               static_cast<CFIndex>(path.size()), true);
        ASSERT_NE(CFBundleCreate(nullptr, url), nullptr);
        CFRelease(url);
    }
    CFRelease(identifier);
    CFURLRef icon = nullptr;
    ASSERT_EQ(Get(a_.device, kAudioDevicePropertyIcon, &icon), 0);
    ASSERT_NE(icon, nullptr);
    char path[1024];
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(icon, true, reinterpret_cast<UInt8*>(path), sizeof path));
    EXPECT_TRUE(std::string(path).ends_with("/TidewellHAL.driver/Contents/Resources/DeviceIcon.icns")) << path;
    CFRelease(icon);
}

TEST_F(PropertyTest, StreamProperties) {
    EXPECT_EQ(GetString(a_.input, kAudioObjectPropertyName), "Tidewell Input");
    EXPECT_EQ(GetString(a_.output, kAudioObjectPropertyName), "Tidewell Output");
    EXPECT_EQ(GetString(a_.input, kAudioObjectPropertyManufacturer), "Tidewell");
    EXPECT_EQ(GetString(a_.output, kAudioObjectPropertyModelName), "Tidewell");
    EXPECT_EQ(GetU32(a_.input, kAudioStreamPropertyDirection), 1u);
    EXPECT_EQ(GetU32(a_.output, kAudioStreamPropertyDirection), 0u);
    EXPECT_EQ(GetU32(a_.input, kAudioStreamPropertyTerminalType), kAudioStreamTerminalTypeMicrophone);
    EXPECT_EQ(GetU32(a_.output, kAudioStreamPropertyTerminalType), kAudioStreamTerminalTypeSpeaker);
    EXPECT_EQ(GetU32(a_.input, kAudioStreamPropertyStartingChannel), 1u);
    EXPECT_EQ(GetU32(a_.input, kAudioStreamPropertyIsActive), 1u);
    EXPECT_EQ(GetU32(a_.output, kAudioStreamPropertyLatency), 0u);
    for (auto sel : {kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyPhysicalFormat}) {
        AudioStreamBasicDescription f{};
        ASSERT_EQ(Get(a_.output, sel, &f), 0);
        EXPECT_EQ(f.mSampleRate, 48000.0);
        EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(f.mFormatFlags, 9u);
        EXPECT_EQ(f.mBytesPerPacket, 16u);
        EXPECT_EQ(f.mFramesPerPacket, 1u);
        EXPECT_EQ(f.mBytesPerFrame, 16u);
        EXPECT_EQ(f.mChannelsPerFrame, 4u);
        EXPECT_EQ(f.mBitsPerChannel, 32u);
        EXPECT_EQ(f.mReserved, 0u);
    }
    for (auto sel : {kAudioStreamPropertyAvailableVirtualFormats, kAudioStreamPropertyAvailablePhysicalFormats}) {
        AudioStreamRangedDescription r{};
        ASSERT_EQ(Get(b_.input, sel, &r), 0);
        EXPECT_EQ(r.mFormat.mChannelsPerFrame, 2u);
        EXPECT_EQ(r.mSampleRateRange.mMinimum, 48000.0);
        EXPECT_EQ(r.mSampleRateRange.mMaximum, 48000.0);
    }
    EXPECT_FALSE(Has(a_.input, kAudioDevicePropertyDeviceUID));
    EXPECT_FALSE(Has(a_.input, kAudioPlugInPropertyDeviceList));
}

TEST_F(PropertyTest, VolumeAndMuteMirrorTheRuntimeSlot) {
    EXPECT_EQ(GetU32(a_.volume, kAudioControlPropertyScope), kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(GetU32(a_.mute, kAudioControlPropertyElement), 0u);
    // Gain 2.0: scalar 1.0, 6.02 dB. Gain 0: scalar 0, -96 dB, and muted.
    EXPECT_EQ(GetF32(a_.volume, kAudioLevelControlPropertyScalarValue), 1.0f);
    EXPECT_NEAR(GetF32(a_.volume, kAudioLevelControlPropertyDecibelValue), 6.02f, 1e-5);
    EXPECT_EQ(GetU32(a_.mute, kAudioBooleanControlPropertyValue), 0u);
    EXPECT_EQ(GetF32(b_.volume, kAudioLevelControlPropertyScalarValue), 0.0f);
    EXPECT_EQ(GetF32(b_.volume, kAudioLevelControlPropertyDecibelValue), -96.0f);
    EXPECT_EQ(GetU32(b_.mute, kAudioBooleanControlPropertyValue), 1u);
    AudioValueRange range{};
    ASSERT_EQ(Get(a_.volume, kAudioLevelControlPropertyDecibelRange, &range), 0);
    EXPECT_EQ(range.mMinimum, -96.0);
    EXPECT_EQ(range.mMaximum, static_cast<Float64>(6.02f));
    EXPECT_EQ(Convert(a_.volume, kAudioLevelControlPropertyConvertDecibelsToScalar, 0.0f), 0.5f);
    EXPECT_NEAR(Convert(a_.volume, kAudioLevelControlPropertyConvertScalarToDecibels, 0.5f), 0.0f, 1e-6);
    EXPECT_EQ(Convert(a_.volume, kAudioLevelControlPropertyConvertScalarToDecibels, 0.0f), -96.0f);

    EXPECT_EQ(TWVolumeScalarForGain(1.0f), 0.5f);
    EXPECT_EQ(TWVolumeScalarForGain(2.0f), 1.0f);
    EXPECT_EQ(TWVolumeDecibelsForGain(0.0f), -96.0f);
    EXPECT_NEAR(TWVolumeDecibelsForGain(2.0f), 6.02f, 1e-6);
    EXPECT_EQ(TWVolumeDecibelsForGain(NAN), -96.0f);
    EXPECT_EQ(TWVolumeDecibelsForGain(1e-9f), -96.0f);
    EXPECT_EQ(TWAudioBufferListSize(1), 24u);

    // Each control answers only its own kind's values, and controls have no names.
    EXPECT_FALSE(Has(a_.mute, kAudioLevelControlPropertyScalarValue));
    EXPECT_FALSE(Has(a_.volume, kAudioBooleanControlPropertyValue));
    EXPECT_FALSE(Has(a_.volume, kAudioObjectPropertyName));
    Float32 one = 1.0f;
    EXPECT_EQ(Set(a_.volume, kAudioLevelControlPropertyScalarValue, &one, 4), kAudioHardwareUnknownPropertyError);
    UInt32 on = 1;
    EXPECT_EQ(Set(a_.mute, kAudioBooleanControlPropertyValue, &on, 4), kAudioHardwareUnknownPropertyError);
}

TEST_F(PropertyTest, SettingProperties) {
    const AudioObjectID d = a_.device;
    Float64 rate = 48000.0;
    EXPECT_EQ(Set(d, kAudioDevicePropertyNominalSampleRate, &rate, 8), 0);
    EXPECT_EQ(Set(d, kAudioDevicePropertyNominalSampleRate, &rate, 4), kAudioHardwareBadPropertySizeError);
    rate = 44100.0;
    EXPECT_EQ(Set(d, kAudioDevicePropertyNominalSampleRate, &rate, 8), kAudioHardwareUnsupportedOperationError);

    RecordingHost::shared().clear();
    UInt32 frames = 31;
    EXPECT_EQ(Set(d, kAudioDevicePropertyBufferFrameSize, &frames, 4), kAudioHardwareUnsupportedOperationError);
    frames = 4097;
    EXPECT_EQ(Set(d, kAudioDevicePropertyBufferFrameSize, &frames, 4), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(Set(d, kAudioDevicePropertyBufferFrameSize, &frames, 8), kAudioHardwareBadPropertySizeError);
    EXPECT_FALSE(RecordingHost::shared().notified(d, kAudioDevicePropertyBufferFrameSize));
    frames = 32;
    EXPECT_EQ(Set(d, kAudioDevicePropertyBufferFrameSize, &frames, 4), 0);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyBufferFrameSize), 32u);
    EXPECT_EQ(GetU32(d, kAudioDevicePropertyZeroTimeStampPeriod), 32u);
    EXPECT_TRUE(RecordingHost::shared().notified(d, kAudioDevicePropertyBufferFrameSize));

    AudioStreamBasicDescription f{};
    ASSERT_EQ(Get(a_.input, kAudioStreamPropertyVirtualFormat, &f), 0);
    f.mFormatFlags = 0;  // not checked
    EXPECT_EQ(Set(a_.input, kAudioStreamPropertyVirtualFormat, &f, sizeof f), 0);
    EXPECT_EQ(Set(a_.output, kAudioStreamPropertyPhysicalFormat, &f, sizeof f), 0);
    EXPECT_EQ(Set(a_.output, kAudioStreamPropertyPhysicalFormat, &f, 39), kAudioHardwareBadPropertySizeError);
    AudioStreamBasicDescription wrong = f;
    wrong.mChannelsPerFrame = 2;
    EXPECT_EQ(Set(a_.output, kAudioStreamPropertyVirtualFormat, &wrong, sizeof wrong),
              kAudioHardwareUnsupportedOperationError);
    wrong = f;
    wrong.mSampleRate = 44100.0;
    EXPECT_EQ(Set(a_.output, kAudioStreamPropertyVirtualFormat, &wrong, sizeof wrong),
              kAudioHardwareUnsupportedOperationError);
    wrong = f;
    wrong.mBitsPerChannel = 16;
    EXPECT_EQ(Set(a_.output, kAudioStreamPropertyVirtualFormat, &wrong, sizeof wrong),
              kAudioHardwareUnsupportedOperationError);

    EXPECT_EQ(Set(d, kAudioDevicePropertyDeviceUID, &frames, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(Set(d, kAudioDevicePropertyBufferFrameSize, nullptr, 4), kAudioHardwareIllegalOperationError);
    AudioObjectPropertyAddress a = Address(kAudioDevicePropertyBufferFrameSize);
    EXPECT_EQ(Table().SetPropertyData(Driver(), d, 0, nullptr, 0, nullptr, 4, &frames),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(Table().SetPropertyData(Driver(), 4242, 0, &a, 0, nullptr, 4, &frames),
              kAudioHardwareUnknownPropertyError);
}

TEST_F(PropertyTest, SettabilityAndErrors) {
    struct Row {
        AudioObjectID id;
        AudioObjectPropertySelector sel;
        bool settable;
    } rows[] = {
        {a_.device, kAudioDevicePropertyNominalSampleRate, true},
        {a_.device, kAudioDevicePropertyBufferFrameSize, true},
        {a_.input, kAudioStreamPropertyVirtualFormat, true},
        {a_.output, kAudioStreamPropertyPhysicalFormat, true},
        {a_.device, kAudioDevicePropertyDeviceUID, false},
        {a_.volume, kAudioLevelControlPropertyScalarValue, false},
        {a_.mute, kAudioBooleanControlPropertyValue, false},
        {kTWPlugInObjectID, kAudioPlugInPropertyDeviceList, false},
    };
    for (const auto& r : rows) {
        AudioObjectPropertyAddress a = Address(r.sel);
        Boolean settable = 7;
        EXPECT_EQ(Table().IsPropertySettable(Driver(), r.id, 0, &a, &settable), 0);
        EXPECT_EQ(settable != 0, r.settable) << std::hex << r.sel;
    }
    AudioObjectPropertyAddress a = Address(kAudioObjectPropertyClass);
    Boolean settable = 0;
    EXPECT_EQ(Table().IsPropertySettable(Driver(), 4242, 0, &a, &settable), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(Table().IsPropertySettable(Driver(), a_.device, 0, nullptr, &settable),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(Table().IsPropertySettable(Driver(), a_.device, 0, &a, nullptr), kAudioHardwareIllegalOperationError);
    AudioObjectPropertyAddress unknown = Address(AUDIO_FOUR_CC('z', 'z', 'z', 'z'));
    EXPECT_EQ(Table().IsPropertySettable(Driver(), a_.device, 0, &unknown, &settable),
              kAudioHardwareUnknownPropertyError);

    // Unknown objects: false, '!obj' from the size and value operations.
    EXPECT_FALSE(Has(4242, kAudioObjectPropertyClass));
    UInt32 size = 0;
    EXPECT_EQ(GetSize(4242, kAudioObjectPropertyClass, &size), kAudioHardwareBadObjectError);
    UInt32 value = 0;
    EXPECT_EQ(Get(4242, kAudioObjectPropertyClass, &value), kAudioHardwareBadObjectError);
    EXPECT_EQ(Get(a_.device, AUDIO_FOUR_CC('z', 'z', 'z', 'z'), &value), kAudioHardwareUnknownPropertyError);
    UInt32 written = 0;
    EXPECT_EQ(Table().GetPropertyData(Driver(), a_.device, 0, nullptr, 0, nullptr, 4, &written, &value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().GetPropertyData(Driver(), a_.device, 0, &a, 0, nullptr, 4, nullptr, &value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().GetPropertyData(Driver(), a_.device, 0, &a, 0, nullptr, 4, &written, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().GetPropertyDataSize(Driver(), a_.device, 0, &a, 0, nullptr, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().GetPropertyData(Driver(), a_.device, 0, &a, 0, nullptr, 3, &written, &value),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(PropertyTest, ADyingDeviceStillAnswersButIsNotListed) {
    ASSERT_EQ(Table().StartIO(Driver(), a_.device, 3), 0);
    region().publish({{.uid = uid("b"), .name = "Beta"}});
    TWReconcileNow();
    EXPECT_EQ(DeviceList(), std::vector<AudioObjectID>{b_.device});
    EXPECT_EQ(GetU32(a_.device, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(GetU32(a_.device, kAudioDevicePropertyDeviceIsRunning), 1u);
    EXPECT_EQ(GetString(a_.device, kAudioObjectPropertyName), "Alpha");
    EXPECT_EQ(DeviceForUID(uid("a")), 0u);
    UInt32 size = 0;
    ASSERT_EQ(GetSize(kTWPlugInObjectID, kAudioObjectPropertyOwnedObjects, &size), 0);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(Table().StopIO(Driver(), a_.device, 3), 0);
}

}  // namespace
