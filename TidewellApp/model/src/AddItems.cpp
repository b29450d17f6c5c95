// Adding monitors and sources to a device: the picks they use, the new item's defaults and its
// default wires, and the names the editor's rows show for them.

#include <algorithm>

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ConfigEditor.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

// Channels to generate wires for: an absurd hand-edited count must not exhaust memory.
std::int64_t generated(std::int64_t channels) {
  return std::clamp<std::int64_t>(channels, 0, ConfigEditor::maximumGeneratedChannels);
}

Wire wire(std::string id, EndpointKind fromKind, const std::string& fromOwner,
          std::int64_t fromChannel, EndpointKind toKind, const std::string& toOwner,
          std::int64_t toChannel) {
  return Wire{std::move(id), {fromKind, fromOwner, fromChannel}, {toKind, toOwner, toChannel}};
}

std::optional<AudioDeviceInfo> pick(const QString& remembered,
                                    const std::vector<AudioDeviceInfo>& listed,
                                    const std::optional<AudioDeviceInfo>& fallback) {
  if (!remembered.isEmpty()) {
    for (const auto& device : listed) {
      if (text(device.uid) == remembered) return device;
    }
  }
  return fallback;
}

const AudioDeviceInfo* findByUID(const std::vector<AudioDeviceInfo>& devices,
                                 const std::string& uid) {
  for (const auto& device : devices) {
    if (device.uid == uid) return &device;
  }
  return nullptr;
}

bool hasSourceOfType(const DeviceConfig& device, SourceType type) {
  return std::any_of(device.sources.begin(), device.sources.end(),
                     [type](const SourceConfig& source) { return source.type == type; });
}

// A stream carries at most 64 channels: a device that reports more is taken by its first 64.
std::int64_t streamChannels(std::int64_t reported) {
  return std::min(reported, TidewellCore::maximumChannelCount);
}

// A new source: enabled, unmuted, at unity gain, no per-channel gains, no metadata.
SourceConfig newSource(std::string id, SourceType type, std::string name, std::int64_t channels) {
  SourceConfig source;
  source.id = std::move(id);
  source.type = type;
  source.name = std::move(name);
  source.channelCount = channels;
  return source;
}

QString pidText(const std::optional<std::int32_t>& pid) { return QString::number(pid.value_or(0)); }

}  // namespace

// ---- picks -----------------------------------------------------------------------------------

std::optional<AudioDeviceInfo> TidewellAppModel::selectedOutputForNewMonitor(
    const std::optional<QString>& picked) const {
  return pick(picked.value_or(selectedMonitorOutputUID_), monitorOutputDevices(),
              defaultMonitorOutput());
}

std::optional<AudioDeviceInfo> TidewellAppModel::selectedInputForNewSource(
    const std::optional<QString>& picked) const {
  return pick(picked.value_or(selectedHardwareInputUID_), hardwareInputDevices(),
              defaultHardwareInput());
}

std::optional<ApplicationSourceCandidate> TidewellAppModel::selectedApplicationCandidate(
    const std::optional<QString>& picked) const {
  const QString wanted = picked.value_or(selectedApplicationPID_);
  if (wanted.isEmpty()) return std::nullopt;
  for (const auto& candidate : applicationSourceCandidates_) {
    if (pidText(candidate.pid) == wanted) return candidate;
  }
  return std::nullopt;
}

void TidewellAppModel::refreshInventoryForPick() {
  // A background read started before this one must not overwrite it.
  ++inventoryReadGeneration_;
  setAudioDeviceInventory(environment_.registry->deviceInventory());
}

// ---- shared steps ----------------------------------------------------------------------------

bool TidewellAppModel::addToDevice(
    const std::string& deviceID, const QString& status,
    const std::function<std::optional<QString>(DeviceConfig&)>& add) {
  ConfigSnapshot edited = workingCopy();
  auto device = std::find_if(edited.devices.begin(), edited.devices.end(),
                             [&](const DeviceConfig& each) { return each.id == deviceID; });
  // Nothing changed is not reported as added, and nothing is saved; a pending live edit
  // commits on its own schedule.
  if (device == edited.devices.end()) {
    setStatusMessage(QStringLiteral("Nothing was added: the device no longer exists"));
    return false;
  }
  if (std::optional<QString> unchanged = add(*device)) {
    setStatusMessage(QStringLiteral("Nothing was added: ") + *unchanged);
    return true;  // the device already has it: the pick is in use
  }
  return saveEditedSnapshot(edited, status);
}

void TidewellAppModel::addStereoSourceWires(const std::string& sourceID, DeviceConfig& device) {
  if (device.channelCount < 1) return;
  device.wires.push_back(wire(newItemID(), EndpointKind::source, sourceID, 1,
                              EndpointKind::deviceOutput, device.id, 1));
  if (device.channelCount == 1) return;
  device.wires.push_back(wire(newItemID(), EndpointKind::source, sourceID, 2,
                              EndpointKind::deviceOutput, device.id, 2));
}

// ---- the adds --------------------------------------------------------------------------------

void TidewellAppModel::addMonitor(const std::string& deviceID,
                                  const std::optional<QString>& picked) {
  refreshInventoryForPick();
  const std::optional<AudioDeviceInfo> output = selectedOutputForNewMonitor(picked);
  if (!output) {
    setStatusMessage(QStringLiteral("No monitor output is available"));
    return;
  }
  const bool inPlace = addToDevice(
      deviceID, QStringLiteral("Added monitor"),
      [&](DeviceConfig& device) -> std::optional<QString> {
        for (const auto& monitor : device.monitors) {
          if (monitor.deviceUID == output->uid) {
            return QStringLiteral("the device already plays to ") + text(output->name);
          }
        }
        MonitorConfig monitor;
        monitor.id = newItemID();
        monitor.name = output->name;
        monitor.channelCount = streamChannels(output->channelCount);
        monitor.deviceUID = output->uid;
        device.monitors.push_back(monitor);
        const auto channels =
            generated(std::min(output->channelCount, device.channelCount));
        for (std::int64_t i = 1; i <= channels; ++i) {
          device.wires.push_back(wire(newItemID(), EndpointKind::deviceOutput, device.id, i,
                                      EndpointKind::monitor, monitor.id, i));
        }
        return std::nullopt;
      });
  // A refused save has said why; the pick is not remembered and no helper follows it.
  if (!inPlace) return;
  rememberMonitorOutput(text(output->uid));
  if (monitorRunning_) environment_.helperLauncher->restartMonitor(*this);
}

void TidewellAppModel::addHardwareInputSource(const std::string& deviceID,
                                              const std::optional<QString>& picked) {
  refreshInventoryForPick();
  const std::optional<AudioDeviceInfo> input = selectedInputForNewSource(picked);
  if (!input) {
    setStatusMessage(QStringLiteral("No hardware input is available"));
    return;
  }
  const bool inPlace = addToDevice(
      deviceID, QStringLiteral("Added hardware input"),
      [&](DeviceConfig& device) -> std::optional<QString> {
        for (const auto& source : device.sources) {
          if (source.type == SourceType::hardwareInput && source.metadata.deviceUID == input->uid) {
            return QStringLiteral("the device already takes ") + text(input->name);
          }
        }
        SourceConfig source =
            newSource(newItemID(), SourceType::hardwareInput, input->name,
                      streamChannels(input->channelCount));
        source.metadata.deviceUID = input->uid;
        device.sources.push_back(source);
        // A mono input feeds every output; a wider one feeds its last channel to the
        // outputs beyond its own count.
        for (std::int64_t i = 1; i <= generated(device.channelCount); ++i) {
          const std::int64_t from = source.channelCount == 1 ? 1 : std::min(i, source.channelCount);
          device.wires.push_back(wire(newItemID(), EndpointKind::source, source.id, from,
                                      EndpointKind::deviceOutput, device.id, i));
        }
        return std::nullopt;
      });
  if (!inPlace) return;
  rememberHardwareInput(text(input->uid));
  if (hardwareSourceRunning_) environment_.helperLauncher->restartHardwareSource(*this);
}

void TidewellAppModel::addPassThruSource(const std::string& deviceID) {
  addToDevice(deviceID, QStringLiteral("Added pass-thru"),
              [&](DeviceConfig& device) -> std::optional<QString> {
                if (hasSourceOfType(device, SourceType::passThru)) {
                  return QStringLiteral("the device already has a pass-thru source");
                }
                SourceConfig source =
                    newSource(newItemID(), SourceType::passThru, "Pass-Thru", device.channelCount);
                device.sources.insert(device.sources.begin(), source);
                for (std::int64_t i = 1; i <= generated(device.channelCount); ++i) {
                  device.wires.push_back(wire(newItemID(), EndpointKind::source, source.id, i,
                                              EndpointKind::deviceOutput, device.id, i));
                }
                return std::nullopt;
              });
}

void TidewellAppModel::addSystemAudioSource(const std::string& deviceID) {
  const bool inPlace = addToDevice(
      deviceID, QStringLiteral("Added system audio"),
      [&](DeviceConfig& device) -> std::optional<QString> {
        if (hasSourceOfType(device, SourceType::system)) {
          return QStringLiteral("the device already has a system audio source");
        }
        SourceConfig source = newSource(newItemID(), SourceType::system, "System Audio", 2);
        device.sources.push_back(source);
        addStereoSourceWires(source.id, device);
        return std::nullopt;
      });
  if (inPlace) useSystemAudioSource();
}

void TidewellAppModel::addApplicationSource(const std::string& deviceID,
                                            const std::optional<QString>& picked) {
  // Reads the candidates afresh and re-points relaunched applications (which may save).
  refreshApplicationSourceCandidates();
  const std::optional<ApplicationSourceCandidate> candidate =
      selectedApplicationCandidate(picked);
  if (!candidate) {
    setStatusMessage(QStringLiteral("Select an application that is playing audio"));
    return;
  }
  const bool inPlace = addToDevice(
      deviceID, QStringLiteral("Added application source"),
      [&](DeviceConfig& device) -> std::optional<QString> {
        auto captured = [&](auto matches) {
          return std::any_of(device.sources.begin(), device.sources.end(),
                             [&](const SourceConfig& source) {
                               return source.type == SourceType::application && matches(source);
                             });
        };
        // The process object first: it stays the same across a change of process id.
        const bool sameObject =
            candidate->processObjectID && captured([&](const SourceConfig& source) {
              return source.metadata.processObjectID == candidate->processObjectID;
            });
        const bool samePid =
            !sameObject && candidate->pid && captured([&](const SourceConfig& source) {
              return source.metadata.pid == candidate->pid;
            });
        if (sameObject || samePid) {
          return QStringLiteral("the device already captures ") + text(candidate->displayName);
        }
        SourceConfig source =
            newSource(newItemID(), SourceType::application, candidate->displayName, 2);
        source.muteWhenCapturing = true;
        source.metadata.bundleIdentifier = candidate->bundleIdentifier;
        source.metadata.pid = candidate->pid;
        source.metadata.processObjectID = candidate->processObjectID;
        device.sources.push_back(source);
        addStereoSourceWires(source.id, device);
        return std::nullopt;
      });
  if (!inPlace) return;
  const QString target = pidText(candidate->pid);
  rememberApplication(target);
  if (processTapRunning_) environment_.helperLauncher->restartProcessTap(*this);
}

void TidewellAppModel::addVirtualDeviceSource(const std::string& deviceID,
                                              const std::string& sourceDeviceID) {
  ConfigSnapshot edited = workingCopy();
  try {
    ConfigEditor::addVirtualDeviceSource(deviceID, sourceDeviceID, edited, newItemID);
  } catch (const ConfigEditError& error) {
    setStatusMessage(QStringLiteral("Could not add nested device: ") + text(error.description()));
    return;
  }
  saveEditedSnapshot(edited, QStringLiteral("Added nested device source"));
}

void TidewellAppModel::useSystemAudioSource() {
  rememberApplication(QString());
  if (processTapRunning_) environment_.helperLauncher->restartProcessTap(*this);
}

// ---- row helpers -----------------------------------------------------------------------------

std::string TidewellAppModel::monitorOutputName(const MonitorConfig& monitor) const {
  const auto outputs = monitorOutputDevices();
  const AudioDeviceInfo* output = findByUID(outputs, monitor.deviceUID);
  return output ? output->name : monitor.name;
}

bool TidewellAppModel::monitorIsAvailable(const MonitorConfig& monitor) const {
  return findByUID(monitorOutputDevices(), monitor.deviceUID) != nullptr;
}

std::string TidewellAppModel::hardwareInputName(const SourceConfig& source) const {
  if (!source.metadata.deviceUID) return source.name;
  const auto inputs = hardwareInputDevices();
  const AudioDeviceInfo* input = findByUID(inputs, *source.metadata.deviceUID);
  return input ? input->name : source.name;
}

bool TidewellAppModel::hardwareInputIsAvailable(const SourceConfig& source) const {
  return source.metadata.deviceUID &&
         findByUID(hardwareInputDevices(), *source.metadata.deviceUID) != nullptr;
}

bool TidewellAppModel::applicationIsAvailable(const SourceConfig& source) const {
  if (!source.metadata.pid) return false;
  return std::any_of(applicationSourceCandidates_.begin(), applicationSourceCandidates_.end(),
                     [&](const ApplicationSourceCandidate& candidate) {
                       return candidate.pid == source.metadata.pid;
                     });
}

std::optional<std::string> TidewellAppModel::channelName(
    const std::vector<AudioDeviceInfo>& devices, const std::optional<std::string>& deviceUID,
    std::int64_t channel) {
  if (!deviceUID) return std::nullopt;
  const AudioDeviceInfo* device = findByUID(devices, *deviceUID);
  if (!device || !device->channelNames || channel < 1) return std::nullopt;
  const auto& names = *device->channelNames;
  if (std::size_t(channel) > names.size() || names[std::size_t(channel - 1)].empty()) {
    return std::nullopt;
  }
  return names[std::size_t(channel - 1)];
}

}  // namespace tidewell
