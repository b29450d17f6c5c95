// The wire curve, its line between port frames, the distance to it, and the focus and colour
// rules of the wires.

#include "TidewellApp/RoutingWireGeometry.h"
#include "TidewellApp/RoutingWireStyle.h"
#include "TidewellApp/Theme.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tidewell;

namespace {

Wire wire(std::string id, WireEndpoint from, WireEndpoint to) {
    return {std::move(id), std::move(from), std::move(to)};
}

WireEndpoint src(std::string owner, std::int64_t channel) {
    return {EndpointKind::source, std::move(owner), channel};
}
WireEndpoint dev(std::int64_t channel) { return {EndpointKind::deviceOutput, "D", channel}; }
WireEndpoint mon(std::string owner, std::int64_t channel) {
    return {EndpointKind::monitor, std::move(owner), channel};
}

RoutingPortID port(std::string kind, std::string owner, std::int64_t channel, RoutingPortRole role) {
    return {{std::move(kind), std::move(owner), channel}, role};
}

DeviceConfig deviceWith(int sources, int monitors) {
    DeviceConfig device;
    device.id = "D";
    for (int i = 0; i < sources; ++i) {
        SourceConfig source;
        source.id = "s" + std::to_string(i);
        device.sources.push_back(source);
    }
    for (int i = 0; i < monitors; ++i) {
        MonitorConfig monitor;
        monitor.id = "m" + std::to_string(i);
        device.monitors.push_back(monitor);
    }
    return device;
}

}  // namespace

TEST(RoutingWireGeometryTest, ControlDistanceIsAFractionOfTheSpanWithinBounds) {
    EXPECT_DOUBLE_EQ(routingWireControlDistance({0, 50}, {100, 50}), 45);
    EXPECT_DOUBLE_EQ(routingWireControlDistance({100, 50}, {0, 50}), 45) << "direction does not matter";
    EXPECT_DOUBLE_EQ(routingWireControlDistance({0, 50}, {10, 50}), 42);
    EXPECT_DOUBLE_EQ(routingWireControlDistance({0, 50}, {300, 50}), 120);
    EXPECT_DOUBLE_EQ(routingWireControlDistance({0, 0}, {0, 200}), 42) << "height does not count";
}

TEST(RoutingWireGeometryTest, ACurveBetweenPortsAboveEachOtherStillBulgesRight) {
    const RoutingWirePath curve{{10, 0}, {10, 100}};
    EXPECT_EQ(curve.firstControl(), QPointF(52, 0));
    EXPECT_EQ(curve.secondControl(), QPointF(-32, 100));
    EXPECT_EQ(curve.pointAt(0), curve.start);
    EXPECT_EQ(curve.pointAt(1), curve.end);
    // Leaves towards larger x, enters from smaller x.
    EXPECT_GT(curve.pointAt(0.05).x(), 10);
    EXPECT_LT(curve.pointAt(0.95).x(), 10);
    const QPainterPath path = curve.path();
    EXPECT_EQ(path.elementCount(), 4);
    EXPECT_EQ(QPointF(path.elementAt(1)), QPointF(52, 0));
    EXPECT_EQ(QPointF(path.elementAt(2)), QPointF(-32, 100));
}

TEST(RoutingWireGeometryTest, LinesJoinPortCentresByTheKindsOfTheEnds) {
    RoutingPortFrames frames{
        {port("source", "s0", 1, RoutingPortRole::sourceOutput), QRectF(0, 0, 14, 14)},
        {port("deviceOutput", "D", 2, RoutingPortRole::outputInput), QRectF(200, 40, 14, 14)},
        {port("deviceOutput", "D", 2, RoutingPortRole::outputOutput), QRectF(300, 40, 14, 14)},
        {port("monitor", "m0", 1, RoutingPortRole::monitorInput), QRectF(500, 80, 14, 14)},
    };
    const auto in = routingWireLine(wire("a", src("s0", 1), dev(2)), frames);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->start, QPointF(7, 7));
    EXPECT_EQ(in->end, QPointF(207, 47));
    EXPECT_EQ(in->midpoint, QPointF(107, 27));
    // The curve passes through the midpoint at t = 0.5.
    const QPointF half = RoutingWirePath{in->start, in->end}.pointAt(0.5);
    EXPECT_NEAR(half.x(), in->midpoint.x(), 1e-9);
    EXPECT_NEAR(half.y(), in->midpoint.y(), 1e-9);

    const auto out = routingWireLine(wire("b", dev(2), mon("m0", 1)), frames);
    ASSERT_TRUE(out) << "leaves from the channel's right port";
    EXPECT_EQ(out->start, QPointF(307, 47));
    EXPECT_EQ(out->end, QPointF(507, 87));

    // Wrong directions and missing frames draw nothing.
    EXPECT_FALSE(routingWireLine(wire("c", dev(2), src("s0", 1)), frames));
    EXPECT_FALSE(routingWireLine(wire("d", src("s0", 1), mon("m0", 1)), frames));
    EXPECT_FALSE(routingWireLine(wire("e", src("s0", 1), dev(3)), frames));
    EXPECT_FALSE(routingWireLine(wire("f", src("s9", 1), dev(2)), frames));
}

TEST(RoutingWireGeometryTest, DistanceIsZeroOnTheCurveAndGrowsAwayFromIt) {
    const QPointF s(7, 7), e(207, 47);
    EXPECT_DOUBLE_EQ(routingWireDistance(s, s, e), 0);
    EXPECT_DOUBLE_EQ(routingWireDistance(e, s, e), 0);
    EXPECT_LT(routingWireDistance((s + e) / 2, s, e), 1e-9);
    // Straight above the midpoint of a level wire, the distance is the height.
    EXPECT_NEAR(routingWireDistance({107, 17}, {7, 7}, {207, 7}), 10, 1e-9);
    // Far away from every sample: the nearest one is an end.
    EXPECT_NEAR(routingWireDistance({-93, 7}, {7, 7}, {207, 7}), 100, 1e-9);
    // Between two samples the result is the distance to the nearer sample, not to the curve:
    // on a level 1000-point wire the second sample lies about 13 points from the start.
    EXPECT_NEAR(routingWireDistance({3.625, 0}, {0, 0}, {1000, 0}), 3.625, 1e-9);
    EXPECT_NEAR(routingWireDistance({8, 0}, {0, 0}, {1000, 0}), 13.0859375 - 8, 1e-9);
}

TEST(RoutingWireStyleTest, FocusFollowsSelectionHoverAndTheHoveredPortsEnd) {
    const Wire into1 = wire("in1", src("s0", 1), dev(1));
    const Wire outOf1 = wire("out1", dev(1), mon("m0", 1));
    const Wire into2 = wire("in2", src("s0", 2), dev(2));

    RoutingWireFocus focus;
    EXPECT_FALSE(focus.hasFocusTarget());
    EXPECT_FALSE(focus.isFocused(into1));

    focus.hoveredPortID = port("deviceOutput", "D", 1, RoutingPortRole::outputOutput);
    EXPECT_TRUE(focus.hasFocusTarget());
    EXPECT_TRUE(focus.isFocused(into1)) << "either port of the channel focuses both ways";
    EXPECT_TRUE(focus.isFocused(outOf1));
    EXPECT_FALSE(focus.isFocused(into2));

    focus = {};
    focus.selectedWireID = "in2";
    EXPECT_TRUE(focus.isFocused(into2));
    EXPECT_FALSE(focus.isFocused(into1));
    focus = {};
    focus.hoveredWireID = "out1";
    EXPECT_TRUE(focus.isFocused(outOf1));
    focus = {};
    focus.selectedWireID = "gone";
    EXPECT_TRUE(focus.hasFocusTarget()) << "a stale selection still dims the rest";
}

TEST(RoutingWireStyleTest, ColoursComeFromTheSourceOrElseTheMonitor) {
    const DeviceConfig device = deviceWith(3, 2);
    EXPECT_EQ(wireColorIndex(device, wire("a", src("s0", 1), dev(1))), 0);
    EXPECT_EQ(wireColorIndex(device, wire("b", src("s2", 1), dev(1))), 2);
    EXPECT_EQ(wireColorIndex(device, wire("c", dev(1), mon("m0", 1))), 3);
    EXPECT_EQ(wireColorIndex(device, wire("d", dev(1), mon("m1", 1))), 4);
    EXPECT_EQ(wireColorIndex(device, wire("e", src("gone", 1), dev(1))), std::nullopt);

    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        EXPECT_EQ(wireBaseColor(device, wire("d", dev(1), mon("m1", 1)), scheme),
                  ZVTheme::wireColor(4, scheme));
        EXPECT_EQ(wireBaseColor(device, wire("e", src("gone", 1), dev(1)), scheme),
                  Theme::accent(scheme));
    }
    // The seventh source wraps to the first colour.
    const DeviceConfig seven = deviceWith(7, 0);
    EXPECT_EQ(wireBaseColor(seven, wire("g", src("s6", 1), dev(1)), ColorScheme::dark),
              ZVTheme::wireColor(0, ColorScheme::dark));
}

TEST(RoutingWireStyleTest, StrokesAreOpaqueWhenFocusedAndDimmedByScheme) {
    const QColor base = ZVTheme::wireColor(1, ColorScheme::dark);
    EXPECT_EQ(wireStrokeColor(base, true, true, ColorScheme::dark), base);
    EXPECT_NEAR(wireStrokeColor(base, false, true, ColorScheme::dark).alphaF(), 0.14, 0.005);
    EXPECT_NEAR(wireStrokeColor(base, false, false, ColorScheme::dark).alphaF(), 0.62, 0.005);
    EXPECT_NEAR(wireStrokeColor(base, false, true, ColorScheme::light).alphaF(), 0.2, 0.005);
    EXPECT_NEAR(wireStrokeColor(base, false, false, ColorScheme::light).alphaF(), 0.78, 0.005);
    EXPECT_EQ(wireStrokeColor(base, false, true, ColorScheme::dark).rgb(), base.rgb());
}
