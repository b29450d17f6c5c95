// The model against a private stand-in audio server: it follows device changes, and an
// application source follows its application across a relaunch.

#include <QElapsedTimer>
#include <sys/wait.h>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "ModelTestSupport.h"

namespace tidewell::testing {
namespace {

bool hasOutput(const TidewellAppModel& model, const std::string& uid) {
  for (const auto& device : model.audioDeviceInventory().outputs) {
    if (device.uid == uid) return true;
  }
  return false;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

class ModelServerTest : public ModelTest {
 protected:
  PrivateAudioServer server;
  std::unique_ptr<TidewellAppModel> model;

  void start(const std::vector<DeviceConfig>& devices) {
    writeConfig(devices);
    AppEnvironment env = environment();
    env.registry = makeAudioServerDeviceRegistry();
    env.publisher = makeRuntimeConfigPublisher();
    model = std::make_unique<TidewellAppModel>(env);
  }
};

TEST_F(ModelServerTest, AnAddedOrRemovedDeviceReachesTheOutputListByItself) {
  start({makeDevice("D", "Desk")});
  ASSERT_TRUE(hasOutput(*model, "BuiltInOutputDevice"));
  ASSERT_FALSE(hasOutput(*model, "linebox"));

  QElapsedTimer sinceAdded;
  sinceAdded.start();
  ASSERT_EQ(runTool({"audioctl", "add-device", "Line Box", "linebox", "--outputs", "2"}), 0);
  ASSERT_TRUE(waitFor([&] { return hasOutput(*model, "linebox"); }, 10000));
  RecordProperty("addedDeviceListedAfterMilliseconds", int(sinceAdded.elapsed()));
  bool listed = false;
  for (const auto& device : model->monitorOutputDevices()) listed |= device.uid == "linebox";
  EXPECT_TRUE(listed);

  ASSERT_EQ(runTool({"audioctl", "remove-device", "linebox"}), 0);
  EXPECT_TRUE(waitFor([&] { return !hasOutput(*model, "linebox"); }, 10000));
}

TEST_F(ModelServerTest, AnApplicationSourceFollowsItsRelaunchedApplication) {
  const std::string bundle = "org.example.relaunching";
  auto play = [&] {
    return spawnTool({"audio-play", "--bundle-id", bundle, "--sine", "997", "--level", "-20",
                      "--duration", "60"});
  };
  pid_t first = play();
  ASSERT_GT(first, 0);
  auto known = [&](pid_t pid) {
    for (const auto& candidate : CoreAudioDeviceRegistry::applicationSourceCandidates()) {
      if (candidate.pid == pid && candidate.bundleIdentifier == bundle) return true;
    }
    return false;
  };
  ASSERT_TRUE(eventually([&] { return known(first); }));

  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.push_back(makeApplicationSource("A", bundle, first));
  device.sources.back().metadata.processObjectID.reset();
  start({device});
  EXPECT_EQ(model->statusMessage(), "Loaded");
  EXPECT_EQ(savedConfig().devices[0].sources[1].metadata.pid, first);

  // Quit and started again: a new process of the same application.
  stop(first);
  pid_t second = play();
  ASSERT_GT(second, 0);
  ASSERT_TRUE(eventually([&] { return known(second); }));
  model->refreshApplicationSourceCandidates();
  EXPECT_EQ(model->statusMessage(), "Followed relaunched app");
  const SourceMetadata saved = savedConfig().devices[0].sources[1].metadata;
  EXPECT_EQ(saved.pid, second);
  EXPECT_EQ(saved.bundleIdentifier, bundle);
  ASSERT_TRUE(saved.processObjectID);
  EXPECT_GT(*saved.processObjectID, 0u);
  stop(second);
}

}  // namespace
}  // namespace tidewell::testing
