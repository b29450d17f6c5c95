// The driver in process while the shared regions it maps are damaged: a runtime region
// whose header another build wrote. Devices keep their last good controls.

#include "TWTestSupport.h"

#include <algorithm>
#include <cmath>

using namespace twtest;

namespace {

class RegionDamage : public ::testing::Test {
protected:
    static RuntimeRegion& region() {
        static RuntimeRegion* r = new RuntimeRegion(UniqueName("damage"));
        return *r;
    }
    static std::string uid(const char* tag) { return std::string("damage.") + tag + "." + std::to_string(getpid()); }

    void SetUp() override { InitializeDriverOnce(region().name()); }
    void TearDown() override {
        for (UInt32 c : started_) Table().StopIO(Driver(), device_, c);
        region().resize(TidewellRuntimeSize);
        region().writeHeader();
        RetireAll(region());
    }

    // Publishes the slots and takes the device with the given uid as the one under test.
    void publish(const std::vector<RuntimeRegion::Slot>& slots, const std::string& deviceUID) {
        region().publish(slots);
        TWReconcileNow();
        device_ = DeviceForUID(deviceUID);
        ASSERT_NE(device_, 0u);
        dev_ = TWTestDeviceForID(device_);
    }
    void start(UInt32 client) {
        ASSERT_EQ(Table().StartIO(Driver(), device_, client), 0);
        started_.push_back(client);
    }
    void write(float value) {
        std::vector<float> block(512 * 2, value);
        ASSERT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 2, 0, kAudioServerPlugInIOOperationWriteMix, 512,
                                        nullptr, block.data(), nullptr),
                  0);
    }
    float readPeak(UInt32 client) {
        std::vector<float> out(512 * 2, -7.0f);
        EXPECT_EQ(Table().DoIOOperation(Driver(), device_, device_ + 1, client, kAudioServerPlugInIOOperationReadInput,
                                        512, nullptr, out.data(), nullptr),
                  0);
        float peak = 0;
        for (float v : out) peak = std::max(peak, std::fabs(v));
        return peak;
    }
    UInt32 mutedProperty() { return GetU32(device_ + 4, kAudioBooleanControlPropertyValue); }

    // The controls a device had when the test muted it: gain 0.25, source 1 to output 2.
    static void expectMutedControls(const TWDeviceControls& c) {
        EXPECT_TRUE(c.muted);
        EXPECT_EQ(c.deviceGain, 0.25f);
        ASSERT_EQ(c.routeCount, 1u);
        EXPECT_EQ(c.routes[0].destinationChannel, 2u);
    }
    static RuntimeRegion::Slot mutedSlot(const std::string& deviceUID) {
        RuntimeRegion::Slot slot{.uid = deviceUID, .deviceGain = 0.25f};
        slot.flags |= TidewellSlotFlagMuted;
        slot.routes = {{1, 2}};
        return slot;
    }

    AudioObjectID device_ = 0;
    TWDevice* dev_ = nullptr;
    std::vector<UInt32> started_;
};

TEST_F(RegionDamage, AHeaderOfAnotherVersionOrLayoutKeepsTheLastGoodControls) {
    publish({mutedSlot(uid("header"))}, uid("header"));
    ASSERT_EQ(mutedProperty(), 1u);
    start(1);
    readPeak(1);  // the first read only places the client
    const struct {
        const char* what;
        size_t offset;
        uint32_t value;
    } headers[] = {
        {"another version", TidewellRegionVersionOffset, TidewellRuntimeVersion + 1},
        {"another layout", TidewellRegionSizeOffset, TidewellRuntimeSize / 2},
        {"no magic", TidewellRegionMagicOffset, 0},
    };
    for (const auto& h : headers) {
        SCOPED_TRACE(h.what);
        region().setHeaderWord(h.offset, h.value);
        expectMutedControls(TWCurrentControlsForDevice(dev_));
        EXPECT_EQ(mutedProperty(), 1u);
        write(0.5f);
        EXPECT_EQ(readPeak(1), 0.0f);
        // A pass over the unreadable region keeps the device as it is.
        TWReconcileNow();
        EXPECT_EQ(DeviceForUID(uid("header")), device_);
        region().writeHeader();
    }
    // A whole region is followed again at once.
    region().publish({{.uid = uid("header")}});
    EXPECT_EQ(mutedProperty(), 0u);
    write(0.5f);
    EXPECT_EQ(readPeak(1), 0.5f);
}

}  // namespace
