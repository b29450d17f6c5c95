// Adding monitors and sources: the new item, its id and wires, the pick it uses and remembers,
// the status text, and the adds that change nothing.

#include "StructuralEditFixture.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using AddMonitorTest = StructuralEditTest;

TEST_F(AddMonitorTest, AMonitorOnANarrowerOutputGetsTheOutputsWidthAndOneWirePerChannel) {
  device.channelCount = 8;
  start();
  model->setSelectedMonitorOutputUID("out-builtin");
  model->addMonitor("D");

  const DeviceConfig& result = saved();
  ASSERT_EQ(result.monitors.size(), 1u);
  const MonitorConfig& monitor = result.monitors[0];
  // The item's id first, then one per wire in channel order.
  EXPECT_EQ(monitor.id, "id1");
  EXPECT_EQ(monitor.name, "Built-in Output");
  EXPECT_EQ(monitor.deviceUID, "out-builtin");
  EXPECT_EQ(monitor.channelCount, 2);
  EXPECT_TRUE(monitor.enabled);
  EXPECT_FALSE(monitor.muted);
  EXPECT_EQ(monitor.gain, 1.0);
  EXPECT_FALSE(monitor.channelGains);
  EXPECT_THAT(
      routes(result),
      ElementsAre("source D-pt:1 -> deviceOutput D:1", "source D-pt:2 -> deviceOutput D:2",
                  "deviceOutput D:1 -> monitor id1:1", "deviceOutput D:2 -> monitor id1:2"));
  EXPECT_THAT(wireIDs(result), ElementsAre("D-w1", "D-w2", "id2", "id3"));
  EXPECT_EQ(model->statusMessage(), "Added monitor");
  EXPECT_EQ(model->snapshot(), savedConfig());
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-builtin");
  EXPECT_THAT(launcher->calls, IsEmpty()) << "no monitor helper runs";
}

TEST_F(AddMonitorTest, TheOutputIsTheRememberedOneWhilePresentElseTheDefaultElseTheFirst) {
  start();
  auto addedOutput = [&] { return saved().monitors.back().deviceUID; };

  model->setSelectedMonitorOutputUID("");
  model->addMonitor("D");
  EXPECT_EQ(addedOutput(), "out-builtin") << "empty pick: the default output";

  model->setSelectedMonitorOutputUID("out-usb");
  model->addMonitor("D");
  EXPECT_EQ(addedOutput(), "out-usb");
  EXPECT_EQ(saved().monitors.back().channelCount, 8);
  EXPECT_EQ(saved().wires.size(), 2u + 2u + 2u) << "min(8 output channels, 2 device channels)";

  // The inventory is read afresh by the add: the remembered output has gone, no default.
  registry->inventory.outputs = {hardware("out-hdmi", "HDMI", 2), hardware("out-usb", "USB", 8)};
  model->setSelectedMonitorOutputUID("out-builtin");
  model->addMonitor("D");
  EXPECT_EQ(addedOutput(), "out-hdmi") << "no default flagged: the first output";
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-hdmi");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-hdmi");
}

TEST_F(AddMonitorTest, WithNoOutputNothingIsSavedOrRemembered) {
  registry->inventory.outputs.clear();
  start();
  pendingVolume(0.5);
  model->setSelectedMonitorOutputUID("out-builtin");
  const ConfigSnapshot before = savedConfig();
  model->addMonitor("D");
  EXPECT_EQ(model->statusMessage(), "No monitor output is available");
  EXPECT_EQ(savedConfig(), before);
  EXPECT_TRUE(model->liveSnapshot()) << "the pending edit is neither saved nor dropped";
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-builtin");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "(absent)");
}

// Fault mended: an add that found the item already there reported "Added monitor".
TEST_F(AddMonitorTest, AnOutputTheDeviceAlreadyPlaysToIsNotAddedAndNotReportedAsAdded) {
  device.monitors.push_back(makeMonitor("M", "Speakers"));
  device.monitors[0].deviceUID = "out-builtin";
  start();
  model->setMonitorRunning(true);
  pendingVolume(0.5);
  // The remembered output vanished, and its stand-in, the default, is already monitored.
  model->setSelectedMonitorOutputUID("out-gone");
  const ConfigSnapshot before = savedConfig();
  model->addMonitor("D");
  EXPECT_EQ(model->statusMessage(),
            "Nothing was added: the device already plays to Built-in Output");
  EXPECT_EQ(savedConfig(), before);
  EXPECT_TRUE(model->liveSnapshot()) << "the pending edit commits on its own schedule";
  // The pick is still the user's: remembered, and a running monitor helper follows it.
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-builtin");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-builtin");
  EXPECT_THAT(launcher->calls, ElementsAre("restart monitor"));

  model->addMonitor("gone");
  EXPECT_EQ(model->statusMessage(), "Nothing was added: the device no longer exists");
  EXPECT_EQ(savedConfig(), before);
}

// Fault mended: the adds remembered the pick and restarted the running helper whatever became
// of the save. An add whose save fails is not in the file: the pick given with it is not
// remembered, the one remembered before stays, and no helper restarts.
TEST_F(AddMonitorTest, AnAddWhoseSaveFailsRemembersNothingAndRestartsNoHelper) {
  registry->candidates = {candidate("com.example.player", 42, 420)};
  start();
  model->rememberMonitorOutput("out-builtin");
  model->setMonitorRunning(true);
  model->setHardwareSourceRunning(true);
  model->setProcessTapRunning(true);
  model->setSelectedApplicationPID("42");
  const ConfigSnapshot before = savedConfig();
  files->failing = true;

  model->addMonitor("D", QString("out-usb"));
  EXPECT_EQ(model->statusMessage(), "Save failed");
  model->addHardwareInputSource("D", QString("in-usb"));
  EXPECT_EQ(model->statusMessage(), "Save failed");
  model->addApplicationSource("D", QString("42"));
  EXPECT_EQ(model->statusMessage(), "Save failed");
  model->addSystemAudioSource("D");
  EXPECT_EQ(model->statusMessage(), "Save failed");

  EXPECT_EQ(savedConfig(), before);
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-builtin");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-builtin");
  EXPECT_EQ(model->selectedHardwareInputUID(), "");
  EXPECT_EQ(preference(PreferenceKeys::hardwareInputUID), "(absent)");
  EXPECT_EQ(model->selectedApplicationPID(), "42") << "system audio did not become the target";
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "(absent)");
  EXPECT_THAT(launcher->calls, IsEmpty());

  // Saved, the pick given with the add is remembered and the helper follows it.
  files->failing = false;
  model->addMonitor("D", QString("out-usb"));
  EXPECT_EQ(model->statusMessage(), "Added monitor");
  EXPECT_EQ(saved().monitors.back().deviceUID, "out-usb");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-usb");
  EXPECT_THAT(launcher->calls, ElementsAre("restart monitor"));
}

// A device that reports thousands of channels is taken by the 64 a stream carries: the add is
// saved (a wider source or monitor would be refused by validation) and wired as usual.
TEST_F(AddMonitorTest, ADeviceReportingThousandsOfChannelsIsAddedWithSixtyFour) {
  registry->inventory.outputs = {hardware("out-wide", "Wide Output", 2000, true)};
  registry->inventory.inputs = {hardware("in-wide", "Wide Input", 8000, true)};
  device.channelCount = 64;
  device.sources.clear();
  device.wires.clear();
  start();
  model->addMonitor("D");
  EXPECT_EQ(model->statusMessage(), "Added monitor");
  model->addHardwareInputSource("D");
  EXPECT_EQ(model->statusMessage(), "Added hardware input");
  const DeviceConfig result = saved();
  ASSERT_EQ(result.monitors.size(), 1u);
  ASSERT_EQ(result.sources.size(), 1u);
  EXPECT_EQ(result.monitors[0].channelCount, 64);
  EXPECT_EQ(result.sources[0].channelCount, 64);
  EXPECT_EQ(result.wires.size(), 64u + 64u);
  EXPECT_EQ(result.wires.back().from.channel, 64) << "the last output takes the source's 64th";
  EXPECT_TRUE(model->validation().isValid());
}

using AddSourceTest = StructuralEditTest;

TEST_F(AddSourceTest, AHardwareInputFeedsEveryOutputChannelFromItsOwnOrItsLastChannel) {
  DeviceConfig wide = makeDevice("W", "Wide");
  wide.channelCount = 6;
  start({device, wide});
  model->setHardwareSourceRunning(true);

  model->addHardwareInputSource("D");  // the default: the mono microphone
  // Enabled, unmuted, at unity gain without per-channel gains: the new-source defaults.
  SourceConfig expected = makeSource("id1", SourceType::hardwareInput, "Built-in Microphone");
  expected.channelCount = 1;
  expected.metadata.deviceUID = "in-mic";
  EXPECT_EQ(saved(0).sources.back(), expected);
  EXPECT_THAT(routesFrom(saved(0), 2),
              ElementsAre("source id1:1 -> deviceOutput D:1", "source id1:1 -> deviceOutput D:2"));
  EXPECT_THAT(wireIDs(saved(0)), ElementsAre("D-w1", "D-w2", "id2", "id3"));
  EXPECT_EQ(model->statusMessage(), "Added hardware input");
  EXPECT_EQ(preference(PreferenceKeys::hardwareInputUID), "in-mic");

  const DeviceConfig desk = saved(0);
  model->setSelectedHardwareInputUID("in-usb");
  model->addHardwareInputSource("W");
  const DeviceConfig result = saved(1);
  EXPECT_EQ(result.sources.back().channelCount, 2);
  EXPECT_THAT(routesFrom(result, 2),
              ElementsAre("source id4:1 -> deviceOutput W:1", "source id4:2 -> deviceOutput W:2",
                          "source id4:2 -> deviceOutput W:3", "source id4:2 -> deviceOutput W:4",
                          "source id4:2 -> deviceOutput W:5", "source id4:2 -> deviceOutput W:6"));
  EXPECT_EQ(saved(0), desk) << "other devices are not touched";
  EXPECT_THAT(launcher->calls, ElementsAre("restart hardware", "restart hardware"));

  const ConfigSnapshot before = savedConfig();
  model->addHardwareInputSource("W");
  EXPECT_EQ(model->statusMessage(),
            "Nothing was added: the device already takes USB Audio Interface");
  EXPECT_EQ(savedConfig(), before);

  registry->inventory.inputs.clear();
  model->addHardwareInputSource("W");
  EXPECT_EQ(model->statusMessage(), "No hardware input is available");
}

TEST_F(AddSourceTest, PassThruComesFirstAndSystemAudioGetsAStereoPairOnlyOnce) {
  device.sources = {makeSource("H", SourceType::hardwareInput, "Mic")};
  device.wires.clear();
  device.channelCount = 4;
  start();
  model->setSelectedApplicationPID("42");
  model->setProcessTapRunning(true);

  model->addPassThruSource("D");
  EXPECT_EQ(model->statusMessage(), "Added pass-thru");
  DeviceConfig result = saved();
  ASSERT_EQ(result.sources.size(), 2u);
  SourceConfig passThru = makeSource("id1", SourceType::passThru, "Pass-Thru");
  passThru.channelCount = 4;
  EXPECT_EQ(result.sources[0], passThru);
  EXPECT_THAT(routes(result),
              ElementsAre("source id1:1 -> deviceOutput D:1", "source id1:2 -> deviceOutput D:2",
                          "source id1:3 -> deviceOutput D:3", "source id1:4 -> deviceOutput D:4"));
  EXPECT_THAT(launcher->calls, IsEmpty());

  model->addSystemAudioSource("D");
  EXPECT_EQ(model->statusMessage(), "Added system audio");
  result = saved();
  EXPECT_EQ(result.sources.back(), makeSource("id6", SourceType::system, "System Audio"));
  // Stereo whatever the device's width.
  EXPECT_THAT(routesFrom(result, 4),
              ElementsAre("source id6:1 -> deviceOutput D:1", "source id6:2 -> deviceOutput D:2"));
  // System audio becomes the capture target.
  EXPECT_EQ(model->selectedApplicationPID(), "");
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "");
  EXPECT_THAT(launcher->calls, ElementsAre("restart tap"));

  const ConfigSnapshot before = savedConfig();
  model->addPassThruSource("D");
  EXPECT_EQ(model->statusMessage(), "Nothing was added: the device already has a pass-thru source");
  model->addSystemAudioSource("D");
  EXPECT_EQ(model->statusMessage(),
            "Nothing was added: the device already has a system audio source");
  EXPECT_EQ(savedConfig(), before);
}

TEST_F(AddSourceTest, AnApplicationIsAddedOnceWhetherMatchedByProcessObjectOrByPid) {
  registry->candidates = {candidate("com.example.player", 42, 420),
                          candidate("com.example.tool", 7),
                          ApplicationSourceCandidate{"Nameless", std::nullopt, std::nullopt, 99}};
  registry->candidates[0].displayName = "Player";
  start();

  model->setSelectedApplicationPID("5");
  model->addApplicationSource("D");
  EXPECT_EQ(model->statusMessage(), "Select an application that is playing audio");

  model->setSelectedApplicationPID("42");
  model->addApplicationSource("D");
  EXPECT_EQ(model->statusMessage(), "Added application source");
  SourceConfig expected = makeSource("id1", SourceType::application, "Player");
  expected.muteWhenCapturing = true;
  expected.metadata.bundleIdentifier = "com.example.player";
  expected.metadata.pid = 42;
  expected.metadata.processObjectID = 420;
  EXPECT_EQ(saved().sources.back(), expected);
  EXPECT_THAT(routesFrom(saved(), 2),
              ElementsAre("source id1:1 -> deviceOutput D:1", "source id1:2 -> deviceOutput D:2"));
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "42");

  const std::size_t sources = saved().sources.size();
  // Same pid, no process object known.
  registry->candidates[0] = candidate("com.example.player", 42);
  model->addApplicationSource("D");
  EXPECT_EQ(model->statusMessage(), "Nothing was added: the device already captures App");
  EXPECT_EQ(saved().sources.size(), sources);
  // Same process object under a new pid (and a bundle that is not followed): the same capture.
  registry->candidates[0] = ApplicationSourceCandidate{"Player", "com.example.renamed", 43, 420};
  model->setSelectedApplicationPID("43");
  model->addApplicationSource("D");
  EXPECT_EQ(model->statusMessage(), "Nothing was added: the device already captures Player");
  EXPECT_EQ(saved().sources.size(), sources);

  // A candidate without a pid is picked, and remembered, as "0".
  model->setSelectedApplicationPID("0");
  model->addApplicationSource("D");
  EXPECT_EQ(saved().sources.back().name, "Nameless");
  EXPECT_FALSE(saved().sources.back().metadata.pid);
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "0");
}

TEST_F(AddSourceTest, ANestedDeviceIsAddedUnlessItWouldFormACycle) {
  DeviceConfig a = makeDevice("A", "Alpha");
  DeviceConfig b = makeDevice("B", "Beta");
  start({a, b});
  model->addVirtualDeviceSource("B", "A");
  EXPECT_EQ(model->statusMessage(), "Added nested device source");
  EXPECT_EQ(saved(1).sources.back().type, SourceType::virtualDevice);
  EXPECT_EQ(saved(1).sources.back().id, "id1");
  EXPECT_EQ(saved(1).sources.back().metadata.sourceDeviceID, "A");

  pendingVolume(0.5, "A");
  const ConfigSnapshot before = savedConfig();
  model->addVirtualDeviceSource("A", "B");
  EXPECT_TRUE(model->statusMessage().startsWith("Could not add nested device: "));
  EXPECT_EQ(
      model->statusMessage().toStdString(),
      "Could not add nested device: " + ConfigEditError::nestedDeviceCycle("B").description());
  EXPECT_EQ(savedConfig(), before);
  EXPECT_TRUE(model->liveSnapshot());
  model->addVirtualDeviceSource("A", "gone");
  EXPECT_EQ(
      model->statusMessage().toStdString(),
      "Could not add nested device: " + ConfigEditError::deviceNotFound("gone").description());
}

TEST_F(AddSourceTest, UsingSystemAudioForgetsTheApplicationAndRestartsARunningCapture) {
  start();
  const int writes = files->configurationWrites;
  model->setSelectedApplicationPID("42");
  model->useSystemAudioSource();
  EXPECT_EQ(model->selectedApplicationPID(), "");
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "");
  EXPECT_THAT(launcher->calls, IsEmpty());
  model->setProcessTapRunning(true);
  model->useSystemAudioSource();
  EXPECT_THAT(launcher->calls, ElementsAre("restart tap"));
  EXPECT_EQ(files->configurationWrites, writes) << "it saves no configuration";
}

TEST_F(AddSourceTest, RowHelpersNameAndFlagWhatIsPresent) {
  registry->inventory.inputs[1].channelNames = std::vector<std::string>{"Left", ""};
  registry->candidates = {candidate("com.example.player", 42)};
  start();
  MonitorConfig monitor = makeMonitor("M", "Old name");
  monitor.deviceUID = "out-usb";
  EXPECT_EQ(model->monitorOutputName(monitor), "USB Audio Interface");
  EXPECT_TRUE(model->monitorIsAvailable(monitor));
  monitor.deviceUID = "out-gone";
  EXPECT_EQ(model->monitorOutputName(monitor), "Old name");
  EXPECT_FALSE(model->monitorIsAvailable(monitor));

  SourceConfig input = makeSource("H", SourceType::hardwareInput, "Old input");
  EXPECT_EQ(model->hardwareInputName(input), "Old input");
  EXPECT_FALSE(model->hardwareInputIsAvailable(input));
  input.metadata.deviceUID = "in-usb";
  EXPECT_EQ(model->hardwareInputName(input), "USB Audio Interface");
  EXPECT_TRUE(model->hardwareInputIsAvailable(input));

  SourceConfig app = makeSource("P", SourceType::application, "Player");
  EXPECT_FALSE(model->applicationIsAvailable(app));
  app.metadata.pid = 42;
  EXPECT_TRUE(model->applicationIsAvailable(app));
  app.metadata.pid = 43;
  EXPECT_FALSE(model->applicationIsAvailable(app));

  const auto inputs = model->hardwareInputDevices();
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::string("in-usb"), 1), "Left");
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::string("in-usb"), 2), std::nullopt);
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::string("in-usb"), 0), std::nullopt);
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::string("in-usb"), 3), std::nullopt);
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::string("in-mic"), 1), std::nullopt);
  EXPECT_EQ(TidewellAppModel::channelName(inputs, std::nullopt, 1), std::nullopt);
}

}  // namespace
}  // namespace tidewell::testing
