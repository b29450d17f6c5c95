#pragma once
// The card of one source of the shown device: its icon, name and status line, the switch, the
// mute, "Use This Source" (developer mode), delete, the source's volume, "Mute when capturing"
// (application and system sources), and one channel row per channel with its meter, its own
// volume (not for pass-thru) and the port wires start from.
//
// The card keeps its widgets while its source exists: the column hands it every new copy of
// the device, and it keeps the channel rows whose channel is still there (an open channel
// volume stays open). Every control edits through the model's bindings and shows the bound
// value, pending edits included; the status line follows the model's device inventory and
// application list.

#include "TidewellApp/Bindings.h"

#include <QPointer>
#include <QWidget>

#include <map>

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace tidewell {

class ApplicationIcon;
class ElidingLabel;
class SourceChannelRows;
class TidewellMeterModel;
class ToggleSwitch;
class VolumeSliderLine;

class SourceRow : public QWidget {
    Q_OBJECT
public:
    // The card is a glass card of this radius filling the row; the column paints it behind the
    // row, so that its shadow may fall into the gaps between the cards.
    static constexpr qreal cornerRadius = 12;

    SourceRow(TidewellAppModel& model, const TidewellMeterModel& meters, const DeviceConfig& device,
              const SourceConfig& source, QWidget* parent = nullptr);

    // A new copy of the device, which still holds this row's source (same id).
    void setSource(const DeviceConfig& device, const SourceConfig& source);
    const SourceConfig& source() const { return source_; }
    const DeviceConfig& device() const { return device_; }

    // Points the in-application capture helpers at this source (developer diagnostics); the
    // configuration does not change.
    void useSource();

    // The pieces, for the canvas and for tests.
    QWidget* iconView() const { return icon_; }
    ElidingLabel* nameLabel() const { return name_; }
    ElidingLabel* subtitleLabel() const { return subtitle_; }
    ToggleSwitch* enableSwitch() const { return enabled_; }
    QToolButton* muteButton() const { return mute_; }
    QToolButton* useButton() const { return use_; }
    QToolButton* deleteButton() const { return delete_; }
    VolumeSliderLine* gainLine() const { return gain_; }
    SourceChannelRows* channelRows() const { return channels_; }
    // Shown only for application and system sources.
    QCheckBox* muteWhenCapturingBox() const { return muteWhenCapturing_; }
    // The symbol the mute button shows now.
    QString muteSymbol() const { return muteSymbol_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void makeBindings();
    void buildHeader(QVBoxLayout* card);
    void buildIcon();
    void refreshApplicationIcon();
    // Shows the bound values (the pending edit first).
    void refreshValues();
    // The status line and the channel titles, from the model's lists.
    void refreshStatus();
    void refreshUseButton();
    void refreshScheme();

    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    DeviceConfig device_;
    SourceConfig source_;

    Binding<bool> enabledBinding_;
    Binding<bool> mutedBinding_;
    Binding<bool> muteWhenCapturingBinding_;
    Binding<double> gainBinding_;

    QHBoxLayout* header_ = nullptr;
    QWidget* iconSlot_ = nullptr;
    QWidget* icon_ = nullptr;
    // Whether the application was running when its icon was last looked up: its icon is then
    // its process's, and it changes when the application starts or quits.
    bool iconOfRunningApplication_ = false;
    ElidingLabel* name_ = nullptr;
    ElidingLabel* subtitle_ = nullptr;
    ToggleSwitch* enabled_ = nullptr;
    QToolButton* mute_ = nullptr;
    QToolButton* use_ = nullptr;
    QToolButton* delete_ = nullptr;
    VolumeSliderLine* gain_ = nullptr;
    QCheckBox* muteWhenCapturing_ = nullptr;
    SourceChannelRows* channels_ = nullptr;
    QString muteSymbol_;
};

}  // namespace tidewell
