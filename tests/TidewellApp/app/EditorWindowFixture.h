#pragma once
// The application's window offscreen against fakes, on the demonstration configuration that
// scripts/run.sh writes, for the tests of the routing editor in it; and the helpers they share.

#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <cmath>

#include "ModelTestSupport.h"
#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/TidewellRootView.h"
#include "UiTestSupport.h"

namespace tidewell::testing {

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

inline bool isInside(const QWidget* widget, const QWidget* area) {
  return widget && (widget == area || area->isAncestorOf(widget));
}

inline RoutingPortID sourcePort(const std::string& owner, std::int64_t channel) {
  return {{"source", owner, channel}, RoutingPortRole::sourceOutput};
}
inline RoutingPortID outputInputPort(const std::string& device, std::int64_t channel) {
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

}  // namespace tidewell::testing
