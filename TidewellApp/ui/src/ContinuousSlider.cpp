#include "TidewellApp/ContinuousSlider.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/Theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tidewell {

namespace {
constexpr qreal knobDiameter = 14;
constexpr qreal trackHeight = 4;
}  // namespace

ContinuousSlider::ContinuousSlider(double minimum, double maximum, QWidget* parent)
    : QWidget(parent), minimum_(minimum), maximum_(std::max(minimum, maximum)), value_(minimum) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            qOverload<>(&QWidget::update));
}

void ContinuousSlider::setValue(double value) {
    const double held = std::isnan(value) ? minimum_ : std::clamp(value, minimum_, maximum_);
    if (held == value_) return;
    value_ = held;
    update();
}

qreal ContinuousSlider::trackStart() const { return knobDiameter / 2; }
qreal ContinuousSlider::trackEnd() const { return std::max(trackStart(), width() - knobDiameter / 2); }

double ContinuousSlider::valueAt(qreal x) const {
    const qreal span = trackEnd() - trackStart();
    if (span <= 0) return minimum_;
    const double fraction = std::clamp((x - trackStart()) / span, 0.0, 1.0);
    return minimum_ + fraction * (maximum_ - minimum_);
}

QPointF ContinuousSlider::knobCentre() const {
    const double range = maximum_ - minimum_;
    const double fraction = range > 0 ? (value_ - minimum_) / range : 0.0;
    return {trackStart() + fraction * (trackEnd() - trackStart()), height() / 2.0};
}

QSize ContinuousSlider::sizeHint() const { return {120, int(knobDiameter) + 4}; }
QSize ContinuousSlider::minimumSizeHint() const { return {40, int(knobDiameter) + 4}; }

void ContinuousSlider::edit(double value) {
    setValue(value);
    emit valueEdited(value_);
}

void ContinuousSlider::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF knob = knobCentre();
    const qreal y = height() / 2.0 - trackHeight / 2;
    QColor groove = Theme::primaryText(scheme);
    groove.setAlphaF(0.15);
    painter.setPen(Qt::NoPen);
    painter.setBrush(groove);
    painter.drawRoundedRect(QRectF(trackStart(), y, trackEnd() - trackStart(), trackHeight), 2, 2);
    QColor fill = Theme::accent(scheme);
    if (!isEnabled()) fill.setAlphaF(0.4);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(trackStart(), y, knob.x() - trackStart(), trackHeight), 2, 2);
    const QRectF knobRect(knob.x() - knobDiameter / 2, knob.y() - knobDiameter / 2, knobDiameter,
                          knobDiameter);
    painter.setBrush(scheme == ColorScheme::dark ? QColor(220, 220, 224) : QColor(Qt::white));
    QColor rim = Theme::primaryText(scheme);
    rim.setAlphaF(hasFocus() ? 0.45 : 0.25);
    painter.setPen(QPen(rim, 0.8));
    painter.drawEllipse(knobRect.adjusted(0.5, 0.5, -0.5, -0.5));
}

void ContinuousSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    dragging_ = true;
    edit(valueAt(event->position().x()));
}

void ContinuousSlider::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) edit(valueAt(event->position().x()));
}

void ContinuousSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::LeftButton) dragging_ = false;
}

void ContinuousSlider::keyPressEvent(QKeyEvent* event) {
    const double step = (maximum_ - minimum_) / 100;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down: edit(value_ - step); break;
    case Qt::Key_Right:
    case Qt::Key_Up: edit(value_ + step); break;
    case Qt::Key_Home: edit(minimum_); break;
    case Qt::Key_End: edit(maximum_); break;
    default: QWidget::keyPressEvent(event);
    }
}

}  // namespace tidewell
