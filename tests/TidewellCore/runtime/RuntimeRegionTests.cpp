// The runtime region "/twruntime3": derivation of the device controls, the byte layout of a
// publish, and the open/size/map protocol with its failures.
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/SourceControlStore.h"

#include "RegionOwnerSupport.h"
#include "RuntimeTestSupport.h"
#include "runtime/SharedMemoryRegion.h"
#include "TidewellRuntimeSupport/TidewellShm.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <future>
#include <limits>
#include <optional>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;

const std::string kRegion = "/twruntime3";

class RuntimeRegionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        runtime_region::systemCalls() = runtime_region::realSystemCalls();
        shm_unlink(kRegion.c_str());
    }
    void TearDown() override { runtime_region::systemCalls() = runtime_region::realSystemCalls(); }

    std::vector<unsigned char> Published()
    {
        auto bytes = readRegion(kRegion, TidewellRuntimeSize);
        EXPECT_TRUE(bytes.has_value());
        return bytes.value_or(std::vector<unsigned char>(TidewellRuntimeSize));
    }
};

// ---------------------------------------------------------------------------------------
// Layout

TEST_F(RuntimeRegionTest, PublishWritesTheHandComputedLayout)
{
    DeviceConfig device = makeDevice("d1", 4);
    device.uid = "U1";
    device.name = "Desk";
    device.icon = "mic";
    device.volume = 0.5;
    device.channelGains = std::vector<double>{1.0, 0.25};
    SourceConfig passThru = makeSource("p1", SourceType::passThru, 0.75, /*muted*/ true, /*enabled*/ false);
    device.sources = {passThru};
    device.wires = {sourceWire(device, "p1", 1, 2), sourceWire(device, "p1", 2, 1)};

    const mode_t oldMask = umask(0);
    RuntimeControlStoreV3::publish(makeSnapshot({device}), false);
    umask(oldMask);

    struct stat st {};
    int fd = shm_open(kRegion.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    fstat(fd, &st);
    close(fd);
    EXPECT_EQ(st.st_size, 65536);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    auto b = Published();
    EXPECT_EQ(b[0], 0x52);
    EXPECT_EQ(b[1], 0x42);
    EXPECT_EQ(b[2], 0x56);
    EXPECT_EQ(b[3], 0x5A);
    EXPECT_EQ(u32At(b, 4), 4u);
    EXPECT_EQ(u32At(b, 8), 65536u);
    EXPECT_EQ(u32At(b, 12), 2u);
    EXPECT_EQ(u32At(b, 16), 1u);
    EXPECT_EQ(u32At(b, 20), 0u);
    // Slot 0 at 64: present | device enabled | muted (source disabled).
    EXPECT_EQ(u32At(b, 64), 0x1u | 0x2u | 0x8u);
    EXPECT_EQ(u32At(b, 68), 4u);
    EXPECT_EQ(f32At(b, 72), 0.5f);
    EXPECT_EQ(f32At(b, 76), 0.75f);
    EXPECT_EQ(u32At(b, 80), 2u);
    EXPECT_EQ(textAt(b, 96), "U1");
    EXPECT_EQ(textAt(b, 224), "Desk");
    EXPECT_EQ(textAt(b, 352), "mic");
    for (size_t k = 0; k < 128; ++k) {
        if (k >= 2) {
            EXPECT_EQ(b[96 + k], 0) << k;
        }
    }
    EXPECT_EQ(f32At(b, 384), 1.0f);
    EXPECT_EQ(f32At(b, 388), 0.25f);
    for (size_t k = 2; k < 64; ++k) {
        EXPECT_EQ(f32At(b, 384 + 4 * k), 1.0f) << k;
    }
    EXPECT_EQ(u32At(b, 640), 1u);
    EXPECT_EQ(u32At(b, 644), 2u);
    EXPECT_EQ(u32At(b, 648), 2u);
    EXPECT_EQ(u32At(b, 652), 1u);
    for (size_t r = 2; r < 128; ++r) {
        EXPECT_EQ(u32At(b, 640 + 8 * r), 0u) << r;
        EXPECT_EQ(u32At(b, 644 + 8 * r), 0u) << r;
    }
    for (size_t i = 1; i < 16; ++i) {
        EXPECT_EQ(u32At(b, 64 + 2048 * i), 0u) << i;
    }
}

TEST_F(RuntimeRegionTest, CushionFlagAndEmptyConfiguration)
{
    RuntimeControlStoreV3::publish(makeSnapshot({}), true);
    auto b = Published();
    EXPECT_EQ(u32At(b, 16), 0u);
    EXPECT_EQ(u32At(b, 20), 2u);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(u32At(b, 64 + 2048 * i), 0u) << i;
    }
}

TEST_F(RuntimeRegionTest, SeventeenDevicesDescribeOnlyTheFirstSixteen)
{
    std::vector<DeviceConfig> devices;
    for (int i = 0; i < 17; ++i) {
        devices.push_back(makeDevice("d" + std::to_string(i)));
    }
    auto snapshot = makeSnapshot(devices);
    EXPECT_EQ(RuntimeControlStoreV3::controls(snapshot).size(), 16u);
    RuntimePublisher::publish(snapshot);
    auto b = Published();
    EXPECT_EQ(u32At(b, 16), 16u);
    EXPECT_EQ(textAt(b, 64 + 2048 * 15 + 32), "uid.d15");
}

TEST_F(RuntimeRegionTest, BytesTheWriterDoesNotOwnKeepTheirValues)
{
    createFilledRegion(kRegion, TidewellRuntimeSize, 0xAB);
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("a")}), false);
    auto b = Published();
    for (size_t k = 24; k < 64; ++k) {
        EXPECT_EQ(b[k], 0xAB) << "header reserved " << k;
    }
    for (size_t k = 20; k < 32; ++k) {
        EXPECT_EQ(b[64 + k], 0xAB) << "slot reserved " << k;
    }
    for (size_t k = 1600; k < 2048; ++k) {
        EXPECT_EQ(b[64 + k], 0xAB) << "slot tail " << k;
    }
    // Slot 1 is beyond deviceCount: only its flags word is written.
    EXPECT_EQ(u32At(b, 64 + 2048), 0u);
    EXPECT_EQ(b[64 + 2048 + 4], 0xAB);
    EXPECT_EQ(b[65535], 0xAB);
    // The counter found there (0xABABABAB, odd) stays odd for the write and ends even.
    EXPECT_EQ(u32At(b, 12), ((0xABABABABu + 1u) | 1u) + 1u);
}

TEST_F(RuntimeRegionTest, ACounterLeftOddByADeadWriterEndsEven)
{
    createFilledRegion(kRegion, TidewellRuntimeSize, 0);
    {
        int fd = shm_open(kRegion.c_str(), O_RDWR, 0);
        void *map = mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        TidewellRegionStoreWord(map, 12, 5);
        munmap(map, TidewellRuntimeSize);
    }
    RuntimeControlStoreV3::publish(makeSnapshot({}), false);
    EXPECT_EQ(u32At(Published(), 12), 8u);
    RuntimeControlStoreV3::publish(makeSnapshot({}), false);
    EXPECT_EQ(u32At(Published(), 12), 10u); // unchanged controls still advance the counter
}

TEST_F(RuntimeRegionTest, TextFieldsKeepWholeCharactersOnly)
{
    DeviceConfig device = makeDevice("t");
    device.uid = std::string(200, 'u');
    device.name = std::string(126, 'n') + "\xC3\xA9";           // 128 bytes: the é goes
    device.icon = std::string(29, 'i') + "e\xCC\x81" + "x";     // e + combining acute is one character
    RuntimeControlStoreV3::publish(makeSnapshot({device}), false);
    auto b = Published();
    EXPECT_EQ(textAt(b, 96), std::string(127, 'u'));
    EXPECT_EQ(b[96 + 127], 0);
    EXPECT_EQ(textAt(b, 224), std::string(126, 'n'));
    EXPECT_EQ(b[224 + 126], 0);
    EXPECT_EQ(b[224 + 127], 0);
    EXPECT_EQ(textAt(b, 352), std::string(29, 'i'));

    device.icon = std::string(30, 'i') + "\xC3\xA9"; // bytes 31 and 32 are one character
    RuntimeControlStoreV3::publish(makeSnapshot({device}), false);
    EXPECT_EQ(textAt(Published(), 352), std::string(30, 'i'));

    // Bytes that are not UTF-8 still never overrun the field or its terminating NUL.
    device.uid = std::string(125, 'u') + "\xFF\xFE\xFD\xFC";
    device.icon = std::string(200, '\x80');
    RuntimeControlStoreV3::publish(makeSnapshot({device}), false);
    b = Published();
    EXPECT_LE(textAt(b, 96).size(), 127u);
    EXPECT_EQ(textAt(b, 96).substr(0, 125), std::string(125, 'u'));
    EXPECT_EQ(b[96 + 127], 0);
    EXPECT_LE(textAt(b, 352).size(), 31u);
    EXPECT_EQ(b[352 + 31], 0);
    EXPECT_EQ(textAt(b, 224), std::string(126, 'n')); // the neighbouring field is intact
}

TEST_F(RuntimeRegionTest, RouteChannelsOutsideTheFieldAreStoredAsZero)
{
    DeviceConfig device = makeDevice("r", 2);
    device.sources = {makeSource("p", SourceType::passThru)};
    const int64_t huge = (int64_t{1} << 32) + 1;
    device.wires = {sourceWire(device, "p", huge, 1), sourceWire(device, "p", 4294967295LL, 2)};
    RuntimeControlStoreV3::publish(makeSnapshot({device}), false);
    auto b = Published();
    EXPECT_EQ(u32At(b, 80), 2u);
    EXPECT_EQ(u32At(b, 640), 0u); // not 1
    EXPECT_EQ(u32At(b, 644), 1u);
    EXPECT_EQ(u32At(b, 648), 4294967295u);
    EXPECT_EQ(u32At(b, 652), 2u);

    RuntimeDeviceControls controls("u", "n", "i", 2, true, 1.0, {}, true, false, 1.0,
                                   {{-5, 1}, {1, -2}, {0, 0}});
    RuntimeControlStoreV3::publish(std::vector<RuntimeDeviceControls>{controls}, false);
    b = Published();
    EXPECT_EQ(u32At(b, 80), 3u);
    EXPECT_EQ(u32At(b, 640), 0u);
    EXPECT_EQ(u32At(b, 652), 0u);
}

// ---------------------------------------------------------------------------------------
// Derivation and normalising rules

TEST(RuntimeDeviceControlsDerivation, ChannelCountRuleAndIdentityRoutes)
{
    auto countFor = [](int64_t configured) {
        return RuntimeControlStoreV3::controls(makeSnapshot({makeDevice("c", configured)}))[0];
    };
    EXPECT_EQ(countFor(3).channelCount, 2);
    EXPECT_EQ(countFor(3).routes, (std::vector<RuntimeChannelRoute>{{1, 1}, {2, 2}, {3, 3}}));
    EXPECT_EQ(countFor(7).channelCount, 6);
    EXPECT_EQ(countFor(-3).channelCount, 2);
    EXPECT_EQ(countFor(0).channelCount, 2);
    EXPECT_TRUE(countFor(0).routes.empty());
    EXPECT_EQ(countFor(1).channelCount, 2);
    EXPECT_EQ(countFor(100).channelCount, 64);
    EXPECT_EQ(countFor(100).routes.size(), 100u);
    EXPECT_EQ(countFor(300).routes.size(), 128u); // the region keeps 128
    EXPECT_EQ(countFor(300).routes.back(), RuntimeChannelRoute(128, 128));
}

TEST(RuntimeDeviceControlsDerivation, GainRuleAtItsEdges)
{
    using RuntimeControlRules::gain;
    EXPECT_EQ(gain(std::nan("")), 1.0f);
    EXPECT_EQ(gain(-0.5), 0.0f);
    EXPECT_EQ(gain(7.0), 2.0f);
    EXPECT_EQ(gain(1e300), 1.0f); // too large for 32 bits: infinite, then 1.0
    EXPECT_EQ(gain(2.0000001), 2.0f);
    EXPECT_EQ(gain(2.0000001f), 2.0f);
    EXPECT_EQ(gain(std::numeric_limits<double>::infinity()), 1.0f);
    EXPECT_FALSE(std::signbit(gain(-0.0)));
    EXPECT_EQ(gain(0.3), 0.3f);
}

TEST(RuntimeDeviceControlsDerivation, GainListRule)
{
    auto three = RuntimeControlRules::gainList(std::vector<double>{0.5, 3.0, std::nan("")});
    ASSERT_EQ(three.size(), 64u);
    EXPECT_EQ(three[0], 0.5f);
    EXPECT_EQ(three[1], 2.0f);
    EXPECT_EQ(three[2], 1.0f);
    EXPECT_EQ(three[63], 1.0f);
    std::vector<double> seventy(70, 0.25);
    seventy[64] = 0.0;
    auto kept = RuntimeControlRules::gainList(seventy);
    ASSERT_EQ(kept.size(), 64u);
    EXPECT_EQ(kept[63], 0.25f);
    EXPECT_EQ(RuntimeControlRules::gainList(std::vector<double>(65, 0.5)).size(), 64u);
    EXPECT_EQ(RuntimeControlRules::gainList(std::vector<double>{}), std::vector<float>(64, 1.0f));
}

TEST(RuntimeDeviceControlsDerivation, FirstPassThruSourceDecides)
{
    DeviceConfig device = makeDevice("d", 2);
    device.sources = {makeSource("app", SourceType::application, 0.1),
                      makeSource("p1", SourceType::passThru, 0.5, true, false),
                      makeSource("p2", SourceType::passThru, 1.5, false, true)};
    device.wires = {sourceWire(device, "p2", 1, 1), sourceWire(device, "p1", 2, 2), sourceWire(device, "app", 1, 1)};
    auto controls = RuntimeControlStoreV3::controls(makeSnapshot({device}))[0];
    EXPECT_EQ(controls.sourceGain, 0.5f);
    EXPECT_TRUE(controls.muted);
    EXPECT_FALSE(controls.sourceEnabled);
    EXPECT_EQ(controls.routes, (std::vector<RuntimeChannelRoute>{{2, 2}}));

    device.wires.clear();
    EXPECT_TRUE(RuntimeControlStoreV3::controls(makeSnapshot({device}))[0].routes.empty());

    device.sources = {makeSource("app", SourceType::application)};
    controls = RuntimeControlStoreV3::controls(makeSnapshot({device}))[0];
    EXPECT_TRUE(controls.sourceEnabled);
    EXPECT_FALSE(controls.muted);
    EXPECT_EQ(controls.sourceGain, 1.0f);
    EXPECT_EQ(controls.routes, RuntimeRouteMap::identityRoutes(2));
}

TEST(RuntimeDeviceControlsDerivation, InitialiserNormalisesAnyValues)
{
    RuntimeDeviceControls controls("u", "n", "i", 65, false, 2.5, std::vector<double>(65, -1.0), true, true,
                                   std::nan(""), std::vector<RuntimeChannelRoute>(200, {1, 1}));
    EXPECT_EQ(controls.channelCount, 64);
    EXPECT_EQ(controls.deviceGain, 2.0f);
    EXPECT_EQ(controls.channelGains, std::vector<float>(64, 0.0f));
    EXPECT_EQ(controls.sourceGain, 1.0f);
    EXPECT_EQ(controls.routes.size(), 128u);
    EXPECT_EQ(controls, RuntimeDeviceControls("u", "n", "i", 64, false, 2.0, std::vector<double>(64, 0.0), true, true,
                                              1.0, std::vector<RuntimeChannelRoute>(128, {1, 1})));
}

// ---------------------------------------------------------------------------------------
// Open, size and map

TEST_F(RuntimeRegionTest, AnExistingRegionIsGrownButNeverShrunk)
{
    createFilledRegion(kRegion, 100000, 0);
    RuntimeControlStoreV3::publish(makeSnapshot({}), false);
    EXPECT_EQ(regionSize(kRegion), 100000);

    createFilledRegion(kRegion, 1000, 0);
    RuntimeControlStoreV3::publish(makeSnapshot({}), false);
    EXPECT_EQ(regionSize(kRegion), 65536);
    EXPECT_EQ(u32At(Published(), 0), TidewellRuntimeMagic);
}

namespace fault {
int truncateFailures = 0;
int truncateErrno = EINVAL;
int failingTruncate(int fd, off_t length)
{
    if (truncateFailures > 0) {
        --truncateFailures;
        errno = truncateErrno;
        return -1;
    }
    return ftruncate(fd, length);
}
int unlinkCalls = 0;
int countingUnlink(const char *name)
{
    ++unlinkCalls;
    return shm_unlink(name);
}
int openErrno = EACCES;
int failingOpen(const char *, int, uint16_t)
{
    errno = openErrno;
    return -1;
}
int failingStatus(int, struct stat *)
{
    errno = EIO;
    return -1;
}
int fullAllocate(int, off_t, off_t)
{
    return ENOSPC;
}
void *failingMap(void *, size_t, int, int, int, off_t)
{
    errno = ENOMEM;
    return MAP_FAILED;
}
} // namespace fault

TEST_F(RuntimeRegionTest, ARegionThatRefusesToGrowWithEinvalIsRecreatedOnce)
{
    createFilledRegion(kRegion, 1000, 0);
    const ino_t before = regionInode(kRegion);
    auto &sys = runtime_region::systemCalls();
    sys.truncate = fault::failingTruncate;
    sys.unlink = fault::countingUnlink;
    fault::truncateFailures = 1;
    fault::truncateErrno = EINVAL;
    fault::unlinkCalls = 0;
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("x")}), false);
    EXPECT_EQ(fault::unlinkCalls, 1);
    EXPECT_EQ(regionSize(kRegion), 65536);
    EXPECT_NE(regionInode(kRegion), before);
    EXPECT_EQ(u32At(Published(), 16), 1u);

    // When the new region fails too, that error reaches the caller.
    createFilledRegion(kRegion, 1000, 0);
    fault::truncateFailures = 2;
    fault::unlinkCalls = 0;
    EXPECT_EQ((
                  [] {
                      try {
                          RuntimeControlStoreV3::publish(makeSnapshot({}), false);
                      } catch (const RuntimeControlStoreError &error) {
                          return error;
                      }
                      return RuntimeControlStoreError::invalidState();
                  })(),
              RuntimeControlStoreError::resizeFailed(EINVAL));
    EXPECT_EQ(fault::unlinkCalls, 1);
}

TEST_F(RuntimeRegionTest, OtherResizeFailuresAreReportedAndNothingIsUnlinked)
{
    createFilledRegion(kRegion, 1000, 0);
    auto &sys = runtime_region::systemCalls();
    sys.truncate = fault::failingTruncate;
    sys.unlink = fault::countingUnlink;
    fault::truncateFailures = 1;
    fault::truncateErrno = EPERM;
    fault::unlinkCalls = 0;
    try {
        RuntimeControlStoreV3::publish(makeSnapshot({}), false);
        FAIL() << "publish succeeded";
    } catch (const RuntimeControlStoreError &error) {
        EXPECT_EQ(error, RuntimeControlStoreError::resizeFailed(EPERM));
        EXPECT_STREQ(error.what(), ("Could not size Tidewell runtime shared memory: errno " +
                                    std::to_string(EPERM) + ".").c_str());
    }
    EXPECT_EQ(fault::unlinkCalls, 0);
    EXPECT_EQ(regionSize(kRegion), 1000);
}

TEST_F(RuntimeRegionTest, OpenStatusBackingAndMapFailuresAreTyped)
{
    auto &sys = runtime_region::systemCalls();
    auto expectError = [](const RuntimeControlStoreError &expected, const char *text) {
        try {
            RuntimeControlStoreV3::publish(makeSnapshot({}), false);
            ADD_FAILURE() << "publish succeeded";
        } catch (const RuntimeControlStoreError &error) {
            EXPECT_EQ(error, expected);
            EXPECT_STREQ(error.what(), text);
        }
    };
    sys.open = fault::failingOpen;
    fault::openErrno = EACCES;
    expectError(RuntimeControlStoreError::openFailed(EACCES),
                ("Could not open Tidewell runtime shared memory: errno " + std::to_string(EACCES) + ".").c_str());
    sys = runtime_region::realSystemCalls();

    sys.status = fault::failingStatus;
    expectError(RuntimeControlStoreError::invalidState(),
                "Tidewell runtime shared memory did not contain a valid control state.");
    sys = runtime_region::realSystemCalls();

    // A full /dev/shm is an error, not a crash on the first store.
    sys.allocate = fault::fullAllocate;
    expectError(RuntimeControlStoreError::resizeFailed(ENOSPC),
                ("Could not size Tidewell runtime shared memory: errno " + std::to_string(ENOSPC) + ".").c_str());
    sys = runtime_region::realSystemCalls();

    sys.map = fault::failingMap;
    expectError(RuntimeControlStoreError::mapFailed(ENOMEM),
                ("Could not map Tidewell runtime shared memory: errno " + std::to_string(ENOMEM) + ".").c_str());
}

namespace race {
// Another writer creates the region between this writer's failed open and its exclusive create.
bool otherWriterCreates = false;
std::vector<int> openFlags;
int openLosingTheRace(const char *name, int flags, uint16_t mode)
{
    openFlags.push_back(flags);
    if ((flags & O_EXCL) != 0 && otherWriterCreates) {
        otherWriterCreates = false;
        int other = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0644);
        if (other >= 0) {
            close(other);
        }
    }
    return TidewellShmOpen(name, flags, mode);
}
} // namespace race

TEST_F(RuntimeRegionTest, AWriterThatLosesTheCreateRaceOpensTheOthersRegion)
{
    race::otherWriterCreates = true;
    race::openFlags.clear();
    runtime_region::systemCalls().open = race::openLosingTheRace;
    EXPECT_NO_THROW(RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("raced")}), false));
    EXPECT_EQ(u32At(Published(), 16), 1u);
    EXPECT_EQ(regionSize(kRegion), 65536);
    // Open, lost create, reopen: every descriptor close-on-exec, so no child keeps the lock.
    ASSERT_EQ(race::openFlags.size(), 3u);
    for (int flags : race::openFlags) {
        EXPECT_NE(flags & O_CLOEXEC, 0) << flags;
    }
}

// A helper started while a write is in progress must not inherit the descriptor, and with it the
// writers' lock, whatever the C library's own default is.
TEST_F(RuntimeRegionTest, RegionDescriptorsAreAskedForCloseOnExec)
{
    race::otherWriterCreates = false;
    race::openFlags.clear();
    runtime_region::systemCalls().open = race::openLosingTheRace;
    RuntimeControlStoreV3::publish(makeSnapshot({}), false); // creates
    RuntimeControlStoreV3::publish(makeSnapshot({}), false); // opens
    SourceControlStore::write(SourceControlStore::Values(false, 1.0f, {}, 2), "cloexec-owner");
    shm_unlink(SourceControlStore::sharedMemoryName("cloexec-owner").c_str());
    ASSERT_GE(race::openFlags.size(), 4u);
    for (int flags : race::openFlags) {
        EXPECT_NE(flags & O_CLOEXEC, 0) << flags;
    }
}

// A writer that hangs while it holds the lock must not hang every other writer with it.
TEST_F(RuntimeRegionTest, ALockHeldFarTooLongIsReportedInsteadOfWaitedForForever)
{
    RuntimeControlStoreV3::publish(makeSnapshot({}), false);
    int holder = shm_open(kRegion.c_str(), O_RDWR, 0);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    auto attempt = std::async(std::launch::async, [] {
        try {
            RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("late")}), false);
        } catch (const RuntimeControlStoreError &error) {
            return std::optional<RuntimeControlStoreError>(error);
        }
        return std::optional<RuntimeControlStoreError>();
    });
    const bool answered = attempt.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    close(holder); // lets a writer that still waits finish
    ASSERT_TRUE(answered) << "the writer still waits for the lock";
    const auto error = attempt.get();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, RuntimeControlStoreError::openFailed(ETIMEDOUT));
    EXPECT_EQ(u32At(Published(), 16), 0u); // nothing was written meanwhile
    // Once the holder is gone, writes go through again.
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("late")}), false);
    EXPECT_EQ(u32At(Published(), 16), 1u);
}

TEST_F(RuntimeRegionTest, AFailedRuntimeWriteLeavesTheControlRegionsAlone)
{
    DeviceConfig device = makeDevice("pub");
    device.sources = {makeSource("order-app", SourceType::application, 0.5)};
    const std::string control = SourceControlStore::sharedMemoryName("order-app");
    shm_unlink(control.c_str());

    auto &sys = runtime_region::systemCalls();
    sys.map = fault::failingMap;
    EXPECT_THROW(RuntimePublisher::publish(makeSnapshot({device})), RuntimeControlStoreError);
    EXPECT_FALSE(readRegion(control, TidewellControlSize).has_value());

    sys = runtime_region::realSystemCalls();
    RuntimePublisher::publish(makeSnapshot({device}));
    auto bytes = readRegion(control, TidewellControlSize);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(f32At(*bytes, 20), 0.5f);
}

// ---------------------------------------------------------------------------------------
// Regions that are not the user's own

using regiontest::kOtherUser;

// The refusal a publish ends in; fails the test when the publish goes through or fails
// otherwise.
std::string PublishRefusal(const ConfigSnapshot &snapshot)
{
    try {
        RuntimeControlStoreV3::publish(snapshot, false);
        ADD_FAILURE() << "published over a region that is not the user's own";
    } catch (const RegionRefusedError &refused) {
        EXPECT_EQ(refused, RuntimeControlStoreError::openFailed(EACCES));
        return refused.what();
    } catch (const std::exception &other) {
        ADD_FAILURE() << "failed otherwise: " << other.what();
    }
    return {};
}

TEST_F(RuntimeRegionTest, AnotherUsersRegionIsNeitherResizedNorWrittenAndTheRefusalIsSaidOnce)
{
    regiontest::Refusals refusals;
    // Shorter than the layout, so a writer that took it would grow it.
    createFilledRegion(kRegion, 1000, 0x5a);
    ASSERT_TRUE(regiontest::GiveRegionTo(kRegion, kOtherUser));
    const ConfigSnapshot snapshot = makeSnapshot({makeDevice("mine")});
    for (int pass = 0; pass < 3; ++pass) {
        const std::string words = PublishRefusal(snapshot);
        EXPECT_NE(words.find("\"/twruntime3\""), std::string::npos) << words;
        EXPECT_NE(words.find("uid " + std::to_string(kOtherUser)), std::string::npos) << words;
    }
    const std::vector<std::string> said = refusals.take();
    ASSERT_EQ(said.size(), 1u) << "the refusal is said once";
    EXPECT_NE(said[0].find("/twruntime3"), std::string::npos);
    const struct stat st = regiontest::RegionStatus(kRegion);
    EXPECT_EQ(st.st_size, 1000);
    EXPECT_EQ(st.st_uid, kOtherUser);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(regiontest::RegionBytes(kRegion, 1000), std::vector<unsigned char>(1000, 0x5a));

    // The user's own again: written. Another user's once more: said again.
    ASSERT_TRUE(regiontest::GiveRegionTo(kRegion, geteuid()));
    RuntimeControlStoreV3::publish(snapshot, false);
    EXPECT_EQ(u32At(Published(), 16), 1u);
    ASSERT_TRUE(regiontest::GiveRegionTo(kRegion, kOtherUser));
    PublishRefusal(makeSnapshot({}));
    EXPECT_EQ(refusals.take().size(), 1u);
    EXPECT_EQ(u32At(regiontest::RegionBytes(kRegion, 64), 16), 1u);
}

TEST_F(RuntimeRegionTest, ARegionOfTheUsersOwnThatOthersMayWriteIsTightenedAndWritten)
{
    createFilledRegion(kRegion, TidewellRuntimeSize, 0);
    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(kRegion, geteuid(), 0666));
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("tight")}), false);
    EXPECT_EQ(regiontest::RegionStatus(kRegion).st_mode & 07777, 0644u);
    EXPECT_EQ(u32At(Published(), 16), 1u);
}

// Another user runs the writer: its open is refused (EACCES) by the region's mode, and the
// refusal names the region's owner all the same.
TEST_F(RuntimeRegionTest, AWriterThatMayNotEvenOpenTheRegionNamesItsOwner)
{
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("root's")}), false);
    const std::vector<unsigned char> before = Published();
    int words[2];
    ASSERT_EQ(pipe(words), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(words[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0) {
            _exit(3);
        }
        try {
            RuntimeControlStoreV3::publish(makeSnapshot({}), false);
            _exit(4);
        } catch (const RegionRefusedError &refused) {
            const std::string text = refused.what();
            _exit(write(words[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 5);
        } catch (...) {
            _exit(6);
        }
    }
    close(words[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(words[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(words[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "3: cannot change user, 4: published, 5: no words, 6: failed otherwise";
    EXPECT_NE(text.find("\"/twruntime3\": it belongs to "), std::string::npos) << text;
    EXPECT_NE(text.find("(uid " + std::to_string(geteuid()) + "), not to "), std::string::npos) << text;
    EXPECT_EQ(Published(), before);
}

// A read-write mapping of the region under test, for leaving it as a dead writer would.
struct WritableMapping {
    explicit WritableMapping(const std::string &name)
    {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        if (fd >= 0) {
            void *m = mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            bytes = m == MAP_FAILED ? nullptr : m;
            close(fd);
        }
    }
    ~WritableMapping()
    {
        if (bytes != nullptr) {
            munmap(bytes, TidewellRuntimeSize);
        }
    }
    void *bytes = nullptr;
};

TEST_F(RuntimeRegionTest, ARegionIsIntactWhenItIsTheUsersOwnWithItsHeaderAndNoWriteLeftHalfDone)
{
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact()) << "missing";
    RuntimeControlStoreV3::publish(makeSnapshot({makeDevice("intact")}), false);
    EXPECT_TRUE(RuntimeControlStoreV3::regionIsIntact());

    WritableMapping region(kRegion);
    ASSERT_NE(region.bytes, nullptr);
    // A writer killed between its two counter stores.
    const uint32_t odd = TidewellSequenceBeginWrite(region.bytes);
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact());
    // The same counter while a writer holds the region: a write in progress.
    int holder = shm_open(kRegion.c_str(), O_RDWR, 0);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_TRUE(RuntimeControlStoreV3::regionIsIntact());
    close(holder);
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact());
    TidewellSequenceEndWrite(region.bytes, odd);
    EXPECT_TRUE(RuntimeControlStoreV3::regionIsIntact());

    // A header of another layout or build.
    TidewellRegionStoreWord(region.bytes, TidewellRegionVersionOffset, TidewellRuntimeVersion + 1);
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact());
    TidewellRegionStoreWord(region.bytes, TidewellRegionVersionOffset, TidewellRuntimeVersion);
    EXPECT_TRUE(RuntimeControlStoreV3::regionIsIntact());

    // Not the user's own, or open to the writes of others.
    ASSERT_TRUE(regiontest::GiveRegionTo(kRegion, kOtherUser));
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact());
    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(kRegion, geteuid(), 0664));
    EXPECT_FALSE(RuntimeControlStoreV3::regionIsIntact());
    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(kRegion, geteuid(), 0644));
    EXPECT_TRUE(RuntimeControlStoreV3::regionIsIntact());
}

} // namespace
