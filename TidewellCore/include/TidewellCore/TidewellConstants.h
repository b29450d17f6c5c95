#pragma once
// Fixed names and numbers shared by the application, the service and the configuration model.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tidewell {

struct OperatingSystemVersion {
  std::int64_t majorVersion = 0;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;
  bool operator==(const OperatingSystemVersion&) const = default;
};

namespace TidewellCore {

// Current schema version of the configuration document.
inline constexpr std::int64_t schemaVersion = 2;
// The one sample rate the whole system runs at, in Hz.
inline constexpr double engineSampleRate = 48000.0;
// Most channels a device, a source or a monitor carries: what one stream and one runtime
// device hold.
inline constexpr std::int64_t maximumChannelCount = 64;
inline constexpr std::string_view defaultDeviceIcon = "waveform.circle";
inline constexpr OperatingSystemVersion minimumSupportedOS{14, 4, 0};
// Name of the first device the application creates.
inline constexpr std::string_view passThruDeviceName = "Tidewell";
// UID of the pass-thru device; deliberately outside the derived-UID namespace below.
inline constexpr std::string_view passThruDeviceUID = "app.tidewell.passthru.main";
inline constexpr std::string_view halBundleID = "app.tidewell.vhal";
inline constexpr std::string_view appBundleID = "app.tidewell.main";
// Every device without an explicit UID is published as this prefix followed by its id.
inline constexpr std::string_view deviceUIDPrefix = "app.tidewell.devices.";

// The UID a device with this id gets when it has none of its own: prefix + id.
std::string derivedDeviceUID(std::string_view deviceID);

// The service's small files, in the product's per-user data folder. Computed afresh on
// every call (they follow HOME and XDG_DATA_HOME); nothing is created on disk.
std::filesystem::path serviceHeartbeatFileURL();
std::filesystem::path serviceInstallMarkerFileURL();
std::filesystem::path serviceLockFileURL();
// The record of the helpers the running service has started.
std::filesystem::path serviceHelpersFileURL();

}  // namespace TidewellCore
}  // namespace tidewell
