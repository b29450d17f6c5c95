#pragma once
// The audio plug-in the application carries, and its installed copy in the audio server's
// plug-in folder: compares the two, installs or updates the plug-in with administrator rights,
// restarts the audio server and waits until a new server instance has loaded the new bundle.
//
// Lives on the main thread. Only the privileged command (and the server restart after it) run
// on a thread of their own, which hands the outcome back to the main thread.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <TidewellCore/CoreAudioDeviceRegistry.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

#include "TidewellApp/PrivilegedCommand.h"

namespace tidewell {

struct DriverInstallStatus {
  enum class Kind { unknown, bundleMissing, notInstalled, upToDate, outdated };
  Kind kind = Kind::unknown;
  // outdated only: the installed copy's and the carried bundle's version texts.
  QString installed;
  QString bundled;

  static DriverInstallStatus unknown() { return {}; }
  static DriverInstallStatus bundleMissing() { return {Kind::bundleMissing, {}, {}}; }
  static DriverInstallStatus notInstalled() { return {Kind::notInstalled, {}, {}}; }
  static DriverInstallStatus upToDate() { return {Kind::upToDate, {}, {}}; }
  static DriverInstallStatus outdated(const QString& installed, const QString& bundled) {
    return {Kind::outdated, installed, bundled};
  }
  bool operator==(const DriverInstallStatus&) const = default;
};

// What the installer works on and the services it uses; standard() is the application's own,
// tests replace parts.
struct DriverInstallerSetup {
  // The carried bundle's location (whether it exists is checked on each use); empty: none.
  QString carriedBundle;
  // The audio server's plug-in folder.
  QString plugInFolder;
  // Why root's shell may not work in the plug-in folder, or none; an install it refuses ends
  // with that text before any prompt. standard() asks DriverInstaller::plugInFolderProblem; tests
  // that script the administrator command in a temporary folder of theirs leave it empty.
  std::function<std::optional<QString>(const QString& folder)> plugInFolderProblem;
  // Runs a command as administrator; throws DriverInstallError or PrivilegedLaunchError.
  std::function<void(const QString& command, const QString& prompt)> runAsAdministrator;
  // Makes the audio server start again, so that it loads the plug-in folder anew. Its failure
  // is tolerated (the load wait tells whether the plug-in came up).
  std::function<void()> restartAudioServer;
  // The running server's instance, and the plug-in as the running server loaded it.
  std::function<std::optional<std::uint64_t>()> serverInstance;
  std::function<std::optional<LoadedHALPlugIn>()> loadedPlugIn;
  std::chrono::milliseconds loadCheckInterval{500};
  int loadChecks = 40;

  static DriverInstallerSetup standard();
};

// The audio server's plug-in folder: the first folder of AUDIOSERVER_PLUGIN_PATH, else the first
// folder the running server loads from, else "/usr/local/lib/audioserver/Plug-Ins/HAL".
QString driverPlugInFolder();
// The folder beside the bundles where the install command stages its copy (only an install cut
// short leaves it); the audio server loads nothing from it.
QString driverStagingFolder(const QString& plugInFolder);

// audioctl beside the executable, else on PATH; empty when there is none.
QString audioctlPath();
// Restarts this user's audio server (`audioctl restart`) as this user and with this process's
// environment, so that it loads the plug-in folder anew. Blocks until audioctl ends (any
// thread); a failure is not reported: the wait for the plug-in tells.
void restartAudioServer(const QString& audioctl);

class DriverInstaller : public QObject {
  Q_OBJECT
  Q_PROPERTY(tidewell::DriverInstallStatus status READ status NOTIFY statusChanged)
  Q_PROPERTY(bool installing READ installing NOTIFY installingChanged)
  Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)
  Q_PROPERTY(std::optional<QString> administratorPrompt READ administratorPrompt NOTIFY administratorPromptChanged)

 public:
  explicit DriverInstaller(QObject* parent = nullptr);
  explicit DriverInstaller(DriverInstallerSetup setup, QObject* parent = nullptr);
  ~DriverInstaller() override;

  DriverInstallStatus status() const { return status_; }
  bool installing() const { return installing_; }
  std::optional<QString> lastError() const { return lastError_; }
  // The sentence that says why the administrator is asked, while the administrator command runs
  // (the system's password dialog may be up); none otherwise. pkexec's dialog cannot carry it,
  // so the windows show it beside theirs.
  std::optional<QString> administratorPrompt() const { return administratorPrompt_; }

  // The carried bundle when it exists.
  std::optional<QString> bundledURL() const;
  // The installed bundle's location (whether or not it exists).
  QString installedBundlePath() const;

  // Compares the carried bundle with the installed copy and sets `status`.
  void refresh();
  // Installs or updates the plug-in and waits until it is loaded; `done` (and installFinished)
  // get true when it is. A call while an install runs, or without a carried bundle, ends at
  // once with false; so does one while the product is being uninstalled (SetupActivity), with
  // lastError saying so.
  void installOrUpdate(std::function<void(bool loaded)> done = {});

  // Runs the command as administrator on the calling thread (see PrivilegedCommand).
  static void runAsAdministrator(const QString& command, const QString& prompt);
  // The root shell's command: the earlier bundles go, the carried bundle is copied into a
  // folder of root's alone, checked (only files, folders and links that stay inside it; root's,
  // writable by root alone) and renamed over the installed one; a refused copy fails the command
  // with the reason and leaves the installed bundle as it was.
  static QString adminInstallCommand(const QString& bundledPath, const QString& plugInFolder);
  // Why root's shell may not install into this folder, or none: the folder must be absolute, and
  // every folder on the way to it (symbolic links followed) must belong to root and be writable
  // by nobody else, so that no process of the user's can swap a link in while root works there.
  // A folder such as a build tree's plug-in folder, which the user owns, is refused: a plug-in
  // there needs no administrator.
  static std::optional<QString> plugInFolderProblem(const QString& folder);
  // The bundle's Contents/Info.plist (an XML property list) when it holds a dictionary.
  static std::optional<QVariantMap> infoPlist(const QString& bundlePath);
  // "short version (build)", or none.
  static std::optional<QString> version(const QString& bundlePath);
  static std::optional<QString> contentHash(const QString& bundlePath);

 signals:
  void statusChanged();
  void installingChanged();
  void lastErrorChanged();
  void administratorPromptChanged();
  void installFinished(bool loaded);

 private:
  struct CommandOutcome;
  struct Carried {
    QString version;
    std::optional<QString> hash;
  };
  void setStatus(const DriverInstallStatus& status);
  void setInstalling(bool installing);
  void setLastError(const std::optional<QString>& error);
  void setAdministratorPrompt(const std::optional<QString>& prompt);
  void collectOutcome();
  void commandEnded(const std::optional<QString>& error);
  void checkLoaded();
  void finish(bool loaded);

  DriverInstallerSetup setup_;
  DriverInstallStatus status_;
  bool installing_ = false;
  std::optional<QString> lastError_;
  std::optional<QString> administratorPrompt_;
  // The install in progress.
  std::function<void(bool)> done_;
  std::optional<std::uint64_t> instanceBefore_;
  Carried carried_;
  int checks_ = 0;
  // Where the command's thread leaves its outcome; the main thread looks every few
  // milliseconds (a plain lock both sides share, and nothing of the installer on that thread).
  std::shared_ptr<CommandOutcome> outcome_;
  QTimer* outcomePoll_ = nullptr;
};

}  // namespace tidewell

Q_DECLARE_METATYPE(tidewell::DriverInstallStatus)
