#include "TidewellCore/ConfigValidator.h"

#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "TidewellCore/TextUtilities.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

class ValidationBuilder {
 public:
  void error(std::string code, std::string message, std::string path) {
    result.errors.push_back({std::move(code), std::move(message), std::move(path)});
  }
  void warning(std::string code, std::string message, std::string path) {
    result.warnings.push_back({std::move(code), std::move(message), std::move(path)});
  }
  ValidationResult result;
};

std::string indexed(const std::string& base, const char* list, std::size_t index) {
  return base + list + "[" + std::to_string(index) + "]";
}

bool isValidGain(double value) { return std::isfinite(value) && value >= 0.0 && value <= 2.0; }

std::string duplicateMessage(const std::string& id) { return "Duplicate ID '" + id + "' found."; }

// One issue per repeat of a non-empty id, in list order.
template <class Item>
void reportDuplicateIDs(const std::vector<Item>& items, const char* code, const std::string& path,
                        ValidationBuilder& builder) {
  std::unordered_set<std::string> seen;
  for (const Item& item : items) {
    if (item.id.empty()) continue;
    if (!seen.insert(item.id).second) builder.error(code, duplicateMessage(item.id), path);
  }
}

void validateChannelGains(const std::optional<std::vector<double>>& gains, std::int64_t count,
                          const std::string& owner, const std::string& prefix,
                          ValidationBuilder& builder) {
  if (!gains) return;
  // Compare in unsigned space only when the count is positive; a negative count is exceeded by
  // any non-empty list.
  if (count < 0 ? !gains->empty() : gains->size() > static_cast<std::uint64_t>(count))
    builder.error(prefix + ".tooManyChannelGains",
                  "Channel gain count must not exceed the channel count.", owner + ".channelGains");
  for (std::size_t k = 0; k < gains->size(); ++k) {
    if (!isValidGain((*gains)[k]))
      builder.error(prefix + ".invalidChannelGain",
                    "Channel gain must be finite and between 0.0 and 2.0.",
                    indexed(owner, ".channelGains", k));
  }
}

struct DeviceTables {
  std::unordered_map<std::string, const SourceConfig*> sources;
  std::unordered_map<std::string, const MonitorConfig*> monitors;
};

void validateSource(const SourceConfig& source, const std::string& S, const DeviceConfig& device,
                    ValidationBuilder& b) {
  if (source.id.empty()) b.error("source.emptyID", "Source ID must not be empty.", S + ".id");
  if (Text::isBlank(source.name))
    b.error("source.emptyName", "Source name must not be empty.", S + ".name");
  if (source.channelCount < 1)
    b.error("source.invalidChannelCount", "Source channel count must be positive.",
            S + ".channelCount");
  else if (source.channelCount > TidewellCore::maximumChannelCount)
    b.error("source.invalidChannelCount", "Source channel count must not exceed 64.",
            S + ".channelCount");
  if (source.type == SourceType::passThru && source.channelCount != device.channelCount)
    b.warning("source.passThruChannelMismatch",
              "Pass-Thru source channel count should match the virtual device channel count.",
              S + ".channelCount");
  if (!isValidGain(source.gain))
    b.error("source.invalidGain", "Gain must be finite and between 0.0 and 2.0.", S + ".gain");
  validateChannelGains(source.channelGains, source.channelCount, S, "source", b);
  if (source.muteWhenCapturing && source.type != SourceType::application &&
      source.type != SourceType::system)
    b.warning("source.muteWhenCapturingUnsupported",
              "Mute-when-capturing only applies to application and system audio sources.",
              S + ".muteWhenCapturing");
  const SourceMetadata& m = source.metadata;
  switch (source.type) {
    case SourceType::virtualDevice:
      if (!m.sourceDeviceID || m.sourceDeviceID->empty())
        b.warning("source.virtualDeviceMissingDevice", "Nested device source has no source device ID.",
                  S + ".metadata.sourceDeviceID");
      break;
    case SourceType::hardwareInput:
      if (!m.deviceUID || m.deviceUID->empty())
        b.warning("source.hardwareInputMissingDevice",
                  "Hardware input source has no Core Audio device UID.", S + ".metadata.deviceUID");
      break;
    case SourceType::application:
      if (!m.bundleIdentifier && !m.pid && !m.processObjectID)
        b.warning("source.applicationMissingIdentity",
                  "Application source has no bundle identifier, PID, or process object ID.",
                  S + ".metadata");
      break;
    case SourceType::passThru:
    case SourceType::system:
      break;
  }
}

void validateMonitor(const MonitorConfig& monitor, const std::string& M, ValidationBuilder& b) {
  if (monitor.id.empty()) b.error("monitor.emptyID", "Monitor ID must not be empty.", M + ".id");
  if (Text::isBlank(monitor.name))
    b.error("monitor.emptyName", "Monitor name must not be empty.", M + ".name");
  if (Text::isBlank(monitor.deviceUID))
    b.warning("monitor.missingDeviceUID", "Monitor has no Core Audio output device UID.",
              M + ".deviceUID");
  if (monitor.channelCount < 1)
    b.error("monitor.invalidChannelCount", "Monitor channel count must be positive.",
            M + ".channelCount");
  else if (monitor.channelCount > TidewellCore::maximumChannelCount)
    b.error("monitor.invalidChannelCount", "Monitor channel count must not exceed 64.",
            M + ".channelCount");
  if (!isValidGain(monitor.gain))
    b.error("monitor.invalidGain", "Gain must be finite and between 0.0 and 2.0.", M + ".gain");
  validateChannelGains(monitor.channelGains, monitor.channelCount, M, "monitor", b);
}

void validateWireEnd(const WireEndpoint& end, const std::string& role, const std::string& E,
                     const DeviceConfig& device, const DeviceTables& tables,
                     ValidationBuilder& b) {
  const std::string prefix = "wire." + role + ".";
  if (end.channel < 1) {
    b.warning(prefix + "invalidChannel", "Wire endpoint channels are one-based and must be positive.",
              E + ".channel");
    return;
  }
  switch (end.kind) {
    case EndpointKind::source: {
      auto it = tables.sources.find(end.ownerID);
      if (it == tables.sources.end())
        b.warning(prefix + "missingSource", "Wire endpoint refers to a missing source.",
                  E + ".ownerID");
      else if (end.channel > it->second->channelCount)
        b.warning(prefix + "sourceChannelOutOfRange",
                  "Wire endpoint channel exceeds the source channel count.", E + ".channel");
      break;
    }
    case EndpointKind::monitor: {
      auto it = tables.monitors.find(end.ownerID);
      if (it == tables.monitors.end())
        b.warning(prefix + "missingMonitor", "Wire endpoint refers to a missing monitor.",
                  E + ".ownerID");
      else if (end.channel > it->second->channelCount)
        b.warning(prefix + "monitorChannelOutOfRange",
                  "Wire endpoint channel exceeds the monitor channel count.", E + ".channel");
      break;
    }
    case EndpointKind::deviceOutput:
      if (end.ownerID != device.id)
        b.warning(prefix + "wrongDeviceOutputOwner",
                  "Device output endpoint must refer to the containing device.", E + ".ownerID");
      if (end.channel > device.channelCount)
        b.warning(prefix + "deviceChannelOutOfRange",
                  "Wire endpoint channel exceeds the device channel count.", E + ".channel");
      break;
  }
}

void validateWire(const Wire& wire, const std::string& W, const DeviceConfig& device,
                  const DeviceTables& tables, ValidationBuilder& b) {
  if (wire.id.empty()) b.error("wire.emptyID", "Wire ID must not be empty.", W + ".id");
  bool forward = wire.from.kind == EndpointKind::source && wire.to.kind == EndpointKind::deviceOutput;
  bool toMonitor =
      wire.from.kind == EndpointKind::deviceOutput && wire.to.kind == EndpointKind::monitor;
  if (!forward && !toMonitor)
    b.warning("wire.invalidDirection",
              "Wire direction must be source-to-deviceOutput or deviceOutput-to-monitor.", W);
  validateWireEnd(wire.from, "from", W + ".from", device, tables, b);
  validateWireEnd(wire.to, "to", W + ".to", device, tables, b);
}

// A UID the runtime region cannot carry unchanged: longer than its text field, or holding a
// NUL that would end it early. Two such UIDs could reach the audio server as one device.
bool uidFitsRuntime(const std::string& uid) {
  return uid.size() <= ConfigValidator::maximumDeviceUIDBytes &&
         uid.find('\0') == std::string::npos;
}

void validateDevice(const DeviceConfig& device, const std::string& D, ValidationBuilder& b) {
  if (device.id.empty()) b.error("device.emptyID", "Device ID must not be empty.", D + ".id");
  if (Text::isBlank(device.name))
    b.error("device.emptyName", "Device name must not be empty.", D + ".name");
  if (Text::isBlank(device.uid))
    b.error("device.emptyUID", "Device UID must not be empty.", D + ".uid");
  if (!uidFitsRuntime(device.uid))
    b.error("device.invalidUID",
            "Device UID must be at most 127 bytes of UTF-8 and must not contain a NUL character.",
            D + ".uid");
  if (device.sampleRate <= 0)
    b.error("device.invalidSampleRate", "Sample rate must be positive.", D + ".sampleRate");
  else if (device.sampleRate != TidewellCore::engineSampleRate)
    b.warning("device.unsupportedSampleRate",
              "The engine runs at 48 kHz; this sample rate is ignored.", D + ".sampleRate");
  if (!isValidGain(device.volume))
    b.error("device.invalidVolume", "Device volume must be finite and between 0.0 and 2.0.",
            D + ".volume");
  validateChannelGains(device.channelGains, device.channelCount, D, "device", b);
  if (device.channelCount % 2 != 0 || device.channelCount < 2 ||
      device.channelCount > TidewellCore::maximumChannelCount)
    b.error("device.invalidChannelCount", "Channel count must be even and between 2 and 64.",
            D + ".channelCount");

  reportDuplicateIDs(device.sources, "source.duplicateID", D + ".sources", b);
  reportDuplicateIDs(device.monitors, "monitor.duplicateID", D + ".monitors", b);
  reportDuplicateIDs(device.wires, "wire.duplicateID", D + ".wires", b);

  // Wire ends are measured against the first item with an id; repeats were reported above.
  DeviceTables tables;
  tables.sources.reserve(device.sources.size());
  tables.monitors.reserve(device.monitors.size());
  for (const auto& s : device.sources) tables.sources.emplace(s.id, &s);
  for (const auto& m : device.monitors) tables.monitors.emplace(m.id, &m);

  for (std::size_t i = 0; i < device.sources.size(); ++i)
    validateSource(device.sources[i], indexed(D, ".sources", i), device, b);
  for (std::size_t i = 0; i < device.monitors.size(); ++i)
    validateMonitor(device.monitors[i], indexed(D, ".monitors", i), b);
  for (std::size_t i = 0; i < device.wires.size(); ++i)
    validateWire(device.wires[i], indexed(D, ".wires", i), device, tables, b);
}

void validateNestedDeviceGraph(const ConfigSnapshot& snapshot, ValidationBuilder& b) {
  std::unordered_set<std::string> ids;
  for (const auto& d : snapshot.devices) ids.insert(d.id);

  std::unordered_map<std::string, std::vector<std::string>> nesting;
  std::vector<std::string> keysInOrder;
  for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
    const DeviceConfig& device = snapshot.devices[i];
    for (const auto& source : device.sources) {
      if (source.type != SourceType::virtualDevice) continue;
      const auto& nested = source.metadata.sourceDeviceID;
      if (!nested || nested->empty()) continue;
      if (ids.count(*nested)) {
        auto [it, inserted] = nesting.try_emplace(device.id);
        if (inserted) keysInOrder.push_back(device.id);
        it->second.push_back(*nested);
      } else {
        b.warning("source.virtualDeviceUnknownDevice",
                  "Nested device source '" + source.name + "' refers to a device that does not exist.",
                  "devices[" + std::to_string(i) + "]");
      }
    }
  }

  enum class Colour { white, grey, black };
  std::unordered_map<std::string, Colour> colour;
  auto colourOf = [&](const std::string& id) {
    auto it = colour.find(id);
    return it == colour.end() ? Colour::white : it->second;
  };
  static const std::vector<std::string> noNeighbours;
  struct Frame {
    std::string id;
    std::size_t childIndex;
  };
  for (const std::string& start : keysInOrder) {
    if (colourOf(start) != Colour::white) continue;
    colour[start] = Colour::grey;
    std::vector<Frame> stack{{start, 0}};
    while (!stack.empty()) {
      Frame& top = stack.back();
      auto it = nesting.find(top.id);
      const auto& neighbours = it == nesting.end() ? noNeighbours : it->second;
      if (top.childIndex >= neighbours.size()) {
        colour[top.id] = Colour::black;
        stack.pop_back();
        continue;
      }
      const std::string& next = neighbours[top.childIndex];
      ++top.childIndex;
      switch (colourOf(next)) {
        case Colour::grey:
          b.error("device.nestedDeviceCycle",
                  "Nested device sources form a cycle involving device '" + next + "'.", "devices");
          break;
        case Colour::black:
          break;
        case Colour::white:
          colour[next] = Colour::grey;
          stack.push_back({next, 0});  // may invalidate `top`; it is not used again this turn
          break;
      }
    }
  }
}

}  // namespace

ValidationResult ConfigValidator::validate(const ConfigSnapshot& snapshot) const {
  ValidationBuilder b;
  if (snapshot.schemaVersion != 1 && snapshot.schemaVersion != 2)
    b.error("schema.unsupported",
            "Unsupported schema version " + std::to_string(snapshot.schemaVersion) + ".",
            "schemaVersion");

  {
    std::unordered_set<std::string> seen;
    for (const auto& d : snapshot.devices)
      if (!d.id.empty() && !seen.insert(d.id).second)
        b.error("device.duplicateID", duplicateMessage(d.id), "devices");
  }
  {
    std::unordered_set<std::string> seen;
    for (const auto& d : snapshot.devices)
      if (!d.uid.empty() && !seen.insert(d.uid).second)
        b.error("device.duplicateUID", duplicateMessage(d.uid), "devices");
  }

  for (std::size_t i = 0; i < snapshot.devices.size(); ++i)
    validateDevice(snapshot.devices[i], "devices[" + std::to_string(i) + "]", b);

  if (const auto& selected = snapshot.ui.selectedDeviceID) {
    bool found = false;
    for (const auto& d : snapshot.devices) found = found || d.id == *selected;
    if (!found)
      b.warning("ui.selectedDeviceMissing",
                "Selected device ID does not refer to a configured device.", "ui.selectedDeviceID");
  }

  validateNestedDeviceGraph(snapshot, b);
  return std::move(b.result);
}

}  // namespace tidewell
