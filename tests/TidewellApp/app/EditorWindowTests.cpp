// The routing editor as it opens in the application's window, offscreen against fakes, on the
// demonstration device that scripts/run.sh writes: a press reaches the widget under the
// pointer (the health banner over a wire, a button, the sidebar and a scroll bar over ports
// that the editor has scrolled out of view), and the editor fits the window it opens in.

#include <QAbstractButton>
#include <algorithm>
#include <cmath>
#include <QApplication>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include "ModelTestSupport.h"
#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/MonitorRow.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/RoutingWireGeometry.h"
#include "TidewellApp/SidebarView.h"
#include "TidewellApp/SourceRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellApp/TidewellRootView.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellApp/WindowScreenshot.h"
#include "UiTestSupport.h"

namespace tidewell::testing {
namespace {

using Kind = DriverInstallStatus::Kind;

// Counts the service installs the banner's repair asks for.
class CountingServiceController : public ServiceController {
 public:
  void refreshServiceStatus(TidewellAppModel&) override {}
  void startHealthMonitor(TidewellAppModel&) override {}
  void installOrRestartService(TidewellAppModel&) override { ++installs; }
  void reinstallServiceIfStale(TidewellAppModel&) override {}
  void uninstallService(TidewellAppModel&) override {}
  int installs = 0;
};

// Notes the first widget a mouse press is delivered to.
class PressWitness : public QObject {
 public:
  PressWitness() { qApp->installEventFilter(this); }
  ~PressWitness() override { qApp->removeEventFilter(this); }
  QPointer<QWidget> receiver;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress && !receiver && watched->isWidgetType())
      receiver = static_cast<QWidget*>(watched);
    return false;
  }
};

bool isInside(const QWidget* widget, const QWidget* area) {
  return widget && (widget == area || area->isAncestorOf(widget));
}

RoutingPortID sourcePort(const std::string& owner, std::int64_t channel) {
  return {{"source", owner, channel}, RoutingPortRole::sourceOutput};
}
RoutingPortID outputInputPort(const std::string& device, std::int64_t channel) {
  return {{"deviceOutput", device, channel}, RoutingPortRole::outputInput};
}

class EditorWindowTest : public ModelTest {
 protected:
  std::shared_ptr<CountingServiceController> service = std::make_shared<CountingServiceController>();
  QString carried = folder.path() + "/share/TidewellHAL.driver";
  QString plugIns = folder.path() + "/HAL";
  std::unique_ptr<TidewellApplication> app;
  // The window reads the meters against the wall clock (as the meter views do).
  bool liveClock = false;

  EditorWindowTest() {
    // The demonstration configuration as scripts/run.sh writes it on a first run.
    std::filesystem::copy_file(TIDEWELL_DEMO_CONFIG, configFile,
                               std::filesystem::copy_options::overwrite_existing);
    // The audio server's emulated devices.
    registry->inventory.inputs = {{"BuiltInMicrophoneDevice", "Built-in Microphone", 2, true, std::nullopt}};
    registry->inventory.outputs = {{"BuiltInOutputDevice", "Built-in Output", 2, true, std::nullopt}};
    registry->pluginLoaded = true;
    writeBundle(carried);
    writeBundle(plugIns + "/TidewellHAL.driver");
  }
  ~EditorWindowTest() override { app.reset(); }

  static void writeBundle(const QString& path) {
    ASSERT_TRUE(QDir().mkpath(path + "/Contents"));
    QFile file(path + "/Contents/Info.plist");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleShortVersionString</key><string>1.0</string>"
               "<key>CFBundleVersion</key><string>1</string></dict></plist>\n");
  }

  // The application's window at this size, the service healthy unless `serviceStopped`.
  void open(QSize size, bool serviceStopped = false) {
    create();
    show(size, serviceStopped);
  }
  void create() {
    AppEnvironment env = environment();
    env.serviceController = service;
    if (liveClock) env.clock = makeSystemClock();
    DriverInstallerSetup setup;
    setup.carriedBundle = carried;
    setup.plugInFolder = plugIns;
    TidewellApplication::Components components;
    components.driverInstaller = std::make_unique<DriverInstaller>(setup);
    app = std::make_unique<TidewellApplication>(env, std::move(components));
    app->healthBanner().setAnimated(false);
    TidewellAppModel& model = app->model();
    model.setHalDriverLoaded(true);
    model.setServiceInstalled(true);
    model.setServiceBinariesInstalled(true);
    model.setServiceRunning(true);
    model.setServiceResponsive(true);
  }
  void show(QSize size, bool serviceStopped = false) {
    TidewellAppModel& model = app->model();
    window().resize(size);
    window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
    ASSERT_FALSE(app->showOnboarding());
    if (serviceStopped) model.setServiceRunning(false);
    ASSERT_NE(editor(), nullptr);
    ASSERT_NE(canvas(), nullptr);
    // Every port has measured its frame.
    ASSERT_TRUE(waitFor([&] {
      return !canvas()->ports().isEmpty() && canvas()->state().portFrames().size() == std::size_t(canvas()->ports().size());
    }));
    QApplication::processEvents();
    // Start from a corner, so that no move is skipped as a move to where the pointer is.
    QTest::mouseMove(handle(), QPoint(size.width() - 2, size.height() - 2));
  }

  // Levels on every meter the device publishes, changing on every pass as a playing system's
  // do, read against the wall clock as the meter views read them: the meters stay live.
  void play() {
    liveClock = true;
    QObject::connect(&playing, &QTimer::timeout, [this] {
      ++passes;
      const std::string uid = "app.tidewell.devices.demo-device";
      for (const std::string& owner : {RuntimeMeterStore::sourceOwnerID(uid), RuntimeMeterStore::outputOwnerID(uid),
                                       std::string("demo-microphone"), std::string("demo-player"),
                                       std::string("demo-monitor")}) {
        const double level = 0.2 + 0.05 * std::sin(passes * 0.7);
        meters->readings[owner] = {{level, level * 0.8}, {level * 1.4, level * 1.2}};
      }
    });
    playing.start(20);
  }
  QTimer playing;
  int passes = 0;

  TidewellMainWindow& window() { return app->mainWindow(); }
  QWindow* handle() { return window().windowHandle(); }
  DeviceEditorView* editor() { return app->rootView().editor(); }
  RoutingCanvasView* canvas() { return editor() ? editor()->canvas() : nullptr; }
  QPoint inWindow(QPointF canvasPoint) { return canvas()->mapTo(&window(), canvasPoint.toPoint()); }
  QPointF inCanvas(QPoint windowPoint) { return canvas()->mapFrom(&window(), windowPoint); }
  QPoint centreOf(const RoutingPortID& port) {
    return inWindow(canvas()->state().portFrames().at(port).center());
  }
  QWidget* widgetAt(QPoint windowPoint) { return window().childAt(windowPoint); }

  // A point of `widget`, in the window, under which a wire of the canvas runs.
  std::optional<QPoint> pointOverAWire(QWidget* widget) {
    const QRect area(widget->mapTo(&window(), QPoint(0, 0)), widget->size());
    for (int y = area.top() + 2; y < area.bottom() - 1; y += 2) {
      for (int x = area.left() + 2; x < area.right() - 1; x += 2) {
        const QPoint point(x, y);
        if (isInside(widgetAt(point), widget) && canvas()->state().wireID(inCanvas(point))) return point;
      }
    }
    return std::nullopt;
  }

  // Scrolls the editor down from the top until some point of `widget` lies over a wire, and
  // returns that point.
  std::optional<QPoint> scrollAWireUnder(QWidget* widget) {
    QScrollBar* bar = editor()->scrollArea()->verticalScrollBar();
    for (int value = bar->minimum(); value <= bar->maximum(); value += 4) {
      bar->setValue(value);
      QApplication::processEvents();
      canvas()->refreshPortFrames();
      if (auto point = pointOverAWire(widget)) return point;
    }
    return std::nullopt;
  }
};

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

// The demonstration device at the window's opening size and on a large screen, in both
// schemes, its meters live: the header and the three columns are whole without a sideways
// scroll bar, the columns share the width 14 apart and line up with the header, every card
// spans its column, and names are whole wherever their column has room for them.
TEST_F(EditorWindowTest, TheEditorFitsTheWindowItOpensIn) {
  play();

  for (const QSize size : {QSize(1080, 680), QSize(1600, 1000)}) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
      SCOPED_TRACE(QStringLiteral("%1 x %2 %3").arg(size.width()).arg(size.height()).arg(test::schemeName(scheme)).toStdString());
      test::useScheme(scheme);
      open(size);
      QScrollArea* scroll = editor()->scrollArea();
      QWidget* viewport = scroll->viewport();
      EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
      const auto inViewport = [&](QWidget* widget, QRect rect) {
        return QRect(widget->mapTo(viewport, rect.topLeft()), rect.size());
      };
      const auto whole = [&](QWidget* widget, QRect rect) {
        const QRect shown = inViewport(widget, rect);
        return shown.left() >= 0 && shown.right() < viewport->width();
      };
      // The header, its Enabled switch included, and the columns' visible parts.
      DeviceHeaderView* header = editor()->header();
      EXPECT_TRUE(whole(header, header->rect()));
      EXPECT_TRUE(header->enabledSwitch()->isVisible());
      EXPECT_TRUE(whole(header->enabledSwitch(), header->enabledSwitch()->rect()));
      // Each column keeps room beside its cards for their shadows.
      const QMargins shadow = GlassCard::shadowMargins();
      const QMargins overhang(shadow.left(), 0, shadow.right(), 0);
      QList<QRect> columns;
      for (RoutingCanvasColumn* column : canvas()->columns())
        columns.append(inViewport(column, column->rect().marginsRemoved(overhang)));
      ASSERT_EQ(columns.size(), 3);
      const QRect headerShown = inViewport(header, header->rect());
      EXPECT_EQ(columns.first().left(), headerShown.left());
      EXPECT_EQ(columns.last().right(), headerShown.right());
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(columns[i].width(), columns[0].width(), 1) << i;
        if (i > 0) {
          EXPECT_EQ(columns[i].left() - columns[i - 1].right() - 1, RoutingCanvasView::columnSpacing) << i;
        }
      }
      // Every card fills its column's width.
      const auto spans = [&](QWidget* card, QRect visible, int column) {
        const QRect shown = inViewport(card, visible);
        EXPECT_EQ(shown.left(), columns[column].left()) << card->objectName().toStdString();
        EXPECT_EQ(shown.right(), columns[column].right()) << card->objectName().toStdString();
      };
      auto* sources = qobject_cast<SourcesColumn*>(canvas()->columns()[0]);
      auto* outputs = qobject_cast<OutputChannelsColumn*>(canvas()->columns()[1]);
      auto* monitors = qobject_cast<MonitorsColumn*>(canvas()->columns()[2]);
      ASSERT_TRUE(sources && outputs && monitors);
      ASSERT_EQ(sources->rows().size(), 3);
      for (SourceRow* row : sources->rows()) spans(row, row->rect(), 0);
      spans(outputs->card(), outputs->card()->cardRect(), 1);
      ASSERT_EQ(monitors->rows().size(), 1);
      spans(monitors->rows()[0], monitors->rows()[0]->rect(), 2);

      // Names: at the opening size a third of the editor is about 240 wide, room for the
      // monitor's and the device's names but not for the longer source names or the channel
      // names beside the meters; on the large screen nothing is cut.
      QStringList cut;
      for (ElidingLabel* label : editor()->findChildren<ElidingLabel*>())
        if (label->isVisible() && label->isElided()) cut << label->text();
      if (size.width() >= 1400) {
        EXPECT_TRUE(cut.isEmpty()) << cut.join(", ").toStdString();
      } else {
        for (const QString name : {"Pass-Thru", "Tidewell Demo Virtual Audio", "Built-in Output", "Sources",
                                   "Output Channels", "Monitors"})
          EXPECT_FALSE(cut.contains(name)) << name.toStdString();
      }

      // Live meters in the picture.
      ASSERT_TRUE(waitFor([&] {
        const auto views = editor()->findChildren<RoutingMeterView*>();
        return std::all_of(views.begin(), views.end(), [](RoutingMeterView* meter) {
          return !meter->isActive() || meter->shownState().barWidth > 0;
        }) && std::any_of(views.begin(), views.end(), [](RoutingMeterView* meter) { return meter->isActive(); });
      }));
      const QImage image = test::grabShown(window());
      test::saveArtifact(image, QStringLiteral("editor-window-demo-%1x%2-").arg(size.width()).arg(size.height()) +
                                    test::schemeName(scheme));
      app.reset();
    }
  }
}

// Tidewell --screenshot: the picture shows the whole editor, every scroll bar gone and no name
// cut, and the meters that carry sound with their levels.
TEST_F(EditorWindowTest, TheScreenshotShowsTheWholeEditorWithLiveMeters) {
  test::useScheme(ColorScheme::dark);
  play();
  create();
  const QString file = folder.path() + "/window.png";
  WindowScreenshot shot(*app, file);
  std::optional<bool> written;
  QObject::connect(&shot, &WindowScreenshot::finished, [&](bool ok) { written = ok; });
  show(QSize(TidewellMainWindow::minimumWidth, TidewellMainWindow::minimumHeight));
  ASSERT_TRUE(waitFor([&] { return written.has_value(); }, WindowScreenshot::meterWaitMilliseconds + 5000));
  ASSERT_TRUE(*written);
  const QImage image(file);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size() / image.devicePixelRatio(), window().size());
  test::saveArtifact(image, "editor-window-screenshot-dark");

  // The whole editor.
  QScrollArea* scroll = editor()->scrollArea();
  EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
  EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
  QStringList cut;
  for (ElidingLabel* label : editor()->findChildren<ElidingLabel*>())
    if (label->isVisible() && label->isElided()) cut << label->text();
  EXPECT_TRUE(cut.isEmpty()) << cut.join(", ").toStdString();

  // Every meter that reads a level shows it, in the picture too: green at its left end.
  const auto views = editor()->findChildren<RoutingMeterView*>();
  const auto active = std::count_if(views.begin(), views.end(), [](RoutingMeterView* meter) { return meter->isActive(); });
  EXPECT_GT(active, 0);
  EXPECT_EQ(shot.liveMeters(), active);
  for (RoutingMeterView* meter : views) {
    if (!meter->isActive()) continue;
    const QPoint left = meter->mapTo(&window(), QPoint(meter->height() + 2, meter->height() / 2));
    const QColor colour = image.pixelColor(left * image.devicePixelRatio());
    EXPECT_TRUE(colour.green() > colour.red() + 40 && colour.green() > colour.blue() + 40)
        << meter->ownerID() << " " << colour.name().toStdString();
  }
}

}  // namespace
}  // namespace tidewell::testing
