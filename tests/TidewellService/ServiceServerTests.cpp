// The service against a real stand-in audio server: routes follow the devices and the
// applications that the server reports.

#include "../TidewellCore/registry/PrivateAudioServer.h"
#include "ServiceProgramFixture.h"

namespace tidewell::testing {
namespace {

class ServiceServerTest : public ServiceProgramTest {
 protected:
  PrivateAudioServer server;

  void SetUp() override {
    ServiceProgramTest::SetUp();
    environment["AUDIOSERVER_SOCKET"] = std::getenv("AUDIOSERVER_SOCKET");
  }

  static ConfigSnapshot deviceWithHardware() {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("D", "Desk", 4);
    device.monitors = {makeMonitor("M", "Speakers", "BuiltInOutputDevice")};
    device.sources = {makeSource("H", SourceType::hardwareInput, "USB"),
                      makeSource("A", SourceType::application, "Player")};
    device.sources[0].metadata.deviceUID = "USBAudioInterface";
    device.sources[1].metadata.bundleIdentifier = "org.example.player";
    device.wires = {makeWire(EndpointKind::source, "H", 3, EndpointKind::deviceOutput, "D", 1),
                    makeWire(EndpointKind::deviceOutput, "D", 1, EndpointKind::monitor, "M", 1),
                    makeWire(EndpointKind::deviceOutput, "D", 1, EndpointKind::monitor, "M", 2)};
    snapshot.devices = {device};
    return snapshot;
  }
};

TEST_F(ServiceServerTest, RoutesFollowDevicesAndApplications) {
  save(deviceWithHardware());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return starts("M").size() == 1 && starts("H").size() == 1; }));
  auto monitorEnv = lines(readFile(marks / ("M.env." + std::to_string(starts("M")[0]))));
  EXPECT_TRUE(contains(monitorEnv, "TIDEWELL_MONITOR_OUTPUT_UID=BuiltInOutputDevice"));
  EXPECT_TRUE(contains(monitorEnv, "TIDEWELL_MONITOR_ROUTES=1:1,1:2"));
  auto hardwareEnv = lines(readFile(marks / ("H.env." + std::to_string(starts("H")[0]))));
  EXPECT_TRUE(contains(hardwareEnv, "TIDEWELL_SOURCE_INPUT_UID=USBAudioInterface"));
  EXPECT_TRUE(contains(hardwareEnv, "TIDEWELL_SOURCE_ROUTES=3:1"));
  EXPECT_TRUE(contains(messages(logFile),
                       "Waiting for application source 'Player': org.example.player is not running"));

  // The output is unplugged: its monitor stops; plugged in again: it comes back.
  ASSERT_EQ(runTool({"audioctl", "remove-device", "BuiltInOutputDevice"}), 0);
  ASSERT_TRUE(eventuallyTrue([&] {
    return contains(messages(logFile), "Stopping monitor 'Speakers' (Desk): configuration removed route");
  }));
  EXPECT_TRUE(eventuallyTrue([&] { return !processExists(starts("M")[0]); }));
  ASSERT_EQ(runTool({"audioctl", "add-device", "Built-in Output", "BuiltInOutputDevice", "--outputs", "2"}), 0);
  EXPECT_TRUE(eventuallyTrue([&] { return starts("M").size() == 2; }));
  EXPECT_EQ(starts("H").size(), 1u);

  // The application starts playing: it is captured under its process id; it quits: the
  // capture stops.
  pid_t player = spawnTool({"audio-test-client", "play", "USBAudioInterface", "440", "-20", "60"},
                             {"AUDIOSERVER_BUNDLE_ID=org.example.player"});
  ASSERT_GT(player, 0);
  ASSERT_TRUE(eventuallyTrue([&] { return starts("A").size() == 1; }));
  auto tapEnv = lines(readFile(marks / ("A.env." + std::to_string(starts("A")[0]))));
  EXPECT_TRUE(contains(tapEnv, "TIDEWELL_TAP_PID=" + std::to_string(player)));
  EXPECT_TRUE(contains(tapEnv, "TIDEWELL_TAP_MODE=application"));
  EXPECT_TRUE(contains(messages(logFile), "Application source 'Player' is running again as PID " +
                                              std::to_string(player)));
  ::kill(player, SIGKILL);
  ::waitpid(player, nullptr, 0);
  EXPECT_TRUE(eventuallyTrue([&] {
    return contains(messages(logFile),
                    "Stopping application capture 'Player': configuration removed route");
  }));

  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
  for (const char* id : {"M", "H", "A"}) {
    for (pid_t pid : starts(id)) EXPECT_FALSE(processExists(pid)) << id;
  }
}

}  // namespace
}  // namespace tidewell::testing
