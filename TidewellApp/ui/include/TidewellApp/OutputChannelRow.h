#pragma once
// One output channel of the virtual device: a channel card with the channel's two ports (wires
// from source channels end on the left one, wires to monitor channels start at the right one),
// the channel's output meter and the channel's own volume, bound to the model's per-channel
// gain of the device.

#include "TidewellCore/ConfigModel.h"

#include <QWidget>

#include <cstdint>

namespace tidewell {

class RoutingChannelPort;
class RoutingChannelRow;
class RoutingMeterView;
class TidewellAppModel;
class TidewellMeterModel;

class OutputChannelRow : public QWidget {
    Q_OBJECT
public:
    static constexpr int cardPadding = 2;

    OutputChannelRow(TidewellAppModel& model, const TidewellMeterModel& meters,
                     const DeviceConfig& device, std::int64_t channel, QWidget* parent = nullptr);

    // "Channel 1 (L)", "Channel 2 (R)", "Channel 3", ...
    static QString title(std::int64_t channel);

    std::int64_t channel() const { return channel_; }
    RoutingChannelRow* card() const { return card_; }
    RoutingChannelPort* inputPort() const { return input_; }
    RoutingChannelPort* outputPort() const { return output_; }
    RoutingMeterView* meter() const { return meter_; }

public slots:
    // Shows the channel gain as the model holds it now.
    void refresh();

private:
    std::int64_t channel_;
    RoutingChannelPort* input_;
    RoutingChannelPort* output_;
    RoutingMeterView* meter_;
    RoutingChannelRow* card_;
};

}  // namespace tidewell
