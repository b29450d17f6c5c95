// The names of ports on the routing canvas: which ports are one and which are two, and the
// merged frames. (How a dropped drag becomes a wire's ends, and how the ports' ids break a
// tie between drop targets, is tested with the canvas's state.)

#include "TidewellApp/RoutingPort.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace tidewell;

namespace {

RoutingPortID devicePort(const std::string& device, std::int64_t channel, RoutingPortRole role) {
    return {{"deviceOutput", device, channel}, role};
}

}  // namespace

TEST(RoutingPortTest, TheTwoPortsOfADeviceChannelAreDistinctAndEqualPortsShareAnEntry) {
    const auto left = devicePort("D", 3, RoutingPortRole::outputInput);
    const auto right = devicePort("D", 3, RoutingPortRole::outputOutput);
    EXPECT_EQ(left.endpoint, right.endpoint);
    EXPECT_NE(left, right);
    EXPECT_NE(std::hash<RoutingPortID>{}(left), std::hash<RoutingPortID>{}(right));
    EXPECT_EQ(left.id(), "outputInput:deviceOutput:D:3");
    EXPECT_EQ(right.id(), "outputOutput:deviceOutput:D:3");

    // Built separately, found as one.
    const std::string owner = std::string("src") + "-1";
    const RoutingPortID a{{"source", owner, 2}, RoutingPortRole::sourceOutput};
    const RoutingPortID b{{std::string("sou") + "rce", "src-1", 2}, RoutingPortRole::sourceOutput};
    EXPECT_EQ(a, b);
    RoutingPortFrames frames{{a, QRectF(1, 2, 14, 14)}};
    ASSERT_TRUE(frames.contains(b));
    EXPECT_EQ(frames.at(b), QRectF(1, 2, 14, 14));

    // Every field counts.
    std::unordered_set<RoutingPortID> ports{a};
    EXPECT_FALSE(ports.contains(RoutingPortID{{"source", "src-1", 1}, RoutingPortRole::sourceOutput}));
    EXPECT_FALSE(ports.contains(RoutingPortID{{"source", "src-2", 2}, RoutingPortRole::sourceOutput}));
    EXPECT_FALSE(ports.contains(RoutingPortID{{"monitor", "src-1", 2}, RoutingPortRole::sourceOutput}));
    EXPECT_FALSE(ports.contains(RoutingPortID{{"source", "src-1", 2}, RoutingPortRole::monitorInput}));
}

TEST(RoutingPortTest, MergingFramesKeepsTheLaterEntryAndTheUnionOfTheRest) {
    const auto shared = devicePort("D", 1, RoutingPortRole::outputInput);
    const auto onlyFirst = devicePort("D", 2, RoutingPortRole::outputInput);
    const auto onlySecond = devicePort("D", 1, RoutingPortRole::outputOutput);
    RoutingPortFrames accumulated{{shared, QRectF(0, 0, 14, 14)}, {onlyFirst, QRectF(0, 40, 14, 14)}};
    mergePortFrames(accumulated, {{shared, QRectF(5, 5, 14, 14)}, {onlySecond, QRectF(90, 0, 14, 14)}});
    EXPECT_EQ(accumulated.size(), 3u);
    EXPECT_EQ(accumulated.at(shared), QRectF(5, 5, 14, 14));
    EXPECT_EQ(accumulated.at(onlyFirst), QRectF(0, 40, 14, 14));
    EXPECT_EQ(accumulated.at(onlySecond), QRectF(90, 0, 14, 14));
}
