#pragma once
// Fakes of everything the application model reaches outside itself, and a fixture that builds
// a model over them in a temporary folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <csignal>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/TidewellAppModel.h"

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* stream) { *stream << '"' << text.toStdString() << '"'; }

namespace tidewell::testing {

// One QCoreApplication for the whole test program.
inline QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "TidewellAppModelTests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance()
                                     ? QCoreApplication::instance()
                                     : new QCoreApplication(argc, argv);
  return *app;
}

// Runs the event loop until the condition holds or the limit passes; returns the condition.
template <class Condition>
bool waitFor(Condition condition, int limitMilliseconds = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition() && timer.elapsed() < limitMilliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QTest::qSleep(2);
  }
  return condition();
}

// Records the names of the model's change signals in the order they fire.
class SignalLog {
 public:
  explicit SignalLog(TidewellAppModel& model) {
    using Signal = void (TidewellAppModel::*)();
    const std::vector<std::pair<std::string, Signal>> signalList = {
        {"snapshot", &TidewellAppModel::snapshotChanged},
        {"validation", &TidewellAppModel::validationChanged},
        {"halDriverLoaded", &TidewellAppModel::halDriverLoadedChanged},
        {"statusMessage", &TidewellAppModel::statusMessageChanged},
        {"serviceInstalled", &TidewellAppModel::serviceInstalledChanged},
        {"serviceRunning", &TidewellAppModel::serviceRunningChanged},
        {"serviceResponsive", &TidewellAppModel::serviceResponsiveChanged},
        {"serviceBinariesInstalled", &TidewellAppModel::serviceBinariesInstalledChanged},
        {"runtimePublishFailed", &TidewellAppModel::runtimePublishFailedChanged},
        {"serviceActionRunning", &TidewellAppModel::serviceActionRunningChanged},
        {"serviceStatusMessage", &TidewellAppModel::serviceStatusMessageChanged},
        {"passThruTestRunning", &TidewellAppModel::passThruTestRunningChanged},
        {"monitorRunning", &TidewellAppModel::monitorRunningChanged},
        {"monitorStatusMessage", &TidewellAppModel::monitorStatusMessageChanged},
        {"hardwareSourceRunning", &TidewellAppModel::hardwareSourceRunningChanged},
        {"hardwareSourceStatusMessage", &TidewellAppModel::hardwareSourceStatusMessageChanged},
        {"processTapRunning", &TidewellAppModel::processTapRunningChanged},
        {"processTapStatusMessage", &TidewellAppModel::processTapStatusMessageChanged},
        {"audioDeviceInventory", &TidewellAppModel::audioDeviceInventoryChanged},
        {"applicationSourceCandidates", &TidewellAppModel::applicationSourceCandidatesChanged},
        {"developerMode", &TidewellAppModel::developerModeChanged},
        {"selectedMonitorOutputUID", &TidewellAppModel::selectedMonitorOutputUIDChanged},
        {"selectedHardwareInputUID", &TidewellAppModel::selectedHardwareInputUIDChanged},
        {"selectedApplicationPID", &TidewellAppModel::selectedApplicationPIDChanged},
        {"selectedDeviceID", &TidewellAppModel::selectedDeviceIDChanged},
        {"heartbeatStaleSince", &TidewellAppModel::heartbeatStaleSinceChanged},
        {"healthTimer", &TidewellAppModel::healthTimerChanged},
        {"audioDeviceRefreshScheduled", &TidewellAppModel::audioDeviceRefreshScheduledChanged},
        {"isUninstalling", &TidewellAppModel::isUninstallingChanged},
        {"liveSnapshot", &TidewellAppModel::liveSnapshotChanged},
        {"liveCommitStatus", &TidewellAppModel::liveCommitStatusChanged},
        {"liveCommitWorkItem", &TidewellAppModel::liveCommitWorkItemChanged},
        {"terminationFlushInstalled", &TidewellAppModel::terminationFlushInstalledChanged},
        {"selectedDevice", &TidewellAppModel::selectedDeviceChanged},
        {"monitorOutputDevices", &TidewellAppModel::monitorOutputDevicesChanged},
        {"hardwareInputDevices", &TidewellAppModel::hardwareInputDevicesChanged},
        {"defaultMonitorOutput", &TidewellAppModel::defaultMonitorOutputChanged},
        {"defaultHardwareInput", &TidewellAppModel::defaultHardwareInputChanged}};
    for (const auto& [name, signal] : signalList) {
      connections_.push_back(
          QObject::connect(&model, signal, [this, name = name] { names_.push_back(name); }));
    }
  }
  ~SignalLog() {
    for (auto& connection : connections_) QObject::disconnect(connection);
  }
  std::vector<std::string> take() { return std::exchange(names_, {}); }

 private:
  std::vector<QMetaObject::Connection> connections_;
  std::vector<std::string> names_;
};

class FakeRegistry : public DeviceRegistry {
 public:
  struct Listener : ListenerRegistration {
    FakeRegistry* owner;
    explicit Listener(FakeRegistry* owner) : owner(owner) {}
    ~Listener() override {
      std::lock_guard guard(owner->lock);
      owner->changed = nullptr;
    }
  };

  std::mutex lock;
  AudioDeviceInventory inventory;
  std::vector<ApplicationSourceCandidate> candidates;
  bool pluginLoaded = true;
  bool passThruLoaded = false;
  std::function<void()> changed;
  std::atomic<int> inventoryReads{0};
  // Inventory reads happen in this order of events; a test can look at it.
  std::vector<std::string> events;
  // When set, a read (other than on the main thread) waits for this to return.
  std::function<AudioDeviceInventory(int readNumber)> slowRead;

  AudioDeviceInventory deviceInventory() override {
    int number = ++inventoryReads;
    std::function<AudioDeviceInventory(int)> slow;
    {
      std::lock_guard guard(lock);
      events.push_back("inventory");
      slow = slowRead;
    }
    if (slow) return slow(number);
    std::lock_guard guard(lock);
    return inventory;
  }
  std::vector<ApplicationSourceCandidate> applicationSourceCandidates() override {
    std::lock_guard guard(lock);
    return candidates;
  }
  bool halPlugInIsLoaded() override { return pluginLoaded; }
  bool passThruDeviceIsLoaded() override { return passThruLoaded; }
  std::unique_ptr<ListenerRegistration> addDeviceChangeListener(
      std::function<void()> callback) override {
    std::lock_guard guard(lock);
    events.push_back("listen");
    changed = std::move(callback);
    return std::make_unique<Listener>(this);
  }
  // Fires the listener as the audio server would: from a thread of its own.
  void notify() {
    std::function<void()> callback;
    {
      std::lock_guard guard(lock);
      callback = changed;
    }
    std::thread([callback] {
      if (callback) callback();
    }).join();
  }
};

class FakePublisher : public ConfigPublisher {
 public:
  std::vector<ConfigSnapshot> published;
  bool failing = false;
  void publish(const ConfigSnapshot& snapshot) override {
    if (failing) throw std::runtime_error("region unavailable");
    published.push_back(snapshot);
  }
};

class FakeMeters : public MeterSource {
 public:
  std::map<std::string, RuntimeMeterStore::Reading, std::less<>> readings;
  // Called on every read, before it answers: a test looks at its reader from inside a pass.
  std::function<void()> whileRead;
  std::optional<RuntimeMeterStore::Reading> reading(std::string_view owner) override {
    if (whileRead) whileRead();
    auto found = readings.find(owner);
    if (found == readings.end()) return std::nullopt;
    return found->second;
  }
};

class FakeClock : public Clock {
 public:
  TimePoint time = TimePoint(std::chrono::seconds(1'765'000'000));
  TimePoint now() override { return time; }
  void advance(double seconds) {
    time += std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(seconds));
  }
};

class RecordingLauncher : public HelperLauncher {
 public:
  std::vector<std::string> calls;
  void restartHardwareSourceIfRunning(TidewellAppModel&, const std::string& id) override {
    calls.push_back("hardware:" + id);
  }
  void restartProcessTapIfRunning(TidewellAppModel&, const std::string& id) override {
    calls.push_back("tap:" + id);
  }
  void restartMonitorIfRunning(TidewellAppModel&, const std::string& id) override {
    calls.push_back("monitor:" + id);
  }
  void restartMonitor(TidewellAppModel&) override { calls.push_back("restart monitor"); }
  void restartHardwareSource(TidewellAppModel&) override { calls.push_back("restart hardware"); }
  void restartProcessTap(TidewellAppModel&) override { calls.push_back("restart tap"); }
};

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

// True once the process has ended: no such process, or an orphan that nobody has reaped yet.
inline bool processGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

inline std::filesystem::file_time_type modificationTime(const std::filesystem::path& file) {
  std::error_code ignored;
  return std::filesystem::last_write_time(file, ignored);
}

class ModelTest : public ::testing::Test {
 protected:
  QTemporaryDir folder;
  std::filesystem::path configFile = std::filesystem::path(folder.path().toStdString()) / "config.json";
  QString preferencesFile = folder.path() + "/Tidewell.conf";
  std::shared_ptr<FakeRegistry> registry = std::make_shared<FakeRegistry>();
  std::shared_ptr<FakePublisher> publisher = std::make_shared<FakePublisher>();
  std::shared_ptr<FakeMeters> meters = std::make_shared<FakeMeters>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
  std::shared_ptr<ConfigStore> store = std::make_shared<ConfigStore>(configFile);

  ModelTest() { application(); }

  AppEnvironment environment() {
    AppEnvironment env;
    env.registry = registry;
    env.store = store;
    env.publisher = publisher;
    env.meters = meters;
    env.clock = clock;
    env.preferences = std::make_shared<SettingsPreferences>(preferencesFile);
    env.serviceController = std::make_shared<InertServiceController>();
    env.helperLauncher = launcher;
    return env;
  }
  std::unique_ptr<TidewellAppModel> makeModel() {
    return std::make_unique<TidewellAppModel>(environment());
  }
  // A configuration file with these devices, saved the way the application saves it.
  void writeConfig(const std::vector<DeviceConfig>& devices,
                   std::optional<std::string> selected = std::nullopt) {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    snapshot.devices = devices;
    snapshot.ui.selectedDeviceID = std::move(selected);
    store->save(snapshot);
  }
  ConfigSnapshot savedConfig() { return store->load(); }
};

// A device with fixed ids: device `id`, pass-thru source id + "-pt", identity wires.
inline DeviceConfig makeDevice(const std::string& id, const std::string& name) {
  int next = 0;
  std::vector<std::string> ids{id, id + "-pt", id + "-w1", id + "-w2"};
  return DeviceConfig::makeDefault(name, 48000.0, [&] { return ids[std::size_t(next++)]; });
}

// A 2-channel source of this type, enabled, at unity gain.
inline SourceConfig makeSource(const std::string& id, SourceType type, const std::string& name) {
  SourceConfig source;
  source.id = id;
  source.type = type;
  source.name = name;
  source.channelCount = 2;
  return source;
}

inline MonitorConfig makeMonitor(const std::string& id, const std::string& name) {
  MonitorConfig monitor;
  monitor.id = id;
  monitor.name = name;
  monitor.channelCount = 2;
  return monitor;
}

inline SourceConfig makeApplicationSource(const std::string& id, const std::string& bundle,
                                          std::int32_t pid) {
  SourceConfig source = makeSource(id, SourceType::application, "App " + id);
  source.metadata.bundleIdentifier = bundle;
  source.metadata.pid = pid;
  source.metadata.processObjectID = std::uint64_t(pid) * 10;
  return source;
}

inline ApplicationSourceCandidate candidate(const std::string& bundle, std::int32_t pid,
                                            std::uint64_t object = 0) {
  return ApplicationSourceCandidate{"App", bundle, pid, object ? std::optional(object) : std::nullopt};
}

}  // namespace tidewell::testing
