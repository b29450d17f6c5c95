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

void DotGridBackground::paint(QPainter& painter, QSizeF size, ColorScheme scheme, qreal spacing,
                              qreal dotRadius) {
    const QRectF area(QPointF(0, 0), size);
    painter.fillRect(area, Theme::backgroundBase(scheme));

    QRadialGradient glow(QPointF(size.width() / 2, 0), 900);
    const QColor glowColour = Theme::backgroundGlow(scheme);
    QColor clear = glowColour;
    clear.setAlphaF(0);
    glow.setColorAt(0, glowColour);
    glow.setColorAt(1, clear);
    painter.fillRect(area, glow);

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

void DotGridBackground::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (cache_.isNull() || cache_.size() != pixels || cacheScheme_ != scheme ||
        cache_.devicePixelRatio() != ratio) {
        cache_ = QPixmap(pixels);
        cache_.setDevicePixelRatio(ratio);
        QPainter layer(&cache_);
        paint(layer, QSizeF(size()), scheme, spacing_, dotRadius_);
        cacheScheme_ = scheme;
        ++renderCount_;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, cache_);
}

}  // namespace tidewell
