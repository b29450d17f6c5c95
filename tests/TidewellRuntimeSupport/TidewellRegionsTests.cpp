#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>

namespace {

TEST(TidewellOwnerHash, MatchesKnownFnv1aValues)
{
    EXPECT_EQ(TidewellOwnerHash("abc"), 0xe71fa2190541574bull);
    EXPECT_EQ(TidewellOwnerHash(""), TidewellOwnerHashBasis);
    EXPECT_EQ(TidewellOwnerHash(nullptr), TidewellOwnerHashBasis);
    EXPECT_EQ(TidewellOwnerHash("a"), 0xaf63dc4c8601ec8cull);
    // Bytes are taken unsigned: a UTF-8 id hashes by its bytes, not by signed chars.
    EXPECT_EQ(TidewellOwnerHash("\xc3\xa9"), TidewellOwnerHashBytes("\xc3\xa9", 2));
    static_assert(TidewellOwnerHash("abc") == 0xe71fa2190541574bull);
}

TEST(TidewellOwnerHash, HashesEmbeddedNulsWhenGivenALength)
{
    const char bytes[] = {'a', '\0', 'b'};
    EXPECT_NE(TidewellOwnerHashBytes(bytes, 3), TidewellOwnerHash("a"));
}

TEST(TidewellRegionName, FormatsPrefixAndSixteenZeroPaddedLowerCaseDigits)
{
    char buffer[TidewellRegionNameCapacity];
    ASSERT_TRUE(TidewellRegionFormatName(TidewellMeterNamePrefix, TidewellOwnerHash("abc"), buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "/twme71fa2190541574b");
    ASSERT_TRUE(TidewellRegionFormatName(TidewellControlNamePrefix, 0x1ABull, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "/twc00000000000001ab");
}

TEST(TidewellRegionName, ReportsABufferTooSmall)
{
    char small[8];
    EXPECT_FALSE(TidewellRegionFormatName(TidewellMeterNamePrefix, 1, small, sizeof small));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(TidewellRegionFormatName(TidewellMeterNamePrefix, 1, nullptr, 32));
    char exact[21];
    EXPECT_TRUE(TidewellRegionFormatName(TidewellMeterNamePrefix, 1, exact, sizeof exact));
}

TEST(TidewellRegionLayout, StoresMagicAsBigEndianLettersInLittleEndianBytes)
{
    alignas(4) std::array<unsigned char, 16> header{};
    TidewellRegionStoreWord(header.data(), TidewellRegionMagicOffset, TidewellRuntimeMagic);
    EXPECT_EQ(header[0], 0x52); // 'R'
    EXPECT_EQ(header[1], 0x42); // 'B'
    EXPECT_EQ(header[2], 0x56); // 'V'
    EXPECT_EQ(header[3], 0x5A); // 'Z'
    TidewellRegionStoreWord(header.data(), TidewellRegionMagicOffset, TidewellControlMagic);
    EXPECT_EQ(std::memcmp(header.data(), "CBVZ", 4), 0);
    TidewellRegionStoreWord(header.data(), TidewellRegionMagicOffset, TidewellMeterMagic);
    EXPECT_EQ(std::memcmp(header.data(), "MBVZ", 4), 0);
}

TEST(TidewellRegionLayout, HeaderMatchRequiresMagicVersionAndSize)
{
    alignas(4) TidewellControlRegion region{};
    region.header = {TidewellControlMagic, TidewellControlVersion, TidewellControlSize, 0};
    EXPECT_TRUE(TidewellRegionHeaderMatches(&region, TidewellControlMagic, 1, 4096));
    region.header.version = 2;
    EXPECT_FALSE(TidewellRegionHeaderMatches(&region, TidewellControlMagic, 1, 4096));
    region.header.version = 1;
    region.header.size = 8192;
    EXPECT_FALSE(TidewellRegionHeaderMatches(&region, TidewellControlMagic, 1, 4096));
    region.header.size = 4096;
    region.header.magic = TidewellMeterMagic;
    EXPECT_FALSE(TidewellRegionHeaderMatches(&region, TidewellControlMagic, 1, 4096));
}

TEST(TidewellRegionLayout, RuntimeSlotsSitAt64PlusMultiplesOf2048)
{
    EXPECT_EQ(TidewellRuntimeSlotOffset(0), 64u);
    EXPECT_EQ(TidewellRuntimeSlotOffset(15), 64u + 2048u * 15u);
    EXPECT_LE(TidewellRuntimeSlotOffset(15) + sizeof(TidewellRuntimeDeviceSlot), TidewellRuntimeSize);
}

TEST(TidewellRegionWords, RoundTripBytesAndFloats)
{
    alignas(4) std::array<unsigned char, 64> region{};
    const char text[12] = "hello world";
    TidewellRegionWriteBytes(region.data(), 8, text, sizeof text);
    char back[12] = {};
    TidewellRegionReadBytes(back, region.data(), 8, sizeof back);
    EXPECT_STREQ(back, "hello world");
    EXPECT_EQ(std::memcmp(region.data() + 8, text, sizeof text), 0);

    TidewellRegionStoreFloat(region.data(), 32, -0.5f);
    EXPECT_EQ(TidewellRegionLoadFloat(region.data(), 32), -0.5f);
    TidewellRegionStoreFloat(region.data(), 36, std::nanf(""));
    EXPECT_TRUE(std::isnan(TidewellRegionLoadFloat(region.data(), 36)));
}

TEST(TidewellSequence, WriterMakesTheCounterOddThenEven)
{
    alignas(4) TidewellMeterRegion region{};
    uint32_t odd = TidewellSequenceBeginWrite(&region);
    EXPECT_EQ(odd, 1u);
    EXPECT_EQ(region.header.sequence, 1u);
    TidewellSequenceEndWrite(&region, odd);
    EXPECT_EQ(region.header.sequence, 2u);

    // A counter left odd by a writer that died mid-write stays odd during the next write.
    region.header.sequence = 5;
    odd = TidewellSequenceBeginWrite(&region);
    EXPECT_EQ(odd, 7u);
    TidewellSequenceEndWrite(&region, odd);
    EXPECT_EQ(region.header.sequence, 8u);

    // It wraps modulo 2^32 and stays even after a write.
    region.header.sequence = 0xFFFFFFFEu;
    odd = TidewellSequenceBeginWrite(&region);
    EXPECT_EQ(odd, 0xFFFFFFFFu);
    TidewellSequenceEndWrite(&region, odd);
    EXPECT_EQ(region.header.sequence, 0u);
}

TEST(TidewellSequence, ReaderAcceptsOnlyAnUnchangedEvenCounter)
{
    alignas(4) TidewellMeterRegion region{};
    region.header.sequence = 4;
    uint32_t begin = TidewellSequenceReadBegin(&region);
    EXPECT_TRUE(TidewellSequenceReadValidate(&region, begin));

    region.header.sequence = 5;
    begin = TidewellSequenceReadBegin(&region);
    EXPECT_FALSE(TidewellSequenceReadValidate(&region, begin)); // odd: a write is in progress

    region.header.sequence = 6;
    begin = TidewellSequenceReadBegin(&region);
    region.header.sequence = 8; // a whole write happened during the copy
    EXPECT_FALSE(TidewellSequenceReadValidate(&region, begin));
}

} // namespace
