#pragma once
// tidewell-service: keeps the saved configuration running without the application. Once per
// poll interval it writes its heartbeat, loads the configuration, publishes the runtime and
// control regions, works out which helper processes the configuration calls for and starts,
// restarts and stops them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dispatch/dispatch.h>

#include "ServicePlatform.h"

namespace tidewell {

class ServiceError : public std::exception {
 public:
  enum class Kind { missingHelper, instanceLockUnavailable };

  static ServiceError missingHelper(std::string name);
  static ServiceError instanceLockUnavailable(std::string detail);

  Kind kind() const noexcept { return kind_; }
  const std::string& detail() const noexcept { return detail_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ServiceError(Kind kind, std::string detail, std::string message)
      : kind_(kind), detail_(std::move(detail)), message_(std::move(message)) {}
  Kind kind_;
  std::string detail_;
  std::string message_;
};

// The three helper executables.
struct HelperPaths {
  std::filesystem::path monitor;
  std::filesystem::path hardwareSource;
  std::filesystem::path processTap;

  static constexpr std::string_view monitorName = "tidewell-monitor";
  static constexpr std::string_view hardwareSourceName = "tidewell-hardware-source";
  static constexpr std::string_view processTapName = "tidewell-process-tap";

  // Searched in order: TIDEWELL_HELPER_DIR, the program's own folder (from its first command
  // word), ./build/tools, ./build/service; standardised, repeats dropped.
  static std::vector<std::filesystem::path> candidateDirectories(
      const ServiceEnvironment& environment, const std::string& programPath,
      const std::filesystem::path& currentDirectory);
  // The first candidate holding an executable file of that name; throws missingHelper.
  static std::filesystem::path executable(std::string_view name,
                                          const std::vector<std::filesystem::path>& directories);
  // Monitor, hardware source, process tap, in that order; the first miss throws.
  static HelperPaths resolve(const ServiceEnvironment& environment, const std::string& programPath,
                             const std::filesystem::path& currentDirectory);

  bool operator==(const HelperPaths&) const = default;
};

// One helper process that the configuration calls for.
struct DesiredRoute {
  std::string key;                        // identity across passes
  std::filesystem::path executableURL;
  ServiceEnvironment environment;         // what defines the route
  ServiceEnvironment controlEnvironment;  // starting values of the live controls
  std::string summary;                    // names the route in log lines

  // Live controls reach running helpers through their control regions, and the summary only
  // carries names for the log, so neither makes two routes differ: renaming a device or a
  // source never restarts its helpers.
  bool operator==(const DesiredRoute& other) const {
    return key == other.key && executableURL == other.executableURL &&
           environment == other.environment;
  }
};

// Value texts of helper environments.
namespace HelperValueFormat {
// Shortest text that reads back as the same value, with a fractional part for whole numbers.
std::string gain(double value);
std::string gain(float value);
std::string flag(bool value);
std::string gains(const std::vector<double>& values);
}  // namespace HelperValueFormat

// Sends SIGKILL to a stopped helper that is still alive after the grace period, from a thread
// of its own so that passes never wait for children.
class HelperStopQueue {
 public:
  explicit HelperStopQueue(std::chrono::duration<double> grace);
  ~HelperStopQueue();
  HelperStopQueue(const HelperStopQueue&) = delete;
  HelperStopQueue& operator=(const HelperStopQueue&) = delete;

  void schedule(std::shared_ptr<HelperProcess> process, std::string summary);
  // Returns once every scheduled helper has exited or been killed. A killed helper that has not
  // ended yet is still reaped later, for as long as the queue lives.
  void drain();
  std::chrono::duration<double> grace() const { return grace_; }

 private:
  struct Job {
    std::shared_ptr<HelperProcess> process;
    std::string summary;
    std::chrono::steady_clock::time_point deadline;
    bool killed = false;  // SIGKILL sent and waited for; reaped once it has ended
  };
  void work();

  const std::chrono::duration<double> grace_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Job> jobs_;
  bool quitting_ = false;
  std::thread thread_;
};

// One supervised route.
class ManagedRoute {
 public:
  using Clock = ServicePlatform::Clock;

  ManagedRoute(DesiredRoute route, ServicePlatform& platform, HelperStopQueue& stopQueue);

  // Fixed for the route's life, except the summary, which follows renames.
  DesiredRoute route;
  std::shared_ptr<HelperProcess> process;
  Clock::time_point nextStartDate = Clock::time_point::min();
  std::int64_t failureCount = 0;
  Clock::time_point startedAt = Clock::time_point::min();   // of the recorded process

  // Notices an exit (and schedules the restart), or starts the helper when its time has come.
  // A helper that ends by itself with status 0 after running for at least the first backoff
  // ended on purpose to be started afresh (its device changed its rate, the audio server
  // restarted): that is no failure, and it starts again at once. Any other end backs off.
  // startBlocked: a previous helper of the same key is still on its way out.
  void ensureRunning(const ServiceEnvironment& baseEnvironment, bool startBlocked = false);
  void start(const ServiceEnvironment& baseEnvironment);
  // SIGTERM, then SIGKILL after the grace period; silent when no helper runs. Returns the
  // stopped process, if any.
  std::shared_ptr<HelperProcess> stop(std::string_view reason);

  // Delay before the next start after the n-th failure in a row: 2, 5, 10, 30, then 60 s.
  static std::chrono::seconds backoff(std::int64_t failureCount);

 private:
  void recordFailure(Clock::time_point now);
  ServicePlatform& platform_;
  HelperStopQueue& stopQueue_;
};

class TidewellService {
 public:
  // Reads the settings, finds the helpers and, outside a dry run, takes the single-instance
  // lock. Throws ServiceError.
  TidewellService(ServiceEnvironment environment, std::string programPath,
                  std::shared_ptr<ServicePlatform> platform);
  ~TidewellService();

  // Loops until a signal clears isRunning (or computes once in a dry run). Throws only in a
  // dry run, when the configuration cannot be loaded.
  void run();
  // One pass of the loop, without the sleep.
  void runPass();
  // Says in the log, once each time it goes missing, that no audio server answers.
  void reportMissingAudioServer();
  // Stops every helper and waits for them to end (SIGKILL after the grace period).
  void stopAll();
  void requestStop() {
    isRunning_->store(false);
    platform_->wake();
  }

  // SIGTERM and SIGINT no longer end the process: each clears the running flag, from a serial
  // queue of its own.
  void installSignalHandlers();

  std::vector<DesiredRoute> desiredRoutes(const std::vector<DeviceConfig>& devices);
  std::vector<DesiredRoute> desiredRoutes(const DeviceConfig& device,
                                          const std::vector<DeviceConfig>& devices,
                                          const std::set<std::string>& availableInputUIDs,
                                          const std::set<std::string>& availableOutputUIDs);
  std::optional<std::int32_t> resolveApplicationPID(const SourceConfig& source);
  void reconcile(const std::vector<DesiredRoute>& desired);

  static bool isTruthy(const std::optional<std::string>& value);
  // A number from 0.05 to 60 (seconds), else 1.0.
  static double pollInterval(const std::optional<std::string>& value);

  const ServiceEnvironment& environment() const { return environment_; }
  // The environment every helper starts from: the service's own, less any helper setting it
  // inherited.
  const ServiceEnvironment& helperBaseEnvironment() const { return helperBaseEnvironment_; }
  const std::filesystem::path& configFile() const { return configFile_; }
  const HelperPaths& helperPaths() const { return helperPaths_; }
  double pollIntervalSeconds() const { return pollInterval_; }
  bool dryRun() const { return dryRun_; }
  bool isRunning() const { return isRunning_->load(); }
  const std::map<std::string, std::unique_ptr<ManagedRoute>>& routes() const { return routes_; }

  static constexpr double defaultPollInterval = 1.0;
  static constexpr double minimumPollInterval = 0.05;
  static constexpr double maximumPollInterval = 60.0;
  static constexpr double stopGraceSeconds = 3.0;
  static constexpr std::string_view launchAgentLabel = "app.tidewell.service";

 private:
  std::optional<std::string> variable(const std::string& name) const;
  void runDryRun();
  void publish(const ConfigSnapshot& snapshot);
  bool nestedSourceFormsCycle(const DeviceConfig& device, const SourceConfig& source,
                              const std::vector<DeviceConfig>& devices) const;
  bool predecessorStillRunning(const std::string& key);
  // Hands the platform the helpers started and not yet reaped, when they changed.
  void recordHelpers();

  ServiceEnvironment environment_;
  ServiceEnvironment helperBaseEnvironment_;
  std::shared_ptr<ServicePlatform> platform_;
  std::filesystem::path configFile_;
  HelperPaths helperPaths_;
  double pollInterval_ = defaultPollInterval;
  bool dryRun_ = false;
  std::map<std::string, std::unique_ptr<ManagedRoute>> routes_;
  // Shared with the signal handlers, which may outlive the service by a moment.
  std::shared_ptr<std::atomic<bool>> isRunning_ = std::make_shared<std::atomic<bool>>(true);
  dispatch_queue_t signalQueue_ = nullptr;
  std::vector<dispatch_source_t> signalSources_;
  std::set<std::string> unavailableApplicationSources_;
  // Nested sources skipped because their nesting loops back: logged when a source joins.
  std::set<std::string> cycleSkippedSources_;
  std::set<std::string> cycleSkippedThisPass_;
  // Ids of the devices past the runtime region's capacity at the last pass: logged on change.
  std::vector<std::string> devicesBeyondLimit_;
  // The runtime-region controls this service wrote last; the region is rewritten only when they
  // change (or the region is gone), so live edits of the application are not undone.
  std::optional<std::vector<RuntimeDeviceControls>> lastWrittenControls_;
  // The log has said that no audio server answers, and none has answered since.
  bool reportedMissingAudioServer_ = false;
  // Helpers asked to stop, by route key, until they have exited: a replacement waits for them.
  std::multimap<std::string, std::shared_ptr<HelperProcess>> stoppingHelpers_;
  // What the platform last recorded of them.
  std::vector<StartedHelper> recordedHelpers_;
  HelperStopQueue stopQueue_;
};

namespace TidewellServiceMain {
// The program: builds the service from the process environment and runs it. Returns the exit
// status: 0 after a normal stop or a dry run, 1 after a fatal error.
int main(int argc, char** argv);
}  // namespace TidewellServiceMain

}  // namespace tidewell
