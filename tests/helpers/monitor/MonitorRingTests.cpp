#include <gtest/gtest.h>

#include <vector>

#include "BufferListTestSupport.h"
#include "MonitorRing.h"

namespace {

class MonitorRingTest : public ::testing::Test {
protected:
    void Make(uint32_t inputs, uint32_t outputs, std::vector<std::pair<uint32_t, uint32_t>> routes) {
        ring = TidewellMonitorRingCreate(inputs, outputs);
        ASSERT_NE(ring, nullptr);
        ring->routeCount = static_cast<uint32_t>(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            ring->routes[i][0] = routes[i].first;
            ring->routes[i][1] = routes[i].second;
        }
    }
    void TearDown() override { TidewellMonitorRingDestroy(ring); }
    std::vector<float> Read(uint32_t frames) {
        std::vector<float> out(static_cast<size_t>(frames) * ring->outputChannels, -1.0f);
        TidewellMonitorRingRead(ring, out.data(), frames);
        return out;
    }
    TidewellMonitorRing* ring = nullptr;
};

TEST_F(MonitorRingTest, RoutesMixIntoOutputsAndIgnoreChannelsPastTheOutput) {
    Make(2, 2, {{1, 1}, {2, 1}, {1, 5}});
    const auto data = Interleaved(4, 2, [](uint32_t f, uint32_t c) { return f + (c == 0 ? 0.25f : 0.5f); });
    TidewellMonitorRingWrite(ring, data.data(), 4);
    const auto out = Read(4);
    for (uint32_t f = 0; f < 4; ++f) {
        EXPECT_FLOAT_EQ(out[f * 2], 2.0f * f + 0.75f);
        EXPECT_FLOAT_EQ(out[f * 2 + 1], 0.0f);
    }
}

TEST_F(MonitorRingTest, EmptyRoutesPlaySilenceButStillCapture) {
    Make(2, 2, {});
    const auto data = Interleaved(64, 2, [](uint32_t, uint32_t) { return 1.0f; });
    TidewellMonitorRingWrite(ring, data.data(), 64);
    EXPECT_EQ(ring->captured.load(), 64u);
    for (float x : Read(64)) {
        EXPECT_EQ(x, 0.0f);
    }
}

TEST_F(MonitorRingTest, MasterAndPerOutputGainsApplyOnRead) {
    Make(2, 2, {{1, 1}, {2, 2}});
    ring->masterGain.store(0.5f);
    ring->channelGains[1] = 2.0f;
    const auto data = Interleaved(8, 2, [](uint32_t, uint32_t) { return 0.4f; });
    TidewellMonitorRingWrite(ring, data.data(), 8);
    const auto out = Read(8);
    EXPECT_FLOAT_EQ(out[0], 0.2f);
    EXPECT_FLOAT_EQ(out[1], 0.4f);
}

TEST_F(MonitorRingTest, UnderrunGivesSilenceAndCounts) {
    Make(1, 2, {{1, 1}});
    const auto data = Interleaved(100, 1, [](uint32_t, uint32_t) { return 0.5f; });
    TidewellMonitorRingWrite(ring, data.data(), 100);
    const auto out = Read(512);
    EXPECT_FLOAT_EQ(out[99 * 2], 0.5f);
    EXPECT_EQ(out[100 * 2], 0.0f);
    EXPECT_EQ(out[511 * 2 + 1], 0.0f);
    EXPECT_EQ(ring->rendered.load(), 512u);
    EXPECT_EQ(ring->underrun.load(), 412u);
}

TEST_F(MonitorRingTest, FillAboveEightTargetsKeepsTheNewestAndResyncs) {
    Make(1, 1, {{1, 1}});
    ring->targetFill.store(100);
    const auto data = Interleaved(900, 1, [](uint32_t f, uint32_t) { return static_cast<float>(f); });
    TidewellMonitorRingWrite(ring, data.data(), 900);
    const auto out = Read(10);
    EXPECT_EQ(out[0], 800.0f);
    EXPECT_EQ(ring->dropped.load(), 800u);
    EXPECT_TRUE(ring->resync.load());
}

TEST_F(MonitorRingTest, OverflowDropsWhatDoesNotFitAndKeepsTheReadPosition) {
    Make(1, 1, {{1, 1}});
    std::vector<float> data(kTidewellMonitorRingCapacity - 500, 1.0f);
    TidewellMonitorRingWrite(ring, data.data(), static_cast<uint32_t>(data.size()));
    std::vector<float> more(1000, 2.0f);
    TidewellMonitorRingWrite(ring, more.data(), 1000);
    EXPECT_EQ(ring->dropped.load(), 500u);
    EXPECT_EQ(ring->readPosition.load(), 0u);
    EXPECT_EQ(ring->writePosition.load(), kTidewellMonitorRingCapacity);
}

TEST_F(MonitorRingTest, BufferListsWithUnequalBuffersAreReadSafely) {
    Make(3, 3, {{1, 1}, {2, 2}, {3, 3}});
    TestBufferList list({{2, Interleaved(10, 2, [](uint32_t, uint32_t c) { return 0.1f * (c + 1); })},
                         {1, Interleaved(6, 1, [](uint32_t, uint32_t) { return 0.3f; })}});
    TidewellMonitorRingWriteBufferList(ring, list.get());
    EXPECT_EQ(ring->captured.load(), 6u);
    const auto out = Read(6);
    EXPECT_FLOAT_EQ(out[15], 0.1f);
    EXPECT_FLOAT_EQ(out[16], 0.2f);
    EXPECT_FLOAT_EQ(out[17], 0.3f);
    TestBufferList shortFirst({{2, {0.5f}}, {1, std::vector<float>(64, 0.3f)}});
    TidewellMonitorRingWriteBufferList(ring, shortFirst.get());
    EXPECT_EQ(ring->captured.load(), 6u);
}

TEST_F(MonitorRingTest, RenderAtTheEngineRateIsAnIdentityCopy) {
    Make(1, 1, {{1, 1}});
    ASSERT_TRUE(TidewellMonitorRingCreateConverter(ring, 48000));
    EXPECT_TRUE(TidewellResamplerIsIdentity(ring->resampler));
    const auto data = Interleaved(4800, 1, [](uint32_t, uint32_t) { return 0.5f; });
    TidewellMonitorRingWrite(ring, data.data(), 4800);
    ring->targetFill.store(1000);
    std::vector<float> out(256);
    EXPECT_EQ(MonitorOutputBridgeRender(ring, out.data(), 256, 1), 0u);
    EXPECT_NEAR(out[128], 0.5f, 1e-3);
    // The render pulls slightly ahead; what it did not play waits in the pending block.
    EXPECT_GT(ring->pendingFrames, 0u);
    EXPECT_EQ(ring->pendingFrames + 256, ring->readPosition.load());
}

TEST_F(MonitorRingTest, RenderConvertsToTheOutputRate) {
    Make(1, 1, {{1, 1}});
    ASSERT_TRUE(TidewellMonitorRingCreateConverter(ring, 96000));
    const auto data = Interleaved(48000, 1, [](uint32_t, uint32_t) { return 0.25f; });
    TidewellMonitorRingWrite(ring, data.data(), 48000);
    ring->targetFill.store(40000);
    std::vector<float> out(960);
    for (int i = 0; i < 20; ++i) {
        MonitorOutputBridgeRender(ring, out.data(), 960, 1);
    }
    EXPECT_NEAR(out[500], 0.25f, 2e-3);
    // 20 x 960 frames at 96000 Hz take about 9600 frames at 48000 Hz.
    EXPECT_NEAR(static_cast<double>(ring->readPosition.load()), 9600.0, 200.0);
}

TEST_F(MonitorRingTest, RenderRefusesAnotherChannelCountAndResetsDriftAfterAResync) {
    Make(1, 2, {{1, 1}});
    ASSERT_TRUE(TidewellMonitorRingCreateConverter(ring, 48000));
    std::vector<float> out(4 * 64, 7.0f);
    MonitorOutputBridgeRender(ring, out.data(), 64, 4);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(ring->rendered.load(), 0u);
    ring->resync.store(true);
    ring->driftController.integral = 123.0;
    MonitorOutputBridgeRender(ring, out.data(), 64, 2);
    EXPECT_FALSE(ring->resync.load());
    EXPECT_NE(ring->driftController.integral, 123.0);
}

}  // namespace
