// The channel card of the routing columns: its line of slots, the volume toggle and the
// expandable volume line, all following the bound gain.

#include "UiTestSupport.h"

#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/VolumeSliderLine.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

using namespace tidewell;

namespace {

// A gain held by the test, with every write recorded.
struct BoundGain {
    double value = 1.0;
    std::vector<double> writes;

    Binding<double> binding() {
        return {[this] { return value; },
                [this](const double& next) {
                    value = next;
                    writes.push_back(next);
                }};
    }
};

std::unique_ptr<RoutingChannelRow> makeRow(BoundGain& gain, std::optional<QString> subtitle = {}) {
    auto row = std::make_unique<RoutingChannelRow>(QStringLiteral("Channel 1 (L)"), subtitle,
                                                   gain.binding(), new QWidget, new QWidget,
                                                   new QWidget);
    row->resize(320, row->sizeHint().height());
    return row;
}

void openControl(RoutingChannelRow& row) {
    QTest::mouseClick(row.volumeToggle(), Qt::LeftButton);
    ASSERT_TRUE(row.isExpanded());
    // A shown row grows its control open; wait until it has its full height.
    QWidget* control = row.volumeControl();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return control->maximumHeight() == QWIDGETSIZE_MAX &&
                   (!row.isVisible() || row.height() >= row.minimumSizeHint().height());
        },
        5000));
}

void sendMouse(QWidget* widget, QEvent::Type type, qreal x, Qt::MouseButtons buttons) {
    const QPointF local(x, widget->height() / 2.0);
    QMouseEvent event(type, local, widget->mapToGlobal(local), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

}  // namespace

TEST(RoutingChannelRowTest, PercentageIsTruncatedFromTheProductAndSafeForAnyDouble) {
    struct Case {
        double gain;
        const char* text;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases{
        {0.57, "56%"},  {1.15, "114%"}, {0.555, "55%"}, {0.999, "99%"},
        {1.0, "100%"},  {1.0000001, "100%"}, {0.0, "0%"}, {2.0, "200%"},
        // Not a configuration's values, but a text must never come from an undefined
        // conversion: not finite shows unity, huge values are held to the valid range.
        {std::nan(""), "100%"}, {inf, "100%"}, {-inf, "100%"},
        {1e300, "200%"}, {-1e300, "0%"}, {3e9, "200%"}, {-0.25, "0%"}};
    for (const Case& c : cases) {
        BoundGain gain;
        gain.value = c.gain;
        auto row = makeRow(gain);
        openControl(*row);
        EXPECT_EQ(row->percentText(), QString::fromLatin1(c.text)) << "gain " << c.gain;
        const double shown = row->volumeSlider()->value();
        EXPECT_GE(shown, 0.0);
        EXPECT_LE(shown, 2.0);
        EXPECT_TRUE(gain.writes.empty()) << "showing a gain writes nothing";
    }
    BoundGain huge;
    huge.value = 1e300;
    auto row = makeRow(huge);
    EXPECT_EQ(row->volumeSlider()->value(), 2.0);
    BoundGain notANumber;
    notANumber.value = std::nan("");
    auto other = makeRow(notANumber);
    EXPECT_EQ(other->volumeSlider()->value(), 1.0);
    // A gain that is not unity can always be reset, even one that is not a number.
    openControl(*other);
    EXPECT_TRUE(other->resetButton()->isEnabled());
}

TEST(RoutingChannelRowTest, ToggleColourHelpAndResetFollowTheGain) {
    test::useScheme(ColorScheme::light);
    const QColor accent = Theme::accent(ColorScheme::light);
    const QColor secondary = Theme::secondaryText(ColorScheme::light);

    BoundGain unity;
    auto row = makeRow(unity);
    EXPECT_FALSE(row->isExpanded());
    EXPECT_EQ(row->volumeToggleColor(), secondary);
    EXPECT_EQ(row->volumeToggle()->toolTip(), QStringLiteral("Channel Volume"));
    EXPECT_FALSE(row->volumeControl()->isVisibleTo(row.get()));
    openControl(*row);
    EXPECT_TRUE(row->volumeControl()->isVisibleTo(row.get()));
    EXPECT_EQ(row->volumeToggleColor(), accent) << "open shows the accent even at unity";
    EXPECT_EQ(row->volumeToggle()->toolTip(), QStringLiteral("Hide Channel Volume"));
    EXPECT_EQ(row->percentText(), QStringLiteral("100%"));
    EXPECT_FALSE(row->resetButton()->isEnabled());
    QTest::mouseClick(row->volumeToggle(), Qt::LeftButton);
    EXPECT_FALSE(row->isExpanded());
    EXPECT_FALSE(row->volumeControl()->isVisibleTo(row.get()));
    EXPECT_EQ(row->volumeToggleColor(), secondary);
    EXPECT_TRUE(unity.writes.empty()) << "opening and closing changes no gain";

    for (const double adjusted : {0.999, 1.0000001}) {
        BoundGain gain;
        gain.value = adjusted;
        auto changed = makeRow(gain);
        EXPECT_EQ(changed->volumeToggleColor(), accent) << adjusted;
        openControl(*changed);
        EXPECT_TRUE(changed->resetButton()->isEnabled()) << adjusted;
    }

    // The row keeps no copy: a change made elsewhere shows on refresh.
    unity.value = 0.4;
    row->refresh();
    EXPECT_EQ(row->volumeToggleColor(), accent);
    EXPECT_TRUE(row->resetButton()->isEnabled());
}

TEST(RoutingChannelRowTest, ResetWritesExactlyUnityOnceAndThenDisablesItself) {
    BoundGain gain;
    gain.value = 0.37;
    auto row = makeRow(gain);
    row->show();
    openControl(*row);
    ASSERT_TRUE(row->resetButton()->isVisible());
    ASSERT_TRUE(row->resetButton()->isEnabled());
    QTest::mouseClick(row->resetButton(), Qt::LeftButton);
    ASSERT_EQ(gain.writes.size(), 1u);
    EXPECT_EQ(gain.writes.front(), 1.0);
    EXPECT_FALSE(row->resetButton()->isEnabled());
    EXPECT_EQ(row->percentText(), QStringLiteral("100%"));
    QTest::mouseClick(row->resetButton(), Qt::LeftButton);
    EXPECT_EQ(gain.writes.size(), 1u) << "a disabled link writes nothing";
}

TEST(RoutingChannelRowTest, SliderWritesAnyValueInsideTheRange) {
    BoundGain gain;
    auto row = makeRow(gain);
    row->show();
    openControl(*row);
    ContinuousSlider* slider = row->volumeSlider();
    ASSERT_TRUE(QTest::qWaitFor([&] { return slider->isVisible() && slider->width() > 40; }, 5000));
    const qreal x = slider->width() * 0.3137;
    sendMouse(slider, QEvent::MouseButtonPress, x, Qt::LeftButton);
    ASSERT_EQ(gain.writes.size(), 1u);
    EXPECT_DOUBLE_EQ(gain.writes.back(), slider->valueAt(x));
    EXPECT_NE(gain.writes.back() * 100, std::trunc(gain.writes.back() * 100))
        << "a drag is not held to whole percents";
    EXPECT_EQ(row->percentText(), gainPercentText(gain.value));
    sendMouse(slider, QEvent::MouseMove, -50, Qt::LeftButton);
    EXPECT_EQ(gain.writes.back(), 0.0);
    EXPECT_EQ(row->percentText(), QStringLiteral("0%"));
    sendMouse(slider, QEvent::MouseMove, slider->width() + 50, Qt::LeftButton);
    EXPECT_EQ(gain.writes.back(), 2.0);
    EXPECT_EQ(row->percentText(), QStringLiteral("200%"));
    sendMouse(slider, QEvent::MouseButtonRelease, slider->width() + 50, Qt::NoButton);
    const std::size_t written = gain.writes.size();
    sendMouse(slider, QEvent::MouseMove, 10, Qt::NoButton);
    EXPECT_EQ(gain.writes.size(), written) << "moving without a press writes nothing";
}

TEST(RoutingChannelRowTest, WithoutBindingNoToggleAndNameBlocksKeepTheirMinimumWidth) {
    auto* leading = new QWidget;
    auto* meter = new QWidget;
    auto* trailing = new QWidget;
    RoutingChannelRow bare(QStringLiteral("A rather long channel name"), std::nullopt, std::nullopt,
                           leading, meter, trailing);
    EXPECT_FALSE(bare.hasChannelGain());
    EXPECT_EQ(bare.volumeToggle(), nullptr);
    EXPECT_EQ(bare.volumeControl(), nullptr);
    EXPECT_EQ(bare.findChildren<QToolButton*>().size(), 0);
    // Leading slot, names, spacer, meter, trailing slot.
    auto* line = qobject_cast<QHBoxLayout*>(bare.layout()->itemAt(0)->layout());
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->count(), 5);
    EXPECT_TRUE(bare.isAncestorOf(leading));
    EXPECT_TRUE(bare.isAncestorOf(meter));
    EXPECT_TRUE(bare.isAncestorOf(trailing));
    EXPECT_EQ(leading->parentWidget()->size(), QSize(18, 18));

    // Squeezed hard, the name block keeps its minimum width and the title elides.
    bare.resize(60, 40);
    bare.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bare));
    EXPECT_GE(bare.nameBlock()->width(), RoutingChannelRow::nameMinimumWidth);
    RoutingChannelRow twoLines(QStringLiteral("Left"), QStringLiteral("Built-in Microphone"),
                               std::nullopt, nullptr, nullptr, nullptr);
    twoLines.resize(60, 40);
    twoLines.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&twoLines));
    EXPECT_GE(twoLines.nameBlock()->width(), RoutingChannelRow::nameWithSubtitleMinimumWidth);
    EXPECT_EQ(twoLines.subtitle(), QStringLiteral("Built-in Microphone"));

    // A binding without a getter counts as none.
    RoutingChannelRow empty(QStringLiteral("X"), std::nullopt, Binding<double>{}, nullptr,
                            nullptr, nullptr);
    EXPECT_EQ(empty.volumeToggle(), nullptr);
}

TEST(RoutingChannelRowTest, CardFillPerScheme) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        BoundGain gain;
        gain.value = 0.8;
        auto row = makeRow(gain, QStringLiteral("Second line"));
        openControl(*row);
        // Drawn alone, the middle of the top edge holds only the card's fill.
        QImage alone(row->size(), QImage::Format_ARGB32_Premultiplied);
        alone.fill(Qt::transparent);
        row->render(&alone, {}, {}, QWidget::DrawChildren);
        const QColor pixel = alone.pixelColor(alone.width() / 2, 1);
        const QColor fill = RoutingChannelRow::cardFill(scheme == ColorScheme::dark);
        EXPECT_NEAR(pixel.alphaF(), fill.alphaF(), 0.01) << test::schemeName(scheme).toStdString();
        EXPECT_EQ(pixel.red(), fill.red());
        QWidget backdrop;
        test::fillWithBackground(backdrop, scheme);
        auto* layout = new QHBoxLayout(&backdrop);
        layout->setContentsMargins(12, 12, 12, 12);
        row->setParent(&backdrop);
        layout->addWidget(row.release());
        backdrop.resize(340, backdrop.sizeHint().height());
        test::saveArtifact(test::grabShown(backdrop),
                           QStringLiteral("RoutingChannelRow-") + test::schemeName(scheme));
    }
}
