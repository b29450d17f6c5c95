#include "TidewellApp/AppUninstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <TidewellCore/Branding.h>
#include <TidewellCore/TidewellConstants.h>
#include <TidewellCore/UserDataFolder.h>
// The region layouts name a field "slots", which is one of Qt's keywords.
#pragma push_macro("slots")
#undef slots
#include <TidewellRuntimeSupport/TidewellRegions.h>
#pragma pop_macro("slots")
#include <TidewellRuntimeSupport/TidewellShm.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/LaunchAgent.h"
#include "TidewellApp/LaunchAgentLocations.h"
#include "TidewellApp/Preferences.h"
#include "TidewellApp/RunCommand.h"
#include "TidewellApp/SetupActivity.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {
namespace {

QString text(std::string_view value) {
  return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

QString bundleName(std::string_view basename) { return text(basename) + QStringLiteral(".driver"); }

QString dataFolder() { return QString::fromStdString(UserDataFolder::applicationSupportDirectory().string()); }

// Whether `path` lies strictly inside `folder`; both canonical (existing, links resolved).
bool liesInside(const QString& path, const QString& folder) {
  const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
  return !path.isEmpty() && !folder.isEmpty() && path.startsWith(prefix) && path != folder;
}

// Moves a file to the Trash of the user's data folder. Qt 6.4 reports success when that folder
// does not exist, having moved the file into "files" of the working folder instead; so the
// data folder is made first (as the XDG rules ask of a program that needs it), and a move that
// still did not land in a Trash is undone and reported.
bool moveToUsersTrash(const QString& path, QString& error) {
  error = QStringLiteral("Could not move ") + path + QStringLiteral(" to the Trash.");
  const auto dataHomes = UserDataFolder::applicationSupportDirectories();
  if (dataHomes.empty()) return false;
  const QString dataHome = QString::fromStdString(dataHomes.front().string());
  if (!QDir().mkpath(dataHome)) return false;
  QString inTrash;
  if (!QFile::moveToTrash(path, &inTrash)) return false;
  const QFileInfo landed(inTrash);
  const QString trashFolder = landed.absoluteDir().absolutePath();  // <trash>/files
  const QString trash = QFileInfo(trashFolder).path();
  // The home Trash ("Trash"), or a volume's (".Trash-<uid>", or ".Trash/<uid>").
  const QString trashName = QFileInfo(trash).fileName();
  const bool inATrash = landed.isAbsolute() && QFileInfo(trashFolder).fileName() == QStringLiteral("files") &&
                        (trashName == QStringLiteral("Trash") || trashName.startsWith(QStringLiteral(".Trash-")) ||
                         QFileInfo(QFileInfo(trash).path()).fileName() == QStringLiteral(".Trash"));
  if (inATrash) return true;
  // Put it back, with the record Qt wrote beside it gone.
  QFile::rename(landed.absoluteFilePath(), path);
  const QString info = QFileInfo(trashFolder).path() + QStringLiteral("/info/") + landed.fileName() +
                       QStringLiteral(".trashinfo");
  QFile::remove(info);
  QDir().rmdir(QFileInfo(info).path());
  QDir().rmdir(trashFolder);
  return false;
}

}  // namespace

struct AppUninstaller::CommandOutcome {
  std::mutex lock;
  bool ended = false;
  bool cancelled = false;
  std::optional<QString> error;
};

AppUninstallerSetup AppUninstallerSetup::standard() {
  AppUninstallerSetup s;
  s.plugInFolder = driverPlugInFolder();
  s.plugInFolderProblem = &DriverInstaller::plugInFolderProblem;
  s.runAsAdministrator = &DriverInstaller::runAsAdministrator;
  s.restartAudioServer = [audioctl = audioctlPath()] { tidewell::restartAudioServer(audioctl); };
  s.launchctl = [program = launchctlPath()](const QStringList& arguments) { return runCommand(program, arguments); };
  // Only a self-contained application image is the user's own file to remove, and only the one
  // this program runs from; a package manager's or an install tree's files stay.
  std::error_code ec;
  const QString executable = QString::fromStdString(std::filesystem::read_symlink("/proc/self/exe", ec).string());
  s.runningBundle =
      AppUninstaller::runningImage(qEnvironmentVariable("APPIMAGE"), qEnvironmentVariable("APPDIR"), executable);
  // POSIX shared memory lives in /dev/shm on Linux; the regions outlive every writer, so they go
  // with the rest of the product.
  s.removeSharedMemory = [] {
    for (const QString& name : AppUninstaller::ownSharedMemoryEntries(QStringLiteral("/dev/shm")))
      TidewellShmUnlink((QLatin1Char('/') + name).toLocal8Bit().constData());
  };
  s.moveToTrash = &moveToUsersTrash;
  s.removeItem = [](const QString& path) -> std::optional<QString> {
    std::error_code ec;
    std::filesystem::remove_all(path.toStdString(), ec);
    if (ec) return QString::fromStdString(ec.message());
    return std::nullopt;
  };
  s.terminate = [] { QCoreApplication::quit(); };
  return s;
}

AppUninstaller::AppUninstaller(QObject* parent) : AppUninstaller(AppUninstallerSetup::standard(), parent) {}

AppUninstaller::AppUninstaller(AppUninstallerSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), outcomePoll_(new QTimer(this)) {
  outcomePoll_->setInterval(20);
  connect(outcomePoll_, &QTimer::timeout, this, &AppUninstaller::collectOutcome);
}

AppUninstaller::~AppUninstaller() { release(); }

void AppUninstaller::setPhase(const AppUninstallPhase& phase) {
  if (!phase.isRunning()) release();
  if (phase_ == phase) return;
  phase_ = phase;
  emit phaseChanged();
}

void AppUninstaller::release() {
  disconnect(waitForActivity_);
  disconnect(waitForService_);
  if (holdsUninstall_) SetupActivity::shared().uninstallEnded();
  holdsUninstall_ = false;
  if (holdsServiceActions_ && model_) model_->setServiceActionRunning(false);
  holdsServiceActions_ = false;
}

QString AppUninstaller::administratorPrompt() {
  return text(Branding::productName) + QStringLiteral(" needs your administrator password to remove its audio driver.");
}

bool AppUninstaller::canTrashRunningBundle() const {
  return !setup_.runningBundle.isEmpty() && setup_.runningBundle.endsWith(QStringLiteral(".AppImage")) &&
         QFileInfo(setup_.runningBundle).isAbsolute();
}

QString AppUninstaller::adminRemovalCommand(const QString& plugInFolder) {
  const QString folder = QDir::cleanPath(plugInFolder);
  QStringList names{bundleName(Branding::driverBundleBasename)};
  for (std::string_view legacy : Branding::legacyDriverBundleBasenames) names << bundleName(legacy);
  // Every removal is attempted; any that failed makes the whole command fail. The audio server
  // is restarted afterwards by the uninstaller itself, as the user whose server it is.
  QStringList commands{QStringLiteral("rc=0")};
  QStringList paths;
  for (const QString& name : names) paths << folder + QLatin1Char('/') + name;
  // What an install cut short left behind.
  paths << driverStagingFolder(folder);
  for (const QString& path : paths)
    commands << QStringLiteral("rm -rf -- ") + shellQuoted(path) + QStringLiteral(" || rc=1");
  commands << QStringLiteral("exit $rc");
  return commands.join(QStringLiteral("; "));
}

QString AppUninstaller::runningImage(const QString& image, const QString& imageFolder, const QString& executable) {
  if (image.isEmpty() || !QFileInfo(image).isAbsolute() || !image.endsWith(QStringLiteral(".AppImage")) ||
      !QFileInfo(image).isFile() || imageFolder.isEmpty() || !QFileInfo(imageFolder).isAbsolute())
    return {};
  const QString folder = QFileInfo(imageFolder).canonicalFilePath();
  if (folder.isEmpty() || folder == QStringLiteral("/") || !QFileInfo(folder).isDir()) return {};
  if (!liesInside(QFileInfo(executable).canonicalFilePath(), folder)) return {};
  if (liesInside(QFileInfo(image).canonicalFilePath(), folder)) return {};
  return image;
}

QStringList AppUninstaller::ownSharedMemoryEntries(const QString& folder) {
  QStringList names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder.toStdString(), ec)) {
    const QString name = QString::fromStdString(entry.path().filename().string());
    if (!isOwnSharedMemoryName(name)) continue;
    struct stat st {};
    // Not followed: a link there is not a region, whoever made it.
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    names << name;
  }
  names.sort();
  return names;
}

bool AppUninstaller::isOwnSharedMemoryName(const QString& name) {
  if (QLatin1Char('/') + name == QLatin1String(TidewellRuntimeRegionName)) return true;
  for (const char* prefix : {TidewellControlNamePrefix, TidewellMeterNamePrefix}) {
    const QString own = QString::fromLatin1(prefix + 1);
    if (!name.startsWith(own) || name.size() != own.size() + 16) continue;
    const QString digits = name.mid(own.size());
    if (std::all_of(digits.begin(), digits.end(), [](QChar c) {
          return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
        }))
      return true;
  }
  return false;
}

QString AppUninstaller::effectiveBundleIdentifier(const QString& identifier) {
  if (identifier.isEmpty() || identifier == QStringLiteral(".") || identifier == QStringLiteral("..") ||
      identifier.contains(QLatin1Char('/')) || identifier.contains(QChar(0)))
    return text(TidewellCore::appBundleID);
  return identifier;
}

std::vector<AppUninstaller::UserDataItem> AppUninstaller::userDataItems() const {
  const ServiceLocations locations = ServiceLocations::fromEnvironment();
  const QString id = effectiveBundleIdentifier(setup_.bundleIdentifier);
  const QString data = dataFolder();
  const QString state = xdgFolder("XDG_STATE_HOME", ".local/state");
  const QString cache = xdgFolder("XDG_CACHE_HOME", ".cache");
  const QString legacyName = text(Branding::legacyDataDirectoryName);
  const QString preferences = SettingsPreferences::defaultFilePath();
  return {
      {locations.appSupport, false, data},
      {QDir(data).filePath(legacyName), false, data},
      {locations.serviceLog, false, state},
      {QDir(state).filePath(legacyName), false, state},
      {QDir(cache).filePath(id), false, cache},
      // Per-application web storage has no place of its own here: the data folder named by id.
      {QDir(data).filePath(id), false, data},
      {QDir(state).filePath(id + QStringLiteral(".savedState")), false, state},
      {preferences, true, QFileInfo(preferences).path()},
  };
}

bool AppUninstaller::isRemovable(const UserDataItem& item) const {
  const QString base = QDir::cleanPath(item.base);
  const QString home = QDir::cleanPath(QString::fromStdString(UserDataFolder::homeDirectory().string()));
  // The preferences' folder lies in the configuration folder, which is held to the same rule.
  const QString xdg = item.isPreferences ? QFileInfo(base).path() : base;
  if (item.base.isEmpty()) return false;
  // Compared as written and as the file system resolves it: another spelling of the home
  // through a symbolic link is still the home.
  const QString realHome = QFileInfo(home).canonicalFilePath();
  for (const QString& folder : {base, xdg}) {
    if (!QDir::isAbsolutePath(folder) || folder == QStringLiteral("/") || folder == home) return false;
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (real == QStringLiteral("/") || (!real.isEmpty() && real == realHome)) return false;
  }
  const QString path = QDir::cleanPath(item.path);
  const QFileInfo info(path);
  if (!QDir::isAbsolutePath(path) || info.path() != base) return false;
  const QString id = effectiveBundleIdentifier(setup_.bundleIdentifier);
  const QString product = text(Branding::dataDirectoryName);
  const QStringList own{product,
                        text(Branding::legacyDataDirectoryName),
                        id,
                        id + QStringLiteral(".savedState"),
                        product + QStringLiteral(".conf")};
  return own.contains(info.fileName());
}

void AppUninstaller::uninstall(TidewellAppModel& model) {
  if (phase_.isRunning()) return;
  model_ = &model;
  // Root removes bundles there by name, as the installer puts them there: a folder that is
  // not absolute, or that others could change, is refused before anyone is asked.
  if (setup_.plugInFolderProblem) {
    if (auto problem = setup_.plugInFolderProblem(setup_.plugInFolder)) return setPhase(AppUninstallPhase::failed(*problem));
  }
  // Running from this moment, so a second start before the command begins does nothing.
  setPhase(AppUninstallPhase::running(AppUninstallStep::driver));
  // No plug-in install starts from now on.
  SetupActivity::shared().uninstallStarted();
  holdsUninstall_ = true;
  startWhenFree();
}

void AppUninstaller::startWhenFree() {
  TidewellAppModel* model = model_.data();
  if (model == nullptr) return setPhase(AppUninstallPhase::failed(QStringLiteral("The application closed.")));
  SetupActivity& activity = SetupActivity::shared();
  if (activity.driverInstallRunning() || model->serviceActionRunning()) {
    // Asked again at each change until both have ended.
    if (!waitForActivity_) waitForActivity_ = connect(&activity, &SetupActivity::changed, this, &AppUninstaller::startWhenFree);
    if (!waitForService_)
      waitForService_ = connect(model, &TidewellAppModel::serviceActionRunningChanged, this, &AppUninstaller::startWhenFree);
    return;
  }
  disconnect(waitForActivity_);
  disconnect(waitForService_);
  // No service install or removal starts from now on either.
  model->setServiceActionRunning(true);
  holdsServiceActions_ = true;
  startDriverStep(*model);
}

void AppUninstaller::startDriverStep(TidewellAppModel&) {
  const QString command = adminRemovalCommand(setup_.plugInFolder);
  const QString prompt = administratorPrompt();
  auto outcome = std::make_shared<CommandOutcome>();
  outcome_ = outcome;
  std::thread([outcome, run = setup_.runAsAdministrator, restart = setup_.restartAudioServer, command, prompt] {
    bool cancelled = false;
    bool ran = false;
    std::optional<QString> error;
    try {
      run(command, prompt);
      ran = true;
    } catch (const DriverInstallError& e) {
      cancelled = e.kind() == DriverInstallError::Kind::cancelled;
      ran = !cancelled;
      error = e.localizedDescription();
    } catch (const std::exception& e) {
      error = QString::fromUtf8(e.what());
    }
    // Whatever was removed is dropped by a new server, also when another removal failed.
    if (ran && restart) restart();
    std::lock_guard<std::mutex> guard(outcome->lock);
    outcome->cancelled = cancelled;
    outcome->error = std::move(error);
    outcome->ended = true;
  }).detach();
  outcomePoll_->start();
}

void AppUninstaller::collectOutcome() {
  bool cancelled = false;
  std::optional<QString> error;
  {
    std::lock_guard<std::mutex> guard(outcome_->lock);
    if (!outcome_->ended) return;
    cancelled = outcome_->cancelled;
    error = std::move(outcome_->error);
  }
  outcomePoll_->stop();
  outcome_.reset();
  TidewellAppModel* model = model_.data();
  if (cancelled) return setPhase(AppUninstallPhase::idle());
  if (error) return setPhase(AppUninstallPhase::failed(*error));
  if (model == nullptr) return setPhase(AppUninstallPhase::failed(QStringLiteral("The application closed.")));
  afterDriverStep(*model);
}

void AppUninstaller::afterDriverStep(TidewellAppModel& model) {
  model.prepareForUninstall();
  setPhase(AppUninstallPhase::running(AppUninstallStep::service));
  const ServiceLocations locations = ServiceLocations::fromEnvironment();
  const QString domain = QStringLiteral("gui/") + QString::number(getuid());
  if (setup_.launchctl) {
    // The boot-outs by definition file may fail on a file that is gone; those by label tell
    // whether each agent is stopped. One still loaded keeps its definition and the user's data:
    // removing the program under a job that launchd keeps alive would leave it retrying for ever.
    std::optional<QString> stillLoaded;
    auto bootout = [&](const QStringList& arguments, bool decides) {
      std::optional<QString> problem;
      try {
        const CommandResult result = setup_.launchctl(arguments);
        if (result.status != 0 && result.status != LaunchAgent::notLoadedStatus)
          problem = result.output.isEmpty() ? QStringLiteral("launchctl ") + arguments.join(QLatin1Char(' ')) +
                                                  QStringLiteral(" ended with status ") + QString::number(result.status)
                                            : result.output;
      } catch (const CommandError& error) {
        problem = QString::fromUtf8(error.what());
      }
      if (decides && problem && !stillLoaded) stillLoaded = problem;
    };
    bootout({QStringLiteral("bootout"), domain, locations.servicePlist}, false);
    bootout({QStringLiteral("bootout"), domain + QLatin1Char('/') + QString(LaunchAgent::serviceLabel)}, true);
    bootout({QStringLiteral("bootout"), domain, locations.legacyServicePlist}, false);
    bootout({QStringLiteral("bootout"), domain + QLatin1Char('/') + QString(LaunchAgent::legacyServiceLabel)}, true);
    if (stillLoaded)
      return setPhase(AppUninstallPhase::failed(QStringLiteral("Could not stop the background service: ") + *stillLoaded));
  }
  QFile::remove(locations.servicePlist);
  QFile::remove(locations.legacyServicePlist);
  // The agents folder goes too when nothing else is left in it.
  QDir().rmdir(QFileInfo(locations.servicePlist).path());

  setPhase(AppUninstallPhase::running(AppUninstallStep::userData));
  // The service has ended with its helpers: nothing writes the regions any more.
  if (setup_.removeSharedMemory) setup_.removeSharedMemory();
  QStringList errors;
  removeUserData(errors);
  if (!errors.isEmpty()) return setPhase(AppUninstallPhase::failed(errors.join(QLatin1Char('\n'))));

  if (canTrashRunningBundle()) {
    setPhase(AppUninstallPhase::running(AppUninstallStep::trashApp));
    QString error;
    if (!setup_.moveToTrash || !setup_.moveToTrash(setup_.runningBundle, error))
      return setPhase(AppUninstallPhase::trashFailed(error));
  }
  release();
  if (setup_.terminate) setup_.terminate();
}

void AppUninstaller::removeUserData(QStringList& errors) {
  for (const UserDataItem& item : userDataItems()) {
    const std::filesystem::path path = item.path.toStdString();
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
      if (!item.isPreferences) continue;
    } else if (!isRemovable(item)) {
      errors << QStringLiteral("Could not remove ") + item.path +
                    QStringLiteral(": it is not a folder of this application.");
      continue;
    } else {
      auto failure = setup_.removeItem ? setup_.removeItem(item.path) : std::nullopt;
      if (failure && !item.isPreferences) {
        errors << QStringLiteral("Could not remove ") + item.path + QStringLiteral(": ") + *failure;
        continue;
      }
    }
    // The preferences file's folder holds nothing else of ours: it goes when empty.
    if (item.isPreferences && isRemovable(item)) QDir().rmdir(QFileInfo(item.path).path());
  }
}

}  // namespace tidewell
