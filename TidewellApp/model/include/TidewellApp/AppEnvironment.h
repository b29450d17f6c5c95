#pragma once
// Everything the application model reaches outside itself: the audio devices, the configuration
// file, the runtime regions, the meter regions, the clock and the stored preferences, plus the
// operations of the service installer and the in-application helper launcher. One environment
// serves the whole process; tests install one built from fakes, the application the live one.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TidewellApp/Preferences.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/InventoryRecords.h"
#include "TidewellCore/RuntimeMeterStore.h"

namespace tidewell {

class TidewellAppModel;

// The audio server's devices and capturable applications. Every query blocks, never throws and
// may be called from any thread.
class DeviceRegistry {
 public:
  // Removes its listeners when destroyed; after that the callback is never called again.
  class ListenerRegistration {
   public:
    virtual ~ListenerRegistration() = default;
  };

  virtual ~DeviceRegistry() = default;
  virtual AudioDeviceInventory deviceInventory() = 0;
  virtual std::vector<ApplicationSourceCandidate> applicationSourceCandidates() = 0;
  virtual bool halPlugInIsLoaded() = 0;
  virtual bool passThruDeviceIsLoaded() = 0;
  // Calls `changed` (on any thread) whenever the device list, the default input device or the
  // default output device changes.
  virtual std::unique_ptr<ListenerRegistration> addDeviceChangeListener(
      std::function<void()> changed) = 0;
};

// Pushes a whole configuration into the runtime and control regions. Throws on failure.
class ConfigPublisher {
 public:
  virtual ~ConfigPublisher() = default;
  virtual void publish(const ConfigSnapshot& snapshot) = 0;
};

// Reads one meter region; nothing when it is missing or busy. Never blocks the writer.
class MeterSource {
 public:
  virtual ~MeterSource() = default;
  virtual std::optional<RuntimeMeterStore::Reading> reading(std::string_view ownerID) = 0;
};

// Wall-clock time.
class Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
};

// The service's installation and health checks, as the model calls them from reload and at
// construction.
class ServiceController {
 public:
  virtual ~ServiceController() = default;
  virtual void refreshServiceStatus(TidewellAppModel& model) = 0;
  virtual void startHealthMonitor(TidewellAppModel& model) = 0;
  virtual void installOrRestartService(TidewellAppModel& model) = 0;
  virtual void reinstallServiceIfStale(TidewellAppModel& model) = 0;
};

// The application's own diagnostic helpers: restarted when an edit changes what they play.
class HelperLauncher {
 public:
  virtual ~HelperLauncher() = default;
  virtual void restartHardwareSourceIfRunning(TidewellAppModel& model,
                                              const std::string& sourceID) = 0;
  virtual void restartProcessTapIfRunning(TidewellAppModel& model,
                                          const std::string& sourceID) = 0;
  virtual void restartMonitorIfRunning(TidewellAppModel& model, const std::string& monitorID) = 0;
};

// Stand-ins until service installation and health checks exist: they check nothing and leave
// the model's service fields at their initial values.
class InertServiceController final : public ServiceController {
 public:
  void refreshServiceStatus(TidewellAppModel&) override {}
  void startHealthMonitor(TidewellAppModel&) override {}
  void installOrRestartService(TidewellAppModel&) override {}
  void reinstallServiceIfStale(TidewellAppModel&) override {}
};

// Stand-in until the in-application helper launcher exists: no helper runs, so none restarts.
class InertHelperLauncher final : public HelperLauncher {
 public:
  void restartHardwareSourceIfRunning(TidewellAppModel&, const std::string&) override {}
  void restartProcessTapIfRunning(TidewellAppModel&, const std::string&) override {}
  void restartMonitorIfRunning(TidewellAppModel&, const std::string&) override {}
};

struct AppEnvironment {
  std::shared_ptr<DeviceRegistry> registry;
  std::shared_ptr<ConfigStore> store;
  std::shared_ptr<ConfigPublisher> publisher;
  std::shared_ptr<MeterSource> meters;
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Preferences> preferences;
  std::shared_ptr<ServiceController> serviceController;
  std::shared_ptr<HelperLauncher> helperLauncher;

  // The real ones: the audio server, the configuration file in the user's data folder, the
  // shared-memory regions, the system clock and the preferences file in the user's
  // configuration folder, with the inert service controller and helper launcher.
  static AppEnvironment live();

  // The process's environment: the one last installed, else the live one (made on first use).
  static const AppEnvironment& shared();
  static void install(AppEnvironment environment);
};

// The live pieces, for tests that mix real and fake ones.
std::shared_ptr<DeviceRegistry> makeAudioServerDeviceRegistry();
std::shared_ptr<ConfigPublisher> makeRuntimeConfigPublisher();
std::shared_ptr<MeterSource> makeRuntimeMeterSource();
std::shared_ptr<Clock> makeSystemClock();

}  // namespace tidewell
