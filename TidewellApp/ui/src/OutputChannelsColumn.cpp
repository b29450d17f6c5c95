#include "TidewellApp/OutputChannelsColumn.h"

#include "TidewellApp/ChannelCountMenu.h"
#include "TidewellApp/DeviceVolumeRow.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/OutputChannelRow.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/VirtualDeviceInfoPopover.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace tidewell {

namespace {

QString headerFor(const DeviceConfig& device) {
    return QString::fromStdString(device.name) + QStringLiteral(" Virtual Audio");
}

}  // namespace

OutputChannelsColumn::OutputChannelsColumn(const RoutingCanvasContext& context, QWidget* parent)
    : RoutingCanvasColumn(parent), deviceID_(context.device.id) {
    const DeviceConfig& device = context.device;
    auto* content = new QWidget;
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);

    // The menu lines up with the card's visible edges, inside the room kept for its shadow.
    const QMargins shadow = GlassCard::shadowMargins();
    auto* menuLine = new QHBoxLayout;
    menuLine->setContentsMargins(shadow.left(), 0, shadow.right(), 0);
    menu_ = new ChannelCountMenu(context.model, device, content);
    menuLine->addWidget(menu_);
    stack->addLayout(menuLine);

    card_ = new GlassCard(cardCornerRadius, content);
    cardLayout_ = new QVBoxLayout(card_);
    cardLayout_->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    cardLayout_->setSpacing(8);
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header_ = new ElidingLabel(headerFor(device), card_);
    header_->setFont(Theme::font(13, QFont::Medium));
    info_ = new VirtualDeviceInfoButton(QString::fromStdString(device.name), card_);
    header->addWidget(header_, 1, Qt::AlignVCenter);
    header->addWidget(info_, 0, Qt::AlignVCenter);
    cardLayout_->addLayout(header);
    volume_ = new DeviceVolumeRow(context.model, device, card_);
    cardLayout_->addWidget(volume_);
    stack->addWidget(card_);

    column_ = new RoutingColumn(QStringLiteral("Output Channels"), QStringLiteral("rectangle.split.2x1"), content,
                                this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(column_);

    // Live edits change what the controls show before the saved copy arrives.
    connect(&context.model, &TidewellAppModel::liveSnapshotChanged, this, &OutputChannelsColumn::refreshValues);
    connect(&context.model, &TidewellAppModel::snapshotChanged, this, &OutputChannelsColumn::refreshValues);
    updateRows(context);
}

RoutingColumnFactory OutputChannelsColumn::factory() {
    return [](const RoutingCanvasContext& context) -> RoutingCanvasColumn* {
        return new OutputChannelsColumn(context);
    };
}

void OutputChannelsColumn::updateRows(const RoutingCanvasContext& context) {
    const DeviceConfig& device = context.device;
    if (device.id != deviceID_) {
        // Another device: every port and binding names the old one.
        for (auto& [channel, row] : rows_) {
            cardLayout_->removeWidget(row);
            row->hide();
            row->deleteLater();
        }
        rows_.clear();
        deviceID_ = device.id;
    }
    menu_->setDevice(device);
    header_->setText(headerFor(device));
    info_->setDeviceName(QString::fromStdString(device.name));
    volume_->setDevice(context.model, device);

    const std::vector<std::int64_t> numbers = channelNumbers(device.channelCount);
    const std::set<std::int64_t> wanted(numbers.begin(), numbers.end());
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        // The update may come from inside this row's own port report.
        cardLayout_->removeWidget(it->second);
        it->second->hide();
        it->second->deleteLater();
        it = rows_.erase(it);
    }
    // The header and the volume line come first; the rows follow in channel order.
    int position = 2;
    for (const std::int64_t channel : numbers) {
        OutputChannelRow*& row = rows_[channel];
        if (!row) {
            row = new OutputChannelRow(context.model, context.meters, device, channel, card_);
        } else {
            cardLayout_->removeWidget(row);
        }
        cardLayout_->insertWidget(position++, row);
    }
    refreshValues();
}

void OutputChannelsColumn::refreshValues() {
    volume_->refresh();
    for (auto& [channel, row] : rows_) row->refresh();
}

QString OutputChannelsColumn::headerText() const { return header_->text(); }

QList<OutputChannelRow*> OutputChannelsColumn::rows() const {
    QList<OutputChannelRow*> ordered;
    for (const auto& [channel, row] : rows_) ordered.append(row);
    return ordered;
}

OutputChannelRow* OutputChannelsColumn::row(std::int64_t channel) const {
    const auto found = rows_.find(channel);
    return found == rows_.end() ? nullptr : found->second;
}

}  // namespace tidewell
