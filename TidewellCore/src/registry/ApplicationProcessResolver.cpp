#include "TidewellCore/CoreAudioDeviceRegistry.h"

namespace tidewell::ApplicationProcessResolver {

std::optional<std::int32_t> resolvePID(
    std::optional<std::int32_t> storedPID, const std::optional<std::string>& bundleIdentifier,
    const std::function<bool(std::int32_t)>& isRunning,
    const std::function<std::optional<std::string>(std::int32_t)>& bundleIdentifierOf,
    const std::function<std::vector<std::int32_t>(const std::string&)>& runningPIDs) {
  if (storedPID && *storedPID >= 1 && isRunning(*storedPID)) {
    if (!bundleIdentifier) return storedPID;
    // A reused process id now running another application is not the one we stored.
    auto running = bundleIdentifierOf(*storedPID);
    if (running && *running == *bundleIdentifier) return storedPID;
  }
  if (!bundleIdentifier || bundleIdentifier->empty()) return std::nullopt;
  std::optional<std::int32_t> smallest;
  for (std::int32_t pid : runningPIDs(*bundleIdentifier)) {
    if (pid >= 1 && (!smallest || pid < *smallest)) smallest = pid;
  }
  return smallest;
}

}  // namespace tidewell::ApplicationProcessResolver
