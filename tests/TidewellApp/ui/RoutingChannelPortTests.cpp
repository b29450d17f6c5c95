// The channel port: channel numbers, the 2-point drag threshold, the 34 x 34 hit square, the
// drag reported in canvas coordinates, tooltips and colours.

#include "UiTestSupport.h"

#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

using namespace tidewell;

namespace {

const RoutingPortID sourcePort{{"source", "s0", 1}, RoutingPortRole::sourceOutput};
const RoutingPortID inputPort{{"deviceOutput", "D", 1}, RoutingPortRole::outputInput};

// A window with a canvas at (20, 30), and in it a row at (50, 60) holding a port at (100, 8).
struct PortFixture {
    explicit PortFixture(const RoutingPortID& id, bool canStartDrag) {
        test::useScheme(ColorScheme::light);
        window.resize(400, 300);
        canvas = new QWidget(&window);
        canvas->setObjectName(QStringLiteral("routingCanvas"));
        canvas->setGeometry(20, 30, 360, 250);
        auto* row = new QWidget(canvas);
        row->setGeometry(50, 60, 200, 32);
        port = new RoutingChannelPort(id, canStartDrag, row);
        port->move(100, 8);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    // The circle's centre plus an offset, in window coordinates.
    QPoint atCentre(int dx = 0, int dy = 0) const {
        return port->mapTo(&window, port->circleRect().center().toPoint()) + QPoint(dx, dy);
    }
    QWindow* handle() { return window.windowHandle(); }

    QWidget window;
    QWidget* canvas = nullptr;
    RoutingChannelPort* port = nullptr;
};

}  // namespace

TEST(RoutingChannelPortTest, ChannelNumbersCountFromOne) {
    EXPECT_TRUE(channelNumbers(0).empty());
    EXPECT_TRUE(channelNumbers(-3).empty());
    EXPECT_EQ(channelNumbers(2), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(channelNumbers(64).back(), 64);
}

TEST(RoutingChannelPortTest, APressBecomesADragAfterTwoPoints) {
    RoutingPortDragTracker t;
    EXPECT_FALSE(t.move({5, 5})) << "no press, no drag";
    t.press({10, 10});
    EXPECT_FALSE(t.move({11.9, 10}));
    EXPECT_FALSE(t.move({11, 11.5}));
    EXPECT_TRUE(t.move({10, 12}));
    EXPECT_TRUE(t.move({10, 10})) << "once dragging, back at the start is still a drag";
    EXPECT_TRUE(t.release({10, 10}));
    EXPECT_FALSE(t.isPressed());

    t.press({0, 0});
    EXPECT_FALSE(t.release({1, 1})) << "a short press ends nothing";
    t.press({0, 0});
    EXPECT_TRUE(t.release({0, 3})) << "a release far enough away is a drag's end";
}

TEST(RoutingChannelPortTest, HoverReachesTenPointsBeyondTheCircle) {
    PortFixture f(inputPort, false);
    QSignalSpy hover(f.port, &RoutingChannelPort::hoverChanged);
    EXPECT_EQ(f.port->hitArea().size(), QSizeF(34, 34));
    // The circle is 14 wide: its edge lies 7 from the centre, so 10 beyond it is 17 away.
    const double edge = 7 + 10;
    QTest::mouseMove(f.handle(), f.atCentre(-18, 0));
    QApplication::processEvents();
    EXPECT_FALSE(f.port->isHovered());
    QTest::mouseMove(f.handle(), f.atCentre(-int(edge), 0));
    QApplication::processEvents();
    EXPECT_TRUE(f.port->isHovered());
    ASSERT_EQ(hover.count(), 1);
    EXPECT_EQ(hover.at(0).at(0).value<RoutingPortID>(), inputPort);
    EXPECT_TRUE(hover.at(0).at(1).toBool());
    QTest::mouseMove(f.handle(), f.atCentre(0, int(edge)));
    QApplication::processEvents();
    EXPECT_EQ(hover.count(), 1) << "moving inside reports nothing new";
    QTest::mouseMove(f.handle(), f.atCentre(0, int(edge) + 1));
    QApplication::processEvents();
    ASSERT_EQ(hover.count(), 2);
    EXPECT_FALSE(hover.at(1).at(1).toBool());
    EXPECT_EQ(f.port->toolTip(), QStringLiteral("Drop a wire on this channel"));
}

TEST(RoutingChannelPortTest, DragsAreReportedInCanvasCoordinates) {
    PortFixture f(sourcePort, true);
    EXPECT_EQ(f.port->toolTip(), QStringLiteral("Drag to connect this channel"));
    QSignalSpy changed(f.port, &RoutingChannelPort::dragChanged);
    QSignalSpy ended(f.port, &RoutingChannelPort::dragEnded);

    // The canvas frame: row (50, 60) + port (100, 8) + the stroke's inset 1.
    EXPECT_EQ(f.port->canvasFrame(), QRectF(151, 69, 14, 14));

    // Start 9 points outside the circle, move 1 point: nothing yet.
    const QPoint start = f.atCentre(16, 0);
    QTest::mousePress(f.handle(), Qt::LeftButton, {}, start);
    QTest::mouseMove(f.handle(), start + QPoint(1, 0));
    QApplication::processEvents();
    EXPECT_EQ(changed.count(), 0);
    QTest::mouseMove(f.handle(), start + QPoint(40, 25));
    QApplication::processEvents();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).value<RoutingPortID>(), sourcePort);
    const QPointF inCanvas = QPointF(start + QPoint(40, 25) - QPoint(20, 30));
    EXPECT_EQ(changed.at(0).at(1).toPointF(), inCanvas);
    QTest::mouseRelease(f.handle(), Qt::LeftButton, {}, start + QPoint(60, 25));
    QApplication::processEvents();
    ASSERT_EQ(ended.count(), 1);
    EXPECT_EQ(ended.at(0).at(1).toPointF(), QPointF(start + QPoint(60, 25) - QPoint(20, 30)));
    const auto changes = changed.count();  // the release's own move may count as a change

    // A press outside the hit square starts nothing.
    QTest::mousePress(f.handle(), Qt::LeftButton, {}, f.atCentre(18, 0));
    QTest::mouseMove(f.handle(), f.atCentre(60, 40));
    QTest::mouseRelease(f.handle(), Qt::LeftButton, {}, f.atCentre(60, 40));
    QApplication::processEvents();
    EXPECT_EQ(changed.count(), changes);
    EXPECT_EQ(ended.count(), 1);
}

TEST(RoutingChannelPortTest, APortUnderADragFromAnotherPortReportsHover) {
    test::useScheme(ColorScheme::light);
    QWidget window;
    window.resize(400, 300);
    auto* canvas = new QWidget(&window);
    canvas->setObjectName(QStringLiteral("routingCanvas"));
    canvas->resize(400, 300);
    // The target comes first, so the source port sees the window's events before it.
    auto* target = new RoutingChannelPort(inputPort, false, canvas);
    target->move(250, 150);
    auto* source = new RoutingChannelPort(sourcePort, true, canvas);
    source->move(40, 40);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy targetHover(target, &RoutingChannelPort::hoverChanged);
    QSignalSpy ended(source, &RoutingChannelPort::dragEnded);
    const auto centreOf = [&](RoutingChannelPort* p) {
        return p->mapTo(&window, p->circleRect().center().toPoint());
    };
    QWindow* handle = window.windowHandle();
    QTest::mousePress(handle, Qt::LeftButton, {}, centreOf(source));
    QTest::mouseMove(handle, centreOf(source) + QPoint(20, 20));
    QTest::mouseMove(handle, centreOf(target));
    QApplication::processEvents();
    EXPECT_TRUE(target->isHovered());
    ASSERT_EQ(targetHover.count(), 1);
    QTest::mouseRelease(handle, Qt::LeftButton, {}, centreOf(target));
    QApplication::processEvents();
    ASSERT_EQ(ended.count(), 1);
    EXPECT_EQ(ended.at(0).at(1).toPointF(), QPointF(target->canvasFrame().center()));
}

TEST(RoutingChannelPortTest, AReceiverMayDestroyThePortItHearsFrom) {
    PortFixture f(sourcePort, true);
    QPointer<RoutingChannelPort> port = f.port;
    std::optional<RoutingPortID> endedWith;
    // Connecting a wire rebuilds the rows, and the port that reported the drop with them.
    QObject::connect(f.port, &RoutingChannelPort::dragEnded,
                     [&](const RoutingPortID& id, QPointF) {
                         delete port.data();
                         endedWith = id;
                     });
    QTest::mousePress(f.handle(), Qt::LeftButton, {}, f.atCentre());
    QTest::mouseMove(f.handle(), f.atCentre(30, 0));
    QTest::mouseRelease(f.handle(), Qt::LeftButton, {}, f.atCentre(30, 0));
    QApplication::processEvents();
    EXPECT_TRUE(port.isNull());
    EXPECT_EQ(endedWith, sourcePort);

    // The same for a hover handler.
    PortFixture g(inputPort, false);
    QPointer<RoutingChannelPort> hovered = g.port;
    QObject::connect(g.port, &RoutingChannelPort::hoverChanged,
                     [&](const RoutingPortID&, bool) { delete hovered.data(); });
    QTest::mouseMove(g.handle(), g.atCentre());
    QApplication::processEvents();
    EXPECT_TRUE(hovered.isNull());
}

TEST(RoutingChannelPortTest, ADropTargetIgnoresDragsButReportsHover) {
    PortFixture f(inputPort, false);
    QSignalSpy changed(f.port, &RoutingChannelPort::dragChanged);
    QSignalSpy ended(f.port, &RoutingChannelPort::dragEnded);
    QSignalSpy hover(f.port, &RoutingChannelPort::hoverChanged);
    QTest::mousePress(f.handle(), Qt::LeftButton, {}, f.atCentre());
    QTest::mouseMove(f.handle(), f.atCentre(50, 0));
    QTest::mouseRelease(f.handle(), Qt::LeftButton, {}, f.atCentre(50, 0));
    QApplication::processEvents();
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(ended.count(), 0);
    EXPECT_EQ(hover.count(), 2) << "entered and left";
}

TEST(RoutingChannelPortTest, ColoursFollowHighlightTintAndScheme) {
    RoutingChannelPort port(sourcePort, true);
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        const bool dark = scheme == ColorScheme::dark;
        EXPECT_NEAR(port.fillColor().alphaF(), dark ? 0.14 : 0.12, 0.005);
        EXPECT_EQ(port.fillColor().rgb(), dark ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        EXPECT_NEAR(port.strokeColor().alphaF(),
                    Theme::secondaryText(scheme).alphaF() * (dark ? 0.55 : 0.75), 0.005);
        port.setTint(ZVTheme::wireColor(2, scheme));
        EXPECT_EQ(port.strokeColor(), ZVTheme::wireColor(2, scheme));
        port.setHighlighted(true);
        EXPECT_EQ(port.strokeColor(), Theme::accent(scheme)) << "highlight ignores the tint";
        EXPECT_EQ(port.fillColor(), Theme::accent(scheme));
        port.setHighlighted(false);
        port.setTint(std::nullopt);
    }
}

TEST(RoutingChannelPortTest, GrabsInLightAndDark) {
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        QWidget sheet;
        test::fillWithBackground(sheet, scheme);
        auto* row = new QHBoxLayout(&sheet);
        row->setContentsMargins(12, 12, 12, 12);
        row->setSpacing(12);
        auto* idle = new RoutingChannelPort(inputPort, false);
        auto* tinted = new RoutingChannelPort(sourcePort, true);
        tinted->setTint(ZVTheme::wireColor(0, scheme));
        auto* lit = new RoutingChannelPort(inputPort, false);
        lit->setHighlighted(true);
        for (auto* p : {idle, tinted, lit}) row->addWidget(p);
        const QImage image = test::grabShown(sheet);
        test::saveArtifact(image.scaled(image.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation),
                           "RoutingChannelPort-" + test::schemeName(scheme) + "-x4");
        // The highlighted port's centre is the accent colour.
        const QPoint centre = lit->mapTo(&sheet, lit->circleRect().center().toPoint());
        EXPECT_EQ(QColor(image.pixel(centre)).rgb(), Theme::accent(scheme).rgb());
    }
}
