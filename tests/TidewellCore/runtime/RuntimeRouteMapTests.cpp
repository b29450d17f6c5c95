#include "TidewellCore/RuntimeRouteMap.h"

#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;
using Routes = std::vector<RuntimeChannelRoute>;

TEST(RuntimeRouteMap, IdentityAndDefaultRoutes)
{
    EXPECT_TRUE(RuntimeRouteMap::identityRoutes(0).empty());
    EXPECT_TRUE(RuntimeRouteMap::identityRoutes(-1).empty());
    EXPECT_EQ(RuntimeRouteMap::identityRoutes(2), (Routes{{1, 1}, {2, 2}}));
    auto many = RuntimeRouteMap::identityRoutes(300);
    EXPECT_EQ(many.size(), 256u);
    EXPECT_EQ(many.back(), RuntimeChannelRoute(256, 256));
    EXPECT_EQ(RuntimeRouteMap::defaultStereoRoutes(), (Routes{{1, 1}, {2, 2}}));
}

TEST(RuntimeRouteMap, SourceRoutesFollowWiresInOrder)
{
    DeviceConfig device = makeDevice("dev", 2);
    device.wires = {sourceWire(device, "s", 1, 1), sourceWire(device, "s", 1, 2), sourceWire(device, "s", 1, 3),
                    sourceWire(device, "s", 40, 1), sourceWire(device, "s", 0, 1), sourceWire(device, "s", 1, 0),
                    sourceWire(device, "other", 1, 1),
                    makeWire(EndpointKind::source, "s", 2, EndpointKind::deviceOutput, "another-device", 2),
                    makeWire(EndpointKind::deviceOutput, "dev", 1, EndpointKind::source, "s", 1)};
    EXPECT_EQ(RuntimeRouteMap::sourceRoutes("s", device), (Routes{{1, 1}, {1, 2}, {40, 1}}));
    EXPECT_EQ(RuntimeRouteMap::sourceRoutes("s", device, 4), (Routes{{1, 1}, {1, 2}, {1, 3}, {40, 1}}));
    EXPECT_TRUE(RuntimeRouteMap::sourceRoutes("nobody", device).empty());
    EXPECT_EQ(RuntimeRouteMap::environmentValue(RuntimeRouteMap::sourceRoutes("s", device)), "1:1,1:2,40:1");
}

TEST(RuntimeRouteMap, DerivedListsStopAt256)
{
    DeviceConfig device = makeDevice("dev", 2);
    for (int i = 1; i <= 300; ++i) {
        device.wires.push_back(sourceWire(device, "s", i, 1 + i % 2));
        device.wires.push_back(makeWire(EndpointKind::deviceOutput, "dev", 1 + i % 2, EndpointKind::monitor, "m", 1));
    }
    auto routes = RuntimeRouteMap::sourceRoutes("s", device);
    ASSERT_EQ(routes.size(), 256u);
    EXPECT_EQ(routes.front(), RuntimeChannelRoute(1, 2));
    EXPECT_EQ(routes.back(), RuntimeChannelRoute(256, 1));
    EXPECT_EQ(RuntimeRouteMap::monitorRoutes("m", device).size(), 256u);
}

TEST(RuntimeRouteMap, MonitorRoutesUseTheMonitorsChannelCountOrTwo)
{
    DeviceConfig device = makeDevice("dev", 4);
    device.monitors = {makeMonitor("m", 1.0, 4)};
    device.wires = {makeWire(EndpointKind::deviceOutput, "dev", 1, EndpointKind::monitor, "m", 3),
                    makeWire(EndpointKind::deviceOutput, "dev", 5, EndpointKind::monitor, "m", 1),
                    makeWire(EndpointKind::deviceOutput, "dev", 2, EndpointKind::monitor, "ghost", 3),
                    makeWire(EndpointKind::deviceOutput, "dev", 2, EndpointKind::monitor, "ghost", 2),
                    makeWire(EndpointKind::deviceOutput, "elsewhere", 1, EndpointKind::monitor, "m", 1)};
    EXPECT_EQ(RuntimeRouteMap::monitorRoutes("m", device), (Routes{{1, 3}}));
    EXPECT_EQ(RuntimeRouteMap::monitorRoutes("ghost", device), (Routes{{2, 2}}));
    EXPECT_EQ(RuntimeRouteMap::monitorRoutes("m", device, 8, 1), (Routes{{5, 1}}));
}

TEST(RuntimeRouteMap, RouteText)
{
    EXPECT_EQ(RuntimeRouteMap::environmentValue({}), "");
    EXPECT_EQ(RuntimeRouteMap::environmentValue({{3, 1}}), "3:1");
    EXPECT_EQ(RuntimeRouteMap::environmentValue({{-1, 0}, {4294967297LL, 2}}), "-1:0,4294967297:2");
    EXPECT_EQ(RuntimeRouteMap::defaultStereoEnvironmentValue(), "1:1,2:2");
}

} // namespace
