// The theme: wire palettes, the background and glass colours of both schemes, the scheme
// source, the dot grid and the glass surfaces, with grabs of both schemes.

#include "UiTestSupport.h"

#include "TidewellApp/DotGridBackground.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/ToggleSwitch.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSignalSpy>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

using namespace tidewell;
using tidewell::test::useScheme;

namespace {

int luminance(QRgb p) { return qRed(p) * 30 + qGreen(p) * 59 + qBlue(p) * 11; }

// `top` painted over the opaque `under`.
QColor over(const QColor& top, const QColor& under) {
    const double a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + under.redF() * (1 - a)),
                            float(top.greenF() * a + under.greenF() * (1 - a)),
                            float(top.blueF() * a + under.blueF() * (1 - a)));
}

double linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

// WCAG's relative luminance and contrast ratio of opaque sRGB colours.
double relativeLuminance(const QColor& c) {
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}
double contrast(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// CIE76 colour difference (Euclidean distance in CIE L*a*b*, D65) of opaque sRGB colours: about
// 2.3 is just noticeable, over 10 plainly different.
double colourDifference(const QColor& a, const QColor& b) {
    auto lab = [](const QColor& c) {
        const double r = linear(c.redF()), g = linear(c.greenF()), bl = linear(c.blueF());
        const double x = (0.4124 * r + 0.3576 * g + 0.1805 * bl) / 0.95047;
        const double y = 0.2126 * r + 0.7152 * g + 0.0722 * bl;
        const double z = (0.0193 * r + 0.1192 * g + 0.9505 * bl) / 1.08883;
        auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
        return std::array<double, 3>{116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
    };
    const auto p = lab(a), q = lab(b);
    return std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
}

}  // namespace

// Each scheme's wires show on that scheme's window, also under the glow at its top, by at least
// the 3:1 contrast that graphical objects need; they are opaque; and no two of them look alike
// (CIE76 colour difference over 10, beyond any glance's doubt). Each scheme has its own.
TEST(WirePalette, EachSchemesWiresShowOnItsWindowAndStandApart) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        SCOPED_TRACE(test::schemeName(scheme).toStdString());
        const QColor base = Theme::backgroundBase(scheme);
        const QColor glow = over(Theme::backgroundGlow(scheme), base);
        for (int i = 0; i < 6; ++i) {
            const QColor colour = ZVTheme::wireColor(i, scheme);
            EXPECT_EQ(colour.alphaF(), 1.0) << i;
            EXPECT_GE(contrast(colour, base), 3.0) << i;
            EXPECT_GE(contrast(colour, glow), 3.0) << i;
            for (int j = 0; j < i; ++j) EXPECT_GT(colourDifference(colour, ZVTheme::wireColor(j, scheme)), 10) << i << " " << j;
            const ColorScheme other = scheme == ColorScheme::dark ? ColorScheme::light : ColorScheme::dark;
            EXPECT_NE(colour, ZVTheme::wireColor(i, other)) << i;
        }
    }
}

TEST(WirePalette, AnyIndexWrapsAround) {
    EXPECT_EQ(ZVTheme::wireColor(-1, ColorScheme::dark), ZVTheme::wirePalette()[5]);
    EXPECT_EQ(ZVTheme::wireColor(7, ColorScheme::light), ZVTheme::wirePaletteLight()[1]);
    EXPECT_EQ(ZVTheme::wireColor(6, ColorScheme::dark), ZVTheme::wirePalette()[0]);
    EXPECT_EQ(ZVTheme::wireColor(-6, ColorScheme::dark), ZVTheme::wirePalette()[0]);
    EXPECT_EQ(ZVTheme::wireColor(-7, ColorScheme::light), ZVTheme::wirePaletteLight()[5]);
    // The extremes of the index type wrap without overflow.
    EXPECT_EQ(ZVTheme::wireColor(INT_MIN, ColorScheme::dark), ZVTheme::wirePalette()[size_t(((INT_MIN % 6) + 6) % 6)]);
    EXPECT_EQ(ZVTheme::wireColor(INT_MAX, ColorScheme::light), ZVTheme::wirePaletteLight()[size_t(INT_MAX % 6)]);
}

// Text reads on what it is drawn over in its scheme: the window's background, under the glow
// too, and a glass card on it. Primary text reaches the 4.5:1 of body text; secondary text the
// 3:1 of a label beside it. Both ends of the card's hairline show on the card (a difference
// over the 2.3 that is just noticeable), and its shadow darkens the window.
TEST(ThemeColours, TextReadsOnTheWindowAndOnTheGlassOfItsScheme) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        SCOPED_TRACE(test::schemeName(scheme).toStdString());
        const QColor window = Theme::backgroundBase(scheme);
        const QColor card = over(Theme::glassTint(scheme), over(Theme::glassMaterial(scheme), window));
        EXPECT_EQ(window.alphaF(), 1.0) << "the window is opaque";
        for (const QColor& under : {window, over(Theme::backgroundGlow(scheme), window), card}) {
            EXPECT_GE(contrast(over(Theme::primaryText(scheme), under), under), 4.5);
            EXPECT_GE(contrast(over(Theme::secondaryText(scheme), under), under), 3.0);
        }
        EXPECT_GT(colourDifference(over(Theme::hairlineStart(scheme), card), card), 2.3);
        EXPECT_GT(colourDifference(over(Theme::hairlineEnd(scheme), card), card), 2.3);
        EXPECT_LT(luminance(over(Theme::shadowColor(scheme), window).rgb()), luminance(window.rgb()));
    }
}

TEST(ColorSchemeSourceTest, FollowsThePaletteUnlessForced) {
    auto& source = ColorSchemeSource::instance();
    const QPalette original = QApplication::palette();
    QSignalSpy changes(&source, &ColorSchemeSource::schemeChanged);

    source.setForcedScheme(std::nullopt);
    QApplication::setPalette(Theme::palette(ColorScheme::dark));
    EXPECT_EQ(source.scheme(), ColorScheme::dark);
    QApplication::setPalette(Theme::palette(ColorScheme::light));
    EXPECT_EQ(source.scheme(), ColorScheme::light);
    ASSERT_GE(changes.count(), 2);
    EXPECT_EQ(changes.last().at(0).value<ColorScheme>(), ColorScheme::light);

    // Forced, a desktop palette change does not switch the scheme.
    source.setForcedScheme(ColorScheme::dark);
    EXPECT_EQ(source.scheme(), ColorScheme::dark);
    EXPECT_EQ(ColorSchemeSource::schemeOfPalette(QApplication::palette()), ColorScheme::dark)
        << "forcing gives standard controls the matching palette";
    const int before = int(changes.count());
    QApplication::setPalette(Theme::palette(ColorScheme::light));
    EXPECT_EQ(source.scheme(), ColorScheme::dark);
    EXPECT_EQ(changes.count(), before);

    // Following the desktop again restores the palette from before forcing.
    source.setForcedScheme(std::nullopt);
    EXPECT_EQ(source.scheme(), ColorScheme::light);
    QApplication::setPalette(Theme::palette(ColorScheme::dark));
    source.setForcedScheme(ColorScheme::light);
    source.setForcedScheme(std::nullopt);
    EXPECT_EQ(source.scheme(), ColorScheme::dark);
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), Theme::palette(ColorScheme::dark).color(QPalette::Window));
    QApplication::setPalette(original);
}

TEST(DotGrid, DrawsDotsOnTheGridOverBaseAndGlow) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        QImage image(420, 1000, QImage::Format_ARGB32);
        {
            QPainter painter(&image);
            DotGridBackground::paint(painter, image.size(), scheme, 14, 1);
        }
        const bool dark = scheme == ColorScheme::dark;
        // Dots sit at 7, 21, 35...: a dot centre differs from the gap beside it.
        const int dot = luminance(image.pixel(7, 7)), gap = luminance(image.pixel(14, 7));
        if (dark) {
            EXPECT_GT(dot, gap);
        } else {
            EXPECT_LT(dot, gap);
        }
        // The glow lies at the top middle and fades out 900 points away.
        const QRgb top = image.pixel(210, 0), corner = image.pixel(0, 999);
        if (dark) {
            EXPECT_GT(luminance(top), luminance(corner) + 50);
        } else {
            EXPECT_LT(qRed(top), qRed(corner) - 10);  // the light glow is bluish
        }
        const QColor base = Theme::backgroundBase(scheme);
        EXPECT_NEAR(qRed(image.pixel(0, 999)), base.red(), 2) << "far from the glow: the base";
    }
}

TEST(DotGrid, GlowFadesWithoutVisibleSteps) {
    // The dark glow spans about ten levels of an 8-bit channel over 900 points; drawn
    // plainly, each level would be a ring about 90 points wide.
    const QImage image = DotGridBackground::render(QSizeF(1000, 4), 1.0, ColorScheme::dark, 14, 0);
    int longest = 0, run = 0;
    for (int x = 501; x < 1000; ++x) {
        run = image.pixel(x, 1) == image.pixel(x - 1, 1) ? run + 1 : 0;
        longest = qMax(longest, run);
    }
    EXPECT_LT(longest, 24);
    EXPECT_GT(qBlue(image.pixel(500, 1)), qBlue(image.pixel(999, 1))) << "still brighter at the centre";
}

TEST(DotGrid, NoDotWhenTheCanvasIsNotWiderOrTallerThanHalfTheSpacing) {
    auto paint = [](QSize size, qreal radius) {
        QImage image(size, QImage::Format_ARGB32);
        QPainter painter(&image);
        DotGridBackground::paint(painter, size, ColorScheme::dark, 14, radius);
        return image;
    };
    EXPECT_EQ(paint({7, 40}, 1), paint({7, 40}, 0));
    EXPECT_EQ(paint({40, 7}, 1), paint({40, 7}, 0));
    EXPECT_NE(paint({8, 8}, 1), paint({8, 8}, 0)) << "one dot at (7, 7)";
}

TEST(DotGrid, LayerIsCachedPerSizeAndScheme) {
    useScheme(ColorScheme::light);
    DotGridBackground background;
    background.resize(200, 120);
    test::grabShown(background);
    const int first = background.renderCount();
    EXPECT_GE(first, 1);
    background.grab();
    background.repaint();
    EXPECT_EQ(background.renderCount(), first);
    useScheme(ColorScheme::dark);
    background.grab();
    EXPECT_EQ(background.renderCount(), first + 1);
    background.resize(220, 120);
    background.grab();
    EXPECT_EQ(background.renderCount(), first + 2);
    EXPECT_TRUE(background.testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST(GlassCardTest, ShadowFallsBelowTheCardAndIsBlurredOnce) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        QImage image(300, 200, QImage::Format_ARGB32);
        image.fill(Qt::white);
        const int before = GlassCardModifier::shadowRenderCount();
        {
            QPainter painter(&image);
            GlassCardModifier::paint(painter, QRectF(50, 50, 200, 100), 12, scheme);
            GlassCardModifier::paint(painter, QRectF(50, 50, 200, 100), 12, scheme);
        }
        EXPECT_LE(GlassCardModifier::shadowRenderCount(), before + 1);
        // Offset downwards: darker just below the card than just above it, nothing far away.
        EXPECT_LT(luminance(image.pixel(150, 156)), luminance(image.pixel(150, 44)));
        EXPECT_LT(luminance(image.pixel(150, 156)), luminance(QColor(Qt::white).rgb()));
        EXPECT_EQ(image.pixel(150, 195), QColor(Qt::white).rgb());
        // Inside, the card is not darkened by its own shadow (light: nearly the white behind).
        if (scheme == ColorScheme::light) {
            EXPECT_GT(qRed(image.pixel(150, 100)), 245);
        }
    }
}

TEST(GlassCardTest, WidgetKeepsRoomForTheShadow) {
    GlassCard card(16);
    card.resize(200, 100);
    const QMargins m = GlassCard::shadowMargins();
    EXPECT_EQ(card.cardRect(), QRect(m.left(), m.top(), 200 - m.left() - m.right(), 100 - m.top() - m.bottom()));
    EXPECT_GT(m.bottom(), m.top()) << "the shadow falls downwards";
}

// A sheet of the theme's pieces on the window background, for a person to look at.
class ThemeSheet : public QWidget {
public:
    ThemeSheet() {
        resize(640, 400);
        background_ = new DotGridBackground(14, 1, this);
        auto* outer = new QVBoxLayout(this);
        outer->setContentsMargins(24, 24, 24, 24);
        auto* card = new GlassCard(16, this);
        auto* inside = new QVBoxLayout(card);
        inside->setContentsMargins(16, 14, 16, 14);
        inside->setSpacing(8);
        auto* title = new ElidingLabel(QStringLiteral("Glass card, radius 16"), card);
        title->setFont(Theme::font(13, QFont::Medium));
        auto* detail = new ElidingLabel(QStringLiteral("Secondary text on the card, tinted for the scheme"), card);
        detail->setFont(Theme::font(11));
        detail->setForeground(Theme::Foreground::secondary);
        inside->addWidget(title);
        inside->addWidget(detail);
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        for (const char* name : {"waveform.circle.fill", "speaker.circle", "mic.circle.fill", "headphones.circle"}) {
            auto* icon = new QLabel(card);
            icon->setPixmap(SymbolProvider::pixmap(QString::fromLatin1(name), 22, Theme::accent(ColorSchemeSource::instance().scheme())));
            row->addWidget(icon);
        }
        auto* on = new ToggleSwitch(card);
        on->setChecked(true);
        row->addWidget(on);
        row->addWidget(new ToggleSwitch(card));
        auto* link = new LinkButton(QStringLiteral("Reset"), card);
        link->setFont(Theme::font(10));
        row->addWidget(link);
        row->addStretch();
        inside->addLayout(row);
        outer->addWidget(card);
        outer->addStretch();
        auto* menus = new QHBoxLayout;
        for (int i = 0; i < 3; ++i) menus->addWidget(new MenuSample(i, this));
        menus->addStretch();
        outer->addLayout(menus);
    }

protected:
    void resizeEvent(QResizeEvent*) override { background_->setGeometry(rect()); }

private:
    // A menu button's backdrop with a wire-coloured swatch, as the routing editor draws them.
    class MenuSample : public QWidget {
    public:
        MenuSample(int index, QWidget* parent) : QWidget(parent), index_(index) { setFixedSize(120, 28); }
        void paintEvent(QPaintEvent*) override {
            const ColorScheme scheme = ColorSchemeSource::instance().scheme();
            QPainter painter(this);
            GlassMenuBackdropModifier::paint(painter, QRectF(rect()).adjusted(1, 1, -1, -1), 6, scheme);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setBrush(ZVTheme::wireColor(index_, scheme));
            painter.setPen(Qt::NoPen);
            painter.drawEllipse(QRectF(10, 9, 10, 10));
            painter.setPen(Theme::primaryText(scheme));
            painter.setFont(Theme::font(12));
            painter.drawText(QRect(28, 0, 90, 28), Qt::AlignVCenter, QStringLiteral("Menu %1").arg(index_ + 1));
        }

    private:
        int index_;
    };
    DotGridBackground* background_;
};

TEST(ThemeGrabs, BackgroundCardAndBackdropInBothSchemes) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        useScheme(scheme);
        DotGridBackground background;
        background.resize(480, 300);
        test::saveArtifact(test::grabShown(background), QStringLiteral("dotgrid-") + test::schemeName(scheme));

        ThemeSheet sheet;
        const QImage image = test::grabShown(sheet);
        test::saveArtifact(image, QStringLiteral("theme-") + test::schemeName(scheme));
        // Outside the card the window shows the scheme's background.
        const QColor base = Theme::backgroundBase(scheme);
        EXPECT_NEAR(qRed(image.pixel(3, 395)), base.red(), 12);
    }
    useScheme(ColorScheme::light);
}
