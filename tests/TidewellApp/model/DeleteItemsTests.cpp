// Deleting monitors, sources and devices (their wires, the remembered picks that move, the
// selection), and changing a device's channel count.

#include "StructuralEditFixture.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DeleteTest : public StructuralEditTest {
 protected:
  // Device D: pass-thru, a hardware input, an application and system audio; two monitors.
  void SetUp() override {
    SourceConfig input = makeSource("H", SourceType::hardwareInput, "Mic");
    input.metadata.deviceUID = "in-usb";
    SourceConfig input2 = makeSource("H2", SourceType::hardwareInput, "Mic 2");
    input2.metadata.deviceUID = "in-mic";
    device.sources.push_back(input);
    device.sources.push_back(makeApplicationSource("P", "com.example.player", 42));
    device.sources.push_back(makeApplicationSource("Q", "com.example.tool", 7));
    device.sources.push_back(makeSource("S", SourceType::system, "System Audio"));
    device.sources.push_back(input2);
    MonitorConfig speakers = makeMonitor("M", "Speakers");
    speakers.deviceUID = "out-builtin";
    MonitorConfig interface = makeMonitor("N", "Interface");
    interface.deviceUID = "out-usb";
    device.monitors = {speakers, interface};
    device.wires.push_back(
        makeWire("wh", EndpointKind::source, "H", 1, EndpointKind::deviceOutput, "D", 1));
    device.wires.push_back(
        makeWire("wm", EndpointKind::deviceOutput, "D", 1, EndpointKind::monitor, "M", 1));
    device.wires.push_back(
        makeWire("wn", EndpointKind::deviceOutput, "D", 2, EndpointKind::monitor, "N", 2));
    // A wire that names the monitor at its start (invalid, but must not outlive the monitor).
    device.wires.push_back(
        makeWire("wx", EndpointKind::monitor, "M", 2, EndpointKind::deviceOutput, "D", 2));
    device.wires.push_back(
        makeWire("wp", EndpointKind::source, "P", 2, EndpointKind::deviceOutput, "D", 2));
    start();
  }
};

TEST_F(DeleteTest, DeletingAMonitorRemovesItsWiresAtEitherEndAndMovesTheRememberedOutput) {
  model->setSelectedMonitorOutputUID("out-builtin");
  model->setMonitorRunning(true);
  model->deleteMonitor("D", "M");
  EXPECT_EQ(model->statusMessage(), "Deleted monitor");
  const DeviceConfig& result = saved();
  ASSERT_EQ(result.monitors.size(), 1u);
  EXPECT_EQ(result.monitors[0].id, "N");
  EXPECT_THAT(wireIDs(result), ElementsAre("D-w1", "D-w2", "wh", "wn", "wp"));
  // The shown device's first remaining monitor now plays the remembered output.
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-usb");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-usb");
  EXPECT_THAT(launcher->calls, ElementsAre("restart monitor"));

  // A monitor on another output moves nothing.
  model->setSelectedMonitorOutputUID("out-elsewhere");
  model->deleteMonitor("D", "N");
  EXPECT_THAT(saved().monitors, IsEmpty());
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-elsewhere");
  EXPECT_THAT(launcher->calls, ElementsAre("restart monitor"));
}

TEST_F(DeleteTest, TheLastMonitorOnTheRememberedOutputLeavesNoRememberedOutput) {
  model->deleteMonitor("D", "N");
  model->setSelectedMonitorOutputUID("out-builtin");
  model->deleteMonitor("D", "M");
  EXPECT_EQ(model->selectedMonitorOutputUID(), "");
  EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "");
  EXPECT_THAT(launcher->calls, IsEmpty()) << "no monitor helper runs";
}

TEST_F(DeleteTest, DeletingASourceRemovesItsWiresAndMovesTheRememberedInputAndApplication) {
  model->setSelectedHardwareInputUID("in-usb");
  model->setHardwareSourceRunning(true);
  model->deleteSource("D", "H");
  EXPECT_EQ(model->statusMessage(), "Deleted source");
  EXPECT_THAT(wireIDs(saved()), ElementsAre("D-w1", "D-w2", "wm", "wn", "wx", "wp"));
  EXPECT_EQ(model->selectedHardwareInputUID(), "in-mic");
  EXPECT_EQ(preference(PreferenceKeys::hardwareInputUID), "in-mic");
  EXPECT_THAT(launcher->calls, ElementsAre("restart hardware"));

  // What the removed source was is read from the saved configuration, not a pending change.
  launcher->calls.clear();
  model->setSelectedApplicationPID("42");
  model->setProcessTapRunning(true);
  model->updateDevice("D", "Saved", true, [](DeviceConfig& d) {
    for (auto& source : d.sources) {
      if (source.id == "P") source.metadata.pid = 5;
    }
  });
  model->deleteSource("D", "P");
  EXPECT_FALSE(model->liveSnapshot()) << "the pending edit is saved with the delete";
  EXPECT_EQ(model->selectedApplicationPID(), "7") << "the next application source's pid";
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "7");
  EXPECT_THAT(wireIDs(saved()), ElementsAre("D-w1", "D-w2", "wm", "wn", "wx"));
  EXPECT_THAT(launcher->calls, ElementsAre("restart tap"));

  // The pass-thru source goes like any other, and can come back.
  model->deleteSource("D", "D-pt");
  EXPECT_THAT(wireIDs(saved()), ElementsAre("wm", "wn", "wx"));
  model->addPassThruSource("D");
  EXPECT_EQ(saved().sources.front().type, SourceType::passThru);
}

TEST_F(DeleteTest, DeletingSystemAudioWhileItIsTheCaptureTargetRewritesTheTarget) {
  model->setProcessTapRunning(true);
  model->setSelectedApplicationPID("42");
  model->deleteSource("D", "S");
  EXPECT_THAT(launcher->calls, IsEmpty()) << "an application is the target";
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "(absent)");

  start();  // again, with system audio and an empty target
  model->setProcessTapRunning(true);
  model->deleteSource("D", "S");
  EXPECT_EQ(preference(PreferenceKeys::applicationPID), "");
  EXPECT_THAT(launcher->calls, ElementsAre("restart tap"));
}

// Fault mended: a delete whose target was gone saved the unchanged copy and said "Deleted ...".
TEST_F(DeleteTest, ADeleteOfSomethingGoneSaysSoSavesNothingAndMovesNothing) {
  model->setSelectedHardwareInputUID("in-usb");
  model->setHardwareSourceRunning(true);
  model->setMonitorRunning(true);
  pendingVolume(0.5);
  const ConfigSnapshot before = savedConfig();
  const std::vector<std::pair<std::function<void()>, QString>> cases{
      {[&] { model->deleteSource("D", "gone"); }, "Nothing was deleted: the source no longer exists"},
      {[&] { model->deleteSource("E", "H"); }, "Nothing was deleted: the device no longer exists"},
      {[&] { model->deleteMonitor("D", "gone"); }, "Nothing was deleted: the monitor no longer exists"},
      {[&] { model->deleteMonitor("E", "M"); }, "Nothing was deleted: the device no longer exists"},
      {[&] { model->setChannelCount("E", 4); }, "Nothing was changed: the device no longer exists"},
  };
  for (const auto& [edit, status] : cases) {
    model->setStatusMessage("before");
    edit();
    EXPECT_EQ(model->statusMessage(), status);
    EXPECT_EQ(savedConfig(), before) << status.toStdString();
    EXPECT_TRUE(model->liveSnapshot()) << "a pending live edit commits on its own schedule";
  }
  EXPECT_THAT(launcher->calls, IsEmpty());
  EXPECT_EQ(model->selectedHardwareInputUID(), "in-usb");

  // A selection that names a device no longer in the configuration.
  model->setSelectedDeviceID(std::string("E"));
  model->deleteSelectedDevice();
  EXPECT_EQ(model->statusMessage(), "Nothing was deleted: the device no longer exists");
  EXPECT_EQ(savedConfig(), before);
  EXPECT_EQ(model->selectedDeviceID(), "E");
}

TEST_F(DeleteTest, DeletingTheSelectedDeviceSelectsTheFirstRemainingOneOrNone) {
  start({makeDevice("A", "Alpha"), device, makeDevice("B", "Beta")});
  model->setSelectedDeviceID(std::string("D"));
  model->deleteSelectedDevice();
  EXPECT_EQ(model->statusMessage(), "Deleted device");
  ConfigSnapshot result = savedConfig();
  ASSERT_EQ(result.devices.size(), 2u);
  EXPECT_EQ(result.devices[0].id, "A");
  EXPECT_EQ(result.devices[1].id, "B");
  EXPECT_EQ(result.ui.selectedDeviceID, "A");
  EXPECT_EQ(model->selectedDeviceID(), "A");

  model->deleteSelectedDevice();
  model->deleteSelectedDevice();
  EXPECT_THAT(savedConfig().devices, IsEmpty());
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, std::nullopt);
  EXPECT_EQ(model->selectedDeviceID(), std::nullopt);
  EXPECT_FALSE(model->selectedDevice());

  model->setStatusMessage("before");
  model->deleteSelectedDevice();
  EXPECT_EQ(model->statusMessage(), "before") << "no selection: nothing happens";
}

// Fault mended: the selection used to move before a save that could be refused.
TEST_F(DeleteTest, ARefusedDeviceDeleteLeavesTheSelectionAlone) {
  start({device, makeDevice("B", "Beta")});
  model->setSelectedDeviceID(std::string("D"));
  files->failing = true;
  model->deleteSelectedDevice();
  EXPECT_EQ(model->statusMessage(), "Save failed");
  EXPECT_EQ(model->selectedDeviceID(), "D");
  ASSERT_TRUE(model->selectedDevice());
  EXPECT_EQ(model->selectedDevice()->id, "D");
  EXPECT_EQ(model->snapshot().devices.size(), 2u);
}

using ChannelCountTest = StructuralEditTest;

TEST_F(ChannelCountTest, RaisingRewiresThePassThruStraightThroughWithNewIds) {
  start();
  model->setChannelCount("D", 8);
  EXPECT_EQ(model->statusMessage(), "Updated channel count");
  const DeviceConfig result = saved();
  EXPECT_EQ(result.channelCount, 8);
  EXPECT_EQ(result.sources[0].channelCount, 8);
  std::vector<std::string> expected;
  for (int i = 1; i <= 8; ++i) {
    expected.push_back("source D-pt:" + std::to_string(i) +
                       " -> deviceOutput D:" + std::to_string(i));
  }
  EXPECT_EQ(routes(result), expected);
  EXPECT_THAT(wireIDs(result), ElementsAre("id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8"));
  EXPECT_THAT(launcher->calls, IsEmpty());
}

TEST_F(ChannelCountTest, ARewiredPassThruIsStraightenedEvenWhenTheCountStays) {
  device.wires[0].to.channel = 2;
  start();
  model->setChannelCount("D", 2);
  EXPECT_THAT(routes(saved()), ElementsAre("source D-pt:1 -> deviceOutput D:1",
                                           "source D-pt:2 -> deviceOutput D:2"));
}

TEST_F(ChannelCountTest,
       LoweringKeepsOtherWiresAsWarningsAndADeviceWithoutPassThruOnlyChangesItsCount) {
  device.channelCount = 8;
  device.sources[0].channelCount = 8;
  SourceConfig input = makeSource("H", SourceType::hardwareInput, "Mic");
  input.metadata.deviceUID = "in-usb";
  device.sources.push_back(input);
  MonitorConfig monitor = makeMonitor("M", "Speakers");
  monitor.channelCount = 8;
  device.monitors.push_back(monitor);
  for (int i = 3; i <= 8; ++i) {
    device.wires.push_back(makeWire("h" + std::to_string(i), EndpointKind::source, "H", 2,
                                    EndpointKind::deviceOutput, "D", i));
    device.wires.push_back(makeWire("m" + std::to_string(i), EndpointKind::deviceOutput, "D", i,
                                    EndpointKind::monitor, "M", i));
  }
  DeviceConfig plain = makeDevice("E", "Plain");
  plain.sources.clear();
  plain.wires.clear();
  start({device, plain});

  model->setChannelCount("D", 2);
  EXPECT_EQ(model->statusMessage(), "Updated channel count");
  const DeviceConfig result = saved();
  EXPECT_EQ(result.channelCount, 2);
  EXPECT_EQ(result.sources[0].channelCount, 2);
  EXPECT_EQ(result.wires.size(), 12u + 2u);
  EXPECT_FALSE(model->validation().warnings.empty());

  model->setChannelCount("E", 4);
  DeviceConfig expected = plain;
  expected.channelCount = 4;
  EXPECT_EQ(saved(1), expected);
}

// Fault mended: a gain list always holds a full count of entries, so a lower count was refused
// as soon as any channel gain had been set.
TEST_F(ChannelCountTest, LoweringCutsTheDeviceAndPassThruChannelGains) {
  start();
  model->setChannelCount("D", 8);
  auto deviceGain = [&](int channel, double gain) {
    model->updateDevice("D", "Saved", false, [&](DeviceConfig& d) {
      d.channelGains =
          ConfigEditor::updatedChannelGains(d.channelGains, d.channelCount, channel, gain);
    });
  };
  deviceGain(2, 0.5);
  deviceGain(6, 0.25);
  model->updateDevice("D", "Saved", false, [](DeviceConfig& d) {
    d.sources[0].channelGains = ConfigEditor::updatedChannelGains(std::nullopt, 8, 7, 0.5);
  });
  ASSERT_EQ(saved().channelGains->size(), 8u);

  model->setChannelCount("D", 2);
  EXPECT_EQ(model->statusMessage(), "Updated channel count");
  EXPECT_EQ(saved().channelCount, 2);
  EXPECT_EQ(saved().channelGains, (std::vector<double>{1.0, 0.5}));
  EXPECT_FALSE(saved().sources[0].channelGains) << "what remains is all at unity";

  // Raising leaves a shorter list as it is.
  model->setChannelCount("D", 4);
  EXPECT_EQ(saved().channelGains, (std::vector<double>{1.0, 0.5}));
}

TEST_F(ChannelCountTest, ACountBelowOneOrAnInvalidOneIsRefused) {
  start();
  pendingVolume(0.5);
  const ConfigSnapshot before = savedConfig();
  model->setChannelCount("D", 0);
  EXPECT_EQ(model->statusMessage(), "A device needs at least one channel");
  EXPECT_EQ(savedConfig(), before);
  EXPECT_TRUE(model->liveSnapshot());

  model->setChannelCount("D", 3);
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_EQ(savedConfig(), before);
  EXPECT_EQ(model->snapshot().devices[0].channelCount, 2);
}

// Fault mended: the pending live edit committed 0.3 s after a refused structural edit and its
// "Saved" replaced the refusal's reason, and its validation the refusal's issues.
TEST_F(ChannelCountTest, ARefusalStaysInViewUntilTheNextEdit) {
  start();
  pendingVolume(0.5);
  model->setChannelCount("D", 3);
  ASSERT_EQ(model->statusMessage(), "Fix validation errors before saving");
  const ValidationResult refused = model->validation();
  ASSERT_FALSE(refused.isValid());
  ASSERT_TRUE(waitFor([&] { return !model->liveSnapshot(); }));
  EXPECT_EQ(saved().volume, 0.5) << "the live edit is saved on its own schedule";
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_EQ(model->validation(), refused);

  // The next edit shows its own outcome.
  pendingVolume(0.25);
  ASSERT_TRUE(waitFor([&] { return !model->liveSnapshot(); }));
  EXPECT_EQ(model->statusMessage(), "Saved");
  EXPECT_TRUE(model->validation().isValid());
  EXPECT_EQ(saved().volume, 0.25);
}

}  // namespace
}  // namespace tidewell::testing
