// The names of wire ends, ports and drags on the routing canvas.

#include "TidewellApp/RoutingPort.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace tidewell;

namespace {

RoutingPortID devicePort(const std::string& device, std::int64_t channel, RoutingPortRole role) {
    return {{"deviceOutput", device, channel}, role};
}

}  // namespace

TEST(RoutingPortTest, IdTextsJoinTheFieldsWithColons) {
    EXPECT_EQ((RoutingEndpointID{"source", "abc", 2}.id()), "source:abc:2");
    EXPECT_EQ(devicePort("abc", 1, RoutingPortRole::outputInput).id(),
              "outputInput:deviceOutput:abc:1");
    EXPECT_EQ((RoutingPortID{{"monitor", "M-1", 12}, RoutingPortRole::monitorInput}.id()),
              "monitorInput:monitor:M-1:12");
    EXPECT_EQ((RoutingPortID{{"source", "s", -3}, RoutingPortRole::sourceOutput}.id()),
              "sourceOutput:source:s:-3");
}

TEST(RoutingPortTest, RolesParseFromExactlyTheirRawValues) {
    for (const auto role : {RoutingPortRole::sourceOutput, RoutingPortRole::outputInput,
                            RoutingPortRole::outputOutput, RoutingPortRole::monitorInput}) {
        EXPECT_EQ(routingPortRoleFromRawValue(rawValue(role)), role);
    }
    EXPECT_EQ(rawValue(RoutingPortRole::outputOutput), "outputOutput");
    for (const char* text : {"outputinput", "OutputInput", "", " outputInput", "outputInput ",
                             "outputInput:", "sourceoutput", "monitor"}) {
        EXPECT_EQ(routingPortRoleFromRawValue(text), std::nullopt) << text;
    }
}

TEST(RoutingPortTest, KindTextsConvertBothWaysAndUnknownTextsReadAsDeviceOutput) {
    EXPECT_EQ(endpointKindText(EndpointKind::source), "source");
    EXPECT_EQ(endpointKindText(EndpointKind::deviceOutput), "deviceOutput");
    EXPECT_EQ(endpointKindText(EndpointKind::monitor), "monitor");
    EXPECT_EQ(endpointKindFromText("source"), EndpointKind::source);
    EXPECT_EQ(endpointKindFromText("monitor"), EndpointKind::monitor);
    EXPECT_EQ(endpointKindFromText("deviceOutput"), EndpointKind::deviceOutput);
    for (const char* text : {"Source", "monitors", "", "sauce"})
        EXPECT_EQ(endpointKindFromText(text), EndpointKind::deviceOutput) << text;
    const WireEndpoint end{EndpointKind::monitor, "m", 4};
    EXPECT_EQ(routingEndpoint(end), (RoutingEndpointID{"monitor", "m", 4}));
}

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
