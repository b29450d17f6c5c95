// Which reading each channel row's meter shows, and whether it is live.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/RuntimeMeterStore.h"

#include <QWidget>

namespace tidewell::testing {
namespace {

DeviceConfig device(bool enabled = true) {
    DeviceConfig d;
    d.id = "D";
    d.uid = "UID-7";
    d.enabled = enabled;
    d.channelCount = 2;
    return d;
}
SourceConfig source(SourceType type, bool enabled = true, bool muted = false) {
    SourceConfig s = makeSource("src", type, "Source");
    s.enabled = enabled;
    s.muted = muted;
    return s;
}
MonitorConfig monitor(bool enabled = true, bool muted = false) {
    MonitorConfig m = makeMonitor("mon", "Speakers");
    m.enabled = enabled;
    m.muted = muted;
    return m;
}

struct Row {
    const char* name;
    DeviceConfig device;
    RoutingMeterTarget target;
    RoutingMeterSelection expected;
};

TEST(RoutingMeterTargetTest, OwnerChannelIndexAndLivenessFollowTheTable) {
    const std::string input = RuntimeMeterStore::sourceOwnerID("UID-7");
    const std::string output = RuntimeMeterStore::outputOwnerID("UID-7");
    ASSERT_NE(input, output);
    const std::vector<Row> rows = {
        {"pass-thru ch 1", device(), RoutingSourceMeterTarget{source(SourceType::passThru), 1},
         {input, 0, true}},
        {"pass-thru ch 2", device(), RoutingSourceMeterTarget{source(SourceType::passThru), 2},
         {input, 1, true}},
        {"application", device(), RoutingSourceMeterTarget{source(SourceType::application), 2},
         {"src", 1, true}},
        {"hardware input", device(), RoutingSourceMeterTarget{source(SourceType::hardwareInput), 1},
         {"src", 0, true}},
        {"source, device off", device(false),
         RoutingSourceMeterTarget{source(SourceType::system), 1}, {"src", 0, false}},
        {"pass-thru, device off", device(false),
         RoutingSourceMeterTarget{source(SourceType::passThru), 1}, {input, 0, false}},
        {"source off", device(), RoutingSourceMeterTarget{source(SourceType::system, false), 1},
         {"src", 0, false}},
        {"source muted", device(),
         RoutingSourceMeterTarget{source(SourceType::system, true, true), 1}, {"src", 0, false}},
        {"output", device(), RoutingOutputMeterTarget{2}, {output, 1, true}},
        {"output, device off", device(false), RoutingOutputMeterTarget{1}, {output, 0, false}},
        {"monitor", device(), RoutingMonitorMeterTarget{monitor(), true, 2}, {"mon", 1, true}},
        {"monitor, device off", device(false), RoutingMonitorMeterTarget{monitor(), true, 1},
         {"mon", 0, true}},
        {"monitor, output absent", device(), RoutingMonitorMeterTarget{monitor(), false, 1},
         {"mon", 0, false}},
        {"monitor off", device(), RoutingMonitorMeterTarget{monitor(false), true, 1},
         {"mon", 0, false}},
        {"monitor muted", device(), RoutingMonitorMeterTarget{monitor(true, true), true, 1},
         {"mon", 0, false}},
    };
    for (const auto& row : rows) {
        const auto got = routingMeterSelection(row.device, row.target);
        EXPECT_EQ(got.ownerID, row.expected.ownerID) << row.name;
        EXPECT_EQ(got.channelIndex, row.expected.channelIndex) << row.name;
        EXPECT_EQ(got.active, row.expected.active) << row.name;
    }
}

class RoutingMeterViewTest : public ModelTest {};

// The view reads the meter model's cache, and a new target re-points the same meter.
TEST_F(RoutingMeterViewTest, TheMeterReadsItsChannelFromTheMeterModelsCache) {
    TidewellMeterModel meters(std::make_shared<MeterTap>(), environment());
    QWidget parent;
    auto* view = new RoutingMeterView(meters, device(),
                                      RoutingSourceMeterTarget{source(SourceType::application), 2},
                                      &parent);
    parent.show();
    const double now = 1000;
    meters.tap()->update({{"src", {{0.0, 0.5}, {0.0, 0.5}}}}, now);
    view->step(now);
    view->step(now + 0.1);
    EXPECT_GT(view->ballistics().bar(), 0.5);

    view->setTarget(device(), RoutingSourceMeterTarget{source(SourceType::application), 1});
    EXPECT_EQ(view->channelIndex(), 0);
    view->setTarget(device(), RoutingSourceMeterTarget{source(SourceType::application, true, true), 1});
    EXPECT_FALSE(view->isActive());
}

}  // namespace
}  // namespace tidewell::testing
