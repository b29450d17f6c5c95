#pragma once
// A scripted world for the service: configuration, inventory, running applications, clock and
// helper processes are all under the test's control, and every log line is recorded.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ServicePlatform.h"
#include "TidewellService.h"
#include "TidewellServiceLog.h"

namespace tidewell::testing {

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tidewell-service-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeExecutable(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file) << text;
  ::chmod(file.c_str(), 0755);
}

// A folder with the three helper programs as tiny shell scripts that run until SIGTERM.
inline void writeIdleHelpers(const std::filesystem::path& folder) {
  for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName,
                    HelperPaths::processTapName}) {
    writeExecutable(folder / name, "#!/bin/sh\nexec sleep 600\n");
  }
}

// Collects the service's log lines for the lifetime of the object.
class LogRecorder {
 public:
  LogRecorder() {
    TidewellServiceLog::setObserver([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogRecorder() { TidewellServiceLog::setObserver({}); }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A helper that exists only in the test: it "runs" until told to end, and either ends on
// SIGTERM or ignores it.
class FakeProcess final : public HelperProcess {
 public:
  FakeProcess(pid_t pid, ServiceEnvironment environment, bool ignoresTerm)
      : pid_(pid), environment(std::move(environment)), ignoresTerm_(ignoresTerm) {}
  pid_t pid() const override { return pid_; }
  bool isRunning() override { return running_.load(); }
  int terminationStatus() override { return status_.load(); }
  void sendSignal(int signal) override {
    signals_.fetch_add(1);
    if (signal == SIGKILL || !ignoresTerm_) exit(signal);
  }
  bool waitForExit(std::chrono::duration<double> timeout) override {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
    while (running_.load()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  void exit(int status) {
    status_.store(status);
    running_.store(false);
  }
  int signalCount() const { return signals_.load(); }

  const pid_t pid_;
  const ServiceEnvironment environment;

 private:
  const bool ignoresTerm_;
  std::atomic<bool> running_{true};
  std::atomic<int> status_{0};
  std::atomic<int> signals_{0};
};

class FakePlatform final : public ServicePlatform {
 public:
  // What the test sets up.
  ConfigSnapshot configuration;
  bool configurationFails = false;
  bool publishFails = false;
  AudioDeviceInventory inventory;
  std::map<std::int32_t, std::optional<std::string>> runningApplications;
  bool launchFails = false;
  bool helpersIgnoreTerm = false;
  ServiceSingleInstance::Outcome lockOutcome = ServiceSingleInstance::Outcome::acquired();
  bool regionValid = true;
  bool serverAnswers = true;
  Clock::time_point clock = Clock::time_point(std::chrono::hours(1000));

  // What the service did.
  int heartbeats = 0;
  int runtimeWrites = 0;
  int controlWrites = 0;
  int lockRequests = 0;
  std::vector<std::shared_ptr<FakeProcess>> launched;
  std::vector<std::filesystem::path> launchedExecutables;
  int leftoverCleanups = 0;
  int lockRequestsAtCleanup = -1;  // lock requests made before the cleanup was asked for
  std::vector<std::vector<StartedHelper>> helperRecords;  // every record handed over, in order

  ServiceSingleInstance::Outcome acquireInstanceLock(
      double, double, const std::function<void(const std::string&)>&) override {
    ++lockRequests;
    return lockOutcome;
  }
  void beatHeartbeat() override { ++heartbeats; }
  std::filesystem::path defaultConfigFile() override { return "/nonexistent/config.json"; }
  std::shared_ptr<const ConfigSnapshot> loadOrCreateEmpty(const std::filesystem::path&) override {
    if (configurationFails) throw std::runtime_error("The configuration could not be read.");
    return std::make_shared<const ConfigSnapshot>(configuration);
  }
  bool runtimeRegionIsValid() override { return regionValid; }
  void writeRuntimeRegion(const std::vector<RuntimeDeviceControls>&) override {
    if (publishFails) throw RuntimeControlStoreError::openFailed(13);
    ++runtimeWrites;
    regionValid = true;
  }
  void writeControlRegions(const ConfigSnapshot&) override { ++controlWrites; }
  AudioDeviceInventory deviceInventory() override { return inventory; }
  bool audioServerAnswers() override { return serverAnswers; }
  bool applicationIsRunning(std::int32_t pid) override {
    return runningApplications.count(pid) > 0;
  }
  std::optional<std::string> bundleIdentifierOf(std::int32_t pid) override {
    auto it = runningApplications.find(pid);
    return it == runningApplications.end() ? std::nullopt : it->second;
  }
  std::vector<std::int32_t> runningPIDs(const std::string& bundle) override {
    std::vector<std::int32_t> pids;
    for (const auto& [pid, id] : runningApplications) {
      if (id && *id == bundle) pids.push_back(pid);
    }
    return pids;
  }
  std::shared_ptr<HelperProcess> launch(const std::filesystem::path& executable,
                                        const ServiceEnvironment& environment,
                                        std::string& error) override {
    if (launchFails) {
      error = "Permission denied";
      return nullptr;
    }
    auto process = std::make_shared<FakeProcess>(static_cast<pid_t>(1000 + launched.size()),
                                                 environment, helpersIgnoreTerm);
    launched.push_back(process);
    launchedExecutables.push_back(executable);
    return process;
  }
  void endLeftoverHelpers(double, const std::function<void(const std::string&)>&) override {
    ++leftoverCleanups;
    lockRequestsAtCleanup = lockRequests;
  }
  void recordHelpers(const std::vector<StartedHelper>& helpers) override {
    helperRecords.push_back(helpers);
  }
  Clock::time_point now() override { return clock; }
  void sleep(double seconds) override {
    clock += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  void advance(double seconds) { sleep(seconds); }
};

// Builders for configurations.
inline DeviceConfig makeDevice(std::string id, std::string name, std::int64_t channels = 2) {
  DeviceConfig device;
  device.id = id;
  device.name = std::move(name);
  device.uid = "uid-" + id;
  device.channelCount = channels;
  return device;
}

inline SourceConfig makeSource(std::string id, SourceType type, std::string name) {
  SourceConfig source;
  source.id = std::move(id);
  source.type = type;
  source.name = std::move(name);
  source.channelCount = 2;
  return source;
}

inline MonitorConfig makeMonitor(std::string id, std::string name, std::string outputUID) {
  MonitorConfig monitor;
  monitor.id = std::move(id);
  monitor.name = std::move(name);
  monitor.deviceUID = std::move(outputUID);
  monitor.channelCount = 2;
  return monitor;
}

inline Wire makeWire(EndpointKind fromKind, std::string fromOwner, std::int64_t fromChannel,
                     EndpointKind toKind, std::string toOwner, std::int64_t toChannel) {
  static int counter = 0;
  return Wire{"wire-" + std::to_string(++counter),
              WireEndpoint{fromKind, std::move(fromOwner), fromChannel},
              WireEndpoint{toKind, std::move(toOwner), toChannel}};
}

inline AudioDeviceInfo makeInfo(std::string uid, std::int64_t channels) {
  AudioDeviceInfo info;
  info.uid = uid;
  info.name = uid;
  info.channelCount = channels;
  return info;
}

// A folder of idle helper scripts and a service built on a fake platform around it.
struct ServiceFixture {
  TemporaryFolder helpers;
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  ServiceEnvironment environment;

  ServiceFixture() {
    writeIdleHelpers(helpers.path());
    environment["TIDEWELL_HELPER_DIR"] = helpers.path().string();
  }
  std::unique_ptr<TidewellService> makeService() {
    return std::make_unique<TidewellService>(environment, "/nonexistent/tidewell-service",
                                             platform);
  }
};

}  // namespace tidewell::testing
