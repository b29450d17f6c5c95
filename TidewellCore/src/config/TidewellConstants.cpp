#include "TidewellCore/TidewellConstants.h"

#include "TidewellCore/UserDataFolder.h"

namespace tidewell::TidewellCore {

std::string derivedDeviceUID(std::string_view deviceID) {
  std::string uid(deviceUIDPrefix);
  uid.append(deviceID);
  return uid;
}

std::filesystem::path serviceHeartbeatFileURL() {
  return UserDataFolder::productDirectory() / "service-heartbeat";
}

std::filesystem::path serviceInstallMarkerFileURL() {
  return UserDataFolder::productDirectory() / "service-build";
}

std::filesystem::path serviceLockFileURL() {
  return UserDataFolder::productDirectory() / "service.lock";
}

std::filesystem::path serviceHelpersFileURL() {
  return UserDataFolder::productDirectory() / "service-helpers";
}

}  // namespace tidewell::TidewellCore
