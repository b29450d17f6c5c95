#pragma once
// The audio devices and capturable applications as the audio server reports them, and the
// choice of which process an application source should capture. Every query is synchronous,
// keeps no state and never throws: a failed platform call skips the object concerned or gives
// an empty list, 0, false or nothing. Callable from any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TidewellCore/InventoryRecords.h"

namespace tidewell {

// The product's plug-in as the running audio server loaded it: the server instance that holds
// it and the values of the bundle it loaded (none for a value the bundle lacks).
struct LoadedHALPlugIn {
  std::uint64_t serverInstance = 0;  // differs for every start of the server
  std::optional<std::string> shortVersion;
  std::optional<std::string> bundleVersion;
  std::optional<std::string> contentHash;
  bool operator==(const LoadedHALPlugIn&) const = default;
};

namespace CoreAudioDeviceRegistry {

// UID prefix of the earlier product line's devices.
inline constexpr std::string_view legacyDeviceUIDPrefix = "app.zellvane.devices.";

// Devices with input channels and devices with output channels, each list with the default
// device first and then by name in the file browser's order.
AudioDeviceInventory deviceInventory();
// Running ordinary applications that the audio server knows as processes, by name.
std::vector<ApplicationSourceCandidate> applicationSourceCandidates();
// The pass-thru device's UID, or a UID under the current or the earlier device-UID prefix.
bool isTidewellDeviceUID(std::string_view uid);
bool passThruDeviceIsLoaded();
// The audio server has loaded the product's plug-in.
bool halPlugInIsLoaded();
// Nothing when no server answers or it has not loaded the plug-in.
std::optional<LoadedHALPlugIn> loadedHALPlugIn();
// The running server's instance; nothing when no server answers.
std::optional<std::uint64_t> audioServerInstance();
// The folders the running server loaded its plug-ins from, colon-separated; nothing when no
// server answers.
std::optional<std::string> audioServerPlugInSearchPath();
std::vector<std::string> allDeviceUIDs();
bool containsDevice(std::string_view uid);
// The product's own devices, by UID.
std::vector<HALDeviceSummary> tidewellDeviceSummaries();

// The candidate filters (exposed for their tests).
bool isSuppressedApplicationSourceName(std::string_view name);
bool isSuppressedApplicationSourceBundleID(const std::optional<std::string>& bundleID);

}  // namespace CoreAudioDeviceRegistry

// A process that the audio server knows and that is still alive, as the desktop's registry of
// running applications describes it.
struct RunningApplication {
  std::int32_t pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::string localizedName;  // may be empty
  bool isRegular = false;     // an ordinary application, not a background program of ours
  bool operator==(const RunningApplication&) const = default;
};

namespace RunningApplications {
std::optional<RunningApplication> application(std::int32_t pid);
// Process ids of the running applications with this bundle identifier.
std::vector<std::int32_t> pids(const std::string& bundleIdentifier);
}  // namespace RunningApplications

namespace ApplicationProcessResolver {

// The process an application source should capture: the stored process id while it still runs
// the stored application (or any application, when none is stored); otherwise the smallest
// running process id of the stored bundle identifier; nothing when neither exists.
std::optional<std::int32_t> resolvePID(
    std::optional<std::int32_t> storedPID, const std::optional<std::string>& bundleIdentifier,
    const std::function<bool(std::int32_t)>& isRunning,
    const std::function<std::optional<std::string>(std::int32_t)>& bundleIdentifierOf,
    const std::function<std::vector<std::int32_t>(const std::string&)>& runningPIDs);

}  // namespace ApplicationProcessResolver

}  // namespace tidewell
