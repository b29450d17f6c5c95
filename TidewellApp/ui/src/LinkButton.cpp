#include "TidewellApp/LinkButton.h"

#include "TidewellApp/Theme.h"

#include <QEnterEvent>
#include <QPainter>

namespace tidewell {

LinkButton::LinkButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

QSize LinkButton::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return QSize(fm.horizontalAdvance(text()) + 4, fm.height() + 2);
}

QColor LinkButton::textColor() const {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    if (!isEnabled()) return Theme::tertiaryText(scheme);
    QColor c = Theme::accent(scheme);
    if (isDown()) c = c.darker(130);
    return c;
}

void LinkButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QFont f = font();
    f.setUnderline(hovered_ && isEnabled());
    painter.setFont(f);
    painter.setPen(textColor());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
    // The focus ring shows only when the keyboard moved the focus here.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QColor ring = Theme::accent(ColorSchemeSource::instance().scheme());
        ring.setAlphaF(0.5f);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(ring, 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    }
}

void LinkButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void LinkButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace tidewell
