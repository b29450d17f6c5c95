// Process taps and private aggregate devices through a private audioserverd.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace audiotest;

namespace {

bool IsUpperUUID(const std::string& s) {
    static const std::regex re("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return std::regex_match(s, re);
}

}  // namespace

TEST(TapDescription, InitialisersGiveFreshUUIDsAndTheirMode) {
    auto a = AudioTapDescription::StereoMixdownOfProcesses({7});
    auto b = AudioTapDescription::StereoGlobalTapExcludingProcesses({7, 9});
    auto c = AudioTapDescription::StereoMixdownOfProcesses({7});
    EXPECT_TRUE(IsUpperUUID(a.uuid)) << a.uuid;
    EXPECT_TRUE(IsUpperUUID(b.uuid)) << b.uuid;
    EXPECT_EQ((std::set<std::string>{a.uuid, b.uuid, c.uuid}).size(), 3u);
    EXPECT_FALSE(a.exclusive);
    EXPECT_TRUE(b.exclusive);
    EXPECT_EQ(b.processes, (std::vector<AudioObjectID>{7, 9}));
    for (const auto* d : {&a, &b}) {
        EXPECT_FALSE(d->mono);
        EXPECT_TRUE(d->mixdown);
        EXPECT_FALSE(d->isPrivate);
        EXPECT_EQ(d->muteBehavior, kAudioTapMuteBehaviorUnmuted);
    }
    c.uuid = a.uuid;
    EXPECT_EQ(a, c);
}

TEST(TapDescription, CallsRejectMissingArguments) {
    AudioObjectID id = 5;
    EXPECT_EQ(AudioHardwareCreateProcessTap(nullptr, &id), kAudio_ParamError);
    auto d = AudioTapDescription::StereoMixdownOfProcesses({});
    EXPECT_EQ(AudioHardwareCreateProcessTap(&d, nullptr), kAudio_ParamError);
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(nullptr, &id), kAudio_ParamError);
}
