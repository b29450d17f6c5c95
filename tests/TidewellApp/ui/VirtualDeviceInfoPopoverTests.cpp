// The information button of the output-channels card: a click opens the popover at once, a
// resting pointer after 0.25 s, and only the last hover change decides what happens.

#include "UiTestSupport.h"

#include "TidewellApp/VirtualDeviceInfoPopover.h"
#include "TidewellApp/WindowTranslucency.h"

#include <QApplication>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace tidewell;

namespace {

// Longer than the hide delay with room to spare: a pending action has had every chance to act.
constexpr int settleMilliseconds = 700;
constexpr int patienceMilliseconds = 5000;

class InfoButtonTest : public ::testing::Test {
protected:
    std::unique_ptr<QWidget> window;
    VirtualDeviceInfoButton* button = nullptr;

    void SetUp() override {
        test::useScheme(ColorScheme::light);
        window = std::make_unique<QWidget>();
        auto* layout = new QHBoxLayout(window.get());
        button = new VirtualDeviceInfoButton(QStringLiteral("Desk"));
        layout->addWidget(button);
        layout->addStretch();
        window->resize(360, 60);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override { window.reset(); }

    static void enter(QWidget* widget) {
        QEnterEvent event(QPointF(2, 2), QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)));
        QCoreApplication::sendEvent(widget, &event);
    }
    static void leave(QWidget* widget) {
        QEvent event(QEvent::Leave);
        QCoreApplication::sendEvent(widget, &event);
    }
    bool opened() { return button->showPopover() && button->popover() && button->popover()->isVisible(); }
    bool waitOpen() { return QTest::qWaitFor([&] { return opened(); }, patienceMilliseconds); }
    bool waitClosed() {
        return QTest::qWaitFor([&] { return !button->showPopover() && !button->popover(); }, patienceMilliseconds);
    }
};

}  // namespace

TEST_F(InfoButtonTest, AClickOpensAtOnce) {
    QTest::mouseClick(button, Qt::LeftButton);
    // No event processing has happened since the click: no timer could have opened it.
    EXPECT_TRUE(opened());
    // The popover sits below the button, its arrow on its top edge.
    const QPoint buttonBottom = button->mapToGlobal(QPoint(button->width() / 2, button->height()));
    EXPECT_EQ(button->popover()->geometry().top(), buttonBottom.y());
    EXPECT_EQ(button->popover()->width(), VirtualDeviceInfoPopover::contentWidth);
}

TEST_F(InfoButtonTest, RestingOnTheButtonOpensAfterTheDelayALeaveBeforeItOpensNothing) {
    enter(button);
    EXPECT_TRUE(button->iconHovered());
    QApplication::processEvents();
    EXPECT_FALSE(opened()) << "the hover opens only after its delay";
    ASSERT_TRUE(waitOpen());

    leave(button);
    ASSERT_TRUE(waitClosed()) << "leaving both closes it";

    // A quick pass: entering and leaving several times; only the last change counts.
    enter(button);
    leave(button);
    enter(button);
    leave(button);
    QTest::qWait(settleMilliseconds);
    EXPECT_FALSE(button->showPopover());
    EXPECT_EQ(button->hoverGeneration(), 2 + 4);
}

TEST_F(InfoButtonTest, MovingIntoThePopoverKeepsItOpenLeavingItClosesIt) {
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(opened());
    enter(button);
    leave(button);
    enter(button->popover());
    EXPECT_TRUE(button->popoverHovered());
    QTest::qWait(settleMilliseconds);
    EXPECT_TRUE(opened()) << "the popover's enter cancels the pending hide";

    // Out and back in within the hide delay: still open.
    leave(button->popover());
    enter(button->popover());
    QTest::qWait(settleMilliseconds);
    EXPECT_TRUE(opened());

    leave(button->popover());
    ASSERT_TRUE(waitClosed());
    EXPECT_FALSE(button->popoverHovered());
}

TEST_F(InfoButtonTest, EscapeAClickElsewhereAndHidingTheButtonDismissIt) {
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(opened());
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(button->showPopover());

    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(opened());
    QTest::mouseClick(window.get(), Qt::LeftButton, {}, QPoint(300, 30));
    EXPECT_FALSE(button->showPopover());

    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(opened());
    window->hide();
    EXPECT_FALSE(button->showPopover());
}

TEST(VirtualDeviceInfoPopoverTest, TheNameIsShownUnchangedAndTheTextsWrapInsideTheWidth) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        const QString name = QStringLiteral("Büro Mix %2 Ω");
        VirtualDeviceInfoPopover popover(name);
        const QStringList texts = popover.texts();
        ASSERT_EQ(texts.size(), 5);
        EXPECT_EQ(texts[0], QStringLiteral("Use Büro Mix %2 Ω in other apps"));
        EXPECT_EQ(texts[1], name + QStringLiteral(" appears as an input device \u2014 like a microphone \u2014 "
                                                  "in every app on this Mac. Whatever you route into these "
                                                  "output channels is exactly what those apps hear."));
        EXPECT_EQ(texts[2], QStringLiteral("Wire sources into these channels."));
        EXPECT_EQ(texts[3], QStringLiteral("In the other app (Zoom, OBS, QuickTime\u2026), choose \u201c") + name +
                                QStringLiteral("\u201d as the microphone or input."));
        EXPECT_EQ(texts[4], QStringLiteral("Channels 1 and 2 are the stereo pair most apps capture."));
        EXPECT_EQ(popover.width(), VirtualDeviceInfoPopover::contentWidth);
        popover.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&popover));
        // Every text lies inside the padded width and is tall enough for all its lines.
        for (auto* label : popover.findChildren<QLabel*>()) {
            if (label->text().isEmpty()) continue;
            const QRect inPopover(label->mapTo(&popover, QPoint(0, 0)), label->size());
            EXPECT_GE(inPopover.left(), VirtualDeviceInfoPopover::padding);
            EXPECT_LE(inPopover.right(), popover.width() - VirtualDeviceInfoPopover::padding);
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        }
        // The arrow on the top edge points up at the button; the corners beside it stay clear.
        QImage alone(popover.size(), QImage::Format_ARGB32_Premultiplied);
        alone.fill(Qt::transparent);
        popover.render(&alone, {}, {}, QWidget::DrawChildren);
        EXPECT_GT(qAlpha(alone.pixel(popover.width() / 2, 3)), 0);
        EXPECT_EQ(qAlpha(alone.pixel(2, 3)), 0);
        test::saveArtifact(popover.grab().toImage(),
                           QStringLiteral("VirtualDeviceInfoPopover-") + test::schemeName(scheme));
    }
}

TEST(VirtualDeviceInfoPopoverTest, WithoutACompositorTheCornersAreCutAwayNotLeftBlack) {
    // No compositing manager: a transparent background would show black, so the window is
    // opaque and masked to the bubble.
    WindowTranslucency::overrideAvailability(false);
    {
        VirtualDeviceInfoPopover popover(QStringLiteral("Desk"));
        EXPECT_FALSE(popover.testAttribute(Qt::WA_TranslucentBackground));
        const QRegion mask = popover.mask();
        ASSERT_FALSE(mask.isEmpty());
        EXPECT_FALSE(mask.contains(QPoint(0, 0)));
        EXPECT_FALSE(mask.contains(QPoint(2, VirtualDeviceInfoPopover::arrowHeight + 1)));
        EXPECT_FALSE(mask.contains(QPoint(popover.width() - 1, popover.height() - 1)));
        EXPECT_TRUE(mask.contains(QPoint(popover.width() / 2, 3)));  // the arrow
        EXPECT_TRUE(mask.contains(QPoint(popover.width() / 2, popover.height() / 2)));
        EXPECT_TRUE(mask.contains(QPoint(popover.width() / 2, popover.height() - 1)));  // the edge's stroke
    }
    // With one, the bubble's own antialiased edge over whatever lies beneath.
    WindowTranslucency::overrideAvailability(true);
    {
        VirtualDeviceInfoPopover popover(QStringLiteral("Desk"));
        EXPECT_TRUE(popover.testAttribute(Qt::WA_TranslucentBackground));
        EXPECT_TRUE(popover.mask().isEmpty());
    }
    WindowTranslucency::overrideAvailability(std::nullopt);
}
