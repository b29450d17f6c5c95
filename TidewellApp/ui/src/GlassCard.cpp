#include "TidewellApp/GlassCard.h"

#include "TidewellApp/Theme.h"

#include <QCache>
#include <QLinearGradient>
#include <QPainter>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QToolButton>

#include <vector>

namespace tidewell {

namespace {

// Three box blurs of this radius approximate a Gaussian whose spread matches the shadow's
// blur radius (sigma about half of it).
constexpr int boxRadius = 6;
constexpr int boxPasses = 3;

// One pass of a box blur along rows (horizontal) or columns, on premultiplied pixels.
void boxBlur(QImage& image, int radius, bool horizontal) {
    const int w = image.width(), h = image.height();
    const int lines = horizontal ? h : w, length = horizontal ? w : h;
    std::vector<quint32> source(static_cast<size_t>(length));
    const int window = 2 * radius + 1;
    for (int line = 0; line < lines; ++line) {
        auto pixel = [&](int i) -> QRgb& {
            const int x = horizontal ? i : line, y = horizontal ? line : i;
            return reinterpret_cast<QRgb*>(image.scanLine(y))[x];
        };
        for (int i = 0; i < length; ++i) source[size_t(i)] = pixel(i);
        int sum[4] = {0, 0, 0, 0};
        auto add = [&](int i, int sign) {
            if (i < 0 || i >= length) return;
            const quint32 p = source[size_t(i)];
            sum[0] += sign * int(qAlpha(p));
            sum[1] += sign * int(qRed(p));
            sum[2] += sign * int(qGreen(p));
            sum[3] += sign * int(qBlue(p));
        };
        for (int i = -radius; i <= radius; ++i) add(i, 1);
        for (int i = 0; i < length; ++i) {
            pixel(i) = qRgba(sum[1] / window, sum[2] / window, sum[3] / window, sum[0] / window);
            add(i - radius, -1);
            add(i + radius + 1, 1);
        }
    }
}

struct ShadowKey {
    int width, height, radius, scheme;
    bool operator==(const ShadowKey&) const = default;
};
size_t qHash(const ShadowKey& key, size_t seed = 0) {
    return ::qHashMulti(seed, key.width, key.height, key.radius, key.scheme);
}

QCache<ShadowKey, QImage>& shadowCache() {
    static QCache<ShadowKey, QImage> cache(64 * 1024 * 1024);  // cost: bytes
    return cache;
}
int shadowRenders = 0;

void paintSurface(QPainter& painter, const QRectF& rect, qreal cornerRadius, ColorScheme scheme) {
    const QPainterPath outline = GlassCardModifier::shape(rect, cornerRadius);
    painter.fillPath(outline, Theme::glassMaterial(scheme));
    painter.fillPath(outline, Theme::glassTint(scheme));
    // A 1-point stroke inside the edge: the outline inset by half the width.
    QLinearGradient gradient(rect.topLeft(), rect.bottomRight());
    gradient.setColorAt(0, Theme::hairlineStart(scheme));
    gradient.setColorAt(1, Theme::hairlineEnd(scheme));
    QPen pen(QBrush(gradient), 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.strokePath(GlassCardModifier::shape(rect.adjusted(0.5, 0.5, -0.5, -0.5),
                                                qMax<qreal>(0, cornerRadius - 0.5)),
                       pen);
}

}  // namespace

namespace GlassCardModifier {

QPainterPath shape(const QRectF& rect, qreal cornerRadius) {
    QPainterPath path;
    const qreal r = qMin(cornerRadius, qMin(rect.width(), rect.height()) / 2);
    path.addRoundedRect(rect, r, r);
    return path;
}

qreal shadowExtent() { return boxRadius * boxPasses; }

int shadowRenderCount() { return shadowRenders; }

QImage shadowImage(QSizeF size, qreal cornerRadius, ColorScheme scheme, qreal ratio) {
    const QSize pixels = (size * ratio).toSize();
    const ShadowKey key{pixels.width(), pixels.height(), qRound(cornerRadius * ratio * 4),
                        scheme == ColorScheme::dark ? 1 : 0};
    if (const QImage* cached = shadowCache().object(key)) return *cached;

    const int extent = qCeil(shadowExtent() * ratio);
    QImage image(pixels + QSize(2 * extent, 2 * extent), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(shape(QRectF(extent, extent, pixels.width(), pixels.height()),
                               cornerRadius * ratio),
                         Theme::shadowColor(scheme));
    }
    const int blur = qMax(1, qRound(boxRadius * ratio));
    for (int pass = 0; pass < boxPasses; ++pass) {
        boxBlur(image, blur, true);
        boxBlur(image, blur, false);
    }
    image.setDevicePixelRatio(ratio);
    ++shadowRenders;
    shadowCache().insert(key, new QImage(image), int(qMin<qsizetype>(image.sizeInBytes(), INT_MAX)));
    return image;
}

void paint(QPainter& painter, const QRectF& rect, qreal cornerRadius, ColorScheme scheme) {
    if (rect.isEmpty()) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage shadow = shadowImage(rect.size(), cornerRadius, scheme, ratio);
    // The shadow shows only around the card: the translucent fill must not darken inside.
    QPainterPath outside;
    outside.addRect(rect.adjusted(-2 * shadowExtent(), -2 * shadowExtent(), 2 * shadowExtent(),
                                  2 * shadowExtent()));
    outside = outside.subtracted(shape(rect, cornerRadius));
    painter.setClipPath(outside, Qt::IntersectClip);
    painter.drawImage(rect.topLeft() + QPointF(-shadowExtent(), -shadowExtent() + shadowOffsetY),
                      shadow);
    painter.restore();

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    paintSurface(painter, rect, cornerRadius, scheme);
    painter.restore();
}

}  // namespace GlassCardModifier

namespace GlassMenuBackdropModifier {

void paint(QPainter& painter, const QRectF& rect, qreal cornerRadius, ColorScheme scheme) {
    if (rect.isEmpty()) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    paintSurface(painter, rect, cornerRadius, scheme);
    painter.restore();
}

namespace {
// The chevron's width, and the room it takes at the button's right edge.
constexpr qreal kChevronWidth = 7;
constexpr int kChevronRoom = 16;
}  // namespace

void paintMenuButton(QToolButton& button, QStyleOptionToolButton option, qreal cornerRadius) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QStylePainter painter(&button);
    painter.setRenderHint(QPainter::Antialiasing);
    paint(painter, QRectF(button.rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, scheme);
    option.state &= ~(QStyle::State_Raised | QStyle::State_Sunken);
    option.state |= QStyle::State_AutoRaise;
    option.palette.setColor(QPalette::ButtonText, Theme::primaryText(scheme));
    // The style would put its arrow in the bottom corner, over the bezel; the chevron goes in
    // its own room at the right, centred on the label.
    option.features &= ~QStyleOptionToolButton::HasMenu;
    option.rect.adjust(0, 0, -kChevronRoom, 0);
    painter.drawComplexControl(QStyle::CC_ToolButton, option);
    const qreal x = button.width() - kChevronRoom + (kChevronRoom - kChevronWidth) / 2 - 3;
    const qreal y = button.height() / 2.0 - kChevronWidth / 4;
    QPen pen(Theme::secondaryText(scheme), 1.5);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    const QPointF chevron[] = {{x, y}, {x + kChevronWidth / 2, y + kChevronWidth / 2}, {x + kChevronWidth, y}};
    painter.drawPolyline(chevron, 3);
}

QSize menuButtonSizeHint(QSize styleHint) {
    return styleHint + QSize(kChevronRoom, 0);
}

}  // namespace GlassMenuBackdropModifier

GlassCard::GlassCard(qreal cornerRadius, QWidget* parent) : QWidget(parent), cornerRadius_(cornerRadius) {
    setContentsMargins(shadowMargins());
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

void GlassCard::setCornerRadius(qreal radius) {
    if (radius == cornerRadius_) return;
    cornerRadius_ = radius;
    update();
}

QMargins GlassCard::shadowMargins() {
    const int side = qCeil(GlassCardModifier::shadowBlurRadius);
    const int offset = qCeil(GlassCardModifier::shadowOffsetY);
    return QMargins(side, side - offset, side, side + offset);
}

void GlassCard::setFloatsOverContent(bool floats) {
    if (floats == floatsOverContent_) return;
    floatsOverContent_ = floats;
    update();
}

void GlassCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    if (floatsOverContent_) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        QColor base = Theme::backgroundBase(scheme);
        base.setAlpha(255);
        painter.fillPath(GlassCardModifier::shape(cardRect(), cornerRadius_), base);
        painter.restore();
    }
    GlassCardModifier::paint(painter, cardRect(), cornerRadius_, scheme);
}

}  // namespace tidewell
