// The live edit path into the real shared-memory regions: a gain moved through a binding is in
// the source's control region at once, and in the file only after the pause.

#include <TidewellStream/TidewellControlReader.h>
#include <TidewellStream/TidewellMeterWriter.h>

#include "RegionOwnerSupport.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"

namespace tidewell::testing {
namespace {

std::optional<float> controlGain(const std::string& owner) {
  TidewellControlReader reader{};
  if (!TidewellControlReaderOpen(&reader, owner.c_str())) return std::nullopt;
  TidewellControlState state{};
  std::optional<float> gain;
  if (TidewellControlReaderPoll(&reader, &state)) gain = state.gain;
  TidewellControlReaderClose(&reader);
  return gain;
}

class ModelRegionTest : public ModelTest {
 protected:
  // Publishing into the real regions.
  AppEnvironment publishingEnvironment() {
    AppEnvironment env = environment();
    env.publisher = makeRuntimeConfigPublisher();
    return env;
  }
};

TEST_F(ModelRegionTest, ALiveGainIsInTheControlRegionAtOnceAndInTheFileAfterThePause) {
  DeviceConfig device = makeDevice("D", "Desk");
  SourceConfig system = makeSource("region-test-source", SourceType::system, "Everything");
  device.sources.push_back(system);
  writeConfig({device});
  TidewellAppModel model(publishingEnvironment());
  ASSERT_FALSE(model.runtimePublishFailed());
  EXPECT_EQ(controlGain(system.id), 1.0f);

  auto gain = sourceBinding(model, "D", system.id, &SourceConfig::gain, 1.0);
  gain.set(0.25);
  EXPECT_EQ(controlGain(system.id), 0.25f);
  EXPECT_EQ(savedConfig().devices[0].sources[1].gain, 1.0);
  gain.set(0.5);
  EXPECT_EQ(controlGain(system.id), 0.5f);

  ASSERT_TRUE(waitFor([&] { return savedConfig().devices[0].sources[1].gain == 0.5; }));
  EXPECT_EQ(model.statusMessage(), "Saved");
  EXPECT_EQ(controlGain(system.id), 0.5f);
}

TEST_F(ModelRegionTest, ARefusedCommitPutsTheCommittedGainBackIntoTheControlRegion) {
  DeviceConfig device = makeDevice("D", "Desk");
  MonitorConfig monitor = makeMonitor("region-test-monitor", "Speakers");
  device.monitors.push_back(monitor);
  writeConfig({device});
  TidewellAppModel model(publishingEnvironment());

  auto gain = monitorBinding(model, "D", monitor.id, &MonitorConfig::gain, 1.0);
  gain.set(0.5);
  // A second edit the validator refuses, made before the first was committed.
  ConfigSnapshot broken = model.workingCopy();
  broken.devices[0].monitors[0].gain = 5.0;
  model.updateSnapshotLive("Saved", [&](ConfigSnapshot& snapshot) { snapshot = broken; });
  EXPECT_EQ(controlGain(monitor.id), 2.0f);  // the region clamps what it is given
  ASSERT_TRUE(waitFor([&] { return !model.liveCommitWorkItem(); }));
  EXPECT_EQ(model.statusMessage(), "Fix validation errors before saving");
  // Neither the file nor the window holds 0.5 or 5.0: the helpers must not play them either.
  EXPECT_EQ(controlGain(monitor.id), 1.0f);
}

// The region names are the machine's. Another user's runtime region is not published over:
// the model says its publish failed and the region keeps that user's devices. Another user's
// meter region is no meter of this user's.
TEST_F(ModelRegionTest, AnotherUsersRegionsAreNeitherPublishedOverNorRead) {
  RuntimeControlStoreV3::publish({RuntimeDeviceControls("theirs", "Tidewell Demo", "", 2, true, 1.0, {}, true,
                                                        false, 1.0, {})},
                                 false);
  ASSERT_TRUE(regiontest::GiveRegionTo(TidewellRuntimeRegionName, regiontest::kOtherUser));
  const auto theirs = regiontest::RegionBytes(TidewellRuntimeRegionName, TidewellRuntimeSize);
  ASSERT_FALSE(theirs.empty());
  writeConfig({makeDevice("D", "Desk")});
  {
    TidewellAppModel model(publishingEnvironment());
    EXPECT_TRUE(model.runtimePublishFailed());
  }
  EXPECT_EQ(regiontest::RegionBytes(TidewellRuntimeRegionName, TidewellRuntimeSize), theirs);
  shm_unlink(TidewellRuntimeRegionName);

  const std::string owner = "model-region-meter-" + std::to_string(getpid());
  TidewellMeterWriter writer{nullptr, -1, 0};
  ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));
  const float levels[2] = {0.5f, 0.25f};
  TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, 2);
  TidewellMeterWriterClose(&writer);
  auto meters = makeRuntimeMeterSource();
  ASSERT_TRUE(meters->reading(owner).has_value());
  char name[TidewellRegionNameCapacity];
  ASSERT_TRUE(TidewellMeterName(TidewellMeterHash(owner.c_str()), name, sizeof name));
  ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser));
  EXPECT_FALSE(meters->reading(owner).has_value());
  shm_unlink(name);
}

}  // namespace
}  // namespace tidewell::testing
