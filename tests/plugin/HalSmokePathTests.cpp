// What tidewell-hal-smoke tests and how it judges what came back, without an audio server.
#include "PassThruPaths.h"

#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace tidewell::smoke;

namespace {

struct Image {
    std::unique_ptr<TidewellRuntimeRegion> region = std::make_unique<TidewellRuntimeRegion>();
    Image() {
        std::memset(region.get(), 0, sizeof(TidewellRuntimeRegion));
        region->header = {TidewellRuntimeMagic, TidewellRuntimeVersion, TidewellRuntimeSize, 2};
    }
    TidewellRuntimeDeviceSlot& add(const char* uid, const char* name, uint32_t channels, uint32_t flags,
                                   std::vector<TidewellRuntimeRoute> routes) {
        TidewellRuntimeDeviceSlot& slot = region->slots[region->deviceCount++];
        slot.flags = flags;
        slot.channelCount = channels;
        slot.deviceGain = 1.0f;
        slot.sourceGain = 1.0f;
        std::strncpy(slot.uid, uid, sizeof slot.uid - 1);
        std::strncpy(slot.name, name, sizeof slot.name - 1);
        for (uint32_t c = 0; c < TidewellRuntimeMaxChannels; ++c) slot.channelGains[c] = 1.0f;
        slot.routeCount = static_cast<uint32_t>(routes.size());
        for (size_t k = 0; k < routes.size(); ++k) slot.routes[k] = routes[k];
        return slot;
    }
    PathSelection select() const {
        return selectPaths(reinterpret_cast<const unsigned char*>(region.get()), sizeof(TidewellRuntimeRegion));
    }
};

constexpr uint32_t kOn = TidewellSlotFlagPresent | TidewellSlotFlagDeviceEnabled | TidewellSlotFlagSourceEnabled;

std::vector<float> tones(size_t frames, uint32_t channels, std::vector<std::vector<std::pair<double, double>>> perChannel) {
    std::vector<float> out(frames * channels, 0.0f);
    for (uint32_t c = 0; c < channels; ++c)
        for (auto [frequency, dbfs] : perChannel[c])
            for (size_t i = 0; i < frames; ++i)
                out[i * channels + c] += float(std::pow(10.0, dbfs / 20) * std::sin(2 * M_PI * frequency * double(i) / 48000));
    return out;
}

}  // namespace

TEST(HalSmokePaths, TestsEveryDeviceThatPassesAudioThroughAndSaysWhyEachOtherIsLeftOut) {
    Image image;
    TidewellRuntimeDeviceSlot& mix = image.add("app.tidewell.devices.mix", "Podcast Mix", 2, kOn, {{1, 1}, {2, 2}});
    mix.deviceGain = 0.5f;
    image.add("app.tidewell.devices.muted", "Muted One", 2, kOn | TidewellSlotFlagMuted, {{1, 1}});
    image.add("app.tidewell.devices.off", "Off One", 2, kOn & ~TidewellSlotFlagDeviceEnabled, {{1, 1}});
    image.add("app.tidewell.devices.unwired", "", 2, kOn, {});
    image.add("app.tidewell.devices.outside", "Outside", 2, kOn, {{3, 1}, {1, 9}, {0, 1}});
    TidewellRuntimeDeviceSlot& silent = image.add("app.tidewell.devices.silent", "Silent", 2, kOn, {{1, 2}});
    silent.channelGains[1] = 0.0f;
    image.add("app.tidewell.devices.gone", "Gone", 2, 0, {{1, 1}});  // not present: not a device at all

    const PathSelection selection = image.select();
    ASSERT_TRUE(selection.regionUsable);
    ASSERT_EQ(selection.testable.size(), 1u);
    EXPECT_EQ(selection.testable[0].uid, "app.tidewell.devices.mix");
    EXPECT_FLOAT_EQ(selection.testable[0].gain, 0.5f);
    EXPECT_EQ(selection.skipped,
              (std::vector<std::string>{"Muted One is muted", "Off One is off",
                                        // Without a name, the device's UID, as short as a name.
                                        "app.tide\u2026unwired has no pass-thru wires",
                                        "Outside has no pass-thru wires", "Silent is at zero volume"}));
}

TEST(HalSmokePaths, ARegionThisBuildCannotReadIsNoConfigurationAtAll) {
    Image image;
    image.add("app.tidewell.devices.mix", "Mix", 2, kOn, {{1, 1}});
    for (auto damage : {+[](TidewellRuntimeRegion& r) { r.header.version = TidewellRuntimeVersion + 1; },
                        +[](TidewellRuntimeRegion& r) { r.header.magic = 0; },
                        +[](TidewellRuntimeRegion& r) { r.header.size = 4096; }}) {
        Image copy;
        *copy.region = *image.region;
        damage(*copy.region);
        EXPECT_FALSE(copy.select().regionUsable);
        EXPECT_TRUE(copy.select().testable.empty());
    }
    // A short image, and none at all.
    EXPECT_FALSE(selectPaths(reinterpret_cast<const unsigned char*>(image.region.get()), 4096).regionUsable);
    EXPECT_FALSE(selectPaths(nullptr, 0).regionUsable);
    // A count past the slots and fields without their NUL stay inside the image.
    Image wild;
    TidewellRuntimeDeviceSlot& slot = wild.add("x", "y", 2, kOn, {{1, 1}});
    std::memset(slot.uid, 'u', sizeof slot.uid);
    std::memset(slot.name, 'n', sizeof slot.name);
    slot.routeCount = 100000;
    wild.region->deviceCount = 1000;
    const PathSelection selection = wild.select();
    ASSERT_EQ(selection.testable.size(), 1u);
    EXPECT_EQ(selection.testable[0].uid.size(), sizeof slot.uid);
    EXPECT_EQ(selection.testable[0].name.size(), sizeof slot.name);
}

TEST(HalSmokePaths, AToneIsMeasuredAtItsFrequencyBesideLouderTonesOfTheDevicesSources) {
    const size_t frames = 36000;
    const auto recording = tones(frames, 1, {{{1499, -40}, {997, -6}, {440, -6}}});
    EXPECT_NEAR(toneLevelDbfs(recording.data(), frames, 1, 0, 1499, 48000), -40, 0.2);
    EXPECT_NEAR(toneLevelDbfs(recording.data(), frames, 1, 0, 997, 48000), -6, 0.2);
    const auto silence = std::vector<float>(frames, 0.0f);
    EXPECT_FALSE(std::isfinite(toneLevelDbfs(silence.data(), frames, 1, 0, 1499, 48000)));
}

TEST(HalSmokePaths, EachRoutedChannelIsJudgedAgainstItsRoutesAndGains) {
    PassThruPath path;
    path.uid = "app.tidewell.devices.mix";
    path.channels = 4;
    path.routes = {{1, 1}, {2, 1}, {3, 3}};  // two routes add up on channel 1; 2 and 4 carry nothing
    path.gain = 0.5f;
    path.channelGains = {1.0f, 1.0f, 0.25f, 1.0f};
    const size_t frames = 36000;
    // Channel 1: 2 × 0.5 = unity; channel 3: 0.5 × 0.25 = −18.06 dB. A player's 997 Hz beside it.
    const double third = -12 + 20 * std::log10(0.125);
    auto right = tones(frames, 4, {{{1499, -12}, {997, -12}}, {{997, -12}}, {{1499, third}}, {}});
    const auto verdicts = judge(path, right.data(), frames, 4, 1499, 48000, -12, 1.0);
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts[0].channel, 1u);
    EXPECT_NEAR(verdicts[0].expectedDbfs, -12, 1e-9);
    EXPECT_TRUE(verdicts[0].ok);
    EXPECT_EQ(verdicts[1].channel, 3u);
    EXPECT_NEAR(verdicts[1].expectedDbfs, third, 1e-6);
    EXPECT_TRUE(verdicts[1].ok);

    // Half the level on channel 3, or nothing at all: that channel fails, the other stands.
    auto low = tones(frames, 4, {{{1499, -12}}, {}, {{1499, third - 6}}, {}});
    auto lowVerdicts = judge(path, low.data(), frames, 4, 1499, 48000, -12, 1.0);
    EXPECT_TRUE(lowVerdicts[0].ok);
    EXPECT_FALSE(lowVerdicts[1].ok);
    auto none = tones(frames, 4, {{{1499, -12}}, {}, {}, {}});
    EXPECT_FALSE(judge(path, none.data(), frames, 4, 1499, 48000, -12, 1.0)[1].ok);
}

// The verdict is shown in two lines of the application's panel: a long device name keeps its
// start and end around "…" (cut between characters, never inside one), and the longest lines
// stay short.
TEST(HalSmokePaths, VerdictsNameADeviceShortlyEnoughForTwoLines) {
    EXPECT_EQ(shortName("Podcast Mix"), "Podcast Mix");
    EXPECT_EQ(shortName("My Long Podcast Mix For Tuesdays"), "My Long \u2026uesdays");
    // Twenty two-byte characters: cut between them.
    std::string accented;
    for (int i = 0; i < 20; ++i) accented += "\u00e9";
    std::string eight, seven;
    for (int i = 0; i < 8; ++i) eight += "\u00e9";
    for (int i = 0; i < 7; ++i) seven += "\u00e9";
    EXPECT_EQ(shortName(accented), eight + "\u2026" + seven);
    ChannelVerdict worst{64, -18.0, -120.0, false};
    EXPECT_EQ(failureLine(std::string(63, 'x'), worst), "xxxxxxxx\u2026xxxxxxx channel 64 at -120.0 dBFS, not -18.0");
    EXPECT_EQ(resultLine(-120.0, -18.0, 64), "Captured RMS: -120.0 dBFS, expected -18.0, 64 channels");
    EXPECT_EQ(resultLine(-18.0, -18.0, 1), "Captured RMS: -18.0 dBFS, expected -18.0, 1 channel");
    // What the region names a skipped device by, too.
    Image image;
    image.add("app.tidewell.devices.long", "My Long Podcast Mix For Tuesdays", 2, TidewellSlotFlagPresent, {{1, 1}});
    const PathSelection selection = image.select();
    ASSERT_EQ(selection.skipped.size(), 1u);
    EXPECT_EQ(selection.skipped[0], "My Long \u2026uesdays is off");
}
