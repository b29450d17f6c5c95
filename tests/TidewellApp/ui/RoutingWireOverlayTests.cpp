// The wire overlay: wires drawn in their source's or monitor's colour and dimmed around the
// focus, the dashed drag wire, and the delete button on the selected wire.

#include "UiTestSupport.h"

#include "TidewellApp/RoutingWireOverlay.h"
#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

using namespace tidewell;

namespace {

RoutingPortID port(std::string kind, std::string owner, std::int64_t channel, RoutingPortRole role) {
    return {{std::move(kind), std::move(owner), channel}, role};
}

// Two sources and a monitor on device D: s0 → D:1 (level at y 50), s1 → D:2 (level at y 120),
// D:1 → m0:1 (level at y 50).
DeviceConfig device() {
    DeviceConfig d;
    d.id = "D";
    for (const char* id : {"s0", "s1"}) {
        SourceConfig s;
        s.id = id;
        s.channelCount = 2;
        d.sources.push_back(s);
    }
    MonitorConfig m;
    m.id = "m0";
    m.channelCount = 2;
    d.monitors.push_back(m);
    d.wires = {
        {"w0", {EndpointKind::source, "s0", 1}, {EndpointKind::deviceOutput, "D", 1}},
        {"w1", {EndpointKind::source, "s1", 1}, {EndpointKind::deviceOutput, "D", 2}},
        {"w2", {EndpointKind::deviceOutput, "D", 1}, {EndpointKind::monitor, "m0", 1}},
    };
    return d;
}

QRectF frameAt(double x, double y) { return {x - 7, y - 7, 14, 14}; }

RoutingPortFrames frames() {
    return {
        {port("source", "s0", 1, RoutingPortRole::sourceOutput), frameAt(40, 50)},
        {port("source", "s1", 1, RoutingPortRole::sourceOutput), frameAt(40, 120)},
        {port("deviceOutput", "D", 1, RoutingPortRole::outputInput), frameAt(240, 50)},
        {port("deviceOutput", "D", 1, RoutingPortRole::outputOutput), frameAt(340, 50)},
        {port("deviceOutput", "D", 2, RoutingPortRole::outputInput), frameAt(240, 120)},
        {port("monitor", "m0", 1, RoutingPortRole::monitorInput), frameAt(540, 50)},
    };
}

struct OverlayFixture {
    explicit OverlayFixture(ColorScheme scheme = ColorScheme::light) : scheme(scheme) {
        test::useScheme(scheme);
        test::fillWithBackground(host, scheme);
        host.resize(600, 170);
        beneath = new QPushButton(QStringLiteral("beneath"), &host);
        beneath->setGeometry(120, 140, 90, 24);
        overlay = new RoutingWireOverlay(&host);
        overlay->setGeometry(0, 0, 600, 170);
        overlay->setDevice(device());
        overlay->setPortFrames(frames());
        overlay->setDeleteAction([this](const std::string& id) { deleted.push_back(id); });
        host.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&host));
    }

    QImage image() {
        QApplication::processEvents();
        return host.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    }

    // The colour a fully covered pixel of a stroke in `colour` shows over the background.
    QColor over(const QColor& colour) const {
        const QColor back = Theme::backgroundBase(scheme);
        const double a = colour.alphaF();
        return QColor::fromRgbF(float(colour.redF() * a + back.redF() * (1 - a)),
                                float(colour.greenF() * a + back.greenF() * (1 - a)),
                                float(colour.blueF() * a + back.blueF() * (1 - a)));
    }

    ColorScheme scheme;
    QWidget host;
    QPushButton* beneath = nullptr;
    RoutingWireOverlay* overlay = nullptr;
    std::vector<std::string> deleted;
};

void expectColour(QRgb actual, const QColor& expected, const char* what) {
    const QColor a(actual);
    EXPECT_NEAR(a.red(), expected.red(), 4) << what;
    EXPECT_NEAR(a.green(), expected.green(), 4) << what;
    EXPECT_NEAR(a.blue(), expected.blue(), 4) << what;
}

}  // namespace

TEST(RoutingWireOverlayTest, WiresTakeTheirSourceOrMonitorColourAndDimAroundTheFocus) {
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        OverlayFixture f(scheme);
        const double rest = scheme == ColorScheme::dark ? 0.62 : 0.78;
        const double dim = scheme == ColorScheme::dark ? 0.14 : 0.2;
        auto faded = [&](int index, double alpha) {
            QColor c = ZVTheme::wireColor(index, scheme);
            c.setAlphaF(float(alpha));
            return f.over(c);
        };
        QImage image = f.image();
        expectColour(image.pixel(90, 50), faded(0, rest), "s0's wire at rest");
        expectColour(image.pixel(90, 120), faded(1, rest), "s1's wire at rest");
        expectColour(image.pixel(400, 50), faded(2, rest), "m0's wire: sources + 0");

        f.overlay->setSelectedWireID(std::string("w1"));
        image = f.image();
        expectColour(image.pixel(90, 120), f.over(ZVTheme::wireColor(1, scheme)), "selected");
        expectColour(image.pixel(90, 121), f.over(ZVTheme::wireColor(1, scheme)),
                     "selected is 4 wide");
        expectColour(image.pixel(90, 50), faded(0, dim), "others dimmed");
        expectColour(image.pixel(400, 50), faded(2, dim), "others dimmed");

        // Hovering either port of device channel 1 focuses the wires in and out of it.
        f.overlay->setSelectedWireID(std::nullopt);
        f.overlay->setHoveredPortID(port("deviceOutput", "D", 1, RoutingPortRole::outputInput));
        image = f.image();
        expectColour(image.pixel(90, 50), f.over(ZVTheme::wireColor(0, scheme)), "into D:1");
        expectColour(image.pixel(400, 50), f.over(ZVTheme::wireColor(2, scheme)), "out of D:1");
        expectColour(image.pixel(90, 120), faded(1, dim), "D:2 dimmed");
    }
}

TEST(RoutingWireOverlayTest, TheDeleteButtonSitsOnTheSelectedWireAndDeletesIt) {
    OverlayFixture f;
    QToolButton* button = f.overlay->deleteButton();
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isVisible());
    QSignalSpy cleared(f.overlay, &RoutingWireOverlay::selectedWireIDChanged);

    f.overlay->setSelectedWireID(std::string("w2"));
    ASSERT_TRUE(button->isVisible());
    EXPECT_EQ(button->size(), QSize(24, 24));
    EXPECT_EQ(button->geometry().center() + QPoint(1, 1), QPoint(440, 50)) << "on the midpoint";
    EXPECT_EQ(button->toolTip(), QStringLiteral("Delete Wire"));
    const QImage image = f.image();
    const QColor red = Theme::red(ColorScheme::light);
    expectColour(image.pixel(440 - 8, 50), red, "red disc");
    expectColour(image.pixel(440 + 7, 50 + 7), red, "red disc");
    EXPECT_NE(QColor(image.pixel(440 - 11, 50 - 11)).rgb(), red.rgb()) << "round, not square";

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(f.deleted, std::vector<std::string>{"w2"});
    EXPECT_FALSE(f.overlay->focus().selectedWireID);
    EXPECT_FALSE(button->isVisible());
    ASSERT_EQ(cleared.count(), 1);
    EXPECT_FALSE(cleared.at(0).at(0).value<std::optional<std::string>>());

    // A wire whose ports have no frames, or an id naming no wire: no button, yet the rest dim.
    f.overlay->setSelectedWireID(std::string("gone"));
    EXPECT_FALSE(button->isVisible());
    EXPECT_TRUE(f.overlay->focus().hasFocusTarget());
    RoutingPortFrames partial = frames();
    partial.erase(port("monitor", "m0", 1, RoutingPortRole::monitorInput));
    f.overlay->setPortFrames(partial);
    f.overlay->setSelectedWireID(std::string("w2"));
    EXPECT_FALSE(button->isVisible());
    f.overlay->setPortFrames(frames());
    EXPECT_TRUE(button->isVisible()) << "appears once the frames are known";
}

TEST(RoutingWireOverlayTest, ADeleteActionMayReplaceTheOverlay) {
    OverlayFixture f;
    f.overlay->setSelectedWireID(std::string("w0"));
    QPointer<QToolButton> button = f.overlay->deleteButton();
    ASSERT_TRUE(button && button->isVisible());
    // The canvas rebuilds on the saved change and throws the old overlay away.
    f.overlay->setDeleteAction([&](const std::string&) { delete f.overlay; });
    QTest::mouseClick(button.data(), Qt::LeftButton);
    QApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(button.isNull()) << "the button goes with its overlay";
}

TEST(RoutingWireOverlayTest, PointerEventsReachTheColumnsBeneath) {
    OverlayFixture f;
    QSignalSpy clicks(f.beneath, &QPushButton::clicked);
    const QPoint inHost = f.beneath->geometry().center();
    EXPECT_EQ(f.host.childAt(inHost), f.beneath);
    QTest::mouseClick(f.host.window()->windowHandle(), Qt::LeftButton, {}, inHost);
    EXPECT_EQ(clicks.count(), 1);
}

TEST(RoutingWireOverlayTest, TheDragWireIsDashedAndShowsOnlyWithItsPortsFrame) {
    OverlayFixture f;
    const QImage before = f.image();
    const auto from = port("source", "s1", 2, RoutingPortRole::sourceOutput);  // no frame yet
    f.overlay->setActiveDrag(ActiveWireDrag{from, QPointF(300, 160)});
    EXPECT_EQ(f.image(), before) << "nothing without the port's frame";

    RoutingPortFrames withPort = frames();
    withPort[from] = frameAt(40, 160);
    f.overlay->setPortFrames(withPort);
    f.overlay->setActiveDrag(ActiveWireDrag{from, QPointF(500, 160)});
    const QImage image = f.image();
    // Along the level drag wire, accent dashes alternate with gaps: 6 on, 5 off, and the round
    // caps lengthen each dash by the pen's width, so 8 on and 3 off show.
    QColor accent = Theme::accent(ColorScheme::light);
    accent.setAlphaF(0.72f);
    const QColor on = f.over(accent);
    int dashes = 0, gaps = 0;
    for (int x = 60; x < 480; ++x) {
        const QColor c(image.pixel(x, 160));
        if (std::abs(c.blue() - on.blue()) < 12 && std::abs(c.red() - on.red()) < 12)
            ++dashes;
        else if (QColor(c).rgb() == Theme::backgroundBase(ColorScheme::light).rgb())
            ++gaps;
    }
    EXPECT_NEAR(double(dashes) / (dashes + gaps), 8.0 / 11.0, 0.06);
    EXPECT_GT(gaps, 70);

    // It follows the pointer.
    f.overlay->setActiveDrag(ActiveWireDrag{from, QPointF(500, 100)});
    EXPECT_NE(f.image(), image);
    f.overlay->setActiveDrag(std::nullopt);
    f.overlay->setPortFrames(frames());
    EXPECT_EQ(f.image(), before);
}

TEST(RoutingWireOverlayTest, GrabsInLightAndDark) {
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        OverlayFixture f(scheme);
        f.beneath->hide();
        const auto from = port("deviceOutput", "D", 2, RoutingPortRole::outputOutput);
        RoutingPortFrames withPort = frames();
        withPort[from] = frameAt(340, 120);
        f.overlay->setPortFrames(withPort);
        f.overlay->setSelectedWireID(std::string("w0"));
        f.overlay->setActiveDrag(ActiveWireDrag{from, QPointF(520, 150)});
        test::saveArtifact(f.image(), "RoutingWireOverlay-" + test::schemeName(scheme));
    }
}
