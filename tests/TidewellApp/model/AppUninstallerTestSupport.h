#pragma once
// The uninstaller's tests in a private HOME: a scripted administrator command, launchctl,
// removal, trash and end, each recording what it was asked, and the product's user data.

#include "TidewellApp/AppUninstaller.h"
#include "TidewellApp/DriverInstaller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <TidewellCore/UserDataFolder.h>

#include <unistd.h>

#include <atomic>

#include "ModelTestSupport.h"
#include "TidewellApp/LaunchAgent.h"
#include "TidewellApp/LaunchAgentLocations.h"
#include "TidewellApp/Preferences.h"
#include "TidewellApp/PrivilegedCommand.h"

namespace tidewell::testing {

using Phase = AppUninstallPhase;
using Step = AppUninstallStep;

inline void touch(const QString& path) {
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
  // What launchctl answers: an agent that was loaded and is stopped now, unless replaced.
  std::function<CommandResult(const QStringList&)> launchctlAnswer = [](const QStringList&) {
    return CommandResult{0, {}};
  };
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
    s.launchctl = [this](const QStringList& arguments) {
      launchctlCalls.push_back(arguments);
      return launchctlAnswer(arguments);
    };
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

}  // namespace tidewell::testing
