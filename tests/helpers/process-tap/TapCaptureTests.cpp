#include <gtest/gtest.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "BufferListTestSupport.h"
#include "TapCapture.h"

namespace {

// A capture of a tap with constant channel values into an identity-rate ring.
class TapCaptureTest : public ::testing::Test {
protected:
    void Make(uint32_t tapChannels, uint32_t outputs, std::vector<std::pair<uint32_t, uint32_t>> routes,
              bool interleaved = true) {
        ring = TidewellHelperRingCreate(2, outputs, 48000);
        ASSERT_NE(ring, nullptr);
        ring->routeCount = static_cast<uint32_t>(routes.size());
        for (size_t i = 0; i < routes.size(); ++i) {
            ring->routes[i][0] = routes[i].first;
            ring->routes[i][1] = routes[i].second;
        }
        TidewellTapCaptureInit(&state, ring, tapChannels, interleaved, 192);
    }
    void TearDown() override { TidewellHelperRingDestroy(ring); }

    // Feeds enough constant blocks to get past the converter's start, then reads one frame.
    std::vector<float> SteadyFrame(const AudioBufferList* block, int blocks = 20) {
        for (int i = 0; i < blocks; ++i) {
            TidewellTapRingWrite(&state, block);
        }
        const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
        std::vector<float> all(fill * ring->channels);
        RingRead(ring, all.data(), fill);
        return std::vector<float>(all.end() - 2 * ring->channels, all.end() - ring->channels);
    }

    TidewellHelperRing* ring = nullptr;
    TapCaptureState state{};
};

std::vector<float> Constant(uint32_t frames, std::vector<float> channelValues) {
    const auto n = static_cast<uint32_t>(channelValues.size());
    return Interleaved(frames, n, [&](uint32_t, uint32_t c) { return channelValues[c]; });
}

TEST_F(TapCaptureTest, RoutesCopyAndSumTapChannelsWithChannelGains) {
    Make(2, 4, {{1, 1}, {1, 2}, {2, 2}, {3, 4}});
    ring->channelGains[1] = 0.5f;
    TestBufferList block({{2, Constant(480, {0.25f, 0.4f})}});
    const auto frame = SteadyFrame(block.get());
    EXPECT_NEAR(frame[0], 0.25f, 1e-3);
    EXPECT_NEAR(frame[1], 0.25f + 0.4f * 0.5f, 1e-3);
    EXPECT_NEAR(frame[2], 0.0f, 1e-6);
    EXPECT_NEAR(frame[3], 0.0f, 1e-6);   // source channel 3 does not exist
}

TEST_F(TapCaptureTest, MonoTapIgnoresRoutesFromChannelTwo) {
    Make(1, 2, {{1, 1}, {2, 2}});
    TestBufferList block({{1, Constant(480, {0.3f})}});
    const auto frame = SteadyFrame(block.get());
    EXPECT_NEAR(frame[0], 0.3f, 1e-3);
    EXPECT_NEAR(frame[1], 0.0f, 1e-6);
}

TEST_F(TapCaptureTest, RoutesOutsideTheOutputAreIgnored) {
    Make(2, 2, {{1, 3}, {2, 1}, {0, 1}});
    TestBufferList block({{2, Constant(480, {0.7f, 0.2f})}});
    const auto frame = SteadyFrame(block.get());
    EXPECT_NEAR(frame[0], 0.2f, 1e-3);
    EXPECT_NEAR(frame[1], 0.0f, 1e-6);
}

TEST_F(TapCaptureTest, NonInterleavedTapReadsOneBufferPerChannel) {
    Make(2, 2, {{1, 2}, {2, 1}}, false);
    TestBufferList block({{1, Constant(480, {0.1f})}, {1, Constant(480, {0.6f})}});
    const auto frame = SteadyFrame(block.get());
    EXPECT_NEAR(frame[0], 0.6f, 1e-3);
    EXPECT_NEAR(frame[1], 0.1f, 1e-3);
}

TEST_F(TapCaptureTest, LongBlocksAreCutAndSourceGainIsLeftToTheReader) {
    Make(2, 2, {{1, 1}});
    ring->masterGain.store(0.0f);
    TestBufferList block({{2, Constant(10000, {0.5f, 0.5f})}});
    EXPECT_EQ(TidewellTapRingWrite(&state, block.get()), 8192u);
    // Source gain applies when reading, so the ring holds the signal even while muted.
    const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
    EXPECT_GT(fill, 8000u);
    const float* middle = ring->frames + (fill / 2) * 2;
    EXPECT_NEAR(middle[0], 0.5f, 1e-3);
}

TEST_F(TapCaptureTest, BlocksWithoutFramesWriteNothing) {
    Make(2, 2, {{1, 1}});
    TestBufferList none(std::vector<TestBuffer>{});
    EXPECT_EQ(TidewellTapRingWrite(&state, none.get()), 0u);
    EXPECT_EQ(TidewellTapRingWrite(&state, nullptr), 0u);
    EXPECT_EQ(ring->captured.load(), 0u);
}

TEST_F(TapCaptureTest, BlockHostTimesFeedTheRateEstimator) {
    Make(2, 2, {{1, 1}});
    TestBufferList block({{2, Constant(441, {0.1f, 0.1f})}});
    AudioTimeStamp time{};
    time.mFlags = kAudioTimeStampHostTimeValid;
    // 441 frames every 10 ms: 44100 Hz, whatever the tap claims.
    for (int i = 0; i < 500; ++i) {
        time.mHostTime = 1'000'000'000ULL + static_cast<uint64_t>(i) * 10'000'000ULL;
        TidewellTapCaptureBlock(&state, nullptr, block.get(), &time);
    }
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&state.rateEstimator), 44100, 50);
    // Without a valid host time nothing is measured.
    TapCaptureState other{};
    TidewellTapCaptureInit(&other, ring, 2, true, 192);
    AudioTimeStamp invalid{};
    for (int i = 0; i < 500; ++i) {
        invalid.mHostTime = static_cast<uint64_t>(i) * 10'000'000ULL;
        TidewellTapCaptureBlock(&other, &invalid, block.get(), &invalid);
    }
    EXPECT_EQ(TidewellRateEstimatorMeasuredRate(&other.rateEstimator), 0.0);
}

// Cycles the helper missed (its IO thread late under load) are audio the tap delivered all the
// same: with sample times on the blocks they count, so the rate watchdog is not misled into
// resampling from a rate the tap never had.
TEST_F(TapCaptureTest, MissedBlocksDoNotLowerTheMeasuredRate) {
    Make(2, 2, {{1, 1}});
    TestBufferList block({{2, Constant(480, {0.1f, 0.1f})}});
    AudioTimeStamp time{};
    time.mFlags = kAudioTimeStampSampleHostTimeValid;
    for (int i = 0; i < 800; ++i) {
        if (i % 5 == 3) {
            continue;   // one block in five never reaches the helper
        }
        time.mSampleTime = 480.0 * i;
        time.mHostTime = 1'000'000'000ULL + static_cast<uint64_t>(i) * 10'000'000ULL;
        TidewellTapCaptureBlock(&state, nullptr, block.get(), &time);
    }
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&state.rateEstimator), 48000, 50);

    // Without sample times only the blocks seen count.
    TapCaptureState hostOnly{};
    TidewellTapCaptureInit(&hostOnly, ring, 2, true, 192);
    time.mFlags = kAudioTimeStampHostTimeValid;
    for (int i = 0; i < 800; ++i) {
        if (i % 5 == 3) {
            continue;
        }
        time.mHostTime = 1'000'000'000ULL + static_cast<uint64_t>(i) * 10'000'000ULL;
        TidewellTapCaptureBlock(&hostOnly, nullptr, block.get(), &time);
    }
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&hostOnly.rateEstimator), 38400, 100);

    // A sample time that jumps back starts over with the block's own frames.
    TapCaptureState jumping{};
    TidewellTapCaptureInit(&jumping, ring, 2, true, 192);
    time.mFlags = kAudioTimeStampSampleHostTimeValid;
    for (int i = 0; i < 800; ++i) {
        time.mSampleTime = i < 400 ? 480.0 * i : 480.0 * (i - 400);
        time.mHostTime = 1'000'000'000ULL + static_cast<uint64_t>(i) * 10'000'000ULL;
        TidewellTapCaptureBlock(&jumping, nullptr, block.get(), &time);
    }
    EXPECT_NEAR(TidewellRateEstimatorMeasuredRate(&jumping.rateEstimator), 48000, 50);
}

TEST(TapFormat, OnlyFloat32LinearPCMWithChannels) {
    AudioStreamBasicDescription f{48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    EXPECT_TRUE(TidewellTapFormatSupported(f));
    auto noChannels = f;
    noChannels.mChannelsPerFrame = 0;
    EXPECT_FALSE(TidewellTapFormatSupported(noChannels));
    auto integer = f;
    integer.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    EXPECT_FALSE(TidewellTapFormatSupported(integer));
    auto bits = f;
    bits.mBitsPerChannel = 24;
    EXPECT_FALSE(TidewellTapFormatSupported(bits));
    EXPECT_EQ(TidewellTapChannelsFor(0), 1u);
    EXPECT_EQ(TidewellTapChannelsFor(1), 1u);
    EXPECT_EQ(TidewellTapChannelsFor(2), 2u);
    EXPECT_EQ(TidewellTapChannelsFor(6), 2u);
}

std::string Text(CFTypeRef value) {
    EXPECT_EQ(CFGetTypeID(value), CFStringGetTypeID());
    char buffer[256] = {};
    CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

CFTypeRef Value(CFDictionaryRef d, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = CFDictionaryGetValue(d, k);
    CFRelease(k);
    return v;
}

TEST(TapAggregateDescription, EightKeysAroundTheTapAndTheClock) {
    CFStringRef name = CFStringCreateWithCString(nullptr, "Tidewell App Capture 42", kCFStringEncodingUTF8);
    CFStringRef clock = CFStringCreateWithCString(nullptr, "BuiltInOutput", kCFStringEncodingUTF8);
    CFStringRef tap = CFStringCreateWithCString(nullptr, "0F0E0D0C-0B0A-0908-0706-050403020100", kCFStringEncodingUTF8);
    CFDictionaryRef a = TidewellTapAggregateDescription(name, clock, tap);
    CFDictionaryRef b = TidewellTapAggregateDescription(name, clock, tap);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(a), 8);
    EXPECT_EQ(Text(Value(a, "name")), "Tidewell App Capture 42");
    EXPECT_EQ(Text(Value(a, "master")), "BuiltInOutput");
    EXPECT_EQ(Value(a, "private"), kCFBooleanTrue);
    EXPECT_EQ(Value(a, "stacked"), kCFBooleanFalse);
    EXPECT_EQ(Value(a, "tapautostart"), kCFBooleanTrue);
    EXPECT_EQ(Text(Value(a, "uid")).size(), 36u);
    EXPECT_NE(Text(Value(a, "uid")), Text(Value(b, "uid")));   // a fresh UID for every description

    auto subdevices = static_cast<CFArrayRef>(Value(a, "subdevices"));
    ASSERT_EQ(CFArrayGetCount(subdevices), 1);
    auto subdevice = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(subdevices, 0));
    EXPECT_EQ(CFDictionaryGetCount(subdevice), 1);
    EXPECT_EQ(Text(Value(subdevice, "uid")), "BuiltInOutput");

    auto taps = static_cast<CFArrayRef>(Value(a, "taps"));
    ASSERT_EQ(CFArrayGetCount(taps), 1);
    auto tapEntry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(taps, 0));
    EXPECT_EQ(CFDictionaryGetCount(tapEntry), 2);
    EXPECT_EQ(Text(Value(tapEntry, "uid")), "0F0E0D0C-0B0A-0908-0706-050403020100");
    EXPECT_EQ(Value(tapEntry, "drift"), kCFBooleanTrue);
    for (CFTypeRef r : {CFTypeRef(a), CFTypeRef(b), CFTypeRef(name), CFTypeRef(clock), CFTypeRef(tap)}) {
        CFRelease(r);
    }
}

TEST(TapInfoPlist, CarriesNameIdentifierAndUsageText) {
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(kTidewellProcessTapInfoPlist),
                                  static_cast<CFIndex>(std::strlen(kTidewellProcessTapInfoPlist)));
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    ASSERT_NE(plist, nullptr);
    auto info = static_cast<CFDictionaryRef>(plist);
    EXPECT_EQ(Text(Value(info, "CFBundleName")), "Tidewell Process Tap");
    EXPECT_EQ(Text(Value(info, "CFBundleIdentifier")), kTidewellProcessTapBundleID);
    EXPECT_EQ(Text(Value(info, "NSAudioCaptureUsageDescription")),
              "Tidewell captures system and application audio so it can route it into a virtual audio device.");
    CFRelease(plist);
    CFRelease(data);
}

}  // namespace
