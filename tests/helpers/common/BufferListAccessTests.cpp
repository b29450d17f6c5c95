#include <gtest/gtest.h>

#include "BufferListTestSupport.h"
#include "TidewellHelpers/TidewellBufferListAccess.h"

namespace {

float Tag(uint32_t f, uint32_t c) {
    return static_cast<float>(f * 100 + c);
}

TEST(BufferListAccess, SplitBuffersCoverConsecutiveChannels) {
    // Two 2-channel streams, as a 4-input device delivers them.
    TestBufferList list({{2, Interleaved(8, 2, [](uint32_t f, uint32_t c) { return Tag(f, c); })},
                         {2, Interleaved(8, 2, [](uint32_t f, uint32_t c) { return Tag(f, c + 2); })}});
    EXPECT_EQ(TidewellBufferListFrameCount(list.get()), 8u);
    for (uint32_t c = 0; c < 4; ++c) {
        EXPECT_EQ(TidewellBufferListSample(list.get(), 5, c), Tag(5, c));
    }
    EXPECT_EQ(TidewellBufferListSample(list.get(), 5, 4), 0.0f);   // no buffer covers it
}

TEST(BufferListAccess, ZeroChannelBuffersCoverNothingAndNullDataReadsSilence) {
    TestBufferList list({{0, std::vector<float>(16, 9.0f)},
                         {1, {}},
                         {1, Interleaved(4, 1, [](uint32_t f, uint32_t) { return Tag(f, 7); })}});
    EXPECT_EQ(TidewellBufferListFrameCount(list.get()), 4u);
    EXPECT_EQ(TidewellBufferListSample(list.get(), 2, 0), 0.0f);        // buffer without data
    EXPECT_EQ(TidewellBufferListSample(list.get(), 2, 1), Tag(2, 7));
}

TEST(BufferListAccess, ShortBufferAnywhereLimitsTheBlock) {
    // A first buffer with data but less than a frame used to be passed over while still being read
    // for every frame; the block must then be empty.
    TestBufferList earlyShort({{2, {1.0f}}, {2, std::vector<float>(64, 1.0f)}});
    EXPECT_EQ(TidewellBufferListFrameCount(earlyShort.get()), 0u);
    TestBufferList unequal({{2, std::vector<float>(20, 1.0f)}, {1, std::vector<float>(6, 1.0f)}});
    EXPECT_EQ(TidewellBufferListFrameCount(unequal.get()), 6u);
    EXPECT_EQ(TidewellBufferListFrameCount(nullptr), 0u);
    TestBufferList none(std::vector<TestBuffer>{});
    EXPECT_EQ(TidewellBufferListFrameCount(none.get()), 0u);
}

TEST(BufferListAccess, ReadsNeverLeaveTheBuffer) {
    // The byte size claims less than the channel count implies; reads beyond it give 0.
    TestBuffer b{4, std::vector<float>(40, 1.0f)};
    b.byteSizeOverride = 6 * sizeof(float);
    TestBufferList list({b});
    EXPECT_EQ(TidewellBufferListFrameCount(list.get()), 1u);
    EXPECT_EQ(TidewellBufferListSample(list.get(), 1, 1), 1.0f);    // index 5
    EXPECT_EQ(TidewellBufferListSample(list.get(), 1, 2), 0.0f);    // index 6, past the bytes
    EXPECT_EQ(TidewellBufferListSample(list.get(), 1000000, 0), 0.0f);
}

TEST(TapBlockAccess, InterleavedReadsTheFirstBufferAndClampsTheChannel) {
    TestBufferList stereo({{2, Interleaved(10, 2, Tag)}});
    EXPECT_EQ(TidewellTapBlockFrameCount(stereo.get(), true, 2), 10u);
    EXPECT_EQ(TidewellTapBlockSample(stereo.get(), true, 2, 3, 1), Tag(3, 1));
    // A buffer that reports no channel count is read with the tap's count.
    TestBufferList unlabelled({{0, Interleaved(10, 2, Tag)}});
    EXPECT_EQ(TidewellTapBlockFrameCount(unlabelled.get(), true, 2), 10u);
    EXPECT_EQ(TidewellTapBlockSample(unlabelled.get(), true, 2, 9, 1), Tag(9, 1));
    // A mono buffer read as channel 1 gives channel 0 again (min(c, n - 1)).
    TestBufferList mono({{1, Interleaved(10, 1, Tag)}});
    EXPECT_EQ(TidewellTapBlockSample(mono.get(), true, 2, 4, 1), Tag(4, 0));
}

TEST(TapBlockAccess, NonInterleavedCountsEveryBufferRead) {
    TestBufferList planar({{1, Interleaved(16, 1, [](uint32_t f, uint32_t) { return Tag(f, 0); })},
                           {1, Interleaved(16, 1, [](uint32_t f, uint32_t) { return Tag(f, 1); })}});
    EXPECT_EQ(TidewellTapBlockFrameCount(planar.get(), false, 2), 16u);
    EXPECT_EQ(TidewellTapBlockSample(planar.get(), false, 2, 15, 1), Tag(15, 1));
    // The second buffer is shorter: the block is cut to what it holds.
    TestBufferList uneven({{1, std::vector<float>(16, 1.0f)}, {1, std::vector<float>(5, 1.0f)}});
    EXPECT_EQ(TidewellTapBlockFrameCount(uneven.get(), false, 2), 5u);
    // A planar buffer that claims 2 channels holds half the frames its bytes suggest.
    TestBufferList wide({{2, std::vector<float>(16, 1.0f)}, {2, std::vector<float>(16, 1.0f)}});
    EXPECT_EQ(TidewellTapBlockFrameCount(wide.get(), false, 2), 8u);
    EXPECT_EQ(TidewellTapBlockSample(wide.get(), false, 2, 7, 1), 1.0f);
    // Missing second buffer: channel 1 reads the last buffer.
    TestBufferList single({{1, Interleaved(4, 1, Tag)}});
    EXPECT_EQ(TidewellTapBlockFrameCount(single.get(), false, 2), 4u);
    EXPECT_EQ(TidewellTapBlockSample(single.get(), false, 2, 3, 1), Tag(3, 0));
    // A second buffer without data makes the block empty rather than read it.
    TestBufferList hole({{1, std::vector<float>(8, 1.0f)}, {1, {}}});
    EXPECT_EQ(TidewellTapBlockFrameCount(hole.get(), false, 2), 0u);
}

TEST(TapBlockAccess, EmptyOrMissingListsHaveNoFrames) {
    EXPECT_EQ(TidewellTapBlockFrameCount(nullptr, true, 2), 0u);
    TestBufferList none(std::vector<TestBuffer>{});
    EXPECT_EQ(TidewellTapBlockFrameCount(none.get(), true, 2), 0u);
    EXPECT_EQ(TidewellTapBlockSample(none.get(), true, 2, 0, 0), 0.0f);
    TestBufferList noData(std::vector<TestBuffer>{TestBuffer{2, {}}});
    EXPECT_EQ(TidewellTapBlockFrameCount(noData.get(), true, 2), 0u);
    TestBuffer zeroBytes{2, std::vector<float>(8, 1.0f)};
    zeroBytes.byteSizeOverride = 0;
    TestBufferList zero({zeroBytes});
    EXPECT_EQ(TidewellTapBlockFrameCount(zero.get(), true, 2), 0u);
}

}  // namespace

namespace {

// The per-block channel map must read exactly what the walking reader reads, bounds included.
TEST(BufferListChannelMap, AgreesWithTheWalkingReaderOnOddLayouts) {
    TestBuffer clipped{3, Interleaved(10, 3, Tag)};
    clipped.byteSizeOverride = 20 * sizeof(float);   // claims fewer bytes than the data it has
    TestBufferList list({{2, Interleaved(10, 2, Tag)},
                         {0, std::vector<float>(30, 5.0f)},
                         {1, {}},
                         clipped,
                         {1, Interleaved(4, 1, Tag)}});
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list.get());
    for (uint32_t f = 0; f < 12; ++f) {
        for (uint32_t c = 0; c < 9; ++c) {
            EXPECT_EQ(TidewellBufferListMappedSample(&map, f, c), TidewellBufferListSample(list.get(), f, c))
                << "frame " << f << " channel " << c;
        }
    }
    EXPECT_EQ(TidewellBufferListMappedSample(&map, 0, 64), 0.0f);
    TidewellBufferListMapChannels(&map, nullptr);
    EXPECT_EQ(TidewellBufferListMappedSample(&map, 0, 0), 0.0f);
}

TEST(BufferListChannelMap, EightyChannelsMapTheFirstSixtyFour) {
    TestBufferList list({{80, Interleaved(4, 80, Tag)}});
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list.get());
    EXPECT_EQ(TidewellBufferListMappedSample(&map, 3, 63), Tag(3, 63));
    EXPECT_EQ(TidewellBufferListMappedSample(&map, 3, 64), 0.0f);
}

}  // namespace
