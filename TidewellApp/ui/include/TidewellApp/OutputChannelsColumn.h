#pragma once
// The middle column of the routing canvas, standing for the virtual device itself: the
// channel-count menu, then a card with the device's name and its information button, the
// device volume and one row per output channel.
//
// Rows are kept by channel number: a row lives while its channel exists, so an open channel
// volume survives any edit, and rows of new channel numbers start closed. The controls show
// the model's working copy, following its live edits.

#include "TidewellApp/RoutingCanvasView.h"

#include <cstdint>
#include <map>

class QVBoxLayout;

namespace tidewell {

class ChannelCountMenu;
class DeviceVolumeRow;
class ElidingLabel;
class GlassCard;
class OutputChannelRow;
class RoutingColumn;
class VirtualDeviceInfoButton;

class OutputChannelsColumn : public RoutingCanvasColumn {
    Q_OBJECT
public:
    static constexpr qreal cardCornerRadius = 12;
    static constexpr int cardPadding = 10;

    explicit OutputChannelsColumn(const RoutingCanvasContext& context, QWidget* parent = nullptr);

    void updateRows(const RoutingCanvasContext& context) override;

    // What the canvas is given to make this column.
    static RoutingColumnFactory factory();

    RoutingColumn* column() const { return column_; }
    ChannelCountMenu* channelCountMenu() const { return menu_; }
    GlassCard* card() const { return card_; }
    QString headerText() const;
    VirtualDeviceInfoButton* infoButton() const { return info_; }
    DeviceVolumeRow* volumeRow() const { return volume_; }
    // The rows, in channel order.
    QList<OutputChannelRow*> rows() const;
    OutputChannelRow* row(std::int64_t channel) const;

private slots:
    void refreshValues();

private:
    std::string deviceID_;
    RoutingColumn* column_;
    ChannelCountMenu* menu_;
    GlassCard* card_;
    QVBoxLayout* cardLayout_;
    ElidingLabel* header_;
    VirtualDeviceInfoButton* info_;
    DeviceVolumeRow* volume_;
    std::map<std::int64_t, OutputChannelRow*> rows_;
};

}  // namespace tidewell
