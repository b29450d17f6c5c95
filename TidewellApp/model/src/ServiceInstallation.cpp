// Installing the routing service as a per-user launch agent: its four executables copied out
// of the application's bundle, its agent definition written, the earlier product's agent
// removed, and launchctl made to load, enable and start it; the build that installed it is
// recorded so another build reinstalls once.

#include "TidewellApp/ServiceInstallation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "TidewellApp/LaunchAgent.h"
#include "TidewellApp/RunCommand.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ServiceFiles.h"
#include "TidewellCore/TidewellConstants.h"

#ifndef TIDEWELL_BUILD_NUMBER
#define TIDEWELL_BUILD_NUMBER ""
#endif

namespace tidewell {
namespace {

[[noreturn]] void throwSystemError(const QString& what, const QString& path, int error) {
  throw ServiceInstallError((what + " " + path + ": " + QString::fromLocal8Bit(std::strerror(error))).toStdString());
}

void makeFolder(const QString& path) {
  if (!QDir().mkpath(path)) throwSystemError(QStringLiteral("Could not create"), path, errno ? errno : EIO);
}

// Copies all of `from` into `to`; false with errno set on failure.
bool copyAll(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(to, buffer + done, std::size_t(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

QString text(std::string_view value) { return QString::fromUtf8(value.data(), qsizetype(value.size())); }

}  // namespace

ServiceInstallError ServiceInstallError::missingBundledResource(const QString& name) {
  return ServiceInstallError(
      ("Bundled resource '" + name + "' is missing or is not executable.").toStdString());
}

ServiceInstallError ServiceInstallError::launchctlFailed(const QString& output) {
  return ServiceInstallError(output.isEmpty() ? std::string("launchctl failed without output.")
                                              : output.toStdString());
}

ServiceBundle ServiceBundle::ofRunningApplication() {
  ServiceBundle bundle;
  if (QCoreApplication::instance() != nullptr) {
    const QDir app(QCoreApplication::applicationDirPath());
    bundle.resourceFolders = {app.path(), QDir::cleanPath(app.filePath("../libexec/tidewell"))};
  }
  const QString build = QStringLiteral(TIDEWELL_BUILD_NUMBER);
  if (!build.isEmpty()) bundle.buildNumber = build;
  bundle.bundleIdentifier = text(TidewellCore::appBundleID);
  return bundle;
}

void replaceExecutableAtomically(const QString& source, const QString& destination) {
  const QByteArray from = QFile::encodeName(source);
  const QByteArray to = QFile::encodeName(destination);
  const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throwSystemError(QStringLiteral("Could not read"), source, errno);
  // A hidden name in the same folder, so the rename below stays within one file system.
  QByteArray temporary = QFile::encodeName(QFileInfo(destination).dir().filePath(
      "." + QFileInfo(destination).fileName() + ".XXXXXX"));
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    throwSystemError(QStringLiteral("Could not create a file beside"), destination, error);
  }
  const bool copied = copyAll(in, out) && ::fchmod(out, 0755) == 0 && ::fsync(out) == 0;
  const int error = errno;
  ::close(in);
  const bool closed = ::close(out) == 0;
  if (!copied || !closed) {
    ::unlink(temporary.constData());
    throwSystemError(QStringLiteral("Could not copy to"), destination, copied ? errno : error);
  }
  if (::rename(temporary.constData(), to.constData()) != 0) {
    const int renameError = errno;
    ::unlink(temporary.constData());
    throwSystemError(QStringLiteral("Could not replace"), destination, renameError);
  }
}

ServiceLogSink systemServiceLog(const QString& bundleIdentifier) {
  const QByteArray tag = (bundleIdentifier + " [service-install]").toUtf8();
  return [tag](ServiceLogLevel level, const QString& message) {
    ::syslog((level == ServiceLogLevel::error ? LOG_ERR : LOG_NOTICE) | LOG_USER, "%s: %s",
             tag.constData(), message.toUtf8().constData());
  };
}

LaunchAgentServiceController::Settings LaunchAgentServiceController::Settings::live() {
  Settings settings;
  settings.locations = ServiceLocations::fromEnvironment();
  settings.launchctl = launchctlPath();
  settings.bundle = ServiceBundle::ofRunningApplication();
  settings.uid = ::getuid();
  settings.log = systemServiceLog(settings.bundle.bundleIdentifier);
  return settings;
}

LaunchAgentServiceController::LaunchAgentServiceController(Settings settings)
    : settings_(std::move(settings)) {}

QString LaunchAgentServiceController::domainTarget() const { return LaunchAgent::domainTarget(settings_.uid); }
QString LaunchAgentServiceController::serviceTarget() const { return LaunchAgent::serviceTarget(settings_.uid); }
QString LaunchAgentServiceController::heartbeatFile() const {
  return QDir(settings_.locations.appSupport).filePath("service-heartbeat");
}
QString LaunchAgentServiceController::installMarkerFile() const {
  return QDir(settings_.locations.appSupport).filePath("service-build");
}

std::optional<QString> LaunchAgentServiceController::serviceResourceURL(const QString& name) const {
  QStringList candidates;
  for (const QString& folder : settings_.bundle.resourceFolders) candidates << QDir(folder).filePath(name);
  // Run from a source checkout: the build's copy.
  candidates << QDir::current().filePath("build/service/" + name);
  for (const QString& candidate : candidates) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isExecutable()) return info.absoluteFilePath();
  }
  return std::nullopt;
}

void LaunchAgentServiceController::copyBundledServiceResource(const QString& name) const {
  const auto source = serviceResourceURL(name);
  if (!source) throw ServiceInstallError::missingBundledResource(name);
  // The running service may start a helper at any moment: it must find the old file or the
  // new one, never none or a half-written one.
  replaceExecutableAtomically(*source, QDir(settings_.locations.serviceBin).filePath(name));
}

void LaunchAgentServiceController::writeServicePlist() const {
  try {
    writeFileAtomically(settings_.locations.servicePlist,
                        propertyListText(serviceAgentDefinition(settings_.locations,
                                                                settings_.bundle.bundleIdentifier)));
  } catch (const FileWriteError& error) {
    throw ServiceInstallError(error.what());
  }
}

void LaunchAgentServiceController::launchctl(const QStringList& arguments, bool checked) const {
  try {
    const CommandResult result = runCommand(settings_.launchctl, arguments);
    if (checked && result.status != 0) throw ServiceInstallError::launchctlFailed(result.output);
  } catch (const CommandError& error) {
    if (checked) throw ServiceInstallError(error.what());
  }
}

void LaunchAgentServiceController::removeLegacyServiceInstall() const {
  const ServiceLocations& at = settings_.locations;
  launchctl({"bootout", domainTarget(), at.legacyServicePlist}, false);
  launchctl({"bootout", LaunchAgent::legacyServiceTarget(settings_.uid)}, false);
  QFile::remove(at.legacyServicePlist);
  // Never through a link: one in the folder's place (or in it) goes itself, and what it names
  // stays as it is.
  std::error_code ignored;
  std::filesystem::remove_all(QFile::encodeName(at.legacyServiceBin).toStdString(), ignored);
}

LaunchAgentServiceController::InstallOutcome LaunchAgentServiceController::runInstall() const {
  InstallOutcome outcome;
  try {
    const ServiceLocations& at = settings_.locations;
    makeFolder(at.serviceBin);
    makeFolder(at.serviceLog);
    makeFolder(QFileInfo(at.servicePlist).path());
    for (const QString& name : LaunchAgent::serviceExecutableNames()) copyBundledServiceResource(name);
    writeServicePlist();
    removeLegacyServiceInstall();
    // The agent may not be loaded: whatever this says is fine.
    launchctl({"bootout", domainTarget(), at.servicePlist}, false);
    // The previous instance is gone: from now on only a beat of the new one says "running". A
    // new beat is told by a changed stamp, not by a later one: the wall clock may be stepped back.
    outcome.previousInstanceBeat = ServiceHeartbeat::lastBeat(heartbeatFile().toStdString());
    launchctl({"bootstrap", domainTarget(), at.servicePlist}, true);
    launchctl({"enable", serviceTarget()}, true);
    launchctl({"kickstart", serviceTarget()}, true);
    if (settings_.bundle.buildNumber) {
      try {
        ServiceInstallMarker::write(settings_.bundle.buildNumber->toStdString(),
                                    installMarkerFile().toStdString());
      } catch (const std::exception& error) {
        throw ServiceInstallError(error.what());
      }
    }
  } catch (const ServiceInstallError& error) {
    outcome.failure = QString::fromUtf8(error.what());
  }
  return outcome;
}

void LaunchAgentServiceController::adopt(const InstallOutcome& outcome) {
  if (!outcome.previousInstanceBeat) return;
  previousInstanceBeat_ = *outcome.previousInstanceBeat;
  previousInstanceBeatKnown_ = true;
}

void LaunchAgentServiceController::installService() {
  const InstallOutcome outcome = runInstall();
  adopt(outcome);
  if (outcome.failure) throw ServiceInstallError(outcome.failure->toStdString());
}

namespace {

// Runs `work` on a thread of the shared pool and hands its result to `then` on the main thread,
// unless `context` has gone by then. The work gets nothing of the caller's but what it carries.
template <class T>
void inBackground(QObject* context, std::function<T()> work, std::function<void(T)> then) {
  auto promise = std::make_shared<QPromise<T>>();
  promise->future().then(context, [then = std::move(then)](T result) { then(std::move(result)); });
  promise->start();
  QThreadPool::globalInstance()->start([promise, work = std::move(work)] {
    promise->addResult(work());
    promise->finish();
  });
}

}  // namespace

void LaunchAgentServiceController::installOrRestartService(TidewellAppModel& model) {
  if (model.serviceActionRunning()) return;
  model.setServiceActionRunning(true);
  model.setServiceStatusMessage(model.serviceInstalled() ? QStringLiteral("Restarting service")
                                                         : QStringLiteral("Installing service"));
  // The application's own helpers would play into the same regions as the service's. They go
  // through the stop path: its "Stopping ..." text, and its end with the kill after the grace,
  // which the event loop carries out while the install runs on a worker thread.
  if (model.monitorRunning()) model.stopMonitor();
  if (model.hardwareSourceRunning()) model.stopHardwareSource();
  if (model.processTapRunning()) model.stopProcessTap();
  // The worker has a controller of its own with the same settings: nothing of this one is
  // touched off the main thread.
  inBackground<InstallOutcome>(
      &model, [settings = settings_] { return LaunchAgentServiceController(settings).runInstall(); },
      [this, model = &model](InstallOutcome outcome) {
        adopt(outcome);
        if (!outcome.failure) {
          model->setServiceStatusMessage(QStringLiteral("Service running"));
        } else {
          model->setServiceStatusMessage("Service install failed: " + *outcome.failure);
          if (settings_.log) settings_.log(ServiceLogLevel::error, "Service install failed: " + *outcome.failure);
        }
        // A stale clock of the previous instance must not mark the new one unresponsive.
        model->setHeartbeatStaleSince(std::nullopt);
        model->setServiceActionRunning(false);
        refreshServiceStatus(*model);
      });
}

void LaunchAgentServiceController::reinstallServiceIfStale(TidewellAppModel& model) {
  if (!model.serviceInstalled() || model.serviceActionRunning()) return;
  const auto installed = ServiceInstallMarker::read(installMarkerFile().toStdString());
  const auto& bundled = settings_.bundle.buildNumber;
  if (!bundled || bundled->isEmpty()) return;
  if (installed && QString::fromStdString(*installed) == *bundled) return;
  if (settings_.log) {
    settings_.log(ServiceLogLevel::standard,
                  "Service binaries were installed by build " +
                      (installed ? QString::fromStdString(*installed) : QStringLiteral("none")) +
                      "; reinstalling from build " + *bundled);
  }
  installOrRestartService(model);
}

std::optional<QString> LaunchAgentServiceController::runRemoval() const {
  const QString plist = settings_.locations.servicePlist;
  launchctl({"bootout", domainTarget(), plist}, false);
  QFile file(plist);
  if (file.exists() && !file.remove()) return plist + ": " + file.errorString();
  ServiceInstallMarker::remove(installMarkerFile().toStdString());
  return std::nullopt;
}

void LaunchAgentServiceController::uninstallService(TidewellAppModel& model) {
  if (model.serviceActionRunning()) return;
  model.setServiceActionRunning(true);
  model.setServiceStatusMessage(QStringLiteral("Stopping service"));
  inBackground<std::optional<QString>>(
      &model, [settings = settings_] { return LaunchAgentServiceController(settings).runRemoval(); },
      [this, model = &model](std::optional<QString> failure) {
        model->setServiceStatusMessage(failure ? "Service stop failed: " + *failure : QStringLiteral("Service stopped"));
        model->setServiceActionRunning(false);
        refreshServiceStatus(*model);
      });
}

// ---- the model's entries ---------------------------------------------------------------------

void TidewellAppModel::installOrRestartService() {
  environment_.serviceController->installOrRestartService(*this);
}
void TidewellAppModel::reinstallServiceIfStale() {
  environment_.serviceController->reinstallServiceIfStale(*this);
}
void TidewellAppModel::uninstallService() { environment_.serviceController->uninstallService(*this); }

}  // namespace tidewell
