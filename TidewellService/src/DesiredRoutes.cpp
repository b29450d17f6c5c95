// From the configuration and the audio-device inventory to the list of helper processes that
// should run, each with the environment it starts with.

#include <algorithm>
#include <charconv>
#include <set>

#include "TidewellCore/CoreAudioDeviceRegistry.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/RuntimeRouteMap.h"
#include "TidewellService.h"
#include "TidewellServiceLog.h"

namespace tidewell {
namespace {

template <class Number>
std::string shortestDecimal(Number value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

std::string count(std::int64_t value) { return std::to_string(value); }

const DeviceConfig* firstDevice(const std::vector<DeviceConfig>& devices, const std::string& id) {
  for (const auto& device : devices) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

}  // namespace

namespace HelperValueFormat {

std::string gain(double value) { return shortestDecimal(value); }
std::string gain(float value) { return shortestDecimal(value); }
std::string flag(bool value) { return value ? "1" : "0"; }

std::string gains(const std::vector<double>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += gain(values[i]);
  }
  return text;
}

}  // namespace HelperValueFormat

std::vector<DesiredRoute> TidewellService::desiredRoutes(const std::vector<DeviceConfig>& devices) {
  AudioDeviceInventory inventory = platform_->deviceInventory();
  std::set<std::string> inputs;
  std::set<std::string> outputs;
  for (const auto& info : inventory.inputs) inputs.insert(info.uid);
  for (const auto& info : inventory.outputs) outputs.insert(info.uid);

  // The runtime region carries the first 16 devices only; the plug-in never publishes the
  // others, so their helpers could only fail and be restarted forever.
  const size_t carried = std::min(devices.size(), RuntimeControlStoreV3::maximumDeviceCount);
  std::vector<std::string> beyondLimit;
  for (size_t i = carried; i < devices.size(); ++i) beyondLimit.push_back(devices[i].id);
  if (beyondLimit != devicesBeyondLimit_ && !beyondLimit.empty()) {
    std::string names;
    for (size_t i = carried; i < devices.size(); ++i) {
      names += (i > carried ? ", '" : "'") + devices[i].name + "'";
    }
    TidewellServiceLog::write("Skipping " + std::to_string(beyondLimit.size()) +
                              " device(s) beyond the first " +
                              std::to_string(RuntimeControlStoreV3::maximumDeviceCount) + ": " +
                              names);
  }
  devicesBeyondLimit_ = std::move(beyondLimit);

  cycleSkippedThisPass_.clear();
  std::vector<DesiredRoute> routes;
  for (size_t index = 0; index < carried; ++index) {
    const DeviceConfig& device = devices[index];
    if (!device.enabled) continue;
    auto deviceRoutes = desiredRoutes(device, devices, inputs, outputs);
    routes.insert(routes.end(), std::make_move_iterator(deviceRoutes.begin()),
                  std::make_move_iterator(deviceRoutes.end()));
  }
  // A cycle that goes away and comes back is reported again.
  cycleSkippedSources_ = cycleSkippedThisPass_;
  return routes;
}

bool TidewellService::nestedSourceFormsCycle(const DeviceConfig& device,
                                             const SourceConfig& source,
                                             const std::vector<DeviceConfig>& devices) const {
  // Device X feeds device Y when Y has an enabled nested source resolving to X. The route
  // would close a loop when, following such sources from the nested device, D is reached.
  const DeviceConfig* start = source.metadata.sourceDeviceID
                                  ? firstDevice(devices, *source.metadata.sourceDeviceID)
                                  : nullptr;
  if (!start) return false;
  std::vector<const DeviceConfig*> pending{start};
  std::set<const DeviceConfig*> seen{start};
  while (!pending.empty()) {
    const DeviceConfig* current = pending.back();
    pending.pop_back();
    if (current->id == device.id) return true;
    if (!current->enabled) continue;
    for (const auto& nested : current->sources) {
      if (!nested.enabled || nested.type != SourceType::virtualDevice ||
          !nested.metadata.sourceDeviceID) {
        continue;
      }
      const DeviceConfig* next = firstDevice(devices, *nested.metadata.sourceDeviceID);
      if (next && next->enabled && seen.insert(next).second) pending.push_back(next);
    }
  }
  return false;
}

std::optional<std::int32_t> TidewellService::resolveApplicationPID(const SourceConfig& source) {
  return ApplicationProcessResolver::resolvePID(
      source.metadata.pid, source.metadata.bundleIdentifier,
      [this](std::int32_t pid) { return platform_->applicationIsRunning(pid); },
      [this](std::int32_t pid) { return platform_->bundleIdentifierOf(pid); },
      [this](const std::string& bundle) { return platform_->runningPIDs(bundle); });
}

std::vector<DesiredRoute> TidewellService::desiredRoutes(
    const DeviceConfig& device, const std::vector<DeviceConfig>& devices,
    const std::set<std::string>& availableInputUIDs,
    const std::set<std::string>& availableOutputUIDs) {
  std::vector<DesiredRoute> routes;

  for (const auto& monitor : device.monitors) {
    if (!monitor.enabled) continue;
    if (!monitor.deviceUID.empty() && availableOutputUIDs.count(monitor.deviceUID) == 0) continue;
    DesiredRoute route;
    route.key = "monitor:" + device.id + ":" + monitor.id;
    route.executableURL = helperPaths_.monitor;
    route.summary = "monitor '" + monitor.name + "' (" + device.name + ")";
    auto& env = route.environment;
    env["TIDEWELL_MONITOR_INPUT_UID"] = device.uid;
    env["TIDEWELL_MONITOR_ID"] = monitor.id;
    env["TIDEWELL_MONITOR_INPUT_CHANNELS"] = count(device.channelCount);
    env["TIDEWELL_MONITOR_OUTPUT_CHANNELS"] = count(monitor.channelCount);
    env["TIDEWELL_MONITOR_ROUTES"] = RuntimeRouteMap::environmentValue(RuntimeRouteMap::monitorRoutes(
        monitor.id, device, device.channelCount, monitor.channelCount));
    if (!monitor.deviceUID.empty()) env["TIDEWELL_MONITOR_OUTPUT_UID"] = monitor.deviceUID;
    auto& controls = route.controlEnvironment;
    controls["TIDEWELL_MONITOR_GAIN"] = HelperValueFormat::gain(monitor.gain);
    controls["TIDEWELL_MONITOR_MUTED"] = HelperValueFormat::flag(monitor.muted);
    if (monitor.channelGains) {
      controls["TIDEWELL_MONITOR_CHANNEL_GAINS"] = HelperValueFormat::gains(*monitor.channelGains);
    }
    routes.push_back(std::move(route));
  }

  auto sourceRouteText = [&device](const SourceConfig& source) {
    return RuntimeRouteMap::environmentValue(
        RuntimeRouteMap::sourceRoutes(source.id, device, device.channelCount));
  };

  for (const auto& source : device.sources) {
    if (!source.enabled) continue;
    switch (source.type) {
      case SourceType::passThru:
        break;  // the plug-in itself carries what applications play into the device

      case SourceType::application:
      case SourceType::system: {
        bool application = source.type == SourceType::application;
        std::optional<std::int32_t> pid;
        if (application) {
          pid = resolveApplicationPID(source);
          if (pid) {
            if (unavailableApplicationSources_.erase(source.id) > 0) {
              TidewellServiceLog::write("Application source '" + source.name +
                                        "' is running again as PID " + std::to_string(*pid));
            }
          } else {
            if (unavailableApplicationSources_.insert(source.id).second) {
              std::string waitingFor;
              if (source.metadata.bundleIdentifier) {
                waitingFor = *source.metadata.bundleIdentifier;
              } else {
                waitingFor = "PID " + (source.metadata.pid ? std::to_string(*source.metadata.pid)
                                                           : std::string("unknown"));
              }
              TidewellServiceLog::write("Waiting for application source '" + source.name +
                                        "': " + waitingFor + " is not running");
            }
            break;
          }
        }
        DesiredRoute route;
        route.key = (application ? "tap-application:" : "tap-system:") + device.id + ":" + source.id;
        route.executableURL = helperPaths_.processTap;
        route.summary =
            (application ? "application capture '" : "system capture '") + source.name + "'";
        auto& env = route.environment;
        env["TIDEWELL_TAP_OUTPUT_UID"] = device.uid;
        env["TIDEWELL_TAP_SOURCE_ID"] = source.id;
        env["TIDEWELL_TAP_MODE"] = application ? "application" : "system";
        if (application) env["TIDEWELL_TAP_PID"] = std::to_string(*pid);
        env["TIDEWELL_TAP_MUTE_WHEN_CAPTURING"] = HelperValueFormat::flag(source.muteWhenCapturing);
        env["TIDEWELL_TAP_OUTPUT_CHANNELS"] = count(device.channelCount);
        env["TIDEWELL_TAP_ROUTES"] = sourceRouteText(source);
        auto& controls = route.controlEnvironment;
        controls["TIDEWELL_TAP_GAIN"] = HelperValueFormat::gain(source.gain);
        controls["TIDEWELL_TAP_MUTED"] = HelperValueFormat::flag(source.muted);
        if (source.channelGains) {
          controls["TIDEWELL_TAP_CHANNEL_GAINS"] = HelperValueFormat::gains(*source.channelGains);
        }
        routes.push_back(std::move(route));
        break;
      }

      case SourceType::hardwareInput: {
        const auto& uid = source.metadata.deviceUID;
        if (!uid || uid->empty()) {
          TidewellServiceLog::write("Skipping hardware source '" + source.name +
                                    "' without a device UID");
          break;
        }
        if (availableInputUIDs.count(*uid) == 0) break;
        DesiredRoute route;
        route.key = "hardware:" + device.id + ":" + source.id;
        route.executableURL = helperPaths_.hardwareSource;
        route.summary = "hardware input '" + source.name + "' (" + device.name + ")";
        auto& env = route.environment;
        env["TIDEWELL_SOURCE_INPUT_UID"] = *uid;
        env["TIDEWELL_SOURCE_ID"] = source.id;
        env["TIDEWELL_SOURCE_OUTPUT_UID"] = device.uid;
        env["TIDEWELL_SOURCE_OUTPUT_CHANNELS"] = count(device.channelCount);
        env["TIDEWELL_SOURCE_ROUTES"] = sourceRouteText(source);
        if (source.metadata.inputBackend && !source.metadata.inputBackend->empty()) {
          env["TIDEWELL_SOURCE_INPUT_BACKEND"] = *source.metadata.inputBackend;
        }
        auto& controls = route.controlEnvironment;
        controls["TIDEWELL_SOURCE_GAIN"] = HelperValueFormat::gain(source.gain);
        controls["TIDEWELL_SOURCE_MUTED"] = HelperValueFormat::flag(source.muted);
        if (source.channelGains) {
          controls["TIDEWELL_SOURCE_CHANNEL_GAINS"] = HelperValueFormat::gains(*source.channelGains);
        }
        routes.push_back(std::move(route));
        break;
      }

      case SourceType::virtualDevice: {
        const DeviceConfig* nested = source.metadata.sourceDeviceID
                                         ? firstDevice(devices, *source.metadata.sourceDeviceID)
                                         : nullptr;
        if (!nested) {
          TidewellServiceLog::write("Skipping nested device source '" + source.name +
                                    "' without a resolvable device");
          break;
        }
        if (!nested->enabled) {
          TidewellServiceLog::write("Skipping nested device source '" + source.name + "': '" +
                                    nested->name + "' is disabled");
          break;
        }
        // A hand-edited file can nest a device into itself, directly or round a loop; the
        // helpers would then feed the device its own output, growing to full scale.
        if (nestedSourceFormsCycle(device, source, devices)) {
          std::string skipKey = device.id + ":" + source.id;
          cycleSkippedThisPass_.insert(skipKey);
          if (cycleSkippedSources_.insert(skipKey).second) {
            TidewellServiceLog::write("Skipping nested device source '" + source.name +
                                      "': nesting forms a cycle");
          }
          break;
        }
        if (availableInputUIDs.count(nested->uid) == 0) break;
        DesiredRoute route;
        route.key = "nested:" + device.id + ":" + source.id;
        route.executableURL = helperPaths_.hardwareSource;
        route.summary = "nested device '" + nested->name + "' into '" + device.name + "'";
        auto& env = route.environment;
        env["TIDEWELL_SOURCE_INPUT_UID"] = nested->uid;
        env["TIDEWELL_SOURCE_ID"] = source.id;
        env["TIDEWELL_SOURCE_OUTPUT_UID"] = device.uid;
        env["TIDEWELL_SOURCE_OUTPUT_CHANNELS"] = count(device.channelCount);
        env["TIDEWELL_SOURCE_ROUTES"] = sourceRouteText(source);
        auto& controls = route.controlEnvironment;
        controls["TIDEWELL_SOURCE_GAIN"] = HelperValueFormat::gain(source.gain);
        controls["TIDEWELL_SOURCE_MUTED"] = HelperValueFormat::flag(source.muted);
        routes.push_back(std::move(route));
        break;
      }
    }
  }
  return routes;
}

}  // namespace tidewell
