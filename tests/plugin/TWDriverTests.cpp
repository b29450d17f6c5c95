// The driver's lifetime operations, object ids and device reconciliation, called in
// process through the factory's table with a recording host.

#include "TWTestSupport.h"

#include <TidewellCore/TidewellConstants.h>

#include <sys/stat.h>

#include <cmath>
#include <limits>

using namespace twtest;

namespace {

class DriverTest : public ::testing::Test {
protected:
    static RuntimeRegion& region() {
        static RuntimeRegion* r = new RuntimeRegion(UniqueName("driver"));
        return *r;
    }
    void SetUp() override {
        region();
        InitializeDriverOnce(region().name());
        RecordingHost::shared().setRequestResult(0);
    }
    void TearDown() override {
        RetireAll(region());
        RecordingHost::shared().clear();
    }
    static std::string uid(const char* tag) { return std::string("test.") + tag + "." + std::to_string(getpid()); }
};

bool MeterRegionExists(const std::string& owner) {
    char name[32];
    TidewellRegionFormatName(TidewellMeterNamePrefix, TidewellOwnerHash(owner.c_str()), name, sizeof name);
    struct stat st;
    return stat((std::string("/dev/shm") + name).c_str(), &st) == 0;
}

TEST(DriverConstants, LegacyDeviceAndBundleMatchTheProductConstants) {
    EXPECT_EQ(std::string(kTWLegacyDeviceUID), tidewell::TidewellCore::passThruDeviceUID);
    EXPECT_EQ(std::string(kTWLegacyDeviceName), tidewell::TidewellCore::passThruDeviceName);
    EXPECT_EQ(std::string(kTWBundleIdentifier), tidewell::TidewellCore::halBundleID);
}

TEST(DriverFactory, HandsOutAReferenceToTheTablePointer) {
    void* ref = TidewellHALFactory(nullptr, kAudioServerPlugInTypeUUID);
    ASSERT_NE(ref, nullptr);
    // The reference points at a word that points at the table, whose first slot is the
    // reserved null and whose operations follow.
    auto table = *static_cast<AudioServerPlugInDriverInterface**>(ref);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->_reserved, nullptr);
    EXPECT_EQ(table->QueryInterface, &Tidewell_QueryInterface);
    EXPECT_EQ(table->DoIOOperation, &TWDriver_DoIOOperation);
    EXPECT_EQ(TidewellHALFactory(nullptr, kAudioServerPlugInDriverInterfaceUUID), ref);
    EXPECT_EQ(TidewellHALFactory(nullptr, IUnknownUUID), nullptr);
    EXPECT_EQ(TidewellHALFactory(nullptr, nullptr), nullptr);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(table->QueryInterface(ref, kAudioServerPlugInDriverInterfaceUUIDBytes, &out), 0);
    EXPECT_EQ(out, ref);
    out = nullptr;
    EXPECT_EQ(table->QueryInterface(ref, kIUnknownUUIDBytes, &out), 0);
    EXPECT_EQ(out, ref);
    EXPECT_EQ(table->QueryInterface(ref, kAudioServerPlugInTypeUUIDBytes, &out), AUDIO_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(table->QueryInterface(ref, kIUnknownUUIDBytes, nullptr), AUDIO_E_POINTER);
}

TEST(DriverFactory, ReleaseNeverGoesBelowZero) {
    void* ref = TidewellHALFactory(nullptr, kAudioServerPlugInTypeUUID);
    auto table = *static_cast<AudioServerPlugInDriverInterface**>(ref);
    ULONG count = table->AddRef(ref);
    EXPECT_GE(count, 2u);
    while (count > 0) {
        ULONG next = table->Release(ref);
        EXPECT_EQ(next, count - 1);
        count = next;
    }
    EXPECT_EQ(table->Release(ref), 0u);
    EXPECT_EQ(table->AddRef(ref), 1u);
}

TEST_F(DriverTest, StartsWithTheLegacyDeviceWhenNoRegionListsDevices) {
    auto ids = DeviceList();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(GetString(ids[0], kAudioDevicePropertyDeviceUID), kTWLegacyDeviceUID);
    EXPECT_EQ(GetString(ids[0], kAudioObjectPropertyName), "Tidewell");
    EXPECT_TRUE(MeterRegionExists(kTWLegacySourceMeterOwnerID));
    EXPECT_TRUE(MeterRegionExists(kTWLegacyOutputMeterOwnerID));
    // Unmapped or absent slot: default controls.
    TWDeviceControls c = TWCurrentControls(-1, 2);
    EXPECT_FALSE(c.muted);
    EXPECT_EQ(c.deviceGain, 1.0f);
    ASSERT_EQ(c.routeCount, 2u);
    EXPECT_EQ(c.routes[1].sourceChannel, 2u);
    EXPECT_EQ(c.routes[1].destinationChannel, 2u);
    EXPECT_EQ(TWDefaultControls(64).routeCount, 2u);
}

TEST_F(DriverTest, PublishedDevicesTakeBlocksOfEightIdsAndRetireTheLegacyDevice) {
    AudioObjectID legacy = DeviceList().at(0);
    region().publish({{.uid = uid("a"), .name = "Alpha", .channels = 2}, {.uid = uid("b"), .name = "Beta", .channels = 8}});
    TWReconcileNow();
    AudioObjectID a = DeviceForUID(uid("a"));
    AudioObjectID b = DeviceForUID(uid("b"));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(b, a + 8);
    TWDevice* device = TWTestDeviceForID(a);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->inputStreamID.load(), a + 1);
    EXPECT_EQ(device->outputStreamID.load(), a + 2);
    EXPECT_EQ(device->volumeControlID.load(), a + 3);
    EXPECT_EQ(device->muteControlID.load(), a + 4);
    EXPECT_EQ(TWResolveObject(a + 5).kind, kTWObjectNone);
    EXPECT_EQ(DeviceList(), (std::vector<AudioObjectID>{a, b}));
    EXPECT_EQ(GetU32(b, kAudioDevicePropertyDeviceIsAlive), 1u);
    // The legacy device is not listed: it is dying, still answers, and is freed at once
    // because no IO runs on it.
    EXPECT_EQ(TWTestDeviceForID(legacy), nullptr);
    EXPECT_TRUE(RecordingHost::shared().notified(legacy, kAudioDevicePropertyDeviceIsAlive));
    EXPECT_TRUE(RecordingHost::shared().notified(kTWPlugInObjectID, kAudioPlugInPropertyDeviceList));
    EXPECT_TRUE(MeterRegionExists("tidewell.device." + uid("b") + ".source"));
    EXPECT_TRUE(MeterRegionExists("tidewell.device." + uid("b") + ".output"));
}

TEST_F(DriverTest, SecondPassOverTheSameGenerationDoesNothing) {
    region().publish({{.uid = uid("same")}});
    TWReconcileNow();
    RecordingHost::shared().clear();
    TWReconcileNow();
    EXPECT_TRUE(RecordingHost::shared().notifications().empty());
}

TEST_F(DriverTest, NameAndIconChangeInPlaceAndNotify) {
    region().publish({{.uid = uid("n"), .name = "Before", .icon = "mic"}});
    TWReconcileNow();
    AudioObjectID id = DeviceForUID(uid("n"));
    RecordingHost::shared().clear();
    region().publish({{.uid = uid("n"), .name = "After", .icon = "speaker"}});
    TWReconcileNow();
    EXPECT_EQ(DeviceForUID(uid("n")), id);
    EXPECT_EQ(GetString(id, kAudioObjectPropertyName), "After");
    EXPECT_EQ(GetString(id, kAudioObjectPropertyModelName), "After");
    EXPECT_TRUE(RecordingHost::shared().notified(id, kAudioObjectPropertyName));
    EXPECT_TRUE(RecordingHost::shared().notified(id, kAudioDevicePropertyIcon));
    EXPECT_FALSE(RecordingHost::shared().notified(kTWPlugInObjectID, kAudioPlugInPropertyDeviceList));
}

TEST_F(DriverTest, ChannelCountsAreSanitised) {
    const uint32_t given[] = {0, 1, 3, 65, 100, 63, 8};
    const uint32_t expected[] = {2, 2, 2, 64, 64, 62, 8};
    std::vector<RuntimeRegion::Slot> slots;
    for (size_t i = 0; i < 7; ++i) slots.push_back({.uid = uid("ch") + std::to_string(i), .channels = given[i]});
    region().publish(slots);
    TWReconcileNow();
    for (size_t i = 0; i < 7; ++i) {
        AudioObjectID id = DeviceForUID(uid("ch") + std::to_string(i));
        ASSERT_NE(id, 0u);
        EXPECT_EQ(TWTestDeviceForID(id)->channelCount.load(), static_cast<int32_t>(expected[i])) << given[i];
    }
}

TEST_F(DriverTest, HeaderCountAboveSixteenReadsSixteenSlotsAndEmptyUIDsAreIgnored) {
    std::vector<RuntimeRegion::Slot> slots;
    for (int i = 0; i < 16; ++i) slots.push_back({.uid = i == 3 ? std::string() : uid("c") + std::to_string(i)});
    region().publish(slots, 20);
    TWRuntimeSnapshot snapshot = TWSnapshotRegion();
    ASSERT_TRUE(snapshot.valid);
    EXPECT_EQ(snapshot.presentCount, 15u);
    EXPECT_FALSE(snapshot.entries[3].present);
    TWReconcileNow();
    EXPECT_EQ(DeviceList().size(), 15u);
}

TEST_F(DriverTest, SnapshotIsInvalidWhileAWriteIsInProgressOrTheHeaderIsWrong) {
    region().publish({{.uid = uid("torn")}});
    uint32_t odd = region().beginWrite();
    EXPECT_FALSE(TWSnapshotRegion().valid);
    region().endWrite(odd);
    EXPECT_TRUE(TWSnapshotRegion().valid);
    region().setHeaderWord(TidewellRegionVersionOffset, 3);
    EXPECT_FALSE(TWSnapshotRegion().valid);
    EXPECT_FALSE(TWRuntime3HeaderValid());
    // Devices stay as they are while the region is unusable.
    TWReconcileNow();
    region().setHeaderWord(TidewellRegionVersionOffset, TidewellRuntimeVersion);
    EXPECT_TRUE(TWSnapshotRegion().valid);
}

TEST_F(DriverTest, AValidRegionListingNoDeviceRetiresEveryPublishedDevice) {
    region().publish({{.uid = uid("gone")}});
    TWReconcileNow();
    AudioObjectID id = DeviceForUID(uid("gone"));
    ASSERT_NE(id, 0u);
    region().publish({});
    TWReconcileNow();
    // The deleted device is gone and the legacy device stands in for it.
    EXPECT_EQ(DeviceForUID(uid("gone")), 0u);
    auto ids = DeviceList();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(GetString(ids[0], kAudioDevicePropertyDeviceUID), kTWLegacyDeviceUID);
    EXPECT_TRUE(RecordingHost::shared().notified(id, kAudioDevicePropertyDeviceIsAlive));
}

TEST_F(DriverTest, AnUnusableRegionKeepsTheCurrentDevices) {
    region().publish({{.uid = uid("kept")}});
    TWReconcileNow();
    uint32_t odd = region().beginWrite();
    TWReconcileNow();
    EXPECT_NE(DeviceForUID(uid("kept")), 0u);
    region().endWrite(odd);
}

TEST_F(DriverTest, RetiredDeviceWithRunningIOStaysDyingUntilItsLastClientStops) {
    region().publish({{.uid = uid("busy")}});
    TWReconcileNow();
    AudioObjectID id = DeviceForUID(uid("busy"));
    ASSERT_EQ(Table().StartIO(Driver(), id, 7), 0);
    region().publish({{.uid = uid("other")}});
    TWReconcileNow();
    TWReconcileNow();
    EXPECT_EQ(DeviceForUID(uid("busy")), 0u);
    ASSERT_NE(TWTestDeviceForID(id), nullptr);
    EXPECT_EQ(GetU32(id, kAudioDevicePropertyDeviceIsAlive), 0u);
    auto ids = DeviceList();
    EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0);
    // Still does IO for its running client.
    std::vector<float> buffer(512 * 2, 1.0f);
    EXPECT_EQ(Table().DoIOOperation(Driver(), id, id + 2, 7, kAudioServerPlugInIOOperationWriteMix, 512, nullptr,
                                    buffer.data(), nullptr),
              0);
    ASSERT_EQ(Table().StopIO(Driver(), id, 7), 0);
    TWReconcileNow();  // same generation: only finishes dying devices
    EXPECT_EQ(TWTestDeviceForID(id), nullptr);
    EXPECT_EQ(Table().StartIO(Driver(), id, 7), kAudioHardwareBadObjectError);
}

TEST_F(DriverTest, TheSameUIDPublishedAgainGetsNewIds) {
    region().publish({{.uid = uid("again")}});
    TWReconcileNow();
    AudioObjectID first = DeviceForUID(uid("again"));
    region().publish({{.uid = uid("x")}});
    TWReconcileNow();
    region().publish({{.uid = uid("again")}});
    TWReconcileNow();
    AudioObjectID second = DeviceForUID(uid("again"));
    EXPECT_GT(second, first);
    EXPECT_EQ((second - first) % 8, 0u);
}

TEST_F(DriverTest, ChannelChangeIsRequestedOnceAndAppliedByPerform) {
    region().publish({{.uid = uid("cc"), .channels = 2}});
    TWReconcileNow();
    AudioObjectID id = DeviceForUID(uid("cc"));
    TWDevice* device = TWTestDeviceForID(id);
    std::vector<float> block(512 * 2, 0.5f);
    Table().DoIOOperation(Driver(), id, id + 2, 0, kAudioServerPlugInIOOperationWriteMix, 512, nullptr, block.data(),
                          nullptr);
    ASSERT_EQ(device->writePosition.load(), 512u);
    region().publish({{.uid = uid("cc"), .channels = 8}});
    TWReconcileNow();
    region().publish({{.uid = uid("cc"), .channels = 6}});
    TWReconcileNow();
    EXPECT_EQ(RecordingHost::shared().configurationRequests(), std::vector<AudioObjectID>{id});
    EXPECT_EQ(device->pendingChannelCount.load(), 8);
    EXPECT_EQ(device->channelCount.load(), 2);
    // Another action, or another object, changes nothing.
    EXPECT_EQ(Table().PerformDeviceConfigurationChange(Driver(), id, 1, nullptr), 0);
    EXPECT_EQ(device->channelCount.load(), 2);
    EXPECT_EQ(Table().PerformDeviceConfigurationChange(Driver(), 12345, kTWConfigurationChangeAction, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().PerformDeviceConfigurationChange(Driver(), id, kTWConfigurationChangeAction, nullptr), 0);
    EXPECT_EQ(device->channelCount.load(), 8);
    EXPECT_EQ(device->pendingChannelCount.load(), 0);
    EXPECT_EQ(device->writePosition.load(), 0u);
    EXPECT_EQ(DeviceForUID(uid("cc")), id);
    // The first requested count won; the second difference is asked for on a later pass.
    region().publish({{.uid = uid("cc"), .channels = 6}});
    TWReconcileNow();
    EXPECT_EQ(RecordingHost::shared().configurationRequests().size(), 2u);
    EXPECT_EQ(Table().AbortDeviceConfigurationChange(Driver(), id, kTWConfigurationChangeAction, nullptr), 0);
    EXPECT_EQ(device->pendingChannelCount.load(), 0);
    EXPECT_EQ(Table().AbortDeviceConfigurationChange(Driver(), 1, kTWConfigurationChangeAction, nullptr),
              kAudioHardwareBadObjectError);
}

TEST_F(DriverTest, ARefusedChannelChangeIsAskedForAgain) {
    region().publish({{.uid = uid("refused"), .channels = 2}});
    TWReconcileNow();
    AudioObjectID id = DeviceForUID(uid("refused"));
    RecordingHost::shared().setRequestResult(kAudioHardwareUnspecifiedError);
    region().publish({{.uid = uid("refused"), .channels = 4}});
    TWReconcileNow();
    EXPECT_EQ(TWTestDeviceForID(id)->pendingChannelCount.load(), 0);
    RecordingHost::shared().setRequestResult(0);
    region().publish({{.uid = uid("refused"), .channels = 4}});
    TWReconcileNow();
    EXPECT_EQ(RecordingHost::shared().configurationRequests().size(), 2u);
    EXPECT_EQ(TWTestDeviceForID(id)->pendingChannelCount.load(), 4);
}

TEST_F(DriverTest, ARegionRecreatedUnderTheSameNameIsFollowed) {
    region().publish({{.uid = uid("old")}});
    TWReconcileNow();
    ASSERT_NE(DeviceForUID(uid("old")), 0u);
    region().recreate();
    region().publish({{.uid = uid("new")}});
    TWReconcileNow();
    EXPECT_NE(DeviceForUID(uid("new")), 0u);
    EXPECT_EQ(DeviceForUID(uid("old")), 0u);
}

TEST_F(DriverTest, ControlsAreClampedAndBounded) {
    RuntimeRegion::Slot slot{.uid = uid("ctl"), .deviceGain = std::numeric_limits<float>::infinity(),
                             .sourceGain = 3.5f, .channelGains = {-1.0f, std::nanf("")}};
    slot.flags |= TidewellSlotFlagMuted;
    slot.routeCountOverride = 300;
    region().publish({slot});
    TWDeviceControls c = TWCurrentControls(0, 2);
    EXPECT_TRUE(c.muted);
    EXPECT_TRUE(c.deviceEnabled);
    EXPECT_TRUE(c.sourceEnabled);
    EXPECT_EQ(c.deviceGain, 1.0f);
    EXPECT_EQ(c.sourceGain, 2.0f);
    EXPECT_EQ(c.channelGains[0], 0.0f);
    EXPECT_EQ(c.channelGains[1], 1.0f);
    EXPECT_EQ(c.routeCount, 128u);
    // Out of range or not present: the defaults.
    EXPECT_FALSE(TWCurrentControls(16, 2).muted);
    EXPECT_FALSE(TWCurrentControls(5, 2).muted);
}

TEST_F(DriverTest, AControlsReadDuringAWriteKeepsTheLastGoodControls) {
    RuntimeRegion::Slot slot{.uid = uid("good"), .deviceGain = 0.25f};
    slot.flags |= TidewellSlotFlagMuted;
    slot.routes = {{1, 2}};
    region().publish({slot});
    TWReconcileNow();
    TWDevice* device = TWTestDeviceForID(DeviceForUID(uid("good")));
    ASSERT_NE(device, nullptr);
    TWDeviceControls good = TWCurrentControlsForDevice(device);
    EXPECT_TRUE(good.muted);
    uint32_t odd = region().beginWrite();
    TWDeviceControls during = TWCurrentControlsForDevice(device);
    EXPECT_TRUE(during.muted);
    EXPECT_EQ(during.deviceGain, 0.25f);
    ASSERT_EQ(during.routeCount, 1u);
    EXPECT_EQ(during.routes[0].destinationChannel, 2u);
    // The slot reader as such falls back to defaults; the device keeps what it had.
    EXPECT_FALSE(TWCurrentControls(0, 2).muted);
    region().endWrite(odd);
}

// Sixteen published devices from the usual start, where the legacy device holds a record:
// it must make way for the sixteenth, at once when it is idle, and as soon as its last
// client stops when it is not, without waiting for another publish.
TEST_F(DriverTest, SixteenPublishedDevicesReplaceTheLegacyDevice) {
    std::vector<RuntimeRegion::Slot> slots;
    for (int i = 0; i < 16; ++i) slots.push_back({.uid = uid("sixteen") + "." + std::to_string(i)});
    auto allListed = [&] {
        for (const auto& s : slots) {
            if (DeviceForUID(s.uid) == 0) return false;
        }
        return true;
    };
    for (bool legacyRunning : {false, true}) {
        SCOPED_TRACE(legacyRunning ? "legacy device running" : "legacy device idle");
        ASSERT_EQ(DeviceList().size(), 1u);
        AudioObjectID legacy = DeviceList().at(0);
        if (legacyRunning) {
            ASSERT_EQ(Table().StartIO(Driver(), legacy, 7), 0);
        }
        region().publish(slots);
        TWReconcileNow();
        if (legacyRunning) {
            // Its record is still taken while it runs; the sixteenth waits for it.
            EXPECT_EQ(DeviceList().size(), 15u);
            EXPECT_NE(TWTestDeviceForID(legacy), nullptr);
            ASSERT_EQ(Table().StopIO(Driver(), legacy, 7), 0);
            TWReconcileNow();
        }
        TWReconcileNow();
        EXPECT_EQ(DeviceList().size(), 16u);
        EXPECT_TRUE(allListed());
        EXPECT_EQ(TWTestDeviceForID(legacy), nullptr);
        RetireAll(region());
    }
}

TEST_F(DriverTest, ClientOperationsValidateTheDevice) {
    AudioObjectID id = DeviceList().at(0);
    EXPECT_EQ(Table().AddDeviceClient(Driver(), id, nullptr), 0);
    EXPECT_EQ(Table().RemoveDeviceClient(Driver(), id, nullptr), 0);
    EXPECT_EQ(Table().AddDeviceClient(Driver(), id + 1, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().RemoveDeviceClient(Driver(), 1, nullptr), kAudioHardwareBadObjectError);
    AudioObjectID out = 99;
    EXPECT_EQ(Table().CreateDevice(Driver(), nullptr, nullptr, &out), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(Table().DestroyDevice(Driver(), id), kAudioHardwareIllegalOperationError);
}

}  // namespace
