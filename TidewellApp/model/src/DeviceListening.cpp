// Keeping the audio-device inventory current: device notifications are folded into one read a
// quarter of a second later, run off the main thread; the pickers' filtered lists and defaults.

#include <QMetaObject>
#include <QTimer>

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/CoreAudioDeviceRegistry.h"

namespace tidewell {
namespace {

std::vector<AudioDeviceInfo> withoutOwnDevices(const std::vector<AudioDeviceInfo>& devices) {
  std::vector<AudioDeviceInfo> result;
  for (const auto& device : devices) {
    if (!CoreAudioDeviceRegistry::isTidewellDeviceUID(device.uid)) result.push_back(device);
  }
  return result;
}

std::optional<AudioDeviceInfo> defaultPick(const std::vector<AudioDeviceInfo>& devices) {
  for (const auto& device : devices) {
    if (device.isDefault) return device;
  }
  if (devices.empty()) return std::nullopt;
  return devices.front();
}

}  // namespace

void TidewellAppModel::startDeviceChangeListeners() {
  // Called on the client library's notification thread. The registration is dropped before the
  // model goes, and a queued call to a deleted object is never delivered.
  deviceListeners_ = environment_.registry->addDeviceChangeListener([this] {
    QMetaObject::invokeMethod(this, &TidewellAppModel::scheduleAudioDeviceRefresh,
                              Qt::QueuedConnection);
  });
}

void TidewellAppModel::scheduleAudioDeviceRefresh() {
  if (audioDeviceRefreshScheduled_) return;
  setAudioDeviceRefreshScheduled(true);
  audioDeviceRefreshTimer_->start();
}

void TidewellAppModel::audioDeviceRefreshDue() {
  setAudioDeviceRefreshScheduled(false);
  const quint64 generation = ++inventoryReadGeneration_;
  std::shared_ptr<DeviceRegistry> registry = environment_.registry;
  inventoryReads_.start([this, registry, generation] {
    AudioDeviceInventory inventory = registry->deviceInventory();
    // The destructor waits for this task, so the model still exists here.
    QMetaObject::invokeMethod(
        this,
        [this, generation, inventory = std::move(inventory)] {
          // A read started later (by a later change) has the fresher picture.
          if (generation != inventoryReadGeneration_) return;
          setAudioDeviceInventory(inventory);
        },
        Qt::QueuedConnection);
  });
}

void TidewellAppModel::inventoryInputsChanged() {
  auto outputs = monitorOutputDevices();
  auto inputs = hardwareInputDevices();
  auto defaultOutput = defaultPick(outputs);
  auto defaultInput = defaultPick(inputs);
  if (outputs != lastMonitorOutputDevices_) {
    lastMonitorOutputDevices_ = std::move(outputs);
    emit monitorOutputDevicesChanged();
  }
  if (inputs != lastHardwareInputDevices_) {
    lastHardwareInputDevices_ = std::move(inputs);
    emit hardwareInputDevicesChanged();
  }
  if (defaultOutput != lastDefaultMonitorOutput_) {
    lastDefaultMonitorOutput_ = std::move(defaultOutput);
    emit defaultMonitorOutputChanged();
  }
  if (defaultInput != lastDefaultHardwareInput_) {
    lastDefaultHardwareInput_ = std::move(defaultInput);
    emit defaultHardwareInputChanged();
  }
}

std::vector<AudioDeviceInfo> TidewellAppModel::monitorOutputDevices() const {
  return withoutOwnDevices(audioDeviceInventory_.outputs);
}

std::vector<AudioDeviceInfo> TidewellAppModel::hardwareInputDevices() const {
  return withoutOwnDevices(audioDeviceInventory_.inputs);
}

std::optional<AudioDeviceInfo> TidewellAppModel::defaultMonitorOutput() const {
  return defaultPick(monitorOutputDevices());
}

std::optional<AudioDeviceInfo> TidewellAppModel::defaultHardwareInput() const {
  return defaultPick(hardwareInputDevices());
}

}  // namespace tidewell
