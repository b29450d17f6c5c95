// The model's fields, its construction, reload and the operations on the device list as a whole.

#include "TidewellApp/TidewellAppModel.h"

#include "ChildProcess.h"

#include <QProcess>
#include <QTimer>
#include <algorithm>

#include "TidewellCore/Branding.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

QString text(std::string_view value) {
  return QString::fromUtf8(value.data(), qsizetype(value.size()));
}

}  // namespace

TidewellAppModel::TidewellAppModel(AppEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  liveCommitTimer_ = new QTimer(this);
  liveCommitTimer_->setSingleShot(true);
  // A coarse timer may fire a few percent early; the pause is a promise to the user.
  liveCommitTimer_->setTimerType(Qt::PreciseTimer);
  liveCommitTimer_->setInterval(liveCommitDelayMilliseconds);
  connect(liveCommitTimer_, &QTimer::timeout, this, &TidewellAppModel::flushLiveEdits);
  audioDeviceRefreshTimer_ = new QTimer(this);
  audioDeviceRefreshTimer_->setSingleShot(true);
  audioDeviceRefreshTimer_->setTimerType(Qt::PreciseTimer);
  audioDeviceRefreshTimer_->setInterval(audioDeviceRefreshDelayMilliseconds);
  connect(audioDeviceRefreshTimer_, &QTimer::timeout, this,
          &TidewellAppModel::audioDeviceRefreshDue);
  // Reads may overlap (a change during a slow read starts another); the newest one wins.
  inventoryReads_.setMaxThreadCount(4);

  auto& preferences = *environment_.preferences;
  selectedMonitorOutputUID_ =
      preferences.string(PreferenceKeys::monitorOutputUID).value_or(QString());
  selectedHardwareInputUID_ =
      preferences.string(PreferenceKeys::hardwareInputUID).value_or(QString());
  selectedApplicationPID_ = preferences.string(PreferenceKeys::applicationPID).value_or(QString());
  developerMode_ = preferences.boolean(PreferenceKeys::developerMode).value_or(false);

  // Listening starts before the first inventory read, so a change during reload is not missed.
  startDeviceChangeListeners();
  reload();
  environment_.serviceController->startHealthMonitor(*this);
}

TidewellAppModel::~TidewellAppModel() {
  deviceListeners_.reset();
  inventoryReads_.waitForDone();
  // No event loop runs any more to carry out a delayed kill: this waits for the children.
  ChildProcess::endAll(children_);
}

void TidewellAppModel::adoptChild(QProcess* child) {
  std::erase_if(children_, [](const QPointer<QProcess>& ended) { return ended.isNull(); });
  children_.emplace_back(child);
}

// ---- field writers ---------------------------------------------------------------------------

void TidewellAppModel::setSnapshot(const ConfigSnapshot& value) {
  if (assign(snapshot_, value, &TidewellAppModel::snapshotChanged)) selectionInputsChanged();
}
void TidewellAppModel::setValidation(const ValidationResult& value) {
  assign(validation_, value, &TidewellAppModel::validationChanged);
}
void TidewellAppModel::setHalDriverLoaded(bool value) {
  const HealthView before = healthView();
  if (assign(halDriverLoaded_, value, &TidewellAppModel::halDriverLoadedChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setStatusMessage(const QString& value) {
  assign(statusMessage_, value, &TidewellAppModel::statusMessageChanged);
}
void TidewellAppModel::setServiceInstalled(bool value) {
  const HealthView before = healthView();
  if (assign(serviceInstalled_, value, &TidewellAppModel::serviceInstalledChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setServiceRunning(bool value) {
  const HealthView before = healthView();
  if (assign(serviceRunning_, value, &TidewellAppModel::serviceRunningChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setServiceResponsive(bool value) {
  const HealthView before = healthView();
  if (assign(serviceResponsive_, value, &TidewellAppModel::serviceResponsiveChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setServiceBinariesInstalled(bool value) {
  const HealthView before = healthView();
  if (assign(serviceBinariesInstalled_, value, &TidewellAppModel::serviceBinariesInstalledChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setRuntimePublishFailed(bool value) {
  const HealthView before = healthView();
  if (assign(runtimePublishFailed_, value, &TidewellAppModel::runtimePublishFailedChanged)) healthInputsChanged(before);
}
void TidewellAppModel::setServiceActionRunning(bool value) {
  assign(serviceActionRunning_, value, &TidewellAppModel::serviceActionRunningChanged);
}
void TidewellAppModel::setServiceStatusMessage(const QString& value) {
  assign(serviceStatusMessage_, value, &TidewellAppModel::serviceStatusMessageChanged);
}
void TidewellAppModel::setServiceStatusPending(bool value) {
  assign(serviceStatusPending_, value, &TidewellAppModel::serviceStatusPendingChanged);
}
void TidewellAppModel::setPassThruTestRunning(bool value) {
  assign(passThruTestRunning_, value, &TidewellAppModel::passThruTestRunningChanged);
}
void TidewellAppModel::setMonitorRunning(bool value) {
  assign(monitorRunning_, value, &TidewellAppModel::monitorRunningChanged);
}
void TidewellAppModel::setMonitorStatusMessage(const QString& value) {
  assign(monitorStatusMessage_, value, &TidewellAppModel::monitorStatusMessageChanged);
}
void TidewellAppModel::setHardwareSourceRunning(bool value) {
  assign(hardwareSourceRunning_, value, &TidewellAppModel::hardwareSourceRunningChanged);
}
void TidewellAppModel::setHardwareSourceStatusMessage(const QString& value) {
  assign(hardwareSourceStatusMessage_, value,
         &TidewellAppModel::hardwareSourceStatusMessageChanged);
}
void TidewellAppModel::setProcessTapRunning(bool value) {
  assign(processTapRunning_, value, &TidewellAppModel::processTapRunningChanged);
}
void TidewellAppModel::setProcessTapStatusMessage(const QString& value) {
  assign(processTapStatusMessage_, value, &TidewellAppModel::processTapStatusMessageChanged);
}
void TidewellAppModel::setAudioDeviceInventory(const AudioDeviceInventory& value) {
  if (assign(audioDeviceInventory_, value, &TidewellAppModel::audioDeviceInventoryChanged)) {
    inventoryInputsChanged();
  }
}
void TidewellAppModel::setApplicationSourceCandidates(
    const std::vector<ApplicationSourceCandidate>& value) {
  assign(applicationSourceCandidates_, value,
         &TidewellAppModel::applicationSourceCandidatesChanged);
}
void TidewellAppModel::setSelectedMonitorOutputUID(const QString& value) {
  assign(selectedMonitorOutputUID_, value, &TidewellAppModel::selectedMonitorOutputUIDChanged);
}
void TidewellAppModel::setSelectedHardwareInputUID(const QString& value) {
  assign(selectedHardwareInputUID_, value, &TidewellAppModel::selectedHardwareInputUIDChanged);
}
void TidewellAppModel::setSelectedApplicationPID(const QString& value) {
  assign(selectedApplicationPID_, value, &TidewellAppModel::selectedApplicationPIDChanged);
}
void TidewellAppModel::setSelectedDeviceID(const std::optional<std::string>& value) {
  if (assign(selectedDeviceID_, value, &TidewellAppModel::selectedDeviceIDChanged)) {
    selectionInputsChanged();
  }
}
void TidewellAppModel::setHeartbeatStaleSince(const std::optional<QDateTime>& value) {
  assign(heartbeatStaleSince_, value, &TidewellAppModel::heartbeatStaleSinceChanged);
}
void TidewellAppModel::setHealthTimer(QTimer* value) {
  assign(healthTimer_, value, &TidewellAppModel::healthTimerChanged);
}
void TidewellAppModel::setAudioDeviceRefreshScheduled(bool value) {
  assign(audioDeviceRefreshScheduled_, value,
         &TidewellAppModel::audioDeviceRefreshScheduledChanged);
}
void TidewellAppModel::setIsUninstalling(bool value) {
  assign(isUninstalling_, value, &TidewellAppModel::isUninstallingChanged);
}
void TidewellAppModel::setLiveSnapshot(const std::optional<ConfigSnapshot>& value) {
  assign(liveSnapshot_, value, &TidewellAppModel::liveSnapshotChanged);
}
void TidewellAppModel::setLiveCommitStatus(const std::optional<QString>& value) {
  assign(liveCommitStatus_, value, &TidewellAppModel::liveCommitStatusChanged);
}
void TidewellAppModel::setTerminationFlushInstalled(bool value) {
  assign(terminationFlushInstalled_, value, &TidewellAppModel::terminationFlushInstalledChanged);
}

void TidewellAppModel::selectionInputsChanged() {
  auto device = selectedDevice();
  if (device != lastSelectedDevice_) {
    lastSelectedDevice_ = std::move(device);
    emit selectedDeviceChanged();
  }
}

// ---- selection -------------------------------------------------------------------------------

std::optional<DeviceConfig> TidewellAppModel::selectedDevice() const {
  if (!selectedDeviceID_) {
    if (snapshot_.devices.empty()) return std::nullopt;
    return snapshot_.devices.front();
  }
  for (const auto& device : snapshot_.devices) {
    if (device.id == *selectedDeviceID_) return device;
  }
  return std::nullopt;
}

void TidewellAppModel::selectSavedDevice(const std::optional<std::string>& wanted) {
  // A stale choice (a file's selection of a removed device, a device another writer removed)
  // would show the empty state beside a sidebar full of devices: the first one is shown.
  const auto& devices = snapshot_.devices;
  const bool saved =
      wanted && std::any_of(devices.begin(), devices.end(),
                            [&](const DeviceConfig& device) { return device.id == *wanted; });
  if (saved) return setSelectedDeviceID(wanted);
  setSelectedDeviceID(devices.empty() ? std::nullopt : std::optional(devices.front().id));
}

// ---- reload ----------------------------------------------------------------------------------

void TidewellAppModel::reload() {
  if (isUninstalling_) return;
  discardLiveEdits();

  const ConfigStore& configStore = store();
  ConfigSnapshot loaded;
  try {
    loaded = configStore.loadOrCreateEmpty();
  } catch (const std::exception& error) {
    // The file is left exactly as it is; the first save moves it aside rather than over it.
    std::error_code ignored;
    unreadableConfigurationPending_ = std::filesystem::exists(configStore.url, ignored);
    loadFailed(error.what());
    return;
  }
  const bool hadDevices = !loaded.devices.empty();
  if (!hadDevices) {
    loaded.devices.push_back(DeviceConfig::makeDefault(
        std::string(TidewellCore::passThruDeviceName), TidewellCore::engineSampleRate));
    try {
      configStore.save(loaded);
    } catch (const std::exception& error) {
      unreadableConfigurationPending_ = false;
      loadFailed(error.what());
      return;
    }
  }
  unreadableConfigurationPending_ = false;
  snapshotIsCommitted_ = true;

  setSnapshot(loaded);
  setValidation(validator_.validate(snapshot_));
  selectSavedDevice(snapshot_.ui.selectedDeviceID);
  refreshDriverAndInventory();

  if (publish(snapshot_)) {
    setStatusMessage(hadDevices ? QStringLiteral("Loaded")
                                : QStringLiteral("Created default device"));
  } else {
    setStatusMessage(QStringLiteral("Loaded config, but runtime control update failed"));
  }
}

void TidewellAppModel::loadFailed(const std::string& description) {
  snapshotIsCommitted_ = false;
  setSnapshot(ConfigSnapshot::empty());
  ValidationResult failure;
  failure.errors.push_back(
      ValidationIssue{"config.loadFailed", description, store().url.string()});
  setValidation(failure);
  setSelectedDeviceID(std::nullopt);
  refreshDriverAndInventory();
  // Nothing is published: the runtime keeps what it carried before.
  setStatusMessage(QStringLiteral("Load failed"));
}

void TidewellAppModel::refreshDriverAndInventory() {
  DeviceRegistry& registry = *environment_.registry;
  setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
  environment_.serviceController->refreshServiceStatus(*this);
  // A read started by a device notification before this one must not overwrite it.
  ++inventoryReadGeneration_;
  setAudioDeviceInventory(registry.deviceInventory());
  refreshApplicationSourceCandidates();
}

// ---- device creation, developer mode, uninstall ----------------------------------------------

void TidewellAppModel::createDevice() {
  ConfigSnapshot edited = workingCopy();
  // The runtime region carries 16 devices; a 17th would never appear to any application.
  if (edited.devices.size() >= maximumDeviceCount) {
    setStatusMessage(QStringLiteral("At most 16 devices are supported"));
    return;
  }
  const std::size_t count = snapshot_.devices.size();
  std::string name = std::string(Branding::productName) + " Device";
  if (count > 0) name += " " + std::to_string(count + 1);
  DeviceConfig device = DeviceConfig::makeDefault(name, TidewellCore::engineSampleRate);
  edited.devices.push_back(device);
  edited.ui.selectedDeviceID = device.id;
  // The selection moves only once the device exists in the saved configuration.
  if (saveEditedSnapshot(edited, QStringLiteral("Created ") + text(name))) {
    setSelectedDeviceID(device.id);
  }
}

void TidewellAppModel::setDeveloperMode(bool enabled) {
  assign(developerMode_, enabled, &TidewellAppModel::developerModeChanged);
  storePreference(PreferenceKeys::developerMode, enabled);
}

void TidewellAppModel::rememberMonitorOutput(const QString& uid) {
  setSelectedMonitorOutputUID(uid);
  storePreference(PreferenceKeys::monitorOutputUID, uid);
}

void TidewellAppModel::rememberHardwareInput(const QString& uid) {
  setSelectedHardwareInputUID(uid);
  storePreference(PreferenceKeys::hardwareInputUID, uid);
}

void TidewellAppModel::rememberApplication(const QString& pid) {
  setSelectedApplicationPID(pid);
  storePreference(PreferenceKeys::applicationPID, pid);
}

void TidewellAppModel::storePreference(const char* key, const QString& value) {
  if (!isUninstalling_) environment_.preferences->setString(key, value);
}

void TidewellAppModel::storePreference(const char* key, bool value) {
  if (!isUninstalling_) environment_.preferences->setBoolean(key, value);
}

void TidewellAppModel::prepareForUninstall() {
  setIsUninstalling(true);
  discardLiveEdits();
  for (QProcess* process : {monitorProcess_.data(), hardwareSourceProcess_.data(),
                            processTapProcess_.data(), passThruTestProcess_.data()}) {
    ChildProcess::stop(process);
  }
}

}  // namespace tidewell
