#include "TidewellApp/AppEnvironment.h"

#include <AudioClient/AudioHardware.h>

#include <array>
#include <mutex>

#include "TidewellApp/ServiceInstallation.h"
#include "TidewellCore/CoreAudioDeviceRegistry.h"
#include "TidewellCore/RuntimeControlStore.h"

namespace tidewell {
namespace {

class AudioServerDeviceRegistry final : public DeviceRegistry {
 public:
  AudioDeviceInventory deviceInventory() override {
    return CoreAudioDeviceRegistry::deviceInventory();
  }
  std::vector<ApplicationSourceCandidate> applicationSourceCandidates() override {
    return CoreAudioDeviceRegistry::applicationSourceCandidates();
  }
  bool halPlugInIsLoaded() override { return CoreAudioDeviceRegistry::halPlugInIsLoaded(); }
  bool passThruDeviceIsLoaded() override {
    return CoreAudioDeviceRegistry::passThruDeviceIsLoaded();
  }

  std::unique_ptr<ListenerRegistration> addDeviceChangeListener(
      std::function<void()> changed) override {
    return std::make_unique<PropertyListeners>(std::move(changed));
  }

 private:
  // The three system-object listeners of one caller. The client library stops calling a
  // listener once its removal returns, so the callback cannot outlive this object.
  class PropertyListeners final : public ListenerRegistration {
   public:
    explicit PropertyListeners(std::function<void()> changed) : changed_(std::move(changed)) {
      for (const auto& address : addresses()) {
        AudioObjectAddPropertyListener(kAudioObjectSystemObject, &address, &PropertyListeners::fire,
                                       this);
      }
    }
    ~PropertyListeners() override {
      for (const auto& address : addresses()) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &address,
                                          &PropertyListeners::fire, this);
      }
    }

   private:
    static std::array<AudioObjectPropertyAddress, 3> addresses() {
      return {AudioObjectPropertyAddress{kAudioHardwarePropertyDevices,
                                         kAudioObjectPropertyScopeGlobal,
                                         kAudioObjectPropertyElementMain},
              AudioObjectPropertyAddress{kAudioHardwarePropertyDefaultInputDevice,
                                         kAudioObjectPropertyScopeGlobal,
                                         kAudioObjectPropertyElementMain},
              AudioObjectPropertyAddress{kAudioHardwarePropertyDefaultOutputDevice,
                                         kAudioObjectPropertyScopeGlobal,
                                         kAudioObjectPropertyElementMain}};
    }
    static OSStatus fire(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
      static_cast<PropertyListeners*>(data)->changed_();
      return 0;
    }
    std::function<void()> changed_;
  };
};

class RuntimeConfigPublisher final : public ConfigPublisher {
 public:
  void publish(const ConfigSnapshot& snapshot) override { RuntimePublisher::publish(snapshot); }
};

class RuntimeMeterSource final : public MeterSource {
 public:
  std::optional<RuntimeMeterStore::Reading> reading(std::string_view ownerID) override {
    return RuntimeMeterStore::reading(ownerID);
  }
};

class SystemClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::system_clock::now(); }
};

class NoPublisher final : public ConfigPublisher {
 public:
  void publish(const ConfigSnapshot&) override {}
};

// Reads the service's state; installs, reinstalls and removes nothing.
class ObservingServiceController final : public ServiceController {
 public:
  explicit ObservingServiceController(std::shared_ptr<ServiceController> real) : real_(std::move(real)) {}
  void refreshServiceStatus(TidewellAppModel& model) override { real_->refreshServiceStatus(model); }
  void startHealthMonitor(TidewellAppModel& model) override { real_->startHealthMonitor(model); }
  void installOrRestartService(TidewellAppModel&) override {}
  void reinstallServiceIfStale(TidewellAppModel&) override {}
  void uninstallService(TidewellAppModel&) override {}

 private:
  std::shared_ptr<ServiceController> real_;
};

class ReadingPreferences final : public Preferences {
 public:
  explicit ReadingPreferences(std::shared_ptr<Preferences> real) : real_(std::move(real)) {}
  std::optional<QString> string(const QString& key) const override { return real_->string(key); }
  std::optional<bool> boolean(const QString& key) const override { return real_->boolean(key); }
  void setString(const QString&, const QString&) override {}
  void setBoolean(const QString&, bool) override {}

 private:
  std::shared_ptr<Preferences> real_;
};

std::mutex sharedLock;
std::optional<AppEnvironment> sharedEnvironment;

}  // namespace

std::shared_ptr<DeviceRegistry> makeAudioServerDeviceRegistry() {
  return std::make_shared<AudioServerDeviceRegistry>();
}
std::shared_ptr<ConfigPublisher> makeRuntimeConfigPublisher() {
  return std::make_shared<RuntimeConfigPublisher>();
}
std::shared_ptr<MeterSource> makeRuntimeMeterSource() {
  return std::make_shared<RuntimeMeterSource>();
}
std::shared_ptr<Clock> makeSystemClock() { return std::make_shared<SystemClock>(); }

AppEnvironment AppEnvironment::live() {
  AppEnvironment environment;
  environment.registry = makeAudioServerDeviceRegistry();
  environment.store = std::make_shared<ConfigStore>(ConfigStore::defaultURL());
  environment.publisher = makeRuntimeConfigPublisher();
  environment.meters = makeRuntimeMeterSource();
  environment.clock = makeSystemClock();
  environment.preferences =
      std::make_shared<SettingsPreferences>(SettingsPreferences::defaultFilePath());
  environment.serviceController = std::make_shared<LaunchAgentServiceController>();
  environment.helperLauncher = std::make_shared<ProcessHelperLauncher>();
  return environment;
}

AppEnvironment AppEnvironment::readOnly(const AppEnvironment& environment, const std::filesystem::path& scratch) {
  AppEnvironment view = environment;
  const std::filesystem::path copy = scratch / environment.store->url.filename();
  std::error_code ignored;
  // A missing or unreadable file is shown as the window would show it; the copy stands in.
  std::filesystem::copy_file(environment.store->url, copy, std::filesystem::copy_options::overwrite_existing, ignored);
  view.store = std::make_shared<ConfigStore>(copy);
  view.publisher = std::make_shared<NoPublisher>();
  view.serviceController = std::make_shared<ObservingServiceController>(environment.serviceController);
  view.preferences = std::make_shared<ReadingPreferences>(environment.preferences);
  return view;
}

const AppEnvironment& AppEnvironment::shared() {
  std::lock_guard guard(sharedLock);
  if (!sharedEnvironment) sharedEnvironment = live();
  return *sharedEnvironment;
}

void AppEnvironment::install(AppEnvironment environment) {
  std::lock_guard guard(sharedLock);
  sharedEnvironment = std::move(environment);
}

}  // namespace tidewell
