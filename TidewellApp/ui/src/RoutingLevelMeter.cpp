#include "TidewellApp/RoutingLevelMeter.h"

#include "LevelMeterPictures.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/MeterClock.h"
#include "TidewellApp/Theme.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace tidewell {

namespace {

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(float(alpha));
    return colour;
}

// A reading's value for one channel; a channel outside the list reads as silence.
double channelValue(const std::vector<double>& values, int index) {
    return index >= 0 && std::size_t(index) < values.size() ? values[std::size_t(index)] : 0.0;
}

}  // namespace

MeterReadingSource meterTapSource(const MeterTap& tap) {
    return [&tap](std::string_view ownerID, double now) { return tap.reading(ownerID, now); };
}

QColor RoutingLevelMeter::green() { return QColor::fromRgbF(0.2f, 0.78f, 0.47f); }
QColor RoutingLevelMeter::amber() { return QColor::fromRgbF(0.95f, 0.73f, 0.22f); }
QColor RoutingLevelMeter::red() { return QColor::fromRgbF(0.92f, 0.28f, 0.25f); }

RoutingLevelMeter::AppliedState RoutingLevelMeter::appliedState(
    const MeterBallistics::Levels& levels, double width, double height) {
    AppliedState state;
    state.barWidth = levels.bar > 0.001 ? std::max(levels.bar * width, height) : -1;
    if (levels.peak > 0.02) {
        state.tickX = std::min(levels.peak * width, width - 1.5);
        state.tickOpacity = std::min((levels.peak - 0.02) * 12, 1.0);
    }
    state.clipped = levels.clipped;
    return state;
}

RoutingLevelMeter::RoutingLevelMeter(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    resize(sizeHint());
    setAttribute(Qt::WA_NoSystemBackground);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] {
        applied_.reset();
        update();
    });
    MeterClock::shared().subscribe(this, [this](double now) { step(now); });
}

void RoutingLevelMeter::setReadingSource(MeterReadingSource source) { source_ = std::move(source); }

void RoutingLevelMeter::setOwnerID(std::string ownerID) { ownerID_ = std::move(ownerID); }

void RoutingLevelMeter::setChannelIndex(int index) { channelIndex_ = index; }

void RoutingLevelMeter::setActive(bool active) {
    if (active_ == active) return;
    active_ = active;
    update();  // the stub shows exactly while active
}

void RoutingLevelMeter::step(double now) {
    if (!parentWidget() || !isVisible()) return;

    double rms = 0;
    double peakSample = 0;
    if (active_ && source_) {
        if (const auto reading = source_(ownerID_, now)) {
            rms = channelValue(reading->levels, channelIndex_);
            peakSample = channelValue(reading->peaks, channelIndex_);
        }
    }
    const auto levels = ballistics_.step(rms, peakSample, now);
    const AppliedState state = appliedState(levels, width(), height());
    if (applied_ == state) return;
    applied_ = state;
    shown_ = state;
    update();
}

void RoutingLevelMeter::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    applied_.reset();
}

void RoutingLevelMeter::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applied_.reset();
}

void RoutingLevelMeter::paintEvent(QPaintEvent*) {
    namespace Pictures = LevelMeterPictures;
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const Pictures::Geometry geometry{width(), height(), devicePixelRatioF()};
    const double w = width();
    const double h = height();

    QPainter painter(this);
    painter.drawImage(QPointF(0, 0),
                      Pictures::track(geometry, withAlpha(Theme::secondaryText(scheme), 0.24),
                                      active_ ? withAlpha(green(), 0.35) : QColor(Qt::transparent)));
    if (shown_.barWidth >= 0) {
        // The gradient spans the whole meter, so a colour marks a fixed level.
        const auto end = Pictures::barEnd(geometry, shown_.barWidth);
        const QImage& full = Pictures::fullBar(geometry);
        const qreal ratio = geometry.devicePixelRatio;
        painter.drawImage(QRectF(0, 0, end.cut, h), full,
                          QRectF(0, 0, end.cut * ratio, full.height()));
        painter.drawImage(QPointF(end.cut, 0), *end.image);
    }
    if (shown_.tickX >= 0) {
        const QColor colour = shown_.clipped
                                  ? withAlpha(red(), shown_.tickOpacity)
                                  : withAlpha(Theme::primaryText(scheme), shown_.tickOpacity * 0.65);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF tick(shown_.tickX - 0.75, 0, 1.5, h);
        const double radius = h / 2;
        if (tick.left() < radius || tick.right() > w - radius) {
            // In a round end of the track: cut to it.
            QPainterPath track;
            track.addRoundedRect(QRectF(0, 0, w, h), radius, radius);
            QPainterPath path;
            path.addRect(tick);
            painter.fillPath(path.intersected(track), colour);
        } else {
            painter.fillRect(tick, colour);
        }
    }
    if (shown_.clipped) painter.drawImage(QPointF(w - h, 0), Pictures::clipDot(geometry, red()));
}

}  // namespace tidewell
