#pragma once
// The small card of one audio channel in every column of the routing canvas: a side slot, the
// channel's name (with an optional second line), the channel's level meter, a toggle for the
// channel's own volume and the other side slot; under that line, while open, the channel's
// volume slider with its percentage and a "Reset" link.
//
// The row holds no reference to the application model: it reads and writes the channel gain
// through the binding its caller gives it and keeps no copy of the value. Call refresh() when
// the bound value may have changed elsewhere (e.g. on the model's live-snapshot signal); the
// row refreshes itself after its own writes. Whether the volume control is open is the row's
// own state: a new row starts closed and keeps the state as long as it lives.

#include "TidewellApp/Bindings.h"

#include <QWidget>

#include <optional>

class QAbstractButton;
class QHBoxLayout;
class QPropertyAnimation;
class QToolButton;
class QVBoxLayout;

namespace tidewell {

class ContinuousSlider;
class ElidingLabel;
class LinkButton;
class VolumeSliderLine;

class RoutingChannelRow : public QWidget {
    Q_OBJECT
public:
    // The side slots are 18 x 18; their views and the meter are chosen by the caller (a
    // nullptr slot stays empty). The row takes ownership of the three views. Without a gain
    // binding (or with one that has no getter) the row offers no volume toggle and no control.
    RoutingChannelRow(const QString& title, const std::optional<QString>& subtitle,
                      std::optional<Binding<double>> channelGain, QWidget* leading,
                      QWidget* meter, QWidget* trailing, QWidget* parent = nullptr);

    static constexpr int slotSide = 18;
    static constexpr int nameMinimumWidth = 34;
    static constexpr int nameWithSubtitleMinimumWidth = 42;
    static constexpr qreal cornerRadius = 6;
    static constexpr int expandMilliseconds = 150;

    QString title() const;
    // A kept row follows its channel's name (an input device may rename its channels).
    void setTitle(const QString& title);
    std::optional<QString> subtitle() const;
    bool hasChannelGain() const { return gain_.has_value(); }
    bool isExpanded() const { return expanded_; }

    QWidget* leading() const { return leading_; }
    QWidget* meter() const { return meter_; }
    QWidget* trailing() const { return trailing_; }
    QWidget* nameBlock() const { return nameBlock_; }
    // The channel's name as drawn: cut to its width, its number and side kept whole.
    ElidingLabel* titleLabel() const { return title_; }
    // The volume toggle, the volume line and its parts; nullptr when there is no gain binding.
    QToolButton* volumeToggle() const { return toggle_; }
    QColor volumeToggleColor() const { return toggleColor_; }
    QWidget* volumeControl() const { return control_; }
    ContinuousSlider* volumeSlider() const;
    QString percentText() const;
    LinkButton* resetButton() const { return reset_; }
    // The card's fill for the current scheme.
    static QColor cardFill(bool dark);

public slots:
    // Shows the binding's current value in the toggle's colour, the percentage, the slider and
    // the reset link.
    void refresh();

signals:
    void expandedChanged(bool expanded);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* slot(QWidget* view);
    void toggleExpanded();
    void showControl(bool animated);
    void applyToggleLook();

    std::optional<Binding<double>> gain_;
    bool expanded_ = false;
    QVBoxLayout* stack_;
    QWidget* leading_;
    QWidget* meter_;
    QWidget* trailing_;
    QWidget* nameBlock_;
    ElidingLabel* title_;
    ElidingLabel* subtitle_ = nullptr;
    QToolButton* toggle_ = nullptr;
    QColor toggleColor_;
    QWidget* control_ = nullptr;
    VolumeSliderLine* line_ = nullptr;
    LinkButton* reset_ = nullptr;
    QPropertyAnimation* animation_ = nullptr;
};

}  // namespace tidewell
