// The application's own helpers and the self-test, with stand-in programs (shell scripts) in
// place of the real ones: what each child is given, and what the model shows of its end.

#include <QDir>
#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ModelTestSupport.h"
#include "TidewellApp/HelperLaunch.h"
#include "TidewellApp/HelperProcessOutput.h"
#include "TidewellCore/ServiceFiles.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using ::testing::HasSubstr;

// ---- the model with stand-in programs ---------------------------------------------------------


class LauncherTest : public ModelTest {
 protected:
  QTemporaryDir tools;
  QTemporaryDir data;
  std::unique_ptr<TidewellAppModel> model;

  LauncherTest() {
    // No service of the developer's own session may count as running here.
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    registry->inventory.outputs = {{"spk", "Speakers", 2, true, std::nullopt}};
    registry->inventory.inputs = {{"usb", "USB Interface", 2, true, std::nullopt}};
  }
  ~LauncherTest() override {
    if (model) {
      for (QProcess* child : {model->monitorProcess(), model->hardwareSourceProcess(),
                              model->processTapProcess(), model->passThruTestProcess()}) {
        if (child) child->kill();
      }
      model.reset();
    }
    for (pid_t pid : started) {
      ::kill(pid, SIGKILL);
    }
    waitFor([&] { return std::all_of(started.begin(), started.end(), processGone); });
    QCoreApplication::processEvents();
  }

  // A stand-in program: records its environment and its pid beside itself, then runs `body`.
  // The body's leading traps are set first: a test sends its stop as soon as the pid is on
  // record, and before the trap the shell's default action would end the program instead.
  QString program(const QString& name, const QString& body) {
    const QString path = QDir(tools.path()).filePath(name);
    QString traps;
    QString rest = body;
    while (rest.startsWith("trap ")) {
      const qsizetype end = rest.indexOf('\n');
      traps += (end < 0 ? rest : rest.left(end)) + "\n";
      rest = end < 0 ? QString() : rest.mid(end + 1);
    }
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(("#!/bin/sh\n" + traps + "env > \"$0.env.$$\"\necho $$ >> \"$0.pids\"\n" + rest + "\n").toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
  }
  std::vector<pid_t> pidsOf(const QString& name) {
    std::vector<pid_t> pids;
    QFile file(QDir(tools.path()).filePath(name + ".pids"));
    if (file.open(QIODevice::ReadOnly)) {
      for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty()) pids.push_back(line.toInt());
      }
    }
    for (pid_t pid : pids) {
      if (std::find(started.begin(), started.end(), pid) == started.end()) started.push_back(pid);
    }
    return pids;
  }
  std::map<QString, QString> environmentOf(const QString& name, pid_t pid) {
    std::map<QString, QString> variables;
    QFile file(QDir(tools.path()).filePath(name + ".env." + QString::number(pid)));
    if (file.open(QIODevice::ReadOnly)) {
      for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0) variables[QString::fromUtf8(line.left(equals))] = QString::fromUtf8(line.mid(equals + 1));
      }
    }
    return variables;
  }
  void makeModel(const std::vector<DeviceConfig>& devices = {makeDevice("D", "Desk")}) {
    writeConfig(devices, devices.empty() ? std::nullopt : std::optional(devices[0].id));
    AppEnvironment env = environment();
    env.helperLauncher = std::make_shared<ProcessHelperLauncher>(QStringList{tools.path()});
    model = std::make_unique<TidewellAppModel>(env);
  }
  bool ended(pid_t pid) { return waitFor([&] { return processGone(pid); }, 10000); }

  std::vector<pid_t> started;
};

constexpr const char* runForever = "while :; do sleep 0.05; done";

TEST_F(LauncherTest, TheStatusShowsHowTheChildEnded) {
  makeModel();
  program("tidewell-monitor", "echo 'opening output' ; echo 'Could not open Speakers' >&2; exit 1");
  model->startMonitor();
  EXPECT_EQ(model->monitorStatusMessage(), "Monitoring to System Default");
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: Could not open Speakers");
  EXPECT_EQ(model->monitorProcess(), nullptr);

  // Its last line arrives in two reads split inside a character: nothing of it is lost.
  program("tidewell-monitor", "printf 'Could not open Caf\\303' >&2; sleep 0.3; printf '\\251 Speakers\\n' >&2; exit 1");
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), QString::fromUtf8("Monitor failed: Could not open Caf\u00e9 Speakers"));

  program("tidewell-monitor", "exit 3");
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: exit 3");

  program("tidewell-monitor", "echo bye; exit 0");
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");

  // Killed by a signal nobody asked for; then by the terminate request of a stop.
  program("tidewell-monitor", runForever);
  model->startMonitor();
  ASSERT_TRUE(model->monitorRunning());
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-monitor").size() == 5; }));
  const pid_t pid = pidsOf("tidewell-monitor").back();
  ::kill(pid, SIGKILL);
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: signal 9");

  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-monitor").size() == 6; }));
  ::kill(pidsOf("tidewell-monitor").back(), SIGTERM);
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: signal 15");

  model->startMonitor();
  model->stopMonitor();
  EXPECT_EQ(model->monitorStatusMessage(), "Stopping monitor");
  EXPECT_TRUE(model->monitorRunning());
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");
  model->stopMonitor();
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");
}

TEST_F(LauncherTest, EachKindGetsItsTargetsEnvironmentOnTopOfTheApplications) {
  DeviceConfig device = makeDevice("D", "Desk");
  SourceConfig usb = makeSource("H", SourceType::hardwareInput, "Desk mic");
  usb.metadata.deviceUID = "usb";
  usb.muted = true;
  usb.gain = 0.5;
  SourceConfig system = makeSource("S", SourceType::system, "Everything");
  device.sources = {usb, system};
  device.wires = {Wire{"w", {EndpointKind::source, "H", 1}, {EndpointKind::deviceOutput, "D", 2}}};
  makeModel({device});
  qputenv("TIDEWELL_BUFFER_FRAMES", "128");
  qputenv("TIDEWELL_MONITOR_OUTPUT_CHANNELS", "8");
  program("tidewell-hardware-source", runForever);
  program("tidewell-process-tap", runForever);
  model->startHardwareSource();
  model->startProcessTap();
  qunsetenv("TIDEWELL_BUFFER_FRAMES");
  qunsetenv("TIDEWELL_MONITOR_OUTPUT_CHANNELS");
  EXPECT_EQ(model->hardwareSourceStatusMessage(), "Routing muted from Desk mic");
  EXPECT_EQ(model->processTapStatusMessage(), "Capturing Everything");
  ASSERT_TRUE(waitFor([&] {
    return pidsOf("tidewell-hardware-source").size() == 1 && pidsOf("tidewell-process-tap").size() == 1 &&
           environmentOf("tidewell-process-tap", pidsOf("tidewell-process-tap")[0]).count("TIDEWELL_TAP_ROUTES") &&
           environmentOf("tidewell-hardware-source", pidsOf("tidewell-hardware-source")[0]).count("TIDEWELL_SOURCE_ROUTES");
  }));
  auto source = environmentOf("tidewell-hardware-source", pidsOf("tidewell-hardware-source")[0]);
  EXPECT_EQ(source["TIDEWELL_SOURCE_INPUT_UID"], "usb");
  EXPECT_EQ(source["TIDEWELL_SOURCE_ID"], "H");
  EXPECT_EQ(source["TIDEWELL_SOURCE_OUTPUT_UID"], QString::fromStdString(device.uid));
  EXPECT_EQ(source["TIDEWELL_SOURCE_GAIN"], "0.5");
  EXPECT_EQ(source["TIDEWELL_SOURCE_MUTED"], "1");
  EXPECT_EQ(source["TIDEWELL_SOURCE_ROUTES"], "1:2");
  EXPECT_EQ(source["TIDEWELL_BUFFER_FRAMES"], "128");
  auto tap = environmentOf("tidewell-process-tap", pidsOf("tidewell-process-tap")[0]);
  EXPECT_EQ(tap["TIDEWELL_TAP_MODE"], "system");
  EXPECT_EQ(tap["TIDEWELL_TAP_SOURCE_ID"], "S");
  EXPECT_EQ(tap["TIDEWELL_BUFFER_FRAMES"], "128");
  EXPECT_EQ(tap["TIDEWELL_MONITOR_OUTPUT_CHANNELS"], "8");
  EXPECT_EQ(tap.count("TIDEWELL_TAP_PID"), 0u);

  program("tidewell-monitor", runForever);
  qputenv("TIDEWELL_MONITOR_OUTPUT_CHANNELS", "8");
  model->startMonitor();
  qunsetenv("TIDEWELL_MONITOR_OUTPUT_CHANNELS");
  ASSERT_TRUE(waitFor([&] {
    return pidsOf("tidewell-monitor").size() == 1 &&
           environmentOf("tidewell-monitor", pidsOf("tidewell-monitor")[0]).count("TIDEWELL_MONITOR_ROUTES");
  }));
  auto monitor = environmentOf("tidewell-monitor", pidsOf("tidewell-monitor")[0]);
  EXPECT_EQ(monitor.count("TIDEWELL_MONITOR_OUTPUT_CHANNELS"), 0u);
  EXPECT_EQ(monitor.count("TIDEWELL_MONITOR_OUTPUT_UID"), 0u);
  EXPECT_EQ(monitor["TIDEWELL_MONITOR_INPUT_UID"], QString::fromStdString(device.uid));
  EXPECT_EQ(monitor["TIDEWELL_MONITOR_ROUTES"], "1:1,2:2");
}

TEST_F(LauncherTest, ARememberedPidBelowOneOrUnreadableNamesNoApplication) {
  makeModel();
  program("tidewell-process-tap", runForever);
  for (const char* text : {"0", "+0", "-5", "-2147483648", "2147483648", "chrome"}) {
    model->setSelectedApplicationPID(text);
    EXPECT_EQ(model->processTapLaunchTarget(), std::nullopt) << text;
    model->startProcessTap();
    EXPECT_EQ(model->processTapStatusMessage(), "Selected application is unavailable") << text;
    EXPECT_FALSE(model->processTapRunning());
  }
  model->setSelectedApplicationPID("+123");
  auto target = model->processTapLaunchTarget();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, 123);
  EXPECT_EQ(target->name, "PID 123");
  QTest::qWait(100);
  EXPECT_TRUE(pidsOf("tidewell-process-tap").empty());
}

// Holds the service's single-instance lock as a running service does, until destroyed.
class ServiceLockHolder {
 public:
  ServiceLockHolder() {
    const auto file = TidewellCore::serviceLockFileURL();
    std::filesystem::create_directories(file.parent_path());
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
  }
  ~ServiceLockHolder() { ::close(fd_); }

 private:
  int fd_ = -1;
};

TEST_F(LauncherTest, NothingStartsWhileTheServiceRuns) {
  makeModel();
  program("tidewell-monitor", runForever);
  program("tidewell-hardware-source", runForever);
  program("tidewell-process-tap", runForever);
  program("tidewell-hal-smoke", "exit 0");
  model->setSelectedHardwareInputUID("usb");
  {
    ServiceLockHolder service;
    model->startMonitor();
    model->startHardwareSource();
    model->startProcessTap();
    EXPECT_EQ(model->monitorStatusMessage(), "Stop the service before monitoring");
    EXPECT_EQ(model->hardwareSourceStatusMessage(), "Stop the service before starting source");
    EXPECT_EQ(model->processTapStatusMessage(), "Stop the service before starting capture");
    EXPECT_FALSE(model->monitorRunning() || model->hardwareSourceRunning() || model->processTapRunning());
  }

  // The agent's state counts as well, lock or not.
  model->setServiceRunning(true);
  model->startMonitor();
  EXPECT_FALSE(model->monitorRunning());
  model->setServiceRunning(false);
  model->startMonitor();
  EXPECT_TRUE(model->monitorRunning());
  QTest::qWait(100);
  EXPECT_EQ(pidsOf("tidewell-monitor").size(), 1u);
  EXPECT_TRUE(pidsOf("tidewell-hardware-source").empty());
  EXPECT_TRUE(pidsOf("tidewell-process-tap").empty());
}

// Fault mended: for 10 s after the service stopped or crashed its fresh heartbeat file refused
// every start, while the window showed the service as off.
TEST_F(LauncherTest, AStoppedServicesFreshHeartbeatRefusesNothing) {
  makeModel();
  program("tidewell-monitor", runForever);
  { ServiceLockHolder service; }  // it ran, and has ended
  ServiceHeartbeat::beat(TidewellCore::serviceHeartbeatFileURL());
  ASSERT_FALSE(model->serviceRunning());
  model->startMonitor();
  EXPECT_EQ(model->monitorStatusMessage(), "Monitoring to System Default");
  EXPECT_TRUE(model->monitorRunning());
}

// The stand-in answers a terminate request slowly and then ends cleanly; a killed one never
// writes its farewell.
constexpr const char* slowToStop =
    "trap 'sleep 0.5; echo clean > \"$0.farewell.$$\"; exit 0' TERM\nwhile :; do sleep 0.05; done";

TEST_F(LauncherTest, AStartOverARunningChildEndsTheOldOneFirst) {
  makeModel();
  program("tidewell-monitor", slowToStop);
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-monitor").size() == 1; }));
  QProcess* first = model->monitorProcess();
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-monitor").size() == 2; }));
  const auto pids = pidsOf("tidewell-monitor");
  EXPECT_NE(model->monitorProcess(), first);
  EXPECT_TRUE(ended(pids[0]));
  EXPECT_TRUE(QFile::exists(QDir(tools.path()).filePath("tidewell-monitor.farewell." + QString::number(pids[0]))));
  EXPECT_FALSE(processGone(pids[1]));
  EXPECT_TRUE(model->monitorRunning());
}

// Fault mended: a stop or restart never went past SIGTERM, so a helper that ignores it stayed
// "Stopping" for ever, or played on beside its replacement.
constexpr const char* ignoresTerminate = "trap '' TERM\nwhile :; do sleep 0.05; done";

TEST_F(LauncherTest, AHelperThatIgnoresTheStopRequestIsKilledAfterTheGrace) {
  makeModel();
  program("tidewell-monitor", ignoresTerminate);
  model->startMonitor();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-monitor").size() == 1; }));
  const pid_t first = pidsOf("tidewell-monitor")[0];
  model->stopMonitor();
  EXPECT_EQ(model->monitorStatusMessage(), "Stopping monitor");
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 20000));
  EXPECT_TRUE(ended(first));
  // Killed, not ended by the request: the stop did not go as asked, and the status says so.
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: signal 9");
  EXPECT_EQ(model->monitorProcess(), nullptr);

  // A restart's replaced child does not play on beside the new one.
  model->setSelectedHardwareInputUID("usb");
  program("tidewell-hardware-source", ignoresTerminate);
  model->startHardwareSource();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-hardware-source").size() == 1; }));
  model->restartHardwareSource();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-hardware-source").size() == 2; }));
  const auto pids = pidsOf("tidewell-hardware-source");
  EXPECT_TRUE(ended(pids[0]));
  EXPECT_FALSE(processGone(pids[1]));
  EXPECT_TRUE(model->hardwareSourceRunning());
  EXPECT_EQ(model->hardwareSourceStatusMessage(), "Routing from USB Interface");
}

TEST_F(LauncherTest, ALaunchErrorIsShownAndLeavesNothingRunning) {
  makeModel();
  program("tidewell-monitor", runForever);
  model->startMonitor();
  ASSERT_TRUE(model->monitorRunning());
  const pid_t first = pid_t(model->monitorProcess()->processId());
  // A program the system refuses to run: its interpreter does not exist.
  QFile broken(QDir(tools.path()).filePath("tidewell-monitor"));
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
  broken.write("#!/nonexistent/interpreter\n");
  broken.close();
  model->startMonitor();
  EXPECT_TRUE(model->monitorStatusMessage().startsWith("Could not start monitor: "))
      << model->monitorStatusMessage().toStdString();
  EXPECT_FALSE(model->monitorRunning());
  EXPECT_EQ(model->monitorProcess(), nullptr);
  EXPECT_TRUE(ended(first));
}

TEST_F(LauncherTest, ARestartLetsTheReplacedChildFinishAndItsEndChangesNothing) {
  makeModel();
  program("tidewell-hardware-source", slowToStop);
  model->setSelectedHardwareInputUID("usb");
  model->startHardwareSource();
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-hardware-source").size() == 1; }));
  SignalLog log(*model);
  model->restartHardwareSource();
  EXPECT_EQ(log.take(), (std::vector<std::string>{"hardwareSourceRunning", "hardwareSourceRunning"}));
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-hardware-source").size() == 2; }));
  const auto pids = pidsOf("tidewell-hardware-source");
  // The replaced child is still shutting down by itself, not killed and not waited for.
  EXPECT_FALSE(processGone(pids[0]));
  ASSERT_TRUE(ended(pids[0]));
  EXPECT_TRUE(QFile::exists(QDir(tools.path()).filePath("tidewell-hardware-source.farewell." +
                                                        QString::number(pids[0]))));
  QTest::qWait(200);
  EXPECT_TRUE(model->hardwareSourceRunning());
  EXPECT_EQ(model->hardwareSourceStatusMessage(), "Routing from USB Interface");
  EXPECT_TRUE(log.take().empty());
  // Dropping the model (the application's end) asks the running child to end and waits for it
  // within the grace: it finishes by itself, not killed.
  model.reset();
  EXPECT_TRUE(processGone(pids[1]));
  EXPECT_TRUE(QFile::exists(QDir(tools.path()).filePath("tidewell-hardware-source.farewell." +
                                                        QString::number(pids[1]))));
}

TEST_F(LauncherTest, EditsRestartOnlyTheHelperThatPlaysTheEditedItem) {
  DeviceConfig device = makeDevice("D", "Desk");
  SourceConfig usb = makeSource("H", SourceType::hardwareInput, "Desk mic");
  usb.metadata.deviceUID = "usb";
  device.sources.push_back(usb);
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 77));
  makeModel({device});
  program("tidewell-hardware-source", runForever);
  program("tidewell-process-tap", runForever);
  model->setSelectedHardwareInputUID("usb");
  model->setSelectedApplicationPID("77");
  model->startHardwareSource();
  model->startProcessTap();
  EXPECT_EQ(model->processTapStatusMessage(), "Capturing App A");
  QProcess* source = model->hardwareSourceProcess();
  QProcess* tap = model->processTapProcess();
  model->restartProcessTapIfRunning(std::string("H"));
  model->restartHardwareSourceIfRunning(std::string("A"));
  EXPECT_EQ(model->processTapProcess(), tap);
  EXPECT_EQ(model->hardwareSourceProcess(), source);
  model->restartHardwareSourceIfRunning(std::string("H"));
  model->restartProcessTapIfRunning(std::string("A"));
  EXPECT_NE(model->hardwareSourceProcess(), source);
  EXPECT_NE(model->processTapProcess(), tap);
  tap = model->processTapProcess();
  model->restartProcessTapIfRunning(std::string("not-on-this-device"));
  EXPECT_NE(model->processTapProcess(), tap);
  EXPECT_TRUE(model->processTapRunning() && model->hardwareSourceRunning());
}

ConfigSnapshot withDevice(const DeviceConfig& device) {
  ConfigSnapshot snapshot = ConfigSnapshot::empty();
  snapshot.devices = {device};
  snapshot.ui.selectedDeviceID = device.id;
  return snapshot;
}

TEST_F(LauncherTest, LaunchTargetsFollowTheRememberedPicksAndTheShownDevice) {
  DeviceConfig device = makeDevice("D", "Desk");
  MonitorConfig off = makeMonitor("M0", "Off");
  off.deviceUID = "spk";
  off.enabled = false;
  MonitorConfig gone = makeMonitor("M1", "Gone");
  gone.deviceUID = "unplugged";
  device.monitors = {off};
  makeModel({device});
  model->setAudioDeviceInventory(registry->inventory);
  // No remembered output, every monitor disabled: the system default output.
  auto monitor = model->monitorLaunchTarget();
  ASSERT_TRUE(monitor);
  EXPECT_EQ(monitor->name, "System Default");
  EXPECT_EQ(monitor->uid, std::nullopt);
  EXPECT_EQ(monitor->monitorID, std::nullopt);
  EXPECT_EQ(monitor->routes, "1:1,2:2");
  // A remembered output whose only monitor is disabled.
  model->setSelectedMonitorOutputUID("spk");
  ASSERT_TRUE(model->monitorLaunchTarget());
  EXPECT_FALSE(model->monitorLaunchTarget()->enabled);
  EXPECT_EQ(model->monitorLaunchTarget()->name, "Off");
  // A remembered output that is no longer there.
  model->setSelectedMonitorOutputUID("unplugged");
  EXPECT_EQ(model->monitorLaunchTarget(), std::nullopt);

  // No remembered output and a first enabled monitor on a missing output: no fall-back.
  device.monitors = {gone, off};
  ASSERT_TRUE(model->saveEditedSnapshot(withDevice(device), "Saved"));
  model->setSelectedMonitorOutputUID("");
  EXPECT_EQ(model->monitorLaunchTarget(), std::nullopt);

  // A remembered input the device has no source for: unity gain, default routes, its own name.
  model->setSelectedHardwareInputUID("usb");
  auto source = model->hardwareSourceLaunchTarget();
  ASSERT_TRUE(source);
  EXPECT_EQ(source->name, "USB Interface");
  EXPECT_EQ(source->sourceID, std::nullopt);
  EXPECT_EQ(source->gain, 1.0);
  model->setSelectedHardwareInputUID("gone");
  EXPECT_EQ(model->hardwareSourceLaunchTarget(), std::nullopt);
  model->setSelectedHardwareInputUID("");
  EXPECT_EQ(model->hardwareSourceLaunchTarget(), std::nullopt);

  // No remembered application and no system source: system audio.
  auto tap = model->processTapLaunchTarget();
  ASSERT_TRUE(tap);
  EXPECT_EQ(tap->mode, "system");
  EXPECT_EQ(tap->name, "System Audio");
  // A remembered application that is not running but is configured still starts, by its name.
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 4242));
  ASSERT_TRUE(model->saveEditedSnapshot(withDevice(device), "Saved"));
  model->setSelectedApplicationPID("4242");
  tap = model->processTapLaunchTarget();
  ASSERT_TRUE(tap);
  EXPECT_EQ(tap->mode, "application");
  EXPECT_EQ(tap->name, "App A");
  EXPECT_EQ(tap->sourceID, std::string("A"));
}

// ---- the self-test ---------------------------------------------------------------------------

TEST_F(LauncherTest, SelfTestVerdicts) {
  makeModel();
  registry->pluginLoaded = false;
  model->runPassThruSelfTest();
  EXPECT_EQ(model->statusMessage(), "Install the driver before running the test");
  registry->pluginLoaded = true;
  model->runPassThruSelfTest();
  EXPECT_EQ(model->statusMessage(), "Pass-thru test helper is missing");

  program("tidewell-hal-smoke", "echo 'playing'; echo '  tone  Captured RMS: -12.00 dBFS '; sleep 0.3; exit 0");
  model->runPassThruSelfTest();
  EXPECT_EQ(model->statusMessage(), "Running pass-thru test");
  EXPECT_TRUE(model->passThruTestRunning());
  // A second press while it runs changes nothing.
  SignalLog log(*model);
  model->runPassThruSelfTest();
  EXPECT_TRUE(log.take().empty());
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 10000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test passed, tone  Captured RMS: -12.00 dBFS");

  program("tidewell-hal-smoke", "echo 'tidewell-hal-smoke: no pass-thru device' >&2; exit 1");
  model->runPassThruSelfTest();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 10000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test failed: tidewell-hal-smoke: no pass-thru device");

  program("tidewell-hal-smoke", "kill -9 $$");
  model->runPassThruSelfTest();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 10000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test failed: signal 9");
}

TEST_F(LauncherTest, ASelfTestThatNeverEndsIsStoppedAndReportedAsFailed) {
  makeModel();
  model->setPassThruTestTimeout(std::chrono::seconds(1));
  program("tidewell-hal-smoke", "trap '' TERM\nwhile :; do sleep 0.05; done");
  model->runPassThruSelfTest();
  ASSERT_TRUE(model->passThruTestRunning());
  ASSERT_TRUE(waitFor([&] { return pidsOf("tidewell-hal-smoke").size() == 1; }));
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 10000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test failed: no result after 1 s");
  EXPECT_EQ(model->passThruTestProcess(), nullptr);
  // Even one that ignores the terminate request is gone in the end.
  EXPECT_TRUE(ended(pidsOf("tidewell-hal-smoke")[0]));
  // The button works again.
  program("tidewell-hal-smoke", "exit 0");
  model->runPassThruSelfTest();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 10000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test passed");
}

}  // namespace
}  // namespace tidewell::testing
