#pragma once
// Glass surfaces: the card that groups content (translucent fill with a tint, a gradient
// hairline along the inner edge and a soft shadow below) and the lighter backdrop of menu
// buttons (the same without shadow). No platform blur exists, so a translucent fill over the
// dot grid stands in for it. Shadows are blurred once per size, radius, scheme and pixel
// ratio, and reused.

#include "TidewellApp/ColorScheme.h"

#include <QImage>
#include <QMargins>
#include <QPainterPath>
#include <QWidget>

class QStyleOptionToolButton;
class QToolButton;

namespace tidewell {

namespace GlassCardModifier {

inline constexpr qreal shadowBlurRadius = 14;
inline constexpr qreal shadowOffsetY = 6;

// The card's outline: a rounded rectangle.
QPainterPath shape(const QRectF& rect, qreal cornerRadius);

// Paints a card filling `rect` (shadow outside it, then fill, tint and hairline).
void paint(QPainter& painter, const QRectF& rect, qreal cornerRadius, ColorScheme scheme);

// The blurred shadow of a card of `size` (in device-independent pixels), `shadowExtent()`
// larger on every side; cached.
QImage shadowImage(QSizeF size, qreal cornerRadius, ColorScheme scheme, qreal devicePixelRatio);
qreal shadowExtent();

// How many shadow images were blurred so far (for checking the cache).
int shadowRenderCount();

}  // namespace GlassCardModifier

namespace GlassMenuBackdropModifier {

// Paints the backdrop of a menu button filling `rect`: fill, tint and hairline; no shadow.
void paint(QPainter& painter, const QRectF& rect, qreal cornerRadius, ColorScheme scheme);
// Paints a whole menu tool button on the backdrop, from its style option: the backdrop is its
// bezel, the style draws only its icon, label and arrow, in the scheme's primary text colour.
void paintMenuButton(QToolButton& button, QStyleOptionToolButton option, qreal cornerRadius);
// A menu button's size: the style's, with room at the right for the chevron `paintMenuButton` draws.
QSize menuButtonSizeHint(QSize styleHint);

}  // namespace GlassMenuBackdropModifier

// A container drawn as a glass card. Its contents margins leave room around the card for the
// shadow; a layout set on it adds the card's own padding inside.
class GlassCard : public QWidget {
    Q_OBJECT
public:
    explicit GlassCard(qreal cornerRadius, QWidget* parent = nullptr);

    qreal cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(qreal radius);

    // Room kept around the visible card for its shadow.
    static QMargins shadowMargins();
    // The visible card inside the widget.
    QRect cardRect() const { return rect().marginsRemoved(shadowMargins()); }

    // A card that floats over other content (the health banner) cannot blur what lies beneath
    // it, as the platform's material does: it lays the window's background under its glass, so
    // that its text reads cleanly over rows, meters and wires.
    bool floatsOverContent() const { return floatsOverContent_; }
    void setFloatsOverContent(bool floats);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal cornerRadius_;
    bool floatsOverContent_ = false;
};

}  // namespace tidewell
