#pragma once
// An on/off switch: a capsule track with a round knob that slides to the on side, the track
// filled with the accent colour while on.

#include <QAbstractButton>

class QVariantAnimation;

namespace tidewell {

class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The knob's position from 0 (off) to 1 (on); it moves while the switch animates.
    qreal knobPosition() const { return knob_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    qreal knob_ = 0;
    QVariantAnimation* animation_;
};

}  // namespace tidewell
