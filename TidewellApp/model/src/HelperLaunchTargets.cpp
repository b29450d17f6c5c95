// What each diagnostic helper plays: its launch target, from the remembered picks, the device
// the window shows and the audio devices and applications present.

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/RuntimeRouteMap.h"

namespace tidewell {
namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }
std::string defaultStereo() { return RuntimeRouteMap::defaultStereoEnvironmentValue(); }

const AudioDeviceInfo* findDevice(const std::vector<AudioDeviceInfo>& devices, const QString& uid) {
  for (const AudioDeviceInfo& device : devices) {
    if (text(device.uid) == uid) return &device;
  }
  return nullptr;
}

}  // namespace

std::optional<MonitorLaunchTarget> TidewellAppModel::monitorLaunchTarget() const {
  const auto device = selectedDevice();
  auto routes = [this](const MonitorConfig& monitor) {
    const auto current = selectedDevice();
    if (!current) return defaultStereo();
    return RuntimeRouteMap::environmentValue(RuntimeRouteMap::monitorRoutes(monitor.id, *current));
  };
  const auto outputs = monitorOutputDevices();
  if (selectedMonitorOutputUID_.isEmpty()) {
    const MonitorConfig* first = nullptr;
    if (device) {
      for (const MonitorConfig& monitor : device->monitors) {
        if (monitor.enabled) {
          first = &monitor;
          break;
        }
      }
    }
    if (!first) {
      return MonitorLaunchTarget{std::nullopt, QStringLiteral("System Default"), std::nullopt,
                                 true, false, 1.0, std::nullopt, defaultStereo()};
    }
    if (!findDevice(outputs, text(first->deviceUID))) return std::nullopt;
    return MonitorLaunchTarget{first->deviceUID, text(first->name), first->id, true, first->muted,
                               first->gain, std::nullopt, routes(*first)};
  }
  const AudioDeviceInfo* output = findDevice(outputs, selectedMonitorOutputUID_);
  if (!output) return std::nullopt;
  if (device) {
    for (const MonitorConfig& monitor : device->monitors) {
      if (monitor.deviceUID != output->uid) continue;
      return MonitorLaunchTarget{output->uid,    text(monitor.name), monitor.id,
                                 monitor.enabled, monitor.muted,     monitor.gain,
                                 monitor.channelGains, routes(monitor)};
    }
  }
  return MonitorLaunchTarget{output->uid, text(output->name), std::nullopt, true, false, 1.0,
                             std::nullopt, defaultStereo()};
}

namespace {

// The route text of a source of the device shown now; default stereo without one.
template <class Model>
std::string sourceRoutes(const Model& model, const SourceConfig& source) {
  const auto current = model.selectedDevice();
  if (!current) return defaultStereo();
  return RuntimeRouteMap::environmentValue(
      RuntimeRouteMap::sourceRoutes(source.id, *current, current->channelCount));
}

}  // namespace

std::optional<HardwareSourceLaunchTarget> TidewellAppModel::hardwareSourceLaunchTarget() const {
  const auto device = selectedDevice();
  const auto inputs = hardwareInputDevices();
  if (selectedHardwareInputUID_.isEmpty()) {
    if (!device) return std::nullopt;
    for (const SourceConfig& source : device->sources) {
      if (source.type != SourceType::hardwareInput || !source.enabled) continue;
      if (!source.metadata.deviceUID || !findDevice(inputs, text(*source.metadata.deviceUID))) {
        return std::nullopt;
      }
      return HardwareSourceLaunchTarget{*source.metadata.deviceUID, text(source.name), source.id,
                                        true, source.muted, source.gain, source.channelGains,
                                        sourceRoutes(*this, source)};
    }
    return std::nullopt;
  }
  const AudioDeviceInfo* input = findDevice(inputs, selectedHardwareInputUID_);
  if (!input) return std::nullopt;
  if (device) {
    for (const SourceConfig& source : device->sources) {
      if (source.type != SourceType::hardwareInput || source.metadata.deviceUID != input->uid) {
        continue;
      }
      return HardwareSourceLaunchTarget{input->uid,    text(source.name), source.id,
                                        source.enabled, source.muted,     source.gain,
                                        source.channelGains, sourceRoutes(*this, source)};
    }
  }
  return HardwareSourceLaunchTarget{input->uid, text(input->name), std::nullopt, true, false, 1.0,
                                    std::nullopt, defaultStereo()};
}

std::optional<ProcessTapLaunchTarget> TidewellAppModel::processTapLaunchTarget() const {
  const auto device = selectedDevice();
  if (selectedApplicationPID_.isEmpty()) {
    if (device) {
      for (const SourceConfig& source : device->sources) {
        if (source.type != SourceType::system) continue;
        return ProcessTapLaunchTarget{QStringLiteral("system"), std::nullopt, text(source.name),
                                      source.id, source.enabled, source.muted,
                                      source.muteWhenCapturing, source.gain, std::nullopt,
                                      sourceRoutes(*this, source)};
      }
    }
    return ProcessTapLaunchTarget{QStringLiteral("system"), std::nullopt,
                                  QStringLiteral("System Audio"), std::nullopt, true, false, false,
                                  1.0, std::nullopt, defaultStereo()};
  }
  const ApplicationSourceCandidate* candidate = nullptr;
  for (const auto& entry : applicationSourceCandidates_) {
    if (entry.pid && QString::number(*entry.pid) == selectedApplicationPID_) {
      candidate = &entry;
      break;
    }
  }
  const std::optional<std::int32_t> pid =
      candidate ? candidate->pid : HelperLaunch::parseInt32(selectedApplicationPID_);
  // A stored text such as "0" or "-5" names no process: the tap would be told to capture pid 0.
  if (!pid || *pid < 1) return std::nullopt;
  if (device) {
    for (const SourceConfig& source : device->sources) {
      if (source.type != SourceType::application || source.metadata.pid != pid) continue;
      return ProcessTapLaunchTarget{QStringLiteral("application"), pid, text(source.name),
                                    source.id, source.enabled, source.muted,
                                    source.muteWhenCapturing, source.gain, source.channelGains,
                                    sourceRoutes(*this, source)};
    }
  }
  const QString name = candidate ? text(candidate->displayName)
                                 : QStringLiteral("PID ") + QString::number(*pid);
  return ProcessTapLaunchTarget{QStringLiteral("application"), pid, name, std::nullopt, true,
                                false, false, 1.0, std::nullopt, defaultStereo()};
}

}  // namespace tidewell
