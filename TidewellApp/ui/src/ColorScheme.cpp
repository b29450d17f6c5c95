#include "TidewellApp/ColorScheme.h"

#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QStyle>
#include <QWidget>

namespace tidewell {

namespace {

std::optional<ColorScheme> schemeFromEnvironment() {
    const QByteArray value = qgetenv("TIDEWELL_COLOR_SCHEME").trimmed().toLower();
    if (value == "dark") return ColorScheme::dark;
    if (value == "light") return ColorScheme::light;
    return std::nullopt;
}

// Widgets under a style sheet take their palette when they are polished and keep it through an
// application palette change; polishing them again hands them the new one.
void repolishStyleSheetWidgets() {
    for (QWidget* widget : QApplication::allWidgets()) {
        QStyle* style = widget->style();
        if (!style || !style->inherits("QStyleSheetStyle")) continue;
        style->unpolish(widget);
        style->polish(widget);
        widget->update();
    }
}

}  // namespace

ColorSchemeSource& ColorSchemeSource::instance() {
    static ColorSchemeSource* source = new ColorSchemeSource;  // lives until exit
    source->attachToApplication();
    return *source;
}

ColorSchemeSource::ColorSchemeSource() : forced_(schemeFromEnvironment()) {}

void ColorSchemeSource::attachToApplication() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app == application_) return;
    application_ = app;
    app->installEventFilter(this);
    desktopPalette_.reset();  // a new application object starts from its own palette
    applyForcedPalette();
    reevaluate();
}

ColorScheme ColorSchemeSource::schemeOfPalette(const QPalette& palette) {
    return palette.color(QPalette::Active, QPalette::Window).lightness() < 128 ? ColorScheme::dark
                                                                              : ColorScheme::light;
}

void ColorSchemeSource::setForcedScheme(std::optional<ColorScheme> scheme) {
    forced_ = scheme;
    applyForcedPalette();
    reevaluate();
}

void ColorSchemeSource::applyForcedPalette() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        applyingPalette_ = true;
        if (forced_) {
            if (!desktopPalette_) desktopPalette_ = QApplication::palette();
            QApplication::setPalette(Theme::palette(*forced_));
        } else if (desktopPalette_) {
            QApplication::setPalette(*desktopPalette_);
            desktopPalette_.reset();
        }
        repolishStyleSheetWidgets();
        applyingPalette_ = false;
    }
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
    if (watched == application_ && event->type() == QEvent::ApplicationPaletteChange && !applyingPalette_)
        reevaluate();
    return QObject::eventFilter(watched, event);
}

}  // namespace tidewell
