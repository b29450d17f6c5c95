// Structural edits with everything running: what an added monitor plays, what an added hardware
// input brings into the device, a deleted source's helper stopping, a channel count change
// under a running recording, and a deleted device leaving the audio server.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include "ModelEndToEndFixture.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

// The service's children that run this helper program.
std::vector<pid_t> serviceHelpers(pid_t service, const std::string& program) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    // After the command: the state letter, then the parent's pid.
    if (stat[close + 2] == 'Z' || std::atoi(stat.c_str() + close + 4) != service) continue;
    if (readFile(entry.path() / "cmdline").find(program) != std::string::npos) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

class StructuralEndToEndTest : public ModelEndToEndTest {
 protected:
  const std::string uid = TidewellCore::derivedDeviceUID("V");
  std::unique_ptr<TidewellAppModel> model;
  int recordings = 0;

  // Device V (2 channels, pass-thru) saved, the service running, the model over it, and the
  // device present in the audio server.
  void startWith(std::vector<DeviceConfig> devices = {}, const std::string& pollSeconds = "0.05") {
    if (devices.empty()) devices.push_back(makeDevice("V", "Virtual"));
    for (auto& device : devices) device.uid = TidewellCore::derivedDeviceUID(device.id);
    writeConfig(devices);
    startService(pollSeconds);
    model = makeLiveModel();
    ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
  }

  void play(double hz, double dbfs) {
    player = spawnTool({"audio-play", "--device", uid, "--sine", std::to_string(hz), "--level",
                        std::to_string(dbfs), "--duration", "120"});
    ASSERT_GT(player, 0);
  }

  // The last second of a capture or recording made by a program of the build.
  std::vector<tools::ChannelReport> lastSecondOf(const std::vector<std::string>& arguments,
                                                 const std::filesystem::path& file) {
    if (runTool(arguments) != 0) return {};
    auto audio = tools::readWav(file.string());
    const std::size_t second = std::size_t(audio.sampleRate) * audio.channels;
    if (audio.samples.size() > second) {
      audio.samples.erase(audio.samples.begin(), audio.samples.end() - long(second));
    }
    return tools::analyse(audio);
  }

  // Each channel carries the frequency at the level (within 1.5 dB), judged on one recording by
  // its steady level, which a few cycles lost under load do not tip.
  template <class Listen>
  bool carries(Listen listen, const std::vector<double>& hz, double dbfs) {
    const std::vector<tools::ChannelReport> heard = listen();
    bool all = heard.size() >= hz.size();
    for (std::size_t i = 0; all && i < hz.size(); ++i) {
      all = std::abs(heard[i].dominantHz - hz[i]) < hz[i] / 100 && std::abs(heard[i].steadyDbfs - dbfs) < 1.5;
    }
    if (all) return true;
    for (const auto& channel : heard) {
      ADD_FAILURE() << "heard " << channel.dominantHz << " Hz at " << channel.steadyDbfs << " dBFS";
    }
    return false;
  }

  std::vector<tools::ChannelReport> recordDevice() {
    const auto file = home / ("record-" + std::to_string(recordings++) + ".wav");
    return lastSecondOf(
        {"audio-record", "--device", uid, "--output", file.string(), "--duration", "1.5"}, file);
  }
};

TEST_F(StructuralEndToEndTest, AnAddedMonitorPlaysTheDeviceToBuiltInOutput) {
  startWith();
  play(997, -6);
  model->setSelectedMonitorOutputUID("BuiltInOutputDevice");
  model->addMonitor("V");
  ASSERT_EQ(model->statusMessage(), "Added monitor");
  ASSERT_TRUE(eventually([&] {
    return serviceLogHas("Started monitor 'Built-in Output' (Virtual)");
  })) << readFile(serviceLog);
  EXPECT_EQ(serviceHelpers(servicePid, "tidewell-monitor").size(), 1u);
  std::this_thread::sleep_for(1s);  // the helper settles its fill

  const auto hearOutput = [&] {
    const auto file = home / ("capture-" + std::to_string(recordings++) + ".wav");
    return lastSecondOf(
        {"audioctl", "capture", "BuiltInOutputDevice", file.string(), "--seconds", "2"}, file);
  };
  EXPECT_TRUE(carries(hearOutput, {997, 997}, -6));
}

TEST_F(StructuralEndToEndTest,
       AnAddedHardwareInputIsHeardOnItsWiredChannelsAndItsHelperStopsWhenDeleted) {
  ASSERT_EQ(
      runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}),
      0);
  ASSERT_EQ(
      runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "2", "sine", "1000", "-12"}),
      0);
  DeviceConfig device = makeDevice("V", "Virtual");
  device.sources.clear();
  device.wires.clear();
  startWith({device}, "0.25");

  model->setSelectedHardwareInputUID("USBAudioInterface");
  model->addHardwareInputSource("V");
  ASSERT_EQ(model->statusMessage(), "Added hardware input");
  const SourceConfig source = model->snapshot().devices[0].sources.back();
  EXPECT_EQ(source.channelCount, 4);
  ASSERT_TRUE(eventually([&] {
    return serviceLogHas("Started hardware input 'USB Audio Interface' (Virtual)");
  })) << readFile(serviceLog);
  std::this_thread::sleep_for(1s);
  // Input channel 1 on output 1 and 2 on 2, as the default wires say.
  EXPECT_TRUE(carries([&] { return recordDevice(); }, {440, 1000}, -12));

  const auto helpers = serviceHelpers(servicePid, "tidewell-hardware-source");
  ASSERT_EQ(helpers.size(), 1u);
  // Count the service's passes from the delete until it stops the helper: the pass under way
  // may have read the file before the save, the next one reads it after.
  auto pass = lastServicePass();
  int passes = 0;
  model->deleteSource("V", source.id);
  ASSERT_EQ(model->statusMessage(), "Deleted source");
  ASSERT_TRUE(eventually(
      [&] {
        if (lastServicePass() != pass) {
          pass = lastServicePass();
          ++passes;
        }
        return serviceLogHas("Stopping hardware input 'USB Audio Interface' (Virtual)");
      },
      10s))
      << readFile(serviceLog);
  RecordProperty("servicePassesBeforeStop", passes);
  EXPECT_LE(passes, 2) << "the service passed " << passes << " times before stopping the helper";
  EXPECT_TRUE(eventually([&] {
    return ::kill(helpers[0], 0) != 0 ||
           serviceHelpers(servicePid, "tidewell-hardware-source").empty();
  }));
  EXPECT_TRUE(serviceHelpers(servicePid, "tidewell-hardware-source").empty());
}

TEST_F(StructuralEndToEndTest, TheChannelCountChangesUnderARunningRecording) {
  startWith();
  play(997, -6);
  const auto file = home / "across.wav";
  pid_t recorder =
      spawnTool({"audio-record", "--device", uid, "--output", file.string(), "--duration", "8"});
  ASSERT_GT(recorder, 0);
  std::this_thread::sleep_for(1s);

  for (int count : {8, 2}) {
    model->setChannelCount("V", count);
    ASSERT_EQ(model->statusMessage(), "Updated channel count");
    const auto changed = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return listedInputChannels(uid) == count; }, 1s))
        << "audioctl lists " << listedInputChannels(uid) << " channels";
    RecordProperty("listedAfterMilliseconds" + std::to_string(count),
                   int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - changed)
                           .count()));
    std::this_thread::sleep_for(1s);
  }

  // The recording is still running across both changes and runs to its end. The cycles in
  // the 8-channel layout do not fit the 2-channel stream it opened: the recorder skips them and
  // says so in its exit status, so only a normal exit is asked for here.
  EXPECT_EQ(::kill(recorder, 0), 0) << "the recording ended during the changes";
  int status = 0;
  ASSERT_EQ(::waitpid(recorder, &status, 0), recorder);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  RecordProperty("recorderExitStatus", WEXITSTATUS(status));
  auto audio = tools::readWav(file.string());
  EXPECT_GE(audio.frames(), std::size_t(7.5 * audio.sampleRate));
  const std::size_t second = std::size_t(audio.sampleRate) * audio.channels;
  audio.samples.erase(audio.samples.begin(), audio.samples.end() - long(second));
  const auto heard = tools::analyse(audio);
  ASSERT_FALSE(heard.empty());
  EXPECT_NEAR(heard[0].dominantHz, 997, 10);
  EXPECT_NEAR(heard[0].steadyDbfs, -6, 1.5);
}

TEST_F(StructuralEndToEndTest, ADeletedDeviceLeavesTheAudioServer) {
  startWith({makeDevice("V", "Virtual"), makeDevice("W", "Other")});
  ASSERT_EQ(listedInputChannels(uid), 2);
  model->setSelectedDeviceID(std::string("V"));
  model->deleteSelectedDevice();
  ASSERT_EQ(model->statusMessage(), "Deleted device");
  EXPECT_EQ(model->selectedDeviceID(), "W");
  EXPECT_TRUE(eventually([&] { return listedInputChannels(uid) == -1; }, 5s));
  EXPECT_EQ(listedInputChannels(TidewellCore::derivedDeviceUID("W")), 2);
}

}  // namespace
}  // namespace tidewell::testing
