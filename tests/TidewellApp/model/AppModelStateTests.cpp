// The model's fields, their change signals, preferences, reload and device creation.

#include "ModelTestSupport.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

class AppModelStateTest : public ModelTest {};

TEST_F(AppModelStateTest, StartsWithTheInitialValuesAndTheStoredPreferences) {
  {
    SettingsPreferences preferences(preferencesFile);
    preferences.setString("Tidewell.monitorOutputUID", "out-1");
    preferences.setString("Tidewell.applicationPID", "4242");
    preferences.setBoolean("Tidewell.developerMode", true);
  }
  auto model = makeModel();
  EXPECT_EQ(model->selectedMonitorOutputUID(), "out-1");
  EXPECT_EQ(model->selectedHardwareInputUID(), "");
  EXPECT_EQ(model->selectedApplicationPID(), "4242");
  EXPECT_TRUE(model->developerMode());
  EXPECT_EQ(model->serviceStatusMessage(), "Service not installed");
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");
  EXPECT_EQ(model->hardwareSourceStatusMessage(), "Hardware source stopped");
  EXPECT_EQ(model->processTapStatusMessage(), "Capture stopped");
  EXPECT_TRUE(model->serviceResponsive());
  EXPECT_TRUE(model->serviceBinariesInstalled());
  EXPECT_FALSE(model->serviceInstalled());
  EXPECT_FALSE(model->liveSnapshot());
  EXPECT_TRUE(model->halDriverLoaded());

  // Developer mode is written through, also when unchanged, and read at the next start.
  QSignalSpy spy(model.get(), &TidewellAppModel::developerModeChanged);
  model->setDeveloperMode(true);
  EXPECT_EQ(spy.count(), 0);
  model->setDeveloperMode(false);
  EXPECT_EQ(spy.count(), 1);
  EXPECT_EQ(SettingsPreferences(preferencesFile).boolean("Tidewell.developerMode"), false);
  EXPECT_FALSE(makeModel()->developerMode());
}

TEST_F(AppModelStateTest, AFieldSignalsOnlyWhenItsValueChangesAndInWriteOrder) {
  writeConfig({makeDevice("A", "Alpha"), makeDevice("B", "Beta")});
  auto model = makeModel();
  SignalLog log(*model);

  model->setStatusMessage("Loaded");  // equal: stored silently
  model->setSelectedDeviceID(std::string("A"));
  EXPECT_TRUE(log.take().empty());

  model->setStatusMessage("Wire added");
  model->setSelectedDeviceID(std::string("B"));
  model->setServiceRunning(true);
  EXPECT_THAT(log.take(), ElementsAre("statusMessage", "selectedDeviceID", "selectedDevice",
                                      "serviceRunning"));

  // A new selection id that resolves to no device changes the computed device too; a second
  // unknown id changes only the id.
  model->setSelectedDeviceID(std::string("gone"));
  model->setSelectedDeviceID(std::string("also gone"));
  EXPECT_THAT(log.take(), ElementsAre("selectedDeviceID", "selectedDevice", "selectedDeviceID"));

  // An equal inventory refreshes nothing; a different one refreshes the lists derived from it.
  model->setAudioDeviceInventory(model->audioDeviceInventory());
  EXPECT_TRUE(log.take().empty());
  AudioDeviceInventory inventory;
  inventory.outputs = {AudioDeviceInfo{"out-1", "Speakers", 2, true, std::nullopt}};
  model->setAudioDeviceInventory(inventory);
  EXPECT_THAT(log.take(),
              ElementsAre("audioDeviceInventory", "monitorOutputDevices", "defaultMonitorOutput"));
}

TEST_F(AppModelStateTest, FirstStartCreatesAndSavesTheDefaultDevice) {
  auto model = makeModel();
  ASSERT_EQ(model->snapshot().devices.size(), 1u);
  const DeviceConfig& device = model->snapshot().devices[0];
  EXPECT_EQ(device.name, "Tidewell");
  EXPECT_EQ(device.channelCount, 2);
  EXPECT_EQ(device.sampleRate, 48000.0);
  EXPECT_TRUE(device.enabled);
  EXPECT_EQ(savedConfig(), model->snapshot());
  EXPECT_EQ(model->selectedDeviceID(), device.id);
  EXPECT_EQ(model->selectedDevice(), device);
  EXPECT_EQ(model->statusMessage(), "Created default device");
  EXPECT_TRUE(model->validation().isValid());
  ASSERT_EQ(publisher->published.size(), 1u);
  EXPECT_EQ(publisher->published[0], model->snapshot());

  // A file whose device list is empty gets the default device the same way.
  writeConfig({});
  model->reload();
  ASSERT_EQ(savedConfig().devices.size(), 1u);
  EXPECT_EQ(model->statusMessage(), "Created default device");
}

// Fault mended: a selection that named no device left the editor at "No Devices" beside a
// sidebar full of devices. The file's selection holds while it names a device; a stale one, in
// the file or left by another writer's removal, shows the first device. The file keeps its
// field, and the validation still points at it.
TEST_F(AppModelStateTest, ReloadKeepsTheFilesSelectionAndAStaleOneShowsTheFirstDevice) {
  writeConfig({makeDevice("A", "Alpha"), makeDevice("B", "Beta")}, "B");
  auto model = makeModel();
  EXPECT_EQ(model->statusMessage(), "Loaded");
  EXPECT_EQ(model->selectedDevice()->name, "Beta");
  EXPECT_FALSE(model->runtimePublishFailed());

  writeConfig({makeDevice("A", "Alpha"), makeDevice("C", "Gamma")}, "B");
  model->reload();
  EXPECT_EQ(model->selectedDeviceID(), "A");
  ASSERT_TRUE(model->selectedDevice());
  EXPECT_EQ(model->selectedDevice()->name, "Alpha");
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, "B");
  ASSERT_EQ(model->validation().warnings.size(), 1u);
  EXPECT_EQ(model->validation().warnings[0].code, "ui.selectedDeviceMissing");

  // Another writer removes the device the window shows; the window's next edit is carried
  // over onto that file, and the window shows the first device the file still has.
  model->setSelectedDeviceID(std::string("C"));
  writeConfig({makeDevice("A", "Alpha")}, "B");
  model->updateDevice("A", "Saved", true, [](DeviceConfig& device) { device.name = "Alpha 2"; });
  model->flushLiveEdits();
  ASSERT_EQ(model->statusMessage(), "Saved");
  EXPECT_EQ(model->snapshot().devices.size(), 1u);
  EXPECT_EQ(model->selectedDeviceID(), "A");
  ASSERT_TRUE(model->selectedDevice());
  EXPECT_EQ(model->selectedDevice()->name, "Alpha 2");

  // A failed publish keeps the loaded configuration and says so.
  publisher->failing = true;
  model->reload();
  EXPECT_EQ(model->snapshot().devices.size(), 1u);
  EXPECT_TRUE(model->runtimePublishFailed());
  EXPECT_EQ(model->statusMessage(), "Loaded config, but runtime control update failed");
}

TEST_F(AppModelStateTest, AnUnreadableFileIsNeverOverwrittenAndTheFirstSaveMovesItAside) {
  const std::string damaged = "{ \"schemaVersion\": 2, \"devices\": [ oops";
  std::ofstream(configFile) << damaged;
  auto model = makeModel();
  EXPECT_EQ(model->statusMessage(), "Load failed");
  EXPECT_TRUE(model->snapshot().devices.empty());
  EXPECT_FALSE(model->selectedDevice());
  EXPECT_FALSE(model->selectedDeviceID());
  ASSERT_EQ(model->validation().errors.size(), 1u);
  EXPECT_EQ(model->validation().errors[0].code, "config.loadFailed");
  EXPECT_EQ(model->validation().errors[0].path, configFile.string());
  EXPECT_FALSE(model->validation().errors[0].message.empty());
  EXPECT_TRUE(publisher->published.empty());
  EXPECT_EQ(readFile(configFile), damaged);

  // "New Device" after the failure: the damaged file survives under a dated name.
  model->createDevice();
  const auto backup = configFile.parent_path() / "config.json.unreadable-20251206T054640Z";
  EXPECT_EQ(readFile(backup), damaged);
  ASSERT_EQ(savedConfig().devices.size(), 1u);
  EXPECT_EQ(savedConfig().devices[0].name, "Tidewell Device");
  EXPECT_EQ(model->statusMessage(),
            "Created Tidewell Device (the unreadable configuration was kept as "
            "config.json.unreadable-20251206T054640Z)");
  EXPECT_EQ(model->selectedDevice()->name, "Tidewell Device");

  // Later saves move nothing more.
  model->createDevice();
  EXPECT_EQ(model->statusMessage(), "Created Tidewell Device 2");
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(configFile.parent_path())) {
    files += entry.path().filename().string().starts_with("config.json");
  }
  EXPECT_EQ(files, 2);
}

TEST_F(AppModelStateTest, CreateDeviceNamesSelectsAndSavesUpToSixteenDevices) {
  writeConfig({makeDevice("A", "Alpha"), makeDevice("B", "Beta")}, "A");
  auto model = makeModel();
  model->createDevice();
  ASSERT_EQ(model->snapshot().devices.size(), 3u);
  const DeviceConfig created = model->snapshot().devices[2];
  EXPECT_EQ(created.name, "Tidewell Device 3");
  EXPECT_EQ(model->selectedDeviceID(), created.id);
  EXPECT_EQ(model->snapshot().ui.selectedDeviceID, created.id);
  EXPECT_EQ(model->statusMessage(), "Created Tidewell Device 3");
  EXPECT_EQ(savedConfig(), model->snapshot());

  std::vector<DeviceConfig> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back(makeDevice("D" + std::to_string(i), "Dev"));
  writeConfig(sixteen);
  model->reload();
  const auto before = readFile(configFile);
  model->createDevice();
  EXPECT_EQ(model->statusMessage(), "At most 16 devices are supported");
  EXPECT_EQ(model->snapshot().devices.size(), 16u);
  EXPECT_EQ(readFile(configFile), before);
}

TEST_F(AppModelStateTest, ARefusedCreateDeviceLeavesTheSelectionWhereItWas) {
  // Two devices sharing an id: the document loads but every save is refused.
  DeviceConfig twin = makeDevice("A", "Alpha twin");
  writeConfig({makeDevice("A", "Alpha"), makeDevice("B", "Beta")}, "B");
  ConfigSnapshot invalid = savedConfig();
  invalid.devices.push_back(twin);
  store->save(invalid);
  auto model = makeModel();
  ASSERT_FALSE(model->validation().isValid());

  model->createDevice();
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_EQ(model->selectedDeviceID(), "B");
  EXPECT_EQ(model->selectedDevice()->name, "Beta");
  EXPECT_EQ(model->snapshot().devices.size(), 3u);
}

TEST_F(AppModelStateTest, AfterPreparingForUninstallReloadChangesNothing) {
  auto model = makeModel();
  model->setStatusMessage("Uninstalling");
  QSignalSpy uninstalling(model.get(), &TidewellAppModel::isUninstallingChanged);
  model->prepareForUninstall();
  EXPECT_TRUE(model->isUninstalling());
  EXPECT_EQ(uninstalling.count(), 1);

  writeConfig({makeDevice("A", "Alpha"), makeDevice("B", "Beta")});
  SignalLog log(*model);
  const auto published = publisher->published.size();
  model->reload();
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(model->statusMessage(), "Uninstalling");
  // An edit is refused too, and says so (the model stays uninstalling after a failed run).
  model->createDevice();
  EXPECT_EQ(log.take(), std::vector<std::string>{"statusMessage"});
  EXPECT_EQ(model->statusMessage(), "Nothing was saved: Tidewell is being uninstalled");
  EXPECT_EQ(publisher->published.size(), published);
  EXPECT_EQ(savedConfig().devices.size(), 2u);
}

}  // namespace
}  // namespace tidewell::testing
