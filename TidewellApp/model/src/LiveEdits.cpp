// The road of one edit: a working copy published at once, committed (validated, saved,
// published) after a pause; and the commit path every saving edit goes through.

#include <QCoreApplication>
#include <QTimer>
#include <ctime>

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/Branding.h"
#include "TidewellCore/ConfigMerge.h"

namespace tidewell {
namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

// "20261209T134501Z"
std::string compactUTCTime(Clock::TimePoint time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &parts);
  return buffer;
}

}  // namespace

void TidewellAppModel::updateDevice(const std::string& deviceID, const QString& status, bool live,
                                    const std::function<void(DeviceConfig&)>& mutate) {
  auto apply = [deviceID, mutate](ConfigSnapshot& snapshot) {
    for (auto& device : snapshot.devices) {
      if (device.id == deviceID) {
        mutate(device);
        return;
      }
    }
  };
  if (live) {
    updateSnapshotLive(status, apply);
    return;
  }
  ConfigSnapshot edited = workingCopy();
  apply(edited);
  saveEditedSnapshot(edited, status);
}

void TidewellAppModel::updateSnapshotLive(const QString& status,
                                          const std::function<void(ConfigSnapshot&)>& mutate) {
  // The uninstaller removes the regions; a stray slider must not bring them back.
  if (isUninstalling_) return refuseWhileUninstalling();
  refusalShown_ = false;  // a new edit: its own outcome is shown
  ConfigSnapshot edited = workingCopy();
  mutate(edited);
  setLiveSnapshot(edited);
  publish(edited);
  setLiveCommitStatus(status);
  scheduleLiveCommit();
  installTerminationFlush();
}

void TidewellAppModel::scheduleLiveCommit() {
  liveCommitTimer_->start();
  liveCommitWorkItem_ = true;
  emit liveCommitWorkItemChanged();
}

void TidewellAppModel::cancelLiveCommit() {
  liveCommitTimer_->stop();
  if (!liveCommitWorkItem_) return;
  liveCommitWorkItem_ = false;
  emit liveCommitWorkItemChanged();
}

void TidewellAppModel::installTerminationFlush() {
  if (terminationFlushInstalled_) return;
  setTerminationFlushInstalled(true);
  // Synchronous: once aboutToQuit has been handled the process may end at any moment.
  if (auto* application = QCoreApplication::instance()) {
    connect(application, &QCoreApplication::aboutToQuit, this, &TidewellAppModel::flushLiveEdits,
            Qt::DirectConnection);
  }
}

bool TidewellAppModel::flushLiveEdits() {
  if (!liveCommitStatus_ || !liveSnapshot_) return false;
  const QString status = *liveCommitStatus_;
  setLiveCommitStatus(std::nullopt);
  cancelLiveCommit();
  const ConfigSnapshot edited = *liveSnapshot_;
  return commit(edited, status, CommitOrigin::liveCopy);
}

bool TidewellAppModel::saveEditedSnapshot(const ConfigSnapshot& snapshot, const QString& status) {
  return commit(snapshot, status, CommitOrigin::other);
}

bool TidewellAppModel::commit(const ConfigSnapshot& edited, const QString& status,
                              CommitOrigin origin) {
  if (isUninstalling_) return refuseWhileUninstalling(), false;
  // A live copy that commits after a structural edit was refused keeps that refusal's reason
  // and issues in view: they stay until the next edit, not just for the rest of the pause.
  const bool keepRefusal = origin == CommitOrigin::liveCopy && refusalShown_;
  refusalShown_ = false;
  ValidationResult result = validator_.validate(edited);
  if (!keepRefusal || !result.isValid()) setValidation(result);
  if (!result.isValid()) {
    setStatusMessage(QStringLiteral("Fix validation errors before saving"));
    refuseCommit(origin);
    // A refused live copy is dropped and the controls show the committed values again; the
    // validation follows them, so no error stays beside a value that has been put back.
    if (origin == CommitOrigin::liveCopy) setValidation(validator_.validate(workingCopy()));
    return false;
  }
  std::optional<std::string> movedAside;
  bool restoredDevices = false;
  ConfigSnapshot saved = edited;
  std::optional<ValidationResult> mergedResult;
  try {
    // Another writer (a second copy of the application, a text editor) may have saved since
    // this window loaded or saved: carry the edit over onto its document instead of over it.
    if (std::optional<ConfigSnapshot> current = changedOnDisk()) {
      if (current->devices.empty() && !snapshot_.devices.empty()) {
        // Not a writer's edit: the service recreates a missing file without devices. Merged,
        // it would take away every device the window holds, and the window's copy is the
        // only one left; the edit is saved whole instead.
        restoredDevices = true;
      } else {
        std::optional<ConfigSnapshot> merged = ConfigMerge::applyEdit(snapshot_, edited, *current);
        if (merged) mergedResult = validator_.validate(*merged);
        if (!merged || !mergedResult->isValid()) {
          reloadAfterConflict();
          return false;
        }
        saved = std::move(*merged);
      }
    }
    movedAside = moveUnreadableConfigurationAside();
    store().save(saved);
  } catch (const std::exception& error) {
    ValidationResult failure;
    failure.errors.push_back(ValidationIssue{"config.saveFailed", error.what(), store().url.string()});
    setValidation(failure);
    setStatusMessage(QStringLiteral("Save failed"));
    refuseCommit(origin);
    return false;
  }
  // Only now is a pending live edit done with: it is part of what was saved.
  discardLiveEdits();
  snapshotIsCommitted_ = true;
  setSnapshot(saved);
  // Another writer may have removed the device the window shows.
  if (selectedDeviceID_) selectSavedDevice(selectedDeviceID_);
  if (mergedResult) setValidation(*mergedResult);
  if (publish(snapshot_)) {
    if (keepRefusal) return true;
    QString shown = status;
    if (restoredDevices) {
      shown += QStringLiteral(" (the configuration file had lost every device; the window's "
                              "devices were saved to it again)");
    }
    if (movedAside) {
      shown += QStringLiteral(" (the unreadable configuration was kept as ") + text(*movedAside) +
               QStringLiteral(")");
    }
    setStatusMessage(shown);
  } else {
    setStatusMessage(QStringLiteral("Saved config, but runtime control update failed"));
  }
  return true;
}

void TidewellAppModel::reloadAfterConflict() {
  const QString refused =
      QStringLiteral("Not saved: the configuration changed on disk meanwhile; reloaded it");
  setStatusMessage(refused);
  // The edit's caller is still running: a switch in a row, a port that was dragged. The reload
  // may replace the editor those belong to, so it waits until they have returned to the event
  // loop. Edits refused before then share the one reload.
  if (reloadAfterConflictPending_) return;
  reloadAfterConflictPending_ = true;
  QTimer::singleShot(0, this, [this, refused] {
    reloadAfterConflictPending_ = false;
    if (isUninstalling_) return;
    reload();
    setStatusMessage(refused);
  });
}

void TidewellAppModel::refuseCommit(CommitOrigin origin) {
  // A refused live copy is dropped; any other refused edit leaves a pending live edit, which
  // is valid on its own, to be committed on its own schedule.
  if (origin == CommitOrigin::liveCopy) discardLiveEdits();
  refusalShown_ = liveSnapshot_.has_value();
  // The regions may still carry refused live values; put back what the window shows, so the
  // plug-in and the helpers never play values that neither the file nor the window holds.
  // After a load failure there is nothing committed worth publishing.
  if (snapshotIsCommitted_ || liveSnapshot_) publish(workingCopy());
}

void TidewellAppModel::refuseWhileUninstalling() {
  // Said, not silent: after an uninstall that failed partway the window stays open, and the
  // model stays uninstalling until the application quits.
  setStatusMessage(QStringLiteral("Nothing was saved: ") + text(std::string(Branding::productName)) +
                   QStringLiteral(" is being uninstalled"));
}

void TidewellAppModel::discardLiveEdits() {
  setLiveSnapshot(std::nullopt);
  setLiveCommitStatus(std::nullopt);
  cancelLiveCommit();
}

bool TidewellAppModel::publish(const ConfigSnapshot& snapshot) {
  try {
    environment_.publisher->publish(snapshot);
  } catch (const std::exception&) {
    setRuntimePublishFailed(true);
    return false;
  }
  setRuntimePublishFailed(false);
  return true;
}

std::optional<ConfigSnapshot> TidewellAppModel::changedOnDisk() {
  if (!snapshotIsCommitted_ || unreadableConfigurationPending_) return std::nullopt;
  ConfigSnapshot current;
  try {
    current = store().load();
  } catch (const ConfigStoreError&) {
    return std::nullopt;  // gone: nothing on disk to lose
  } catch (const std::exception&) {
    // Damaged since it was read: kept aside by the save, as an unreadable file at load is.
    unreadableConfigurationPending_ = true;
    return std::nullopt;
  }
  if (current == snapshot_) return std::nullopt;
  return current;
}

std::optional<std::string> TidewellAppModel::moveUnreadableConfigurationAside() {
  if (!unreadableConfigurationPending_) return std::nullopt;
  const ConfigStore& configStore = store();
  if (!configStore.fileManager->fileExists(configStore.url)) {
    unreadableConfigurationPending_ = false;
    return std::nullopt;
  }
  std::string name = configStore.url.filename().string() + ".unreadable-" +
                     compactUTCTime(environment_.clock->now());
  std::filesystem::path target = configStore.url.parent_path() / name;
  for (int attempt = 2; configStore.fileManager->fileExists(target); ++attempt) {
    target = configStore.url.parent_path() / (name + "-" + std::to_string(attempt));
  }
  configStore.fileManager->moveItem(configStore.url, target);
  unreadableConfigurationPending_ = false;
  return target.filename().string();
}

}  // namespace tidewell
