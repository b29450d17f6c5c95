#pragma once
// Everything the service asks of the world outside its own logic, behind one interface: the
// configuration file, the shared-memory regions, the heartbeat and lock files, the audio
// device inventory, the running applications, child processes and the clock. The program
// uses SystemServicePlatform; tests substitute their own.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/InventoryRecords.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/ServiceFiles.h"

namespace tidewell {

using ServiceEnvironment = std::map<std::string, std::string>;

// A helper process as the record of started helpers knows it.
struct StartedHelper {
  pid_t pid = 0;
  std::filesystem::path executable;
  bool operator==(const StartedHelper&) const = default;
};

class ServicePlatform {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~ServicePlatform() = default;

  // The single-instance lock on the service lock file (graceful and forced waits in seconds).
  virtual ServiceSingleInstance::Outcome acquireInstanceLock(
      double gracefulWait, double forcedWait, const std::function<void(const std::string&)>& log) = 0;
  // Touches the heartbeat file; never fails.
  virtual void beatHeartbeat() = 0;

  // The configuration file's usual place (ConfigStore::defaultURL).
  virtual std::filesystem::path defaultConfigFile() = 0;
  // ConfigStore::loadOrCreateEmpty on this file; throws its errors. A file that has not changed
  // since the last call may give the last snapshot without being read again (ConfigFileCache),
  // shared rather than copied: a large one takes a while to copy too.
  virtual std::shared_ptr<const ConfigSnapshot> loadOrCreateEmpty(
      const std::filesystem::path& configFile) = 0;

  // True when the runtime region exists with a valid header of the current layout.
  virtual bool runtimeRegionIsValid() = 0;
  // One complete write of the runtime region; throws RuntimeControlStoreError.
  virtual void writeRuntimeRegion(const std::vector<RuntimeDeviceControls>& controls) = 0;
  // Every control region whose values changed since this process last wrote it; never throws.
  virtual void writeControlRegions(const ConfigSnapshot& snapshot) = 0;

  virtual AudioDeviceInventory deviceInventory() = 0;
  // Whether an audio server answers; the devices and every helper depend on one.
  virtual bool audioServerAnswers() { return true; }

  // The desktop's registry of running applications.
  virtual bool applicationIsRunning(std::int32_t pid) = 0;
  virtual std::optional<std::string> bundleIdentifierOf(std::int32_t pid) = 0;
  virtual std::vector<std::int32_t> runningPIDs(const std::string& bundleIdentifier) = 0;

  // Starts a helper; null with error set when it cannot be started.
  virtual std::shared_ptr<HelperProcess> launch(const std::filesystem::path& executable,
                                                const ServiceEnvironment& environment,
                                                std::string& error) = 0;

  // Ends the helpers an earlier instance recorded and left running (it was killed), so that none
  // runs beside this instance's own; never signals a process that is not one of them.
  virtual void endLeftoverHelpers(double graceSeconds,
                                  const std::function<void(const std::string&)>& log) = 0;
  // Records the helpers this instance has started and not yet reaped, replacing the record.
  virtual void recordHelpers(const std::vector<StartedHelper>& helpers) = 0;

  virtual Clock::time_point now() = 0;
  // Waits the given time, or less once wake() is called: a wake that comes while no sleep is in
  // progress ends the next sleep at once.
  virtual void sleep(double seconds) = 0;
  // Callable from any thread.
  virtual void wake() {}
};

// The real thing: files in the per-user data folder, POSIX shared memory, the audio server.
std::unique_ptr<ServicePlatform> makeSystemServicePlatform();

}  // namespace tidewell
