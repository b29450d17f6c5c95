// Symbols: every name the views use maps onto the icon font, renders a tinted glyph and the
// glyph names agree with the font's own list.

#include "UiTestSupport.h"

#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QFile>
#include <QIcon>
#include <QPainter>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace tidewell;

namespace {

// Every symbol the application's views name, including the filled variants of the device
// icons that exist.
const char* const usedNames[] = {
    "exclamationmark.triangle.fill", "exclamationmark.circle.fill", "questionmark.circle.fill",
    "checkmark", "checkmark.circle.fill", "info.circle", "xmark", "xmark.octagon.fill", "circle",
    "1.circle", "2.circle", "sidebar.leading", "plus", "number", "trash", "trash.fill",
    "trash.circle.fill", "arrow.clockwise", "arrow.triangle.2.circlepath", "arrow.down.circle",
    "arrow.up.circle.fill", "arrow.left.arrow.right.circle", "ellipsis.circle", "play.fill",
    "stop.fill", "scope", "gearshape.2", "gearshape.2.fill", "waveform.circle",
    "waveform.circle.fill", "waveform.path.ecg", "waveform.path.ecg.rectangle",
    "waveform.path.ecg.rectangle.fill", "waveform.path.badge.plus", "speaker.circle",
    "speaker.circle.fill", "speaker.wave.1", "speaker.wave.2", "speaker.wave.2.fill",
    "speaker.wave.2.circle.fill", "speaker.slash.fill", "mic", "mic.circle", "mic.circle.fill",
    "headphones", "headphones.circle", "headphones.circle.fill", "music.note",
    "gamecontroller.circle", "gamecontroller.circle.fill", "bubble.left.circle",
    "bubble.left.circle.fill", "video.circle", "video.circle.fill", "globe", "desktopcomputer",
    "desktopcomputer.and.arrow.down", "desktopcomputer.and.arrow.down.circle.fill",
    "dot.radiowaves.left.and.right", "rectangle.split.2x1", "square.stack.3d.down.right",
};

QString variablesPath() {
    return QStringLiteral("/usr/share/fonts-material-design-icons-iconfont/scss/_variables.scss");
}

// How much paint an image carries: its mean opacity.
double ink(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    double sum = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x) sum += qAlpha(argb.pixel(x, y)) / 255.0;
    return sum / (argb.width() * argb.height());
}

}  // namespace

TEST(Symbols, EveryUsedNameExistsAndNothingElse) {
    QStringList expected;
    for (const char* name : usedNames) {
        EXPECT_TRUE(SymbolProvider::exists(QString::fromLatin1(name))) << name;
        expected << QString::fromLatin1(name);
    }
    QStringList mapped = SymbolProvider::names();
    mapped.sort();
    expected.sort();
    EXPECT_EQ(mapped, expected) << "the provider maps exactly the names in use";
    // Device icons without a filled variant keep their plain names.
    for (const char* absent : {"music.note.fill", "globe.fill", "", "mic.circle.fill ", "MIC", "nonsense"})
        EXPECT_FALSE(SymbolProvider::exists(QString::fromLatin1(absent))) << absent;
    EXPECT_TRUE(SymbolProvider::pixmap(QStringLiteral("globe.fill"), 16, Qt::black).isNull());
    EXPECT_TRUE(SymbolProvider::icon(QStringLiteral("globe.fill"), Qt::black).isNull());
}

TEST(Symbols, GlyphNamesMatchTheFontsCodepoints) {
    QFile file(variablesPath());
    if (!file.open(QIODevice::ReadOnly)) GTEST_SKIP() << "icon font list not installed";
    QHash<QString, char16_t> codepoints;
    const QRegularExpression entry(QStringLiteral("\"([a-z0-9_]+)\":\\s*([0-9a-f]+)"));
    for (const auto& match : entry.globalMatch(QString::fromUtf8(file.readAll())))
        codepoints.insert(match.captured(1), char16_t(match.captured(2).toUInt(nullptr, 16)));
    ASSERT_GT(codepoints.size(), 2000);
    for (const QString& name : SymbolProvider::names()) {
        for (const auto& glyph : SymbolProvider::glyphs(name)) {
            ASSERT_TRUE(codepoints.contains(glyph.fontName)) << name.toStdString() << " " << glyph.fontName.toStdString();
            EXPECT_EQ(codepoints.value(glyph.fontName), glyph.codepoint)
                << name.toStdString() << " " << glyph.fontName.toStdString();
        }
    }
}

TEST(Symbols, EveryNameRendersATintedGlyph) {
    ASSERT_TRUE(SymbolProvider::fontAvailable()) << SymbolProvider::fontPath().toStdString();
    const QColor tint = QColor::fromRgbF(0.9f, 0.3f, 0.1f);
    for (const QString& name : SymbolProvider::names()) {
        SCOPED_TRACE(name.toStdString());
        const QPixmap pm = SymbolProvider::pixmap(name, 32, tint);
        ASSERT_FALSE(pm.isNull());
        EXPECT_EQ(pm.size(), QSize(32, 32));
        const QImage image = pm.toImage().convertToFormat(QImage::Format_ARGB32);
        const double covered = test::coverage(image);
        EXPECT_GT(covered, 0.04);
        EXPECT_LT(covered, 0.95);
        // Fully opaque pixels carry the tint.
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                const QRgb p = image.pixel(x, y);
                if (qAlpha(p) < 255) continue;
                ++opaque;
                EXPECT_EQ(QColor(p).rgb(), tint.rgb());
            }
        EXPECT_GT(opaque, 0);
    }
}

TEST(Symbols, OutlineAndFilledCircleVariantsDiffer) {
    for (const char* base : {"mic.circle", "waveform.circle", "speaker.circle", "headphones.circle",
                             "video.circle", "gamecontroller.circle", "bubble.left.circle"}) {
        const QString name = QString::fromLatin1(base);
        const QImage outline = SymbolProvider::pixmap(name, 24, Qt::black).toImage();
        const QImage filled = SymbolProvider::pixmap(name + QStringLiteral(".fill"), 24, Qt::black).toImage();
        EXPECT_GT(ink(filled), ink(outline) * 1.1) << base;
    }
}

// The channel volume's toggle reads as "more": at the size it is drawn beside 11-point text, its
// three dots stand apart inside the ring, and do not run together into a circled minus. Across
// the middle row: the ring's left edge, three dots, the ring's right edge.
TEST(Symbols, TheEllipsisInACircleShowsThreeSeparateDots) {
    const int side = qRound(SymbolProvider::sizeForFont(11));
    const QImage image = SymbolProvider::pixmap(QStringLiteral("ellipsis.circle"), side, Qt::black).toImage();
    ASSERT_FALSE(image.isNull());
    const int y = image.height() / 2;
    int runs = 0;
    bool inside = false;
    QString row;
    for (int x = 0; x < image.width(); ++x) {
        const bool ink = qAlpha(image.pixel(x, y)) >= 110;
        row += ink ? QLatin1Char('#') : QLatin1Char('.');
        if (ink && !inside) ++runs;
        inside = ink;
    }
    EXPECT_EQ(runs, 5) << "middle row at " << side << " px: " << row.toStdString();
}

TEST(Symbols, IconScalesAndFadesWhenDisabled) {
    const QIcon icon = SymbolProvider::icon(QStringLiteral("xmark"), Qt::black);
    ASSERT_FALSE(icon.isNull());
    const QImage normal = icon.pixmap(QSize(20, 20), 2.0).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(normal.size(), QSize(40, 40));
    const QImage disabled = icon.pixmap(QSize(20, 20), 2.0, QIcon::Disabled).toImage().convertToFormat(QImage::Format_ARGB32);
    int strongest = 0, strongestDisabled = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            strongest = qMax(strongest, qAlpha(normal.pixel(x, y)));
            strongestDisabled = qMax(strongestDisabled, qAlpha(disabled.pixel(x, y)));
        }
    EXPECT_EQ(strongest, 255);
    EXPECT_GT(strongestDisabled, 0);
    EXPECT_LT(strongestDisabled, 128);
}

TEST(SymbolGrabs, EveryNameInBothSchemes) {
    const QStringList names = SymbolProvider::names();
    const int columns = 3, cell = 300, rowHeight = 34;
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        QImage sheet(columns * cell, int((names.size() + columns - 1) / columns) * rowHeight + 8,
                     QImage::Format_ARGB32);
        sheet.fill(Theme::backgroundBase(scheme));
        QPainter painter(&sheet);
        painter.setFont(Theme::font(11));
        for (int i = 0; i < int(names.size()); ++i) {
            const int x = (i % columns) * cell + 8, y = (i / columns) * rowHeight + 8;
            const QColor tint = i % 3 == 0 ? Theme::accent(scheme)
                              : i % 3 == 1 ? Theme::primaryText(scheme)
                                           : Theme::secondaryText(scheme);
            painter.drawPixmap(x, y, SymbolProvider::pixmap(names[i], 22, tint));
            painter.setPen(Theme::secondaryText(scheme));
            painter.drawText(QRect(x + 28, y, cell - 36, 22), Qt::AlignVCenter, names[i]);
        }
        painter.end();
        test::saveArtifact(sheet, QStringLiteral("symbols-") + test::schemeName(scheme));
    }
}
