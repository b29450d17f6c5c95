#include "TidewellService.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include <AudioClient/AudioServerStatus.h>

#include "TidewellServiceLog.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

// A folder path in one canonical spelling: dot and dot-dot resolved, no trailing separator.
fs::path standardised(const fs::path& directory) {
  fs::path normal = directory.lexically_normal();
  std::string text = normal.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return fs::path(text);
}

bool isExecutableFile(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return false;
  return ::access(file.c_str(), X_OK) == 0;
}

constexpr std::string_view helperVariablePrefixes[] = {
    "TIDEWELL_TAP_", "TIDEWELL_SOURCE_", "TIDEWELL_MONITOR_", "TIDEWELL_OUTPUT_"};

}  // namespace

ServiceError ServiceError::missingHelper(std::string name) {
  std::string message = "Could not find executable helper '" + name +
                        "'. Build helpers with scripts/build-service.sh.";
  return ServiceError(Kind::missingHelper, std::move(name), std::move(message));
}

ServiceError ServiceError::instanceLockUnavailable(std::string detail) {
  std::string message =
      "Another service instance would not yield the single-instance lock: " + detail;
  return ServiceError(Kind::instanceLockUnavailable, std::move(detail), std::move(message));
}

std::vector<fs::path> HelperPaths::candidateDirectories(const ServiceEnvironment& environment,
                                                        const std::string& programPath,
                                                        const fs::path& currentDirectory) {
  std::vector<fs::path> candidates;
  if (auto it = environment.find("TIDEWELL_HELPER_DIR");
      it != environment.end() && !it->second.empty()) {
    candidates.emplace_back(it->second);
  }
  if (!programPath.empty()) {
    fs::path program = programPath.front() == '/' ? fs::path(programPath)
                                                  : currentDirectory / programPath;
    candidates.push_back(program.parent_path());
  }
  candidates.push_back(currentDirectory / "build/tools");
  candidates.push_back(currentDirectory / "build/service");

  std::vector<fs::path> kept;
  for (const auto& candidate : candidates) {
    fs::path directory = standardised(candidate);
    if (std::find(kept.begin(), kept.end(), directory) == kept.end()) kept.push_back(directory);
  }
  return kept;
}

fs::path HelperPaths::executable(std::string_view name, const std::vector<fs::path>& directories) {
  for (const auto& directory : directories) {
    fs::path file = directory / name;
    if (isExecutableFile(file)) return file;
  }
  throw ServiceError::missingHelper(std::string(name));
}

HelperPaths HelperPaths::resolve(const ServiceEnvironment& environment,
                                 const std::string& programPath,
                                 const fs::path& currentDirectory) {
  auto directories = candidateDirectories(environment, programPath, currentDirectory);
  HelperPaths paths;
  paths.monitor = executable(monitorName, directories);
  paths.hardwareSource = executable(hardwareSourceName, directories);
  paths.processTap = executable(processTapName, directories);
  return paths;
}

bool TidewellService::isTruthy(const std::optional<std::string>& value) {
  if (!value) return false;
  std::string lower = *value;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower == "1" || lower == "true" || lower == "yes" || lower == "on";
}

double TidewellService::pollInterval(const std::optional<std::string>& value) {
  if (!value || value->empty()) return defaultPollInterval;
  const std::string& text = *value;
  // The whole text must be the number: no blanks before it, nothing after it.
  if (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
      text.front() == '\r' || text.front() == '\f' || text.front() == '\v') {
    return defaultPollInterval;
  }
  errno = 0;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return defaultPollInterval;
  // A very long interval starves the heartbeat and overflows the sleep; a very short one spins
  // the loop. NaN fails both comparisons.
  if (!(seconds >= minimumPollInterval && seconds <= maximumPollInterval)) return defaultPollInterval;
  return seconds;
}

TidewellService::TidewellService(ServiceEnvironment environment, std::string programPath,
                                 std::shared_ptr<ServicePlatform> platform)
    : environment_(std::move(environment)),
      platform_(std::move(platform)),
      stopQueue_(std::chrono::duration<double>(stopGraceSeconds)) {
  for (const auto& [name, value] : environment_) {
    bool helperSetting = std::any_of(
        std::begin(helperVariablePrefixes), std::end(helperVariablePrefixes),
        [&name](std::string_view prefix) { return name.starts_with(prefix); });
    if (!helperSetting) helperBaseEnvironment_.emplace(name, value);
  }

  std::error_code error;
  fs::path currentDirectory = fs::current_path(error);
  if (auto path = variable("TIDEWELL_CONFIG_PATH"); path && !path->empty()) {
    configFile_ = fs::path(*path).is_absolute() ? fs::path(*path) : currentDirectory / *path;
  } else {
    configFile_ = platform_->defaultConfigFile();
  }
  helperPaths_ = HelperPaths::resolve(environment_, programPath, currentDirectory);
  pollInterval_ = pollInterval(variable("TIDEWELL_SERVICE_POLL_SECONDS"));
  dryRun_ = isTruthy(variable("TIDEWELL_SERVICE_DRY_RUN"));
  if (!dryRun_) dryRun_ = isTruthy(variable("TIDEWELL_SERVICE_ONCE"));

  if (!dryRun_) {
    auto outcome = platform_->acquireInstanceLock(
        8.0, 2.0, [](const std::string& line) { TidewellServiceLog::write(line); });
    switch (outcome.kind) {
      case ServiceSingleInstance::Outcome::Kind::acquired:
        break;
      case ServiceSingleInstance::Outcome::Kind::acquiredAfterEvicting:
        TidewellServiceLog::write("Evicted stale service instance (pid " +
                                  std::to_string(outcome.evictedPID) + ")");
        break;
      case ServiceSingleInstance::Outcome::Kind::failed:
        throw ServiceError::instanceLockUnavailable(outcome.message);
    }
    // An instance that was killed may have left helpers running (a helper that missed or
    // ignored its parent-death signal); two helpers of one route would feed their device twice.
    platform_->endLeftoverHelpers(stopGraceSeconds, [](const std::string& line) {
      TidewellServiceLog::write(line);
    });
    platform_->recordHelpers({});
  }
}

TidewellService::~TidewellService() {
  for (dispatch_source_t source : signalSources_) {
    dispatch_source_cancel(source);
    dispatch_release(source);
  }
  if (signalQueue_) dispatch_release(signalQueue_);
}

std::optional<std::string> TidewellService::variable(const std::string& name) const {
  auto it = environment_.find(name);
  if (it == environment_.end()) return std::nullopt;
  return it->second;
}

void TidewellService::installSignalHandlers() {
  if (signalQueue_) return;
  std::signal(SIGTERM, SIG_IGN);
  std::signal(SIGINT, SIG_IGN);
  std::string label = std::string(launchAgentLabel) + ".signals";
  signalQueue_ = dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
  for (int number : {SIGTERM, SIGINT}) {
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(number), 0, signalQueue_);
    if (!source) continue;
    std::weak_ptr<std::atomic<bool>> running = isRunning_;
    std::weak_ptr<ServicePlatform> platform = platform_;
    dispatch_source_set_event_handler(source, [running, platform] {
      if (auto flag = running.lock()) flag->store(false);
      // The loop may be inside its sleep: end it, so the stop does not wait a whole interval.
      if (auto sleeper = platform.lock()) sleeper->wake();
    });
    dispatch_resume(source);
    signalSources_.push_back(source);
  }
}

void TidewellService::run() {
  installSignalHandlers();
  if (dryRun_) {
    runDryRun();
    return;
  }
  TidewellServiceLog::write("Starting Tidewell audio service");
  while (isRunning_->load()) {
    runPass();
    platform_->sleep(pollInterval_);
  }
  stopAll();
  TidewellServiceLog::write("Stopped Tidewell audio service");
}

void TidewellService::runPass() {
  platform_->beatHeartbeat();
  std::shared_ptr<const ConfigSnapshot> snapshot;
  try {
    snapshot = platform_->loadOrCreateEmpty(configFile_);
    publish(*snapshot);
  } catch (const RegionRefusedError&) {
    return;  // another user's region: said once where it was refused, and tried again next pass
  } catch (const std::exception& error) {
    TidewellServiceLog::write(std::string("Reconcile failed: ") + error.what());
    return;
  }
  reportMissingAudioServer();
  reconcile(desiredRoutes(snapshot->devices));
}

void TidewellService::reportMissingAudioServer() {
  // Once each time it goes missing: every helper started meanwhile fails, and this says why.
  bool missing = !platform_->audioServerAnswers();
  if (missing && !reportedMissingAudioServer_) TidewellServiceLog::write(AudioServerMissingMessage());
  reportedMissingAudioServer_ = missing;
}

void TidewellService::publish(const ConfigSnapshot& snapshot) {
  auto controls = RuntimeControlStoreV3::controls(snapshot);
  // The application writes the same region while the user drags a control, before it saves;
  // rewriting unchanged saved values here would make the control jump back.
  if (!lastWrittenControls_ || *lastWrittenControls_ != controls ||
      !platform_->runtimeRegionIsValid()) {
    lastWrittenControls_.reset();
    platform_->writeRuntimeRegion(controls);
    lastWrittenControls_ = std::move(controls);
  }
  platform_->writeControlRegions(snapshot);
}

void TidewellService::runDryRun() {
  auto snapshot = platform_->loadOrCreateEmpty(configFile_);
  auto controls = RuntimeControlStoreV3::controls(*snapshot);
  auto routes = desiredRoutes(snapshot->devices);
  TidewellServiceLog::write("Dry run: " + std::to_string(controls.size()) + " device(s)");
  auto word = [](bool value) { return value ? std::string("true") : std::string("false"); };
  for (const auto& entry : controls) {
    TidewellServiceLog::write("Dry run device: uid=" + entry.uid +
                              " deviceEnabled=" + word(entry.deviceEnabled) +
                              " sourceEnabled=" + word(entry.sourceEnabled) +
                              " muted=" + word(entry.muted) +
                              " gain=" + HelperValueFormat::gain(entry.sourceGain));
  }
  if (routes.empty()) TidewellServiceLog::write("Dry run route: none");
  for (const auto& route : routes) TidewellServiceLog::write("Dry run route: " + route.summary);
}

void TidewellService::stopAll() {
  for (auto& [key, managed] : routes_) {
    if (auto stopped = managed->stop("service stopping")) stoppingHelpers_.emplace(key, stopped);
  }
  routes_.clear();
  // A restarted service must never run beside helpers of this one: wait for them to end.
  stopQueue_.drain();
  stoppingHelpers_.clear();
  recordHelpers();
}

namespace TidewellServiceMain {

int main(int argc, char** argv) {
  ServiceEnvironment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  std::string programPath = argc > 0 && argv[0] ? argv[0] : "";
  try {
    TidewellService service(std::move(environment), std::move(programPath),
                            makeSystemServicePlatform());
    service.run();
  } catch (const std::exception& error) {
    TidewellServiceLog::write(std::string("Fatal error: ") + error.what());
    return 1;
  }
  return 0;
}

}  // namespace TidewellServiceMain

}  // namespace tidewell
