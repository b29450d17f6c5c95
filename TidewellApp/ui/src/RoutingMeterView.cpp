#include "TidewellApp/RoutingMeterView.h"

#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/RuntimeMeterStore.h"

#include <memory>

namespace tidewell {

namespace {

int channelIndex(std::int64_t channel) { return int(channel - 1); }

}  // namespace

RoutingMeterSelection routingMeterSelection(const DeviceConfig& device,
                                            const RoutingMeterTarget& target) {
    if (const auto* source = std::get_if<RoutingSourceMeterTarget>(&target)) {
        const SourceConfig& config = source->source;
        return {config.type == SourceType::passThru
                    ? RuntimeMeterStore::sourceOwnerID(device.uid)
                    : config.id,
                channelIndex(source->channel),
                device.enabled && config.enabled && !config.muted};
    }
    if (const auto* output = std::get_if<RoutingOutputMeterTarget>(&target)) {
        return {RuntimeMeterStore::outputOwnerID(device.uid), channelIndex(output->channel),
                device.enabled};
    }
    const auto& monitor = std::get<RoutingMonitorMeterTarget>(target);
    return {monitor.monitor.id, channelIndex(monitor.channel),
            monitor.available && monitor.monitor.enabled && !monitor.monitor.muted};
}

RoutingMeterView::RoutingMeterView(const TidewellMeterModel& meters, const DeviceConfig& device,
                                   RoutingMeterTarget target, QWidget* parent)
    : RoutingLevelMeter(parent), target_(std::move(target)) {
    // The cache is shared; holding it keeps a meter that outlives its row's model harmless.
    setReadingSource([tap = meters.tap()](std::string_view ownerID, double now) {
        return tap->reading(ownerID, now);
    });
    setTarget(device, target_);
}

void RoutingMeterView::setTarget(const DeviceConfig& device, RoutingMeterTarget target) {
    target_ = std::move(target);
    const RoutingMeterSelection selection = routingMeterSelection(device, target_);
    setOwnerID(selection.ownerID);
    setChannelIndex(selection.channelIndex);
    setActive(selection.active);
}

}  // namespace tidewell
