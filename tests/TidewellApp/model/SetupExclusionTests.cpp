// The uninstall of the product and the installs beside it: neither runs while the other does,
// so an install never puts back what the uninstall reports removed. With the real service
// controller over a scripted launchctl, and scripted administrator commands that wait until the
// test lets them end.

#include <QSignalSpy>

#include <condition_variable>
#include <mutex>

#include "ServiceTestSupport.h"
#include "TidewellApp/AppUninstaller.h"
#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/SetupActivity.h"

namespace tidewell::testing {
namespace {

// An administrator command that runs until it is let go, on the command's own thread.
class HeldCommand {
 public:
  void run(const QString& command) {
    std::unique_lock<std::mutex> guard(lock_);
    commands_ << command;
    released_.wait(guard, [this] { return free_; });
  }
  void letGo() {
    std::lock_guard<std::mutex> guard(lock_);
    free_ = true;
    released_.notify_all();
  }
  QStringList commands() {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
  }

 private:
  std::mutex lock_;
  std::condition_variable released_;
  bool free_ = false;
  QStringList commands_;
};

class SetupExclusionTest : public ServiceControllerTest {
 protected:
  std::shared_ptr<HeldCommand> uninstallCommand = std::make_shared<HeldCommand>();
  std::shared_ptr<HeldCommand> installCommand = std::make_shared<HeldCommand>();
  int terminations = 0;

  ~SetupExclusionTest() override {
    // Nothing may stay blocked on a command thread after the test.
    uninstallCommand->letGo();
    installCommand->letGo();
  }

  AppUninstallerSetup uninstallSetup() {
    AppUninstallerSetup s;
    s.plugInFolder = root.filePath("plug-ins");
    s.runAsAdministrator = [held = uninstallCommand](const QString& command, const QString&) { held->run(command); };
    s.launchctl = [](const QStringList&) { return CommandResult{0, {}}; };
    s.removeItem = [](const QString&) -> std::optional<QString> { return std::nullopt; };
    s.terminate = [this] { ++terminations; };
    return s;
  }

  DriverInstallerSetup installSetup() {
    DriverInstallerSetup s;
    s.carriedBundle = root.filePath("share/TidewellHAL.driver");
    QDir().mkpath(s.carriedBundle);
    s.plugInFolder = root.filePath("plug-ins");
    s.runAsAdministrator = [held = installCommand](const QString& command, const QString&) { held->run(command); };
    s.loadCheckInterval = std::chrono::milliseconds(5);
    s.loadChecks = 2;
    return s;
  }
};

// Fault mended: the plug-in's install ran beside the uninstall's removal, so the plug-in could be
// back in place while the uninstall reported everything removed.
TEST_F(SetupExclusionTest, APlugInInstallIsRefusedWhileTheUninstallRuns) {
  auto model = makeServiceModel();
  AppUninstaller uninstaller(uninstallSetup());
  uninstaller.uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return uninstallCommand->commands().size() == 1; }));

  DriverInstaller installer(installSetup());
  std::optional<bool> installed;
  installer.installOrUpdate([&](bool loaded) { installed = loaded; });
  EXPECT_EQ(installed, false) << "refused at once";
  EXPECT_FALSE(installer.installing());
  EXPECT_EQ(installer.lastError(), "The driver cannot be installed while Tidewell is being uninstalled.");
  EXPECT_TRUE(installCommand->commands().isEmpty());

  uninstallCommand->letGo();
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
}

TEST_F(SetupExclusionTest, TheUninstallWaitsForARunningPlugInInstall) {
  auto model = makeServiceModel();
  DriverInstaller installer(installSetup());
  std::optional<bool> installed;
  installer.installOrUpdate([&](bool loaded) { installed = loaded; });
  ASSERT_TRUE(waitFor([&] { return installCommand->commands().size() == 1; }));

  AppUninstaller uninstaller(uninstallSetup());
  uninstaller.uninstall(*model);
  EXPECT_EQ(uninstaller.phase(), AppUninstallPhase::running(AppUninstallStep::driver));
  // Given time, it still asks nobody while the install runs.
  waitFor([&] { return !uninstallCommand->commands().isEmpty(); }, 300);
  EXPECT_TRUE(uninstallCommand->commands().isEmpty());

  // Once the install has ended (the plug-in did not load here), the removal goes ahead.
  installCommand->letGo();
  ASSERT_TRUE(waitFor([&] { return installed.has_value(); }));
  ASSERT_TRUE(waitFor([&] { return uninstallCommand->commands().size() == 1; }));
  uninstallCommand->letGo();
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
}

// Fault mended: a service install (the banner's restart, the stale-build reinstall, the
// diagnostics panel) ran beside the uninstall and put the service's agent back.
TEST_F(SetupExclusionTest, NoServiceInstallOrRemovalStartsWhileTheUninstallRuns) {
  auto model = makeServiceModel();
  AppUninstaller uninstaller(uninstallSetup());
  uninstaller.uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return uninstallCommand->commands().size() == 1; }));
  EXPECT_TRUE(model->serviceActionRunning());
  takeCalls();
  model->installOrRestartService();
  model->reinstallServiceIfStale();
  model->uninstallService();
  waitFor([&] { return QFileInfo::exists(QDir(scriptFolder).filePath("calls")); }, 300);
  EXPECT_TRUE(takeCalls().isEmpty()) << "launchctl was not run";
  EXPECT_FALSE(QFileInfo::exists(at().servicePlist));
  uninstallCommand->letGo();
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
}

TEST_F(SetupExclusionTest, TheUninstallWaitsForARunningServiceInstallAndReleasesWhenCancelled) {
  auto model = makeServiceModel();
  // An install whose bootstrap takes a while; the build marker is written last.
  writeExecutable(root.filePath("launchctl"),
                  "#!/bin/sh\n"
                  "d='" + scriptFolder + "'\n"
                  "echo \"$*\" >> \"$d/calls\"\n"
                  "if [ \"$1\" = bootstrap ]; then sleep 1; fi\n"
                  "exit 0\n");
  model->installOrRestartService();
  ASSERT_TRUE(model->serviceActionRunning());
  AppUninstallerSetup cancelling = uninstallSetup();
  std::atomic<int> prompts{0};
  std::atomic<bool> installedFirst{false};
  cancelling.runAsAdministrator = [&, marker = controller->installMarkerFile()](const QString&, const QString&) {
    installedFirst = QFileInfo::exists(marker);
    ++prompts;
    throw DriverInstallError::cancelled();
  };
  AppUninstaller uninstaller(cancelling);
  uninstaller.uninstall(*model);
  EXPECT_EQ(uninstaller.phase(), AppUninstallPhase::running(AppUninstallStep::driver));
  ASSERT_TRUE(waitFor([&] { return uninstaller.phase() == AppUninstallPhase::idle(); }, 20000));
  EXPECT_EQ(prompts, 1);
  EXPECT_TRUE(installedFirst) << "the prompt came only after the install had ended";
  // Cancelled: the service may be installed again.
  EXPECT_FALSE(model->serviceActionRunning());
  takeCalls();
  model->installOrRestartService();
  settle(*model);
  EXPECT_EQ(takeCalls().filter("bootstrap").size(), 1);
  EXPECT_EQ(terminations, 0);
}

}  // namespace
}  // namespace tidewell::testing
