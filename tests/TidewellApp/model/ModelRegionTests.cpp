// The live edit path into the real shared-memory regions: a gain moved through a binding is in
// the source's control region at once, and in the file only after the pause.

#include <TidewellStream/TidewellControlReader.h>

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

}  // namespace
}  // namespace tidewell::testing
