// The canvas's rules without a widget: which wire the pointer is over, selection, port hover,
// the drop target of a drag, and the connect flow against the application model.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingCanvasState.h"

namespace tidewell::testing {
namespace {

RoutingPortID sourcePort(const std::string& owner, std::int64_t channel) {
    return {{"source", owner, channel}, RoutingPortRole::sourceOutput};
}
RoutingPortID leftPort(const std::string& device, std::int64_t channel) {
    return {{"deviceOutput", device, channel}, RoutingPortRole::outputInput};
}
RoutingPortID rightPort(const std::string& device, std::int64_t channel) {
    return {{"deviceOutput", device, channel}, RoutingPortRole::outputOutput};
}
RoutingPortID monitorPort(const std::string& owner, std::int64_t channel) {
    return {{"monitor", owner, channel}, RoutingPortRole::monitorInput};
}
QRectF frameAt(double x, double y) { return {x, y, 14, 14}; }

Wire wire(const std::string& id, std::int64_t sourceChannel, std::int64_t deviceChannel) {
    return Wire{id, {EndpointKind::source, "S", sourceChannel},
                {EndpointKind::deviceOutput, "D", deviceChannel}};
}

// A source port at (0, 0) and device channel 1's left port 300 points to its right, level with
// it, so the wire between them runs along y = 7.
RoutingCanvasState levelWires(std::vector<Wire> wires) {
    DeviceConfig device;
    device.id = "D";
    device.wires = std::move(wires);
    RoutingCanvasState state(device);
    state.setPortFrames({{sourcePort("S", 1), frameAt(0, 0)}, {leftPort("D", 1), frameAt(300, 0)}});
    return state;
}

TEST(RoutingCanvasStateTest, APortWithinTwelvePointsHidesTheWireUnderThePointer) {
    auto state = levelWires({wire("w1", 1, 1)});
    // The source port's frame ends at x = 14; the wire leaves its centre to the right.
    EXPECT_EQ(state.wireID({14 + 11, 7}), std::nullopt);
    EXPECT_EQ(state.wireID({14 + 12, 7}), "w1");  // the grown frame's far edge is outside it
    EXPECT_EQ(state.wireID({14 + 13, 7}), "w1");
}

TEST(RoutingCanvasStateTest, AWireIsUnderThePointerUpToTenPointsFromItsCurve) {
    auto state = levelWires({wire("w1", 1, 1)});
    // The curve's middle sample is (157, 7).
    EXPECT_EQ(state.wireID({157, 17}), "w1");
    EXPECT_EQ(state.wireID({157, 17.01}), std::nullopt);
    EXPECT_EQ(state.wireID({157, -3}), "w1");
}

TEST(RoutingCanvasStateTest, OnEqualDistancesTheEarlierWireWinsAndAWireWithoutFramesIsNeverFound) {
    EXPECT_EQ(levelWires({wire("a", 1, 1), wire("b", 1, 1)}).wireID({157, 12}), "a");
    EXPECT_EQ(levelWires({wire("b", 1, 1), wire("a", 1, 1)}).wireID({157, 12}), "b");
    // Source channel 2 has no frame yet.
    EXPECT_EQ(levelWires({wire("x", 2, 1)}).wireID({157, 7}), std::nullopt);
}

TEST(RoutingCanvasStateTest, HoverReportsOnlyChangesAndATapSelectsTheHoveredWireOrNothing) {
    auto state = levelWires({wire("w1", 1, 1)});
    EXPECT_TRUE(state.hover({157, 8}));
    EXPECT_FALSE(state.hover({160, 9}));  // along the same wire
    EXPECT_EQ(state.hoveredWireID(), "w1");
    state.tap();
    EXPECT_EQ(state.selectedWireID(), "w1");
    EXPECT_TRUE(state.hover({157, 200}));
    EXPECT_FALSE(state.hover({150, 220}));  // empty canvas, still nothing
    state.tap();
    EXPECT_EQ(state.selectedWireID(), std::nullopt);

    state.hover({157, 8});
    EXPECT_TRUE(state.pointerLeft());
    EXPECT_FALSE(state.pointerLeft());
    EXPECT_EQ(state.hoveredWireID(), std::nullopt);
}

TEST(RoutingCanvasStateTest, ALateLeaveFromOnePortKeepsThePortEnteredSince) {
    RoutingCanvasState state;
    state.portHover(sourcePort("S", 1), true);
    state.portHover(leftPort("D", 1), true);
    state.portHover(sourcePort("S", 1), false);
    EXPECT_EQ(state.hoveredPortID(), leftPort("D", 1));
    state.pointerLeft();  // only the port's own leave clears it
    EXPECT_EQ(state.hoveredPortID(), leftPort("D", 1));
    state.portHover(leftPort("D", 1), false);
    EXPECT_EQ(state.hoveredPortID(), std::nullopt);
}

TEST(RoutingCanvasStateTest, EveryDragMoveFollowsThePointerAndClearsTheSelection) {
    auto state = levelWires({wire("w1", 1, 1)});
    state.hover({157, 8});
    state.tap();
    ASSERT_EQ(state.selectedWireID(), "w1");
    state.beginDrag(sourcePort("S", 1), {40, 40});
    EXPECT_EQ(state.selectedWireID(), std::nullopt);
    state.beginDrag(sourcePort("S", 1), {80, 50});
    EXPECT_EQ(state.activeDrag(), (ActiveWireDrag{sourcePort("S", 1), {80, 50}}));
    state.finishDrag(sourcePort("S", 1), {500, 500});
    EXPECT_EQ(state.activeDrag(), std::nullopt);
}

TEST(RoutingCanvasStateTest, ADropFindsOnlyThePortsTheDraggedRoleConnectsTo) {
    RoutingCanvasState state;
    state.setPortFrames({{sourcePort("S", 1), frameAt(0, 0)},
                         {leftPort("D", 1), frameAt(300, 0)},
                         {rightPort("D", 1), frameAt(400, 0)},
                         {monitorPort("M", 1), frameAt(600, 0)}});
    EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {300 - 11, 7}), leftPort("D", 1));
    EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {300 - 13, 7}), std::nullopt);
    EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {407, 7}), std::nullopt);
    EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {607, 7}), std::nullopt);
    EXPECT_EQ(state.destinationPort(rightPort("D", 1), {607, 7}), monitorPort("M", 1));
    EXPECT_EQ(state.destinationPort(rightPort("D", 1), {307, 7}), std::nullopt);
    // Drop targets start no wires.
    EXPECT_EQ(state.destinationPort(leftPort("D", 1), {7, 7}), std::nullopt);
    EXPECT_EQ(state.destinationPort(monitorPort("M", 1), {407, 7}), std::nullopt);
}

// Rows 20 points apart: their grown frames overlap by 18 points. Whatever order the frame table
// keeps, each release goes to the port whose centre is nearer.
TEST(RoutingCanvasStateTest, WhereGrownFramesOverlapTheDropGoesToTheNearestCentre) {
    RoutingCanvasState state;
    RoutingPortFrames frames;
    for (std::int64_t channel = 1; channel <= 8; ++channel)
        frames[leftPort("D", channel)] = frameAt(300, 20.0 * double(channel - 1));
    state.setPortFrames(frames);
    for (std::int64_t channel = 1; channel <= 8; ++channel) {
        const double centre = 7 + 20.0 * double(channel - 1);
        EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {307, centre - 8}),
                  leftPort("D", channel));
        EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {307, centre + 8}),
                  leftPort("D", channel));
    }
}

// A release exactly between two rows is as near to one port as to the other: the port with the
// smaller id takes it, whatever order the frame table holds them in, so the same gesture
// always makes the same wire.
TEST(RoutingCanvasStateTest, ADropExactlyBetweenTwoPortsAlwaysGoesToTheSameOne) {
    for (const bool descending : {false, true}) {
        for (const std::size_t buckets : {std::size_t(0), std::size_t(7), std::size_t(64)}) {
            RoutingPortFrames frames;
            frames.reserve(buckets);
            for (std::int64_t step = 0; step < 8; ++step) {
                const std::int64_t channel = descending ? 8 - step : step + 1;
                frames[leftPort("D", channel)] = frameAt(300, 20.0 * double(channel - 1));
            }
            RoutingCanvasState state;
            state.setPortFrames(frames);
            for (std::int64_t channel = 1; channel < 8; ++channel) {
                const double between = 7 + 20.0 * double(channel - 1) + 10;
                EXPECT_EQ(state.destinationPort(sourcePort("S", 1), {307, between}), leftPort("D", channel))
                    << channel << (descending ? " descending" : " ascending") << " buckets " << buckets;
            }
        }
    }
}

// The connect flow, as the canvas runs it against the application model.
class CanvasConnectTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    DeviceConfig device = makeDevice("D", "Desk");
    RoutingCanvasState state;

    void SetUp() override {
        device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
        device.monitors.push_back(makeMonitor("M", "Speakers"));
        writeConfig({device});
        model = makeModel();
        state.setDevice(model->snapshot().devices.at(0));
        state.setConnectAction([this](const WireEndpoint& from, const WireEndpoint& to) {
            model->connectWire("D", from, to);
        });
        state.setPortFrames({{sourcePort("S", 1), frameAt(0, 0)},
                             {sourcePort("S", 3), frameAt(0, 40)},
                             {leftPort("D", 1), frameAt(300, 0)},
                             {leftPort("D", 2), frameAt(300, 30)},
                             {rightPort("D", 1), frameAt(400, 0)},
                             {monitorPort("M", 2), frameAt(600, 30)}});
        model->setStatusMessage("");
    }
    std::size_t wireCount() { return savedConfig().devices.at(0).wires.size(); }
    bool saved(const WireEndpoint& from, const WireEndpoint& to) {
        const ConfigSnapshot config = savedConfig();
        for (const auto& w : config.devices.at(0).wires)
            if (w.from == from && w.to == to) return true;
        return false;
    }
};

TEST_F(CanvasConnectTest, ADropNearADeviceChannelConnectsItOnceWithConnectedWire) {
    const std::size_t before = wireCount();
    state.beginDrag(sourcePort("S", 1), {100, 30});
    EXPECT_TRUE(state.finishDrag(sourcePort("S", 1), {300 - 11, 37}));
    EXPECT_EQ(model->statusMessage(), "Connected wire");
    EXPECT_EQ(wireCount(), before + 1);
    EXPECT_TRUE(saved({EndpointKind::source, "S", 1}, {EndpointKind::deviceOutput, "D", 2}));

    model->setStatusMessage("");
    state.finishDrag(sourcePort("S", 1), {307, 37});
    EXPECT_EQ(model->statusMessage(), "Connected wire");
    EXPECT_EQ(wireCount(), before + 1);

    state.finishDrag(rightPort("D", 1), {607, 37});
    EXPECT_TRUE(saved({EndpointKind::deviceOutput, "D", 1}, {EndpointKind::monitor, "M", 2}));
}

TEST_F(CanvasConnectTest, ADropOnNoTargetMakesNoWireAndSetsNoText) {
    const auto file = readFile(configFile);
    for (QPointF point : {QPointF(607, 37), QPointF(407, 7), QPointF(200, 200)}) {
        state.beginDrag(sourcePort("S", 1), point);
        EXPECT_FALSE(state.finishDrag(sourcePort("S", 1), point));
    }
    EXPECT_EQ(model->statusMessage(), "");
    EXPECT_EQ(readFile(configFile), file);
    EXPECT_THAT(launcher->calls, ::testing::IsEmpty());
}

TEST_F(CanvasConnectTest, ARefusedConnectionReportsCouldNotConnectWire) {
    const auto file = readFile(configFile);
    // The source has two channels; a port for a third is refused by the edit.
    EXPECT_TRUE(state.finishDrag(sourcePort("S", 3), {307, 7}));
    EXPECT_EQ(model->statusMessage(), "Could not connect wire");
    EXPECT_EQ(readFile(configFile), file);
    EXPECT_EQ(state.activeDrag(), std::nullopt);
}

}  // namespace
}  // namespace tidewell::testing
