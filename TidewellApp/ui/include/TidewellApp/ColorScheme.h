#pragma once
// Light or dark: every look of the main window has both variants. The scheme follows the
// desktop (the application palette's window lightness, re-read when the palette changes);
// TIDEWELL_COLOR_SCHEME=light|dark forces one, for tests and screenshots.

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QPalette>

#include <optional>

namespace tidewell {

enum class ColorScheme { light, dark };

class ColorSchemeSource : public QObject {
    Q_OBJECT
public:
    // The one source of the running application; created on first use, reads
    // TIDEWELL_COLOR_SCHEME once. It watches the application object that exists when asked.
    static ColorSchemeSource& instance();

    ColorScheme scheme() const { return scheme_; }
    bool isDark() const { return scheme_ == ColorScheme::dark; }

    // Forces a scheme (and gives the application the matching palette, so standard controls
    // agree with the painted surfaces); nullopt follows the desktop again.
    void setForcedScheme(std::optional<ColorScheme> scheme);
    std::optional<ColorScheme> forcedScheme() const { return forced_; }

    // The scheme a palette stands for: dark when its window colour is dark.
    static ColorScheme schemeOfPalette(const QPalette& palette);

signals:
    void schemeChanged(tidewell::ColorScheme scheme);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ColorSchemeSource();
    void attachToApplication();
    void applyForcedPalette();
    void reevaluate();

    QPointer<QCoreApplication> application_;
    std::optional<ColorScheme> forced_;
    std::optional<QPalette> desktopPalette_;  // the palette before a scheme was forced
    ColorScheme scheme_ = ColorScheme::light;
    bool applyingPalette_ = false;
};

}  // namespace tidewell
