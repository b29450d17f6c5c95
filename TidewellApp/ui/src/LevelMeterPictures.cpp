#include "LevelMeterPictures.h"

#include "TidewellApp/RoutingLevelMeter.h"

#include <QLinearGradient>
#include <QPainter>

#include <cmath>
#include <map>
#include <tuple>

namespace tidewell::LevelMeterPictures {

namespace {

enum class Kind { track, fullBar, barEnd, clipDot };

// Kind, size, pixel ratio in hundredths, and what else tells two pictures apart.
using Key = std::tuple<Kind, int, int, int, quint64>;

std::map<Key, QImage>& cache() {
    static std::map<Key, QImage> pictures;  // QImage needs no running application to die
    return pictures;
}

Key keyOf(Kind kind, const Geometry& g, quint64 extra) {
    return {kind, g.width, g.height, int(std::lround(g.devicePixelRatio * 100)), extra};
}

quint64 colourKey(const QColor& colour) { return colour.rgba64(); }

QImage blank(const Geometry& g, qreal widthPoints) {
    QImage image(int(std::ceil(widthPoints * g.devicePixelRatio)),
                 int(std::ceil(g.height * g.devicePixelRatio)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(g.devicePixelRatio);
    return image;
}

QLinearGradient barGradient(const Geometry& g) {
    const QColor green = RoutingLevelMeter::green();
    const QColor amber = RoutingLevelMeter::amber();
    const QColor red = RoutingLevelMeter::red();
    QLinearGradient gradient(0, 0, g.width, 0);
    gradient.setStops({{0.0, green}, {0.656, green}, {0.8, amber}, {0.9215, amber}, {0.95, red},
                       {1.0, red}});
    return gradient;
}

// Draws the bar of `barWidth` into `image`, shifted left by `offset` points.
void drawBar(QImage& image, const Geometry& g, qreal barWidth, qreal offset) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.translate(-offset, 0);
    painter.setBrush(barGradient(g));
    const qreal radius = g.height / 2.0;
    painter.drawRoundedRect(QRectF(0, 0, barWidth, g.height), radius, radius);
}

template <typename Draw>
const QImage& cached(const Key& key, Draw draw) {
    auto& pictures = cache();
    auto found = pictures.find(key);
    if (found == pictures.end()) found = pictures.emplace(key, draw()).first;
    return found->second;
}

}  // namespace

const QImage& track(const Geometry& g, const QColor& trackColour, const QColor& stubColour) {
    const quint64 extra = colourKey(trackColour) ^ (colourKey(stubColour) * 0x9e3779b97f4a7c15ULL);
    return cached(keyOf(Kind::track, g, extra), [&] {
        QImage image = blank(g, g.width);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const qreal radius = g.height / 2.0;
        painter.setBrush(trackColour);
        painter.drawRoundedRect(QRectF(0, 0, g.width, g.height), radius, radius);
        if (stubColour.alpha() > 0) {
            painter.setBrush(stubColour);
            painter.drawEllipse(QRectF(0, 0, g.height, g.height));
        }
        return image;
    });
}

const QImage& fullBar(const Geometry& g) {
    return cached(keyOf(Kind::fullBar, g, 0), [&] {
        QImage image = blank(g, g.width);
        drawBar(image, g, g.width, 0);
        return image;
    });
}

BarEnd barEnd(const Geometry& g, qreal barWidth) {
    const qreal quarters = std::round(barWidth * 4);
    const qreal width = quarters / 4;
    const qreal ratio = g.devicePixelRatio;
    // The straight part (and the left end) is the full bar's; only the right end differs.
    const qreal cut = std::max(0.0, std::floor((width - g.height / 2.0) * ratio) / ratio);
    const QImage& image = cached(keyOf(Kind::barEnd, g, quint64(quarters)), [&] {
        QImage end = blank(g, width - cut);
        drawBar(end, g, width, cut);
        return end;
    });
    return {&image, cut};
}

const QImage& clipDot(const Geometry& g, const QColor& colour) {
    return cached(keyOf(Kind::clipDot, g, colourKey(colour)), [&] {
        QImage image = blank(g, g.height);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(0, 0, g.height, g.height));
        return image;
    });
}

}  // namespace tidewell::LevelMeterPictures
