#pragma once
// The configuration document: virtual devices, their sources, monitors and wires, and a little
// user-interface state. Plain value records; copying a record copies its whole subtree.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

// Returns a new identifier each time it is called.
using IdFactory = std::function<std::string()>;

// The 36-character text form of a new random (version 4) UUID, in upper case.
std::string makeUUIDString();

// The default id factory: a fresh random UUID text per call.
IdFactory uuidIdFactory();

enum class Appearance { system, light, dark };
enum class SourceType { passThru, application, system, hardwareInput, virtualDevice };
enum class EndpointKind { source, deviceOutput, monitor };

inline constexpr std::array<Appearance, 3> allAppearances = {Appearance::system, Appearance::light,
                                                             Appearance::dark};
inline constexpr std::array<SourceType, 5> allSourceTypes = {
    SourceType::passThru, SourceType::application, SourceType::system, SourceType::hardwareInput,
    SourceType::virtualDevice};
inline constexpr std::array<EndpointKind, 3> allEndpointKinds = {
    EndpointKind::source, EndpointKind::deviceOutput, EndpointKind::monitor};

// Raw values, as stored in the configuration file.
std::string_view rawValue(Appearance value);
std::string_view rawValue(SourceType value);
std::string_view rawValue(EndpointKind value);
// The case with this raw value (exact, case-sensitive), if any.
std::optional<Appearance> appearanceFromRawValue(std::string_view raw);
std::optional<SourceType> sourceTypeFromRawValue(std::string_view raw);
std::optional<EndpointKind> endpointKindFromRawValue(std::string_view raw);

struct UIState {
  std::optional<std::string> selectedDeviceID;
  Appearance appearance = Appearance::system;
  bool operator==(const UIState&) const = default;
};

// Type-specific details of a source; every field is optional.
struct SourceMetadata {
  std::optional<std::string> bundleIdentifier;   // application
  std::optional<std::int32_t> pid;               // application
  std::optional<std::uint64_t> processObjectID;  // application
  std::optional<std::string> tapUUID;            // application
  std::optional<std::string> deviceUID;          // hardwareInput
  std::optional<std::string> inputBackend;       // hardwareInput
  std::optional<std::string> sourceDeviceID;     // virtualDevice
  bool operator==(const SourceMetadata&) const = default;
};

struct SourceConfig {
  std::string id;
  SourceType type = SourceType::passThru;
  std::string name;
  bool enabled = true;
  bool muted = false;
  double gain = 1.0;
  // Element 0 is channel 1; absent means every channel at 1.0.
  std::optional<std::vector<double>> channelGains;
  std::int64_t channelCount = 0;
  bool muteWhenCapturing = false;
  SourceMetadata metadata;
  bool operator==(const SourceConfig&) const = default;
};

struct MonitorConfig {
  std::string id;
  std::string name;
  bool enabled = true;
  bool muted = false;
  double gain = 1.0;
  std::optional<std::vector<double>> channelGains;
  std::string deviceUID;  // hardware output; may be empty
  std::int64_t channelCount = 0;
  bool operator==(const MonitorConfig&) const = default;
};

struct WireEndpoint {
  EndpointKind kind = EndpointKind::source;
  // The source's id, the id of the device holding the wire, or the monitor's id.
  std::string ownerID;
  std::int64_t channel = 0;  // counted from 1
  bool operator==(const WireEndpoint&) const = default;
};

struct Wire {
  std::string id;
  WireEndpoint from;
  WireEndpoint to;
  bool operator==(const Wire&) const = default;
};

struct DeviceConfig {
  std::string id;
  std::string name;
  bool enabled = true;
  double sampleRate = 48000.0;
  std::int64_t channelCount = 2;
  double volume = 1.0;
  std::optional<std::vector<double>> channelGains;
  std::string uid;
  std::string icon;
  std::vector<SourceConfig> sources;
  std::vector<MonitorConfig> monitors;
  std::vector<Wire> wires;

  DeviceConfig() = default;
  // An absent uid becomes the derived UID of id; everything else is stored as given.
  DeviceConfig(std::string id, std::string name, bool enabled, double sampleRate,
               std::int64_t channelCount, double volume,
               std::optional<std::vector<double>> channelGains, std::optional<std::string> uid,
               std::string icon, std::vector<SourceConfig> sources,
               std::vector<MonitorConfig> monitors, std::vector<Wire> wires);

  // A new enabled 2-channel device with one pass-thru source wired straight through.
  // Calls idFactory exactly four times: device, source, wire 1, wire 2.
  static DeviceConfig makeDefault(std::string name, double sampleRate,
                                  const IdFactory& idFactory = uuidIdFactory());

  bool operator==(const DeviceConfig&) const = default;
};

struct ConfigSnapshot {
  std::int64_t schemaVersion = 2;
  std::vector<DeviceConfig> devices;
  UIState ui;

  // Current schema, no devices, no selection, system appearance.
  static ConfigSnapshot empty();

  bool operator==(const ConfigSnapshot&) const = default;
};

}  // namespace tidewell
