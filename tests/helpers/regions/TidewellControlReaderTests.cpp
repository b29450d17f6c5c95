#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellMeterWriter.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include "RegionOwnerSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct ControlValues {
    bool muted = false;
    float gain = 1.0f;
    uint32_t channelCount = 2;
    float channelGains[64];
    uint32_t version = TidewellControlVersion;
    ControlValues()
    {
        for (float &g : channelGains) {
            g = 1.0f;
        }
    }
};

class ControlReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        owner = "control-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        char buffer[32];
        ASSERT_TRUE(TidewellControlName(TidewellMeterHash(owner.c_str()), buffer, sizeof buffer));
        name = buffer;
        shm_unlink(name.c_str());
    }
    void TearDown() override
    {
        TidewellControlReaderClose(&reader);
        if (mapping != nullptr) {
            munmap(mapping, TidewellControlSize);
        }
        shm_unlink(name.c_str());
    }

    void CreateRegion(off_t size = TidewellControlSize)
    {
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        if (size >= static_cast<off_t>(TidewellControlSize)) {
            mapping = mmap(nullptr, TidewellControlSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            ASSERT_NE(mapping, MAP_FAILED);
        }
        close(fd);
    }

    // A minimal stand-in for the core's control writer, following the same protocol.
    void Write(const ControlValues &values)
    {
        uint32_t odd = TidewellSequenceBeginWrite(mapping);
        TidewellRegionStoreWord(mapping, 0, TidewellControlMagic);
        TidewellRegionStoreWord(mapping, 4, values.version);
        TidewellRegionStoreWord(mapping, 8, TidewellControlSize);
        TidewellRegionStoreWord(mapping, 16, values.muted ? 1u : 0u);
        TidewellRegionStoreFloat(mapping, 20, values.gain);
        TidewellRegionStoreWord(mapping, 24, values.channelCount);
        TidewellRegionWriteBytes(mapping, 32, values.channelGains, sizeof values.channelGains);
        TidewellSequenceEndWrite(mapping, odd);
    }

    std::string owner;
    std::string name;
    void *mapping = nullptr;
    TidewellControlReader reader{nullptr, -1, 0};
    TidewellControlState state{};
};

TEST_F(ControlReaderTest, OpenNeedsAnExistingWholeRegion)
{
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_EQ(reader.descriptor, -1);
    errno = 0;
    EXPECT_EQ(shm_open(name.c_str(), O_RDONLY, 0), -1); // the reader never creates it

    CreateRegion(100);
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_EQ(reader.mapping, nullptr);
    shm_unlink(name.c_str());

    CreateRegion();
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, ""));
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, nullptr));
    EXPECT_FALSE(TidewellControlReaderOpen(nullptr, owner.c_str()));
    EXPECT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_EQ(reader.lastSequence, 0u);
}

TEST_F(ControlReaderTest, PollReadsOnlyNewConsistentWrites)
{
    CreateRegion();
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state)); // never written

    ControlValues values;
    values.gain = 0.5f;
    values.channelCount = 4;
    values.channelGains[1] = 0.25f;
    Write(values);
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_FLOAT_EQ(state.gain, 0.5f);
    EXPECT_FALSE(state.muted);
    EXPECT_EQ(state.channelGainCount, 4u);
    EXPECT_FLOAT_EQ(state.channelGains[1], 0.25f);
    EXPECT_EQ(reader.lastSequence, 2u);
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state)); // unchanged

    values.muted = true;
    Write(values);
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_TRUE(state.muted);

    // A write in progress (odd counter) is never taken.
    TidewellSequenceBeginWrite(mapping);
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));
}

TEST_F(ControlReaderTest, PollRejectsAnotherVersionWithoutForgettingTheLastCopy)
{
    CreateRegion();
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    ControlValues values;
    values.version = 2;
    Write(values);
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(reader.lastSequence, 0u);
    values.version = 1;
    Write(values);
    EXPECT_TRUE(TidewellControlReaderPoll(&reader, &state));
}

TEST_F(ControlReaderTest, PollClampsGainsAndChannelCount)
{
    CreateRegion();
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    ControlValues values;
    values.gain = std::numeric_limits<float>::infinity();
    values.channelCount = 100;
    values.channelGains[0] = -3.0f;
    values.channelGains[1] = 5.0f;
    values.channelGains[2] = NAN;
    Write(values);
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(state.gain, 1.0f);
    EXPECT_EQ(state.channelGainCount, 64u);
    EXPECT_EQ(state.channelGains[0], 0.0f);
    EXPECT_EQ(state.channelGains[1], 2.0f);
    EXPECT_EQ(state.channelGains[2], 1.0f);

    values.gain = -3.0f;
    Write(values);
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(state.gain, 0.0f);
    values.gain = 5.0f;
    Write(values);
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(state.gain, 2.0f);
}

TEST_F(ControlReaderTest, ARegionCutShortAfterOpenIsRejectedNotRead)
{
    CreateRegion();
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    ControlValues values;
    Write(values);
    munmap(mapping, TidewellControlSize);
    mapping = nullptr;

    int fd = shm_open(name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 100), 0);
    // Touching the mapping now would raise SIGBUS; the poll must notice and decline.
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));

    ASSERT_EQ(ftruncate(fd, TidewellControlSize), 0);
    mapping = mmap(nullptr, TidewellControlSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(mapping, MAP_FAILED);
    Write(values);
    EXPECT_TRUE(TidewellControlReaderPoll(&reader, &state));
}

TEST_F(ControlReaderTest, ClosedOrNullRecordsPollNothing)
{
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_FALSE(TidewellControlReaderPoll(nullptr, &state));
    CreateRegion();
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, nullptr));
    TidewellControlReaderClose(&reader);
    EXPECT_EQ(reader.mapping, nullptr);
    EXPECT_EQ(reader.descriptor, -1);
    TidewellControlReaderClose(&reader);
    TidewellControlReaderClose(nullptr);
}

TEST(TidewellControl, ClampGainFollowsTheGainRule)
{
    EXPECT_EQ(TidewellControlClampGain(std::numeric_limits<float>::infinity()), 1.0f);
    EXPECT_EQ(TidewellControlClampGain(-std::numeric_limits<float>::infinity()), 1.0f);
    EXPECT_EQ(TidewellControlClampGain(NAN), 1.0f);
    EXPECT_EQ(TidewellControlClampGain(-3.0f), 0.0f);
    EXPECT_FALSE(std::signbit(TidewellControlClampGain(-0.0f)));
    EXPECT_EQ(TidewellControlClampGain(2.5f), 2.0f);
    EXPECT_EQ(TidewellControlClampGain(0.75f), 0.75f);
}

TEST(TidewellControl, ApplySilencesWhenMutedAndCopiesTheCallersChannels)
{
    TidewellControlState state{};
    state.gain = 1.5f;
    state.muted = true;
    state.channelGainCount = 2;
    for (int i = 0; i < 64; ++i) {
        state.channelGains[i] = 0.1f * static_cast<float>(i % 10);
    }
    float gain = 9.0f;
    float gains[66];
    for (float &g : gains) {
        g = 9.0f;
    }
    TidewellControlApply(&state, &gain, gains, 3);
    EXPECT_EQ(gain, 0.0f);
    EXPECT_FLOAT_EQ(gains[2], 0.2f); // the caller's count decides, not channelGainCount
    EXPECT_EQ(gains[3], 9.0f);

    state.muted = false;
    TidewellControlApply(&state, &gain, nullptr, 3);
    EXPECT_EQ(gain, 1.5f);
    TidewellControlApply(&state, nullptr, gains, 100);
    EXPECT_FLOAT_EQ(gains[63], 0.3f);
    EXPECT_EQ(gains[64], 9.0f);
    TidewellControlApply(nullptr, &gain, gains, 2);
}

// Region names are the machine's: another user's region would carry that user's gains, and
// one that others may write lets them set ours. Neither is opened, and a region that stops
// being the user's own after the open is no longer read.
TEST_F(ControlReaderTest, OnlyTheUsersOwnRegionThatNobodyElseMayWriteIsRead)
{
    CreateRegion();
    ControlValues values;
    values.gain = 0.5f;
    Write(values);
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, owner.c_str()));
    EXPECT_EQ(reader.mapping, nullptr);
    EXPECT_EQ(reader.descriptor, -1);
    for (mode_t mode : {0664, 0646, 0666}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(name, geteuid(), mode));
        EXPECT_FALSE(TidewellControlReaderOpen(&reader, owner.c_str()));
    }

    ASSERT_TRUE(regiontest::SetRegionOwnerAndMode(name, geteuid(), 0644));
    ASSERT_TRUE(TidewellControlReaderOpen(&reader, owner.c_str()));
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(state.gain, 0.5f);
    values.gain = 0.25f;
    Write(values);
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));
    ASSERT_TRUE(regiontest::GiveRegionTo(name, geteuid()));
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_EQ(state.gain, 0.25f);
}

} // namespace
