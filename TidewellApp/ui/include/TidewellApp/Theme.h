#pragma once
// The colours and fonts of the main window, each in a light and a dark variant.
// Colours are sRGB with components from 0 to 1; one point is one device-independent pixel.

#include "TidewellApp/ColorScheme.h"

#include <QColor>
#include <QFont>
#include <QPalette>

#include <array>

namespace tidewell {

// The colours of the routing canvas's wires.
namespace ZVTheme {

const std::array<QColor, 6>& wirePalette();       // dark
const std::array<QColor, 6>& wirePaletteLight();  // light

// The colour of wire number `index`; any integer wraps around the palette (-1 is the last).
QColor wireColor(int index, ColorScheme scheme);

}  // namespace ZVTheme

namespace Theme {

// The window background under the dot grid, and the glow at its top edge.
QColor backgroundBase(ColorScheme scheme);
QColor backgroundGlow(ColorScheme scheme);
QColor dotColor(ColorScheme scheme);

// Glass surfaces: the tint over the translucent fill that stands in for a blur material,
// the two ends of the hairline gradient (top-leading, bottom-trailing) and the shadow.
QColor glassTint(ColorScheme scheme);
QColor glassMaterial(ColorScheme scheme);
QColor hairlineStart(ColorScheme scheme);
QColor hairlineEnd(ColorScheme scheme);
QColor shadowColor(ColorScheme scheme);

// Foreground styles of text and symbols, strongest first.
enum class Foreground { primary, secondary, tertiary };
QColor foreground(Foreground style, ColorScheme scheme);

// Foreground styles and the standard named colours.
QColor primaryText(ColorScheme scheme);
QColor secondaryText(ColorScheme scheme);
QColor tertiaryText(ColorScheme scheme);
QColor accent(ColorScheme scheme);
QColor orange(ColorScheme scheme);
QColor red(ColorScheme scheme);
QColor green(ColorScheme scheme);

// The application palette that matches a scheme, for standard controls when the scheme is
// forced rather than taken from the desktop.
QPalette palette(ColorScheme scheme);

// The platform's UI font (or its fixed-pitch font) at `points` device-independent pixels.
QFont font(qreal points, QFont::Weight weight = QFont::Normal);
QFont monospacedFont(qreal points, QFont::Weight weight = QFont::Normal);

}  // namespace Theme

}  // namespace tidewell
