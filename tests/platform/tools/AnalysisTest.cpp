#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Signals.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace tidewell::tools;

namespace {

AudioData sine(double hz, double dbfs, double rate, double seconds, unsigned channels = 1) {
    AudioData a;
    a.sampleRate = static_cast<uint32_t>(rate);
    a.channels = channels;
    size_t frames = static_cast<size_t>(rate * seconds);
    a.samples.resize(frames * channels);
    SineGenerator g = SineGenerator::make(hz, dbfs, rate);
    g.fill(a.samples.data(), frames, channels);
    return a;
}

TEST(AnalysisTest, MeasuresASineToATenthOfAHertzAndAHundredthOfADecibel) {
    struct Case {
        double hz, dbfs, rate;
    } cases[] = {{997, -12, 48000}, {440, -20, 48000}, {440.37, -3, 44100}, {57.5, -40, 48000},
                 {18000, -1, 44100}};
    for (const Case& c : cases) {
        AudioData a = sine(c.hz, c.dbfs, c.rate, 1.0);
        auto r = analyse(a);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_NEAR(r[0].dominantHz, c.hz, 0.1) << c.hz;
        EXPECT_NEAR(r[0].rmsDbfs, c.dbfs, 0.01) << c.hz;
        EXPECT_NEAR(r[0].peakDbfs, c.dbfs, 0.01) << c.hz;
    }
}

TEST(AnalysisTest, MeasuresChannelsSeparately) {
    AudioData a;
    a.sampleRate = 48000;
    a.channels = 2;
    a.samples.resize(2 * 48000);
    SineGenerator left = SineGenerator::make(440, -6, 48000);
    SineGenerator right = SineGenerator::make(1000, -18, 48000);
    for (size_t i = 0; i < 48000; ++i) {
        a.samples[2 * i] = left.next();
        a.samples[2 * i + 1] = right.next();
    }
    auto r = analyse(a);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NEAR(r[0].dominantHz, 440, 0.1);
    EXPECT_NEAR(r[1].dominantHz, 1000, 0.1);
    EXPECT_NEAR(r[0].rmsDbfs, -6, 0.01);
    EXPECT_NEAR(r[1].rmsDbfs, -18, 0.01);
}

// Three 30 ms holes, as a machine that takes its processors away leaves in a recording, pull the
// plain RMS of a second down by more than a level target's half decibel allows; the steady level
// reads the tone's, and still reads a tone 0.5 dB quieter as 0.5 dB quieter.
TEST(AnalysisTest, TheSteadyLevelIsTheTonesDespiteAFewHoles) {
    for (double dbfs : {-12.0, -12.5}) {
        AudioData a = sine(440, dbfs, 48000, 1.0, 2);
        for (size_t hole : {4000u, 20000u, 41000u})
            std::fill(a.samples.begin() + 2 * hole, a.samples.begin() + 2 * (hole + 1440), 0.0f);
        auto r = analyse(a);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_LT(r[1].rmsDbfs, dbfs - 0.35) << dbfs;
        EXPECT_NEAR(r[1].steadyDbfs, dbfs, 0.02) << dbfs;
        // 10 ms hold 4.4 periods of the tone: each window's level is off by up to a few hundredths.
        EXPECT_NEAR(steadyRmsDbfs(a.samples.data(), a.frames(), 2, 0, 480), dbfs, 0.05) << dbfs;
    }
    // Too short for two windows: the plain RMS.
    AudioData shortTone = sine(997, -6, 48000, 0.015);
    EXPECT_NEAR(steadyRmsDbfs(shortTone.samples.data(), shortTone.frames(), 1, 0, 480), -6, 0.1);
}

TEST(AnalysisTest, IgnoresDirectCurrentAndToleratesNoise) {
    AudioData a = sine(1234, -10, 48000, 1.0);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (float& s : a.samples) s += 0.3f + noise(rng);
    EXPECT_NEAR(dominantFrequency(a.samples.data(), a.frames(), 1, 0, 48000), 1234, 0.5);
}

TEST(AnalysisTest, SilenceAndDegenerateInput) {
    std::vector<float> zeros(4800, 0.0f);
    EXPECT_TRUE(std::isinf(rmsDbfs(zeros.data(), zeros.size(), 1, 0)));
    EXPECT_LT(rmsDbfs(zeros.data(), zeros.size(), 1, 0), 0);
    EXPECT_EQ(dominantFrequency(zeros.data(), zeros.size(), 1, 0, 48000), 0);
    EXPECT_EQ(dominantFrequency(zeros.data(), 10, 1, 0, 48000), 0);
    EXPECT_EQ(peakAmplitude(zeros.data(), zeros.size(), 2, 5), 0);  // no such channel
    EXPECT_TRUE(analyse(AudioData{}).empty());
}

TEST(SignalsTest, SineKeepsItsPhaseAcrossBlocks) {
    SineGenerator whole = SineGenerator::make(997, -12, 48000);
    SineGenerator blocks = whole;
    std::vector<float> a(1000), b(1000);
    whole.fill(a.data(), 1000, 1);
    blocks.fill(b.data(), 300, 1);
    blocks.fill(b.data() + 300, 700, 1);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_FLOAT_EQ(a[i], b[i]);
    std::vector<float> mixed(1000, 0.25f);
    SineGenerator m = SineGenerator::make(997, -12, 48000);
    m.mix(mixed.data(), 1000, 1);
    EXPECT_FLOAT_EQ(mixed[10], a[10] + 0.25f);
}

TEST(SignalsTest, ClicksComeEveryIntervalOnEveryChannel) {
    ClickGenerator c{100, 0.5f, 0};
    std::vector<float> out(2 * 250);
    c.fill(out.data(), 150, 2);
    c.fill(out.data() + 300, 100, 2);
    for (size_t i = 0; i < 250; ++i) {
        float expected = i % 100 == 0 ? 0.5f : 0.0f;
        ASSERT_EQ(out[2 * i], expected) << i;
        ASSERT_EQ(out[2 * i + 1], expected) << i;
    }
}

}  // namespace
