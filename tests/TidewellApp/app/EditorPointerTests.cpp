// The routing editor in the application's window: a press reaches the widget under the
// pointer. The health banner over a wire, the menu bar, a button, the sidebar and the scroll
// bars over ports that the editor has scrolled out of view keep their presses.

#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "EditorWindowFixture.h"
#include "TidewellApp/RoutingWireGeometry.h"
#include "TidewellApp/SidebarView.h"
#include "TidewellApp/TidewellMeterModel.h"

namespace tidewell::testing {
namespace {

// Service stopped, the banner floats over the editor's lower part. Where a wire runs under it,
// the banner takes the pointer: the wire is neither hovered nor selected, and the banner's
// own buttons work. Beside the banner the wire is the canvas's again.
TEST_F(EditorWindowTest, TheBannerKeepsThePointerWhereAWireRunsBeneathIt) {
  for (const QSize size : {QSize(1080, 680), QSize(1280, 680), QSize(1600, 680)}) {
    SCOPED_TRACE(size.width());
    open(size, true);
    HealthBanner* banner = app->healthBanner().banner();
    ASSERT_NE(banner, nullptr);
    const std::optional<QPoint> point = scrollAWireUnder(banner);
    ASSERT_TRUE(point) << "no wire runs under the banner at any scroll position";
    const auto wire = canvas()->state().wireID(inCanvas(*point));

    QTest::mouseMove(handle(), *point);
    EXPECT_EQ(canvas()->state().hoveredWireID(), std::nullopt);
    {
      PressWitness witness;
      QTest::mouseClick(handle(), Qt::LeftButton, {}, *point);
      EXPECT_TRUE(isInside(witness.receiver, banner));
    }
    QApplication::processEvents();
    EXPECT_EQ(canvas()->state().hoveredWireID(), std::nullopt);
    EXPECT_EQ(canvas()->state().selectedWireID(), std::nullopt);
    const int installs = service->installs;
    const QPoint restart = banner->actionButton()->mapTo(&window(), banner->actionButton()->rect().center());
    QTest::mouseMove(handle(), restart);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, restart);
    EXPECT_EQ(service->installs, installs + 1);

    // Along the same wire, where nothing covers it.
    const auto found = std::find_if(canvas()->device().wires.begin(), canvas()->device().wires.end(),
                                    [&](const Wire& candidate) { return candidate.id == *wire; });
    ASSERT_NE(found, canvas()->device().wires.end());
    const auto line = routingWireLine(*found, canvas()->state().portFrames());
    ASSERT_TRUE(line);
    std::optional<QPoint> uncovered;
    for (int step = 1; step < 32 && !uncovered; ++step) {
      const QPoint candidate = inWindow(RoutingWirePath{line->start, line->end}.pointAt(step / 32.0));
      if (isInside(widgetAt(candidate), canvas()) && canvas()->state().wireID(inCanvas(candidate)) == wire)
        uncovered = candidate;
    }
    ASSERT_TRUE(uncovered);
    QTest::mouseMove(handle(), *uncovered);
    EXPECT_EQ(canvas()->state().hoveredWireID(), wire);
    QTest::mouseClick(handle(), Qt::LeftButton, {}, *uncovered);
    EXPECT_EQ(canvas()->state().selectedWireID(), wire);
    app.reset();
  }
}

// The menu bar over a port that the editor has scrolled up beneath it keeps its press.
TEST_F(EditorWindowTest, TheMenuBarKeepsItsPressOverAPortScrolledBeneathIt) {
  // Tall enough to scroll its first rows up under the menu bar.
  DeviceConfig device = makeDevice("demo-device", "Desk");
  device.channelCount = 32;
  writeConfig({device}, "demo-device");
  open(QSize(1080, 680));
  QWidget* bar = window().menuBar();
  ASSERT_TRUE(bar->isVisible());
  const RoutingPortID port = sourcePort("demo-device-pt", 1);
  QScrollBar* down = editor()->scrollArea()->verticalScrollBar();
  down->setValue(centreOf(port).y() - bar->geometry().center().y());
  QApplication::processEvents();
  canvas()->refreshPortFrames();
  const QPoint point = centreOf(port);
  ASSERT_EQ(widgetAt(point), bar);
  PressWitness witness;
  QTest::mouseMove(handle(), point);
  EXPECT_FALSE(canvas()->port(port)->isHovered());
  QTest::mousePress(handle(), Qt::LeftButton, {}, point);
  EXPECT_EQ(witness.receiver, bar);
  QTest::mouseMove(handle(), point + QPoint(20, 60));
  EXPECT_FALSE(canvas()->state().activeDrag());
  QTest::mouseRelease(handle(), Qt::LeftButton, {}, point + QPoint(20, 60));
}

// A widget above a scrolled editor keeps its press where a port lies hidden beneath it: the
// press does not start a wire, and the drag to a visible port saves none.
TEST_F(EditorWindowTest, AButtonAboveTheScrolledEditorKeepsItsPressOverAHiddenPort) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.channelCount = 8;
  device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
  writeConfig({device}, "D");
  auto model = makeModel();
  TidewellMeterModel meters(std::make_shared<MeterTap>(), environment());
  QWidget window;
  auto* column = new QVBoxLayout(&window);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* above = new QPushButton(QStringLiteral("Above the editor"));
  above->setMinimumHeight(40);
  column->addWidget(above);
  auto* editor = new DeviceEditorView(*model, &meters, "D", true, MainWindowHooks{});
  column->addWidget(editor, 1);
  window.resize(1000, 400);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  RoutingCanvasView* canvas = editor->canvas();
  ASSERT_NE(canvas, nullptr);
  ASSERT_TRUE(waitFor([&] { return canvas->state().portFrames().size() == 4u + 16u; }));
  int pressed = 0;
  QObject::connect(above, &QPushButton::pressed, [&] { ++pressed; });

  // Scroll the system source's first port up under the button.
  const RoutingPortID hidden = sourcePort("D-pt", 1);
  const QRectF frame = canvas->state().portFrames().at(hidden);
  QScrollBar* bar = editor->scrollArea()->verticalScrollBar();
  const int buttonMiddle = above->geometry().center().y();
  bar->setValue(canvas->mapTo(&window, frame.center().toPoint()).y() - buttonMiddle);
  QApplication::processEvents();
  canvas->refreshPortFrames();
  const QPoint start = canvas->mapTo(&window, frame.center().toPoint());
  ASSERT_EQ(window.childAt(start), above);
  const QPoint target = canvas->mapTo(&window, canvas->state().portFrames().at(outputInputPort("D", 8)).center().toPoint());
  ASSERT_TRUE(isInside(window.childAt(target), canvas)) << "the drop target is out of sight";

  QWindow* handle = window.windowHandle();
  const auto before = savedConfig().devices.at(0).wires;
  model->setStatusMessage("");
  PressWitness witness;
  QTest::mouseMove(handle, start);
  QTest::mousePress(handle, Qt::LeftButton, {}, start);
  EXPECT_EQ(witness.receiver, above);
  EXPECT_EQ(pressed, 1);
  for (const QPoint point : {start + QPoint(6, 3), (start + target) / 2, target}) {
    QTest::mouseMove(handle, point);
    EXPECT_FALSE(canvas->state().activeDrag());
  }
  QTest::mouseRelease(handle, Qt::LeftButton, {}, target);
  QApplication::processEvents();
  EXPECT_EQ(model->statusMessage(), "");
  EXPECT_EQ(savedConfig().devices.at(0).wires, before);

  // The same drag from a port in sight connects.
  const QPoint visible = canvas->mapTo(&window, canvas->state().portFrames().at(sourcePort("S", 2)).center().toPoint());
  ASSERT_TRUE(isInside(window.childAt(visible), canvas));
  QTest::mouseMove(handle, visible);
  QTest::mousePress(handle, Qt::LeftButton, {}, visible);
  for (const QPoint point : {visible + QPoint(6, 3), (visible + target) / 2, target}) QTest::mouseMove(handle, point);
  QTest::mouseRelease(handle, Qt::LeftButton, {}, target);
  QApplication::processEvents();
  EXPECT_EQ(model->statusMessage(), "Connected wire");
  EXPECT_EQ(savedConfig().devices.at(0).wires.size(), before.size() + 1);
}

// The sidebar and the scroll bars beside an editor scrolled sideways keep their presses over
// the ports and wires that lie hidden beneath them, and a drop beneath them makes no wire.
TEST_F(EditorWindowTest, TheSidebarAndTheScrollBarsKeepTheirPressesOverHiddenPortsAndWires) {
  auto model = makeModel();
  TidewellMeterModel meters(std::make_shared<MeterTap>(), environment());
  TidewellRootView root(*model, &meters, true);
  root.resize(1100, 700);
  root.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
  ASSERT_NE(root.editor(), nullptr);
  RoutingCanvasView* canvas = root.editor()->canvas();
  ASSERT_NE(canvas, nullptr);
  // Wider than the editor shows, so that it scrolls sideways.
  canvas->setMinimumWidth(1500);
  QScrollArea* scroll = root.editor()->scrollArea();
  QScrollBar* across = scroll->horizontalScrollBar();
  QScrollBar* down = scroll->verticalScrollBar();
  ASSERT_TRUE(waitFor([&] { return across->isVisible() && canvas->width() >= 1500; }));
  QWindow* handle = root.windowHandle();
  const auto before = savedConfig().devices.at(0).wires;
  const auto settle = [&] {
    QApplication::processEvents();
    canvas->refreshPortFrames();
  };
  const auto at = [&](const RoutingPortID& port) {
    return canvas->mapTo(&root, canvas->state().portFrames().at(port).center().toPoint());
  };
  const auto middleOf = [&](QWidget* widget) { return widget->mapTo(&root, widget->rect().center()); };
  // Scrolls sideways until the port lies under `point`.
  const auto bringTo = [&](const RoutingPortID& port, QPoint point) {
    settle();
    across->setValue(across->value() + at(port).x() - point.x());
    settle();
  };
  // A press at a hidden port reaches `expected`, and moving on from it drags nothing.
  const auto pressAtHidden = [&](const RoutingPortID& port, QWidget* expected) {
    const QPoint start = at(port);
    ASSERT_TRUE(isInside(root.childAt(start), expected));
    PressWitness witness;
    QTest::mouseMove(handle, start);
    EXPECT_FALSE(canvas->port(port)->isHovered());
    QTest::mousePress(handle, Qt::LeftButton, {}, start);
    EXPECT_TRUE(isInside(witness.receiver, expected));
    const QPoint inward = (root.rect().center() - start) / 4;
    for (const QPoint point : {start + inward / 8, start + inward}) {
      QTest::mouseMove(handle, point);
      EXPECT_FALSE(canvas->state().activeDrag());
    }
    QTest::mouseRelease(handle, Qt::LeftButton, {}, start + inward);
    QApplication::processEvents();
  };

  // A device channel's right port scrolled under the vertical scroll bar.
  const RoutingPortID right = {{"deviceOutput", "demo-device", 1}, RoutingPortRole::outputOutput};
  bringTo(right, middleOf(down));
  {
    SCOPED_TRACE("vertical scroll bar");
    pressAtHidden(right, down);
  }

  // A drag from a port in sight to a monitor channel hidden under the vertical scroll bar
  // makes no wire.
  const RoutingPortID monitor = {{"monitor", "demo-monitor", 1}, RoutingPortRole::monitorInput};
  bringTo(monitor, middleOf(down));
  ASSERT_EQ(root.childAt(at(monitor)), down);
  const RoutingPortID second = {{"deviceOutput", "demo-device", 2}, RoutingPortRole::outputOutput};
  const QPoint start = at(second);
  ASSERT_TRUE(isInside(root.childAt(start), canvas)) << "the drag's start is out of sight";
  QTest::mouseMove(handle, start);
  QTest::mousePress(handle, Qt::LeftButton, {}, start);
  for (const QPoint point : {start + QPoint(6, 3), (start + at(monitor)) / 2, at(monitor)})
    QTest::mouseMove(handle, point);
  EXPECT_TRUE(canvas->state().activeDrag());
  EXPECT_FALSE(canvas->port(monitor)->isHovered());
  QTest::mouseRelease(handle, Qt::LeftButton, {}, at(monitor));
  QApplication::processEvents();
  EXPECT_FALSE(canvas->state().activeDrag());
  EXPECT_EQ(savedConfig().devices.at(0).wires, before);

  // The sources scrolled under the sidebar: a port, and the wires from them.
  const RoutingPortID player = sourcePort("demo-player", 1);
  bringTo(player, QPoint(150, 0));
  {
    SCOPED_TRACE("sidebar");
    pressAtHidden(player, root.sidebar());
  }
  std::optional<QPoint> overWire;
  const QRect sidebar(root.sidebar()->mapTo(&root, QPoint(0, 0)), root.sidebar()->size());
  for (int y = sidebar.top() + 4; y < sidebar.bottom() && !overWire; y += 2)
    for (int x = sidebar.left() + 4; x < sidebar.right() && !overWire; x += 2)
      if (isInside(root.childAt(QPoint(x, y)), root.sidebar()) &&
          canvas->state().wireID(canvas->mapFrom(&root, QPoint(x, y))))
        overWire = QPoint(x, y);
  ASSERT_TRUE(overWire) << "no wire runs under the sidebar";
  QTest::mouseMove(handle, *overWire);
  EXPECT_EQ(canvas->state().hoveredWireID(), std::nullopt);
  {
    PressWitness witness;
    QTest::mouseClick(handle, Qt::LeftButton, {}, *overWire);
    EXPECT_TRUE(isInside(witness.receiver, root.sidebar()));
  }
  EXPECT_EQ(canvas->state().selectedWireID(), std::nullopt);

  // A source port below the part in sight, under the horizontal scroll bar.
  across->setValue(0);
  const RoutingPortID low = sourcePort("demo-player", 2);
  settle();
  root.resize(root.width(), root.height() + at(low).y() - middleOf(across).y());
  ASSERT_TRUE(waitFor([&] {
    settle();
    return root.childAt(at(low)) == across;
  }));
  {
    SCOPED_TRACE("horizontal scroll bar");
    pressAtHidden(low, across);
  }
  EXPECT_EQ(savedConfig().devices.at(0).wires, before);
}

}  // namespace
}  // namespace tidewell::testing
