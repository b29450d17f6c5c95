// One health tick of the application model while the service's heartbeat is stale, so every
// tick asks the build's launchctl ("print", under its own supervisor) about a running job: the
// worst case of the 5 s check, paid on the main thread. Target: well under 5 ms.
#include <TidewellApp/LaunchAgent.h>
#include <TidewellApp/RunCommand.h>
#include <TidewellApp/ServiceInstallation.h>
#include <TidewellApp/TidewellAppModel.h>
#include <TidewellCore/ServiceFiles.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using namespace tidewell;

class LoadedRegistry final : public DeviceRegistry {
 public:
  AudioDeviceInventory deviceInventory() override { return {}; }
  std::vector<ApplicationSourceCandidate> applicationSourceCandidates() override { return {}; }
  bool halPlugInIsLoaded() override { return true; }
  bool passThruDeviceIsLoaded() override { return true; }
  std::unique_ptr<ListenerRegistration> addDeviceChangeListener(std::function<void()>) override {
    return std::make_unique<ListenerRegistration>();
  }
};

class NoPublisher final : public ConfigPublisher {
 public:
  void publish(const ConfigSnapshot&) override {}
};

class NoMeters final : public MeterSource {
 public:
  std::optional<RuntimeMeterStore::Reading> reading(std::string_view) override { return std::nullopt; }
};

void HealthTickWithAStaleHeartbeat(benchmark::State& state) {
  QTemporaryDir root;
  QDir home(root.path());
  home.mkpath("run");
  QFile::setPermissions(home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  setenv("XDG_RUNTIME_DIR", home.filePath("run").toLocal8Bit().constData(), 1);
  setenv("HOME", root.path().toLocal8Bit().constData(), 1);
  setenv("TIDEWELL_LAUNCH_BACKEND", "supervisor", 1);
  for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"}) unsetenv(name);

  LaunchAgentServiceController::Settings settings;
  settings.locations = ServiceLocations::fromEnvironment();
  settings.launchctl = QFileInfo(QFile::symLinkTarget("/proc/self/exe")).dir().filePath("launchctl");
  settings.uid = getuid();
  auto controller = std::make_shared<LaunchAgentServiceController>(settings);
  const ServiceLocations& at = settings.locations;

  // The service's agent, running a stand-in that never beats; the executables are in place.
  QDir().mkpath(at.serviceBin);
  QDir().mkpath(at.serviceLog);
  QDir().mkpath(QFileInfo(at.servicePlist).path());
  for (const QString& name : LaunchAgent::serviceExecutableNames()) {
    QFile::copy("/bin/sleep", QDir(at.serviceBin).filePath(name));
  }
  LaunchAgentDefinition agent = serviceAgentDefinition(at, "app.tidewell.main");
  agent.programArguments = {QDir(at.serviceBin).filePath("tidewell-service"), "1000"};
  writeFileAtomically(at.servicePlist, propertyListText(agent));
  ServiceHeartbeat::beat(controller->heartbeatFile().toStdString(),
                         std::chrono::system_clock::now() - std::chrono::minutes(5));
  if (runCommand(settings.launchctl, {"bootstrap", controller->domainTarget(), at.servicePlist}).status != 0) {
    state.SkipWithError("bootstrap failed");
    return;
  }

  AppEnvironment env;
  env.registry = std::make_shared<LoadedRegistry>();
  env.store = std::make_shared<ConfigStore>(root.filePath("config.json").toStdString());
  env.publisher = std::make_shared<NoPublisher>();
  env.meters = std::make_shared<NoMeters>();
  env.clock = makeSystemClock();
  env.preferences = std::make_shared<SettingsPreferences>(root.filePath("Tidewell.conf"));
  env.serviceController = controller;
  env.helperLauncher = std::make_shared<ProcessHelperLauncher>();
  TidewellAppModel model(env);
  model.healthTick();
  if (!model.serviceRunning()) {
    state.SkipWithError(("launchctl print: " + runCommand(settings.launchctl, {"print", controller->serviceTarget()}).output).toStdString().c_str());
    runCommand(settings.launchctl, {"bootout", controller->serviceTarget()});
    return;
  }
  for (auto _ : state) {
    model.healthTick();
    if (!model.serviceRunning() || !model.heartbeatStaleSince()) {
      state.SkipWithError("the tick did not see a running job with a stale heartbeat");
      break;
    }
  }
  runCommand(settings.launchctl, {"bootout", controller->serviceTarget()});
}
BENCHMARK(HealthTickWithAStaleHeartbeat)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
