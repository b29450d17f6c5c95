// The routing canvas driven with the pointer, offscreen, against the application model over
// fakes: a drag makes a wire in the file, a click selects a wire and its button deletes it.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingWireOverlay.h"
#include "TidewellApp/TidewellMeterModel.h"

#include <QApplication>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell::testing {
namespace {

RoutingPortID sourcePort(const std::string& owner, std::int64_t channel) {
    return {{"source", owner, channel}, RoutingPortRole::sourceOutput};
}
RoutingPortID leftPort(std::int64_t channel) {
    return {{"deviceOutput", "D", channel}, RoutingPortRole::outputInput};
}

class RoutingCanvasViewTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meters;
    DeviceConfig device = makeDevice("D", "Desk");
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;

    void SetUp() override {
        device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
        device.monitors.push_back(makeMonitor("M", "Speakers"));
        writeConfig({device});
        model = makeModel();
        meters = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
    }
    void TearDown() override { window.reset(); }

    void show(ColorScheme scheme = ColorScheme::dark) {
        test::useScheme(scheme);
        window = std::make_unique<QWidget>();
        test::fillWithBackground(*window, scheme);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(16, 16, 16, 16);
        canvas = new RoutingCanvasView(*model, *meters, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        layout->addStretch();
        window->resize(1000, 700);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(waitFor([&] { return canvas->state().portFrames().size() == 2 + 4 + 2 + 2; }));
        // The application ignores a move to where the pointer already is, which may be where
        // the previous test left it: start each test from the corner.
        QTest::mouseMove(handle(), QPoint(1, 1));
    }
    QWindow* handle() { return window->windowHandle(); }
    QPoint inWindow(QPointF canvasPoint) {
        return canvas->mapTo(window.get(), canvasPoint.toPoint());
    }
    QPoint centreOf(const RoutingPortID& port) {
        return inWindow(canvas->state().portFrames().at(port).center());
    }
    std::vector<Wire> savedWires() { return savedConfig().devices.at(0).wires; }
    const Wire& shownWire(const std::string& id) {
        for (const auto& wire : canvas->device().wires)
            if (wire.id == id) return wire;
        throw std::runtime_error("no wire " + id);
    }
    QPoint midpointOf(const std::string& wireID) {
        const auto line = routingWireLine(shownWire(wireID), canvas->state().portFrames());
        EXPECT_TRUE(line.has_value());
        return inWindow(line->midpoint);
    }
    void drag(QPoint from, QPoint to) {
        QTest::mousePress(handle(), Qt::LeftButton, {}, from);
        QTest::mouseMove(handle(), from + QPoint(6, 3));
        QTest::mouseMove(handle(), (from + to) / 2);
        QTest::mouseMove(handle(), to);
        QTest::mouseRelease(handle(), Qt::LeftButton, {}, to);
        QApplication::processEvents();
    }
};

TEST_F(RoutingCanvasViewTest, ADragFromASourcePortToAnOutputPortSavesExactlyOneWire) {
    show();
    const std::size_t before = savedWires().size();
    drag(centreOf(sourcePort("S", 1)), centreOf(leftPort(2)));

    EXPECT_EQ(model->statusMessage(), "Connected wire");
    const auto wires = savedWires();
    ASSERT_EQ(wires.size(), before + 1);
    EXPECT_EQ(wires.back().from, (WireEndpoint{EndpointKind::source, "S", 1}));
    EXPECT_EQ(wires.back().to, (WireEndpoint{EndpointKind::deviceOutput, "D", 2}));
    EXPECT_FALSE(canvas->state().activeDrag());
    // The canvas shows the saved device, new wire included, and the drop targets went dark.
    ASSERT_TRUE(waitFor([&] { return canvas->device().wires.size() == before + 1; }));
    EXPECT_FALSE(canvas->port(leftPort(2))->isHighlighted());
}

TEST_F(RoutingCanvasViewTest, AReleaseOnEmptyCanvasSavesNothing) {
    show();
    const auto file = readFile(configFile);
    model->setStatusMessage("");
    const QPoint start = centreOf(sourcePort("S", 1));
    QTest::mousePress(handle(), Qt::LeftButton, {}, start);
    QTest::mouseMove(handle(), start + QPoint(10, 60));
    // While the drag runs the device channels' left ports light up, and only they.
    EXPECT_TRUE(canvas->port(leftPort(1))->isHighlighted());
    EXPECT_FALSE(canvas->port(sourcePort("S", 2))->isHighlighted());
    ASSERT_TRUE(canvas->state().activeDrag());
    QTest::mouseRelease(handle(), Qt::LeftButton, {}, start + QPoint(10, 200));
    QApplication::processEvents();

    EXPECT_FALSE(canvas->state().activeDrag());
    EXPECT_EQ(model->statusMessage(), "");
    EXPECT_EQ(readFile(configFile), file);
    EXPECT_FALSE(canvas->port(leftPort(1))->isHighlighted());
}

TEST_F(RoutingCanvasViewTest, ClickingAWireSelectsItAndItsButtonDeletesIt) {
    // A wire from the second source into channel 2, long enough to click clear of its ports.
    model->connectWire("D", {EndpointKind::source, "S", 1}, {EndpointKind::deviceOutput, "D", 2});
    const std::string wireID = savedWires().back().id;
    model->setStatusMessage("");
    show();
    const QPoint middle = midpointOf(wireID);

    QTest::mouseMove(handle(), middle);
    EXPECT_EQ(canvas->state().hoveredWireID(), wireID);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, middle);
    EXPECT_EQ(canvas->state().selectedWireID(), wireID);
    QToolButton* button = canvas->overlay()->deleteButton();
    ASSERT_TRUE(button);
    ASSERT_TRUE(button->isVisible());
    EXPECT_LE((button->geometry().center() - canvas->mapFrom(window.get(), middle)).manhattanLength(), 2);
    test::saveArtifact(canvas->grab().toImage(), "RoutingCanvas-selected-dark");

    // A click on empty canvas clears the selection; another on the wire selects it again.
    QTest::mouseMove(handle(), inWindow({canvas->width() - 5.0, canvas->height() - 5.0}));
    QTest::mouseClick(handle(), Qt::LeftButton, {}, inWindow({canvas->width() - 5.0, canvas->height() - 5.0}));
    EXPECT_EQ(canvas->state().selectedWireID(), std::nullopt);
    EXPECT_FALSE(button->isVisible());
    QTest::mouseMove(handle(), middle);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, middle);
    ASSERT_TRUE(button->isVisible());

    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(model->statusMessage(), "Deleted wire");
    for (const auto& wire : savedWires()) EXPECT_NE(wire.id, wireID);
    EXPECT_EQ(canvas->state().selectedWireID(), std::nullopt);
    EXPECT_FALSE(button->isVisible());
    EXPECT_EQ(canvas->device().wires.size(), savedWires().size());
}

// A control of a row that a wire passes over does not take the click while the wire is
// hovered: the click selects the wire.
TEST_F(RoutingCanvasViewTest, WhileAWireIsHoveredAClickOnAControlUnderItSelectsTheWire) {
    model->connectWire("D", {EndpointKind::source, "S", 1}, {EndpointKind::deviceOutput, "D", 2});
    const std::string wireID = savedWires().back().id;
    show();
    const QPoint middle = midpointOf(wireID);
    auto* control = new QToolButton(canvas);
    control->setGeometry(QRect(canvas->mapFrom(window.get(), middle) - QPoint(20, 35), QSize(40, 70)));
    control->show();
    control->stackUnder(canvas->overlay());
    int clicks = 0;
    QObject::connect(control, &QToolButton::clicked, [&] { ++clicks; });

    QTest::mouseMove(handle(), middle);
    EXPECT_EQ(canvas->state().hoveredWireID(), wireID);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, middle);
    EXPECT_EQ(canvas->state().selectedWireID(), wireID);
    EXPECT_EQ(clicks, 0);

    // Away from the wire (which climbs steeply to the right there) the control takes its
    // click, and the selection stays.
    const QPoint onControl = middle + QPoint(15, 30);
    QTest::mouseMove(handle(), onControl);
    ASSERT_EQ(canvas->state().hoveredWireID(), std::nullopt);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, onControl);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(canvas->state().selectedWireID(), wireID);
}

TEST_F(RoutingCanvasViewTest, GrabsInLightAndDark) {
    model->connectWire("D", {EndpointKind::source, "S", 1}, {EndpointKind::deviceOutput, "D", 2});
    model->connectWire("D", {EndpointKind::deviceOutput, "D", 1}, {EndpointKind::monitor, "M", 1});
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        show(scheme);
        // A drag under way from the second source channel.
        const QPoint start = centreOf(sourcePort("S", 2));
        QTest::mousePress(handle(), Qt::LeftButton, {}, start);
        QTest::mouseMove(handle(), start + QPoint(40, -20));
        QTest::mouseMove(handle(), start + QPoint(110, -50));
        const QImage image = canvas->grab().toImage();
        test::saveArtifact(image, "RoutingCanvas-" + test::schemeName(scheme));
        EXPECT_GT(test::coverage(image), 0.9);
        QTest::mouseRelease(handle(), Qt::LeftButton, {}, start + QPoint(110, -50));
        window.reset();
    }
}

}  // namespace
}  // namespace tidewell::testing
