#pragma once
// Symbols by name ("mic.circle", "speaker.slash.fill", ...): each name the application uses is
// drawn from a glyph of the Material Design icon font, tinted and sized as asked. Names stored
// in the configuration (device icons) are used as they are; a name without a glyph does not
// exist and draws nothing.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QStringList>

namespace tidewell {

class SymbolProvider {
public:
    // The icon font's file (the system's Material Design icon font).
    static QString fontPath();
    // Whether the icon font could be loaded.
    static bool fontAvailable();

    // True exactly for the names that have a glyph.
    static bool exists(const QString& name);
    static QStringList names();

    // The symbol in a square of `size` device-independent pixels, filled with `tint`.
    // A null pixmap for a name that does not exist.
    static QPixmap pixmap(const QString& name, qreal size, const QColor& tint,
                          qreal devicePixelRatio = 1.0);
    // An icon of the symbol that scales to any size; its disabled form is faded.
    static QIcon icon(const QString& name, const QColor& tint);

    // The square a symbol takes when set beside text of `points` size.
    static qreal sizeForFont(qreal points);

    // The icon-font glyphs a symbol is drawn from (by their names in the font), for checking
    // the mapping against the font's own list.
    struct Glyph {
        QString fontName;
        char16_t codepoint;
    };
    static QList<Glyph> glyphs(const QString& name);
};

}  // namespace tidewell
