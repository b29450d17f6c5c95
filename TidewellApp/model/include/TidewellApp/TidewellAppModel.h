#pragma once
// The application's one state object: the configuration as loaded and as being edited, what
// the audio server and the service report, and the user's remembered picks. It lives on the
// main thread. Every observed field has a change signal that fires only when a write changes
// its value; several writes of one operation signal one by one, in the order written.

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/HealthIssue.h"
#include "TidewellApp/HelperLaunch.h"
#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/ConfigValidator.h"
#include "TidewellCore/InventoryRecords.h"

namespace tidewell {

class TidewellAppModel : public QObject {
  Q_OBJECT

  Q_PROPERTY(tidewell::ConfigSnapshot snapshot READ snapshot NOTIFY snapshotChanged)
  Q_PROPERTY(tidewell::ValidationResult validation READ validation NOTIFY validationChanged)
  Q_PROPERTY(bool halDriverLoaded READ halDriverLoaded NOTIFY halDriverLoadedChanged)
  Q_PROPERTY(QString statusMessage READ statusMessage WRITE setStatusMessage NOTIFY statusMessageChanged)
  Q_PROPERTY(bool serviceInstalled READ serviceInstalled NOTIFY serviceInstalledChanged)
  Q_PROPERTY(bool serviceRunning READ serviceRunning NOTIFY serviceRunningChanged)
  Q_PROPERTY(bool serviceResponsive READ serviceResponsive NOTIFY serviceResponsiveChanged)
  Q_PROPERTY(bool serviceBinariesInstalled READ serviceBinariesInstalled NOTIFY serviceBinariesInstalledChanged)
  Q_PROPERTY(bool runtimePublishFailed READ runtimePublishFailed NOTIFY runtimePublishFailedChanged)
  Q_PROPERTY(bool serviceActionRunning READ serviceActionRunning NOTIFY serviceActionRunningChanged)
  Q_PROPERTY(QString serviceStatusMessage READ serviceStatusMessage NOTIFY serviceStatusMessageChanged)
  Q_PROPERTY(bool serviceStatusPending READ serviceStatusPending NOTIFY serviceStatusPendingChanged)
  Q_PROPERTY(bool passThruTestRunning READ passThruTestRunning NOTIFY passThruTestRunningChanged)
  Q_PROPERTY(bool monitorRunning READ monitorRunning NOTIFY monitorRunningChanged)
  Q_PROPERTY(QString monitorStatusMessage READ monitorStatusMessage NOTIFY monitorStatusMessageChanged)
  Q_PROPERTY(bool hardwareSourceRunning READ hardwareSourceRunning NOTIFY hardwareSourceRunningChanged)
  Q_PROPERTY(QString hardwareSourceStatusMessage READ hardwareSourceStatusMessage NOTIFY hardwareSourceStatusMessageChanged)
  Q_PROPERTY(bool processTapRunning READ processTapRunning NOTIFY processTapRunningChanged)
  Q_PROPERTY(QString processTapStatusMessage READ processTapStatusMessage NOTIFY processTapStatusMessageChanged)
  Q_PROPERTY(tidewell::AudioDeviceInventory audioDeviceInventory READ audioDeviceInventory NOTIFY audioDeviceInventoryChanged)
  Q_PROPERTY(std::vector<tidewell::ApplicationSourceCandidate> applicationSourceCandidates READ applicationSourceCandidates NOTIFY applicationSourceCandidatesChanged)
  Q_PROPERTY(bool developerMode READ developerMode WRITE setDeveloperMode NOTIFY developerModeChanged)
  Q_PROPERTY(QString selectedMonitorOutputUID READ selectedMonitorOutputUID WRITE setSelectedMonitorOutputUID NOTIFY selectedMonitorOutputUIDChanged)
  Q_PROPERTY(QString selectedHardwareInputUID READ selectedHardwareInputUID WRITE setSelectedHardwareInputUID NOTIFY selectedHardwareInputUIDChanged)
  Q_PROPERTY(QString selectedApplicationPID READ selectedApplicationPID WRITE setSelectedApplicationPID NOTIFY selectedApplicationPIDChanged)
  Q_PROPERTY(std::optional<std::string> selectedDeviceID READ selectedDeviceID WRITE setSelectedDeviceID NOTIFY selectedDeviceIDChanged)
  Q_PROPERTY(std::optional<QDateTime> heartbeatStaleSince READ heartbeatStaleSince NOTIFY heartbeatStaleSinceChanged)
  Q_PROPERTY(QTimer* healthTimer READ healthTimer NOTIFY healthTimerChanged)
  Q_PROPERTY(bool audioDeviceRefreshScheduled READ audioDeviceRefreshScheduled NOTIFY audioDeviceRefreshScheduledChanged)
  Q_PROPERTY(bool isUninstalling READ isUninstalling NOTIFY isUninstallingChanged)
  Q_PROPERTY(std::optional<tidewell::ConfigSnapshot> liveSnapshot READ liveSnapshot NOTIFY liveSnapshotChanged)
  Q_PROPERTY(std::optional<QString> liveCommitStatus READ liveCommitStatus NOTIFY liveCommitStatusChanged)
  Q_PROPERTY(bool liveCommitWorkItem READ liveCommitWorkItem NOTIFY liveCommitWorkItemChanged)
  Q_PROPERTY(bool terminationFlushInstalled READ terminationFlushInstalled NOTIFY terminationFlushInstalledChanged)
  // Computed from the fields above; each signals when an input changes and the result differs.
  Q_PROPERTY(std::optional<tidewell::DeviceConfig> selectedDevice READ selectedDevice NOTIFY selectedDeviceChanged)
  Q_PROPERTY(std::vector<tidewell::AudioDeviceInfo> monitorOutputDevices READ monitorOutputDevices NOTIFY monitorOutputDevicesChanged)
  Q_PROPERTY(std::vector<tidewell::AudioDeviceInfo> hardwareInputDevices READ hardwareInputDevices NOTIFY hardwareInputDevicesChanged)
  Q_PROPERTY(std::optional<tidewell::AudioDeviceInfo> defaultMonitorOutput READ defaultMonitorOutput NOTIFY defaultMonitorOutputChanged)
  Q_PROPERTY(std::optional<tidewell::AudioDeviceInfo> defaultHardwareInput READ defaultHardwareInput NOTIFY defaultHardwareInputChanged)

 public:
  // Most devices the runtime region carries; a configuration never gets more from the model.
  static constexpr std::size_t maximumDeviceCount = 16;
  // Pause after the last live edit before it is committed.
  static constexpr int liveCommitDelayMilliseconds = 300;
  // Folds the bursts of device notifications of one plug or unplug into one inventory read.
  static constexpr int audioDeviceRefreshDelayMilliseconds = 250;

  // Builds the model from the environment: reads the preferences, starts listening for device
  // changes, reloads the configuration and starts the health checks.
  explicit TidewellAppModel(AppEnvironment environment = AppEnvironment::shared(),
                            QObject* parent = nullptr);
  ~TidewellAppModel() override;

  // ---- observed fields -------------------------------------------------------------------
  const ConfigSnapshot& snapshot() const { return snapshot_; }
  const ValidationResult& validation() const { return validation_; }
  bool halDriverLoaded() const { return halDriverLoaded_; }
  const QString& statusMessage() const { return statusMessage_; }
  bool serviceInstalled() const { return serviceInstalled_; }
  bool serviceRunning() const { return serviceRunning_; }
  bool serviceResponsive() const { return serviceResponsive_; }
  bool serviceBinariesInstalled() const { return serviceBinariesInstalled_; }
  bool runtimePublishFailed() const { return runtimePublishFailed_; }
  bool serviceActionRunning() const { return serviceActionRunning_; }
  const QString& serviceStatusMessage() const { return serviceStatusMessage_; }
  // True while launchd has been asked about the service and has not answered yet: the service
  // fields then still show what the last answer said.
  bool serviceStatusPending() const { return serviceStatusPending_; }
  bool passThruTestRunning() const { return passThruTestRunning_; }
  bool monitorRunning() const { return monitorRunning_; }
  const QString& monitorStatusMessage() const { return monitorStatusMessage_; }
  bool hardwareSourceRunning() const { return hardwareSourceRunning_; }
  const QString& hardwareSourceStatusMessage() const { return hardwareSourceStatusMessage_; }
  bool processTapRunning() const { return processTapRunning_; }
  const QString& processTapStatusMessage() const { return processTapStatusMessage_; }
  const AudioDeviceInventory& audioDeviceInventory() const { return audioDeviceInventory_; }
  const std::vector<ApplicationSourceCandidate>& applicationSourceCandidates() const {
    return applicationSourceCandidates_;
  }
  bool developerMode() const { return developerMode_; }
  const QString& selectedMonitorOutputUID() const { return selectedMonitorOutputUID_; }
  const QString& selectedHardwareInputUID() const { return selectedHardwareInputUID_; }
  const QString& selectedApplicationPID() const { return selectedApplicationPID_; }
  const std::optional<std::string>& selectedDeviceID() const { return selectedDeviceID_; }
  const std::optional<QDateTime>& heartbeatStaleSince() const { return heartbeatStaleSince_; }
  QTimer* healthTimer() const { return healthTimer_; }
  bool audioDeviceRefreshScheduled() const { return audioDeviceRefreshScheduled_; }
  bool isUninstalling() const { return isUninstalling_; }
  const std::optional<ConfigSnapshot>& liveSnapshot() const { return liveSnapshot_; }
  const std::optional<QString>& liveCommitStatus() const { return liveCommitStatus_; }
  // True while a live commit is scheduled.
  bool liveCommitWorkItem() const { return liveCommitWorkItem_; }
  bool terminationFlushInstalled() const { return terminationFlushInstalled_; }

  // Writers of the fields other parts of the application set (the status line, the service
  // state, the helpers' state, the remembered picks, the selection).
  void setSnapshot(const ConfigSnapshot& value);
  void setValidation(const ValidationResult& value);
  void setHalDriverLoaded(bool value);
  void setStatusMessage(const QString& value);
  void setServiceInstalled(bool value);
  void setServiceRunning(bool value);
  void setServiceResponsive(bool value);
  void setServiceBinariesInstalled(bool value);
  void setRuntimePublishFailed(bool value);
  void setServiceActionRunning(bool value);
  void setServiceStatusMessage(const QString& value);
  void setServiceStatusPending(bool value);
  void setPassThruTestRunning(bool value);
  void setMonitorRunning(bool value);
  void setMonitorStatusMessage(const QString& value);
  void setHardwareSourceRunning(bool value);
  void setHardwareSourceStatusMessage(const QString& value);
  void setProcessTapRunning(bool value);
  void setProcessTapStatusMessage(const QString& value);
  void setAudioDeviceInventory(const AudioDeviceInventory& value);
  void setApplicationSourceCandidates(const std::vector<ApplicationSourceCandidate>& value);
  void setSelectedMonitorOutputUID(const QString& value);
  void setSelectedHardwareInputUID(const QString& value);
  void setSelectedApplicationPID(const QString& value);
  void setSelectedDeviceID(const std::optional<std::string>& value);
  // The user's pick for the in-application helpers: set, and written to its preference (also
  // when unchanged). Views remember through these, so nothing brings the preferences file back
  // once uninstalling has begun.
  void rememberMonitorOutput(const QString& uid);
  void rememberHardwareInput(const QString& uid);
  void rememberApplication(const QString& pid);
  void setHeartbeatStaleSince(const std::optional<QDateTime>& value);
  void setHealthTimer(QTimer* value);

  // ---- not observed ------------------------------------------------------------------------
  const ConfigStore& store() const { return *environment_.store; }
  const ConfigValidator& validator() const { return validator_; }
  const AppEnvironment& environment() const { return environment_; }
  // The application's own helper processes and the self-test, while they are set.
  QProcess* monitorProcess() const { return monitorProcess_; }
  QProcess* hardwareSourceProcess() const { return hardwareSourceProcess_; }
  QProcess* processTapProcess() const { return processTapProcess_; }
  QProcess* passThruTestProcess() const { return passThruTestProcess_; }
  void setMonitorProcess(QProcess* process) { monitorProcess_ = process; }
  void setHardwareSourceProcess(QProcess* process) { hardwareSourceProcess_ = process; }
  void setProcessTapProcess(QProcess* process) { processTapProcess_ = process; }
  void setPassThruTestProcess(QProcess* process) { passThruTestProcess_ = process; }

  // ---- state and reload --------------------------------------------------------------------
  // Reloads the configuration and everything derived from it. Does nothing while uninstalling.
  void reload();
  // The device the main window shows, from the committed configuration.
  std::optional<DeviceConfig> selectedDevice() const;
  // Adds, selects and saves a new virtual device (refused past maximumDeviceCount).
  void createDevice();
  void setDeveloperMode(bool enabled);
  void prepareForUninstall();

  // ---- device lists (DeviceListening.cpp) --------------------------------------------------
  std::vector<AudioDeviceInfo> monitorOutputDevices() const;
  std::vector<AudioDeviceInfo> hardwareInputDevices() const;
  std::optional<AudioDeviceInfo> defaultMonitorOutput() const;
  std::optional<AudioDeviceInfo> defaultHardwareInput() const;

  // ---- following relaunched applications (RelaunchedApps.cpp) -----------------------------
  // Re-points application sources whose process is gone at the new process of the same
  // application, and saves when any changed.
  void followRelaunchedApplicationSources();
  // Reads the capturable applications afresh, then follows relaunched ones.
  void refreshApplicationSourceCandidates();

  // ---- live edits (LiveEdits.cpp; the binding family is in Bindings.h) ----------------------
  // The configuration being edited: the pending live copy, else the committed one.
  const ConfigSnapshot& workingCopy() const { return liveSnapshot_ ? *liveSnapshot_ : snapshot_; }
  // Applies a mutation of the device with this id to the working copy: live (published now,
  // committed after a pause) or saved at once.
  void updateDevice(const std::string& deviceID, const QString& status, bool live,
                    const std::function<void(DeviceConfig&)>& mutate);
  // Applies a mutation to a copy of the working copy, publishes it and schedules its commit.
  void updateSnapshotLive(const QString& status, const std::function<void(ConfigSnapshot&)>& mutate);
  // Commits a pending live edit now; true when one was pending and is now saved.
  bool flushLiveEdits();
  // Validates, saves and publishes a whole configuration; true when it was saved. A pending
  // live edit is dropped only when the save succeeds.
  bool saveEditedSnapshot(const ConfigSnapshot& snapshot, const QString& status);

  // ---- service installation and health (ServiceInstallation.cpp, ServiceHealth.cpp) --------
  // The work is the environment's ServiceController's; these are the entries the views use.
  // Copies the service and its helpers into place and (re)starts its launch agent.
  void installOrRestartService();
  // Reinstalls once when the installed service came from another build of the application.
  void reinstallServiceIfStale();
  // Unloads the agent and removes its definition and the install marker.
  void uninstallService();
  // Reads the agent definition, the executables, the heartbeat and launchd's view of the job.
  // What launchd says arrives later (serviceStatusPending meanwhile): the window never waits
  // for launchctl.
  void refreshServiceStatus();
  // Runs `then` once no service install or removal runs and no status answer is pending: at
  // once when that is so, else when it becomes so (while `context` lives).
  void whenServiceSettled(QObject* context, std::function<void()> then);
  // One pass of the health check (every 5 s and on activation): the plug-in, the service, and
  // a retry of a failed runtime publish. Skipped while installing or uninstalling.
  void healthTick();
  enum class HealthColor { green, orange };
  // The first problem in priority order; nothing when all is well.
  std::optional<HealthIssue> primaryHealthIssue() const;
  // "Driver Loaded|Missing • Service On|Stalled|Off".
  QString compactHealthSummary() const;
  // Green only when the plug-in is loaded and the service runs and responds.
  HealthColor compactHealthColor() const;
 signals:
  void primaryHealthIssueChanged();
  void compactHealthSummaryChanged();
  void compactHealthColorChanged();
 private:
  struct HealthView {
    std::optional<HealthIssue> issue;
    QString summary;
    HealthColor color;
  };
  HealthView healthView() const { return {primaryHealthIssue(), compactHealthSummary(), compactHealthColor()}; }
  // Signals the computed health values that differ from `before`.
  void healthInputsChanged(const HealthView& before);
 public:
  // ---- end of service installation and health ---------------------------------------------
  // ---- structural edits (AddItems.cpp, DeleteItems.cpp, ChannelCount.cpp) ------------------
  // Each changes the working copy and saves it at once. The adds that pick a hardware device
  // or an application take the menu's pick (an output or input uid, "" for the default one;
  // an application's pid), or the remembered pick when given none. Once the item is in the
  // saved configuration (added, or there already) they remember the pick and restart that
  // kind's running in-application helper; a refused save does neither.
  void addMonitor(const std::string& deviceID,
                  const std::optional<QString>& picked = std::nullopt);
  void addHardwareInputSource(const std::string& deviceID,
                              const std::optional<QString>& picked = std::nullopt);
  void addPassThruSource(const std::string& deviceID);
  void addSystemAudioSource(const std::string& deviceID);
  void addApplicationSource(const std::string& deviceID,
                            const std::optional<QString>& picked = std::nullopt);
  void addVirtualDeviceSource(const std::string& deviceID, const std::string& sourceDeviceID);
  // Makes system audio the capture target of the in-application capture helper.
  void useSystemAudioSource();
  // Removing an item removes every wire that names it at either end.
  void deleteMonitor(const std::string& deviceID, const std::string& monitorID);
  void deleteSource(const std::string& deviceID, const std::string& sourceID);
  void deleteSelectedDevice();
  // Keeps the device's pass-thru source as wide as the device and wired straight through.
  void setChannelCount(const std::string& deviceID, std::int64_t channelCount);
  // What the editor's rows show of a monitor's output, a source's input or application.
  std::string monitorOutputName(const MonitorConfig& monitor) const;
  bool monitorIsAvailable(const MonitorConfig& monitor) const;
  std::string hardwareInputName(const SourceConfig& source) const;
  bool hardwareInputIsAvailable(const SourceConfig& source) const;
  bool applicationIsAvailable(const SourceConfig& source) const;
  // The name of a channel (from 1) of the device with this uid; nothing when it has none.
  static std::optional<std::string> channelName(const std::vector<AudioDeviceInfo>& devices,
                                                const std::optional<std::string>& deviceUID,
                                                std::int64_t channel);
  // Ids of new items; tests install a predictable factory.
  IdFactory newItemID = uuidIdFactory();
  // ---- in-app helpers and the pass-thru self-test (HelperLauncher.cpp, PassThruSelfTest.cpp) --
  // At most one child of each kind. A start while the service runs, or while a child of that
  // kind is set, is handled: the first is refused, the second replaces the old child.
  void startMonitor();
  void stopMonitor();
  void startHardwareSource();
  void stopHardwareSource();
  void startProcessTap();
  void stopProcessTap();
  // Ends the running child of that kind without waiting and starts a new one.
  void restartMonitor();
  void restartHardwareSource();
  void restartProcessTap();
  void restartMonitorIfRunning(const std::optional<std::string>& monitorID);
  void restartHardwareSourceIfRunning(const std::optional<std::string>& sourceID);
  void restartProcessTapIfRunning(const std::optional<std::string>& sourceID);
  void restartRuntimeHelpersAfterRouteChange();
  std::optional<MonitorLaunchTarget> monitorLaunchTarget() const;
  std::optional<HardwareSourceLaunchTarget> hardwareSourceLaunchTarget() const;
  std::optional<ProcessTapLaunchTarget> processTapLaunchTarget() const;
  std::optional<QString> monitorExecutableURL() const;
  std::optional<QString> hardwareSourceExecutableURL() const;
  std::optional<QString> processTapExecutableURL() const;
  std::optional<QString> passThruTestExecutableURL() const;
  void runPassThruSelfTest();
  // A test that has not ended after this long is stopped and reported as failed.
  void setPassThruTestTimeout(std::chrono::milliseconds limit) { passThruTestTimeout_ = limit; }
  // ---- wires (Wires.cpp) -------------------------------------------------------------------
  // Joins two channel ends of the device (source to device output, or device output to
  // monitor) and saves with "Connected wire"; a pair already joined keeps its one wire. A
  // pending live edit is committed first, so the edit starts from what the window shows. A
  // refused edit sets "Could not connect wire" and saves nothing; a refused save shows its own
  // reason. True when the edit was saved; only then are the running helpers restarted.
  bool connectWire(const std::string& deviceID, const WireEndpoint& from, const WireEndpoint& to);
  // Removes a wire of the device and saves with "Deleted wire", or sets "Could not delete wire"
  // when the device or the wire is gone. A pending live edit is committed first. True, and
  // the helpers restarted, only when the edit was saved.
  bool deleteWire(const std::string& deviceID, const std::string& wireID);

 signals:
  void snapshotChanged();
  void validationChanged();
  void halDriverLoadedChanged();
  void statusMessageChanged();
  void serviceInstalledChanged();
  void serviceRunningChanged();
  void serviceResponsiveChanged();
  void serviceBinariesInstalledChanged();
  void runtimePublishFailedChanged();
  void serviceActionRunningChanged();
  void serviceStatusMessageChanged();
  void serviceStatusPendingChanged();
  void passThruTestRunningChanged();
  void monitorRunningChanged();
  void monitorStatusMessageChanged();
  void hardwareSourceRunningChanged();
  void hardwareSourceStatusMessageChanged();
  void processTapRunningChanged();
  void processTapStatusMessageChanged();
  void audioDeviceInventoryChanged();
  void applicationSourceCandidatesChanged();
  void developerModeChanged();
  void selectedMonitorOutputUIDChanged();
  void selectedHardwareInputUIDChanged();
  void selectedApplicationPIDChanged();
  void selectedDeviceIDChanged();
  void heartbeatStaleSinceChanged();
  void healthTimerChanged();
  void audioDeviceRefreshScheduledChanged();
  void isUninstallingChanged();
  void liveSnapshotChanged();
  void liveCommitStatusChanged();
  void liveCommitWorkItemChanged();
  void terminationFlushInstalledChanged();
  void selectedDeviceChanged();
  void monitorOutputDevicesChanged();
  void hardwareInputDevicesChanged();
  void defaultMonitorOutputChanged();
  void defaultHardwareInputChanged();

 private:
  // Stores `value` and emits `changed` only when it differs from the stored value.
  template <class T>
  bool assign(T& field, const T& value, void (TidewellAppModel::*changed)()) {
    if (field == value) return false;
    field = value;
    emit(this->*changed)();
    return true;
  }
  void setAudioDeviceRefreshScheduled(bool value);
  void setIsUninstalling(bool value);
  // Remembers a pick in the preferences; nothing is written once uninstalling has begun, so
  // the removed preferences do not come back.
  void storePreference(const char* key, const QString& value);
  void storePreference(const char* key, bool value);
  void setLiveSnapshot(const std::optional<ConfigSnapshot>& value);
  void setLiveCommitStatus(const std::optional<QString>& value);
  void setTerminationFlushInstalled(bool value);
  // Schedules the commit 0.3 s from now, or cancels it; every scheduling notifies.
  void scheduleLiveCommit();
  void cancelLiveCommit();
  // Re-evaluates the computed values and signals those whose result changed.
  void selectionInputsChanged();
  void inventoryInputsChanged();

  // Selects `wanted` when the committed configuration has that device, else its first
  // device, else none.
  void selectSavedDevice(const std::optional<std::string>& wanted);
  void loadFailed(const std::string& description);
  void refreshDriverAndInventory();
  void discardLiveEdits();
  // Publishes; sets runtimePublishFailed from the outcome and returns whether it worked.
  bool publish(const ConfigSnapshot& snapshot);
  enum class CommitOrigin { liveCopy, other };
  bool commit(const ConfigSnapshot& snapshot, const QString& status, CommitOrigin origin);
  void refuseCommit(CommitOrigin origin);
  // An edit that cannot be carried over onto another writer's file: refused, and the file
  // reloaded once the edit's caller has returned.
  void reloadAfterConflict();
  // The file's document when it differs from the committed one this window last loaded or
  // saved: another writer saved meanwhile. Nothing when it is the same, missing or unreadable
  // (which the save then moves aside).
  std::optional<ConfigSnapshot> changedOnDisk();
  // An edit while uninstalling saves and publishes nothing; the status line says so.
  void refuseWhileUninstalling();
  // Moves an unreadable configuration file aside before it would be overwritten; the name it
  // now has, or nothing when there was nothing to move. Throws the file system's error.
  std::optional<std::string> moveUnreadableConfigurationAside();
  void installTerminationFlush();
  void startDeviceChangeListeners();
  void scheduleAudioDeviceRefresh();
  void audioDeviceRefreshDue();
  // Structural edits: the picks for new items, and the steps shared by the adds.
  std::optional<AudioDeviceInfo> selectedOutputForNewMonitor(
      const std::optional<QString>& picked) const;
  std::optional<AudioDeviceInfo> selectedInputForNewSource(
      const std::optional<QString>& picked) const;
  std::optional<ApplicationSourceCandidate> selectedApplicationCandidate(
      const std::optional<QString>& picked) const;
  void addStereoSourceWires(const std::string& sourceID, DeviceConfig& device);
  void refreshInventoryForPick();
  // True when the device holds the item in the saved configuration: added and saved, or
  // there already (the status says so). False when the device is gone or the save refused.
  bool addToDevice(const std::string& deviceID, const QString& status,
                   const std::function<std::optional<QString>(DeviceConfig&)>& add);
  // Says why a delete removed nothing: "Nothing was deleted: " and the reason.
  void nothingDeleted(const QString& reason);
  // Helper launcher internals (HelperLauncher.cpp).
  QPointer<QProcess>& helperProcess(HelperKind kind);
  bool helperRunning(HelperKind kind) const;
  void setHelperRunning(HelperKind kind, bool value);
  const QString& helperStatus(HelperKind kind) const;
  void setHelperStatus(HelperKind kind, const QString& value);
  void startHelper(HelperKind kind);
  void stopHelper(HelperKind kind);
  void restartHelper(HelperKind kind);
  bool serviceIsRunning() const;
  void passThruTestTimedOut(QProcess* child);
  std::chrono::milliseconds passThruTestTimeout_{60000};

  AppEnvironment environment_;
  ConfigValidator validator_;

  ConfigSnapshot snapshot_ = ConfigSnapshot::empty();
  ValidationResult validation_;
  bool halDriverLoaded_ = false;
  QString statusMessage_;
  bool serviceInstalled_ = false;
  bool serviceRunning_ = false;
  bool serviceResponsive_ = true;
  bool serviceBinariesInstalled_ = true;
  bool runtimePublishFailed_ = false;
  bool serviceActionRunning_ = false;
  QString serviceStatusMessage_ = QStringLiteral("Service not installed");
  bool serviceStatusPending_ = false;
  bool passThruTestRunning_ = false;
  bool monitorRunning_ = false;
  QString monitorStatusMessage_ = QStringLiteral("Monitor stopped");
  bool hardwareSourceRunning_ = false;
  QString hardwareSourceStatusMessage_ = QStringLiteral("Hardware source stopped");
  bool processTapRunning_ = false;
  QString processTapStatusMessage_ = QStringLiteral("Capture stopped");
  AudioDeviceInventory audioDeviceInventory_;
  std::vector<ApplicationSourceCandidate> applicationSourceCandidates_;
  bool developerMode_ = false;
  QString selectedMonitorOutputUID_;
  QString selectedHardwareInputUID_;
  QString selectedApplicationPID_;
  std::optional<std::string> selectedDeviceID_;
  std::optional<QDateTime> heartbeatStaleSince_;
  QTimer* healthTimer_ = nullptr;
  QPointer<QProcess> monitorProcess_;
  QPointer<QProcess> hardwareSourceProcess_;
  QPointer<QProcess> processTapProcess_;
  QPointer<QProcess> passThruTestProcess_;
  // Every child this model started that has not ended yet, also those it has let go of (a
  // replaced helper on its way out): ended, at the latest, when the model goes.
  std::vector<QPointer<QProcess>> children_;
  void adoptChild(QProcess* child);
  bool audioDeviceRefreshScheduled_ = false;
  bool isUninstalling_ = false;
  std::optional<ConfigSnapshot> liveSnapshot_;
  std::optional<QString> liveCommitStatus_;
  QTimer* liveCommitTimer_ = nullptr;
  bool liveCommitWorkItem_ = false;
  bool terminationFlushInstalled_ = false;

  // Last values of the computed properties, to signal only real changes.
  std::optional<DeviceConfig> lastSelectedDevice_;
  std::vector<AudioDeviceInfo> lastMonitorOutputDevices_;
  std::vector<AudioDeviceInfo> lastHardwareInputDevices_;
  std::optional<AudioDeviceInfo> lastDefaultMonitorOutput_;
  std::optional<AudioDeviceInfo> lastDefaultHardwareInput_;

  // The last load failed on a file that exists: it is moved aside before the next save.
  bool unreadableConfigurationPending_ = false;
  // `snapshot` holds a configuration loaded or saved successfully (not the load-failure stand-in).
  bool snapshotIsCommitted_ = false;
  // A structural edit was refused while a live edit stayed pending: the status line and the
  // validation show the refusal until the next edit, also once the live edit has committed.
  bool refusalShown_ = false;
  // A reload after a refused edit is scheduled.
  bool reloadAfterConflictPending_ = false;

  std::unique_ptr<DeviceRegistry::ListenerRegistration> deviceListeners_;
  QTimer* audioDeviceRefreshTimer_ = nullptr;
  // Numbers the inventory reads; only the newest read's result is kept.
  quint64 inventoryReadGeneration_ = 0;
  // Runs the background inventory reads; waited for on destruction, so a read never outlives
  // the model it reports to.
  QThreadPool inventoryReads_;
};

}  // namespace tidewell
