#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "BufferListTestSupport.h"
#include "MonitorCapture.h"
#include "TidewellStream/TidewellOutputBridge.h"

namespace {

class MonitorRingTest : public ::testing::Test {
protected:
    void Make(uint32_t inputs, uint32_t outputs, std::vector<std::pair<uint32_t, uint32_t>> routes) {
        ring = TidewellHelperRingCreateReaderControlled(inputs, outputs);
        ASSERT_NE(ring, nullptr);
        ring->routeCount = static_cast<uint32_t>(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            ring->routes[i][0] = routes[i].first;
            ring->routes[i][1] = routes[i].second;
        }
    }
    void TearDown() override { TidewellHelperRingDestroy(ring); }
    std::vector<float> Read(uint32_t frames) {
        std::vector<float> out(static_cast<size_t>(frames) * ring->channels, -1.0f);
        RingRead(ring, out.data(), frames);
        return out;
    }
    TidewellHelperRing* ring = nullptr;
};

TEST_F(MonitorRingTest, RoutesMixIntoOutputsAndIgnoreChannelsPastTheOutput) {
    Make(2, 2, {{1, 1}, {2, 1}, {1, 5}});
    const auto data = Interleaved(4, 2, [](uint32_t f, uint32_t c) { return f + (c == 0 ? 0.25f : 0.5f); });
    TidewellMonitorWrite(ring, data.data(), 4);
    const auto out = Read(4);
    for (uint32_t f = 0; f < 4; ++f) {
        EXPECT_FLOAT_EQ(out[f * 2], 2.0f * f + 0.75f);
        EXPECT_FLOAT_EQ(out[f * 2 + 1], 0.0f);
    }
}

TEST_F(MonitorRingTest, EmptyRoutesPlaySilenceButStillCapture) {
    Make(2, 2, {});
    const auto data = Interleaved(64, 2, [](uint32_t, uint32_t) { return 1.0f; });
    TidewellMonitorWrite(ring, data.data(), 64);
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
    TidewellMonitorWrite(ring, data.data(), 8);
    const auto out = Read(8);
    EXPECT_FLOAT_EQ(out[0], 0.2f);
    EXPECT_FLOAT_EQ(out[1], 0.4f);
}

TEST_F(MonitorRingTest, UnderrunGivesSilenceAndCounts) {
    Make(1, 2, {{1, 1}});
    const auto data = Interleaved(100, 1, [](uint32_t, uint32_t) { return 0.5f; });
    TidewellMonitorWrite(ring, data.data(), 100);
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
    TidewellMonitorWrite(ring, data.data(), 900);
    const auto out = Read(10);
    EXPECT_EQ(out[0], 800.0f);
    EXPECT_EQ(ring->dropped.load(), 800u);
    EXPECT_TRUE(ring->resync.load());
}

TEST_F(MonitorRingTest, OverflowDropsWhatDoesNotFitAndKeepsTheReadPosition) {
    Make(1, 1, {{1, 1}});
    std::vector<float> data(kTidewellHelperRingCapacity - 500, 1.0f);
    TidewellMonitorWrite(ring, data.data(), static_cast<uint32_t>(data.size()));
    std::vector<float> more(1000, 2.0f);
    TidewellMonitorWrite(ring, more.data(), 1000);
    EXPECT_EQ(ring->dropped.load(), 500u);
    // Every frame the input gave is captured, the refused ones too: dropped never exceeds it.
    EXPECT_EQ(ring->captured.load(), kTidewellHelperRingCapacity - 500 + 1000);
    EXPECT_EQ(ring->readPosition.load(), 0u);
    EXPECT_EQ(ring->writePosition.load(), kTidewellHelperRingCapacity);
}

TEST_F(MonitorRingTest, BufferListsWithUnequalBuffersAreReadSafely) {
    Make(3, 3, {{1, 1}, {2, 2}, {3, 3}});
    TestBufferList list({{2, Interleaved(10, 2, [](uint32_t, uint32_t c) { return 0.1f * (c + 1); })},
                         {1, Interleaved(6, 1, [](uint32_t, uint32_t) { return 0.3f; })}});
    TidewellMonitorWriteBufferList(ring, list.get());
    EXPECT_EQ(ring->captured.load(), 6u);
    const auto out = Read(6);
    EXPECT_FLOAT_EQ(out[15], 0.1f);
    EXPECT_FLOAT_EQ(out[16], 0.2f);
    EXPECT_FLOAT_EQ(out[17], 0.3f);
    TestBufferList shortFirst({{2, {0.5f}}, {1, std::vector<float>(64, 0.3f)}});
    TidewellMonitorWriteBufferList(ring, shortFirst.get());
    EXPECT_EQ(ring->captured.load(), 6u);
}

TEST_F(MonitorRingTest, RenderAtTheEngineRateIsAnIdentityCopy) {
    Make(1, 1, {{1, 1}});
    ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring, 48000));
    EXPECT_TRUE(TidewellResamplerIsIdentity(ring->resampler));
    const auto data = Interleaved(4800, 1, [](uint32_t, uint32_t) { return 0.5f; });
    TidewellMonitorWrite(ring, data.data(), 4800);
    ring->targetFill.store(1000);
    std::vector<float> out(256);
    EXPECT_EQ(OutputBridgeCallback(ring, out.data(), 256, 1), 0u);
    EXPECT_NEAR(out[128], 0.5f, 1e-3);
    // The render pulls slightly ahead; what it did not play waits in the pending block.
    EXPECT_GT(ring->pendingFrames, 0u);
    EXPECT_EQ(ring->pendingFrames + 256, ring->readPosition.load());
}

TEST_F(MonitorRingTest, RenderConvertsToTheOutputRate) {
    Make(1, 1, {{1, 1}});
    ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring, 96000));
    const auto data = Interleaved(48000, 1, [](uint32_t, uint32_t) { return 0.25f; });
    TidewellMonitorWrite(ring, data.data(), 48000);
    ring->targetFill.store(40000);
    std::vector<float> out(960);
    for (int i = 0; i < 20; ++i) {
        OutputBridgeCallback(ring, out.data(), 960, 1);
    }
    EXPECT_NEAR(out[500], 0.25f, 2e-3);
    // 20 x 960 frames at 96000 Hz take about 9600 frames at 48000 Hz.
    EXPECT_NEAR(static_cast<double>(ring->readPosition.load()), 9600.0, 200.0);
}

TEST_F(MonitorRingTest, RenderRefusesAnotherChannelCountAndResetsDriftAfterAResync) {
    Make(1, 2, {{1, 1}});
    ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring, 48000));
    std::vector<float> out(4 * 64, 7.0f);
    OutputBridgeCallback(ring, out.data(), 64, 4);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(ring->rendered.load(), 0u);
    ring->resync.store(true);
    ring->driftController.integral = 123.0;
    OutputBridgeCallback(ring, out.data(), 64, 2);
    EXPECT_FALSE(ring->resync.load());
    EXPECT_NE(ring->driftController.integral, 123.0);
}

// Input in whole device cycles against output in cycles of another size, both at 48000 Hz on one
// host clock (the output 20 ppm fast, as two devices' rates never agree to the last digit),
// stepped in time order.
struct ClockedRun {
    uint32_t inputFrames = 512;
    uint32_t outputFrames = 192;
    double seconds = 20;
    double outputStart = 0.004;    // the input runs alone before the output's first cycle
    double missedOutputAt = -1;    // one output cycle the server passes by
    double missedInputAt = -1;     // one input cycle the server passes by
    double watchFrom = 16;         // start of the stretch the results below describe
    // Results over the watched stretch.
    double meanDeviation = 0;      // of the drift ratio from 1, over the render calls
    double largestDeviation = 0;
    double lowestScalar = 2, highestScalar = 0;   // the resampler's rate scalar
    uint64_t underrun = 0;         // frames of silence
    uint64_t dropped = 0;
    uint64_t steps = 0;            // step corrections
    uint64_t lowestFill = UINT64_MAX;  // after a render call: the ring's low points

    // The devices' cycle time stamps, on a host clock that starts at 1 s.
    static AudioTimeStamp Stamp(double seconds, double sampleTime) {
        AudioTimeStamp stamp{};
        stamp.mHostTime = static_cast<uint64_t>((1.0 + seconds) * 1e9);
        stamp.mSampleTime = sampleTime;
        stamp.mFlags = kAudioTimeStampSampleHostTimeValid;
        return stamp;
    }

    void Run(TidewellHelperRing* ring) {
        std::vector<float> block(inputFrames, 0.25f);
        double inputSamples = 0, outputSamples = 0;
        std::vector<float> out(outputFrames);
        const double inputPeriod = inputFrames / 48000.0;
        const double outputPeriod = outputFrames / (48000.0 * (1 + 20e-6));
        double nextInput = 0;
        double nextOutput = outputStart;
        uint64_t underrunBefore = 0;
        uint64_t droppedBefore = 0;
        uint64_t stepsBefore = 0;
        uint64_t renders = 0;
        bool watching = false;
        while (nextInput < seconds || nextOutput < seconds) {
            if (!watching && std::min(nextInput, nextOutput) >= watchFrom) {
                watching = true;
                underrunBefore = ring->underrun.load();
                droppedBefore = ring->dropped.load();
                stepsBefore = ring->stepCorrections.load();
            }
            if (nextInput <= nextOutput) {
                if (!(missedInputAt >= nextInput && missedInputAt < nextInput + inputPeriod)) {
                    const AudioTimeStamp stamp = Stamp(nextInput, inputSamples);
                    TidewellMonitorWrite(ring, block.data(), inputFrames, &stamp);
                }
                nextInput += inputPeriod;
                inputSamples += inputFrames;
                continue;
            }
            if (!(missedOutputAt >= nextOutput && missedOutputAt < nextOutput + outputPeriod)) {
                const AudioTimeStamp stamp = Stamp(nextOutput, outputSamples);
                const TidewellOutputBridgeRenderScope scope(&stamp);
                OutputBridgeCallback(ring, out.data(), outputFrames, 1);
            }
            nextOutput += outputPeriod;
            outputSamples += outputFrames;
            if (watching) {
                // Against the two clocks' true ratio: the output runs 20 ppm fast.
                const double deviation =
                    ring->resampler->rateScalar.load() * (1 + 20e-6) - 1.0;
                meanDeviation += deviation;
                ++renders;
                largestDeviation = std::max(largestDeviation, std::fabs(deviation));
                lowestScalar = std::min(lowestScalar, ring->resampler->rateScalar.load());
                highestScalar = std::max(highestScalar, ring->resampler->rateScalar.load());
                lowestFill = std::min(lowestFill, ring->writePosition.load() - ring->readPosition.load());
            }
        }
        meanDeviation /= static_cast<double>(std::max<uint64_t>(renders, 1));
        underrun = ring->underrun.load() - underrunBefore;
        dropped = ring->dropped.load() - droppedBefore;
        steps = ring->stepCorrections.load() - stepsBefore;
    }
};

class MonitorDriftTest : public MonitorRingTest {
protected:
    // The conversion follows the two clocks' true ratio within 20 ppm at every render call (the
    // fill trim alone may move it, by at most 10 ppm), whatever the ripple of the cycles.
    static void ExpectUnchangedRate(const ClockedRun& run) {
        EXPECT_LT(std::fabs(run.meanDeviation), 20e-6);
        EXPECT_LT(run.largestDeviation, 20e-6);
    }
    void Start(uint32_t target) {
        Make(1, 1, {{1, 1}});
        ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring, 48000));
        ring->targetFill.store(target);
        TidewellDriftControllerInit(&ring->driftController, target);
    }
};

TEST_F(MonitorDriftTest, SameClockSettlesAtTheUnchangedRateWhateverTheCycleSizes) {
    struct Shape {
        uint32_t inputFrames;
        uint32_t outputFrames;
        uint32_t target;
    };
    // The largest input cycle needs a target whose eightfold is above it, else the reader's trim
    // throws input away (the adaptive fill raises the target after such underruns).
    const Shape shapes[] = {{512, 192, 224}, {192, 192, 224}, {4096, 192, 960}, {64, 512, 224}, {512, 1024, 224}};
    for (const auto& [inputFrames, outputFrames, target] : shapes) {
        SCOPED_TRACE(testing::Message() << inputFrames << "-frame input, " << outputFrames << "-frame output");
        Start(target);
        ClockedRun run;
        run.inputFrames = inputFrames;
        run.outputFrames = outputFrames;
        run.Run(ring);
        ExpectUnchangedRate(run);
        EXPECT_EQ(run.underrun, 0u);
        EXPECT_EQ(run.dropped, 0u);
        EXPECT_GT(run.lowestFill, target / 2);
        TidewellHelperRingDestroy(ring);
        ring = nullptr;
    }
}

// The fill the control measures ripples by a fraction of a frame with the beat of the two
// cycles; once settled the conversion must not follow it, or the resampler's position wobbles
// with the beat (sidebands around every tone, some 90 dB down).
TEST_F(MonitorDriftTest, ASettledConversionHoldsItsRatioThroughTheCyclesBeat) {
    Start(224);
    ClockedRun run;
    run.seconds = 30;
    run.watchFrom = 20;
    run.Run(ring);
    ExpectUnchangedRate(run);
    EXPECT_LT(run.highestScalar - run.lowestScalar, 1e-9);
}

TEST_F(MonitorDriftTest, AStartWithTooMuchOrTooLittleQueuedIsSetRightWithoutAPitchShift) {
    // The output's first cycle 60 ms after the input's (about 2900 frames queued), or right
    // behind it (the ring nearly dry).
    for (double outputStart : {0.06, 0.0001}) {
        SCOPED_TRACE(testing::Message() << "output starting after " << outputStart << " s");
        Start(224);
        ClockedRun run;
        run.seconds = 6;
        run.outputStart = outputStart;
        run.watchFrom = 0.5;
        run.Run(ring);
        ExpectUnchangedRate(run);
        EXPECT_GT(run.lowestFill, 32u);
        EXPECT_EQ(run.underrun, 0u);
        // The excess queued is dropped at once; a start nearly dry drops nothing to speak of.
        if (outputStart > 0.01) {
            EXPECT_GT(ring->dropped.load(), 2000u);
        } else {
            EXPECT_LT(ring->dropped.load(), 32u);
        }
        TidewellHelperRingDestroy(ring);
        ring = nullptr;
    }
}

// A cycle either device plays without the monitor costs the audio of that cycle and nothing
// more: what follows stays on time, so no step has to set the fill right afterwards.
TEST_F(MonitorDriftTest, AMissedOutputCycleSkipsItsFramesAtOnce) {
    Start(224);
    ClockedRun run;
    run.seconds = 12;
    run.missedOutputAt = 8.0;
    run.watchFrom = 6;
    run.Run(ring);
    ExpectUnchangedRate(run);
    EXPECT_EQ(run.underrun, 0u);
    // The one 192-frame cycle the output missed, less what was converted ahead already.
    EXPECT_GT(run.dropped, 150u);
    EXPECT_LE(run.dropped, 192u);
    EXPECT_EQ(run.steps, 0u);
}

TEST_F(MonitorDriftTest, AMissedInputCycleIsMadeUpWithSilenceAtOnce) {
    Start(224);
    ClockedRun run;
    run.seconds = 12;
    run.missedInputAt = 8.0;
    run.watchFrom = 6;
    run.Run(ring);
    ExpectUnchangedRate(run);
    // The output may run dry while the 512-frame cycle is missing; the silence written in its
    // place is only the rest of it.
    EXPECT_LE(run.underrun, 512u);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.steps, 0u);
}

}  // namespace
