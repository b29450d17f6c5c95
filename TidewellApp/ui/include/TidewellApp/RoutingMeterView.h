#pragma once
// Which reading the level meter beside a channel row shows: the owner id it is published
// under, the channel's index in it, and whether the meter is live at all.

#include "TidewellApp/RoutingLevelMeter.h"
#include "TidewellCore/ConfigModel.h"

#include <cstdint>
#include <string>
#include <variant>

namespace tidewell {

class TidewellMeterModel;

// A channel of one source of the device (channels count from 1).
struct RoutingSourceMeterTarget {
    SourceConfig source;
    std::int64_t channel = 1;
};
// An output channel of the device itself.
struct RoutingOutputMeterTarget {
    std::int64_t channel = 1;
};
// A channel of one monitor; `available`: the monitor's output device is present.
struct RoutingMonitorMeterTarget {
    MonitorConfig monitor;
    bool available = false;
    std::int64_t channel = 1;
};
using RoutingMeterTarget =
    std::variant<RoutingSourceMeterTarget, RoutingOutputMeterTarget, RoutingMonitorMeterTarget>;

struct RoutingMeterSelection {
    std::string ownerID;
    int channelIndex = 0;
    bool active = false;
    bool operator==(const RoutingMeterSelection&) const = default;
};

// A pass-thru source has no meter of its own and shows the device's input side; every other
// source and every monitor is read under its own id; the output channels read the device's
// output side. Source and output meters go quiet with the device; a monitor meter does not.
RoutingMeterSelection routingMeterSelection(const DeviceConfig& device,
                                            const RoutingMeterTarget& target);

// The level meter of one channel row, reading the meter model's cache.
class RoutingMeterView : public RoutingLevelMeter {
    Q_OBJECT
public:
    RoutingMeterView(const TidewellMeterModel& meters, const DeviceConfig& device,
                     RoutingMeterTarget target, QWidget* parent = nullptr);

    // The row was rebuilt: the same meter, perhaps another reading. The ballistics stay.
    void setTarget(const DeviceConfig& device, RoutingMeterTarget target);
    const RoutingMeterTarget& target() const { return target_; }

private:
    RoutingMeterTarget target_;
};

}  // namespace tidewell
