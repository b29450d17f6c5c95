// The application shell offscreen, against fake services: the menu commands, the single
// uninstall window, the start-up step and its onboarding decision, the banner driven by the
// model's state, and grabs of the main window in both schemes.

#include <QAction>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>

#include "ModelTestSupport.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/DeveloperDiagnosticsPanel.h"
#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DriverHealthView.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/SidebarView.h"
#include "TidewellApp/TidewellRootView.h"
#include "TidewellApp/SidebarVisibility.h"
#include "TidewellApp/UninstallView.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "UiTestSupport.h"

namespace tidewell::testing {
namespace {

using Kind = DriverInstallStatus::Kind;

// Notes every call into one log shared with the test.
class RecordingServiceController : public ServiceController {
 public:
  explicit RecordingServiceController(std::shared_ptr<QStringList> log) : log_(std::move(log)) {}
  void refreshServiceStatus(TidewellAppModel&) override { *log_ << "refreshServiceStatus"; }
  void startHealthMonitor(TidewellAppModel&) override {}
  void installOrRestartService(TidewellAppModel&) override { *log_ << "installOrRestartService"; }
  void reinstallServiceIfStale(TidewellAppModel&) override { *log_ << "reinstallServiceIfStale"; }
  void uninstallService(TidewellAppModel&) override { *log_ << "uninstallService"; }

 private:
  std::shared_ptr<QStringList> log_;
};

class RecordingMeters : public MeterSource {
 public:
  explicit RecordingMeters(std::shared_ptr<QStringList> log) : log_(std::move(log)) {}
  std::optional<RuntimeMeterStore::Reading> reading(std::string_view owner) override {
    owners << QString::fromUtf8(owner.data(), int(owner.size()));
    if (log_->isEmpty() || log_->last() != "meters read") *log_ << "meters read";
    return std::nullopt;
  }
  QStringList owners;

 private:
  std::shared_ptr<QStringList> log_;
};

class AlwaysCanCheck : public UpdateController {
 public:
  bool canCheckForUpdates() const override { return true; }
  void checkForUpdates() override { ++checks; }
  int checks = 0;
};

class ShellTest : public ModelTest {
 protected:
  std::shared_ptr<QStringList> log = std::make_shared<QStringList>();
  std::shared_ptr<RecordingMeters> meterSource = std::make_shared<RecordingMeters>(log);
  QString carried = folder.path() + "/share/TidewellHAL.driver";
  QString plugIns = folder.path() + "/HAL";

  ShellTest() {
    writeConfig({makeDevice("D", "Desk")}, "D");
    registry->pluginLoaded = true;
  }
  ~ShellTest() override { application_.reset(); }

  static void writeBundle(const QString& path, const QString& version) {
    ASSERT_TRUE(QDir().mkpath(path + "/Contents"));
    QFile file(path + "/Contents/Info.plist");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleShortVersionString</key><string>" + version.toUtf8() +
               "</string><key>CFBundleVersion</key><string>1</string></dict></plist>\n");
  }
  // The carried and installed plug-in as the status asks.
  void arrangePlugIn(Kind status) {
    if (status != Kind::bundleMissing) writeBundle(carried, "1.0");
    if (status == Kind::upToDate) writeBundle(plugIns + "/TidewellHAL.driver", "1.0");
    if (status == Kind::outdated) writeBundle(plugIns + "/TidewellHAL.driver", "0.9");
  }

  TidewellApplication& start(Kind status, TidewellApplication::Components components = {}) {
    arrangePlugIn(status);
    AppEnvironment env = environment();
    env.serviceController = std::make_shared<RecordingServiceController>(log);
    env.meters = meterSource;
    DriverInstallerSetup setup;
    setup.carriedBundle = carried;
    setup.plugInFolder = plugIns;
    components.driverInstaller = std::make_unique<DriverInstaller>(setup);
    application_ = std::make_unique<TidewellApplication>(env, std::move(components));
    application_->healthBanner().setAnimated(false);
    QObject::connect(&application_->driverInstaller(), &DriverInstaller::statusChanged,
                     [this] { *log << "installer refreshed"; });
    QObject::connect(application_.get(), &TidewellApplication::showOnboardingChanged,
                     [this](bool shown) { *log << QStringLiteral("onboarding %1").arg(shown); });
    log->clear();
    return *application_;
  }
  // The service as healthy as the model can report it.
  void healthy(TidewellAppModel& model) {
    model.setHalDriverLoaded(true);
    model.setServiceInstalled(true);
    model.setServiceBinariesInstalled(true);
    model.setServiceRunning(true);
    model.setServiceResponsive(true);
    model.setRuntimePublishFailed(false);
  }
  // Shows the main window offscreen (which runs the start-up step) and waits for it.
  void show(TidewellApplication& app) {
    app.mainWindow().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.mainWindow()));
  }

  std::unique_ptr<TidewellApplication> application_;
};

TEST_F(ShellTest, TheSixMenuCommandsWithTheirShortcutsAndEnableRules) {
  TidewellApplication& app = start(Kind::upToDate);
  const auto& c = app.menuCommands();
  app.driverInstaller().refresh();
  struct Expected { QAction* action; QString text; QKeySequence shortcut; };
  for (const Expected& e : {Expected{c.checkForUpdates, "Check for Updates\u2026", {}},
                            Expected{c.uninstall, "Uninstall Tidewell\u2026", {}},
                            Expected{c.newDevice, "New Device", QKeySequence("Ctrl+N")},
                            Expected{c.reload, "Reload", QKeySequence("Ctrl+R")},
                            Expected{c.toggleSidebar, "Hide Sidebar", QKeySequence("Ctrl+Alt+S")},
                            Expected{c.developerMode, "Developer Mode", QKeySequence("Ctrl+Shift+D")}}) {
    ASSERT_NE(e.action, nullptr);
    EXPECT_EQ(e.action->text(), e.text);
    EXPECT_EQ(e.action->shortcut(), e.shortcut) << e.text.toStdString();
    EXPECT_TRUE(e.action->isVisible()) << e.text.toStdString();
  }
  // Without an update controller there is nothing to check with.
  EXPECT_FALSE(c.checkForUpdates->isEnabled());
  for (QAction* always : {c.uninstall, c.newDevice, c.reload, c.toggleSidebar, c.developerMode})
    EXPECT_TRUE(always->isEnabled()) << always->text().toStdString();

  c.newDevice->trigger();
  EXPECT_EQ(app.model().snapshot().devices.size(), 2u);
  EXPECT_EQ(savedConfig().devices.size(), 2u);

  // Reload reads the file again: an outside change shows.
  writeConfig({makeDevice("D", "Desk"), makeDevice("E", "Echo"), makeDevice("F", "Field")}, "D");
  c.reload->trigger();
  EXPECT_EQ(app.model().snapshot().devices.size(), 3u);

  c.toggleSidebar->trigger();
  EXPECT_FALSE(app.sidebar().visible());
  EXPECT_EQ(c.toggleSidebar->text(), "Show Sidebar");
  EXPECT_FALSE(SidebarVisibility(std::make_shared<SettingsPreferences>(preferencesFile)).visible())
      << "the flag survives a relaunch";
  c.toggleSidebar->trigger();
  EXPECT_EQ(c.toggleSidebar->text(), "Hide Sidebar");

  // Once uninstalling has begun the flag is no longer stored: the removed preferences file
  // does not come back.
  app.model().prepareForUninstall();
  ASSERT_TRUE(QFile::remove(preferencesFile));
  c.toggleSidebar->trigger();
  EXPECT_FALSE(app.sidebar().visible());
  EXPECT_FALSE(QFileInfo::exists(preferencesFile));

  EXPECT_TRUE(c.developerMode->isCheckable());
  c.developerMode->trigger();
  EXPECT_TRUE(app.model().developerMode());
  app.model().setDeveloperMode(false);
  EXPECT_FALSE(c.developerMode->isChecked()) << "the toggle follows the model";
}

TEST_F(ShellTest, UpdatesCanBeCheckedOnlyWithAControllerAndUninstallNeedsTheBundle) {
  AlwaysCanCheck* controller = nullptr;
  TidewellApplication::Components components;
  components.updater = std::make_unique<UpdaterModel>(
      UpdaterModel::ownBundleIdentifier(), [&controller](FeedParametersDelegate&) {
        auto made = std::make_unique<AlwaysCanCheck>();
        controller = made.get();
        return made;
      });
  TidewellApplication& app = start(Kind::bundleMissing, std::move(components));
  ASSERT_NE(controller, nullptr);
  EXPECT_TRUE(app.menuCommands().checkForUpdates->isEnabled());
  app.menuCommands().checkForUpdates->trigger();
  EXPECT_EQ(controller->checks, 1);

  EXPECT_TRUE(app.menuCommands().uninstall->isVisible()) << "the status is unknown until refreshed";
  app.driverInstaller().refresh();
  EXPECT_FALSE(app.menuCommands().uninstall->isVisible());
}

TEST_F(ShellTest, ASecondRequestForTheUninstallWindowShowsTheSameWindow) {
  TidewellApplication& app = start(Kind::upToDate);
  EXPECT_EQ(app.uninstallWindow(), nullptr) << "made only when asked for";
  app.menuCommands().uninstall->trigger();
  QWidget* first = app.uninstallWindow();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->windowTitle(), "Uninstall Tidewell");
  EXPECT_NE(first->findChild<UninstallView*>(), nullptr);
  first->close();
  app.menuCommands().uninstall->trigger();
  EXPECT_EQ(app.uninstallWindow(), first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(QApplication::topLevelWidgets().count(QPointer<QWidget>(first).data()), 1);
}

TEST_F(ShellTest, TheStartupStepRunsInOrderWhenTheWindowIsShown) {
  TidewellApplication& app = start(Kind::notInstalled);
  EXPECT_TRUE(log->isEmpty()) << "nothing runs before the window is shown";
  // The service is not installed, but the onboarding decision comes first: no banner flashes.
  ASSERT_FALSE(app.model().serviceInstalled());
  EXPECT_EQ(app.healthBanner().shownIssue(), std::nullopt);
  show(app);
  EXPECT_EQ(app.healthBanner().shownIssue(), std::nullopt);
  EXPECT_EQ(log->mid(0, 3), (QStringList{"meters read", "installer refreshed", "reinstallServiceIfStale"}));
  EXPECT_GT(log->indexOf("onboarding 1"), 2) << "onboarding opens after the start-up step";
  EXPECT_TRUE(app.onboardingSheet().isVisible());
  EXPECT_EQ(app.mainWindow().minimumSize(), QSize(1080, 680));
  EXPECT_NE(app.mainWindow().findChild<TidewellRootView*>(), nullptr);

  // The onboarding content closes the sheet; Escape does not, also with the sheet active and
  // the key arriving at its focused widget, as a user's does.
  QDialog& sheet = app.onboardingSheet();
  sheet.activateWindow();
  QApplication::setActiveWindow(&sheet);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &sheet; }));
  auto* close = sheet.findChild<QPushButton*>("onboardingNotNow");
  ASSERT_NE(close, nullptr);
  QWidget* focused = QApplication::focusWidget();
  ASSERT_NE(focused, nullptr);
  ASSERT_TRUE(sheet.isAncestorOf(focused));
  QTest::keyClick(focused, Qt::Key_Escape);
  EXPECT_TRUE(app.showOnboarding());
  EXPECT_TRUE(sheet.isVisible());
  close->click();
  EXPECT_FALSE(app.showOnboarding());
  EXPECT_FALSE(app.onboardingSheet().isVisible());

  // The meters poll the selected device from now on, and follow a new selection.
  auto readsOf = [&](const QString& device) {
    return meterSource->owners.filter(".devices." + device + ".").size();
  };
  EXPECT_GT(readsOf("D"), 0);
  meterSource->owners.clear();
  ASSERT_TRUE(waitFor([&] { return readsOf("D") > 0; })) << "polling runs";
  writeConfig({makeDevice("D", "Desk"), makeDevice("E", "Echo")}, "E");
  app.model().reload();
  EXPECT_GT(readsOf("E"), 0) << "a new selection is read at once";
  meterSource->owners.clear();
  ASSERT_TRUE(waitFor([&] { return readsOf("E") > 0; }));
  EXPECT_EQ(readsOf("D"), 0);
}

TEST_F(ShellTest, TheOnboardingDecisionFollowsThePlugInAndTheService) {
  struct Case { Kind status; bool healthy; bool reinstall; bool onboarding; };
  for (const Case& c : {Case{Kind::bundleMissing, false, false, false},
                        Case{Kind::notInstalled, true, true, true},
                        Case{Kind::outdated, true, true, true},
                        Case{Kind::upToDate, false, true, true},
                        Case{Kind::upToDate, true, true, false}}) {
    SCOPED_TRACE(int(c.status) * 10 + c.healthy);
    QDir(carried).removeRecursively();
    QDir(plugIns).removeRecursively();
    TidewellApplication& app = start(c.status);
    if (c.healthy) healthy(app.model());
    app.runStartupStep();
    EXPECT_EQ(app.driverInstaller().status().kind, c.status);
    EXPECT_EQ(log->contains("reinstallServiceIfStale"), c.reinstall);
    EXPECT_EQ(app.showOnboarding(), c.onboarding);
  }
}

TEST_F(ShellTest, ActivationRefreshesThePlugInThenRunsAHealthPass) {
  TidewellApplication& app = start(Kind::notInstalled);
  registry->pluginLoaded = false;
  app.applicationBecameActive();
  EXPECT_EQ(*log, (QStringList{"installer refreshed", "refreshServiceStatus"}));
  EXPECT_FALSE(app.model().halDriverLoaded());
}

TEST_F(ShellTest, TheBannerShowsWhatTheModelReportsAndItsActionsCallTheModel) {
  TidewellApplication& app = start(Kind::upToDate);
  TidewellAppModel& model = app.model();
  healthy(model);
  show(app);
  HealthBannerOverlay& overlay = app.healthBanner();
  EXPECT_FALSE(app.showOnboarding());
  EXPECT_EQ(overlay.shownIssue(), std::nullopt);

  model.setServiceRunning(false);
  ASSERT_EQ(overlay.shownIssue(), HealthIssue::serviceNotRunning);
  HealthBanner* banner = overlay.banner();
  ASSERT_NE(banner, nullptr);
  EXPECT_EQ(banner->actionButton()->text(), actionTitle(HealthIssue::serviceNotRunning));
  log->clear();
  banner->actionButton()->click();
  EXPECT_EQ(*log, QStringList{"installOrRestartService"});

  // A running service action disables the repair but keeps the banner.
  model.setServiceActionRunning(true);
  EXPECT_FALSE(overlay.banner()->actionButton()->isEnabled());
  model.setServiceActionRunning(false);
  EXPECT_TRUE(overlay.banner()->actionButton()->isEnabled());

  // The plug-in missing comes first and opens onboarding, which hides the banner (the sheet
  // checks the plug-in again when it shows, and finds it still missing).
  registry->pluginLoaded = false;
  model.setHalDriverLoaded(false);
  ASSERT_EQ(overlay.shownIssue(), HealthIssue::driverNotLoaded);
  overlay.banner()->actionButton()->click();
  EXPECT_TRUE(app.showOnboarding());
  EXPECT_EQ(overlay.shownIssue(), std::nullopt);
  app.setShowOnboarding(false);
  EXPECT_EQ(overlay.shownIssue(), HealthIssue::driverNotLoaded);

  // A failed publish is repaired by reloading, which publishes again.
  registry->pluginLoaded = true;
  healthy(model);
  model.setRuntimePublishFailed(true);
  ASSERT_EQ(overlay.shownIssue(), HealthIssue::runtimePublishFailed);
  const auto publishes = publisher->published.size();
  overlay.banner()->actionButton()->click();
  EXPECT_GT(publisher->published.size(), publishes);
  EXPECT_FALSE(model.runtimePublishFailed());
  EXPECT_EQ(overlay.shownIssue(), std::nullopt);

  // Dismissed stays hidden for the run; another issue still shows.
  model.setServiceResponsive(false);
  ASSERT_EQ(overlay.shownIssue(), HealthIssue::serviceUnresponsive);
  overlay.banner()->dismissButton()->click();
  EXPECT_EQ(overlay.shownIssue(), std::nullopt);
  model.setServiceResponsive(true);
  model.setServiceResponsive(false);
  EXPECT_EQ(overlay.shownIssue(), std::nullopt);
  model.setServiceInstalled(false);
  EXPECT_EQ(overlay.shownIssue(), HealthIssue::serviceNotInstalled);
}

TEST_F(ShellTest, NoBannerWithoutThePlugInBundle) {
  TidewellApplication& app = start(Kind::bundleMissing);
  show(app);
  app.model().setHalDriverLoaded(false);
  EXPECT_EQ(app.driverInstaller().status().kind, Kind::bundleMissing);
  EXPECT_FALSE(app.showOnboarding());
  EXPECT_EQ(app.healthBanner().shownIssue(), std::nullopt);
}

TEST_F(ShellTest, GrabsOfTheMainWindowInLightAndDark) {
  for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    test::useScheme(scheme);
    TidewellApplication& app = start(Kind::upToDate);
    healthy(app.model());
    app.mainWindow().resize(1080, 680);
    show(app);
    app.model().setServiceRunning(false);
    const QImage image = test::grabShown(app.mainWindow());
    test::saveArtifact(image, "main-window-" + test::schemeName(scheme));
    ASSERT_EQ(image.size() / image.devicePixelRatio(), QSize(1080, 680));
    // The background follows the scheme: dark pixels in dark, light ones in light.
    const QColor corner = image.pixelColor(image.width() - 10, image.height() - 10);
    EXPECT_EQ(corner.lightness() < 128, scheme == ColorScheme::dark);
    ASSERT_EQ(app.healthBanner().shownIssue(), HealthIssue::serviceNotRunning);
    application_.reset();
  }
}

// The joined window: the frame's sidebar lists the model's devices, the editor shows the
// selected device's canvas and follows the selection, and the sidebar flag of the application
// and the frame's buttons drive each other.
TEST_F(ShellTest, TheMainWindowHoldsTheFrameWithTheSidebarAndTheSelectedDevicesCanvas) {
  for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    test::useScheme(scheme);
    DeviceConfig desk = makeDevice("D", "Desk");
    desk.sources.push_back(makeSource("S", SourceType::system, "Everything"));
    desk.monitors.push_back(makeMonitor("M", "Speakers"));
    writeConfig({desk, makeDevice("E", "Echo")}, "D");
    TidewellApplication& app = start(Kind::upToDate);
    healthy(app.model());
    app.mainWindow().resize(1080, 680);
    show(app);

    TidewellRootView* root = app.mainWindow().findChild<TidewellRootView*>();
    ASSERT_EQ(root, &app.rootView());
    // The frame starts from the stored flag (the light pass leaves it hidden for the dark one).
    EXPECT_EQ(root->sidebarVisible(), scheme == ColorScheme::light);
    app.sidebar().setVisible(true);
    ASSERT_TRUE(root->sidebarVisible());
    ASSERT_TRUE(waitFor([&] { return !root->sidebarAnimating(); }));
    QAbstractItemModel* rows = root->sidebar()->deviceList()->model();
    ASSERT_EQ(rows->rowCount(), 2);
    EXPECT_EQ(rows->index(0, 0).data().toString(), "Desk");
    EXPECT_EQ(rows->index(1, 0).data().toString(), "Echo");
    ASSERT_NE(root->editor(), nullptr);
    RoutingCanvasView* canvas = root->editor()->canvas();
    ASSERT_NE(canvas, nullptr);
    EXPECT_TRUE(canvas->isVisible());
    EXPECT_EQ(canvas->device().id, "D");
    // Every port of the three columns has measured its frame (as the canvas's own tests count:
    // pass-thru and system source, the device's channels in and out, the monitor).
    ASSERT_TRUE(waitFor([&] { return canvas->state().portFrames().size() == 2u + 4u + 2u + 2u; }))
        << canvas->state().portFrames().size();
    // The canvas takes the editor's remaining height, down to the padding at the bottom of what
    // the scroll area shows (above its sideways scroll bar, when the columns need one).
    QWidget* viewport = root->editor()->scrollArea()->viewport();
    EXPECT_EQ(canvas->mapTo(viewport, QPoint(0, canvas->height())).y(),
              viewport->height() - DeviceEditorView::padding);
    QTest::qWait(100);
    const QImage image = test::grabShown(app.mainWindow());
    test::saveArtifact(image, "main-window-joined-" + test::schemeName(scheme));

    app.model().setSelectedDeviceID(std::string("E"));
    ASSERT_TRUE(waitFor([&] { return root->editor()->canvas() && root->editor()->canvas()->device().id == "E"; }));
    EXPECT_EQ(root->editor()->header()->nameField()->text(), "Echo");

    // The menu command and the frame's buttons share the application's flag.
    const QString shortcut = SidebarVisibility::shortcut().toString(QKeySequence::NativeText);
    EXPECT_EQ(root->sidebar()->hideSidebarButton()->toolTip(), "Hide Sidebar (" + shortcut + ")");
    app.menuCommands().toggleSidebar->trigger();
    EXPECT_FALSE(app.sidebar().visible());
    EXPECT_FALSE(root->sidebarVisible());
    EXPECT_EQ(root->editor()->header()->showSidebarButton()->toolTip(), "Show Sidebar (" + shortcut + ")");
    QTest::mouseClick(root->editor()->header()->showSidebarButton(), Qt::LeftButton);
    EXPECT_TRUE(app.sidebar().visible());
    EXPECT_TRUE(root->sidebarVisible());
    QTest::mouseClick(root->sidebar()->hideSidebarButton(), Qt::LeftButton);
    EXPECT_FALSE(app.sidebar().visible());
    EXPECT_FALSE(root->sidebarVisible());

    // The footer's health line and the diagnostics panel act on the application's model.
    auto* health = root->sidebar()->findChild<CompactHealthView*>();
    ASSERT_NE(health, nullptr);
    EXPECT_EQ(health->summaryLabel()->text(), app.model().compactHealthSummary());
    app.model().setDeveloperMode(true);
    auto* diagnostics = root->sidebar()->findChild<DeveloperDiagnosticsPanel*>();
    ASSERT_NE(diagnostics, nullptr);
    log->clear();
    diagnostics->serviceRefreshButton()->click();
    EXPECT_TRUE(log->contains("refreshServiceStatus")) << log->join(", ").toStdString();
    application_.reset();
  }
}

}  // namespace
}  // namespace tidewell::testing
