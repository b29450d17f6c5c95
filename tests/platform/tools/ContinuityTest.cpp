// The continuity measurement on recordings made here, whose faults are known: a delayed copy, a
// copy with frames dropped and silence inserted, a copy at another rate, and tones with and
// without a wavering pitch.
#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Continuity.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace tidewell::tools;

std::vector<float> Delayed(const std::vector<float>& source, size_t delay, size_t frames) {
    std::vector<float> out(frames, 0.0f);
    for (size_t i = delay; i < frames; ++i) out[i] = source[(i - delay) % source.size()];
    return out;
}

TEST(Continuity, SpeechLikeNoiseIsRepeatableNeverSilentAndAtItsLevel) {
    const auto a = makeSpeechLikeNoise(48000, 2, 4.0, 7, -12.0);
    const auto b = makeSpeechLikeNoise(48000, 2, 4.0, 7, -12.0);
    const auto c = makeSpeechLikeNoise(48000, 2, 4.0, 8, -12.0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.samples, c.samples);
    ASSERT_EQ(a.frames(), 192000u);
    EXPECT_NEAR(amplitudeToDbfs(peakAmplitude(a.samples.data(), a.frames(), 2, 0)), -12.0, 0.01);
    const auto mono = channelOf(a, 1);
    for (size_t at = 0; at + 256 <= mono.size(); at += 256) {
        EXPECT_GT(rmsDbfs(mono.data() + at, 256, 1, 0), -60.0) << "block at " << at;
    }
}

TEST(Continuity, ADelayedCopyMatchesEveryBlockWithoutRateErrorOrStep) {
    const auto source = channelOf(makeSpeechLikeNoise(48000, 1, 12.0, 1), 0);
    const auto recording = Delayed(source, 12345, 48000 * 10);
    ContinuityOptions options;
    options.skipSeconds = 0.5;
    options.settleSeconds = 0.5;
    const auto report = measureContinuity(recording, source, 48000, options);
    EXPECT_EQ(report.matchedShare, 1.0);
    EXPECT_GT(report.minCorrelation, 0.99999);
    EXPECT_NEAR(report.rateErrorPpm, 0.0, 0.5);
    EXPECT_NEAR(report.sourceOffsetFrames, 12345.0, 0.01);
    // The first block after settling: a second into the recording, the source 12345 frames back.
    EXPECT_NEAR(report.settledRecordingFrame, 48000.0, 256.0);
    EXPECT_NEAR(report.settledRecordingFrame - report.settledSourcePosition, 12345.0, 0.01);
    EXPECT_TRUE(report.discontinuities.empty());
    EXPECT_GE(report.spans, 8u);
}

TEST(Continuity, DroppedFramesAndInsertedSilenceAreFoundWhereTheyHappen) {
    const auto source = channelOf(makeSpeechLikeNoise(48000, 1, 12.0, 2), 0);
    std::vector<float> recording;
    for (size_t i = 0; i < 48000 * 3; ++i) recording.push_back(source[i]);
    for (size_t i = 48000 * 3 + 37; i < 48000 * 6; ++i) recording.push_back(source[i]);   // 37 dropped
    recording.insert(recording.end(), 700, 0.0f);                                         // 700 inserted
    for (size_t i = 48000 * 6; i < 48000 * 10; ++i) recording.push_back(source[i]);
    ContinuityOptions options;
    options.settleSeconds = 1.0;
    auto report = measureContinuity(recording, source, 48000, options);
    ASSERT_EQ(report.discontinuities.size(), 2u);
    EXPECT_NEAR(report.discontinuities[0].atSeconds, 3.0, 0.02);
    EXPECT_NEAR(report.discontinuities[0].frames, 37.0, 1.0);
    EXPECT_NEAR(report.discontinuities[1].atSeconds, 6.0 - 37.0 / 48000, 0.03);
    EXPECT_NEAR(report.discontinuities[1].frames, -700.0, 2.0);
    EXPECT_GE(report.discontinuities[1].unmatchedBlocks, 1u);
    EXPECT_NEAR(report.rateErrorPpm, 0.0, 1.0);
    EXPECT_LT(report.matchedShare, 1.0);
    // Three seconds apart they are two disturbances; pieces of one correction are one.
    EXPECT_EQ(countDisturbances(report), 2u);
    EXPECT_EQ(countDisturbances(report, 5.0), 1u);
    report.discontinuities.push_back({6.5, -4, 0});
    EXPECT_EQ(countDisturbances(report), 2u);
    EXPECT_EQ(countDisturbances(ContinuityReport{}), 0u);
}

// A recording that carries the source 300 ppm fast, and one at 44100 Hz from a 48000 Hz source.
TEST(Continuity, TheRateErrorIsReadFromTheAlignment) {
    const auto source = channelOf(makeSpeechLikeNoise(48000, 1, 14.0, 3), 0);
    const auto fast = resampleOffline(source, 48000 * 1.0003, 48000);
    ContinuityOptions options;
    options.skipSeconds = 0.2;
    options.settleSeconds = 0.3;
    const auto report = measureContinuity(fast, source, 48000, options);
    EXPECT_NEAR(report.rateErrorPpm, 300.0, 3.0);
    EXPECT_TRUE(report.discontinuities.empty());
    EXPECT_GT(report.medianCorrelation, 0.999);

    const auto lower = resampleOffline(source, 48000, 44100);
    const auto expected = resampleOffline(source, 48000, 44100);
    const auto same = measureContinuity(lower, expected, 44100, options);
    EXPECT_NEAR(same.rateErrorPpm, 0.0, 1.0);
    EXPECT_GT(same.minCorrelation, 0.9999);
}

TEST(Continuity, ThdPlusNoiseOfACleanAndOfAWaveringTone) {
    std::vector<float> clean(480000), wavering(480000);
    double phase = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        const double t = static_cast<double>(i) / 48000;
        clean[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * 997.3 * t + 0.4));
        phase += 2 * M_PI * 997 * (1 + 0.001 * std::sin(2 * M_PI * 0.5 * t)) / 48000;   // +-1000 ppm
        wavering[i] = static_cast<float>(0.25 * std::sin(phase));
    }
    EXPECT_GT(thdPlusNoiseDb(clean.data(), clean.size(), 1, 0, 48000, 997), 110.0);
    EXPECT_LT(thdPlusNoiseDb(wavering.data(), wavering.size(), 1, 0, 48000, 997), 40.0);
}

}  // namespace
