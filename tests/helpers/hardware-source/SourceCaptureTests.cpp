#include <gtest/gtest.h>

#include <AudioABI/AudioProperties.h>

#include <map>
#include <utility>
#include <vector>

#include "BufferListTestSupport.h"
#include "SourceCapture.h"

namespace {

// A device whose buffer frame size is settable in the scopes the test allows.
struct FakeDevice {
    uint32_t frames = 512;
    bool readable = true;
    std::map<uint32_t, bool> settable{{kAudioObjectPropertyScopeInput, true}, {kAudioObjectPropertyScopeGlobal, true}};
    std::vector<std::pair<uint32_t, uint32_t>> writes;   // scope, frames

    static uint32_t Query(void* context, AudioObjectID, uint32_t) {
        auto* d = static_cast<FakeDevice*>(context);
        return d->readable ? d->frames : 0;
    }
    static bool Set(void* context, AudioObjectID, uint32_t scope, uint32_t frames) {
        auto* d = static_cast<FakeDevice*>(context);
        if (!d->settable[scope]) {
            return false;
        }
        d->writes.emplace_back(scope, frames);
        d->frames = frames;
        return true;
    }
    TidewellBufferSizeOps Ops() { return {Query, Set, this}; }
};

TEST(InputBufferSize, ChangedSizeIsPutBackAndForgotten) {
    FakeDevice device;
    auto ops = device.Ops();
    TidewellInputBufferSize size{};
    RequestInputBufferFrameSize(&size, &ops, 7, 192);
    EXPECT_EQ(device.frames, 192u);
    EXPECT_TRUE(size.changed);
    EXPECT_EQ(size.previousFrames, 512u);
    RestoreInputBufferFrameSize(&size, &ops);
    EXPECT_EQ(device.frames, 512u);
    EXPECT_FALSE(size.changed);
    EXPECT_EQ(size.resizedDevice, 0u);
    // A second restore (stop after a failed start) writes nothing more.
    const size_t writes = device.writes.size();
    RestoreInputBufferFrameSize(&size, &ops);
    EXPECT_EQ(device.writes.size(), writes);
}

TEST(InputBufferSize, GlobalScopeWhenTheInputScopeRefuses) {
    FakeDevice device;
    device.settable[kAudioObjectPropertyScopeInput] = false;
    auto ops = device.Ops();
    TidewellInputBufferSize size{};
    RequestInputBufferFrameSize(&size, &ops, 7, 256);
    ASSERT_EQ(device.writes.size(), 1u);
    EXPECT_EQ(device.writes[0].first, static_cast<uint32_t>(kAudioObjectPropertyScopeGlobal));
    RestoreInputBufferFrameSize(&size, &ops);
    EXPECT_EQ(device.frames, 512u);
}

TEST(InputBufferSize, NothingToPutBackWhenNothingChanged) {
    FakeDevice same;
    same.frames = 192;
    auto ops = same.Ops();
    TidewellInputBufferSize size{};
    RequestInputBufferFrameSize(&size, &ops, 7, 192);
    EXPECT_FALSE(size.changed);
    FakeDevice unreadable;
    unreadable.readable = false;
    auto ops2 = unreadable.Ops();
    RequestInputBufferFrameSize(&size, &ops2, 7, 192);
    EXPECT_FALSE(size.changed);
    EXPECT_TRUE(unreadable.writes.empty());
    FakeDevice locked;
    locked.settable[kAudioObjectPropertyScopeInput] = false;
    locked.settable[kAudioObjectPropertyScopeGlobal] = false;
    auto ops3 = locked.Ops();
    RequestInputBufferFrameSize(&size, &ops3, 7, 192);
    EXPECT_FALSE(size.changed);
    RequestInputBufferFrameSize(&size, &ops, 0, 192);   // no device
    EXPECT_FALSE(size.changed);
}

TEST(SourceFormat, FloatLinearPCMAtACarriedRate) {
    AudioStreamBasicDescription f{44100, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    EXPECT_TRUE(TidewellSourceFormatSupported(f));
    auto int24 = f;
    int24.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    int24.mBitsPerChannel = 24;
    EXPECT_FALSE(TidewellSourceFormatSupported(int24));
    auto slow = f;
    slow.mSampleRate = 4000;
    EXPECT_FALSE(TidewellSourceFormatSupported(slow));
    auto zero = f;
    zero.mSampleRate = 0;
    EXPECT_FALSE(TidewellSourceFormatSupported(zero));
}

class SourceWriteTest : public ::testing::Test {
protected:
    void Make(uint32_t inputs, uint32_t outputs, std::vector<std::pair<uint32_t, uint32_t>> routes) {
        ring = TidewellHelperRingCreate(inputs, outputs, 48000);
        ASSERT_NE(ring, nullptr);
        ring->routeCount = static_cast<uint32_t>(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            ring->routes[i][0] = routes[i].first;
            ring->routes[i][1] = routes[i].second;
        }
    }
    std::vector<float> SteadyFrame() {
        const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
        std::vector<float> all(fill * ring->channels);
        RingRead(ring, all.data(), fill);
        return std::vector<float>(all.end() - 2 * ring->channels, all.end() - ring->channels);
    }
    void TearDown() override { TidewellHelperRingDestroy(ring); }
    TidewellHelperRing* ring = nullptr;
};

TEST_F(SourceWriteTest, SplitStreamsAreRoutedAcrossBuffers) {
    Make(4, 2, {{3, 1}, {2, 2}, {4, 2}});
    ring->channelGains[3] = 2.0f;
    TestBufferList list({{2, Interleaved(480, 2, [](uint32_t, uint32_t c) { return 0.1f * (c + 1); })},
                         {2, Interleaved(480, 2, [](uint32_t, uint32_t c) { return 0.1f * (c + 3); })}});
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(TidewellSourceRingWriteBufferList(ring, list.get()), 480u);
    }
    const auto frame = SteadyFrame();
    EXPECT_NEAR(frame[0], 0.3f, 1e-3);
    EXPECT_NEAR(frame[1], 0.2f + 0.4f * 2.0f, 1e-3);
}

TEST_F(SourceWriteTest, QueueBlocksAreInterleavedAndCutAt8192) {
    Make(2, 2, {{1, 1}, {2, 1}});
    const auto data = Interleaved(10000, 2, [](uint32_t, uint32_t c) { return c == 0 ? 0.25f : 0.5f; });
    EXPECT_EQ(TidewellSourceRingWrite(ring, data.data(), 10000), 8192u);
    const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
    const float* middle = ring->frames + (fill / 2) * 2;
    EXPECT_NEAR(middle[0], 0.75f, 1e-3);
    EXPECT_NEAR(middle[1], 0.0f, 1e-6);
}

TEST_F(SourceWriteTest, EmptyRoutesStillCaptureSilence) {
    Make(2, 2, {});
    const auto data = Interleaved(480, 2, [](uint32_t, uint32_t) { return 0.9f; });
    EXPECT_EQ(TidewellSourceRingWrite(ring, data.data(), 480), 480u);
    EXPECT_GT(ring->captured.load(), 0u);
    const float* first = ring->frames;
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(first[i], 0.0f);
    }
}

TEST_F(SourceWriteTest, ShortOrMissingBuffersWriteNothing) {
    Make(2, 2, {{1, 1}});
    TestBufferList shortList({{2, {0.5f}}, {0, std::vector<float>(100, 1.0f)}});
    EXPECT_EQ(TidewellSourceRingWriteBufferList(ring, shortList.get()), 0u);
    EXPECT_EQ(TidewellSourceRingWriteBufferList(ring, nullptr), 0u);
    EXPECT_EQ(TidewellSourceRingWrite(ring, nullptr, 100), 0u);
    EXPECT_EQ(ring->captured.load(), 0u);
}

}  // namespace
