// Application sources follow their application to its new process.

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"

namespace tidewell::testing {
namespace {

class RelaunchedAppsTest : public ModelTest {
 protected:
  std::unique_ptr<TidewellAppModel> model;

  void start(std::vector<DeviceConfig> devices) {
    writeConfig(devices);
    model = makeModel();
  }
  void follow(std::vector<ApplicationSourceCandidate> candidates) {
    model->setApplicationSourceCandidates(candidates);
    model->followRelaunchedApplicationSources();
  }
  SourceMetadata savedMetadata(std::size_t device, std::size_t source) {
    return savedConfig().devices.at(device).sources.at(source).metadata;
  }
};

TEST_F(RelaunchedAppsTest, AQuitApplicationIsFollowedToItsSmallestNewPid) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 100));
  start({device});
  model->setStatusMessage("");

  // Not back yet: nothing changes and nothing is saved.
  const auto before = readFile(configFile);
  follow({candidate("org.example.other", 300)});
  EXPECT_EQ(readFile(configFile), before);
  EXPECT_EQ(model->statusMessage(), "");

  follow({candidate("org.example.player", 900, 9000), candidate("org.example.player", 700, 7000)});
  EXPECT_EQ(model->statusMessage(), "Followed relaunched app");
  EXPECT_EQ(savedMetadata(0, 1).pid, 700);
  EXPECT_EQ(savedMetadata(0, 1).processObjectID, 7000u);
  EXPECT_EQ(savedMetadata(0, 1).bundleIdentifier, "org.example.player");
  EXPECT_EQ(model->snapshot(), savedConfig());
}

TEST_F(RelaunchedAppsTest, ARunningApplicationStaysEvenBesideASecondInstance) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 500));
  start({device});
  const auto before = readFile(configFile);
  follow({candidate("org.example.player", 200), candidate("org.example.player", 500)});
  EXPECT_EQ(readFile(configFile), before);
}

TEST_F(RelaunchedAppsTest, APidNowUsedByAnotherApplicationDoesNotCountAsRunning) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 100));
  start({device});
  follow({candidate("org.example.editor", 100), candidate("org.example.player", 140, 1400)});
  EXPECT_EQ(savedMetadata(0, 1).pid, 140);
  EXPECT_EQ(savedMetadata(0, 1).processObjectID, 1400u);
}

TEST_F(RelaunchedAppsTest, SourcesInTwoDevicesFollowInOneSaveWithAPendingEdit) {
  DeviceConfig desk = makeDevice("D", "Desk");
  desk.sources.push_back(makeApplicationSource("A", "org.example.player", 100));
  DeviceConfig stream = makeDevice("E", "Stream");
  stream.sources.push_back(makeApplicationSource("B", "org.example.player", 100));
  SourceConfig system = makeSource("S", SourceType::system, "Everything");
  system.metadata.pid = 100;  // not an application source: never rewritten
  system.metadata.bundleIdentifier = "org.example.player";
  stream.sources.push_back(system);
  start({desk, stream});

  sourceBinding(*model, "E", "B", &SourceConfig::gain, 1.0).set(0.5);
  follow({candidate("org.example.player", 321)});
  EXPECT_EQ(model->statusMessage(), "Followed relaunched app");
  EXPECT_EQ(savedMetadata(0, 1).pid, 321);
  EXPECT_EQ(savedMetadata(1, 1).pid, 321);
  EXPECT_FALSE(savedMetadata(1, 1).processObjectID);
  EXPECT_EQ(savedMetadata(1, 2).pid, 100);
  EXPECT_EQ(savedConfig().devices[1].sources[1].gain, 0.5);
  EXPECT_FALSE(model->liveSnapshot());
}

TEST_F(RelaunchedAppsTest, ReloadFollowsAndThenShowsItsOwnStatus) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.push_back(makeApplicationSource("A", "org.example.player", 100));
  writeConfig({device});
  registry->candidates = {candidate("org.example.player", 222)};
  model = makeModel();
  EXPECT_EQ(savedMetadata(0, 1).pid, 222);
  EXPECT_EQ(model->statusMessage(), "Loaded");
  EXPECT_EQ(publisher->published.back(), savedConfig());
}

}  // namespace
}  // namespace tidewell::testing
