#pragma once
// Everything the application model reaches outside itself: the audio devices, the configuration
// file, the runtime regions, the meter regions, the clock and the stored preferences, plus the
// operations of the service installer and the in-application helper launcher. One environment
// serves the whole process; tests install one built from fakes, the application the live one.

#include <QStringList>
#include <chrono>
#include <filesystem>
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

// The service's installation and health checks: the model reaches the launch agent only
// through this (LaunchAgentServiceController in ServiceInstallation.h is the real one).
class ServiceController {
 public:
  virtual ~ServiceController() = default;
  virtual void refreshServiceStatus(TidewellAppModel& model) = 0;
  virtual void startHealthMonitor(TidewellAppModel& model) = 0;
  virtual void installOrRestartService(TidewellAppModel& model) = 0;
  virtual void reinstallServiceIfStale(TidewellAppModel& model) = 0;
  virtual void uninstallService(TidewellAppModel& model) = 0;
};

// The application's own diagnostic helpers: restarted when an edit changes what they play.
// Each restarts its helper only while it runs; with an empty id it restarts it whatever the
// source or monitor it plays.
class HelperLauncher {
 public:
  virtual ~HelperLauncher() = default;
  virtual void restartHardwareSourceIfRunning(TidewellAppModel& model,
                                              const std::string& sourceID) = 0;
  virtual void restartProcessTapIfRunning(TidewellAppModel& model,
                                          const std::string& sourceID) = 0;
  virtual void restartMonitorIfRunning(TidewellAppModel& model, const std::string& monitorID) = 0;
  // Stop the running child of that kind and start a new one on the remembered pick; the
  // structural edits call them only while that kind runs.
  virtual void restartMonitor(TidewellAppModel&) {}
  virtual void restartHardwareSource(TidewellAppModel&) {}
  virtual void restartProcessTap(TidewellAppModel&) {}
  // The folders searched for the helper programs and the self-test tool, before
  // "build/tools" under the working directory: by default the application's bundle.
  virtual QStringList programFolders() const;
};

// The real one: restarts the model's running helper of that kind when the edited item is what
// it plays. Searches `folders` when given, else the application's bundle.
class ProcessHelperLauncher final : public HelperLauncher {
 public:
  explicit ProcessHelperLauncher(std::optional<QStringList> folders = std::nullopt)
      : folders_(std::move(folders)) {}
  void restartHardwareSourceIfRunning(TidewellAppModel& model, const std::string& sourceID) override;
  void restartProcessTapIfRunning(TidewellAppModel& model, const std::string& sourceID) override;
  void restartMonitorIfRunning(TidewellAppModel& model, const std::string& monitorID) override;
  void restartMonitor(TidewellAppModel& model) override;
  void restartHardwareSource(TidewellAppModel& model) override;
  void restartProcessTap(TidewellAppModel& model) override;
  QStringList programFolders() const override;

 private:
  std::optional<QStringList> folders_;
};

// For tests of other parts of the model: checks and installs nothing and leaves the model's
// service fields at their initial values.
class InertServiceController final : public ServiceController {
 public:
  void refreshServiceStatus(TidewellAppModel&) override {}
  void startHealthMonitor(TidewellAppModel&) override {}
  void installOrRestartService(TidewellAppModel&) override {}
  void reinstallServiceIfStale(TidewellAppModel&) override {}
  void uninstallService(TidewellAppModel&) override {}
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
  // shared-memory regions, the system clock, the preferences file in the user's configuration
  // folder, the launch-agent service controller and the process helper launcher.
  static AppEnvironment live();

  // A view of `environment` that changes nothing outside the process, for a window that only
  // shows (the --screenshot render beside the user's window): nothing is published to the
  // runtime regions, the service is never installed, reinstalled or removed (its status is
  // still read), no preference is written, and the configuration is a copy in `scratch` (a
  // folder of the caller's), where the model's own saves land instead of the user's file.
  static AppEnvironment readOnly(const AppEnvironment& environment, const std::filesystem::path& scratch);

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
