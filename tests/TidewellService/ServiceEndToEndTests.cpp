// The whole road with the real helpers and the plug-in: a saved configuration with one
// virtual device, a hardware input wired into it and a monitor to the built-in output runs by
// itself, and what the monitor plays is what the configuration says.

#include "ServiceEndToEndFixture.h"

namespace tidewell::testing {
namespace {

class ServiceMonitorEndToEndTest : public ServiceEndToEndTest {
 protected:
  static ConfigSnapshot configuration(double sourceGain) {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("V", "Virtual", 2);
    device.uid = TidewellCore::derivedDeviceUID("V");
    device.sources = {makeSource("H", SourceType::hardwareInput, "USB")};
    device.sources[0].metadata.deviceUID = "USBAudioInterface";
    device.sources[0].channelCount = 4;
    device.sources[0].gain = sourceGain;
    device.monitors = {makeMonitor("M", "Speakers", "BuiltInOutputDevice")};
    device.wires = {makeWire(EndpointKind::source, "H", 1, EndpointKind::deviceOutput, "V", 1),
                    makeWire(EndpointKind::source, "H", 3, EndpointKind::deviceOutput, "V", 2),
                    makeWire(EndpointKind::deviceOutput, "V", 1, EndpointKind::monitor, "M", 1),
                    makeWire(EndpointKind::deviceOutput, "V", 2, EndpointKind::monitor, "M", 2)};
    snapshot.devices = {device};
    return snapshot;
  }

  std::vector<tools::ChannelReport> hearBuiltInOutput() {
    auto file = home.path() / ("capture-" + std::to_string(captures++) + ".wav");
    EXPECT_EQ(runTool({"audioctl", "capture", "BuiltInOutputDevice", file.string(), "--seconds", "2"}), 0);
    auto audio = tools::readWav(file.string());
    // The last second only: the first may hold the start of the capture.
    size_t skip = std::min(audio.frames(), static_cast<size_t>(audio.sampleRate)) * audio.channels;
    audio.samples.erase(audio.samples.begin(), audio.samples.begin() + static_cast<long>(skip));
    return tools::analyse(audio);
  }

  // What the built-in output plays, judged on one capture by its steady level, which the few
  // windows a loaded machine leaves silent or cut do not tip. The pitch may be bent by a fraction
  // of a percent while the drift control of two helpers in a row settles.
  bool hears(double level) {
    heard = hearBuiltInOutput();
    return heard.size() == 2 && std::abs(heard[0].dominantHz - 440) < 4.4 && std::abs(heard[1].dominantHz - 1000) < 10 &&
           std::abs(heard[0].steadyDbfs - level) < 1.5 && std::abs(heard[1].steadyDbfs - level) < 1.5;
  }
};

TEST_F(ServiceMonitorEndToEndTest, HardwareInputThroughAVirtualDeviceToTheMonitor) {
  ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}), 0);
  ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "3", "sine", "1000", "-12"}), 0);
  save(configuration(1.0));
  start();
  // The virtual device appears a moment after the first publish, so the first helpers may find
  // it missing and be started again 2 s later; wait until both report that they run.
  ASSERT_TRUE(eventuallyTrue([&] {
    auto text = readFile(logFile);
    return text.find("Routing hardware input USBAudioInterface to app.tidewell.devices.V") !=
               std::string::npos &&
           text.find("Monitoring app.tidewell.devices.V") != std::string::npos;
  }, 30s)) << readFile(logFile);
  std::this_thread::sleep_for(2s);  // let both helpers settle their fill

  // USB channel 1 (440 Hz) on the left, channel 3 (1000 Hz) on the right, both at -12 dBFS.
  EXPECT_TRUE(hears(-12)) << described();

  // A gain change in the saved file reaches the running helper: 6 dB quieter, no restart.
  auto helpers = childrenOf(servicePid);
  save(configuration(0.5));
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(hears(-18.02)) << described();
  EXPECT_EQ(childrenOf(servicePid), helpers);

  // A helper that dies is started again 2 s later.
  pid_t hardware = 0;
  for (pid_t helper : helpers) {
    if (readFile("/proc/" + std::to_string(helper) + "/cmdline").find("tidewell-hardware-source") !=
        std::string::npos) {
      hardware = helper;
    }
  }
  ASSERT_GT(hardware, 0);
  auto started = [&] {
    auto log = messages(logFile);
    return std::count(log.begin(), log.end(), "Started hardware input 'USB' (Virtual)");
  };
  auto killed = std::chrono::steady_clock::now();
  ::kill(hardware, SIGKILL);
  auto before = started();
  ASSERT_TRUE(eventuallyTrue([&] { return started() == before + 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - killed, 1900ms);
  EXPECT_TRUE(contains(messages(logFile), "hardware input 'USB' (Virtual) exited with status 9"));
  helpers = childrenOf(servicePid);

  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(30s), 0) << readFile(logFile);
  for (pid_t helper : helpers) EXPECT_FALSE(processExists(helper));
  EXPECT_EQ(messages(logFile).back(), "Stopped Tidewell audio service");
}

// The service starts exactly one helper per route with the route's environment, the device
// carries each source on its wired channel, and a routing change replaces only the helper whose
// route changed.
TEST_F(ServiceApplicationEndToEndTest, ApplicationAndHardwareInputOnTheirWiredChannels) {
  startSounds();
  // The service captures the player once it plays; until then the route is not desired.
  save(configuration(1));
  start();
  ASSERT_TRUE(eventuallyTrue([&] {
    auto text = readFile(logFile);
    std::string device(TidewellCore::derivedDeviceUID("V"));
    return text.find("Routing application capture to " + device) != std::string::npos &&
           text.find("Routing hardware input USBAudioInterface to " + device) != std::string::npos &&
           text.find("Monitoring " + device) != std::string::npos;
  }, 30s)) << readFile(logFile);
  std::this_thread::sleep_for(2s);  // the helpers settle their fill

  auto helpers = childrenOf(servicePid);
  ASSERT_EQ(helpers.size(), 3u) << readFile(logFile);
  pid_t tap = helperNamed(helpers, "tidewell-process-tap");
  pid_t hardware = helperNamed(helpers, "tidewell-hardware-source");
  pid_t monitor = helperNamed(helpers, "tidewell-monitor");
  ASSERT_GT(tap, 0);
  ASSERT_GT(hardware, 0);
  ASSERT_GT(monitor, 0);
  std::string device(TidewellCore::derivedDeviceUID("V"));
  EXPECT_THAT(environmentOf(tap),
              ::testing::IsSupersetOf(std::vector<std::string>{"TIDEWELL_TAP_MODE=application",
                                       "TIDEWELL_TAP_PID=" + std::to_string(player),
                                       "TIDEWELL_TAP_OUTPUT_UID=" + device, "TIDEWELL_TAP_SOURCE_ID=A",
                                       "TIDEWELL_TAP_OUTPUT_CHANNELS=2", "TIDEWELL_TAP_ROUTES=1:2"}));

  // USB channel 1 (440 Hz) on the left, the player (997 Hz) on the right, both at -12 dBFS.
  EXPECT_TRUE(deviceCarries(440, 997, {-12, -12}, 1.0)) << described();

  // The player's right channel instead of its left: only the tap helper is replaced.
  save(configuration(2));
  ASSERT_TRUE(eventuallyTrue([&] {
    auto now = childrenOf(servicePid);
    pid_t replacement = helperNamed(now, "tidewell-process-tap");
    return now.size() == 3 && replacement > 0 && replacement != tap;
  }, 20s)) << readFile(logFile);
  auto after = childrenOf(servicePid);
  EXPECT_EQ(helperNamed(after, "tidewell-hardware-source"), hardware);
  EXPECT_EQ(helperNamed(after, "tidewell-monitor"), monitor);
  EXPECT_THAT(environmentOf(helperNamed(after, "tidewell-process-tap")),
              ::testing::Contains("TIDEWELL_TAP_ROUTES=2:2"));
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(deviceCarries(440, 997, {-12, -12}, 1.0)) << described();
}

}  // namespace
}  // namespace tidewell::testing
