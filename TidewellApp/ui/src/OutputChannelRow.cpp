#include "TidewellApp/OutputChannelRow.h"

#include "TidewellApp/Bindings.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingMeterView.h"

#include <QVBoxLayout>

namespace tidewell {

OutputChannelRow::OutputChannelRow(TidewellAppModel& model, const TidewellMeterModel& meters,
                                   const DeviceConfig& device, std::int64_t channel, QWidget* parent)
    : QWidget(parent), channel_(channel) {
    const RoutingEndpointID end{"deviceOutput", device.id, channel};
    // Wires from source channels are dropped on the left port; the right one starts wires to
    // monitor channels. The canvas lights the left port while a source channel's drag runs.
    input_ = new RoutingChannelPort({end, RoutingPortRole::outputInput}, false);
    output_ = new RoutingChannelPort({end, RoutingPortRole::outputOutput}, true);
    meter_ = new RoutingMeterView(meters, device, RoutingOutputMeterTarget{channel});
    card_ = new RoutingChannelRow(title(channel), std::nullopt,
                                  deviceChannelGainBinding(model, device.id, channel), input_,
                                  meter_, output_, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    layout->addWidget(card_);
}

QString OutputChannelRow::title(std::int64_t channel) {
    if (channel == 1) return QStringLiteral("Channel 1 (L)");
    if (channel == 2) return QStringLiteral("Channel 2 (R)");
    return QStringLiteral("Channel %1").arg(channel);
}

void OutputChannelRow::refresh() { card_->refresh(); }

}  // namespace tidewell
