// A helper's 100 ms control step against the region the service and the application publish.
#include <gtest/gtest.h>

#include <unistd.h>

#include "RegionOwnerSupport.h"
#include "RuntimeTestSupport.h"
#include "TidewellCore/SourceControlStore.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"
#include "TidewellHelpers/TidewellHelperLoop.h"

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;

TEST(HelperControls, ARegionCreatedLaterIsOpenedThenAppliedOnTheNextTick) {
    const std::string id = "helper-controls-" + std::to_string(getpid());
    shm_unlink(SourceControlStore::sharedMemoryName(id).c_str());
    TidewellControlReader reader{nullptr, -1, 0};
    std::atomic<float> gain{1.5f};
    float channelGains[2] = {0.25f, 0.75f};

    // No region yet: nothing changes, the environment's values stay.
    EXPECT_FALSE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
    EXPECT_EQ(gain.load(), 1.5f);

    DeviceConfig device = makeDevice("hc");
    SourceConfig source = makeSource(id, SourceType::application, 0.6, false);
    source.channelGains = std::vector<double>{0.5, 1.25};
    source.channelCount = 2;
    device.sources = {source};
    SourceControlStore::publish(makeSnapshot({device}));

    // This tick opens the region; the next one applies it.
    EXPECT_FALSE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
    EXPECT_NE(reader.mapping, nullptr);
    EXPECT_EQ(gain.load(), 1.5f);
    EXPECT_TRUE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
    EXPECT_FLOAT_EQ(gain.load(), 0.6f);
    EXPECT_FLOAT_EQ(TidewellLoadGain(channelGains[0]), 0.5f);
    EXPECT_FLOAT_EQ(TidewellLoadGain(channelGains[1]), 1.25f);
    EXPECT_FALSE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));   // nothing new

    // Muted: the gain goes to 0 while the channel gains keep the region's values.
    device.sources[0].muted = true;
    device.sources[0].channelGains = std::vector<double>{2.0, 0.0};
    SourceControlStore::publish(makeSnapshot({device}));
    EXPECT_TRUE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
    EXPECT_EQ(gain.load(), 0.0f);
    EXPECT_FLOAT_EQ(channelGains[0], 2.0f);
    EXPECT_FLOAT_EQ(channelGains[1], 0.0f);

    TidewellControlReaderClose(&reader);
    shm_unlink(SourceControlStore::sharedMemoryName(id).c_str());
}

TEST(HelperControls, WithoutAnOwnerNothingIsOpened) {
    TidewellControlReader reader{nullptr, -1, 0};
    std::atomic<float> gain{1.0f};
    float channelGains[2] = {1.0f, 1.0f};
    EXPECT_FALSE(TidewellHelperPollControls(&reader, nullptr, &gain, channelGains, 2));
    EXPECT_FALSE(TidewellHelperPollControls(&reader, "", &gain, channelGains, 2));
    EXPECT_EQ(reader.mapping, nullptr);
}

// Another user's helper may run the same source id: its region is never applied here, tick
// after tick, and the helper keeps the values it started with until a region of its own user
// is there.
TEST(HelperControls, AnotherUsersRegionIsNeverApplied) {
    const std::string id = "helper-foreign-" + std::to_string(getpid());
    const std::string name = SourceControlStore::sharedMemoryName(id);
    shm_unlink(name.c_str());
    DeviceConfig device = makeDevice("hf");
    device.sources = {makeSource(id, SourceType::application, 0.25, false)};
    SourceControlStore::publish(makeSnapshot({device}));
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));

    TidewellControlReader reader{nullptr, -1, 0};
    std::atomic<float> gain{1.5f};
    float channelGains[2] = {1.0f, 1.0f};
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_FALSE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
        EXPECT_EQ(reader.mapping, nullptr);
        EXPECT_EQ(gain.load(), 1.5f);
    }

    ASSERT_TRUE(regiontest::GiveRegionTo(name, geteuid()));
    EXPECT_FALSE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));  // opens
    EXPECT_TRUE(TidewellHelperPollControls(&reader, id.c_str(), &gain, channelGains, 2));
    EXPECT_FLOAT_EQ(gain.load(), 0.25f);
    TidewellControlReaderClose(&reader);
    shm_unlink(name.c_str());
}

}  // namespace
