// The uninstaller's removal command, its phases through every failure, the user-data items and
// the guard on what may be removed, in a private HOME.

#include "TidewellApp/AppUninstaller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

#include <atomic>

#include "ModelTestSupport.h"
#include "TidewellApp/LaunchAgentLocations.h"
#include "TidewellApp/Preferences.h"
#include "TidewellApp/PrivilegedCommand.h"

namespace tidewell::testing {
namespace {

using Phase = AppUninstallPhase;
using Step = AppUninstallStep;

void touch(const QString& path) {
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("x");
}

class AppUninstallerTest : public ModelTest {
 protected:
  QTemporaryDir home;
  QString plugIns = home.path() + "/plug-ins";
  std::atomic<int> prompts{0};
  std::atomic<int> restarts{0};
  QString lastCommand;
  QString lastPrompt;
  // What the administrator command does: nothing (success) unless replaced.
  std::function<void(const QString&)> admin = [](const QString&) {};
  std::vector<QStringList> launchctlCalls;
  std::map<QString, QString> failingRemovals;
  int terminations = 0;
  // For each removal of the shared-memory regions: how many launchctl calls came before it.
  std::vector<std::size_t> sharedMemoryRemovals;
  std::vector<Phase> phases;

  AppUninstallerTest() {
    for (auto [name, folder] : {std::pair{"HOME", ""}, std::pair{"XDG_DATA_HOME", "/data"},
                                std::pair{"XDG_CACHE_HOME", "/cache"}, std::pair{"XDG_STATE_HOME", "/state"},
                                std::pair{"XDG_CONFIG_HOME", "/config"}})
      qputenv(name, (home.path() + folder).toUtf8());
  }

  AppUninstallerSetup setup() {
    AppUninstallerSetup s;
    s.plugInFolder = plugIns;
    s.runAsAdministrator = [this](const QString& command, const QString& prompt) {
      ++prompts;
      lastCommand = command;
      lastPrompt = prompt;
      admin(command);
    };
    s.restartAudioServer = [this] { ++restarts; };
    s.launchctl = [this](const QStringList& arguments) { launchctlCalls.push_back(arguments); };
    s.removeItem = [this](const QString& path) -> std::optional<QString> {
      auto failing = failingRemovals.find(path);
      if (failing != failingRemovals.end()) return failing->second;
      std::error_code ec;
      std::filesystem::remove_all(path.toStdString(), ec);
      return std::nullopt;
    };
    s.moveToTrash = [](const QString& path, QString& error) {
      if (QFile::remove(path)) return true;
      error = "no trash for " + path;
      return false;
    };
    s.removeSharedMemory = [this] { sharedMemoryRemovals.push_back(launchctlCalls.size()); };
    s.terminate = [this] { ++terminations; };
    return s;
  }

  std::unique_ptr<AppUninstaller> makeUninstaller(AppUninstallerSetup s) {
    auto uninstaller = std::make_unique<AppUninstaller>(std::move(s));
    QObject::connect(uninstaller.get(), &AppUninstaller::phaseChanged,
                     [this, u = uninstaller.get()] { phases.push_back(u->phase()); });
    return uninstaller;
  }

  // Runs the event loop until the run has left the driver step (or the limit passed).
  static bool settles(AppUninstaller& uninstaller) {
    return waitFor([&] { return uninstaller.phase() != Phase::running(Step::driver); }, 20000);
  }

  // Everything the product leaves in the user's folders, current and earlier.
  QStringList createUserData() {
    const ServiceLocations l = ServiceLocations::fromEnvironment();
    QStringList files{l.appSupport + "/config.json",
                      l.serviceBin + "/tidewell-service",
                      home.path() + "/data/Zellvane/config.json",
                      l.serviceLog + "/service.log",
                      home.path() + "/state/Zellvane/agent.log",
                      home.path() + "/cache/app.tidewell.main/c",
                      home.path() + "/data/app.tidewell.main/w",
                      home.path() + "/state/app.tidewell.main.savedState/s",
                      SettingsPreferences::defaultFilePath(),
                      l.servicePlist,
                      l.legacyServicePlist};
    for (const QString& file : files) touch(file);
    return files;
  }
};

TEST_F(AppUninstallerTest, RemovalCommandAttemptsEveryBundleAndFailsWhenAnyRemovalFailed) {
  EXPECT_EQ(AppUninstaller::adminRemovalCommand("/plug/ins/"),
            "rc=0; rm -rf '/plug/ins/TidewellHAL.driver' || rc=1; rm -rf '/plug/ins/ZellvaneHAL.driver' || rc=1; "
            "exit $rc");
  // A quote in the folder reaches the shell intact.
  EXPECT_EQ(AppUninstaller::adminRemovalCommand("/it's"),
            "rc=0; rm -rf '/it'\\''s/TidewellHAL.driver' || rc=1; rm -rf '/it'\\''s/ZellvaneHAL.driver' || rc=1; "
            "exit $rc");

  // Run through a real shell, with an rm that cannot remove the current bundle.
  QTemporaryDir tools;
  QFile fakeRm(tools.path() + "/rm");
  ASSERT_TRUE(fakeRm.open(QIODevice::WriteOnly));
  fakeRm.write("#!/bin/sh\ncase \"$*\" in *TidewellHAL*) echo \"rm: cannot remove $2: Busy\" >&2; exit 1;; esac\n"
               "exec /bin/rm \"$@\"\n");
  fakeRm.close();
  fakeRm.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", tools.path().toUtf8() + ":" + path);
  const QString folder = plugIns + "/it's here";
  touch(folder + "/TidewellHAL.driver/Contents/Info.plist");
  touch(folder + "/ZellvaneHAL.driver/Contents/Info.plist");
  PrivilegedCommand::Environment direct;
  direct.isRoot = true;
  try {
    PrivilegedCommand::run(AppUninstaller::adminRemovalCommand(folder), "p", direct);
    ADD_FAILURE() << "a failed removal must fail the command";
  } catch (const DriverInstallError& e) {
    EXPECT_EQ(e.kind(), DriverInstallError::Kind::failed);
    EXPECT_THAT(e.text().toStdString(), ::testing::HasSubstr("cannot remove"));
  }
  qputenv("PATH", path);
  EXPECT_FALSE(QFileInfo::exists(folder + "/ZellvaneHAL.driver")) << "the later removal was attempted";
  EXPECT_TRUE(QFileInfo::exists(folder + "/TidewellHAL.driver"));
  // With a working rm both go and the command succeeds.
  EXPECT_NO_THROW(PrivilegedCommand::run(AppUninstaller::adminRemovalCommand(folder), "p", direct));
  EXPECT_FALSE(QFileInfo::exists(folder + "/TidewellHAL.driver"));
}

TEST_F(AppUninstallerTest, StartIsRunningAtOnceAndASecondStartDoesNothing) {
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  EXPECT_EQ(uninstaller->phase(), Phase::idle());
  uninstaller->uninstall(*model);
  EXPECT_EQ(uninstaller->phase(), Phase::running(Step::driver));
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(lastPrompt, "Tidewell needs your administrator password to remove its audio driver.");
  EXPECT_EQ(lastCommand, AppUninstaller::adminRemovalCommand(plugIns));
  EXPECT_EQ(terminations, 1);
}

TEST_F(AppUninstallerTest, CancelledPromptLeavesEverythingAndOffersTheStartAgain) {
  auto files = createUserData();
  auto model = makeModel();
  admin = [](const QString&) { throw DriverInstallError::cancelled(); };
  auto uninstaller = makeUninstaller(setup());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(uninstaller->phase(), Phase::idle());
  EXPECT_FALSE(model->isUninstalling());
  EXPECT_EQ(restarts, 0);
  EXPECT_TRUE(launchctlCalls.empty());
  EXPECT_TRUE(sharedMemoryRemovals.empty());
  for (const QString& file : files) EXPECT_TRUE(QFileInfo::exists(file)) << file.toStdString();
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(prompts, 2);
  EXPECT_EQ(terminations, 0);
}

TEST_F(AppUninstallerTest, FailedCommandStopsBeforeTheModelWithItsText) {
  auto model = makeModel();
  struct Case {
    std::function<void(const QString&)> admin;
    QString message;
    int restarts;
  };
  const std::vector<Case> cases{
      {[](const QString&) { throw DriverInstallError::failed("rm: cannot remove: Busy"); }, "rm: cannot remove: Busy", 1},
      {[](const QString&) { throw DriverInstallError::failed(""); }, "The installer command failed.", 1},
      {[](const QString&) { throw PrivilegedLaunchError("pkexec: not found"); }, "pkexec: not found", 0}};
  for (const Case& c : cases) {
    restarts = 0;
    admin = c.admin;
    auto uninstaller = makeUninstaller(setup());
    uninstaller->uninstall(*model);
    ASSERT_TRUE(settles(*uninstaller));
    EXPECT_EQ(uninstaller->phase(), Phase::failed(c.message));
    // A command that ran restarts the server even when a removal failed; one that never
    // started has nothing to drop.
    EXPECT_EQ(restarts, c.restarts) << c.message.toStdString();
    EXPECT_FALSE(model->isUninstalling());
    EXPECT_TRUE(launchctlCalls.empty());
  }
  EXPECT_EQ(terminations, 0);
}

TEST_F(AppUninstallerTest, FullRunStopsAgentsRemovesUserDataAndQuitsWithThePackageInPlace) {
  auto files = createUserData();
  touch(home.path() + "/cache/other-app/keep");
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  EXPECT_FALSE(uninstaller->canTrashRunningBundle());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_EQ(restarts, 1);
  EXPECT_TRUE(model->isUninstalling());
  EXPECT_EQ(phases, (std::vector<Phase>{Phase::running(Step::driver), Phase::running(Step::service),
                                        Phase::running(Step::userData)}));
  const QString domain = "gui/" + QString::number(getuid());
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  EXPECT_EQ(launchctlCalls, (std::vector<QStringList>{{"bootout", domain, l.servicePlist},
                                                      {"bootout", domain + "/app.tidewell.service"},
                                                      {"bootout", domain, l.legacyServicePlist},
                                                      {"bootout", domain + "/app.zellvane.audioagent"}}));
  // The regions go once, after every agent was stopped: nothing recreates them afterwards.
  EXPECT_EQ(sharedMemoryRemovals, std::vector<std::size_t>{4});
  for (const QString& file : files) EXPECT_FALSE(QFileInfo::exists(file)) << file.toStdString();
  for (const char* folder : {"/data/Tidewell", "/data/Zellvane", "/state/Tidewell", "/config/Tidewell",
                             "/config/launch-agents", "/cache/app.tidewell.main"})
    EXPECT_FALSE(QFileInfo::exists(home.path() + folder)) << folder;
  EXPECT_TRUE(QFileInfo::exists(home.path() + "/cache/other-app/keep"));

  // Nothing writes the preferences again once uninstalling has begun.
  model->setDeveloperMode(true);
  EXPECT_FALSE(QFileInfo::exists(preferencesFile));
}

TEST_F(AppUninstallerTest, UserDataFailuresAreListedOnePerLineAndDoNotStopLaterItems) {
  auto files = createUserData();
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  const QString cache = home.path() + "/cache/app.tidewell.main";
  failingRemovals[l.appSupport] = "Device or resource busy";
  failingRemovals[cache] = "Permission denied";
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  ASSERT_TRUE(waitFor([&] { return !uninstaller->phase().isRunning(); }));
  EXPECT_EQ(uninstaller->phase(), Phase::failed("Could not remove " + l.appSupport + ": Device or resource busy\n" +
                                                "Could not remove " + cache + ": Permission denied"));
  EXPECT_FALSE(QFileInfo::exists(l.serviceLog));
  EXPECT_FALSE(QFileInfo::exists(SettingsPreferences::defaultFilePath()));
  EXPECT_EQ(terminations, 0);
  EXPECT_TRUE(model->isUninstalling());

  // Items that do not exist give no message: a second run over what is left removes it.
  failingRemovals.clear();
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_EQ(prompts, 2);
  EXPECT_FALSE(QFileInfo::exists(l.appSupport));
}

TEST_F(AppUninstallerTest, AnApplicationImageMovesToTheTrashOrTellsWhyNot) {
  auto model = makeModel();
  auto s = setup();
  s.runningBundle = home.path() + "/Apps/Tidewell.AppImage";
  touch(s.runningBundle);
  {
    auto uninstaller = makeUninstaller(s);
    EXPECT_TRUE(uninstaller->canTrashRunningBundle());
    uninstaller->uninstall(*model);
    ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
    EXPECT_EQ(phases.back(), Phase::running(Step::trashApp));
    EXPECT_FALSE(QFileInfo::exists(s.runningBundle));
  }
  phases.clear();
  auto uninstaller = makeUninstaller(s);  // the image is gone now, so the move fails
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return !uninstaller->phase().isRunning(); }, 20000));
  EXPECT_EQ(uninstaller->phase(), Phase::trashFailed("no trash for " + s.runningBundle));
  EXPECT_EQ(terminations, 1);

  for (const QString& notAnImage : {QString("/usr/bin/Tidewell"), QString(), QString("Tidewell.AppImage")}) {
    s.runningBundle = notAnImage;
    EXPECT_FALSE(AppUninstaller(s).canTrashRunningBundle()) << notAnImage.toStdString();
  }
}

TEST_F(AppUninstallerTest, OwnSharedMemoryNamesAreTheRuntimeControlAndMeterRegionsOnly) {
  for (const char* own : {"twruntime3", "twc0123456789abcdef", "twm00000000000000ff"})
    EXPECT_TRUE(AppUninstaller::isOwnSharedMemoryName(own)) << own;
  for (const char* other : {"twruntime2", "twruntime3x", "twc0123456789ABCDEF", "twm0123456789abcde",
                            "twm0123456789abcdef0", "twx0123456789abcdef", "twc", "", "pulse-shm-1",
                            "sem.twc0123456789abcdef"})
    EXPECT_FALSE(AppUninstaller::isOwnSharedMemoryName(other)) << other;
}

TEST_F(AppUninstallerTest, EveryRemovedPathEndsInTheProductsOwnName) {
  for (const QString& bad : {QString(), QString("."), QString(".."), QString("a/b"), QString("/")})
    EXPECT_EQ(AppUninstaller::effectiveBundleIdentifier(bad), "app.tidewell.main") << bad.toStdString();
  EXPECT_EQ(AppUninstaller::effectiveBundleIdentifier("org.example.tw"), "org.example.tw");

  auto s = setup();
  for (const QString& identifier : {QString(), QString("."), QString(".."), QString("../..")}) {
    s.bundleIdentifier = identifier;
    AppUninstaller uninstaller(s);
    for (const auto& item : uninstaller.userDataItems()) {
      EXPECT_TRUE(uninstaller.isRemovablePath(item.path)) << item.path.toStdString();
      EXPECT_TRUE(item.path.startsWith(home.path() + "/")) << item.path.toStdString();
    }
    EXPECT_FALSE(uninstaller.isRemovablePath(home.path() + "/cache"));
    EXPECT_FALSE(uninstaller.isRemovablePath(home.path() + "/cache/."));
    EXPECT_FALSE(uninstaller.isRemovablePath("Tidewell"));
  }

  // An empty identifier leaves the rest of the caches folder alone.
  touch(home.path() + "/cache/other-app/keep");
  touch(home.path() + "/cache/app.tidewell.main/c");
  s.bundleIdentifier = "";
  auto model = makeModel();
  auto uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_TRUE(QFileInfo::exists(home.path() + "/cache/other-app/keep"));
  EXPECT_FALSE(QFileInfo::exists(home.path() + "/cache/app.tidewell.main"));
}

}  // namespace
}  // namespace tidewell::testing
