#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QFontDatabase>

namespace tidewell {

namespace {

QColor rgb(double r, double g, double b, double opacity = 1.0) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(opacity));
}

bool dark(ColorScheme scheme) { return scheme == ColorScheme::dark; }

}  // namespace

namespace ZVTheme {

const std::array<QColor, 6>& wirePalette() {
    static const std::array<QColor, 6> colours = {
        rgb(0.5, 0.47, 0.87),  rgb(0.11, 0.62, 0.46), rgb(0.85, 0.35, 0.19),
        rgb(0.83, 0.33, 0.49), rgb(0.94, 0.62, 0.15), rgb(0.22, 0.54, 0.87),
    };
    return colours;
}

const std::array<QColor, 6>& wirePaletteLight() {
    static const std::array<QColor, 6> colours = {
        rgb(0.36, 0.32, 0.76), rgb(0.04, 0.47, 0.34), rgb(0.72, 0.24, 0.09),
        rgb(0.72, 0.18, 0.36), rgb(0.66, 0.38, 0.0),  rgb(0.09, 0.4, 0.72),
    };
    return colours;
}

QColor wireColor(int index, ColorScheme scheme) {
    const auto& colours = dark(scheme) ? wirePalette() : wirePaletteLight();
    const int n = int(colours.size());
    return colours[size_t(((index % n) + n) % n)];
}

}  // namespace ZVTheme

namespace Theme {

QColor backgroundBase(ColorScheme s) { return dark(s) ? rgb(0.051, 0.055, 0.07) : rgb(0.965, 0.965, 0.975); }
QColor backgroundGlow(ColorScheme s) { return dark(s) ? rgb(0.09, 0.098, 0.125, 0.9) : rgb(0.88, 0.91, 0.98, 0.6); }
QColor dotColor(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.07) : rgb(0, 0, 0, 0.06); }

QColor glassTint(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.03) : QColor(Qt::transparent); }
// No platform blur: a translucent fill keeps the dots faintly visible, as a frosted surface would.
QColor glassMaterial(ColorScheme s) { return dark(s) ? rgb(0.13, 0.135, 0.16, 0.72) : rgb(1, 1, 1, 0.62); }
QColor hairlineStart(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.28) : rgb(0, 0, 0, 0.08); }
QColor hairlineEnd(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.04) : rgb(0, 0, 0, 0.14); }
QColor shadowColor(ColorScheme s) { return dark(s) ? rgb(0, 0, 0, 0.45) : rgb(0, 0, 0, 0.12); }

QColor primaryText(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.85) : rgb(0, 0, 0, 0.85); }
QColor secondaryText(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.55) : rgb(0, 0, 0, 0.5); }
QColor tertiaryText(ColorScheme s) { return dark(s) ? rgb(1, 1, 1, 0.25) : rgb(0, 0, 0, 0.26); }
QColor foreground(Foreground style, ColorScheme s) {
    switch (style) {
    case Foreground::primary: return primaryText(s);
    case Foreground::secondary: return secondaryText(s);
    case Foreground::tertiary: return tertiaryText(s);
    }
    return primaryText(s);
}

QColor accent(ColorScheme s) { return dark(s) ? rgb(0.039, 0.518, 1.0) : rgb(0.0, 0.478, 1.0); }
QColor orange(ColorScheme s) { return dark(s) ? rgb(1.0, 0.624, 0.039) : rgb(1.0, 0.584, 0.0); }
QColor red(ColorScheme s) { return dark(s) ? rgb(1.0, 0.271, 0.227) : rgb(1.0, 0.231, 0.188); }
QColor green(ColorScheme s) { return dark(s) ? rgb(0.196, 0.843, 0.294) : rgb(0.204, 0.78, 0.349); }

QPalette palette(ColorScheme s) {
    const QColor text = dark(s) ? rgb(0.92, 0.92, 0.94) : rgb(0.1, 0.1, 0.12);
    const QColor disabledText = dark(s) ? rgb(0.45, 0.45, 0.48) : rgb(0.6, 0.6, 0.62);
    const QColor window = backgroundBase(s);
    const QColor button = dark(s) ? rgb(0.2, 0.205, 0.23) : rgb(0.99, 0.99, 0.995);
    const QColor base = dark(s) ? rgb(0.11, 0.115, 0.135) : rgb(1, 1, 1);
    QPalette p(button, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, dark(s) ? rgb(1, 1, 1) : rgb(0, 0, 0));
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, dark(s) ? rgb(0.15, 0.155, 0.18) : rgb(0.95, 0.95, 0.96));
    p.setColor(QPalette::ToolTipBase, dark(s) ? rgb(0.18, 0.185, 0.21) : rgb(1, 1, 0.94));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, tertiaryText(s));
    p.setColor(QPalette::Highlight, accent(s));
    p.setColor(QPalette::HighlightedText, rgb(1, 1, 1));
    p.setColor(QPalette::Link, accent(s));
    p.setColor(QPalette::Light, dark(s) ? rgb(0.3, 0.3, 0.34) : rgb(1, 1, 1));
    p.setColor(QPalette::Midlight, dark(s) ? rgb(0.25, 0.25, 0.28) : rgb(0.92, 0.92, 0.93));
    p.setColor(QPalette::Mid, dark(s) ? rgb(0.16, 0.16, 0.18) : rgb(0.75, 0.75, 0.77));
    p.setColor(QPalette::Dark, dark(s) ? rgb(0.06, 0.06, 0.07) : rgb(0.6, 0.6, 0.62));
    p.setColor(QPalette::Shadow, rgb(0, 0, 0));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabledText);
    return p;
}

QFont font(qreal points, QFont::Weight weight) {
    QFont f = QApplication::font();
    f.setPixelSize(qMax(1, qRound(points)));
    f.setWeight(weight);
    return f;
}

QFont monospacedFont(qreal points, QFont::Weight weight) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(qMax(1, qRound(points)));
    f.setWeight(weight);
    return f;
}

}  // namespace Theme

}  // namespace tidewell
