#include "TidewellApp/DotGridBackground.h"

#include "TidewellApp/Theme.h"

#include <QPainter>
#include <QRadialGradient>

namespace tidewell {

DotGridBackground::DotGridBackground(qreal spacing, qreal dotRadius, QWidget* parent)
    : QWidget(parent), spacing_(spacing), dotRadius_(dotRadius) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

namespace {

// The glow spans only a few steps of an 8-bit channel, which would show as rings; it is
// painted at 16 bits per channel and reduced to 8 with an ordered dither.
QImage ditheredTo8Bits(const QImage& deep) {
    static constexpr int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    QImage out(deep.size(), QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(deep.devicePixelRatio());
    for (int y = 0; y < deep.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgba64*>(deep.constScanLine(y));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < deep.width(); ++x) {
            const int threshold = bayer[y & 3][x & 3];
            auto reduce = [threshold](quint16 v) {
                return qMin(255, (int(v) * 16 + threshold * 257) / (257 * 16));
            };
            const QRgba64 p = in[x];
            line[x] = qRgba(reduce(p.red()), reduce(p.green()), reduce(p.blue()), reduce(p.alpha()));
        }
    }
    return out;
}

void paintDots(QPainter& painter, QSizeF size, ColorScheme scheme, qreal spacing, qreal dotRadius) {
    if (spacing <= 0 || dotRadius <= 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::dotColor(scheme));
    const qreal diameter = 2 * dotRadius;
    for (qreal y = spacing / 2; y < size.height(); y += spacing)
        for (qreal x = spacing / 2; x < size.width(); x += spacing)
            painter.drawEllipse(QRectF(x - dotRadius, y - dotRadius, diameter, diameter));
    painter.restore();
}

}  // namespace

QImage DotGridBackground::render(QSizeF size, qreal ratio, ColorScheme scheme, qreal spacing,
                                 qreal dotRadius) {
    const QSize pixels = (size * ratio).toSize();
    if (pixels.isEmpty()) return {};
    QImage deep(pixels, QImage::Format_RGBA64_Premultiplied);
    deep.setDevicePixelRatio(ratio);
    {
        QPainter painter(&deep);
        const QRectF area(QPointF(0, 0), size);
        painter.fillRect(area, Theme::backgroundBase(scheme));
        QRadialGradient glow(QPointF(size.width() / 2, 0), 900);
        const QColor glowColour = Theme::backgroundGlow(scheme);
        QColor clear = glowColour;
        clear.setAlphaF(0);
        glow.setColorAt(0, glowColour);
        glow.setColorAt(1, clear);
        painter.fillRect(area, glow);
    }
    QImage layer = ditheredTo8Bits(deep);
    QPainter painter(&layer);
    paintDots(painter, size, scheme, spacing, dotRadius);
    return layer;
}

void DotGridBackground::paint(QPainter& painter, QSizeF size, ColorScheme scheme, qreal spacing,
                              qreal dotRadius) {
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    painter.drawImage(QPointF(0, 0), render(size, ratio, scheme, spacing, dotRadius));
}

void DotGridBackground::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (cache_.isNull() || cache_.size() != pixels || cacheScheme_ != scheme ||
        cache_.devicePixelRatio() != ratio) {
        cache_ = QPixmap::fromImage(render(QSizeF(size()), ratio, scheme, spacing_, dotRadius_));
        cacheScheme_ = scheme;
        ++renderCount_;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, cache_);
}

}  // namespace tidewell
