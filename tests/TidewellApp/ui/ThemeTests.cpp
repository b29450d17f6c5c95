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

#include <climits>

using namespace tidewell;
using tidewell::test::useScheme;

namespace {

struct Rgba {
    double r, g, b, a;
};

void expectColour(const QColor& actual, Rgba expected, const char* what) {
    SCOPED_TRACE(what);
    EXPECT_NEAR(actual.redF(), expected.r, 1e-4);
    EXPECT_NEAR(actual.greenF(), expected.g, 1e-4);
    EXPECT_NEAR(actual.blueF(), expected.b, 1e-4);
    EXPECT_NEAR(actual.alphaF(), expected.a, 1e-4);
}

int luminance(QRgb p) { return qRed(p) * 30 + qGreen(p) * 59 + qBlue(p) * 11; }

}  // namespace

TEST(WirePalette, HoldsTheSixColoursOfEachScheme) {
    const Rgba dark[6] = {{0.5, 0.47, 0.87, 1},  {0.11, 0.62, 0.46, 1}, {0.85, 0.35, 0.19, 1},
                          {0.83, 0.33, 0.49, 1}, {0.94, 0.62, 0.15, 1}, {0.22, 0.54, 0.87, 1}};
    const Rgba light[6] = {{0.36, 0.32, 0.76, 1}, {0.04, 0.47, 0.34, 1}, {0.72, 0.24, 0.09, 1},
                           {0.72, 0.18, 0.36, 1}, {0.66, 0.38, 0.0, 1},  {0.09, 0.4, 0.72, 1}};
    for (int i = 0; i < 6; ++i) {
        expectColour(ZVTheme::wirePalette()[size_t(i)], dark[i], "dark palette");
        expectColour(ZVTheme::wirePaletteLight()[size_t(i)], light[i], "light palette");
        EXPECT_EQ(ZVTheme::wireColor(i, ColorScheme::dark), ZVTheme::wirePalette()[size_t(i)]);
        EXPECT_EQ(ZVTheme::wireColor(i, ColorScheme::light), ZVTheme::wirePaletteLight()[size_t(i)]);
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

TEST(ThemeColours, BackgroundAndGlassFollowTheScheme) {
    const auto d = ColorScheme::dark, l = ColorScheme::light;
    expectColour(Theme::backgroundBase(d), {0.051, 0.055, 0.07, 1}, "dark base");
    expectColour(Theme::backgroundBase(l), {0.965, 0.965, 0.975, 1}, "light base");
    expectColour(Theme::backgroundGlow(d), {0.09, 0.098, 0.125, 0.9}, "dark glow");
    expectColour(Theme::backgroundGlow(l), {0.88, 0.91, 0.98, 0.6}, "light glow");
    expectColour(Theme::dotColor(d), {1, 1, 1, 0.07}, "dark dot");
    expectColour(Theme::dotColor(l), {0, 0, 0, 0.06}, "light dot");
    expectColour(Theme::glassTint(d), {1, 1, 1, 0.03}, "dark tint");
    EXPECT_EQ(Theme::glassTint(l).alpha(), 0) << "light tint is clear";
    expectColour(Theme::hairlineStart(d), {1, 1, 1, 0.28}, "dark hairline start");
    expectColour(Theme::hairlineEnd(d), {1, 1, 1, 0.04}, "dark hairline end");
    expectColour(Theme::hairlineStart(l), {0, 0, 0, 0.08}, "light hairline start");
    expectColour(Theme::hairlineEnd(l), {0, 0, 0, 0.14}, "light hairline end");
    expectColour(Theme::shadowColor(d), {0, 0, 0, 0.45}, "dark shadow");
    expectColour(Theme::shadowColor(l), {0, 0, 0, 0.12}, "light shadow");
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
