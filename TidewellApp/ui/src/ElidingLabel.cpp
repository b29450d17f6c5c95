#include "TidewellApp/ElidingLabel.h"

#include <QPainter>
#include <QtMath>

namespace tidewell {

namespace {

const QChar ellipsis(0x2026);

}  // namespace

ElidingLabel::ElidingLabel(const QString& text, QWidget* parent) : ThemedText(text, parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidingLabel::setKeptEnd(int characters) {
    if (characters == keptEnd_) return;
    keptEnd_ = qMax(0, characters);
    updateGeometry();
    update();
}

QString ElidingLabel::displayedText() const {
    const QFontMetrics fm = fontMetrics();
    const QString all = text();
    const int width = contentsRect().width();
    if (keptEnd_ == 0 || keptEnd_ >= all.size() || fm.horizontalAdvance(all) <= width)
        return fm.elidedText(all, Qt::ElideRight, width);
    const QString end = all.right(keptEnd_);
    const QString cut = fm.elidedText(all.left(all.size() - keptEnd_), Qt::ElideRight,
                                      width - fm.horizontalAdvance(end));
    // A lone "…" before the kept end says nothing the end does not.
    if (!cut.isEmpty() && cut != QString(ellipsis)) return cut + end;
    return fm.elidedText(end.trimmed(), Qt::ElideRight, width);
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
    // What must stay readable: the kept end, else the ellipsis.
    const bool keeps = keptEnd_ > 0 && keptEnd_ < text().size();
    const QString least = keeps ? text().right(keptEnd_).trimmed() : QString(ellipsis);
    return QSize(qMin(fm.horizontalAdvance(least), sizeHint().width()),
                 fm.height() + m.top() + m.bottom());
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(effectiveColor());
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, displayedText());
}

}  // namespace tidewell
