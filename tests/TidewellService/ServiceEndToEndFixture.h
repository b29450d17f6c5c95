#pragma once
// The whole road with the real helpers and the plug-in: a private audio server, the service
// program with the build's helpers, and what a recording application hears.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <cmath>

#include "ServiceProcessListing.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {

class ServiceEndToEndTest : public ServiceProgramTest {
 protected:
  PrivateAudioServer server{true};
  int captures = 0;
  std::vector<tools::ChannelReport> heard;

  void SetUp() override {
    ServiceProgramTest::SetUp();
    environment["AUDIOSERVER_SOCKET"] = std::getenv("AUDIOSERVER_SOCKET");
    environment["TIDEWELL_SERVICE_POLL_SECONDS"] = "0.2";
    for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName,
                      HelperPaths::processTapName}) {
      std::filesystem::remove(helperDir / name);
      std::filesystem::create_symlink(binDirectory() / name, helperDir / name);
    }
  }

  std::string described() const {
    std::string text;
    for (const auto& channel : heard) {
      text += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.steadyDbfs) + " dBFS; ";
    }
    return text;
  }
};

// An application captured through a process tap (997 Hz) and a hardware input (440 Hz), side
// by side in one virtual device that a monitor plays to the built-in output: three helpers.
class ServiceApplicationEndToEndTest : public ServiceEndToEndTest {
 protected:
  pid_t player = -1;

  void TearDown() override {
    ServiceEndToEndTest::TearDown();
    stopPlayer();
  }

  // The hardware input's channel 1 on the device's left, the player's `playerChannel` on its right.
  static ConfigSnapshot configuration(std::int64_t playerChannel = 1) {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("V", "Virtual", 2);
    device.uid = TidewellCore::derivedDeviceUID("V");
    SourceConfig usb = makeSource("H", SourceType::hardwareInput, "USB");
    usb.metadata.deviceUID = "USBAudioInterface";
    usb.channelCount = 4;
    SourceConfig application = makeSource("A", SourceType::application, "Player");
    application.metadata.bundleIdentifier = "org.example.player";
    device.sources = {usb, application};
    device.monitors = {makeMonitor("M", "Speakers", "BuiltInOutputDevice")};
    device.wires = {makeWire(EndpointKind::source, "H", 1, EndpointKind::deviceOutput, "V", 1),
                    makeWire(EndpointKind::source, "A", playerChannel, EndpointKind::deviceOutput, "V", 2),
                    makeWire(EndpointKind::deviceOutput, "V", 1, EndpointKind::monitor, "M", 1),
                    makeWire(EndpointKind::deviceOutput, "V", 2, EndpointKind::monitor, "M", 2)};
    snapshot.devices = {device};
    return snapshot;
  }

  // The server's test tone on the USB input (440 Hz) and the player (997 Hz), both at -12 dBFS.
  // A server that was started again has neither.
  void startSounds() {
    ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}), 0);
    stopPlayer();
    player = spawnTool({"audio-play", "--bundle-id", "org.example.player", "--sine", "997", "--level", "-12",
                        "--duration", "900"});
    ASSERT_GT(player, 0);
  }

  void stopPlayer() {
    if (player <= 0) return;
    ::kill(player, SIGKILL);
    ::waitpid(player, nullptr, 0);
    player = -1;
  }

  // One second of the virtual device's input, as any recording application gets it: true when
  // it has these frequencies on its two channels.
  bool recordDevice(double leftHz, double rightHz) {
    auto file = home.path() / ("device-" + std::to_string(captures++) + ".wav");
    if (runTool({"audio-record", "--device", std::string(TidewellCore::derivedDeviceUID("V")), "--output",
                 file.string(), "--duration", "1"}) != 0) {
      return false;
    }
    heard = tools::analyse(tools::readWav(file.string()));
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return heard.size() == 2 && std::abs(heard[0].dominantHz - leftHz) < leftHz / 100 &&
           std::abs(heard[1].dominantHz - rightHz) < rightHz / 100;
  }

  // The device carries the two frequencies at these levels (within the tolerance), judged on one
  // recording by its steady level: the few windows a loaded machine leaves silent or cut when it
  // takes the processors away do not tip it, and a source carried twice or not at its gain, which
  // every window shows, still fails.
  bool deviceCarries(double leftHz, double rightHz, const std::vector<double>& levels, double tolerance) {
    return recordDevice(leftHz, rightHz) && std::abs(heard[0].steadyDbfs - levels[0]) < tolerance &&
           std::abs(heard[1].steadyDbfs - levels[1]) < tolerance;
  }
};

}  // namespace tidewell::testing
