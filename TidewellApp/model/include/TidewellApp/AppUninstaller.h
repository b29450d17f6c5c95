#pragma once
// Removes the whole product in one run: the audio plug-in bundles (as administrator, then the
// audio server restarts), the service's launch agents and their definitions, the user's data,
// logs, caches, saved state and preferences, and last the running application itself when it
// may be removed; then the application ends. The earlier product's plug-in, agent, data and log
// folders go in the same run.
//
// One per application run, on the main thread. Only the administrator command (and the server
// restart after it) run on a thread of their own; everything after them runs back to back.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TidewellApp/RunCommand.h"
#include "TidewellApp/TidewellAppModel.h"

class QTimer;

namespace tidewell {


struct AppUninstallStep {
  // In this order; the window ranks its rows by it.
  enum Value { driver, service, userData, trashApp };
};

struct AppUninstallPhase {
  enum class Kind { idle, running, failed, trashFailed };
  Kind kind = Kind::idle;
  AppUninstallStep::Value step = AppUninstallStep::driver;  // running only
  QString message;                                          // failed and trashFailed only

  static AppUninstallPhase idle() { return {}; }
  static AppUninstallPhase running(AppUninstallStep::Value step) { return {Kind::running, step, {}}; }
  static AppUninstallPhase failed(const QString& message) { return {Kind::failed, AppUninstallStep::driver, message}; }
  static AppUninstallPhase trashFailed(const QString& message) {
    return {Kind::trashFailed, AppUninstallStep::driver, message};
  }
  bool isRunning() const { return kind == Kind::running; }
  bool operator==(const AppUninstallPhase& other) const {
    if (kind != other.kind) return false;
    if (kind == Kind::running) return step == other.step;
    return message == other.message;
  }
};

// What the uninstaller removes and the services it uses; standard() is the application's own,
// tests replace parts.
struct AppUninstallerSetup {
  // The audio server's plug-in folder.
  QString plugInFolder;
  // Why root's shell may not remove bundles in the plug-in folder, or none; a run it refuses
  // fails with that text before any prompt. standard() asks DriverInstaller::plugInFolderProblem;
  // tests that script the administrator command in a temporary folder leave it empty.
  std::function<std::optional<QString>(const QString& folder)> plugInFolderProblem;
  // Runs a command as administrator (blocking, on a thread of its own); throws
  // DriverInstallError or PrivilegedLaunchError.
  std::function<void(const QString& command, const QString& prompt)> runAsAdministrator;
  // Restarts the audio server so that it drops the removed plug-in; failures are tolerated.
  std::function<void()> restartAudioServer;
  // Runs launchctl to its end (runCommand); throws CommandError when it cannot be run. The
  // run goes on only when the agents are stopped: each boot-out by label ended with status 0 or
  // LaunchAgent::notLoadedStatus.
  std::function<CommandResult(const QStringList& arguments)> launchctl;
  // The running application's removable file (an AppImage), empty when the application was
  // installed by a package manager or runs from a build or install tree: those stay in place.
  // standard() takes it from runningImage().
  QString runningBundle;
  // The application's identifier, naming its caches and saved state; anything that is not a
  // plain file name stands for the fixed application id.
  QString bundleIdentifier;
  // Moves a file to the trash; false with the reason in `error` on failure.
  std::function<bool(const QString& path, QString& error)> moveToTrash;
  // Removes a file or folder with everything in it; the reason when that failed.
  std::function<std::optional<QString>(const QString& path)> removeItem;
  // Removes the product's shared-memory regions of this user (the runtime region, every control
  // and meter region), once the service and the helpers are stopped; failures are ignored.
  std::function<void()> removeSharedMemory;
  // Ends the application.
  std::function<void()> terminate;

  static AppUninstallerSetup standard();
};

class AppUninstaller : public QObject {
  Q_OBJECT
  Q_PROPERTY(tidewell::AppUninstallPhase phase READ phase NOTIFY phaseChanged)

 public:
  explicit AppUninstaller(QObject* parent = nullptr);
  explicit AppUninstaller(AppUninstallerSetup setup, QObject* parent = nullptr);
  ~AppUninstaller() override;

  const AppUninstallPhase& phase() const { return phase_; }
  const AppUninstallerSetup& setup() const { return setup_; }

  // Starts a run unless one is running; the phase is running(driver) when this returns, so a
  // second call right after does nothing. A plug-in install or a service install or removal
  // that runs meanwhile is waited for before anyone is asked; from then on until the run ends
  // none starts: the run holds the model's serviceActionRunning and SetupActivity's uninstall.
  void uninstall(TidewellAppModel& model);

  // The sentence the driver step asks the administrator with; the window shows it during that
  // step, as pkexec's dialog cannot.
  static QString administratorPrompt();
  // Whether the run may move the running application to the trash.
  bool canTrashRunningBundle() const;
  // The shell command of the driver step: removes every plug-in bundle (and what an install cut
  // short left), each attempted even when an earlier one failed, and fails when any removal
  // failed.
  static QString adminRemovalCommand(const QString& plugInFolder);
  // The identifier the user-data names use: the given one when it is a plain, non-empty file
  // name, else the fixed application id.
  static QString effectiveBundleIdentifier(const QString& identifier);
  // The user-data items in removal order (the preferences file last), each with the folder it
  // belongs directly in: an XDG folder, or the preferences' folder in the configuration folder.
  struct UserDataItem {
    QString path;
    bool isPreferences = false;
    QString base;
  };
  std::vector<UserDataItem> userDataItems() const;
  // Whether an item may be removed: its path is its base and one of the product's own names,
  // and the base is absolute and neither "/" nor the home folder. An XDG variable set to the
  // home folder or to "/" names no folder of the product's, however its entries are called.
  bool isRemovable(const UserDataItem& item) const;
  // Whether a shared-memory name (without its leading "/") is one of the product's regions:
  // the runtime region, or a control or meter region ("twc"/"twm" and 16 hexadecimal digits).
  static bool isOwnSharedMemoryName(const QString& name);
  // The names of the product's regions in a shared-memory folder ("/dev/shm") that this user
  // owns, sorted; other users' regions there are theirs, also when this program runs as root.
  static QStringList ownSharedMemoryEntries(const QString& folder);
  // The application image this program runs from, or empty. An image runtime mounts the image
  // (or unpacks it) at $APPDIR and runs the program from there, with $APPIMAGE naming the image;
  // both are inherited by every program it starts. So the image counts only when `executable`,
  // the file this program runs from, lies inside `imageFolder` and the image is a file ending in
  // ".AppImage" outside it.
  static QString runningImage(const QString& image, const QString& imageFolder, const QString& executable);

 signals:
  void phaseChanged();

 private:
  struct CommandOutcome;
  void setPhase(const AppUninstallPhase& phase);
  // Runs the driver step once no other setup action runs.
  void startWhenFree();
  void startDriverStep(TidewellAppModel& model);
  // Gives up what the run holds, once it has ended without the application ending.
  void release();
  void collectOutcome();
  void afterDriverStep(TidewellAppModel& model);
  void removeUserData(QStringList& errors);

  AppUninstallerSetup setup_;
  AppUninstallPhase phase_;
  QPointer<TidewellAppModel> model_;
  std::shared_ptr<CommandOutcome> outcome_;
  QTimer* outcomePoll_ = nullptr;
  bool holdsUninstall_ = false;
  bool holdsServiceActions_ = false;
  QMetaObject::Connection waitForActivity_;
  QMetaObject::Connection waitForService_;
};

}  // namespace tidewell

Q_DECLARE_METATYPE(tidewell::AppUninstallPhase)
