// The setup sheet and the uninstall window: their rows, titles and buttons in every state, the
// setup run, the Escape guard, and grabs of each look in light and dark.

#include "TidewellApp/OnboardingView.h"
#include "TidewellApp/UninstallView.h"

#include "../model/ModelTestSupport.h"
#include "SetupSheetParts.h"
#include "UiTestSupport.h"

#include "TidewellApp/DriverInstaller.h"

#include <QLabel>
#include <QPushButton>

#include <atomic>
#include <thread>

namespace tidewell::testing {
namespace {

using Kind = DriverInstallStatus::Kind;
using Tint = OnboardingView::RowState::Tint;

// The service as the tests script it: installing makes it installed and running.
class ScriptedService : public ServiceController {
 public:
  int installs = 0;
  bool installWorks = true;
  void refreshServiceStatus(TidewellAppModel&) override {}
  void startHealthMonitor(TidewellAppModel&) override {}
  void installOrRestartService(TidewellAppModel& model) override {
    ++installs;
    model.setServiceInstalled(true);
    model.setServiceRunning(installWorks);
  }
  void reinstallServiceIfStale(TidewellAppModel&) override {}
  void uninstallService(TidewellAppModel&) override {}
};

void writeBundle(const QString& path, const QString& shortVersion, const QString& build) {
  ASSERT_TRUE(QDir().mkpath(path + "/Contents"));
  QFile file(path + "/Contents/Info.plist");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n<key>CFBundleShortVersionString</key><string>" +
             shortVersion.toUtf8() + "</string>\n<key>CFBundleVersion</key><string>" + build.toUtf8() +
             "</string>\n</dict>\n</plist>\n");
}

class SetupViewsTest : public ModelTest {
 protected:
  QTemporaryDir root;
  std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
  QString carried = root.path() + "/share/TidewellHAL.driver";
  QString plugIns = root.path() + "/plug-ins";
  std::uint64_t serverInstance = 1;
  bool serverLoadsPlugIn = true;
  std::function<void(const QString&)> admin;  // default: copies the bundle
  int closes = 0;

  SetupViewsTest() {
    for (auto [name, folder] : {std::pair{"HOME", ""}, std::pair{"XDG_DATA_HOME", "/data"},
                                std::pair{"XDG_CACHE_HOME", "/cache"}, std::pair{"XDG_STATE_HOME", "/state"},
                                std::pair{"XDG_CONFIG_HOME", "/config"}})
      qputenv(name, (root.path() + folder).toUtf8());
    writeBundle(carried, "1.5", "230");
  }

  std::unique_ptr<TidewellAppModel> makeSetupModel() {
    AppEnvironment env = environment();
    env.serviceController = service;
    return std::make_unique<TidewellAppModel>(env);
  }

  std::unique_ptr<DriverInstaller> makeInstaller() {
    DriverInstallerSetup s;
    s.carriedBundle = carried;
    s.plugInFolder = plugIns;
    s.runAsAdministrator = [this](const QString& command, const QString&) {
      if (admin) return admin(command);
      QDir().mkpath(plugIns);
      writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
    };
    s.restartAudioServer = [this] { ++serverInstance; };
    s.serverInstance = [this]() -> std::optional<std::uint64_t> { return serverInstance; };
    s.loadedPlugIn = [this]() -> std::optional<LoadedHALPlugIn> {
      if (!serverLoadsPlugIn) return std::nullopt;
      return LoadedHALPlugIn{serverInstance, "1.5", "230", std::nullopt};
    };
    s.loadCheckInterval = std::chrono::milliseconds(5);
    s.loadChecks = 4;
    return std::make_unique<DriverInstaller>(s);
  }

  void grab(QWidget& view, const QString& name) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
      test::useScheme(scheme);
      QApplication::processEvents();
      const QImage image = test::grabShown(view);
      EXPECT_GT(image.width(), 400);
      test::saveArtifact(image, name + "-" + test::schemeName(scheme));
    }
    test::useScheme(ColorScheme::light);
  }
};

TEST_F(SetupViewsTest, OnboardingRowsAndTitlesFollowTheStatus) {
  const auto outdated = DriverInstallStatus::outdated("1.4 (212)", "1.5 (230)");
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::unknown(), true),
            (OnboardingView::RowState{"questionmark.circle.fill", Tint::secondary, "Unavailable"}));
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::bundleMissing(), true).detail, "Unavailable");
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::notInstalled(), false),
            (OnboardingView::RowState{"exclamationmark.circle.fill", Tint::orange, "Not installed"}));
  EXPECT_EQ(OnboardingView::driverRowState(outdated, true),
            (OnboardingView::RowState{"arrow.up.circle.fill", Tint::orange, "Update 1.4 \u2192 1.5"}));
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::outdated("1.4 (212)", "1.4 (230)"), true).detail,
            "Update 1.4 (212) \u2192 1.4 (230)");
  EXPECT_EQ(OnboardingView::updateDescription("1.4", "1.4 (2)"), "1.4 \u2192 1.4 (2)");
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::upToDate(), false),
            (OnboardingView::RowState{"exclamationmark.circle.fill", Tint::orange, "Installed, not loaded"}));
  EXPECT_EQ(OnboardingView::driverRowState(DriverInstallStatus::upToDate(), true),
            (OnboardingView::RowState{"checkmark.circle.fill", Tint::green, "Installed"}));
  EXPECT_EQ(OnboardingView::serviceRowState(true, false).detail, "Running");
  EXPECT_EQ(OnboardingView::serviceRowState(false, true).detail, "Stopped");
  EXPECT_EQ(OnboardingView::serviceRowState(false, false).detail, "Not installed");

  EXPECT_EQ(OnboardingView::primaryTitle(DriverInstallStatus::upToDate(), true, true), "Done");
  EXPECT_EQ(OnboardingView::primaryTitle(outdated, true, false), "Update");
  EXPECT_EQ(OnboardingView::primaryTitle(DriverInstallStatus::upToDate(), false, false), "Repair");
  EXPECT_EQ(OnboardingView::primaryTitle(DriverInstallStatus::upToDate(), true, false), "Install");
  EXPECT_EQ(OnboardingView::primaryTitle(DriverInstallStatus::bundleMissing(), false, false), "Install");
}

TEST_F(SetupViewsTest, OnboardingRunInstallsDriverAndServiceAndClosesItself) {
  registry->pluginLoaded = false;
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);  // the show step reads the status
  EXPECT_EQ(installer->status().kind, Kind::notInstalled);
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  EXPECT_EQ(view.driverRow()->detail()->text(), "Not installed");
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Not installed");
  grab(view, "onboarding-fresh");

  registry->pluginLoaded = true;  // the new server has the plug-in
  view.primaryButton()->click();
  EXPECT_TRUE(view.settingUp());
  EXPECT_FALSE(view.primaryButton()->isEnabled());
  EXPECT_FALSE(view.notNowButton()->isEnabled());
  EXPECT_TRUE(view.spinnerShown());
  grab(view, "onboarding-setting-up");
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(view.driverRow()->symbol(), "checkmark.circle.fill");
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Running");
  EXPECT_EQ(view.primaryButton()->text(), "Done");
  grab(view, "onboarding-done");
  // "Done" only closes.
  view.primaryButton()->click();
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(service->installs, 1);
}

TEST_F(SetupViewsTest, OnboardingCancelledPromptKeepsTheSheetWithTheError) {
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  admin = [](const QString&) { throw DriverInstallError::cancelled(); };
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  view.runSetup();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(closes, 0);
  EXPECT_EQ(service->installs, 0) << "the run ends at the failed install";
  EXPECT_FALSE(view.errorText()->isHidden());
  EXPECT_EQ(view.errorText()->text(), "Installation was cancelled.");
  EXPECT_TRUE(view.primaryButton()->isEnabled());
  EXPECT_TRUE(view.notNowButton()->isEnabled());
  grab(view, "onboarding-cancelled");
  // "Not Now" is no cancel action: Escape leaves the sheet open; only the button closes it.
  QTest::keyClick(&view, Qt::Key_Escape);
  EXPECT_EQ(closes, 0);
  view.notNowButton()->click();
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupViewsTest, OnboardingWithoutBundleOnlyHandlesTheService) {
  QDir(carried).removeRecursively();
  int prompts = 0;
  admin = [&](const QString&) { ++prompts; };
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  EXPECT_EQ(view.driverRow()->detail()->text(), "Unavailable");
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(prompts, 0);
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(closes, 0) << "setup cannot be complete without the plug-in";
}

TEST_F(SetupViewsTest, OnboardingWithThePlugInLoadedAndTheServiceStoppedOnlyStartsTheService) {
  writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
  registry->pluginLoaded = true;
  int prompts = 0;
  admin = [&](const QString&) { ++prompts; };
  auto model = makeSetupModel();
  model->setServiceInstalled(true);
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  EXPECT_EQ(installer->status(), DriverInstallStatus::upToDate());
  EXPECT_EQ(view.driverRow()->detail()->text(), "Installed");
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Stopped");
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(prompts, 0) << "the plug-in was in place";
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupViewsTest, OnboardingRepairInstallsTheLoadedlessPlugInAgain) {
  writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
  registry->pluginLoaded = false;
  int prompts = 0;
  admin = [&](const QString&) {
    ++prompts;
    registry->pluginLoaded = true;  // the server started after the install has it
  };
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  EXPECT_EQ(view.driverRow()->detail()->text(), "Installed, not loaded");
  EXPECT_EQ(view.primaryButton()->text(), "Repair");
  grab(view, "onboarding-repair");
  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(view.driverRow()->detail()->text(), "Installed");
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupViewsTest, OnboardingRunBeforeAnyRefreshSkipsThePlugInAndLearnsTheStatusAtItsEnd) {
  writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
  registry->pluginLoaded = true;
  int prompts = 0;
  admin = [&](const QString&) { ++prompts; };
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });  // not shown: no show step
  EXPECT_EQ(installer->status(), DriverInstallStatus::unknown());
  EXPECT_EQ(view.driverRow()->detail()->text(), "Unavailable");
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  view.runSetup();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(prompts, 0);
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(installer->status(), DriverInstallStatus::upToDate());
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupViewsTest, OnboardingInstallDeclinedAtOnceEndsTheRunWithTheEarlierError) {
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  // An earlier attempt the user cancelled, then the carried bundle went away.
  admin = [](const QString&) { throw DriverInstallError::cancelled(); };
  view.runSetup();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  ASSERT_EQ(view.errorText()->text(), "Installation was cancelled.");
  int prompts = 0;
  admin = [&](const QString&) { ++prompts; };
  QDir(carried).removeRecursively();
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  view.primaryButton()->click();
  EXPECT_FALSE(view.settingUp()) << "declined at once";
  EXPECT_EQ(prompts, 0);
  EXPECT_EQ(service->installs, 0) << "the run ends at the declined install";
  EXPECT_EQ(view.errorText()->text(), "Installation was cancelled.");
  EXPECT_FALSE(view.errorText()->isHidden());
  EXPECT_TRUE(view.primaryButton()->isEnabled());
  EXPECT_EQ(closes, 0);

  // An install already running declines the sheet's as well.
  writeBundle(carried, "1.5", "230");
  std::atomic<bool> release{false};
  admin = [&](const QString&) {
    ++prompts;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  std::optional<bool> other;
  installer->installOrUpdate([&](bool loaded) { other = loaded; });
  view.primaryButton()->click();
  EXPECT_FALSE(view.settingUp());
  EXPECT_EQ(service->installs, 0);
  release = true;
  ASSERT_TRUE(waitFor([&] { return other.has_value(); }, 10000));
  EXPECT_EQ(prompts, 1);
}

TEST_F(SetupViewsTest, OnboardingFailedServiceInstallKeepsTheSheetOpenForAnotherTry) {
  writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
  registry->pluginLoaded = true;
  service->installWorks = false;
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Not installed");
  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(service->installs, 1);
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Stopped");
  EXPECT_FALSE(view.setupComplete());
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(view.primaryButton()->isEnabled());
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  grab(view, "onboarding-service-failed");
  // Another try that works closes it.
  service->installWorks = true;
  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_EQ(service->installs, 2);
  EXPECT_EQ(closes, 1);
}

TEST_F(SetupViewsTest, OnboardingSaysWhoAsksWhileTheAdministratorIsAsked) {
  auto model = makeSetupModel();
  auto installer = makeInstaller();
  std::atomic<bool> release{false};
  admin = [&](const QString&) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QDir().mkpath(plugIns);
    writeBundle(plugIns + "/TidewellHAL.driver", "1.5", "230");
  };
  OnboardingView view(*model, *installer, [this] { ++closes; });
  test::grabShown(view);
  EXPECT_TRUE(view.promptText()->isHidden());
  view.primaryButton()->click();
  EXPECT_FALSE(view.promptText()->isHidden());
  EXPECT_EQ(view.promptText()->text(), "Tidewell needs to install its audio driver.");
  grab(view, "onboarding-asking");
  release = true;
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 10000));
  EXPECT_TRUE(view.promptText()->isHidden());
}

// The names that come from outside: a version read from the installed plug-in's Info.plist.
// Each is checked before the sheet is shown: shown as markup, the image tag would load a file.
TEST_F(SetupViewsTest, OnboardingVersionLineShowsTheInstalledVersionLiterally) {
  for (const QString& version : {QStringLiteral("<img src=\"/dev/zero\">"), QStringLiteral("<b>x</b>")}) {
    writeBundle(plugIns + "/TidewellHAL.driver", version.toHtmlEscaped(), "1");
    auto model = makeSetupModel();
    auto installer = makeInstaller();
    installer->refresh();
    ASSERT_EQ(installer->status().kind, Kind::outdated);
    OnboardingView view(*model, *installer, [this] { ++closes; });
    const QString expected = QStringLiteral("Update ") + version + QStringLiteral(" \u2192 1.5");
    ASSERT_EQ(test::shownText(*view.driverRow()->detail()), expected) << version.toStdString();
    test::grabShown(view);
    EXPECT_EQ(test::shownText(*view.driverRow()->detail()), expected);
  }
}

class UninstallViewTest : public SetupViewsTest {
 protected:
  std::function<void()> adminAction = [] {};
  AppUninstallerSetup uninstallSetup() {
    AppUninstallerSetup s;
    s.plugInFolder = "/usr/local/lib/audioserver/Plug-Ins/HAL";
    s.runAsAdministrator = [this](const QString&, const QString&) { adminAction(); };
    s.launchctl = [](const QStringList&) { return CommandResult{}; };
    s.removeItem = [](const QString&) -> std::optional<QString> { return std::nullopt; };
    s.moveToTrash = [](const QString&, QString& error) {
      error = "Could not move /opt/Tidewell.AppImage to the Trash.";
      return false;
    };
    s.terminate = [] {};
    return s;
  }
};

TEST_F(UninstallViewTest, RowsFollowThePhase) {
  using State = UninstallView::RowState;
  using Step = AppUninstallStep;
  const auto running = AppUninstallPhase::running(Step::userData);
  EXPECT_EQ(UninstallView::rowState(Step::driver, running), State::done);
  EXPECT_EQ(UninstallView::rowState(Step::service, running), State::done);
  EXPECT_EQ(UninstallView::rowState(Step::userData, running), State::active);
  EXPECT_EQ(UninstallView::rowState(Step::trashApp, running), State::pending);
  const auto trashFailed = AppUninstallPhase::trashFailed("x");
  EXPECT_EQ(UninstallView::rowState(Step::userData, trashFailed), State::done);
  EXPECT_EQ(UninstallView::rowState(Step::trashApp, trashFailed), State::pending);
  for (auto step : {Step::driver, Step::service, Step::userData, Step::trashApp}) {
    EXPECT_EQ(UninstallView::rowState(step, AppUninstallPhase::failed("x")), State::pending);
    EXPECT_EQ(UninstallView::rowState(step, AppUninstallPhase::idle()), State::pending);
  }
  const auto& steps = UninstallView::steps();
  EXPECT_EQ(steps[0].title, "Audio driver");
  EXPECT_EQ(steps[1].subtitle, "The launch agent and helper tools that route audio.");
  EXPECT_EQ(steps[2].title, "Settings and logs");
  EXPECT_EQ(steps[3].subtitle, "Tidewell moves to the Trash and quits.");
}

TEST_F(UninstallViewTest, EveryPhaseWithItsButtonsTextsAndEscapeGuard) {
  auto model = makeSetupModel();
  std::atomic<bool> release{false};
  adminAction = [&] {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  AppUninstaller uninstaller(uninstallSetup());
  UninstallView view(*model, uninstaller);
  int dismissals = 0;
  view.setDismiss([&] { ++dismissals; });
  test::grabShown(view);

  // idle
  EXPECT_EQ(view.primaryButton()->text(), "Uninstall Tidewell");
  EXPECT_TRUE(view.primaryButton()->isEnabled());
  EXPECT_TRUE(view.cancelButton()->isEnabled());
  EXPECT_TRUE(view.errorText()->isHidden());
  EXPECT_EQ(view.footnote()->text(), "System audio will pause for a moment while macOS restarts its audio engine.");
  EXPECT_EQ(view.row(AppUninstallStep::driver)->subtitle()->text(),
            "The virtual audio devices in /usr/local/lib/audioserver/Plug-Ins/HAL. Removing them asks for your "
            "administrator password.");
  EXPECT_EQ(view.row(AppUninstallStep::trashApp)->subtitle()->text(),
            "Tidewell quits. Its program files stay in place: remove its package with your package manager.");
  EXPECT_EQ(view.row(AppUninstallStep::driver)->symbol(), "circle");
  EXPECT_TRUE(view.promptText()->isHidden());
  grab(view, "uninstall-idle");
  QTest::keyClick(&view, Qt::Key_Escape);
  EXPECT_EQ(dismissals, 1);

  // running: Escape does nothing, the spinner shows
  QTest::keyClick(&view, Qt::Key_Return);
  EXPECT_EQ(uninstaller.phase(), AppUninstallPhase::running(AppUninstallStep::driver));
  EXPECT_FALSE(view.primaryButton()->isEnabled());
  EXPECT_FALSE(view.cancelButton()->isEnabled());
  EXPECT_TRUE(view.spinnerShown());
  EXPECT_TRUE(view.row(AppUninstallStep::driver)->spinning());
  // The system's password dialog may not say who asks; the window does.
  EXPECT_FALSE(view.promptText()->isHidden());
  EXPECT_EQ(view.promptText()->text(), "Tidewell needs your administrator password to remove its audio driver.");
  QTest::keyClick(&view, Qt::Key_Escape);
  EXPECT_EQ(dismissals, 1);
  grab(view, "uninstall-running");
  release = true;
  // The package stays in place, so the run ends by quitting at the user-data step.
  ASSERT_TRUE(waitFor([&] { return uninstaller.phase() == AppUninstallPhase::running(AppUninstallStep::userData); },
                      10000));
  EXPECT_EQ(view.row(AppUninstallStep::service)->symbol(), "checkmark.circle.fill");
  EXPECT_TRUE(view.promptText()->isHidden());

  // failed: one red line per item, "Try Again"
  ASSERT_TRUE(QDir().mkpath(root.path() + "/data/Tidewell"));
  ASSERT_TRUE(QDir().mkpath(root.path() + "/cache/app.tidewell.main"));
  auto f = uninstallSetup();
  f.removeItem = [](const QString&) -> std::optional<QString> { return "Permission denied"; };
  AppUninstaller failing(f);
  UninstallView failingView(*model, failing);
  failingView.setDismiss([&] { ++dismissals; });
  test::grabShown(failingView);
  failing.uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return !failing.phase().isRunning(); }, 10000));
  ASSERT_EQ(failing.phase().kind, AppUninstallPhase::Kind::failed);
  EXPECT_EQ(failingView.primaryButton()->text(), "Try Again");
  EXPECT_FALSE(failingView.errorText()->isHidden());
  EXPECT_EQ(failingView.errorText()->text(), "Could not remove " + root.path() + "/data/Tidewell: Permission denied\n" +
                                                 "Could not remove " + root.path() +
                                                 "/cache/app.tidewell.main: Permission denied");
  EXPECT_TRUE(failingView.errorText()->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_EQ(failingView.row(AppUninstallStep::driver)->symbol(), "circle");
  grab(failingView, "uninstall-failed");
  QTest::keyClick(&failingView, Qt::Key_Escape);
  EXPECT_EQ(dismissals, 2);

  // trashFailed: only Quit, bound to Return
  auto t = uninstallSetup();
  t.runningBundle = "/opt/Tidewell.AppImage";
  AppUninstaller trashing(t);
  UninstallView trashView(*model, trashing);
  int quits = 0;
  trashView.setTerminate([&] { ++quits; });
  test::grabShown(trashView);
  EXPECT_EQ(trashView.row(AppUninstallStep::trashApp)->subtitle()->text(), "Tidewell moves to the Trash and quits.");
  trashing.uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return !trashing.phase().isRunning(); }, 10000));
  ASSERT_EQ(trashing.phase().kind, AppUninstallPhase::Kind::trashFailed);
  EXPECT_TRUE(trashView.cancelButton()->isHidden());
  EXPECT_TRUE(trashView.primaryButton()->isHidden());
  EXPECT_FALSE(trashView.quitButton()->isHidden());
  EXPECT_EQ(trashView.footnote()->text(),
            "Tidewell couldn't move itself to the Trash: Could not move /opt/Tidewell.AppImage to the Trash. "
            "Everything else was removed — drag Tidewell to the Trash to finish.");
  EXPECT_EQ(trashView.row(AppUninstallStep::userData)->symbol(), "checkmark.circle.fill");
  EXPECT_EQ(trashView.row(AppUninstallStep::trashApp)->symbol(), "circle");
  grab(trashView, "uninstall-trash-failed");
  QTest::keyClick(&trashView, Qt::Key_Return);
  EXPECT_EQ(quits, 1);
}

// The driver row names the plug-in folder, which the environment chooses.
TEST_F(UninstallViewTest, TheDriverRowShowsThePlugInFolderLiterally) {
  auto model = makeSetupModel();
  for (const QString& folder : {QStringLiteral("/opt/<img src=\"/dev/zero\">"), QStringLiteral("/opt/<b>x</b>")}) {
    AppUninstallerSetup setup = uninstallSetup();
    setup.plugInFolder = folder;
    AppUninstaller uninstaller(setup);
    UninstallView view(*model, uninstaller);
    const QString expected = QStringLiteral("The virtual audio devices in ") + folder +
                             QStringLiteral(". Removing them asks for your administrator password.");
    ASSERT_EQ(test::shownText(*view.row(AppUninstallStep::driver)->subtitle()), expected)
        << folder.toStdString();
    test::grabShown(view);
    for (QLabel* label : view.findChildren<QLabel*>()) {
      if (label->text().isEmpty()) continue;
      EXPECT_EQ(test::shownText(*label), label->text()) << label->objectName().toStdString();
    }
  }
}

}  // namespace
}  // namespace tidewell::testing
