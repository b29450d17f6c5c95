// The health check of the application model while the service's heartbeat is stale, so every
// tick asks launchctl ("print") about the job: the worst case of the 5 s check.
//   HealthTickWithAStaleHeartbeat: what one tick costs the main thread, against the build's
//     launchctl under its own supervisor (the answer's arrival is not timed). Target: well
//     under 5 ms.
//   EventLoopWhileLaunchctlHangs: the longest gap between two turns of the event loop (a 10 ms
//     timer) from the tick until the answer of a launchctl that takes 2 s. Target: under 100 ms
//     (counter max_gap_ms).
#include <TidewellApp/LaunchAgent.h>
#include <TidewellApp/RunCommand.h>
#include <TidewellApp/ServiceInstallation.h>
#include <TidewellApp/TidewellAppModel.h>
#include <TidewellCore/ServiceFiles.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
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

// A model's environment in `root` whose only real part is the service controller.
AppEnvironment modelEnvironment(const QTemporaryDir& root, std::shared_ptr<ServiceController> controller) {
  AppEnvironment env;
  env.registry = std::make_shared<LoadedRegistry>();
  env.store = std::make_shared<ConfigStore>(root.filePath("config.json").toStdString());
  env.publisher = std::make_shared<NoPublisher>();
  env.meters = std::make_shared<NoMeters>();
  env.clock = makeSystemClock();
  env.preferences = std::make_shared<SettingsPreferences>(root.filePath("Tidewell.conf"));
  env.serviceController = std::move(controller);
  env.helperLauncher = std::make_shared<ProcessHelperLauncher>();
  return env;
}

// Runs the event loop until launchd's answer to the last status question is in.
void answered(TidewellAppModel& model) {
  while (model.serviceStatusPending()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

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

  TidewellAppModel model(modelEnvironment(root, controller));
  answered(model);
  if (!model.serviceRunning()) {
    state.SkipWithError(("launchctl print: " + runCommand(settings.launchctl, {"print", controller->serviceTarget()}).output).toStdString().c_str());
    runCommand(settings.launchctl, {"bootout", controller->serviceTarget()});
    return;
  }
  for (auto _ : state) {
    model.healthTick();
    state.PauseTiming();
    answered(model);
    const bool seen = model.serviceRunning() && model.heartbeatStaleSince();
    state.ResumeTiming();
    if (!seen) {
      state.SkipWithError("the tick did not see a running job with a stale heartbeat");
      break;
    }
  }
  runCommand(settings.launchctl, {"bootout", controller->serviceTarget()});
}
BENCHMARK(HealthTickWithAStaleHeartbeat)->Unit(benchmark::kMillisecond);

void EventLoopWhileLaunchctlHangs(benchmark::State& state) {
  QTemporaryDir root;
  QDir home(root.path());
  setenv("HOME", root.path().toLocal8Bit().constData(), 1);
  for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"}) unsetenv(name);
  LaunchAgentServiceController::Settings settings;
  settings.locations = ServiceLocations::fromEnvironment();
  settings.uid = getuid();
  // A launchctl that answers "running" after 2 s.
  settings.launchctl = home.filePath("launchctl");
  {
    QFile script(settings.launchctl);
    script.open(QIODevice::WriteOnly);
    script.write("#!/bin/sh\nsleep 2\nprintf 'gui/0/app.tidewell.service = {\\n\\tstate = running\\n}\\n'\n");
  }
  QFile::setPermissions(settings.launchctl, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  auto controller = std::make_shared<LaunchAgentServiceController>(settings);
  const ServiceLocations& at = settings.locations;
  QDir().mkpath(QFileInfo(at.servicePlist).path());
  writeFileAtomically(at.servicePlist, propertyListText(serviceAgentDefinition(at, "app.tidewell.main")));

  TidewellAppModel model(modelEnvironment(root, controller));
  answered(model);

  double longest = 0;
  for (auto _ : state) {
    QElapsedTimer turn;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      longest = std::max(longest, double(turn.nsecsElapsed()) / 1e6);
      turn.restart();
    });
    timer.start();
    turn.start();
    model.healthTick();
    answered(model);
    longest = std::max(longest, double(turn.nsecsElapsed()) / 1e6);
    if (!model.serviceRunning()) {
      state.SkipWithError("the answer did not arrive");
      break;
    }
  }
  state.counters["max_gap_ms"] = longest;
}
BENCHMARK(EventLoopWhileLaunchctlHangs)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
