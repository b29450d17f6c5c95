#include "TidewellApp/ElidingLabel.h"

#include <QPainter>
#include <QtMath>

namespace tidewell {

ElidingLabel::ElidingLabel(const QString& text, QWidget* parent) : ThemedText(text, parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QString ElidingLabel::displayedText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize ElidingLabel::sizeHint() const {
    // Rounded up, so that the preferred width never elides.
    const QFontMetricsF fm(font());
    const QMargins m = contentsMargins();
    return QSize(qCeil(fm.horizontalAdvance(text())) + 1 + m.left() + m.right(),
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
