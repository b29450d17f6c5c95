#include "TidewellApp/ColorScheme.h"

#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>

namespace tidewell {

namespace {

std::optional<ColorScheme> schemeFromEnvironment() {
    const QByteArray value = qgetenv("TIDEWELL_COLOR_SCHEME").trimmed().toLower();
    if (value == "dark") return ColorScheme::dark;
    if (value == "light") return ColorScheme::light;
    return std::nullopt;
}

}  // namespace

ColorSchemeSource& ColorSchemeSource::instance() {
    static ColorSchemeSource* source = new ColorSchemeSource;  // lives until exit
    return *source;
}

ColorSchemeSource::ColorSchemeSource() {
    if (qApp) qApp->installEventFilter(this);
    const auto forced = schemeFromEnvironment();
    if (forced) {
        setForcedScheme(forced);
    } else {
        reevaluate();
    }
}

ColorScheme ColorSchemeSource::schemeOfPalette(const QPalette& palette) {
    return palette.color(QPalette::Active, QPalette::Window).lightness() < 128 ? ColorScheme::dark
                                                                              : ColorScheme::light;
}

void ColorSchemeSource::setForcedScheme(std::optional<ColorScheme> scheme) {
    forced_ = scheme;
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        applyingPalette_ = true;
        if (forced_) {
            if (!desktopPalette_) desktopPalette_ = QApplication::palette();
            QApplication::setPalette(Theme::palette(*forced_));
        } else if (desktopPalette_) {
            QApplication::setPalette(*desktopPalette_);
            desktopPalette_.reset();
        }
        applyingPalette_ = false;
    }
    reevaluate();
}

void ColorSchemeSource::reevaluate() {
    ColorScheme next = ColorScheme::light;
    if (forced_) {
        next = *forced_;
    } else if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        next = schemeOfPalette(QGuiApplication::palette());
    }
    if (next == scheme_) return;
    scheme_ = next;
    emit schemeChanged(scheme_);
}

bool ColorSchemeSource::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && !applyingPalette_)
        reevaluate();
    return QObject::eventFilter(watched, event);
}

}  // namespace tidewell
