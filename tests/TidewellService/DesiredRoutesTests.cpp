// Which helpers a configuration calls for, and the exact environment each starts with.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

class DesiredRoutesTest : public ::testing::Test {
 protected:
  ServiceFixture fixture;
  LogRecorder log;
  std::unique_ptr<TidewellService> service = fixture.makeService();
  FakePlatform& platform = *fixture.platform;

  std::vector<DesiredRoute> routes(const std::vector<DeviceConfig>& devices) {
    return service->desiredRoutes(devices);
  }
  static std::vector<std::string> keys(const std::vector<DesiredRoute>& routes) {
    std::vector<std::string> result;
    for (const auto& route : routes) result.push_back(route.key);
    return result;
  }
};

TEST_F(DesiredRoutesTest, MonitorsComeFirstThenSourcesInConfigurationOrder) {
  DeviceConfig device = makeDevice("D", "Desk", 4);
  device.monitors = {makeMonitor("M1", "Speakers", "out-1"), makeMonitor("M2", "Phones", "")};
  device.sources = {makeSource("P", SourceType::passThru, "Pass"),
                    makeSource("S", SourceType::system, "Everything"),
                    makeSource("H", SourceType::hardwareInput, "Mic")};
  device.sources[2].metadata.deviceUID = "in-1";
  device.sources[2].metadata.inputBackend = "queue";
  device.wires = {makeWire(EndpointKind::source, "S", 1, EndpointKind::deviceOutput, "D", 3),
                  makeWire(EndpointKind::source, "S", 2, EndpointKind::deviceOutput, "D", 4),
                  makeWire(EndpointKind::source, "H", 1, EndpointKind::deviceOutput, "D", 1),
                  makeWire(EndpointKind::deviceOutput, "D", 3, EndpointKind::monitor, "M1", 2)};
  platform.inventory.inputs = {makeInfo("in-1", 2)};
  platform.inventory.outputs = {makeInfo("out-1", 2)};

  auto result = routes({device});
  ASSERT_THAT(keys(result), ElementsAre("monitor:D:M1", "monitor:D:M2", "tap-system:D:S",
                                        "hardware:D:H"));

  const auto& speakers = result[0];
  EXPECT_EQ(speakers.executableURL, fixture.helpers.path() / "tidewell-monitor");
  EXPECT_EQ(speakers.summary, "monitor 'Speakers' (Desk)");
  EXPECT_EQ(speakers.environment, (ServiceEnvironment{{"TIDEWELL_MONITOR_INPUT_UID", "uid-D"},
                                                      {"TIDEWELL_MONITOR_ID", "M1"},
                                                      {"TIDEWELL_MONITOR_INPUT_CHANNELS", "4"},
                                                      {"TIDEWELL_MONITOR_OUTPUT_CHANNELS", "2"},
                                                      {"TIDEWELL_MONITOR_ROUTES", "3:2"},
                                                      {"TIDEWELL_MONITOR_OUTPUT_UID", "out-1"}}));
  EXPECT_EQ(speakers.controlEnvironment,
            (ServiceEnvironment{{"TIDEWELL_MONITOR_GAIN", "1.0"}, {"TIDEWELL_MONITOR_MUTED", "0"}}));
  // A monitor without an output plays to the default output: no output variable at all.
  EXPECT_EQ(result[1].environment.count("TIDEWELL_MONITOR_OUTPUT_UID"), 0u);
  EXPECT_EQ(result[1].environment.at("TIDEWELL_MONITOR_ROUTES"), "");

  const auto& system = result[2];
  EXPECT_EQ(system.executableURL, fixture.helpers.path() / "tidewell-process-tap");
  EXPECT_EQ(system.summary, "system capture 'Everything'");
  EXPECT_EQ(system.environment, (ServiceEnvironment{{"TIDEWELL_TAP_OUTPUT_UID", "uid-D"},
                                                    {"TIDEWELL_TAP_SOURCE_ID", "S"},
                                                    {"TIDEWELL_TAP_MODE", "system"},
                                                    {"TIDEWELL_TAP_MUTE_WHEN_CAPTURING", "0"},
                                                    {"TIDEWELL_TAP_OUTPUT_CHANNELS", "4"},
                                                    {"TIDEWELL_TAP_ROUTES", "1:3,2:4"}}));

  const auto& hardware = result[3];
  EXPECT_EQ(hardware.executableURL, fixture.helpers.path() / "tidewell-hardware-source");
  EXPECT_EQ(hardware.summary, "hardware input 'Mic' (Desk)");
  EXPECT_EQ(hardware.environment, (ServiceEnvironment{{"TIDEWELL_SOURCE_INPUT_UID", "in-1"},
                                                      {"TIDEWELL_SOURCE_ID", "H"},
                                                      {"TIDEWELL_SOURCE_OUTPUT_UID", "uid-D"},
                                                      {"TIDEWELL_SOURCE_OUTPUT_CHANNELS", "4"},
                                                      {"TIDEWELL_SOURCE_ROUTES", "1:1"},
                                                      {"TIDEWELL_SOURCE_INPUT_BACKEND", "queue"}}));
  EXPECT_EQ(hardware.controlEnvironment,
            (ServiceEnvironment{{"TIDEWELL_SOURCE_GAIN", "1.0"}, {"TIDEWELL_SOURCE_MUTED", "0"}}));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(DesiredRoutesTest, DisabledItemsAndAbsentDevicesAreSkippedSilently) {
  DeviceConfig off = makeDevice("A", "Off");
  off.enabled = false;
  off.sources = {makeSource("H", SourceType::hardwareInput, "No UID")};  // would log if enabled
  DeviceConfig on = makeDevice("B", "On");
  on.monitors = {makeMonitor("M1", "Unplugged", "gone"), makeMonitor("M2", "Off", "")};
  on.monitors[1].enabled = false;
  on.sources = {makeSource("H1", SourceType::hardwareInput, "Unplugged mic"),
                makeSource("H2", SourceType::hardwareInput, "Disabled mic")};
  on.sources[0].metadata.deviceUID = "gone-in";
  on.sources[1].enabled = false;

  EXPECT_TRUE(routes({off, on}).empty());
  EXPECT_TRUE(log.lines().empty());

  // The unplugged monitor output comes back: so does its route.
  platform.inventory.outputs = {makeInfo("gone", 2)};
  EXPECT_THAT(keys(routes({off, on})), ElementsAre("monitor:B:M1"));
}

TEST_F(DesiredRoutesTest, HardwareSourceWithoutUIDIsLoggedOnEveryPass) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources = {makeSource("H", SourceType::hardwareInput, "Mic")};
  device.sources[0].metadata.deviceUID = "";
  routes({device});
  routes({device});
  EXPECT_THAT(log.lines(), ElementsAre("Skipping hardware source 'Mic' without a device UID",
                                       "Skipping hardware source 'Mic' without a device UID"));
}

TEST_F(DesiredRoutesTest, ApplicationSourceWaitsOnceAndReportsItsReturnOnce) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources = {makeSource("A", SourceType::application, "Player")};
  device.sources[0].metadata.bundleIdentifier = "org.example.player";
  device.sources[0].metadata.pid = 321;
  device.sources[0].muteWhenCapturing = true;

  EXPECT_TRUE(routes({device}).empty());
  EXPECT_TRUE(routes({device}).empty());
  EXPECT_THAT(log.take(), ElementsAre("Waiting for application source 'Player': "
                                      "org.example.player is not running"));

  // Relaunched under another process id: found by its bundle identifier (smallest id wins).
  platform.runningApplications = {{900, "org.example.player"}, {450, "org.example.player"},
                                  {321, "org.example.other"}};
  auto result = routes({device});
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].key, "tap-application:D:A");
  EXPECT_EQ(result[0].summary, "application capture 'Player'");
  EXPECT_EQ(result[0].environment.at("TIDEWELL_TAP_PID"), "450");
  EXPECT_EQ(result[0].environment.at("TIDEWELL_TAP_MODE"), "application");
  EXPECT_EQ(result[0].environment.at("TIDEWELL_TAP_MUTE_WHEN_CAPTURING"), "1");
  routes({device});
  EXPECT_THAT(log.take(), ElementsAre("Application source 'Player' is running again as PID 450"));

  // Gone again: one new waiting line.
  platform.runningApplications.clear();
  routes({device});
  routes({device});
  EXPECT_EQ(log.take().size(), 1u);
}

TEST_F(DesiredRoutesTest, WaitingLineNamesTheProcessWhenThereIsNoBundleIdentifier) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources = {makeSource("A", SourceType::application, "Unknown"),
                    makeSource("B", SourceType::application, "Stored"),
                    makeSource("C", SourceType::application, "Empty bundle")};
  device.sources[1].metadata.pid = 77;
  device.sources[2].metadata.bundleIdentifier = "";
  routes({device});
  EXPECT_THAT(log.lines(),
              ElementsAre("Waiting for application source 'Unknown': PID unknown is not running",
                          "Waiting for application source 'Stored': PID 77 is not running",
                          "Waiting for application source 'Empty bundle':  is not running"));
}

TEST_F(DesiredRoutesTest, NestedSourcesResolveTheirDeviceOrSayWhyNot) {
  DeviceConfig inner = makeDevice("I", "Inner");
  DeviceConfig outer = makeDevice("O", "Outer", 4);
  outer.sources = {makeSource("N1", SourceType::virtualDevice, "Nested inner"),
                   makeSource("N2", SourceType::virtualDevice, "Nowhere"),
                   makeSource("N3", SourceType::virtualDevice, "No id")};
  outer.sources[0].metadata.sourceDeviceID = "I";
  outer.sources[0].channelGains = std::vector<double>{0.5, 0.5};
  outer.sources[1].metadata.sourceDeviceID = "missing";
  outer.wires = {makeWire(EndpointKind::source, "N1", 2, EndpointKind::deviceOutput, "O", 4)};

  // Not published yet: no route and no line for it.
  EXPECT_TRUE(routes({inner, outer}).empty());
  EXPECT_THAT(log.take(),
              ElementsAre("Skipping nested device source 'Nowhere' without a resolvable device",
                          "Skipping nested device source 'No id' without a resolvable device"));

  platform.inventory.inputs = {makeInfo("uid-I", 2)};
  auto result = routes({inner, outer});
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].key, "nested:O:N1");
  EXPECT_EQ(result[0].summary, "nested device 'Inner' into 'Outer'");
  EXPECT_EQ(result[0].executableURL, fixture.helpers.path() / "tidewell-hardware-source");
  EXPECT_EQ(result[0].environment, (ServiceEnvironment{{"TIDEWELL_SOURCE_INPUT_UID", "uid-I"},
                                                       {"TIDEWELL_SOURCE_ID", "N1"},
                                                       {"TIDEWELL_SOURCE_OUTPUT_UID", "uid-O"},
                                                       {"TIDEWELL_SOURCE_OUTPUT_CHANNELS", "4"},
                                                       {"TIDEWELL_SOURCE_ROUTES", "2:4"}}));
  // A nested route carries no per-channel gains.
  EXPECT_EQ(result[0].controlEnvironment,
            (ServiceEnvironment{{"TIDEWELL_SOURCE_GAIN", "1.0"}, {"TIDEWELL_SOURCE_MUTED", "0"}}));
  log.take();

  inner.enabled = false;
  EXPECT_TRUE(routes({inner, outer}).empty());
  EXPECT_EQ(log.take().front(), "Skipping nested device source 'Nested inner': 'Inner' is disabled");
}

TEST_F(DesiredRoutesTest, DevicesBeyondTheSixteenthStartNothingAndAreReportedOncePerChange) {
  std::vector<DeviceConfig> devices;
  for (int i = 1; i <= 18; ++i) {
    DeviceConfig device = makeDevice("D" + std::to_string(i), "Dev " + std::to_string(i));
    device.sources = {makeSource("S" + std::to_string(i), SourceType::system, "All")};
    devices.push_back(device);
  }
  auto result = routes(devices);
  ASSERT_EQ(result.size(), 16u);
  EXPECT_EQ(result.back().key, "tap-system:D16:S16");
  EXPECT_THAT(log.take(),
              ElementsAre("Skipping 2 device(s) beyond the first 16: 'Dev 17', 'Dev 18'"));
  routes(devices);
  EXPECT_TRUE(log.take().empty());

  devices.pop_back();
  EXPECT_EQ(routes(devices).size(), 16u);
  EXPECT_THAT(log.take(), ElementsAre("Skipping 1 device(s) beyond the first 16: 'Dev 17'"));
  devices.pop_back();
  EXPECT_EQ(routes(devices).size(), 16u);
  EXPECT_TRUE(log.take().empty());
}

TEST_F(DesiredRoutesTest, NestingCyclesStartNothingAndAreReportedOncePerChange) {
  DeviceConfig a = makeDevice("A", "Alpha");
  DeviceConfig b = makeDevice("B", "Beta");
  DeviceConfig c = makeDevice("C", "Gamma");
  a.sources = {makeSource("AB", SourceType::virtualDevice, "Beta in Alpha"),
               makeSource("AA", SourceType::virtualDevice, "Alpha in Alpha")};
  a.sources[0].metadata.sourceDeviceID = "B";
  a.sources[1].metadata.sourceDeviceID = "A";
  b.sources = {makeSource("BA", SourceType::virtualDevice, "Alpha in Beta")};
  b.sources[0].metadata.sourceDeviceID = "A";
  c.sources = {makeSource("CA", SourceType::virtualDevice, "Alpha in Gamma")};
  c.sources[0].metadata.sourceDeviceID = "A";
  platform.inventory.inputs = {makeInfo("uid-A", 2), makeInfo("uid-B", 2), makeInfo("uid-C", 2)};

  // Alpha into itself, and Alpha <-> Beta, loop; Gamma merely listens to Alpha.
  EXPECT_THAT(keys(routes({a, b, c})), ElementsAre("nested:C:CA"));
  EXPECT_THAT(log.take(),
              ElementsAre("Skipping nested device source 'Beta in Alpha': nesting forms a cycle",
                          "Skipping nested device source 'Alpha in Alpha': nesting forms a cycle",
                          "Skipping nested device source 'Alpha in Beta': nesting forms a cycle"));
  routes({a, b, c});
  EXPECT_TRUE(log.take().empty());

  // Breaking the loop by disabling one link lets the other side run.
  b.sources[0].enabled = false;
  a.sources[1].enabled = false;
  EXPECT_THAT(keys(routes({a, b, c})), ElementsAre("nested:A:AB", "nested:C:CA"));
  EXPECT_TRUE(log.take().empty());

  // The loop comes back: reported again.
  b.sources[0].enabled = true;
  routes({a, b, c});
  EXPECT_EQ(log.take().size(), 2u);
}

TEST_F(DesiredRoutesTest, GainsAndFlagsUseTheirTextForms) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources = {makeSource("S1", SourceType::system, "One"),
                    makeSource("S2", SourceType::system, "Two"),
                    makeSource("S3", SourceType::system, "Three")};
  device.sources[0].channelGains = std::vector<double>{1.0, 0.5};
  device.sources[0].gain = 0.1;
  device.sources[0].muted = true;
  device.sources[1].channelGains = std::vector<double>{};
  device.sources[1].gain = 2.0;
  device.sources[2].gain = 1e-7;  // stored values are passed on as they are, unclamped

  auto result = routes({device});
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0].controlEnvironment, (ServiceEnvironment{{"TIDEWELL_TAP_GAIN", "0.1"},
                                                              {"TIDEWELL_TAP_MUTED", "1"},
                                                              {"TIDEWELL_TAP_CHANNEL_GAINS", "1.0,0.5"}}));
  EXPECT_EQ(result[1].controlEnvironment.at("TIDEWELL_TAP_CHANNEL_GAINS"), "");
  EXPECT_EQ(result[1].controlEnvironment.at("TIDEWELL_TAP_GAIN"), "2.0");
  EXPECT_EQ(result[2].controlEnvironment.count("TIDEWELL_TAP_CHANNEL_GAINS"), 0u);
  EXPECT_EQ(std::stod(result[2].controlEnvironment.at("TIDEWELL_TAP_GAIN")), 1e-7);

  EXPECT_EQ(HelperValueFormat::gain(-3.0), "-3.0");
  EXPECT_EQ(HelperValueFormat::gain(1.0f), "1.0");
  EXPECT_EQ(HelperValueFormat::gain(0.3f), "0.3");
}

TEST_F(DesiredRoutesTest, ControlValuesNeverMakeRoutesDiffer) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources = {makeSource("S", SourceType::system, "All")};
  auto before = routes({device});
  device.sources[0].gain = 0.25;
  device.sources[0].muted = true;
  device.sources[0].channelGains = std::vector<double>{0.5, 0.5};
  auto slider = routes({device});
  EXPECT_EQ(before, slider);
  EXPECT_NE(before[0].controlEnvironment, slider[0].controlEnvironment);

  device.wires = {makeWire(EndpointKind::source, "S", 1, EndpointKind::deviceOutput, "D", 1)};
  EXPECT_NE(before, routes({device}));
}

}  // namespace
}  // namespace tidewell::testing
