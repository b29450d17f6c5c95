// The application's own diagnostic helpers: start, stop and restart of the monitor, the
// hardware source and the process tap, at most one child of each kind.

#include <QPointer>

#include "ChildProcess.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ServiceFiles.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {

// ---- the launcher the bindings call ------------------------------------------------------------

namespace {
// Through the interface an empty id names no particular source or monitor.
std::optional<std::string> optionalID(const std::string& id) {
  if (id.empty()) return std::nullopt;
  return id;
}
}  // namespace

QStringList HelperLauncher::programFolders() const { return HelperLaunch::bundleFolders(); }

QStringList ProcessHelperLauncher::programFolders() const {
  return folders_ ? *folders_ : HelperLaunch::bundleFolders();
}
void ProcessHelperLauncher::restartHardwareSourceIfRunning(TidewellAppModel& model,
                                                           const std::string& sourceID) {
  model.restartHardwareSourceIfRunning(optionalID(sourceID));
}
void ProcessHelperLauncher::restartProcessTapIfRunning(TidewellAppModel& model,
                                                       const std::string& sourceID) {
  model.restartProcessTapIfRunning(optionalID(sourceID));
}
void ProcessHelperLauncher::restartMonitor(TidewellAppModel& model) { model.restartMonitor(); }
void ProcessHelperLauncher::restartHardwareSource(TidewellAppModel& model) { model.restartHardwareSource(); }
void ProcessHelperLauncher::restartProcessTap(TidewellAppModel& model) { model.restartProcessTap(); }
void ProcessHelperLauncher::restartMonitorIfRunning(TidewellAppModel& model,
                                                    const std::string& monitorID) {
  model.restartMonitorIfRunning(optionalID(monitorID));
}

// ---- per-kind fields ---------------------------------------------------------------------------

QPointer<QProcess>& TidewellAppModel::helperProcess(HelperKind kind) {
  switch (kind) {
    case HelperKind::monitor: return monitorProcess_;
    case HelperKind::hardwareSource: return hardwareSourceProcess_;
    case HelperKind::processTap: break;
  }
  return processTapProcess_;
}
bool TidewellAppModel::helperRunning(HelperKind kind) const {
  switch (kind) {
    case HelperKind::monitor: return monitorRunning_;
    case HelperKind::hardwareSource: return hardwareSourceRunning_;
    case HelperKind::processTap: break;
  }
  return processTapRunning_;
}
void TidewellAppModel::setHelperRunning(HelperKind kind, bool value) {
  switch (kind) {
    case HelperKind::monitor: return setMonitorRunning(value);
    case HelperKind::hardwareSource: return setHardwareSourceRunning(value);
    case HelperKind::processTap: return setProcessTapRunning(value);
  }
}
const QString& TidewellAppModel::helperStatus(HelperKind kind) const {
  switch (kind) {
    case HelperKind::monitor: return monitorStatusMessage_;
    case HelperKind::hardwareSource: return hardwareSourceStatusMessage_;
    case HelperKind::processTap: break;
  }
  return processTapStatusMessage_;
}
void TidewellAppModel::setHelperStatus(HelperKind kind, const QString& value) {
  switch (kind) {
    case HelperKind::monitor: return setMonitorStatusMessage(value);
    case HelperKind::hardwareSource: return setHardwareSourceStatusMessage(value);
    case HelperKind::processTap: return setProcessTapStatusMessage(value);
  }
}

// ---- lookup ------------------------------------------------------------------------------------

std::optional<QString> TidewellAppModel::monitorExecutableURL() const {
  return HelperLaunch::findExecutable(helperProgramName(HelperKind::monitor),
                                      environment_.helperLauncher->programFolders());
}
std::optional<QString> TidewellAppModel::hardwareSourceExecutableURL() const {
  return HelperLaunch::findExecutable(helperProgramName(HelperKind::hardwareSource),
                                      environment_.helperLauncher->programFolders());
}
std::optional<QString> TidewellAppModel::processTapExecutableURL() const {
  return HelperLaunch::findExecutable(helperProgramName(HelperKind::processTap),
                                      environment_.helperLauncher->programFolders());
}

// Two writers on one meter region tear the meters, two helpers on one route double the audio:
// the service's helpers already play the saved configuration. What says it runs is the agent's
// state as last read, or a live instance holding the service's single-instance lock; a
// heartbeat file stays fresh for a while after the service has stopped or crashed.
bool TidewellAppModel::serviceIsRunning() const {
  return serviceRunning_ || ServiceSingleInstance::isHeld(TidewellCore::serviceLockFileURL());
}

// ---- start, stop, restart ----------------------------------------------------------------------

void TidewellAppModel::startMonitor() { startHelper(HelperKind::monitor); }
void TidewellAppModel::startHardwareSource() { startHelper(HelperKind::hardwareSource); }
void TidewellAppModel::startProcessTap() { startHelper(HelperKind::processTap); }
void TidewellAppModel::stopMonitor() { stopHelper(HelperKind::monitor); }
void TidewellAppModel::stopHardwareSource() { stopHelper(HelperKind::hardwareSource); }
void TidewellAppModel::stopProcessTap() { stopHelper(HelperKind::processTap); }
void TidewellAppModel::restartMonitor() { restartHelper(HelperKind::monitor); }
void TidewellAppModel::restartHardwareSource() { restartHelper(HelperKind::hardwareSource); }
void TidewellAppModel::restartProcessTap() { restartHelper(HelperKind::processTap); }

void TidewellAppModel::startHelper(HelperKind kind) {
  const HelperStatusTexts& texts = helperStatusTexts(kind);
  DeviceRegistry& registry = *environment_.registry;
  setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
  if (kind == HelperKind::processTap) {
    setApplicationSourceCandidates(registry.applicationSourceCandidates());
    followRelaunchedApplicationSources();
  } else {
    setAudioDeviceInventory(registry.deviceInventory());
  }
  if (!halDriverLoaded_) return setHelperStatus(kind, texts.driver);
  if (serviceIsRunning()) return setHelperStatus(kind, texts.serviceRunning);

  const std::optional<DeviceConfig> device = selectedDevice();
  const QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
  QProcessEnvironment environment;
  QString name;
  bool muted = false;
  std::optional<QString> program;
  // Takes a built target: false, with the status set, when there is none or it is disabled.
  auto take = [&](const auto& target, auto makeEnvironment,
                  std::optional<QString> (TidewellAppModel::*lookup)() const) {
    if (!target) return setHelperStatus(kind, texts.noTarget), false;
    if (!target->enabled) return setHelperStatus(kind, texts.disabled), false;
    program = (this->*lookup)();
    environment = makeEnvironment(base, *target, device);
    name = target->name;
    muted = target->muted;
    return true;
  };
  bool taken = false;
  switch (kind) {
    case HelperKind::monitor:
      taken = take(monitorLaunchTarget(), HelperLaunch::monitorEnvironment,
                   &TidewellAppModel::monitorExecutableURL);
      break;
    case HelperKind::hardwareSource:
      taken = take(hardwareSourceLaunchTarget(), HelperLaunch::hardwareSourceEnvironment,
                   &TidewellAppModel::hardwareSourceExecutableURL);
      break;
    case HelperKind::processTap:
      taken = take(processTapLaunchTarget(), HelperLaunch::processTapEnvironment,
                   &TidewellAppModel::processTapExecutableURL);
      break;
  }
  if (!taken) return;
  if (!program) return setHelperStatus(kind, texts.missing);

  // A child of this kind that is still set would be orphaned, playing on into its device: it
  // is ended first, as a restart does.
  if (QProcess* old = helperProcess(kind)) {
    ChildProcess::stop(old);
    helperProcess(kind) = nullptr;
    setHelperRunning(kind, false);  // a launch error below leaves nothing running
  }

  QPointer<TidewellAppModel> model(this);
  auto ended = [model, kind](QProcess& child, const HelperProcessOutput& output) {
    if (!model || model->helperProcess(kind) != &child) return;  // replaced, or model gone
    const bool wasStopping = model->helperStatus(kind).startsWith(QStringLiteral("Stopping"));
    model->helperProcess(kind) = nullptr;
    model->setHelperRunning(kind, false);
    model->setHelperStatus(kind, HelperLaunch::helperEndStatus(kind, wasStopping, child.exitStatus(),
                                                               child.exitCode(), output));
  };
  QString error;
  QProcess* child = ChildProcess::start(*program, environment, false, ended, error);
  if (!child) return setHelperStatus(kind, texts.launchFailed + error);
  adoptChild(child);
  helperProcess(kind) = child;
  setHelperRunning(kind, true);
  setHelperStatus(kind, (muted ? texts.startedMuted : texts.started) + name);
}

void TidewellAppModel::stopHelper(HelperKind kind) {
  if (QProcess* child = helperProcess(kind)) {
    setHelperStatus(kind, helperStatusTexts(kind).stopping);
    // One that ignores the request is killed after the grace, so "Stopping" always ends.
    ChildProcess::stop(child);
    return;
  }
  setHelperRunning(kind, false);
  setHelperStatus(kind, helperStatusTexts(kind).stopped);
}

void TidewellAppModel::restartHelper(HelperKind kind) {
  // Killed after the grace if need be, so it never plays on beside its replacement.
  if (QProcess* old = helperProcess(kind)) ChildProcess::stop(old);
  // The old child's end no longer touches this kind; its process object lives on until then.
  helperProcess(kind) = nullptr;
  setHelperRunning(kind, false);
  startHelper(kind);
}

// ---- restarts after edits ----------------------------------------------------------------------

void TidewellAppModel::restartMonitorIfRunning(const std::optional<std::string>& monitorID) {
  if (!monitorRunning_) return;
  if (!monitorID) return restartMonitor();
  const auto device = selectedDevice();
  if (!device) return;
  for (const MonitorConfig& monitor : device->monitors) {
    if (monitor.id != *monitorID) continue;
    if (QString::fromStdString(monitor.deviceUID) == selectedMonitorOutputUID_) restartMonitor();
    return;
  }
}

void TidewellAppModel::restartHardwareSourceIfRunning(const std::optional<std::string>& sourceID) {
  if (!hardwareSourceRunning_) return;
  if (!sourceID) return restartHardwareSource();
  const auto device = selectedDevice();
  if (!device) return;
  for (const SourceConfig& source : device->sources) {
    if (source.id != *sourceID) continue;
    if (source.metadata.deviceUID &&
        QString::fromStdString(*source.metadata.deviceUID) == selectedHardwareInputUID_) {
      restartHardwareSource();
    }
    return;
  }
}

void TidewellAppModel::restartProcessTapIfRunning(const std::optional<std::string>& sourceID) {
  if (!processTapRunning_) return;
  const auto device = selectedDevice();
  const SourceConfig* found = nullptr;
  if (sourceID && device) {
    for (const SourceConfig& source : device->sources) {
      if (source.id == *sourceID) {
        found = &source;
        break;
      }
    }
  }
  if (!found) return restartProcessTap();
  switch (found->type) {
    case SourceType::application:
      if (found->metadata.pid && QString::number(*found->metadata.pid) == selectedApplicationPID_) {
        restartProcessTap();
      }
      return;
    case SourceType::system:
      if (selectedApplicationPID_.isEmpty()) restartProcessTap();
      return;
    case SourceType::passThru:
    case SourceType::hardwareInput:
    case SourceType::virtualDevice:
      return;
  }
}

}  // namespace tidewell
