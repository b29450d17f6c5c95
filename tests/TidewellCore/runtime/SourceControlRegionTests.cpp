// Control regions "/twc<hash>": owners, layout, the write-only-what-changed cache and the
// open/size protocol's failures.
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/SourceControlStore.h"

#include "RegionOwnerSupport.h"
#include "RuntimeTestSupport.h"
#include "runtime/SharedMemoryRegion.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <dirent.h>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;

// Each test uses owner ids of its own: the cache of written values lives for the process.
std::string Unique(const std::string &id)
{
    static int counter = 0;
    return id + "-" + std::to_string(++counter);
}

int ControlRegionCount()
{
    int count = 0;
    if (DIR *dir = opendir("/dev/shm")) {
        while (dirent *entry = readdir(dir)) {
            if (std::string(entry->d_name).rfind("twc", 0) == 0) {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

class ControlRegionTest : public ::testing::Test {
protected:
    void SetUp() override { runtime_region::systemCalls() = runtime_region::realSystemCalls(); }
    void TearDown() override { runtime_region::systemCalls() = runtime_region::realSystemCalls(); }

    std::vector<unsigned char> Region(const std::string &owner)
    {
        auto bytes = readRegion(SourceControlStore::sharedMemoryName(owner), TidewellControlSize);
        EXPECT_TRUE(bytes.has_value()) << owner;
        return bytes.value_or(std::vector<unsigned char>(TidewellControlSize));
    }
};

TEST(SourceControlStoreNames, NameIsPrefixAndOwnerHash)
{
    EXPECT_EQ(SourceControlStore::sharedMemoryName("abc"), "/twce71fa2190541574b");
    EXPECT_EQ(SourceControlStore::sharedMemoryName(""), "/twccbf29ce484222325");
}

TEST(SourceControlStoreValues, NormaliseAtTheEdges)
{
    using Values = SourceControlStore::Values;
    EXPECT_EQ(Values(false, 3.0f, {}, 2).gain, 2.0f);
    EXPECT_EQ(Values(false, NAN, {}, 2).gain, 1.0f);
    EXPECT_EQ(Values(false, 1.0f, {}, 2).channelGains, std::vector<float>(64, 1.0f));
    EXPECT_EQ(Values(false, 1.0f, {}, -1).channelCount, 0);
    EXPECT_EQ(Values(false, 1.0f, {}, 128).channelCount, 64);
    EXPECT_EQ(Values(false, 1.0f, std::vector<float>(65, 0.5f), 2).channelGains, std::vector<float>(64, 0.5f));
    EXPECT_NE(Values(true, 1.0f, {}, 2), Values(false, 1.0f, {}, 2));
}

TEST_F(ControlRegionTest, SourceRegionHasTheHandComputedLayout)
{
    const std::string id = Unique("app");
    DeviceConfig device = makeDevice("d");
    SourceConfig source = makeSource(id, SourceType::application, 0.8, true);
    source.channelGains = std::vector<double>{1.0, 0.5};
    device.sources = {makeSource("pt", SourceType::passThru), source};
    const mode_t oldMask = umask(0);
    SourceControlStore::publish(makeSnapshot({device}));
    umask(oldMask);

    const std::string name = SourceControlStore::sharedMemoryName(id);
    EXPECT_EQ(regionSize(name), 4096);
    auto b = Region(id);
    EXPECT_EQ(b[0], 0x43);
    EXPECT_EQ(b[1], 0x42);
    EXPECT_EQ(b[2], 0x56);
    EXPECT_EQ(b[3], 0x5A);
    EXPECT_EQ(u32At(b, 4), 1u);
    EXPECT_EQ(u32At(b, 8), 4096u);
    EXPECT_EQ(u32At(b, 12), 2u);
    EXPECT_EQ(u32At(b, 16), 1u);
    EXPECT_EQ(f32At(b, 20), 0.8f);
    EXPECT_EQ(u32At(b, 24), 2u);
    EXPECT_EQ(f32At(b, 32), 1.0f);
    EXPECT_EQ(f32At(b, 36), 0.5f);
    EXPECT_EQ(f32At(b, 32 + 4 * 63), 1.0f);

    struct stat st {};
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    fstat(fd, &st);
    close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(ControlRegionTest, OnlyCapturedSourcesAndMonitorsAreOwners)
{
    const int before = ControlRegionCount();
    DeviceConfig device = makeDevice("only-pass-thru");
    device.sources = {makeSource(Unique("pt"), SourceType::passThru)};
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(ControlRegionCount(), before);

    const std::string monitor = Unique("mon");
    device.monitors = {makeMonitor(monitor, 0.25, 6)};
    device.monitors[0].muted = true;
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(ControlRegionCount(), before + 1);
    auto b = Region(monitor);
    EXPECT_EQ(u32At(b, 16), 1u);
    EXPECT_EQ(f32At(b, 20), 0.25f);
    EXPECT_EQ(u32At(b, 24), 6u);

    auto owners = SourceControlStore::controls(makeSnapshot({device}));
    ASSERT_EQ(owners.size(), 1u);
    EXPECT_EQ(owners.begin()->first, monitor);
}

TEST_F(ControlRegionTest, OnlyChangedOwnersAreWrittenAgain)
{
    const std::string a = Unique("a");
    const std::string b = Unique("b");
    DeviceConfig device = makeDevice("d");
    device.sources = {makeSource(a, SourceType::application, 0.5), makeSource(b, SourceType::system, 0.5)};
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(u32At(Region(a), 12), 2u);
    EXPECT_EQ(u32At(Region(b), 12), 2u);

    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(u32At(Region(a), 12), 2u);
    EXPECT_EQ(u32At(Region(b), 12), 2u);

    device.sources[0].gain = 0.6;
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(u32At(Region(a), 12), 4u);
    EXPECT_EQ(f32At(Region(a), 20), 0.6f);
    EXPECT_EQ(u32At(Region(b), 12), 2u);
}

TEST_F(ControlRegionTest, GainsAndCountsAreNormalisedWhenWritten)
{
    const std::string id = Unique("n");
    DeviceConfig device = makeDevice("d");
    SourceConfig source = makeSource(id, SourceType::hardwareInput, 3.0);
    source.channelCount = 128;
    device.sources = {source};
    SourceControlStore::publish(makeSnapshot({device}));
    auto bytes = Region(id);
    EXPECT_EQ(f32At(bytes, 20), 2.0f);
    EXPECT_EQ(u32At(bytes, 24), 64u);

    device.sources[0].gain = std::nan("");
    device.sources[0].channelCount = -1;
    SourceControlStore::publish(makeSnapshot({device}));
    bytes = Region(id);
    EXPECT_EQ(f32At(bytes, 20), 1.0f);
    EXPECT_EQ(u32At(bytes, 24), 0u);
}

TEST_F(ControlRegionTest, TheLastOccurrenceOfAnIdWins)
{
    const std::string id = Unique("dup");
    DeviceConfig first = makeDevice("d1");
    first.sources = {makeSource(id, SourceType::application, 0.25)};
    DeviceConfig second = makeDevice("d2");
    second.sources = {makeSource(id, SourceType::application, 0.75)};
    SourceControlStore::publish(makeSnapshot({first, second}));
    EXPECT_EQ(f32At(Region(id), 20), 0.75f);
    EXPECT_EQ(u32At(Region(id), 12), 2u);
}

TEST_F(ControlRegionTest, ExistingRegionsAreReusedOrGrownNeverReplaced)
{
    const std::string id = Unique("existing");
    const std::string name = SourceControlStore::sharedMemoryName(id);
    createFilledRegion(name, 4096, 0xAB);
    const ino_t inode = regionInode(name);
    SourceControlStore::write(SourceControlStore::Values(false, 1.0f, {}, 2), id);
    EXPECT_EQ(regionInode(name), inode);
    auto b = Region(id);
    EXPECT_EQ(u32At(b, 0), TidewellControlMagic);
    EXPECT_EQ(b[28], 0xAB); // reserved word untouched
    EXPECT_EQ(b[288], 0xAB);

    createFilledRegion(name, 100, 0);
    SourceControlStore::write(SourceControlStore::Values(false, 1.0f, {}, 2), id);
    EXPECT_EQ(regionSize(name), 4096);
}

namespace fault {
int failures = 0;
int refusingTruncate(int fd, off_t length)
{
    if (failures > 0) {
        errno = EINVAL;
        return -1;
    }
    return ftruncate(fd, length);
}
int openCalls = 0;
int flakyOpen(const char *name, int flags, uint16_t mode)
{
    ++openCalls;
    if (failures > 0) {
        --failures;
        errno = EACCES;
        return -1;
    }
    return shm_open(name, flags, mode);
}
} // namespace fault

TEST_F(ControlRegionTest, ARegionThatCannotGrowKeepsFailingAndIsNeverReplaced)
{
    const std::string id = Unique("short");
    const std::string name = SourceControlStore::sharedMemoryName(id);
    createFilledRegion(name, 100, 0);
    const ino_t inode = regionInode(name);
    runtime_region::systemCalls().truncate = fault::refusingTruncate;
    fault::failures = 1;
    try {
        SourceControlStore::write(SourceControlStore::Values(false, 1.0f, {}, 2), id);
        FAIL() << "write succeeded";
    } catch (const RuntimeControlStoreError &error) {
        EXPECT_EQ(error, RuntimeControlStoreError::resizeFailed(EINVAL));
    }
    DeviceConfig device = makeDevice("d");
    device.sources = {makeSource(id, SourceType::application)};
    SourceControlStore::publish(makeSnapshot({device})); // swallowed
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(regionInode(name), inode);
    EXPECT_EQ(regionSize(name), 100);
    fault::failures = 0;
}

TEST_F(ControlRegionTest, AFailedWriteIsTriedAgainOnTheNextPublish)
{
    const std::string id = Unique("retry");
    DeviceConfig device = makeDevice("d");
    device.sources = {makeSource(id, SourceType::application, 0.5)};
    runtime_region::systemCalls().open = fault::flakyOpen;
    fault::failures = 1;
    fault::openCalls = 0;
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_FALSE(readRegion(SourceControlStore::sharedMemoryName(id), TidewellControlSize).has_value());
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(f32At(Region(id), 20), 0.5f);
    const int calls = fault::openCalls;
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_EQ(fault::openCalls, calls); // cached now: no system call at all
}

// Another user's control region would carry this user's gains into that user's helper, and
// root can write any: nothing is written over it, the owners beside it are written, and the
// refusal is said once however often the values change.
TEST_F(ControlRegionTest, AnotherUsersRegionIsNotWrittenAndTheOtherOwnersAre)
{
    regiontest::Refusals refusals;
    const std::string theirs = Unique("theirs");
    const std::string mine = Unique("mine");
    const std::string theirName = SourceControlStore::sharedMemoryName(theirs);
    createFilledRegion(theirName, TidewellControlSize, 0x33);
    ASSERT_TRUE(regiontest::GiveRegionTo(theirName, regiontest::kOtherUser));

    try {
        SourceControlStore::write(SourceControlStore::Values(true, 0.5f, {}, 2), theirs);
        ADD_FAILURE() << "written over another user's region";
    } catch (const RegionRefusedError &refused) {
        EXPECT_NE(std::string(refused.what()).find(theirName), std::string::npos) << refused.what();
    }

    DeviceConfig device = makeDevice("d");
    device.sources = {makeSource(theirs, SourceType::application, 0.5), makeSource(mine, SourceType::application, 0.5)};
    for (double gain : {0.5, 0.25, 0.125}) {
        device.sources[0].gain = gain;
        device.sources[1].gain = gain;
        SourceControlStore::publish(makeSnapshot({device}));
        EXPECT_EQ(f32At(Region(mine), 20), static_cast<float>(gain));
    }
    EXPECT_EQ(refusals.take().size(), 1u);
    EXPECT_EQ(regiontest::RegionBytes(theirName, TidewellControlSize),
              std::vector<unsigned char>(TidewellControlSize, 0x33));
    EXPECT_EQ(regiontest::RegionStatus(theirName).st_uid, regiontest::kOtherUser);
    shm_unlink(theirName.c_str());
    shm_unlink(SourceControlStore::sharedMemoryName(mine).c_str());
}

} // namespace
