#include "TidewellApp/ThemedText.h"

namespace tidewell {

ThemedText::ThemedText(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

void ThemedText::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void ThemedText::setForeground(Theme::Foreground style) {
    style_ = style;
    color_.reset();
    update();
}

void ThemedText::setColor(const QColor& color) {
    color_ = color;
    update();
}

QColor ThemedText::effectiveColor() const {
    return color_ ? *color_ : Theme::foreground(style_, ColorSchemeSource::instance().scheme());
}

}  // namespace tidewell
