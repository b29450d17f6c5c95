// kill -9 of the audio server, then a new one: every helper notices, ends and is started
// again by the service, once, and the device carries its sources again.

#include "ServiceCrashFixture.h"

namespace tidewell::testing {
namespace {

class AudioServerKillTest : public ServiceCrashTest {
 protected:
  bool detachedServer = false;

  void TearDown() override {
    ServiceCrashTest::TearDown();
    if (detachedServer) runTool({"audioctl", "stop"});
  }
};

TEST_F(AudioServerKillTest, EveryHelperComesBackOnceWithinFiveSeconds) {
  startSounds();
  save(configuration());
  start();
  // The level each source has with its single helper, once the helpers run on.
  ASSERT_TRUE(eventuallyTrue([&] { return settledHelpers(); }, 30s)) << helperReport() << readFile(logFile);
  ASSERT_TRUE(carriesOnce({-12, -12}, 1.5)) << described();
  const std::vector<double> reference = {heard[0].steadyDbfs, heard[1].steadyDbfs};
  std::vector<pid_t> before;
  for (const auto& [name, pids] : helpersOfServer(server.socket())) before.insert(before.end(), pids.begin(), pids.end());

  server.kill();
  const char* plugIns = std::getenv("TIDEWELL_PLUGIN_DIR");
  ASSERT_TRUE(plugIns);
  pid_t control = spawnTool({"audioctl", "start"}, {std::string("AUDIOSERVER_PLUGIN_PATH=") + plugIns});
  ASSERT_GT(control, 0);
  int status = 0;
  ::waitpid(control, &status, 0);
  detachedServer = true;
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto restarted = std::chrono::steady_clock::now();
  // The new server's input plays no tone yet, and the player lost its device with the old one.
  startSounds();

  // Watched all along: a route never has two helpers, not even for a moment.
  std::string duplicate;
  auto noDuplicate = [&] {
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      if (pids.size() > 1 && duplicate.empty()) duplicate = helperReport();
    }
    return duplicate.empty();
  };
  bool back = eventuallyTrue([&] {
    if (!noDuplicate() || !oneHelperPerRoute()) return false;
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      if (std::find(before.begin(), before.end(), pids[0]) != before.end()) return false;
    }
    return true;
  }, 5s - (std::chrono::steady_clock::now() - restarted));
  EXPECT_TRUE(back) << helperReport() << "\n" << readFile(logFile);
  ASSERT_TRUE(eventuallyTrue([&] { return noDuplicate() && oneHelperPerRoute(); }, 20s)) << helperReport();
  EXPECT_TRUE(eventuallyTrue([&] { return settledHelpers(); }, 20s)) << helperReport();
  EXPECT_TRUE(noDuplicate());
  EXPECT_EQ(duplicate, "");
  EXPECT_TRUE(carriesOnce(reference, 0.5))
      << described() << " against " << reference[0] << " and " << reference[1] << " dBFS";
  EXPECT_TRUE(oneHelperPerRoute()) << helperReport();
}

}  // namespace
}  // namespace tidewell::testing
