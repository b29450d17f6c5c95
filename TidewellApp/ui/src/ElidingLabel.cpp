#include "TidewellApp/ElidingLabel.h"

#include <QPainter>
#include <QtMath>

namespace tidewell {

ElidingLabel::ElidingLabel(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

void ElidingLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void ElidingLabel::setForeground(Theme::Foreground style) {
    style_ = style;
    color_.reset();
    update();
}

void ElidingLabel::setColor(const QColor& color) {
    color_ = color;
    update();
}

QColor ElidingLabel::effectiveColor() const {
    return color_ ? *color_ : Theme::foreground(style_, ColorSchemeSource::instance().scheme());
}

QString ElidingLabel::displayedText() const {
    return fontMetrics().elidedText(text_, Qt::ElideRight, contentsRect().width());
}

QSize ElidingLabel::sizeHint() const {
    // Rounded up, so that the preferred width never elides.
    const QFontMetricsF fm(font());
    const QMargins m = contentsMargins();
    return QSize(qCeil(fm.horizontalAdvance(text_)) + 1 + m.left() + m.right(),
                 fontMetrics().height() + m.top() + m.bottom());
}

QSize ElidingLabel::minimumSizeHint() const {
    const QFontMetrics fm = fontMetrics();
    const QMargins m = contentsMargins();
    return QSize(qMin(fm.horizontalAdvance(QStringLiteral("\u2026")), sizeHint().width()),
                 fm.height() + m.top() + m.bottom());
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(effectiveColor());
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, displayedText());
}

}  // namespace tidewell
