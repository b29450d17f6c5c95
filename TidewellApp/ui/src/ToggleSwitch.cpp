#include "TidewellApp/ToggleSwitch.h"

#include "TidewellApp/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

namespace tidewell {

namespace {
constexpr int trackWidth = 32;
constexpr int trackHeight = 18;
}  // namespace

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent), animation_(new QVariantAnimation(this)) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    animation_->setDuration(150);
    animation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        knob_ = value.toReal();
        update();
    });
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        animation_->stop();
        // Only a visible switch animates; set programmatically while hidden it just jumps.
        if (!isVisible()) {
            knob_ = on ? 1 : 0;
            update();
            return;
        }
        animation_->setStartValue(knob_);
        animation_->setEndValue(on ? 1.0 : 0.0);
        animation_->start();
    });
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

QSize ToggleSwitch::sizeHint() const { return QSize(trackWidth + 2, trackHeight + 2); }

bool ToggleSwitch::hitButton(const QPoint& pos) const { return rect().contains(pos); }

void ToggleSwitch::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const bool dark = scheme == ColorScheme::dark;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(0.45);

    const QRectF track(QPointF((width() - trackWidth) / 2.0, (height() - trackHeight) / 2.0),
                       QSizeF(trackWidth, trackHeight));
    const qreal radius = track.height() / 2;
    QColor off = dark ? QColor::fromRgbF(1, 1, 1, 0.16f) : QColor::fromRgbF(0, 0, 0, 0.10f);
    QColor on = Theme::accent(scheme);
    QColor fill;
    fill.setRgbF(off.redF() + (on.redF() - off.redF()) * float(knob_),
                 off.greenF() + (on.greenF() - off.greenF()) * float(knob_),
                 off.blueF() + (on.blueF() - off.blueF()) * float(knob_),
                 off.alphaF() + (on.alphaF() - off.alphaF()) * float(knob_));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);
    if (!dark && knob_ < 1) {
        painter.setPen(QPen(QColor::fromRgbF(0, 0, 0, 0.08f * float(1 - knob_)), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    }

    const qreal knobDiameter = track.height() - 4;
    const qreal travel = track.width() - 4 - knobDiameter;
    const QRectF knob(track.left() + 2 + travel * knob_, track.top() + 2, knobDiameter, knobDiameter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgbF(0, 0, 0, dark ? 0.35f : 0.18f));
    painter.drawEllipse(knob.translated(0, 0.75));
    painter.setBrush(dark ? QColor::fromRgbF(0.92f, 0.92f, 0.94f) : QColor(Qt::white));
    painter.drawEllipse(knob);

    // The focus ring shows only when the keyboard moved the focus here.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QPen ring(Theme::accent(scheme), 2);
        ring.setColor([&] { QColor c = Theme::accent(scheme); c.setAlphaF(0.5f); return c; }());
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    }
}

}  // namespace tidewell
