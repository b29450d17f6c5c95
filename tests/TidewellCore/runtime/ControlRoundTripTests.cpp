// The core's control-region writer and the stream library's reader agree on the region:
// what a publish writes is what a helper polls.
#include "TidewellCore/SourceControlStore.h"
#include "TidewellStream/TidewellControlReader.h"

#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;

TEST(ControlRoundTrip, AHelperPollsWhatThePublisherWrote)
{
    const std::string id = "round-trip-" + std::to_string(getpid());
    shm_unlink(SourceControlStore::sharedMemoryName(id).c_str());

    TidewellControlReader reader{};
    EXPECT_FALSE(TidewellControlReaderOpen(&reader, id.c_str())); // nothing published yet

    DeviceConfig device = makeDevice("rt");
    SourceConfig source = makeSource(id, SourceType::application, 0.8, false);
    source.channelGains = std::vector<double>{1.0, 0.5, 3.0};
    source.channelCount = 3;
    device.sources = {source};
    SourceControlStore::publish(makeSnapshot({device}));

    ASSERT_TRUE(TidewellControlReaderOpen(&reader, id.c_str()));
    TidewellControlState state{};
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    EXPECT_FLOAT_EQ(state.gain, 0.8f);
    EXPECT_FALSE(state.muted);
    EXPECT_EQ(state.channelGainCount, 3u);
    EXPECT_EQ(state.channelGains[1], 0.5f);
    EXPECT_EQ(state.channelGains[2], 2.0f);
    EXPECT_EQ(state.channelGains[3], 1.0f);
    EXPECT_FALSE(TidewellControlReaderPoll(&reader, &state));

    // A mute travels without anything else changing; the helper sees silence.
    device.sources[0].muted = true;
    SourceControlStore::publish(makeSnapshot({device}));
    ASSERT_TRUE(TidewellControlReaderPoll(&reader, &state));
    float gain = 1.0f;
    float channelGains[3] = {};
    TidewellControlApply(&state, &gain, channelGains, 3);
    EXPECT_EQ(gain, 0.0f);
    EXPECT_EQ(channelGains[1], 0.5f);

    TidewellControlReaderClose(&reader);
    shm_unlink(SourceControlStore::sharedMemoryName(id).c_str());
}

} // namespace
