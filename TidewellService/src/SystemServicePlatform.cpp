// The service's real surroundings: its files in the per-user data folder, POSIX shared memory,
// the audio server and child processes.

#include <condition_variable>
#include <mutex>
#include <unistd.h>

#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioServerStatus.h>

#include "ConfigFileCache.h"
#include "ServicePlatform.h"
#include "TidewellServiceLog.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/CoreAudioDeviceRegistry.h"
#include "TidewellCore/HelperProcessRecord.h"
#include "TidewellCore/SourceControlStore.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

namespace tidewell {
namespace {

class SystemServicePlatform final : public ServicePlatform {
 public:
  // A region the service will not write over (another user's) is said once, in its log.
  SystemServicePlatform() {
    TidewellShmSetReporter([](const char* words) { TidewellServiceLog::write(words); });
  }
  ~SystemServicePlatform() override { TidewellShmSetReporter(nullptr); }

  ServiceSingleInstance::Outcome acquireInstanceLock(
      double gracefulWait, double forcedWait,
      const std::function<void(const std::string&)>& log) override {
    return ServiceSingleInstance::acquire(TidewellCore::serviceLockFileURL(), gracefulWait,
                                          forcedWait, ServiceSingleInstance::sendSignal, log);
  }

  void beatHeartbeat() override { ServiceHeartbeat::beat(TidewellCore::serviceHeartbeatFileURL()); }

  std::filesystem::path defaultConfigFile() override { return ConfigStore::defaultURL(); }

  std::shared_ptr<const ConfigSnapshot> loadOrCreateEmpty(
      const std::filesystem::path& configFile) override {
    ConfigStore store(configFile);
    bool read = false;
    auto snapshot = configCache_.load(configFile, [&] {
      read = true;
      return store.loadOrCreateEmpty();
    });
    // A writer's leftover goes at the next poll, whether or not the file had to be read.
    if (!read) store.removeAbandonedTemporaryFiles();
    return snapshot;
  }

  bool runtimeRegionIsValid() override { return RuntimeControlStoreV3::regionIsIntact(); }

  void writeRuntimeRegion(const std::vector<RuntimeDeviceControls>& controls) override {
    RuntimeControlStoreV3::publish(controls, false);
  }

  void writeControlRegions(const ConfigSnapshot& snapshot) override {
    SourceControlStore::publish(snapshot);
  }

  AudioDeviceInventory deviceInventory() override {
    return CoreAudioDeviceRegistry::deviceInventory();
  }

  bool audioServerAnswers() override {
    // Through the library's own connection while a server answers: no new connection per pass.
    AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    return !AudioServerIsMissing(
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size));
  }

  bool applicationIsRunning(std::int32_t pid) override {
    return RunningApplications::application(pid).has_value();
  }

  std::optional<std::string> bundleIdentifierOf(std::int32_t pid) override {
    auto application = RunningApplications::application(pid);
    if (!application) return std::nullopt;
    return application->bundleIdentifier;
  }

  std::vector<std::int32_t> runningPIDs(const std::string& bundleIdentifier) override {
    return RunningApplications::pids(bundleIdentifier);
  }

  std::shared_ptr<HelperProcess> launch(const std::filesystem::path& executable,
                                        const ServiceEnvironment& environment,
                                        std::string& error) override {
    return ChildProcess::spawn(executable.string(), environment, error);
  }

  void endLeftoverHelpers(double graceSeconds,
                          const std::function<void(const std::string&)>& log) override {
    HelperProcessRecord::endLeftovers(TidewellCore::serviceHelpersFileURL(),
                                      std::chrono::duration<double>(graceSeconds), log);
  }

  void recordHelpers(const std::vector<StartedHelper>& helpers) override {
    std::vector<HelperProcessRecord::Entry> entries;
    for (const auto& helper : helpers) {
      // A helper that has already ended (not yet reaped) is not worth recording.
      if (auto entry = HelperProcessRecord::describe(helper.pid, helper.executable)) {
        entries.push_back(std::move(*entry));
      }
    }
    bool written = HelperProcessRecord::write(TidewellCore::serviceHelpersFileURL(), entries);
    if (!written && !recordFailed_) {
      TidewellServiceLog::write("Could not record the started helpers in " +
                                TidewellCore::serviceHelpersFileURL().string());
    }
    recordFailed_ = !written;
  }

  Clock::time_point now() override { return Clock::now(); }

  void sleep(double seconds) override {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wakeChanged_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return woken_; });
    woken_ = false;
  }

  void wake() override {
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      woken_ = true;
    }
    wakeChanged_.notify_all();
  }

 private:
  std::mutex wakeMutex_;
  std::condition_variable wakeChanged_;
  bool woken_ = false;
  bool recordFailed_ = false;  // logged once per run of failures
  ConfigFileCache configCache_;
};

}  // namespace

std::unique_ptr<ServicePlatform> makeSystemServicePlatform() {
  return std::make_unique<SystemServicePlatform>();
}

}  // namespace tidewell
