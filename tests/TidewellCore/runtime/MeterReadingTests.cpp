// Meter reading: crafted regions at the edges, a round trip through the stream library's
// writer, and MeterTap's staleness rule.
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellStream/TidewellMeterWriter.h"

#include "RegionOwnerSupport.h"
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;
using Reading = RuntimeMeterStore::Reading;

class MeterRegionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        owner = "meter-read-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        char buffer[32];
        TidewellMeterName(RuntimeMeterStore::ownerHash(owner), buffer, sizeof buffer);
        name = buffer;
        shm_unlink(name.c_str());
    }
    void TearDown() override
    {
        if (map != nullptr) {
            munmap(map, mappedSize);
        }
        shm_unlink(name.c_str());
    }

    // A region of `size` bytes with the given header and levels[i] = 0.01 * (i + 1),
    // peaks[i] = 0.02 * (i + 1).
    void Craft(size_t size, uint32_t version, uint32_t channelCount, uint32_t sequence = 2,
               uint32_t magic = TidewellMeterMagic, uint32_t sizeWord = TidewellMeterSize)
    {
        createFilledRegion(name, size, 0);
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        mappedSize = std::min<size_t>(size, TidewellMeterSize);
        map = mmap(nullptr, mappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(map, MAP_FAILED);
        if (size < TidewellMeterSize) {
            return;
        }
        TidewellRegionStoreWord(map, 0, magic);
        TidewellRegionStoreWord(map, 4, version);
        TidewellRegionStoreWord(map, 8, sizeWord);
        TidewellRegionStoreWord(map, 12, sequence);
        TidewellRegionStoreWord(map, 16, channelCount);
        for (uint32_t i = 0; i < 64; ++i) {
            TidewellRegionStoreFloat(map, 20 + 4 * i, 0.01f * static_cast<float>(i + 1));
            TidewellRegionStoreFloat(map, 276 + 4 * i, 0.02f * static_cast<float>(i + 1));
        }
    }

    std::string owner;
    std::string name;
    void *map = nullptr;
    size_t mappedSize = 0;
};

TEST(RuntimeMeterOwners, DeviceMeterIdsAndTheLegacyPassThruIds)
{
    const std::string passThru(TidewellCore::passThruDeviceUID);
    EXPECT_EQ(RuntimeMeterStore::sourceOwnerID(passThru), "zellvane.passThru.source");
    EXPECT_EQ(RuntimeMeterStore::outputOwnerID(passThru), "zellvane.device.output");
    EXPECT_EQ(RuntimeMeterStore::sourceOwnerID("X"), "tidewell.device.X.source");
    EXPECT_EQ(RuntimeMeterStore::outputOwnerID("X"), "tidewell.device.X.output");
    EXPECT_EQ(RuntimeMeterStore::sourceOwnerID(" " + passThru), "tidewell.device. " + passThru + ".source");
    EXPECT_EQ(RuntimeMeterStore::ownerHash("abc"), 0xe71fa2190541574bull);
    EXPECT_EQ(RuntimeMeterStore::ownerHash(""), 0xcbf29ce484222325ull);
}

TEST_F(MeterRegionTest, ReadsWhatTheStreamLibraryWriterPublishes)
{
    EXPECT_FALSE(RuntimeMeterStore::reading(owner)); // no region yet
    TidewellMeterWriter writer{};
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    EXPECT_FALSE(RuntimeMeterStore::reading(owner)); // opened, never published: no magic
    const float levels[2] = {0.5f, 0.25f};
    const float peaks[2] = {0.75f, 0.5f};
    TidewellMeterWriterPublishWithPeaks(&writer, levels, peaks, 2);
    TidewellMeterWriterClose(&writer);

    auto reading = RuntimeMeterStore::reading(owner);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->levels, (std::vector<double>{0.5, 0.25}));
    EXPECT_EQ(reading->peaks, (std::vector<double>{0.75, 0.5}));
    EXPECT_EQ(RuntimeMeterStore::levels(owner), (std::vector<double>{0.5, 0.25}));
}

TEST_F(MeterRegionTest, VersionOneCarriesNoPeaksAndOtherVersionsAreRefused)
{
    Craft(4096, 1, 3);
    auto reading = RuntimeMeterStore::reading(owner);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->levels.size(), 3u);
    EXPECT_EQ(reading->peaks, reading->levels);
    EXPECT_DOUBLE_EQ(reading->levels[2], static_cast<double>(0.03f));

    Craft(4096, 3, 3);
    EXPECT_FALSE(RuntimeMeterStore::reading(owner));
    Craft(4096, 2, 3, 2, TidewellControlMagic);
    EXPECT_FALSE(RuntimeMeterStore::reading(owner));
    Craft(4096, 2, 3, 2, TidewellMeterMagic, 8192);
    EXPECT_FALSE(RuntimeMeterStore::reading(owner));
}

TEST_F(MeterRegionTest, ChannelCountIsLimitedTo64AndMayBeZero)
{
    Craft(4096, 2, 200);
    auto reading = RuntimeMeterStore::reading(owner);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->levels.size(), 64u);
    EXPECT_EQ(reading->peaks.size(), 64u);
    EXPECT_DOUBLE_EQ(reading->peaks[63], static_cast<double>(0.02f * 64));

    Craft(4096, 2, 0);
    reading = RuntimeMeterStore::reading(owner);
    ASSERT_TRUE(reading);
    EXPECT_TRUE(reading->levels.empty());
    EXPECT_TRUE(reading->peaks.empty());
}

TEST_F(MeterRegionTest, AnOddCounterYieldsNothing)
{
    Craft(4096, 2, 2, 7);
    EXPECT_FALSE(RuntimeMeterStore::reading(owner));
    TidewellRegionStoreWord(map, 12, 8);
    EXPECT_TRUE(RuntimeMeterStore::reading(owner));
}

TEST_F(MeterRegionTest, ShortRegionsAreRefusedAndLongOnesReadFromTheStart)
{
    Craft(2048, 2, 2);
    EXPECT_FALSE(RuntimeMeterStore::reading(owner));
    munmap(map, mappedSize);
    map = nullptr;

    Craft(8192, 2, 2);
    auto reading = RuntimeMeterStore::reading(owner);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->levels.size(), 2u);
}

// ---------------------------------------------------------------------------------------

Reading R(double level)
{
    return Reading{{level}, {level}};
}

TEST(MeterTap, AReadingGoesBlank300msAfterItLastChanged)
{
    MeterTap tap;
    const double t = 1000.0;
    tap.update({{"a", R(0.5)}}, t);
    tap.update({{"a", R(0.5)}}, t + 0.25);
    EXPECT_EQ(tap.reading("a", t + 0.29), R(0.5));
    tap.update({{"a", R(0.5)}}, t + 0.35);
    EXPECT_FALSE(tap.reading("a", t + 0.31));
    tap.update({{"a", R(0.6)}}, t + 0.35);
    EXPECT_EQ(tap.reading("a", t + 0.64), R(0.6));
    EXPECT_FALSE(tap.reading("a", t + 0.66));
    EXPECT_FALSE(tap.reading("nobody", t));
}

TEST(MeterTap, AnOmittedOwnerIsDroppedAtOnce)
{
    MeterTap tap;
    tap.update({{"a", R(0.5)}, {"b", R(0.1)}}, 10.0);
    tap.update({{"b", R(0.1)}}, 10.01);
    EXPECT_FALSE(tap.reading("a", 10.02));
    EXPECT_TRUE(tap.reading("b", 10.02));
}

TEST(MeterTap, AReadingWithNanNeverCountsAsUnchanged)
{
    MeterTap tap;
    const Reading withNan{{NAN}, {0.0}};
    EXPECT_NE(withNan, withNan);
    tap.update({{"a", withNan}}, 0.0);
    tap.update({{"a", withNan}}, 0.2);
    tap.update({{"a", withNan}}, 0.4);
    EXPECT_TRUE(tap.reading("a", 0.45));
    EXPECT_NE(Reading({{0.5}, {0.5}}), Reading({{0.5, 0.5}, {0.5, 0.5}}));
}

// The names are the machine's: another user's meter region, or one that others may write, is
// not this user's meter and reads as absent.
TEST_F(MeterRegionTest, ARegionThatIsNotTheUsersOwnReadsAsAbsent)
{
    Craft(TidewellMeterSize, TidewellMeterVersion, 2);
    ASSERT_TRUE(RuntimeMeterStore::reading(owner).has_value());
    for (mode_t mode : {0664, 0646, 0666}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(name, geteuid(), mode));
        EXPECT_FALSE(RuntimeMeterStore::reading(owner).has_value());
        EXPECT_FALSE(RuntimeMeterStore::levels(owner).has_value());
    }
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));
    EXPECT_FALSE(RuntimeMeterStore::reading(owner).has_value());
    ASSERT_TRUE(regiontest::GiveRegionTo(name, geteuid()));
    EXPECT_TRUE(RuntimeMeterStore::reading(owner).has_value());
}

} // namespace
