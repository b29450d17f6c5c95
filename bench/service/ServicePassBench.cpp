// One pass of the routing service (load, publish, inventory, desired routes, reconcile) with
// the largest configuration the system supports: 16 devices of 64 channels, 8 sources each,
// every source wired channel for channel.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "ConfigFileCache.h"
#include "ServicePlatform.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/SourceControlStore.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellService.h"
#include "TidewellServiceLog.h"

namespace tidewell {
namespace {

constexpr int deviceCount = 16;
constexpr int channelCount = 64;

ConfigSnapshot largeConfiguration() {
  ConfigSnapshot snapshot = ConfigSnapshot::empty();
  for (int d = 0; d < deviceCount; ++d) {
    DeviceConfig device;
    device.id = "device-" + std::to_string(d);
    device.name = "Device " + std::to_string(d);
    device.uid = TidewellCore::derivedDeviceUID(device.id);
    device.channelCount = channelCount;
    device.channelGains = std::vector<double>(channelCount, 0.9);
    SourceType types[8] = {SourceType::passThru,      SourceType::system,
                           SourceType::system,        SourceType::hardwareInput,
                           SourceType::hardwareInput, SourceType::application,
                           SourceType::application,   SourceType::virtualDevice};
    for (int s = 0; s < 8; ++s) {
      SourceConfig source;
      source.id = device.id + "-source-" + std::to_string(s);
      source.type = types[s];
      source.name = "Source " + std::to_string(s);
      source.channelCount = channelCount;
      source.gain = 0.8;
      source.channelGains = std::vector<double>(channelCount, 0.7);
      if (source.type == SourceType::hardwareInput) source.metadata.deviceUID = "hardware-" + std::to_string(s);
      if (source.type == SourceType::application) {
        source.metadata.bundleIdentifier = "org.example.app" + std::to_string(s);
        source.metadata.pid = 1000 + s;
      }
      if (source.type == SourceType::virtualDevice) {
        source.metadata.sourceDeviceID = "device-" + std::to_string((d + 1) % deviceCount);
        if (d == deviceCount - 1) source.enabled = false;  // no loop round all devices
      }
      for (int c = 1; c <= channelCount; ++c) {
        device.wires.push_back(Wire{source.id + "-w" + std::to_string(c),
                                    WireEndpoint{EndpointKind::source, source.id, c},
                                    WireEndpoint{EndpointKind::deviceOutput, device.id, c}});
      }
      device.sources.push_back(source);
    }
    snapshot.devices.push_back(device);
  }
  return snapshot;
}

class NoProcess final : public HelperProcess {
 public:
  pid_t pid() const override { return 1; }
  bool isRunning() override { return true; }
  int terminationStatus() override { return 0; }
  void sendSignal(int) override {}
  bool waitForExit(std::chrono::duration<double>) override { return true; }
};

// The real configuration file and shared memory; a fixed inventory and running applications
// (the audio server is measured by the registry's own tests); helpers that start instantly.
class BenchPlatform final : public ServicePlatform {
 public:
  std::unique_ptr<ServicePlatform> system = makeSystemServicePlatform();
  AudioDeviceInventory inventory;
  bool forceRuntimeWrite = false;

  BenchPlatform() {
    for (int s = 0; s < 8; ++s) {
      inventory.inputs.push_back(AudioDeviceInfo{"hardware-" + std::to_string(s), "Input", 2, false, {}});
    }
    for (int d = 0; d < deviceCount; ++d) {
      auto uid = TidewellCore::derivedDeviceUID("device-" + std::to_string(d));
      inventory.inputs.push_back(AudioDeviceInfo{uid, "Device", channelCount, false, {}});
      inventory.outputs.push_back(AudioDeviceInfo{uid, "Device", channelCount, false, {}});
    }
  }
  ServiceSingleInstance::Outcome acquireInstanceLock(double, double,
                                                     const std::function<void(const std::string&)>&) override {
    return ServiceSingleInstance::Outcome::acquired();
  }
  void beatHeartbeat() override {}
  std::filesystem::path defaultConfigFile() override { return {}; }
  std::shared_ptr<const ConfigSnapshot> loadOrCreateEmpty(const std::filesystem::path& file) override {
    return system->loadOrCreateEmpty(file);
  }
  bool runtimeRegionIsValid() override { return !forceRuntimeWrite && system->runtimeRegionIsValid(); }
  void writeRuntimeRegion(const std::vector<RuntimeDeviceControls>& controls) override {
    system->writeRuntimeRegion(controls);
  }
  void writeControlRegions(const ConfigSnapshot& snapshot) override { system->writeControlRegions(snapshot); }
  AudioDeviceInventory deviceInventory() override { return inventory; }
  bool applicationIsRunning(std::int32_t pid) override { return pid >= 1000; }
  std::optional<std::string> bundleIdentifierOf(std::int32_t pid) override {
    return "org.example.app" + std::to_string(pid - 1000);
  }
  std::vector<std::int32_t> runningPIDs(const std::string&) override { return {}; }
  std::shared_ptr<HelperProcess> launch(const std::filesystem::path&, const ServiceEnvironment&,
                                        std::string&) override {
    return std::make_shared<NoProcess>();
  }
  void endLeftoverHelpers(double, const std::function<void(const std::string&)>&) override {}
  void recordHelpers(const std::vector<StartedHelper>&) override {}
  Clock::time_point now() override { return Clock::now(); }
  void sleep(double) override {}
};

struct Setup {
  std::filesystem::path folder;
  std::shared_ptr<BenchPlatform> platform = std::make_shared<BenchPlatform>();
  std::unique_ptr<TidewellService> service;

  Setup() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tidewell-bench-XXXXXX").string();
    folder = mkdtemp(pattern.data());
    for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName, HelperPaths::processTapName}) {
      std::ofstream(folder / name) << "#!/bin/sh\n";
      std::filesystem::permissions(folder / name, std::filesystem::perms::owner_all);
    }
    ConfigStore(folder / "config.json").save(largeConfiguration());
    ServiceEnvironment environment{{"TIDEWELL_HELPER_DIR", folder.string()},
                                   {"TIDEWELL_CONFIG_PATH", (folder / "config.json").string()}};
    service = std::make_unique<TidewellService>(environment, "", platform);
  }
  ~Setup() {
    service.reset();
    std::filesystem::remove_all(folder);
  }
};

bool inPrivateSharedMemory(benchmark::State& state) {
  if (std::getenv("TIDEWELL_IN_PRIVATE_SHM")) return true;
  state.SkipWithError("publishes the system's region names: run under scripts/private-shm");
  return false;
}

// A steady pass: the saved file unchanged (and settled, so the poll need not read it again),
// helpers running.
void BM_ServicePass(benchmark::State& state) {
  if (!inPrivateSharedMemory(state)) return;
  TidewellServiceLog::setObserver({});
  Setup setup;
  setup.platform->forceRuntimeWrite = state.range(0) != 0;
  std::this_thread::sleep_for(ConfigFileCache::settleTime + std::chrono::milliseconds(200));
  int saved = dup(STDOUT_FILENO);  // the first pass logs a line per started helper
  freopen("/dev/null", "w", stdout);
  setup.service->runPass();
  for (auto _ : state) setup.service->runPass();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  state.counters["routes"] = static_cast<double>(setup.service->routes().size());
}
BENCHMARK(BM_ServicePass)->Arg(0)->Arg(1)->ArgNames({"runtimeRewrite"})->Unit(benchmark::kMicrosecond);

void BM_LoadConfiguration(benchmark::State& state) {
  Setup setup;
  ConfigStore store(setup.folder / "config.json");
  for (auto _ : state) benchmark::DoNotOptimize(store.loadOrCreateEmpty());
}
BENCHMARK(BM_LoadConfiguration)->Unit(benchmark::kMicrosecond);

void BM_DesiredRoutes(benchmark::State& state) {
  Setup setup;
  auto snapshot = largeConfiguration();
  for (auto _ : state) benchmark::DoNotOptimize(setup.service->desiredRoutes(snapshot.devices));
}
BENCHMARK(BM_DesiredRoutes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tidewell

BENCHMARK_MAIN();
