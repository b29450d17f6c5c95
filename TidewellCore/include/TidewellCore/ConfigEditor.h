#pragma once
// Structural edit operations on a configuration document.
//
// Every operation that changes a document takes it by reference, runs all of its checks first,
// then changes it in place and returns a copy of the changed entity. When a check fails it
// throws ConfigEditError and the document is exactly as it was. Value ranges are not checked
// here; that is ConfigValidator's job.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "TidewellCore/ConfigModel.h"

namespace tidewell {

class ConfigEditError : public std::exception {
 public:
  enum class Kind {
    deviceNotFound,
    sourceNotFound,
    monitorNotFound,
    wireNotFound,
    invalidBenchmarkInput,
    invalidWireEndpoint,
    nestedDeviceCycle,
    invalidWireDirection,
  };

  static ConfigEditError deviceNotFound(std::string id);
  static ConfigEditError sourceNotFound(std::string id);
  static ConfigEditError monitorNotFound(std::string id);
  static ConfigEditError wireNotFound(std::string id);
  static ConfigEditError invalidBenchmarkInput(std::string reason);
  static ConfigEditError invalidWireEndpoint(WireEndpoint endpoint);
  static ConfigEditError nestedDeviceCycle(std::string deviceID);
  static ConfigEditError invalidWireDirection();

  Kind kind() const noexcept { return kind_; }
  // The id looked for, the benchmark reason, or the nested device's id; empty otherwise.
  const std::string& text() const noexcept { return text_; }
  // invalidWireEndpoint: the offending end, as given.
  const WireEndpoint& endpoint() const noexcept { return endpoint_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const ConfigEditError& other) const {
    return kind_ == other.kind_ && text_ == other.text_ && endpoint_ == other.endpoint_;
  }

 private:
  ConfigEditError(Kind kind, std::string text, WireEndpoint endpoint);
  Kind kind_;
  std::string text_;
  WireEndpoint endpoint_;
  std::string description_;
};

namespace ConfigEditor {

inline constexpr std::string_view benchmarkDeviceID = "tidewell-benchmark-device";
inline constexpr std::string_view benchmarkSourceID = "tidewell-benchmark-source";
inline constexpr std::string_view benchmarkMonitorID = "tidewell-benchmark-monitor";

// Most channels an operation pads a gain list to or generates wires for. Streams carry at most
// 64 channels, so this only stops an absurd hand-edited count from exhausting memory.
inline constexpr std::int64_t maximumGeneratedChannels = 1024;

DeviceConfig selectDevice(const std::string& deviceID, ConfigSnapshot& in);
DeviceConfig renameDevice(const std::string& deviceID, const std::string& name, ConfigSnapshot& in);
DeviceConfig setDeviceEnabled(const std::string& deviceID, bool enabled, ConfigSnapshot& in);
// Sets the count, then gives the first pass-thru source the same count and rewires it straight
// through (wire ids from idFactory, a fresh UUID each by default).
DeviceConfig setDeviceChannelCount(const std::string& deviceID, std::int64_t channelCount,
                                   ConfigSnapshot& in, const IdFactory& idFactory = uuidIdFactory());
DeviceConfig setDeviceVolume(const std::string& deviceID, double volume, ConfigSnapshot& in);
DeviceConfig setDeviceIcon(const std::string& deviceID, const std::string& icon, ConfigSnapshot& in);

// Feeds device sourceDeviceID into device deviceID as a new virtualDevice source with identity
// wires. Calls idFactory once for the source, then once per wire.
SourceConfig addVirtualDeviceSource(const std::string& deviceID, const std::string& sourceDeviceID,
                                    ConfigSnapshot& in, const IdFactory& idFactory = uuidIdFactory());
// True when nesting nestedID inside parentID would close a cycle of nested devices.
bool wouldCreateNestedDeviceCycle(const std::string& parentID, const std::string& nestedID,
                                  const ConfigSnapshot& in);

SourceConfig setSourceMuteWhenCapturing(const std::string& deviceID, const std::string& sourceID,
                                        bool muteWhenCapturing, ConfigSnapshot& in);
// Removes every device with the id; a selection of it moves to the first remaining device.
ConfigSnapshot deleteDevice(const std::string& deviceID, ConfigSnapshot& in);
SourceConfig setSourceControls(const std::string& deviceID, const std::string& sourceID,
                               bool enabled, bool muted, double gain, ConfigSnapshot& in);
MonitorConfig setMonitorControls(const std::string& deviceID, const std::string& monitorID,
                                 bool enabled, bool muted, double gain, ConfigSnapshot& in);

// The gain list with channel (from 1) set to gain: padded with 1.0 up to channelCount, never
// shortened, absent again when every entry is exactly 1.0, unchanged when channel is out of range.
std::optional<std::vector<double>> updatedChannelGains(const std::optional<std::vector<double>>& gains,
                                                       std::int64_t channelCount,
                                                       std::int64_t channel, double gain);
DeviceConfig setDeviceChannelGain(const std::string& deviceID, std::int64_t channel, double gain,
                                  ConfigSnapshot& in);
SourceConfig setSourceChannelGain(const std::string& deviceID, const std::string& sourceID,
                                  std::int64_t channel, double gain, ConfigSnapshot& in);
MonitorConfig setMonitorChannelGain(const std::string& deviceID, const std::string& monitorID,
                                    std::int64_t channel, double gain, ConfigSnapshot& in);

// Adds a wire from a source channel to a device output channel, or from a device output channel
// to a monitor channel, unless an identical one exists (which is returned instead).
Wire connectWire(const std::string& deviceID, const WireEndpoint& from, const WireEndpoint& to,
                 ConfigSnapshot& in, const IdFactory& idFactory = uuidIdFactory());
DeviceConfig deleteWire(const std::string& deviceID, const std::string& wireID, ConfigSnapshot& in);

// Replaces the benchmark device: a 2-channel device fed by a hardware input, selected, last.
DeviceConfig prepareHardwareInputBenchmarkDevice(const std::string& inputUID,
                                                 const std::string& inputName,
                                                 std::int64_t inputChannelCount,
                                                 std::int64_t sourceFirstChannel, ConfigSnapshot& in);
// The same, playing the device to a hardware output through a monitor.
DeviceConfig prepareHardwareInputMonitorBenchmarkDevice(
    const std::string& inputUID, const std::string& inputName, std::int64_t inputChannelCount,
    const std::string& monitorUID, const std::string& monitorName, std::int64_t monitorChannelCount,
    std::int64_t sourceFirstChannel, const std::optional<std::string>& sourceInputBackend,
    ConfigSnapshot& in);

}  // namespace ConfigEditor
}  // namespace tidewell
