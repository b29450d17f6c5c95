// The driver in process while the shared regions it maps are damaged: a runtime region
// whose header another build wrote, one cut, emptied and refilled under the readers, and
// meter regions cut under the writer. The process survives, devices keep their last good
// controls, and the regions are taken up again once they are whole.

#include "TWTestSupport.h"

#include "RegionOwnerSupport.h"

#include <TidewellHAL/TWRegionGuard.h>
#include <TidewellStream/TidewellMeterWriter.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

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

std::string MeterRegionName(const std::string& owner) {
    char name[TidewellRegionNameCapacity];
    TidewellMeterName(TidewellMeterHash(owner.c_str()), name, sizeof name);
    return name;
}

// A meter region's size and first level, read with system calls that cannot fault.
struct MeterState {
    off_t size = -1;
    uint32_t magic = 0;
    float level = -1.0f;
};
MeterState ReadMeter(const std::string& owner) {
    MeterState state;
    int fd = shm_open(MeterRegionName(owner).c_str(), O_RDONLY, 0);
    if (fd < 0) return state;
    struct stat st {};
    if (fstat(fd, &st) == 0) state.size = st.st_size;
    if (pread(fd, &state.magic, 4, TidewellRegionMagicOffset) != 4) state.magic = 0;
    if (pread(fd, &state.level, 4, offsetof(TidewellMeterRegion, levels)) != 4) state.level = -1.0f;
    close(fd);
    return state;
}

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

TEST_F(RegionDamage, ARuntimeRegionCutUnderItsReadersKeepsTheLastGoodControls) {
    // The device under test in the third slot, past the region's first page.
    const std::vector<RuntimeRegion::Slot> slots = {{.uid = uid("first")}, {.uid = uid("second")},
                                                    mutedSlot(uid("cut"))};
    publish(slots, uid("cut"));
    ASSERT_EQ(mutedProperty(), 1u);
    start(1);
    readPeak(1);

    // Cut to one page: the IO path's next read of the slot faults, and finds zero pages.
    const uint32_t faults = TWRegionGuardFaultCount();
    ASSERT_TRUE(region().resize(4096));
    write(0.5f);
    EXPECT_EQ(readPeak(1), 0.0f);
    EXPECT_GT(TWRegionGuardFaultCount(), faults);
    expectMutedControls(TWCurrentControlsForDevice(dev_));

    // Emptied, then grown back with nothing in it: every pass keeps the devices, and the
    // device its controls.
    for (off_t size : {off_t(0), off_t(TidewellRuntimeSize)}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(region().resize(size));
        TWReconcileNow();
        EXPECT_EQ(DeviceList().size(), 3u);
        expectMutedControls(TWCurrentControlsForDevice(dev_));
        EXPECT_EQ(mutedProperty(), 1u);
        write(0.5f);
        EXPECT_EQ(readPeak(1), 0.0f);
    }

    // Written whole again: mapped anew, the unmuted device is heard, and a pass applies
    // the new device table (the region's sequence started over from zero).
    region().writeHeader();
    region().publish({{.uid = uid("cut")}});
    TWReconcileNow();
    EXPECT_EQ(mutedProperty(), 0u);
    write(0.5f);
    EXPECT_EQ(readPeak(1), 0.5f);
    EXPECT_EQ(DeviceList(), std::vector<AudioObjectID>{device_});
}

TEST_F(RegionDamage, ARegionRefilledFromScratchIsAppliedWhateverItsGeneration) {
    // Emptied and grown back before anything read it, then written from a sequence of zero.
    auto refill = [](const std::vector<RuntimeRegion::Slot>& slots) {
        ASSERT_TRUE(region().resize(0));
        ASSERT_TRUE(region().resize(TidewellRuntimeSize));
        TWReconcileNow();
        region().writeHeader();
        region().publish(slots);
        TWReconcileNow();
    };
    refill({{.uid = uid("before")}});
    ASSERT_NE(DeviceForUID(uid("before")), 0u);
    // The same generation as the table before, with other devices.
    refill({{.uid = uid("after")}});
    EXPECT_NE(DeviceForUID(uid("after")), 0u);
    EXPECT_EQ(DeviceForUID(uid("before")), 0u);
}

TEST_F(RegionDamage, MeterRegionsCutUnderTheWriterAreTakenUpAgain) {
    publish({{.uid = uid("meter")}}, uid("meter"));
    start(1);
    readPeak(1);
    const std::string source = "tidewell.device." + uid("meter") + ".source";
    const std::string output = "tidewell.device." + uid("meter") + ".output";
    write(0.5f);
    readPeak(1);
    ASSERT_EQ(ReadMeter(source).size, off_t(TidewellMeterSize));
    ASSERT_NEAR(ReadMeter(source).level, 0.5f, 1e-4);

    // The source meter emptied (the writer's next store faults), the output meter cut
    // inside its first page (its stores still land).
    const uint32_t faults = TWRegionGuardFaultCount();
    ASSERT_TRUE(ResizeRegion(MeterRegionName(source), 0));
    ASSERT_TRUE(ResizeRegion(MeterRegionName(output), 100));
    write(0.5f);
    EXPECT_EQ(readPeak(1), 0.5f);
    EXPECT_GT(TWRegionGuardFaultCount(), faults);

    // A pass gives both their size back and maps the faulted one again.
    TWReconcileNow();
    write(0.25f);
    readPeak(1);
    for (const auto& owner : {source, output}) {
        SCOPED_TRACE(owner);
        MeterState state = ReadMeter(owner);
        EXPECT_EQ(state.size, off_t(TidewellMeterSize));
        EXPECT_EQ(state.magic, TidewellMeterMagic);
        EXPECT_GE(state.level, 0.25f);
    }
    // And the writer keeps writing into the region itself, not into a copy: silence lets
    // the level fall.
    const float before = ReadMeter(source).level;
    write(0.0f);
    EXPECT_LT(ReadMeter(source).level, before);
}

// The machine's region names are open to every user: a region another user made (or one
// that others may write) is not read, as if it were missing, and the region the plug-in maps
// is given up like a cut one should it stop being the user's own.
TEST_F(RegionDamage, ARegionThatIsNotTheUsersOwnPublishesNothing) {
    publish({mutedSlot(uid("own"))}, uid("own"));
    ASSERT_EQ(mutedProperty(), 1u);

    // Another user's region takes the name: none of its devices appears, the user's own keeps
    // its last good controls.
    region().recreate();
    region().publish({{.uid = uid("foreign")}});
    ASSERT_TRUE(regiontest::GiveRegionTo(region().name(), regiontest::kOtherUser));
    TWReconcileNow();
    TWReconcileNow();
    EXPECT_EQ(DeviceForUID(uid("foreign")), 0u);
    EXPECT_EQ(DeviceForUID(uid("own")), device_);
    expectMutedControls(TWCurrentControlsForDevice(dev_));

    // The user's own: followed.
    ASSERT_TRUE(regiontest::GiveRegionTo(region().name(), geteuid()));
    TWReconcileNow();
    EXPECT_NE(DeviceForUID(uid("foreign")), 0u);
    EXPECT_EQ(DeviceForUID(uid("own")), 0u);

    // The mapped region opened to the writes of others: not read any more, its devices keep
    // their controls; closed again, it is read again.
    publish({mutedSlot(uid("open"))}, uid("open"));
    ASSERT_EQ(mutedProperty(), 1u);
    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(region().name(), geteuid(), 0666));
    region().publish({{.uid = uid("open")}});
    TWReconcileNow();
    expectMutedControls(TWCurrentControlsForDevice(dev_));
    EXPECT_EQ(mutedProperty(), 1u);
    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(region().name(), geteuid(), 0644));
    TWReconcileNow();
    EXPECT_EQ(mutedProperty(), 0u);
}

// A device's meter region that another user holds is not written (nor resized); the other
// side's region, the user's own, is.
TEST_F(RegionDamage, AnotherUsersMeterRegionIsNotWritten) {
    const std::string source = "tidewell.device." + uid("meters") + ".source";
    const std::string output = "tidewell.device." + uid("meters") + ".output";
    shm_unlink(MeterRegionName(source).c_str());
    shm_unlink(MeterRegionName(output).c_str());
    {
        int fd = shm_open(MeterRegionName(source).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 100), 0);
        close(fd);
    }
    ASSERT_TRUE(regiontest::GiveRegionTo(MeterRegionName(source), regiontest::kOtherUser));
    regiontest::Refusals refusals;
    publish({{.uid = uid("meters")}}, uid("meters"));
    start(1);
    readPeak(1);
    for (int block = 0; block < 3; ++block) {
        write(0.5f);
        readPeak(1);
    }
    TWReconcileNow();
    EXPECT_EQ(ReadMeter(source).size, 100);
    EXPECT_EQ(ReadMeter(source).magic, 0u);
    EXPECT_EQ(regiontest::RegionStatus(MeterRegionName(source)).st_uid, regiontest::kOtherUser);
    EXPECT_EQ(ReadMeter(output).magic, TidewellMeterMagic);
    EXPECT_GT(ReadMeter(output).level, 0.0f);
    const std::vector<std::string> said = refusals.take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(MeterRegionName(source)), std::string::npos) << said[0];
    shm_unlink(MeterRegionName(source).c_str());
}

// The lines of this process's memory map that map the region `name`.
size_t MappingsOf(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/dev/shm" + name) != std::string::npos) ++count;
    }
    return count;
}

// Each region a writer creates anew gets a mapping of its own; the one it replaces is
// unmapped once no reader holds it, instead of staying for the life of the server.
TEST_F(RegionDamage, AReplacedRegionsMappingIsFreed) {
    publish({mutedSlot(uid("remap"))}, uid("remap"));
    for (int generation = 0; generation < 3 * static_cast<int>(kTWGuardRuntimeEntries); ++generation) {
        region().recreate();
        region().publish({mutedSlot(uid("remap"))});
        TWReconcileNow();
        expectMutedControls(TWCurrentControlsForDevice(dev_));
    }
    TWReconcileNow();
    // The test's own mapping and the driver's current one.
    EXPECT_EQ(MappingsOf(region().name()), 2u);
    region().publish({{.uid = uid("remap")}});
    EXPECT_EQ(mutedProperty(), 0u);
}

// The IO path reads the region while passes follow it from one region to the next and free
// what they left: every read finds the device's controls, none touches a freed mapping.
TEST_F(RegionDamage, ReadersOnOtherThreadsKeepTheMappingTheyHoldWhilePassesFreeTheRest) {
    publish({mutedSlot(uid("race"))}, uid("race"));
    std::atomic<bool> done{false};
    std::atomic<uint32_t> wrong{0};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        while (!done.load(std::memory_order_relaxed)) {
            const TWDeviceControls c = TWCurrentControlsForDevice(dev_);
            if (!c.muted || c.deviceGain != 0.25f) wrong.fetch_add(1, std::memory_order_relaxed);
            (void)TWCushionDisabled();
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int generation = 0; generation < 200; ++generation) {
        region().recreate();
        region().publish({mutedSlot(uid("race"))});
        TWReconcileNow();
    }
    done.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
    // A reader that never paused may have held back the freeing (and with it the newest
    // region): two quiet passes take the newest up and free the rest.
    TWReconcileNow();
    TWReconcileNow();
    EXPECT_EQ(MappingsOf(region().name()), 2u);
}

// A fault past a region that is not the plug-in's ends the process as it would without
// the plug-in: by the default action, or by the handler installed before (a sanitizer's
// reports the fault and ends with its own status, or aborts where it is told to). Surviving it
// exits 0; a failed set-up exits 3 or 4.
bool EndedByTheFault(int status) {
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGABRT;
    return WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3 && WEXITSTATUS(status) != 4;
}

TEST_F(RegionDamage, AFaultOutsideThePlugInsRegionsStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string name = UniqueName("foreign");
            int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
            if (fd < 0 || ftruncate(fd, 8192) != 0) std::_Exit(3);
            auto* mapping = static_cast<volatile unsigned char*>(
                mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            shm_unlink(name.c_str());
            if (ftruncate(fd, 0) != 0) std::_Exit(4);
            mapping[4096] = 1;
            std::_Exit(0);
        },
        EndedByTheFault, "");
}

}  // namespace
