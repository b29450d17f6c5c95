#pragma once
// One monitor of the shown device, as a card of the monitors column: its state, name and
// output, its switch, mute and volume, and one channel row per monitor channel with the port
// that wires from the device's output channels end on. The card keeps no copy of the values it
// shows: the switch, mute and volume read the model's bindings again whenever the model's
// configuration (saved or being edited) changes, and write through them.
//
// The column keeps a card while its monitor exists and hands it each new copy of the device;
// channel rows are kept by channel number, so an open channel volume stays open.

#include "TidewellApp/Bindings.h"
#include "TidewellCore/ConfigModel.h"

#include <QColor>
#include <QWidget>

#include <map>
#include <optional>

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace tidewell {

class ContinuousSlider;
class ElidingLabel;
class RoutingChannelRow;
class TidewellAppModel;
class TidewellMeterModel;
class ToggleSwitch;

class MonitorRow : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal cornerRadius = 12;
    static constexpr int padding = 10;

    MonitorRow(TidewellAppModel& model, const TidewellMeterModel& meters,
               const DeviceConfig& device, const MonitorConfig& monitor,
               QWidget* parent = nullptr);

    // A new copy of the device and of this row's monitor (same id).
    void setMonitor(const DeviceConfig& device, const MonitorConfig& monitor);
    const MonitorConfig& monitor() const { return monitor_; }

    // The colour of this monitor's wires and port rings: palette place (number of sources +
    // the monitor's position); none when the device does not hold the monitor.
    std::optional<QColor> monitorTint() const;

    // The title of a channel row: "<c> · <name>" when the output device names the channel,
    // else "Channel 1 (L)", "Channel 2 (R)", "Channel <c>".
    QString channelTitle(std::int64_t channel) const;

    // "<output name>  <n>ch", orange while the output device is not present.
    QString statusText() const;
    bool outputIsAvailable() const;
    QString stateSymbol() const;

    QLabel* stateIcon() const { return stateIcon_; }
    ElidingLabel* nameLabel() const { return name_; }
    ElidingLabel* statusLabel() const { return status_; }
    ToggleSwitch* enableSwitch() const { return enable_; }
    QToolButton* useButton() const { return use_; }
    QToolButton* deleteButton() const { return delete_; }
    QToolButton* muteButton() const { return mute_; }
    ContinuousSlider* volumeSlider() const { return volume_; }
    QLabel* percentLabel() const { return percent_; }
    // The channel rows, by channel number.
    const std::map<std::int64_t, RoutingChannelRow*>& channelRows() const { return channels_; }
    RoutingChannelRow* channelRow(std::int64_t channel) const;

private:
    void refreshHeader();
    void refreshValues();
    void refreshSymbols();
    void refreshChannels();
    RoutingChannelRow* makeChannelRow(std::int64_t channel);
    void useThisMonitor();

    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    DeviceConfig device_;
    MonitorConfig monitor_;
    Binding<bool> enabled_;
    Binding<bool> muted_;
    Binding<double> gain_;

    QLabel* stateIcon_;
    ElidingLabel* name_;
    ElidingLabel* status_;
    ToggleSwitch* enable_;
    QToolButton* use_;
    QToolButton* delete_;
    QToolButton* mute_;
    ContinuousSlider* volume_;
    QLabel* percent_;
    QVBoxLayout* channelStack_;
    std::map<std::int64_t, RoutingChannelRow*> channels_;
};

}  // namespace tidewell
