#include "TidewellStream/TidewellMeterWriter.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include "RegionOwnerSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <random>
#include <vector>

namespace {

class MeterWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        owner = "meter-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        char buffer[32];
        ASSERT_TRUE(TidewellMeterName(TidewellMeterHash(owner.c_str()), buffer, sizeof buffer));
        name = buffer;
        shm_unlink(name.c_str());
    }
    void TearDown() override
    {
        TidewellMeterWriterClose(&writer);
        shm_unlink(name.c_str());
    }

    // Reads the region as any reader would, through its own read-only mapping.
    TidewellMeterRegion ReadRegion()
    {
        TidewellMeterRegion copy{};
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        EXPECT_GE(fd, 0);
        void *map = mmap(nullptr, sizeof copy, PROT_READ, MAP_SHARED, fd, 0);
        EXPECT_NE(map, MAP_FAILED);
        TidewellRegionReadBytes(&copy, map, 0, sizeof copy);
        munmap(map, sizeof copy);
        close(fd);
        return copy;
    }

    off_t RegionSize()
    {
        struct stat st {};
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        fstat(fd, &st);
        close(fd);
        return st.st_size;
    }

    void CreateRegionOfSize(off_t size)
    {
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }

    std::string owner;
    std::string name;
    TidewellMeterWriter writer{nullptr, -1, 0};
};

TEST_F(MeterWriterTest, OpenCreatesAZeroedOwnerWritableRegion)
{
    mode_t oldMask = umask(0);
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    umask(oldMask);
    EXPECT_NE(writer.mapping, nullptr);
    EXPECT_GE(writer.descriptor, 0);
    EXPECT_EQ(writer.channelCount, 2u);

    struct stat st {};
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    TidewellMeterRegion region = ReadRegion();
    EXPECT_EQ(region.header.magic, 0u); // untouched until the first publish
    EXPECT_EQ(region.header.sequence, 0u);
}

TEST_F(MeterWriterTest, OpenKeepsALargerRegionAndGrowsAShortOne)
{
    CreateRegionOfSize(8192);
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    EXPECT_EQ(RegionSize(), 8192);
    TidewellMeterWriterClose(&writer);
    shm_unlink(name.c_str());

    CreateRegionOfSize(100);
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    EXPECT_EQ(RegionSize(), 4096);
}

TEST_F(MeterWriterTest, OpenRejectsMissingArgumentsAndLimitsTheChannelCount)
{
    EXPECT_FALSE(TidewellMeterWriterOpen(nullptr, owner.c_str(), 2));
    EXPECT_FALSE(TidewellMeterWriterOpen(&writer, "", 2));
    EXPECT_EQ(writer.mapping, nullptr);
    EXPECT_EQ(writer.descriptor, -1);
    EXPECT_FALSE(TidewellMeterWriterOpen(&writer, nullptr, 2));

    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 200));
    EXPECT_EQ(writer.channelCount, 64u);
    TidewellMeterWriterClose(&writer);
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), static_cast<uint32_t>(-1)));
    EXPECT_EQ(writer.channelCount, 64u);
}

TEST_F(MeterWriterTest, PublishStoresNewValuesAndDecaysTheRest)
{
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 64));
    std::vector<float> full(64, 0.5f);
    std::vector<float> fullPeaks(64, 0.8f);
    TidewellMeterWriterPublishWithPeaks(&writer, full.data(), fullPeaks.data(), 64);

    const float levels[2] = {0.25f, 1.5f};
    const float peaks[2] = {0.9f, NAN};
    TidewellMeterWriterPublishWithPeaks(&writer, levels, peaks, 2);

    TidewellMeterRegion region = ReadRegion();
    EXPECT_EQ(region.header.magic, TidewellMeterMagic);
    EXPECT_EQ(region.header.version, 2u);
    EXPECT_EQ(region.header.size, 4096u);
    EXPECT_EQ(region.header.sequence, 4u);
    EXPECT_EQ(region.channelCount, 2u);
    // Channel 0: 0.25 is below 0.5 * 0.82, so the decayed old level wins.
    EXPECT_FLOAT_EQ(region.levels[0], 0.5f * 0.82f);
    EXPECT_FLOAT_EQ(region.peaks[0], 0.9f);
    // Channel 1: 1.5 is clamped to 1; a NaN peak falls back to the level candidate.
    EXPECT_FLOAT_EQ(region.levels[1], 1.0f);
    EXPECT_FLOAT_EQ(region.peaks[1], 1.0f);
    for (int i = 2; i < 64; ++i) {
        EXPECT_FLOAT_EQ(region.levels[i], 0.5f * 0.82f) << i;
        EXPECT_FLOAT_EQ(region.peaks[i], 0.8f * 0.95f) << i;
    }
}

TEST_F(MeterWriterTest, NanLevelsDecayAndMissingPeaksFollowTheLevels)
{
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    const float first[2] = {0.6f, 0.1f};
    const float firstPeaks[2] = {0.7f, 0.9f};
    TidewellMeterWriterPublishWithPeaks(&writer, first, firstPeaks, 2);
    const float second[2] = {NAN, 0.5f};
    TidewellMeterWriterPublishWithPeaks(&writer, second, nullptr, 2);

    TidewellMeterRegion region = ReadRegion();
    EXPECT_FLOAT_EQ(region.levels[0], 0.6f * 0.82f);
    EXPECT_FLOAT_EQ(region.peaks[0], 0.7f * 0.95f);
    EXPECT_FLOAT_EQ(region.levels[1], 0.5f);
    EXPECT_FLOAT_EQ(region.peaks[1], 0.9f * 0.95f);
}

TEST_F(MeterWriterTest, ValuesOutOfRangeLeftInTheRegionDecayFromFullScale)
{
    CreateRegionOfSize(4096);
    {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        void *map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(map, MAP_FAILED);
        auto *damaged = static_cast<TidewellMeterRegion *>(map);
        damaged->levels[0] = 5.0f;
        damaged->levels[1] = 3e38f;
        damaged->peaks[0] = 2.0f;
        damaged->peaks[1] = -4.0f;
        munmap(map, 4096);
    }
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    const float silent[2] = {0.0f, 0.0f};
    TidewellMeterWriterPublishWithPeaks(&writer, silent, silent, 2);

    TidewellMeterRegion region = ReadRegion();
    EXPECT_FLOAT_EQ(region.levels[0], 0.82f);
    EXPECT_FLOAT_EQ(region.levels[1], 0.82f);
    EXPECT_FLOAT_EQ(region.peaks[0], 0.95f);
    EXPECT_FLOAT_EQ(region.peaks[1], 0.0f);
}

TEST_F(MeterWriterTest, PublishIsLimitedByTheWriterChannelCount)
{
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 1));
    const float levels[3] = {0.3f, 0.4f, 0.5f};
    TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, 3);
    TidewellMeterRegion region = ReadRegion();
    EXPECT_EQ(region.channelCount, 1u);
    EXPECT_FLOAT_EQ(region.levels[0], 0.3f);
    EXPECT_FLOAT_EQ(region.levels[1], 0.0f);
}

TEST_F(MeterWriterTest, ClosedWriterPublishesNothingAndReopeningKeepsTheLevels)
{
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 1));
    const float levels[1] = {0.5f};
    TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, 1);
    TidewellMeterWriterClose(&writer);
    EXPECT_EQ(writer.mapping, nullptr);
    EXPECT_EQ(writer.descriptor, -1);
    TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, 1);
    TidewellMeterWriterPublishWithPeaks(nullptr, levels, nullptr, 1);
    TidewellMeterWriterClose(nullptr);
    EXPECT_EQ(ReadRegion().header.sequence, 2u);

    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 1));
    const float silent[1] = {0.0f};
    TidewellMeterWriterPublishWithPeaks(&writer, silent, nullptr, 1);
    TidewellMeterRegion region = ReadRegion();
    EXPECT_EQ(region.header.sequence, 4u);
    EXPECT_FLOAT_EQ(region.levels[0], 0.5f * 0.82f);
}

TEST(TidewellMeterLevels, ComputesRmsAndPeakPerChannelWithGain)
{
    constexpr uint32_t frames = 4800;
    std::vector<float> block(frames * 3);
    for (uint32_t j = 0; j < frames; ++j) {
        block[j * 3 + 0] = 0.5f * std::sin(2.0f * static_cast<float>(M_PI) * 1000.0f * j / 48000.0f);
        block[j * 3 + 1] = -0.25f;
        block[j * 3 + 2] = 0.0f;
    }
    float levels[4] = {9, 9, 9, 9};
    float peaks[4] = {9, 9, 9, 9};
    TidewellMeterComputeInterleavedLevels(block.data(), frames, 3, levels, peaks, 4, 2.0f);
    EXPECT_NEAR(levels[0], 1.0 / std::sqrt(2.0), 1e-4);
    EXPECT_NEAR(peaks[0], 1.0, 1e-4);
    EXPECT_FLOAT_EQ(levels[1], 0.5f);
    EXPECT_FLOAT_EQ(peaks[1], 0.5f);
    EXPECT_EQ(levels[2], 0.0f);
    EXPECT_EQ(levels[3], 0.0f); // beyond the block's channels
    EXPECT_EQ(peaks[3], 0.0f);
}

TEST(TidewellMeterLevels, EveryWidthMatchesAPerChannelFusedMultiplyAddSumBitForBit)
{
    // Reference: each channel on its own, its squares summed by fused multiply-add in frame
    // order, as the levels are defined.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.5f, 1.5f);
    for (uint32_t channels : {1u, 2u, 3u, 15u, 16u, 17u, 33u, 64u, 70u}) {
        for (uint32_t count : {channels, channels > 1 ? channels - 1 : 1u, channels + 2}) {
            const uint32_t frames = 517;
            const float gain = 0.7f;
            std::vector<float> block(size_t(frames) * channels);
            for (auto &v : block) {
                v = sample(random);
            }
            block[5] = 1e-40f;  // a subnormal squares exactly in double too
            std::vector<float> levels(count, 9.0f), peaks(count, 9.0f);
            TidewellMeterComputeInterleavedLevels(block.data(), frames, channels, levels.data(), peaks.data(), count,
                                                  gain);
            for (uint32_t c = 0; c < count; ++c) {
                double sum = 0.0;
                float peak = 0.0f;
                for (uint32_t j = 0; c < channels && j < frames; ++j) {
                    const float v = block[size_t(j) * channels + c] * gain;
                    peak = std::max(peak, std::fabs(v));
                    sum = std::fma(static_cast<double>(v), static_cast<double>(v), sum);
                }
                const float level = c < channels ? static_cast<float>(std::sqrt(sum / frames)) : 0.0f;
                EXPECT_EQ(levels[c], level) << channels << " channels, channel " << c;
                EXPECT_EQ(peaks[c], peak) << channels << " channels, channel " << c;
            }
        }
    }
}

TEST(TidewellMeterLevels, EmptyInputClearsAndNoOutputIsLeftAlone)
{
    float levels[2] = {9, 9};
    float peaks[2] = {9, 9};
    TidewellMeterComputeInterleavedLevels(nullptr, 10, 2, levels, peaks, 2, 1.0f);
    EXPECT_EQ(levels[0], 0.0f);
    EXPECT_EQ(peaks[1], 0.0f);

    levels[0] = 9;
    TidewellMeterComputeInterleavedLevels(nullptr, 10, 2, levels, nullptr, 0, 1.0f);
    EXPECT_EQ(levels[0], 9.0f);

    const float one[2] = {0.5f, 0.5f};
    TidewellMeterComputeInterleavedLevels(one, 1, 2, levels, nullptr, 2, 1.0f);
    EXPECT_FLOAT_EQ(levels[0], 0.5f);
}

// Another user's meter region is left as it is (root could otherwise resize and write any),
// and the writer says so once; a region of the user's own left open to the writes of others
// by an older build loses that right and is used.
TEST_F(MeterWriterTest, AnotherUsersRegionIsNotWrittenAndTheRefusalIsSaidOnce)
{
    regiontest::Refusals refusals;
    CreateRegionOfSize(100);
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
        EXPECT_EQ(writer.mapping, nullptr);
        EXPECT_EQ(writer.descriptor, -1);
    }
    const std::vector<std::string> said = refusals.take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(name), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("uid " + std::to_string(regiontest::kOtherUser)), std::string::npos) << said[0];
    const struct stat st = regiontest::RegionStatus(name);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(st.st_uid, regiontest::kOtherUser);

    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(name, geteuid(), 0666));
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
    EXPECT_EQ(regiontest::RegionStatus(name).st_mode & 07777, 0644u);
    EXPECT_EQ(RegionSize(), 4096);
    EXPECT_TRUE(refusals.take().empty());
}

} // namespace
