#include "TidewellCore/ConfigEditor.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "TidewellCore/TextUtilities.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {

ConfigEditError::ConfigEditError(Kind kind, std::string text, WireEndpoint endpoint)
    : kind_(kind), text_(std::move(text)), endpoint_(std::move(endpoint)) {
  switch (kind_) {
    case Kind::deviceNotFound: description_ = "No device exists with ID '" + text_ + "'."; break;
    case Kind::sourceNotFound: description_ = "No source exists with ID '" + text_ + "'."; break;
    case Kind::monitorNotFound: description_ = "No monitor exists with ID '" + text_ + "'."; break;
    case Kind::wireNotFound: description_ = "No wire exists with ID '" + text_ + "'."; break;
    case Kind::invalidBenchmarkInput: description_ = "Invalid benchmark input: " + text_ + "."; break;
    case Kind::invalidWireEndpoint:
      description_ = "Wire endpoint " + std::string(rawValue(endpoint_.kind)) + ":" +
                     endpoint_.ownerID + ":" + std::to_string(endpoint_.channel) +
                     " is not valid for the device.";
      break;
    case Kind::nestedDeviceCycle:
      description_ = "Adding device '" + text_ + "' as a source would create a nested-device cycle.";
      break;
    case Kind::invalidWireDirection:
      description_ = "Wire direction must be source-to-deviceOutput or deviceOutput-to-monitor.";
      break;
  }
}

ConfigEditError ConfigEditError::deviceNotFound(std::string id) {
  return ConfigEditError(Kind::deviceNotFound, std::move(id), {});
}
ConfigEditError ConfigEditError::sourceNotFound(std::string id) {
  return ConfigEditError(Kind::sourceNotFound, std::move(id), {});
}
ConfigEditError ConfigEditError::monitorNotFound(std::string id) {
  return ConfigEditError(Kind::monitorNotFound, std::move(id), {});
}
ConfigEditError ConfigEditError::wireNotFound(std::string id) {
  return ConfigEditError(Kind::wireNotFound, std::move(id), {});
}
ConfigEditError ConfigEditError::invalidBenchmarkInput(std::string reason) {
  return ConfigEditError(Kind::invalidBenchmarkInput, std::move(reason), {});
}
ConfigEditError ConfigEditError::invalidWireEndpoint(WireEndpoint endpoint) {
  return ConfigEditError(Kind::invalidWireEndpoint, {}, std::move(endpoint));
}
ConfigEditError ConfigEditError::nestedDeviceCycle(std::string deviceID) {
  return ConfigEditError(Kind::nestedDeviceCycle, std::move(deviceID), {});
}
ConfigEditError ConfigEditError::invalidWireDirection() {
  return ConfigEditError(Kind::invalidWireDirection, {}, {});
}

namespace ConfigEditor {
namespace {

std::size_t requireDeviceIndex(const std::string& deviceID, const ConfigSnapshot& in) {
  for (std::size_t i = 0; i < in.devices.size(); ++i)
    if (in.devices[i].id == deviceID) return i;
  throw ConfigEditError::deviceNotFound(deviceID);
}

DeviceConfig& requireDevice(const std::string& deviceID, ConfigSnapshot& in) {
  return in.devices[requireDeviceIndex(deviceID, in)];
}

SourceConfig& requireSource(DeviceConfig& device, const std::string& sourceID) {
  for (auto& s : device.sources)
    if (s.id == sourceID) return s;
  throw ConfigEditError::sourceNotFound(sourceID);
}

MonitorConfig& requireMonitor(DeviceConfig& device, const std::string& monitorID) {
  for (auto& m : device.monitors)
    if (m.id == monitorID) return m;
  throw ConfigEditError::monitorNotFound(monitorID);
}

// How many channels an operation may generate for a stored count: none for a count below 1,
// never more than the cap.
std::int64_t generatedChannels(std::int64_t count) {
  return std::clamp<std::int64_t>(count, 0, maximumGeneratedChannels);
}

void rewirePassThruSource(DeviceConfig& device, const IdFactory& idFactory) {
  auto passThru = std::find_if(device.sources.begin(), device.sources.end(),
                               [](const SourceConfig& s) { return s.type == SourceType::passThru; });
  if (passThru == device.sources.end()) return;
  passThru->channelCount = device.channelCount;
  const std::string sourceID = passThru->id;
  std::erase_if(device.wires, [&](const Wire& w) {
    return w.from.kind == EndpointKind::source && w.from.ownerID == sourceID &&
           w.to.kind == EndpointKind::deviceOutput && w.to.ownerID == device.id;
  });
  const std::int64_t count = generatedChannels(device.channelCount);
  for (std::int64_t n = 1; n <= count; ++n)
    device.wires.push_back(Wire{idFactory(), {EndpointKind::source, sourceID, n},
                                {EndpointKind::deviceOutput, device.id, n}});
}

void validateWireDirection(const WireEndpoint& from, const WireEndpoint& to) {
  bool forward = from.kind == EndpointKind::source && to.kind == EndpointKind::deviceOutput;
  bool toMonitor = from.kind == EndpointKind::deviceOutput && to.kind == EndpointKind::monitor;
  if (!forward && !toMonitor) throw ConfigEditError::invalidWireDirection();
}

void validateWireEndpoint(const WireEndpoint& end, const DeviceConfig& device) {
  bool valid = false;
  if (end.channel >= 1) {
    switch (end.kind) {
      case EndpointKind::source: {
        auto it = std::find_if(device.sources.begin(), device.sources.end(),
                               [&](const SourceConfig& s) { return s.id == end.ownerID; });
        valid = it != device.sources.end() && it->channelCount >= end.channel;
        break;
      }
      case EndpointKind::deviceOutput:
        valid = end.ownerID == device.id && device.channelCount >= end.channel;
        break;
      case EndpointKind::monitor: {
        auto it = std::find_if(device.monitors.begin(), device.monitors.end(),
                               [&](const MonitorConfig& m) { return m.id == end.ownerID; });
        valid = it != device.monitors.end() && it->channelCount >= end.channel;
        break;
      }
    }
  }
  if (!valid) throw ConfigEditError::invalidWireEndpoint(end);
}

std::optional<std::string> trimmedOrNothing(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string trimmed = Text::trimmingWhitespaceAndNewlines(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

DeviceConfig prepareBenchmarkDevice(const std::string& inputUID, const std::string& inputName,
                                    std::int64_t inputChannelCount,
                                    const std::optional<std::string>& monitorUID,
                                    const std::optional<std::string>& monitorName,
                                    const std::optional<std::int64_t>& monitorChannelCount,
                                    std::int64_t sourceFirstChannel,
                                    const std::optional<std::string>& inputBackend,
                                    ConfigSnapshot& in) {
  const std::string uid = Text::trimmingWhitespaceAndNewlines(inputUID);
  const std::string name = Text::trimmingWhitespaceAndNewlines(inputName);
  auto reject = [](const char* reason) { throw ConfigEditError::invalidBenchmarkInput(reason); };
  if (uid.empty()) reject("input UID must not be empty");
  if (name.empty()) reject("input name must not be empty");
  if (inputChannelCount < 1) reject("input channel count must be positive");
  if (sourceFirstChannel < 1 || sourceFirstChannel > inputChannelCount)
    reject("source first channel must be within the input channel count");
  const bool withMonitor = monitorUID.has_value();
  std::string outputUID, outputName;
  std::int64_t outputChannels = 0;
  if (withMonitor) {
    outputUID = Text::trimmingWhitespaceAndNewlines(*monitorUID);
    outputName = Text::trimmingWhitespaceAndNewlines(monitorName.value_or(""));
    outputChannels = monitorChannelCount.value_or(0);
    if (outputUID.empty()) reject("monitor UID must not be empty");
    if (outputName.empty()) reject("monitor name must not be empty");
    if (outputChannels < 1) reject("monitor channel count must be positive");
  }

  const std::string deviceID(benchmarkDeviceID);
  const std::string sourceID(benchmarkSourceID);
  const std::string monitorID(benchmarkMonitorID);
  std::erase_if(in.devices, [&](const DeviceConfig& d) { return d.id == deviceID; });

  SourceConfig source{sourceID, SourceType::hardwareInput, name, true, false, 1.0, std::nullopt,
                      inputChannelCount, false, SourceMetadata{}};
  source.metadata.deviceUID = uid;
  source.metadata.inputBackend = trimmedOrNothing(inputBackend);

  std::vector<Wire> wires;
  for (std::int64_t n = 1; n <= 2; ++n) {
    // min(count, first + n - 1) without overflow: first <= count is already known.
    const std::int64_t offset = n - 1;
    const std::int64_t channel =
        sourceFirstChannel <= inputChannelCount - offset ? sourceFirstChannel + offset
                                                         : inputChannelCount;
    wires.push_back(Wire{"tidewell-benchmark-wire-" + std::to_string(n),
                         {EndpointKind::source, sourceID, channel},
                         {EndpointKind::deviceOutput, deviceID, n}});
  }
  std::vector<MonitorConfig> monitors;
  if (withMonitor) {
    monitors.push_back(MonitorConfig{monitorID, outputName, true, false, 1.0, std::nullopt,
                                     outputUID, outputChannels});
    for (std::int64_t n = 1; n <= 2; ++n)
      wires.push_back(Wire{"tidewell-benchmark-monitor-wire-" + std::to_string(n),
                           {EndpointKind::deviceOutput, deviceID, n},
                           {EndpointKind::monitor, monitorID, std::min(outputChannels, n)}});
  }
  DeviceConfig device(deviceID, "Tidewell Benchmark", true, 48000.0, 2, 1.0, std::nullopt,
                      TidewellCore::derivedDeviceUID(deviceID),
                      std::string(TidewellCore::defaultDeviceIcon), {source}, std::move(monitors),
                      std::move(wires));
  in.devices.push_back(device);
  in.ui.selectedDeviceID = deviceID;
  return device;
}

}  // namespace

DeviceConfig selectDevice(const std::string& deviceID, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  in.ui.selectedDeviceID = device.id;
  return device;
}

DeviceConfig renameDevice(const std::string& deviceID, const std::string& name, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  device.name = name;
  return device;
}

DeviceConfig setDeviceEnabled(const std::string& deviceID, bool enabled, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  device.enabled = enabled;
  return device;
}

DeviceConfig setDeviceChannelCount(const std::string& deviceID, std::int64_t channelCount,
                                   ConfigSnapshot& in, const IdFactory& idFactory) {
  DeviceConfig& device = requireDevice(deviceID, in);
  // Work on a copy so that a failing id factory leaves the document untouched.
  DeviceConfig changed = device;
  changed.channelCount = channelCount;
  rewirePassThruSource(changed, idFactory);
  device = std::move(changed);
  return device;
}

DeviceConfig setDeviceVolume(const std::string& deviceID, double volume, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  device.volume = volume;
  return device;
}

DeviceConfig setDeviceIcon(const std::string& deviceID, const std::string& icon, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  device.icon = icon;
  return device;
}

bool wouldCreateNestedDeviceCycle(const std::string& parentID, const std::string& nestedID,
                                  const ConfigSnapshot& in) {
  if (parentID == nestedID) return true;
  std::unordered_map<std::string, std::vector<std::string>> edges;
  for (const auto& device : in.devices)
    for (const auto& source : device.sources)
      if (source.type == SourceType::virtualDevice && source.metadata.sourceDeviceID &&
          !source.metadata.sourceDeviceID->empty())
        edges[device.id].push_back(*source.metadata.sourceDeviceID);
  std::vector<std::string> stack{nestedID};
  std::unordered_set<std::string> visited;
  while (!stack.empty()) {
    std::string id = std::move(stack.back());
    stack.pop_back();
    if (id == parentID) return true;
    if (!visited.insert(id).second) continue;
    auto it = edges.find(id);
    if (it == edges.end()) continue;
    for (const auto& target : it->second) stack.push_back(target);
  }
  return false;
}

SourceConfig addVirtualDeviceSource(const std::string& deviceID, const std::string& sourceDeviceID,
                                    ConfigSnapshot& in, const IdFactory& idFactory) {
  const std::size_t parentIndex = requireDeviceIndex(deviceID, in);
  const std::size_t nestedIndex = requireDeviceIndex(sourceDeviceID, in);
  if (wouldCreateNestedDeviceCycle(deviceID, sourceDeviceID, in))
    throw ConfigEditError::nestedDeviceCycle(sourceDeviceID);

  const DeviceConfig& nested = in.devices[nestedIndex];
  DeviceConfig parent = in.devices[parentIndex];
  SourceConfig source{idFactory(), SourceType::virtualDevice, nested.name, true, false, 1.0,
                      std::nullopt, nested.channelCount, false, SourceMetadata{}};
  source.metadata.sourceDeviceID = sourceDeviceID;
  parent.sources.push_back(source);
  const std::int64_t wireCount =
      std::max<std::int64_t>(1, generatedChannels(std::min(nested.channelCount, parent.channelCount)));
  for (std::int64_t n = 1; n <= wireCount; ++n)
    parent.wires.push_back(Wire{idFactory(), {EndpointKind::source, source.id, n},
                                {EndpointKind::deviceOutput, deviceID, n}});
  in.devices[parentIndex] = std::move(parent);
  return source;
}

SourceConfig setSourceMuteWhenCapturing(const std::string& deviceID, const std::string& sourceID,
                                        bool muteWhenCapturing, ConfigSnapshot& in) {
  SourceConfig& source = requireSource(requireDevice(deviceID, in), sourceID);
  source.muteWhenCapturing = muteWhenCapturing;
  return source;
}

ConfigSnapshot deleteDevice(const std::string& deviceID, ConfigSnapshot& in) {
  requireDeviceIndex(deviceID, in);
  std::erase_if(in.devices, [&](const DeviceConfig& d) { return d.id == deviceID; });
  if (in.ui.selectedDeviceID && *in.ui.selectedDeviceID == deviceID) {
    if (in.devices.empty())
      in.ui.selectedDeviceID.reset();
    else
      in.ui.selectedDeviceID = in.devices.front().id;
  }
  return in;
}

SourceConfig setSourceControls(const std::string& deviceID, const std::string& sourceID,
                               bool enabled, bool muted, double gain, ConfigSnapshot& in) {
  SourceConfig& source = requireSource(requireDevice(deviceID, in), sourceID);
  source.enabled = enabled;
  source.muted = muted;
  source.gain = gain;
  return source;
}

MonitorConfig setMonitorControls(const std::string& deviceID, const std::string& monitorID,
                                 bool enabled, bool muted, double gain, ConfigSnapshot& in) {
  MonitorConfig& monitor = requireMonitor(requireDevice(deviceID, in), monitorID);
  monitor.enabled = enabled;
  monitor.muted = muted;
  monitor.gain = gain;
  return monitor;
}

std::optional<std::vector<double>> updatedChannelGains(const std::optional<std::vector<double>>& gains,
                                                       std::int64_t channelCount,
                                                       std::int64_t channel, double gain) {
  const std::size_t target = static_cast<std::size_t>(generatedChannels(channelCount));
  const std::size_t length = std::max(gains ? gains->size() : 0, target);
  // Decide before building anything, so an out-of-range channel costs no allocation.
  if (channel < 1 || static_cast<std::uint64_t>(channel) > length) return gains;
  std::vector<double> padded = gains.value_or(std::vector<double>{});
  padded.resize(length, 1.0);
  padded[static_cast<std::size_t>(channel - 1)] = gain;
  if (std::all_of(padded.begin(), padded.end(), [](double g) { return g == 1.0; }))
    return std::nullopt;
  return padded;
}

DeviceConfig setDeviceChannelGain(const std::string& deviceID, std::int64_t channel, double gain,
                                  ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  device.channelGains = updatedChannelGains(device.channelGains, device.channelCount, channel, gain);
  return device;
}

SourceConfig setSourceChannelGain(const std::string& deviceID, const std::string& sourceID,
                                  std::int64_t channel, double gain, ConfigSnapshot& in) {
  SourceConfig& source = requireSource(requireDevice(deviceID, in), sourceID);
  source.channelGains = updatedChannelGains(source.channelGains, source.channelCount, channel, gain);
  return source;
}

MonitorConfig setMonitorChannelGain(const std::string& deviceID, const std::string& monitorID,
                                    std::int64_t channel, double gain, ConfigSnapshot& in) {
  MonitorConfig& monitor = requireMonitor(requireDevice(deviceID, in), monitorID);
  monitor.channelGains =
      updatedChannelGains(monitor.channelGains, monitor.channelCount, channel, gain);
  return monitor;
}

Wire connectWire(const std::string& deviceID, const WireEndpoint& from, const WireEndpoint& to,
                 ConfigSnapshot& in, const IdFactory& idFactory) {
  DeviceConfig& device = requireDevice(deviceID, in);
  validateWireDirection(from, to);
  validateWireEndpoint(from, device);
  validateWireEndpoint(to, device);
  for (const auto& wire : device.wires)
    if (wire.from == from && wire.to == to) return wire;
  Wire wire{idFactory(), from, to};
  device.wires.push_back(wire);
  return wire;
}

DeviceConfig deleteWire(const std::string& deviceID, const std::string& wireID, ConfigSnapshot& in) {
  DeviceConfig& device = requireDevice(deviceID, in);
  if (std::erase_if(device.wires, [&](const Wire& w) { return w.id == wireID; }) == 0)
    throw ConfigEditError::wireNotFound(wireID);
  return device;
}

DeviceConfig prepareHardwareInputBenchmarkDevice(const std::string& inputUID,
                                                 const std::string& inputName,
                                                 std::int64_t inputChannelCount,
                                                 std::int64_t sourceFirstChannel, ConfigSnapshot& in) {
  return prepareBenchmarkDevice(inputUID, inputName, inputChannelCount, std::nullopt, std::nullopt,
                                std::nullopt, sourceFirstChannel, std::nullopt, in);
}

DeviceConfig prepareHardwareInputMonitorBenchmarkDevice(
    const std::string& inputUID, const std::string& inputName, std::int64_t inputChannelCount,
    const std::string& monitorUID, const std::string& monitorName, std::int64_t monitorChannelCount,
    std::int64_t sourceFirstChannel, const std::optional<std::string>& sourceInputBackend,
    ConfigSnapshot& in) {
  return prepareBenchmarkDevice(inputUID, inputName, inputChannelCount, monitorUID, monitorName,
                                monitorChannelCount, sourceFirstChannel, sourceInputBackend, in);
}

}  // namespace ConfigEditor
}  // namespace tidewell
