// The application's own helpers and the self-test against a private stand-in audio server with
// the plug-in, and no service: what each helper plays is heard where its target says.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <QElapsedTimer>
#include <QFile>
#include <cmath>
#include <fcntl.h>
#include <sys/wait.h>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "ModelTestSupport.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {


class HelperServerTest : public ModelTest {
 protected:
  PrivateAudioServer server{true};
  QTemporaryDir data;
  std::unique_ptr<TidewellAppModel> model;
  DeviceConfig device = makeDevice("V", "Virtual");
  pid_t player = -1;

  HelperServerTest() {
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    device.uid = TidewellCore::derivedDeviceUID("V");
  }
  ~HelperServerTest() override {
    if (model) {
      for (QProcess* child : {model->monitorProcess(), model->hardwareSourceProcess(),
                              model->processTapProcess(), model->passThruTestProcess()}) {
        if (child) child->terminate();
      }
      model.reset();
    }
    if (player > 0) {
      ::kill(player, SIGTERM);
      ::waitpid(player, nullptr, 0);
    }
    QTest::qWait(300);
  }

  void start(const std::vector<DeviceConfig>& devices, QStringList folders = {}) {
    if (folders.isEmpty()) folders = {QString::fromStdString(binDirectory().string())};
    writeConfig(devices, devices.empty() ? std::nullopt : std::optional(devices[0].id));
    AppEnvironment env = environment();
    env.registry = makeAudioServerDeviceRegistry();
    env.publisher = makeRuntimeConfigPublisher();
    env.helperLauncher = std::make_shared<ProcessHelperLauncher>(folders);
    model = std::make_unique<TidewellAppModel>(env);
    for (const auto& each : devices) {
      ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(each.uid); }));
    }
  }

  // A second of what a recording application hears from a device's input.
  std::vector<tools::ChannelReport> record(const std::string& uid) {
    const std::string file = (data.path() + "/record-" + QString::number(recordings++) + ".wav").toStdString();
    if (runTool({"audio-record", "--device", uid, "--duration", "1", "--output", file}) != 0) return {};
    return tools::analyse(tools::readWav(file));
  }
  // A second and a half of what the server plays on an output device.
  std::vector<tools::ChannelReport> capture(const std::string& uid) {
    const std::string file = (data.path() + "/capture-" + QString::number(recordings++) + ".wav").toStdString();
    if (runTool({"audioctl", "capture", uid, file, "--seconds", "1.5"}) != 0) return {};
    return tools::analyse(tools::readWav(file));
  }
  // Tries a few times: a loaded machine can glitch one recording.
  template <class Take>
  bool hears(Take take, double hz, std::size_t channel = 0) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      heard = take();
      if (heard.size() > channel && std::abs(heard[channel].dominantHz - hz) < hz / 50 &&
          heard[channel].rmsDbfs > -40) {
        return true;
      }
      QTest::qWait(250);
    }
    return false;
  }
  std::string described() const {
    std::string text;
    for (const auto& channel : heard) {
      text += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.rmsDbfs) + " dBFS; ";
    }
    return text;
  }
  pid_t childPid(QProcess* child) { return child ? pid_t(child->processId()) : -1; }

  // Stop: the helper ends by itself; how long that took is recorded.
  void stopsCleanly(void (TidewellAppModel::*stop)(), QProcess* child, bool (TidewellAppModel::*running)() const,
                    const char* property) {
    const pid_t pid = childPid(child);
    ASSERT_GT(pid, 0);
    QElapsedTimer timer;
    timer.start();
    (model.get()->*stop)();
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, 10000));
    RecordProperty(property, int(timer.elapsed()));
    ASSERT_TRUE(waitFor([&] { return !(model.get()->*running)(); }, 10000));
  }

  std::vector<tools::ChannelReport> heard;
  int recordings = 0;
};

TEST_F(HelperServerTest, TheMonitorPlaysTheShownDeviceToTheRememberedOutput) {
  start({device});
  player = spawnTool({"audio-play", "--device", device.uid, "--sine", "997", "--level", "-12", "--duration", "120"});
  ASSERT_GT(player, 0);
  model->setSelectedMonitorOutputUID("BuiltInOutputDevice");
  heard = capture("BuiltInOutputDevice");
  ASSERT_FALSE(heard.empty());
  EXPECT_LT(heard[0].rmsDbfs, -60) << "heard before the monitor started: " << described();
  model->startMonitor();
  ASSERT_TRUE(model->monitorRunning()) << model->monitorStatusMessage().toStdString();
  EXPECT_TRUE(model->monitorStatusMessage().startsWith("Monitoring to "));
  EXPECT_TRUE(hears([&] { return capture("BuiltInOutputDevice"); }, 997)) << described();
  stopsCleanly(&TidewellAppModel::stopMonitor, model->monitorProcess(), &TidewellAppModel::monitorRunning,
               "monitorStopMilliseconds");
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");
}

TEST_F(HelperServerTest, TheHardwareSourcePlaysTheRememberedInputIntoTheShownDevice) {
  ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}), 0);
  start({device});
  model->setSelectedHardwareInputUID("USBAudioInterface");
  heard = record(device.uid);
  ASSERT_FALSE(heard.empty());
  EXPECT_LT(heard[0].rmsDbfs, -60) << "heard before the source started: " << described();
  model->startHardwareSource();
  ASSERT_TRUE(model->hardwareSourceRunning()) << model->hardwareSourceStatusMessage().toStdString();
  EXPECT_TRUE(model->hardwareSourceStatusMessage().startsWith("Routing from "));
  EXPECT_TRUE(hears([&] { return record(device.uid); }, 440)) << described();
  stopsCleanly(&TidewellAppModel::stopHardwareSource, model->hardwareSourceProcess(),
               &TidewellAppModel::hardwareSourceRunning, "hardwareSourceStopMilliseconds");
  EXPECT_EQ(model->hardwareSourceStatusMessage(), "Hardware source stopped");
}

TEST_F(HelperServerTest, TheProcessTapCapturesTheRememberedApplicationIntoTheShownDevice) {
  const std::string bundle = "org.example.tapped";
  player = spawnTool({"audio-play", "--bundle-id", bundle, "--sine", "660", "--level", "-12", "--duration", "120"});
  ASSERT_GT(player, 0);
  ASSERT_TRUE(eventually([&] {
    for (const auto& candidate : CoreAudioDeviceRegistry::applicationSourceCandidates()) {
      if (candidate.pid == player) return true;
    }
    return false;
  }));
  start({device});
  model->setSelectedApplicationPID(QString::number(player));
  heard = record(device.uid);
  ASSERT_FALSE(heard.empty());
  EXPECT_LT(heard[0].rmsDbfs, -60) << "heard before the tap started: " << described();
  model->startProcessTap();
  ASSERT_TRUE(model->processTapRunning()) << model->processTapStatusMessage().toStdString();
  EXPECT_TRUE(model->processTapStatusMessage().startsWith("Capturing "));
  EXPECT_TRUE(hears([&] { return record(device.uid); }, 660)) << described();
  stopsCleanly(&TidewellAppModel::stopProcessTap, model->processTapProcess(), &TidewellAppModel::processTapRunning,
               "processTapStopMilliseconds");
  EXPECT_EQ(model->processTapStatusMessage(), "Capture stopped");
}

TEST_F(HelperServerTest, AHelperKilledByASignalShowsTheFailure) {
  start({device});
  model->startMonitor();
  ASSERT_TRUE(model->monitorRunning()) << model->monitorStatusMessage().toStdString();
  QTest::qWait(500);
  ::kill(childPid(model->monitorProcess()), SIGKILL);
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  // Its last words, or the signal when it said nothing.
  RecordProperty("statusAfterKill", model->monitorStatusMessage().toStdString());
  EXPECT_TRUE(model->monitorStatusMessage().startsWith("Monitor failed: ")) << model->monitorStatusMessage().toStdString();
  EXPECT_EQ(model->monitorProcess(), nullptr);
}

TEST_F(HelperServerTest, TheSelfTestPassesWithThePassThruDeviceAndSaysWhyItCannotRun) {
  DeviceConfig passThru = makeDevice("P", "Tidewell");
  passThru.uid = std::string(TidewellCore::passThruDeviceUID);
  start({passThru});
  model->runPassThruSelfTest();
  ASSERT_TRUE(model->passThruTestRunning()) << model->statusMessage().toStdString();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 60000));
  RecordProperty("verdict", model->statusMessage().toStdString());
  EXPECT_TRUE(model->statusMessage().startsWith("Pass-thru test passed, ")) << model->statusMessage().toStdString();
  EXPECT_TRUE(model->statusMessage().contains("Captured RMS: ")) << model->statusMessage().toStdString();

  // Without the tool.
  QTemporaryDir empty;
  model.reset();
  start({passThru}, {empty.path()});
  model->runPassThruSelfTest();
  EXPECT_EQ(model->statusMessage(), "Pass-thru test helper is missing");
}

// A configured system: the plug-in publishes the user's devices and no pass-thru device of its
// own. The test checks those, and its verdict fits the diagnostics panel's two lines.
TEST_F(HelperServerTest, TheSelfTestPassesOnTheDevicesAUserMade) {
  DeviceConfig mix = makeDevice("V", "Podcast Mix");
  mix.uid = std::string(TidewellCore::derivedDeviceUID("V"));
  DeviceConfig muted = makeDevice("W", "Muted");
  muted.uid = std::string(TidewellCore::derivedDeviceUID("W"));
  muted.sources[0].muted = true;
  start({mix, muted});
  model->runPassThruSelfTest();
  ASSERT_TRUE(model->passThruTestRunning()) << model->statusMessage().toStdString();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 60000));
  RecordProperty("verdict", model->statusMessage().toStdString());
  EXPECT_TRUE(model->statusMessage().startsWith("Pass-thru test passed, Captured RMS: ")) << model->statusMessage().toStdString();
  EXPECT_LE(model->statusMessage().size(), 80) << model->statusMessage().toStdString();

  // Every device muted: nothing to test, and it says so in words.
  mix.sources[0].muted = true;
  model.reset();
  start({mix, muted});
  model->runPassThruSelfTest();
  ASSERT_TRUE(waitFor([&] { return !model->passThruTestRunning(); }, 60000));
  EXPECT_EQ(model->statusMessage(), "Pass-thru test failed: Nothing to test: every device is off, muted or unwired");
}

TEST(HelperServerWithoutPlugIn, TheSelfTestAsksForTheDriver) {
  PrivateAudioServer server{false};
  QTemporaryDir data;
  qputenv("XDG_DATA_HOME", data.path().toUtf8());
  application();
  AppEnvironment env;
  env.registry = makeAudioServerDeviceRegistry();
  env.store = std::make_shared<ConfigStore>(std::filesystem::path(data.path().toStdString()) / "config.json");
  env.publisher = std::make_shared<FakePublisher>();
  env.meters = std::make_shared<FakeMeters>();
  env.clock = std::make_shared<FakeClock>();
  env.preferences = std::make_shared<SettingsPreferences>(data.path() + "/Tidewell.conf");
  env.serviceController = std::make_shared<InertServiceController>();
  env.helperLauncher = std::make_shared<ProcessHelperLauncher>(QStringList{QString::fromStdString(binDirectory().string())});
  TidewellAppModel model(env);
  model.runPassThruSelfTest();
  EXPECT_EQ(model.statusMessage(), "Install the driver before running the test");
  EXPECT_FALSE(model.passThruTestRunning());
}

// A process holding a model with a running helper: its pid and the helper's.
struct Holder {
  pid_t holder = -1;
  pid_t helper = -1;
};
Holder startHolder(const QString& helperFolder, const std::string& home) {
  int out[2];
  if (::pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> entries = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                      "XDG_CONFIG_HOME=" + home + "/config", "XDG_STATE_HOME=" + home + "/state",
                                      "XDG_RUNTIME_DIR=" + home, "PATH=/usr/bin:/bin",
                                      std::string("AUDIOSERVER_SOCKET=") + std::getenv("AUDIOSERVER_SOCKET")};
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = (binDirectory() / "tidewell-helper-holder").string();
  std::string folder = helperFolder.toStdString();
  char* argv[] = {program.data(), folder.data(), nullptr};
  pid_t holder = -1;
  const int spawned = posix_spawn(&holder, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string line;
  char byte;
  while (spawned == 0 && ::read(out[0], &byte, 1) == 1 && byte != '\n') line += byte;
  ::close(out[0]);
  if (spawned != 0) return {};
  const pid_t helper = pid_t(std::atoi(line.c_str()));
  EXPECT_GT(helper, 0) << line;
  return {holder, helper};
}

// The same, killed with SIGKILL; the helper's pid.
pid_t startHolderAndKillIt(const QString& helperFolder, const std::string& home) {
  const Holder started = startHolder(helperFolder, home);
  if (started.holder <= 0) return -1;
  ::kill(started.holder, SIGKILL);
  ::waitpid(started.holder, nullptr, 0);
  return started.helper;
}

// A stand-in monitor in a folder of its own.
void writeMonitor(const QTemporaryDir& tools, const char* body) {
  QFile script(tools.path() + "/tidewell-monitor");
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write(QByteArray("#!/bin/sh\n") + body + "\n");
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST(HelperServerKill, AKilledApplicationLeavesNoHelperBehind) {
  PrivateAudioServer server{true};
  QTemporaryDir home;
  // The real monitor.
  pid_t helper = startHolderAndKillIt(QString::fromStdString(binDirectory().string()), home.path().toStdString());
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(eventually([&] { return processGone(helper); }, std::chrono::seconds(10)));
  if (!processGone(helper)) ::kill(helper, SIGKILL);

  // One that writes nothing, so that no broken pipe ends it either.
  QTemporaryDir tools;
  writeMonitor(tools, "exec sleep 600");
  helper = startHolderAndKillIt(tools.path(), home.path().toStdString());
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(eventually([&] { return processGone(helper); }, std::chrono::seconds(10)));
  if (!processGone(helper)) ::kill(helper, SIGKILL);
}

// Fault mended: at the end the delayed kill of a stopping helper never came (its timer needs
// the event loop, which has ended), and the parent-death signal is SIGTERM too, so a helper
// that ignores SIGTERM ran on after the application had quit.
TEST(HelperServerKill, AHelperThatIgnoresSigtermIsGoneSoonAfterTheApplicationQuits) {
  PrivateAudioServer server{true};
  QTemporaryDir home;
  QTemporaryDir tools;
  // An ignored signal stays ignored across exec.
  writeMonitor(tools, "trap '' TERM\necho > \"$0.ready\"\nexec sleep 600");
  const Holder started = startHolder(tools.path(), home.path().toStdString());
  ASSERT_GT(started.holder, 0);
  ASSERT_GT(started.helper, 0);
  ASSERT_TRUE(eventually([&] { return QFile::exists(tools.path() + "/tidewell-monitor.ready"); }));
  ::kill(started.holder, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(started.holder, &status, 0), started.holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the application quits normally";
  EXPECT_TRUE(eventually([&] { return processGone(started.helper); }, std::chrono::seconds(4)));
  if (!processGone(started.helper)) ::kill(started.helper, SIGKILL);
}

}  // namespace
}  // namespace tidewell::testing
