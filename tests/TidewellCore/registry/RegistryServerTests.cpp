// The registry against a real stand-in audio server: its emulated devices, devices added and
// removed at run time, defaults, and the processes that play audio.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "PrivateAudioServer.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> names(const std::vector<AudioDeviceInfo>& list) {
  std::vector<std::string> result;
  for (const auto& info : list) result.push_back(info.name);
  return result;
}

TEST(RegistryServerTest, InventoryFollowsTheServer) {
  PrivateAudioServer server;
  auto inventory = CoreAudioDeviceRegistry::deviceInventory();
  EXPECT_THAT(names(inventory.inputs), ElementsAre("Built-in Microphone", "USB Audio Interface"));
  EXPECT_THAT(names(inventory.outputs), ElementsAre("Built-in Output", "USB Audio Interface"));
  EXPECT_TRUE(inventory.inputs[0].isDefault);
  EXPECT_TRUE(inventory.outputs[0].isDefault);
  EXPECT_EQ(inventory.inputs[0].uid, "BuiltInMicrophoneDevice");
  EXPECT_EQ(inventory.inputs[0].channelCount, 2);
  // Two 2-channel input streams make a 4-channel input.
  EXPECT_EQ(inventory.inputs[1].channelCount, 4);
  EXPECT_FALSE(inventory.inputs[1].isDefault);
  EXPECT_EQ(inventory.outputs[1].channelCount, 4);

  ASSERT_EQ(runTool({"audioctl", "add-device", "Mic 10", "mic-10", "--inputs", "1"}), 0);
  ASSERT_EQ(runTool({"audioctl", "add-device", "mic 2", "mic-2", "--inputs", "1"}), 0);
  ASSERT_EQ(runTool({"audioctl", "set-default", "input", "USBAudioInterface"}), 0);
  inventory = CoreAudioDeviceRegistry::deviceInventory();
  EXPECT_THAT(names(inventory.inputs),
              ElementsAre("USB Audio Interface", "Built-in Microphone", "mic 2", "Mic 10"));
  EXPECT_TRUE(inventory.inputs[0].isDefault);
  EXPECT_TRUE(CoreAudioDeviceRegistry::containsDevice("mic-10"));

  ASSERT_EQ(runTool({"audioctl", "remove-device", "mic-10"}), 0);
  EXPECT_FALSE(CoreAudioDeviceRegistry::containsDevice("mic-10"));

  // Our own devices.
  EXPECT_FALSE(CoreAudioDeviceRegistry::passThruDeviceIsLoaded());
  EXPECT_FALSE(CoreAudioDeviceRegistry::halPlugInIsLoaded());
  std::string passThru(TidewellCore::passThruDeviceUID);
  ASSERT_EQ(runTool({"audioctl", "add-device", "Tidewell", passThru, "--inputs", "2", "--outputs", "2"}), 0);
  EXPECT_TRUE(CoreAudioDeviceRegistry::passThruDeviceIsLoaded());
  EXPECT_THAT(CoreAudioDeviceRegistry::tidewellDeviceSummaries(),
              ElementsAre(HALDeviceSummary{passThru, "Tidewell", 2, 2}));

  // No server: nothing, at once.
  server.stop();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CoreAudioDeviceRegistry::deviceInventory(), AudioDeviceInventory{});
  EXPECT_TRUE(CoreAudioDeviceRegistry::applicationSourceCandidates().empty());
  // At once: well under the client library's 10 s request timeout, which a hang would wait for.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(RegistryServerTest, PlayingApplicationsBecomeCandidatesAndLeaveWithTheirProcess) {
  PrivateAudioServer server;
  pid_t player = spawnTool({"audio-test-client", "play", "", "440", "-20", "30"},
                             {"AUDIOSERVER_BUNDLE_ID=org.example.player"});
  ASSERT_GT(player, 0);
  ASSERT_TRUE(eventually([] { return !RunningApplications::pids("org.example.player").empty(); }));
  EXPECT_THAT(RunningApplications::pids("org.example.player"), ElementsAre(player));
  auto application = RunningApplications::application(player);
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->bundleIdentifier, "org.example.player");

  auto candidates = CoreAudioDeviceRegistry::applicationSourceCandidates();
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0].displayName, "org.example.player");
  EXPECT_EQ(candidates[0].pid, player);
  EXPECT_TRUE(candidates[0].processObjectID.has_value());

  ::kill(player, SIGKILL);
  ::waitpid(player, nullptr, 0);
  EXPECT_TRUE(eventually([] { return RunningApplications::pids("org.example.player").empty(); }));
  EXPECT_FALSE(RunningApplications::application(player).has_value());
}

std::string fileText(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

TEST(RegistryServerTest, TheLoadedPlugInAndTheServerInstanceThatHoldsIt) {
  PrivateAudioServer server(true);
  ASSERT_TRUE(eventually([] { return CoreAudioDeviceRegistry::halPlugInIsLoaded(); }));
  auto loaded = CoreAudioDeviceRegistry::loadedHALPlugIn();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(CoreAudioDeviceRegistry::audioServerInstance(), loaded->serverInstance);
  // The values of the bundle the server loaded.
  const char* plugIns = std::getenv("TIDEWELL_PLUGIN_DIR");
  ASSERT_NE(plugIns, nullptr);
  std::string info = fileText(std::filesystem::path(plugIns) / "TidewellHAL.driver/Contents/Info.plist");
  ASSERT_TRUE(loaded->contentHash && loaded->shortVersion && loaded->bundleVersion);
  EXPECT_EQ(loaded->contentHash->size(), 64u);
  EXPECT_NE(info.find("<key>TWDriverContentHash</key>\n\t<string>" + *loaded->contentHash + "</string>"),
            std::string::npos);
  EXPECT_NE(info.find("<key>CFBundleVersion</key>\n\t<string>" + *loaded->bundleVersion + "</string>"),
            std::string::npos);

  server.stop();
  EXPECT_FALSE(CoreAudioDeviceRegistry::audioServerInstance());
  EXPECT_FALSE(CoreAudioDeviceRegistry::loadedHALPlugIn());
  server.start();
  ASSERT_TRUE(eventually([] { return CoreAudioDeviceRegistry::loadedHALPlugIn().has_value(); }));
  auto again = CoreAudioDeviceRegistry::loadedHALPlugIn();
  EXPECT_NE(again->serverInstance, loaded->serverInstance);
  EXPECT_EQ(again->contentHash, loaded->contentHash);
}

TEST(RegistryServerTest, QueriesFromManyThreadsAtOnce) {
  PrivateAudioServer server;
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto inventory = CoreAudioDeviceRegistry::deviceInventory();
        for (const auto& info : inventory.inputs) {
          if (info.uid.empty() || info.channelCount < 1) inconsistent.fetch_add(1);
        }
        CoreAudioDeviceRegistry::applicationSourceCandidates();
        CoreAudioDeviceRegistry::halPlugInIsLoaded();
        reads.fetch_add(1);
      }
    });
  }
  // Devices come and go meanwhile.
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(runTool({"audioctl", "add-device", "Extra", "extra", "--inputs", "2"}), 0);
    EXPECT_EQ(runTool({"audioctl", "remove-device", "extra"}), 0);
  }
  EXPECT_TRUE(eventually([&] { return reads.load() >= 20; }));
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(inconsistent.load(), 0);
}

}  // namespace
}  // namespace tidewell::testing
