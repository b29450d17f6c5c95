// Deleting monitors, sources and devices, and moving the remembered picks of the
// in-application helpers away from a deleted item.

#include <algorithm>

#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {
namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

bool endsAt(const Wire& wire, EndpointKind kind, const std::string& ownerID) {
  auto names = [&](const WireEndpoint& end) { return end.kind == kind && end.ownerID == ownerID; };
  return names(wire.from) || names(wire.to);
}

// The first device with this id, as a pointer into the snapshot (const or not).
template <class Snapshot>
auto findDevice(Snapshot& snapshot, const std::string& deviceID) -> decltype(&snapshot.devices[0]) {
  for (auto& device : snapshot.devices) {
    if (device.id == deviceID) return &device;
  }
  return nullptr;
}

// The first source of this type of the device, if any.
const SourceConfig* firstSource(const std::optional<DeviceConfig>& device, SourceType type) {
  if (!device) return nullptr;
  for (const auto& source : device->sources) {
    if (source.type == type) return &source;
  }
  return nullptr;
}

}  // namespace

// A target that is already gone is not reported as deleted, and nothing is saved; a pending live
// edit commits on its own schedule, as after an add that changes nothing.
void TidewellAppModel::nothingDeleted(const QString& reason) {
  setStatusMessage(QStringLiteral("Nothing was deleted: ") + reason);
}

void TidewellAppModel::deleteMonitor(const std::string& deviceID, const std::string& monitorID) {
  // Read from the committed configuration: a pending live change does not decide what moves.
  std::optional<std::string> removedOutput;
  if (const DeviceConfig* device = findDevice(snapshot_, deviceID)) {
    for (const auto& monitor : device->monitors) {
      if (monitor.id == monitorID) {
        removedOutput = monitor.deviceUID;
        break;
      }
    }
  }

  ConfigSnapshot edited = workingCopy();
  DeviceConfig* device = findDevice(edited, deviceID);
  if (!device) return nothingDeleted(QStringLiteral("the device no longer exists"));
  if (std::erase_if(device->monitors, [&](const MonitorConfig& each) { return each.id == monitorID; }) == 0) {
    return nothingDeleted(QStringLiteral("the monitor no longer exists"));
  }
  std::erase_if(device->wires,
                [&](const Wire& wire) { return endsAt(wire, EndpointKind::monitor, monitorID); });
  saveEditedSnapshot(edited, QStringLiteral("Deleted monitor"));

  if (!removedOutput || text(*removedOutput) != selectedMonitorOutputUID_) return;
  const std::optional<DeviceConfig> shown = selectedDevice();
  const QString next =
      shown && !shown->monitors.empty() ? text(shown->monitors.front().deviceUID) : QString();
  rememberMonitorOutput(next);
  if (monitorRunning_) environment_.helperLauncher->restartMonitor(*this);
}

void TidewellAppModel::deleteSource(const std::string& deviceID, const std::string& sourceID) {
  std::optional<SourceConfig> removed;
  if (const DeviceConfig* device = findDevice(snapshot_, deviceID)) {
    for (const auto& source : device->sources) {
      if (source.id == sourceID) {
        removed = source;
        break;
      }
    }
  }

  ConfigSnapshot edited = workingCopy();
  DeviceConfig* device = findDevice(edited, deviceID);
  if (!device) return nothingDeleted(QStringLiteral("the device no longer exists"));
  if (std::erase_if(device->sources, [&](const SourceConfig& each) { return each.id == sourceID; }) == 0) {
    return nothingDeleted(QStringLiteral("the source no longer exists"));
  }
  std::erase_if(device->wires,
                [&](const Wire& wire) { return endsAt(wire, EndpointKind::source, sourceID); });
  saveEditedSnapshot(edited, QStringLiteral("Deleted source"));
  if (!removed) return;

  // Each remembered pick moves on its own; the shown device offers the replacement.
  const std::optional<DeviceConfig> shown = selectedDevice();
  const auto& metadata = removed->metadata;
  if (metadata.deviceUID && text(*metadata.deviceUID) == selectedHardwareInputUID_) {
    const SourceConfig* next = firstSource(shown, SourceType::hardwareInput);
    const QString input =
        next && next->metadata.deviceUID ? text(*next->metadata.deviceUID) : QString();
    rememberHardwareInput(input);
    if (hardwareSourceRunning_) environment_.helperLauncher->restartHardwareSource(*this);
  }
  if (metadata.pid && QString::number(*metadata.pid) == selectedApplicationPID_) {
    const SourceConfig* next = firstSource(shown, SourceType::application);
    const QString target =
        next && next->metadata.pid ? QString::number(*next->metadata.pid) : QString();
    rememberApplication(target);
    if (processTapRunning_) environment_.helperLauncher->restartProcessTap(*this);
  }
  // System audio was the capture target: the helper captures it afresh without this source.
  if (removed->type == SourceType::system && selectedApplicationPID_.isEmpty()) {
    useSystemAudioSource();
  }
}

void TidewellAppModel::deleteSelectedDevice() {
  if (!selectedDeviceID_) return;
  const std::string deleted = *selectedDeviceID_;
  ConfigSnapshot edited = workingCopy();
  if (std::erase_if(edited.devices, [&](const DeviceConfig& device) { return device.id == deleted; }) == 0) {
    return nothingDeleted(QStringLiteral("the device no longer exists"));
  }
  std::optional<std::string> next;
  if (!edited.devices.empty()) next = edited.devices.front().id;
  edited.ui.selectedDeviceID = next;
  // The window keeps showing the device until it is really gone.
  if (saveEditedSnapshot(edited, QStringLiteral("Deleted device"))) setSelectedDeviceID(next);
}

}  // namespace tidewell
