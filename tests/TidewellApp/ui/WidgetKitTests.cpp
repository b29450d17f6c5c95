// The shared widget kit: eliding and line-limited labels, the switch and the link button.

#include "UiTestSupport.h"

#include "TidewellApp/DotGridBackground.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/LineLimitedLabel.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/ToggleSwitch.h"

#include <QGridLayout>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace tidewell;

TEST(ElidingLabelTest, EndsInAnEllipsisOnlyWhenTooNarrow) {
    ElidingLabel label(QStringLiteral("Background service isn't responding"));
    label.setFont(Theme::font(13));
    label.resize(label.sizeHint());
    EXPECT_FALSE(label.isElided());
    EXPECT_EQ(label.displayedText(), label.text());
    label.resize(80, label.sizeHint().height());
    EXPECT_TRUE(label.isElided());
    EXPECT_TRUE(label.displayedText().endsWith(QChar(0x2026)));
    EXPECT_LE(label.fontMetrics().horizontalAdvance(label.displayedText()), 80);
    EXPECT_LT(label.minimumSizeHint().width(), 80) << "layouts may shrink it";
    // Text is plain: markup shows as written.
    label.setText(QStringLiteral("<b>x</b>"));
    label.resize(label.sizeHint());
    EXPECT_EQ(label.displayedText(), QStringLiteral("<b>x</b>"));
}

// A channel's name keeps its number and side however narrow it gets: the word before them is
// cut first, then left out; only a width too narrow for the number and side alone cuts them.
TEST(ElidingLabelTest, AKeptEndStaysWholeWhileTheRestIsCut) {
    ElidingLabel label(QStringLiteral("Channel 1 (L)"));
    label.setFont(Theme::font(11, QFont::DemiBold));
    label.setKeptEnd(6);
    const QFontMetrics fm = label.fontMetrics();
    const int height = label.sizeHint().height();
    label.resize(label.sizeHint().width(), height);
    EXPECT_EQ(label.displayedText(), "Channel 1 (L)");
    QStringList seen;
    for (int width = label.sizeHint().width() - 1; width >= fm.horizontalAdvance("1 (L)"); --width) {
        label.resize(width, height);
        const QString shown = label.displayedText();
        EXPECT_TRUE(shown.endsWith(" 1 (L)") || shown == "1 (L)") << shown.toStdString() << " at " << width;
        EXPECT_LE(fm.horizontalAdvance(shown), width) << shown.toStdString();
        if (seen.isEmpty() || seen.last() != shown) seen << shown;
    }
    // "Chann… 1 (L)" and so on down to "C… 1 (L)", then the number and side alone.
    ASSERT_GE(seen.size(), 2);
    EXPECT_TRUE(seen.first().startsWith("Chann")) << seen.first().toStdString();
    EXPECT_TRUE(seen.contains(QStringLiteral("C\u2026 1 (L)"))) << seen.join(" | ").toStdString();
    EXPECT_EQ(seen.last(), "1 (L)");
    EXPECT_FALSE(seen.contains(QStringLiteral("\u2026 1 (L)"))) << "a lone ellipsis says nothing";
    // Narrower than that, the number and side are cut at their end, as any text is.
    label.resize(fm.horizontalAdvance("1 (L)") - 1, height);
    EXPECT_TRUE(label.displayedText().startsWith("1")) << label.displayedText().toStdString();
    // The layout is asked for room for them; without a kept end, for the ellipsis only.
    EXPECT_EQ(label.minimumSizeHint().width(), fm.horizontalAdvance("1 (L)"));
    label.setKeptEnd(0);
    EXPECT_EQ(label.minimumSizeHint().width(), fm.horizontalAdvance(QStringLiteral("\u2026")));
    label.resize(fm.horizontalAdvance("Channel"), height);
    EXPECT_TRUE(label.displayedText().startsWith("Cha")) << "cut at its end";
}

TEST(ElidingLabelTest, ColourFollowsTheSchemeUnlessFixed) {
    ElidingLabel label(QStringLiteral("x"));
    label.setForeground(Theme::Foreground::secondary);
    test::useScheme(ColorScheme::dark);
    EXPECT_EQ(label.effectiveColor(), Theme::secondaryText(ColorScheme::dark));
    test::useScheme(ColorScheme::light);
    EXPECT_EQ(label.effectiveColor(), Theme::secondaryText(ColorScheme::light));
    label.setColor(Qt::red);
    EXPECT_EQ(label.effectiveColor(), QColor(Qt::red));
}

TEST(LineLimitedLabelTest, WrapsAtWordsAndElidesTheLastAllowedLine) {
    const QString text = QStringLiteral(
        "Pass-thru test failed: the captured signal stayed below the threshold for every one of "
        "the channels that were checked during the run");
    LineLimitedLabel label(text, 2);
    label.setFont(Theme::font(11));
    const int width = 160;
    const QStringList lines = label.displayedLines(width);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Pass-thru test")));
    EXPECT_FALSE(lines[0].endsWith(QChar(0x2026)));
    EXPECT_TRUE(lines[1].endsWith(QChar(0x2026)));
    for (const QString& line : lines) EXPECT_LE(label.fontMetrics().horizontalAdvance(line), width);
    EXPECT_EQ(label.heightForWidth(width), 2 * label.fontMetrics().lineSpacing());

    // Short text: one line, untouched.
    label.setText(QStringLiteral("Saved"));
    EXPECT_EQ(label.displayedLines(width), QStringList{QStringLiteral("Saved")});
    EXPECT_EQ(label.heightForWidth(width), label.fontMetrics().lineSpacing());

    // A word longer than the line breaks anywhere rather than overflowing.
    label.setText(QStringLiteral("/home/user/.local/share/Tidewell/config.json/and/a/long/tail/of/folders"));
    label.resize(120, label.heightForWidth(120));
    for (const QString& line : label.displayedLines()) EXPECT_LE(label.fontMetrics().horizontalAdvance(line), 120);
    EXPECT_TRUE(label.isTruncated());

    // Hard line breaks count against the limit too.
    label.setText(QStringLiteral("one\n\n\nfour\nfive"));
    EXPECT_EQ(label.displayedLines(width), (QStringList{QStringLiteral("one"), QStringLiteral("four five")}));

    // One line allowed: like an eliding label.
    label.setMaximumLines(1);
    label.setText(text);
    ASSERT_EQ(label.displayedLines(width).size(), 1);
    EXPECT_TRUE(label.displayedLines(width)[0].endsWith(QChar(0x2026)));
}

TEST(ToggleSwitchTest, ClickAndSpaceToggleWhileEnabledOnly) {
    ToggleSwitch toggle;
    toggle.resize(toggle.sizeHint());
    test::grabShown(toggle);
    QSignalSpy toggled(&toggle, &QAbstractButton::toggled);
    EXPECT_FALSE(toggle.isChecked());
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, toggle.rect().center());
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return toggle.knobPosition() == 1.0; }, 5000)) << "knob slides to on";
    toggle.setFocus();
    QTest::keyClick(&toggle, Qt::Key_Space);
    EXPECT_FALSE(toggle.isChecked());
    ASSERT_EQ(toggled.count(), 2);
    toggle.setEnabled(false);
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, toggle.rect().center());
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_EQ(toggled.count(), 2);
}

TEST(ToggleSwitchTest, SetWhileHiddenJumpsToItsState) {
    ToggleSwitch toggle;
    toggle.setChecked(true);
    EXPECT_EQ(toggle.knobPosition(), 1.0);
}

TEST(LinkButtonTest, ClicksWhileEnabledAndFadesWhenDisabled) {
    LinkButton link(QStringLiteral("Reset"));
    link.setFont(Theme::font(10));
    link.resize(link.sizeHint());
    test::grabShown(link);
    QSignalSpy clicked(&link, &QAbstractButton::clicked);
    QTest::mouseClick(&link, Qt::LeftButton, {}, link.rect().center());
    EXPECT_EQ(clicked.count(), 1);
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    EXPECT_EQ(link.textColor(), Theme::accent(scheme));
    link.setEnabled(false);
    QTest::mouseClick(&link, Qt::LeftButton, {}, link.rect().center());
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_EQ(link.textColor(), Theme::tertiaryText(scheme));
    EXPECT_GE(link.sizeHint().width(), link.fontMetrics().horizontalAdvance(QStringLiteral("Reset")));
}

// The kit on a card, for a person to look at.
TEST(WidgetKitGrabs, KitOnACardInBothSchemes) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        QWidget window;
        window.resize(420, 260);
        auto* background = new DotGridBackground(14, 1, &window);
        background->setGeometry(0, 0, 420, 260);
        auto* card = new GlassCard(12, &window);
        card->setGeometry(10, 10, 400, 240);
        auto* grid = new QGridLayout(card);
        grid->setContentsMargins(14, 12, 14, 12);
        grid->setHorizontalSpacing(12);
        grid->setVerticalSpacing(8);
        auto* elided = new ElidingLabel(QStringLiteral("A device name far too long to fit its column"), card);
        elided->setFont(Theme::font(13, QFont::Medium));
        elided->setFixedWidth(150);
        auto* wrapped = new LineLimitedLabel(
            QStringLiteral("Monitor failed: the output device went away while the helper was "
                           "playing and it could not reopen it after three attempts"),
            2, card);
        wrapped->setFont(Theme::font(10));
        wrapped->setForeground(Theme::Foreground::secondary);
        auto* onSwitch = new ToggleSwitch(card);
        onSwitch->setChecked(true);
        auto* offSwitch = new ToggleSwitch(card);
        auto* disabledSwitch = new ToggleSwitch(card);
        disabledSwitch->setChecked(true);
        disabledSwitch->setEnabled(false);
        auto* link = new LinkButton(QStringLiteral("Reset"), card);
        link->setFont(Theme::font(10));
        auto* disabledLink = new LinkButton(QStringLiteral("Reset"), card);
        disabledLink->setFont(Theme::font(10));
        disabledLink->setEnabled(false);
        auto caption = [&](const char* text) {
            auto* l = new ElidingLabel(QString::fromLatin1(text), card);
            l->setFont(Theme::font(11));
            l->setForeground(Theme::Foreground::tertiary);
            return l;
        };
        grid->addWidget(caption("eliding"), 0, 0);
        grid->addWidget(elided, 0, 1);
        grid->addWidget(caption("two lines"), 1, 0, Qt::AlignTop);
        grid->addWidget(wrapped, 1, 1);
        grid->addWidget(caption("switches"), 2, 0);
        auto* switches = new QHBoxLayout;
        switches->setSpacing(10);
        switches->addWidget(onSwitch);
        switches->addWidget(offSwitch);
        switches->addWidget(disabledSwitch);
        switches->addStretch();
        grid->addLayout(switches, 2, 1);
        grid->addWidget(caption("links"), 3, 0);
        auto* links = new QHBoxLayout;
        links->setSpacing(10);
        links->addWidget(link);
        links->addWidget(disabledLink);
        links->addStretch();
        grid->addLayout(links, 3, 1);
        grid->setColumnStretch(1, 1);
        grid->setRowStretch(4, 1);
        const QImage image = test::grabShown(window);
        test::saveArtifact(image, QStringLiteral("kit-") + test::schemeName(scheme));
        EXPECT_TRUE(elided->isElided());
        EXPECT_TRUE(wrapped->isTruncated());
    }
    test::useScheme(ColorScheme::light);
}
