// The binding family, the live copy and its debounced commit, and the commit path.

#include <QSignalSpy>

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Counts saves, and fails them on request.
class CountingFileManager : public FileManager {
 public:
  std::atomic<int> saves{0};
  bool failing = false;
  void writeNewFile(const std::filesystem::path& path, std::string_view bytes) override {
    if (failing) throw FileSystemError("write", path, ENOSPC);
    FileManager::writeNewFile(path, bytes);
  }
  void replaceItem(const std::filesystem::path& original,
                   const std::filesystem::path& replacement) override {
    FileManager::replaceItem(original, replacement);
    ++saves;
  }
};

class LiveEditTest : public ModelTest {
 protected:
  std::shared_ptr<CountingFileManager> files = std::make_shared<CountingFileManager>();
  std::unique_ptr<TidewellAppModel> model;
  DeviceConfig device = makeDevice("D", "Desk");

  void SetUp() override {
    store = std::make_shared<ConfigStore>(configFile, files);
    device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
    device.monitors.push_back(makeMonitor("M", "Speakers"));
    writeConfig({device});
    model = makeModel();
    files->saves = 0;
    publisher->published.clear();
  }
  const DeviceConfig& published() { return publisher->published.back().devices.at(0); }
};

TEST_F(LiveEditTest, TenGainChangesArePublishedAtOnceAndSavedOnceAfterThePause) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  QElapsedTimer sinceLastEdit;
  for (int i = 1; i <= 10; ++i) {
    gain.set(0.05 * i);
    sinceLastEdit.start();
    EXPECT_DOUBLE_EQ(published().sources[1].gain, 0.05 * i);
    EXPECT_DOUBLE_EQ(gain.get(), 0.05 * i);
    QTest::qWait(50);
  }
  EXPECT_EQ(publisher->published.size(), 10u);
  EXPECT_EQ(files->saves, 0);
  EXPECT_EQ(model->snapshot().devices[0].sources[1].gain, 1.0);
  EXPECT_TRUE(model->liveCommitWorkItem());

  ASSERT_TRUE(waitFor([&] { return files->saves > 0; }));
  EXPECT_GE(sinceLastEdit.elapsed(), TidewellAppModel::liveCommitDelayMilliseconds - 10);
  EXPECT_EQ(model->statusMessage(), "Saved");
  EXPECT_DOUBLE_EQ(savedConfig().devices[0].sources[1].gain, 0.5);
  EXPECT_EQ(model->snapshot(), savedConfig());
  EXPECT_FALSE(model->liveSnapshot());
  EXPECT_FALSE(model->liveCommitStatus());
  EXPECT_FALSE(model->liveCommitWorkItem());
  EXPECT_TRUE(model->terminationFlushInstalled());
  QTest::qWait(400);
  EXPECT_EQ(files->saves, 1);
}

TEST_F(LiveEditTest, BindingsReadTheWorkingCopyAndFallBackWhereNothingMatches) {
  auto name = deviceBinding(*model, "D", &DeviceConfig::name, std::string("none"));
  auto volume = deviceBinding(*model, "D", &DeviceConfig::volume, 7.0);
  auto missing = deviceBinding(*model, "X", &DeviceConfig::volume, 7.0);
  auto missingSource = sourceBinding(*model, "D", "X", &SourceConfig::muted, true);
  EXPECT_EQ(name.get(), "Desk");
  EXPECT_EQ(volume.get(), 1.0);
  EXPECT_EQ(missing.get(), 7.0);
  EXPECT_TRUE(missingSource.get());

  name.set("Studio");
  EXPECT_EQ(name.get(), "Studio");
  EXPECT_EQ(model->snapshot().devices[0].name, "Desk");
  EXPECT_EQ(model->liveCommitStatus(), "Saved");

  // A setter on an id that does not exist still publishes and later saves the working copy.
  const auto before = publisher->published.size();
  missing.set(0.5);
  EXPECT_EQ(publisher->published.size(), before + 1);
  ASSERT_TRUE(waitFor([&] { return files->saves > 0; }));
  EXPECT_EQ(savedConfig().devices[0].name, "Studio");
  EXPECT_EQ(savedConfig().devices[0].volume, 1.0);
  EXPECT_EQ(model->statusMessage(), "Saved");

  // Once the model is gone a getter gives its fallback and a setter does nothing.
  model.reset();
  EXPECT_EQ(name.get(), "none");
  name.set("Ghost");
  EXPECT_EQ(savedConfig().devices[0].name, "Studio");
}

TEST_F(LiveEditTest, ChannelGainBindingsKeepOneEntryPerChannelOrNoList) {
  auto left = deviceChannelGainBinding(*model, "D", 1);
  auto right = deviceChannelGainBinding(*model, "D", 2);
  auto none = deviceChannelGainBinding(*model, "D", 0);
  auto beyond = deviceChannelGainBinding(*model, "D", 3);
  auto monitorLeft = monitorChannelGainBinding(*model, "D", "M", 1);
  EXPECT_EQ(left.get(), 1.0);
  EXPECT_EQ(none.get(), 1.0);

  right.set(0.5);
  EXPECT_EQ(model->workingCopy().devices[0].channelGains, (std::vector<double>{1.0, 0.5}));
  EXPECT_EQ(right.get(), 0.5);
  EXPECT_EQ(beyond.get(), 1.0);
  EXPECT_EQ(none.get(), 1.0);
  right.set(1.0);
  EXPECT_FALSE(model->workingCopy().devices[0].channelGains);

  monitorLeft.set(0.25);
  EXPECT_EQ(model->workingCopy().devices[0].monitors[0].channelGains,
            (std::vector<double>{0.25, 1.0}));
  auto sourceRight = sourceChannelGainBinding(*model, "D", "S", 2);
  sourceRight.set(1.5);
  EXPECT_EQ(published().sources[1].channelGains, (std::vector<double>{1.0, 1.5}));
}

TEST_F(LiveEditTest, SwitchingASourceOrMonitorCommitsAtOnceAndRestartsItsHelpers) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  auto muted = sourceBinding(*model, "D", "S", &SourceConfig::muted, false);
  auto enabled = sourceBinding(*model, "D", "S", &SourceConfig::enabled, true);
  auto monitorOn = monitorBinding(*model, "D", "M", &MonitorConfig::enabled, true);

  gain.set(0.5);
  muted.set(true);
  EXPECT_EQ(files->saves, 0);
  EXPECT_TRUE(launcher->calls.empty());

  // Switching off saves the pending gain and mute with it, without waiting.
  enabled.set(false);
  EXPECT_EQ(files->saves, 1);
  const SourceConfig saved = savedConfig().devices[0].sources[1];
  EXPECT_FALSE(saved.enabled);
  EXPECT_TRUE(saved.muted);
  EXPECT_EQ(saved.gain, 0.5);
  EXPECT_FALSE(model->liveSnapshot());
  EXPECT_THAT(launcher->calls, ElementsAre("hardware:S", "tap:S"));

  monitorOn.set(false);
  EXPECT_EQ(files->saves, 2);
  EXPECT_THAT(launcher->calls, ElementsAre("hardware:S", "tap:S", "monitor:M"));
  QTest::qWait(400);
  EXPECT_EQ(files->saves, 2);
}

// Fault mended: a switch whose save failed still restarted the source's or monitor's helpers,
// as if the edit were playing. A refused save says why and restarts nothing.
TEST_F(LiveEditTest, ASwitchWhoseSaveFailsRestartsNoHelper) {
  auto enabled = sourceBinding(*model, "D", "S", &SourceConfig::enabled, true);
  auto monitorOn = monitorBinding(*model, "D", "M", &MonitorConfig::enabled, true);
  const auto before = readFile(configFile);
  files->failing = true;
  enabled.set(false);
  EXPECT_EQ(model->statusMessage(), "Save failed");
  monitorOn.set(false);
  EXPECT_EQ(model->statusMessage(), "Save failed");
  EXPECT_THAT(launcher->calls, IsEmpty());
  EXPECT_TRUE(enabled.get());
  EXPECT_TRUE(monitorOn.get());
  EXPECT_EQ(readFile(configFile), before);

  // Saved again, the switch restarts its helpers as before.
  files->failing = false;
  enabled.set(false);
  EXPECT_THAT(launcher->calls, ElementsAre("hardware:S", "tap:S"));
}

TEST_F(LiveEditTest, ARefusedLiveCommitIsDroppedAndTheCommittedConfigurationRepublished) {
  auto volume = deviceBinding(*model, "D", &DeviceConfig::volume, 1.0);
  volume.set(-3.0);  // the validator refuses it; the publisher normalises it meanwhile
  EXPECT_EQ(published().volume, -3.0);
  ASSERT_TRUE(waitFor([&] { return !model->liveCommitWorkItem(); }));
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  // The controls show the committed values again, and the validation follows them: no error is
  // left beside a value that was put back.
  EXPECT_TRUE(model->validation().errors.empty());
  EXPECT_FALSE(model->liveSnapshot());
  EXPECT_EQ(volume.get(), 1.0);
  EXPECT_EQ(files->saves, 0);
  // The regions carry the committed values again, not the refused ones.
  EXPECT_EQ(publisher->published.back(), model->snapshot());

  // The same for a save that fails.
  files->failing = true;
  volume.set(0.25);
  ASSERT_TRUE(waitFor([&] { return !model->liveCommitWorkItem(); }));
  EXPECT_EQ(model->statusMessage(), "Save failed");
  ASSERT_EQ(model->validation().errors.size(), 1u);
  EXPECT_EQ(model->validation().errors[0].code, "config.saveFailed");
  EXPECT_EQ(model->validation().errors[0].path, configFile.string());
  EXPECT_EQ(publisher->published.back(), model->snapshot());
  EXPECT_EQ(volume.get(), 1.0);
}

TEST_F(LiveEditTest, ARefusedStructuralEditKeepsAnUnrelatedPendingLiveEdit) {
  auto gain = monitorBinding(*model, "D", "M", &MonitorConfig::gain, 1.0);
  gain.set(0.75);
  ConfigSnapshot broken = model->workingCopy();
  broken.devices[0].channelCount = 3;  // odd: refused
  EXPECT_FALSE(model->saveEditedSnapshot(broken, "Updated channel count"));
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  ASSERT_TRUE(model->liveSnapshot());
  EXPECT_EQ(gain.get(), 0.75);
  EXPECT_TRUE(model->liveCommitWorkItem());
  // The regions keep showing the pending edit, which the window still shows.
  EXPECT_EQ(publisher->published.back().devices[0].monitors[0].gain, 0.75);

  ASSERT_TRUE(waitFor([&] { return files->saves > 0; }));
  // Saved on its own schedule, without hiding why the structural edit was refused.
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_EQ(savedConfig().devices[0].monitors[0].gain, 0.75);
  EXPECT_EQ(savedConfig().devices[0].channelCount, 2);
}

TEST_F(LiveEditTest, AStructuralEditSavesAPendingGainWithItAndNothingFollows) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  gain.set(0.3);
  QTest::qWait(100);
  model->createDevice();
  EXPECT_EQ(files->saves, 1);
  EXPECT_EQ(savedConfig().devices.size(), 2u);
  EXPECT_EQ(savedConfig().devices[0].sources[1].gain, 0.3);
  EXPECT_FALSE(model->liveSnapshot());
  QTest::qWait(400);
  EXPECT_EQ(files->saves, 1);
  EXPECT_EQ(model->statusMessage(), "Created Tidewell Device 2");
}

TEST_F(LiveEditTest, ReloadDropsAPendingEditUnsaved) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  gain.set(0.3);
  model->reload();
  EXPECT_FALSE(model->liveSnapshot());
  EXPECT_EQ(gain.get(), 1.0);
  QTest::qWait(400);
  EXPECT_EQ(files->saves, 0);
}

TEST_F(LiveEditTest, AFailedLivePublishIsReportedAndTheEditStillCommits) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  publisher->failing = true;
  gain.set(0.3);
  EXPECT_TRUE(model->runtimePublishFailed());
  publisher->failing = false;
  ASSERT_TRUE(waitFor([&] { return files->saves > 0; }));
  EXPECT_FALSE(model->runtimePublishFailed());
  EXPECT_EQ(model->statusMessage(), "Saved");
}

TEST_F(LiveEditTest, NothingIsPublishedOrSavedWhileUninstalling) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  gain.set(0.3);
  model->prepareForUninstall();
  EXPECT_FALSE(model->liveSnapshot());
  const auto published = publisher->published.size();
  model->setStatusMessage("before");
  gain.set(0.6);
  // Fault mended: the refused edit was silent, so after an uninstall that failed partway the
  // window seemed to take every edit.
  EXPECT_EQ(model->statusMessage(), "Nothing was saved: Tidewell is being uninstalled");
  EXPECT_EQ(publisher->published.size(), published);
  EXPECT_FALSE(model->liveSnapshot());
  model->flushLiveEdits();
  EXPECT_FALSE(model->saveEditedSnapshot(model->snapshot(), "Saved"));
  QTest::qWait(400);
  EXPECT_EQ(files->saves, 0);
  EXPECT_EQ(publisher->published.size(), published);
}

// Two copies of the application on one file. B was started first; A then saved a gain. B's
// rename, saved later, must keep A's gain: B carries its edit over onto the file as it is now.
TEST_F(LiveEditTest, AnEditSavedAfterAnotherCopySavedKeepsTheOtherCopysChange) {
  TidewellAppModel& b = *model;
  auto a = makeModel();
  sourceBinding(*a, "D", "S", &SourceConfig::gain, 1.0).set(0.25);
  ASSERT_TRUE(waitFor([&] { return !a->liveSnapshot(); }));
  ASSERT_EQ(a->statusMessage(), "Saved");
  ASSERT_DOUBLE_EQ(savedConfig().devices[0].sources[1].gain, 0.25);

  deviceBinding(b, "D", &DeviceConfig::name, std::string()).set("Podcast");
  ASSERT_TRUE(waitFor([&] { return !b.liveSnapshot(); }));
  const ConfigSnapshot file = savedConfig();
  EXPECT_EQ(file.devices[0].name, "Podcast");
  EXPECT_DOUBLE_EQ(file.devices[0].sources[1].gain, 0.25) << "A's gain is not lost";
  EXPECT_EQ(b.statusMessage(), "Saved");
  EXPECT_EQ(b.snapshot(), file) << "B shows what it saved";
  EXPECT_EQ(publisher->published.back(), file) << "and the runtime plays it";
  EXPECT_TRUE(b.validation().isValid());

  // A, in turn, now carries its next edit over onto B's rename.
  a->deleteMonitor("D", "M");
  EXPECT_EQ(savedConfig().devices[0].name, "Podcast");
  EXPECT_TRUE(savedConfig().devices[0].monitors.empty());
  EXPECT_EQ(a->snapshot(), savedConfig());
}

// An edit of an item another copy deleted meanwhile has nowhere to go: it is refused with a
// status that says why, and the window shows the file; the file keeps the other copy's delete.
TEST_F(LiveEditTest, AnEditOfAnItemAnotherCopyDeletedIsRefusedWithTheReason) {
  TidewellAppModel& b = *model;
  auto a = makeModel();
  a->deleteSource("D", "S");
  ASSERT_EQ(savedConfig().devices[0].sources.size(), 1u);

  sourceBinding(b, "D", "S", &SourceConfig::gain, 1.0).set(0.5);
  ASSERT_TRUE(waitFor([&] { return !b.liveSnapshot(); }));
  EXPECT_EQ(b.statusMessage(), "Not saved: the configuration changed on disk meanwhile; reloaded it");
  EXPECT_EQ(savedConfig().devices[0].sources.size(), 1u);
  EXPECT_EQ(b.snapshot(), savedConfig());
  EXPECT_EQ(publisher->published.back(), savedConfig()) << "the refused value plays no longer";

  // The window now edits the file as it is.
  deviceBinding(b, "D", &DeviceConfig::name, std::string()).set("Desk 2");
  ASSERT_TRUE(waitFor([&] { return !b.liveSnapshot(); }));
  EXPECT_EQ(b.statusMessage(), "Saved");
  EXPECT_EQ(savedConfig().devices[0].name, "Desk 2");
}

// Fault mended: the reload after an edit that could not be carried over ran inside the save,
// so the editor whose switch or port made the edit was deleted under its caller. The refusal
// is said at once; the file is reloaded once control is back in the event loop, one reload
// for every edit refused meanwhile.
TEST_F(LiveEditTest, AnEditThatCannotBeCarriedOverReloadsOnlyOnceItsCallerHasReturned) {
  TidewellAppModel& b = *model;
  auto a = makeModel();
  a->deleteSource("D", "S");
  const ConfigSnapshot file = savedConfig();
  const ConfigSnapshot shown = b.snapshot();
  ASSERT_NE(shown, file);
  QSignalSpy snapshots(&b, &TidewellAppModel::snapshotChanged);

  // Both switches commit at once; both edits are of the source the other copy removed.
  sourceBinding(b, "D", "S", &SourceConfig::enabled, true).set(false);
  EXPECT_EQ(b.statusMessage(), "Not saved: the configuration changed on disk meanwhile; reloaded it");
  EXPECT_EQ(b.snapshot(), shown) << "nothing the caller holds is replaced under it";
  sourceBinding(b, "D", "S", &SourceConfig::muteWhenCapturing, false).set(true);
  EXPECT_EQ(b.snapshot(), shown);
  EXPECT_EQ(snapshots.count(), 0);

  ASSERT_TRUE(waitFor([&] { return b.snapshot() == file; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(snapshots.count(), 1) << "one reload for both";
  EXPECT_FALSE(b.liveSnapshot());
  EXPECT_EQ(b.statusMessage(), "Not saved: the configuration changed on disk meanwhile; reloaded it");
  EXPECT_EQ(savedConfig(), file);
  EXPECT_EQ(publisher->published.back(), file);
}

// Fault mended: when the file lost every device (the service writes such a document when the
// file is missing), the next edit was carried over onto it as another writer's removal of
// every device, and the window's devices, the only copy left, were gone. The window's devices
// are saved back with the edit, and the status says so.
TEST_F(LiveEditTest, AFileThatLostEveryDeviceGetsTheWindowsDevicesBackWithTheEdit) {
  const QString restored = QStringLiteral(
      " (the configuration file had lost every device; the window's devices were saved to it again)");
  store->save(ConfigSnapshot::empty());
  sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0).set(0.5);
  ASSERT_TRUE(waitFor([&] { return !model->liveSnapshot(); }));
  ConfigSnapshot file = savedConfig();
  ASSERT_EQ(file.devices.size(), 1u);
  EXPECT_EQ(file.devices[0].id, "D");
  EXPECT_EQ(file.devices[0].monitors.size(), 1u);
  EXPECT_DOUBLE_EQ(file.devices[0].sources.at(1).gain, 0.5);
  EXPECT_EQ(model->snapshot(), file);
  EXPECT_EQ(model->statusMessage(), "Saved" + restored);

  // A structural edit alike: the new device joins the window's, it does not replace them.
  store->save(ConfigSnapshot::empty());
  model->createDevice();
  file = savedConfig();
  ASSERT_EQ(file.devices.size(), 2u);
  EXPECT_EQ(file.devices[0].id, "D");
  EXPECT_EQ(file.devices[1].name, "Tidewell Device 2");
  EXPECT_EQ(model->statusMessage(), "Created Tidewell Device 2" + restored);

  // The next edit, on a file that has its devices again, says nothing more.
  deviceBinding(*model, "D", &DeviceConfig::name, std::string()).set("Desk 2");
  ASSERT_TRUE(waitFor([&] { return !model->liveSnapshot(); }));
  EXPECT_EQ(model->statusMessage(), "Saved");
  EXPECT_EQ(savedConfig().devices.size(), 2u);
}

}  // namespace
}  // namespace tidewell::testing
