#pragma once
// The whole system with the real helpers and the plug-in, for crash tests: a virtual device
// that carries a hardware input (440 Hz) on its left channel and an application (997 Hz) on its
// right, with a monitor to the built-in output, so three helpers run. Tests kill parts of it
// and look at what is left: how many helpers each route has, what the device carries, and
// whether the runtime region is whole.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <cmath>

#include "ServiceProcessInspection.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {

class ServiceCrashTest : public ServiceProgramTest {
 protected:
  PrivateAudioServer server{true};
  pid_t player = -1;
  std::vector<tools::ChannelReport> heard;
  int recordings = 0;

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

  void TearDown() override {
    ServiceProgramTest::TearDown();
    stopPlayer();
    // Whatever a failed test left behind must not outlive it.
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      for (pid_t pid : pids) ::kill(pid, SIGKILL);
    }
  }

  static ConfigSnapshot configuration() {
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
                    makeWire(EndpointKind::source, "A", 1, EndpointKind::deviceOutput, "V", 2),
                    makeWire(EndpointKind::deviceOutput, "V", 1, EndpointKind::monitor, "M", 1),
                    makeWire(EndpointKind::deviceOutput, "V", 2, EndpointKind::monitor, "M", 2)};
    snapshot.devices = {device};
    return snapshot;
  }

  // The server's test tone on the USB input and the player; both are gone after a server
  // restart.
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

  void killService() {
    ::kill(servicePid, SIGKILL);
    ::waitpid(servicePid, nullptr, 0);
    servicePid = -1;
  }

  // Exactly one helper per route (three routes), each a child of the running service.
  bool oneHelperPerRoute() {
    auto helpers = helpersOfServer(server.socket());
    if (helpers.size() != 3) return false;
    for (const auto& [name, pids] : helpers) {
      if (pids.size() != 1 || stateOf(pids[0]).second != servicePid) return false;
    }
    return true;
  }

  std::string helperReport() {
    std::string text = "helpers (service " + std::to_string(servicePid) + "):";
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      text += " " + name + " [";
      for (pid_t pid : pids) text += " " + std::to_string(pid) + "<-" + std::to_string(stateOf(pid).second);
      text += " ]";
    }
    return text;
  }

  // One second of the virtual device's input, as any recording application gets it: true when
  // it carries 440 Hz on the left and 997 Hz on the right.
  bool record() {
    auto file = home.path() / ("device-" + std::to_string(recordings++) + ".wav");
    std::error_code ignored;
    if (runTool({"audio-record", "--device", std::string(TidewellCore::derivedDeviceUID("V")), "--output",
                 file.string(), "--duration", "1"}) != 0) {
      return false;
    }
    heard = tools::analyse(tools::readWav(file.string()));
    std::filesystem::remove(file, ignored);
    return heard.size() == 2 && std::abs(heard[0].dominantHz - 440) < 4.4 &&
           std::abs(heard[1].dominantHz - 997) < 10;
  }

  // The device carries each source once: its level within the tolerance of the reference,
  // tried up to three times, since a loaded machine can glitch one recording.
  bool carriesOnce(const std::vector<double>& reference, double tolerance) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (record() && std::abs(heard[0].rmsDbfs - reference[0]) < tolerance &&
          std::abs(heard[1].rmsDbfs - reference[1]) < tolerance) {
        return true;
      }
    }
    return false;
  }

  std::string described() const {
    std::string text;
    for (const auto& channel : heard) {
      text += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.rmsDbfs) + " dBFS; ";
    }
    return text;
  }

  // The runtime region exists with a valid header and no write left half done.
  static bool runtimeRegionIsWhole() {
    int fd = TidewellShmOpen(TidewellRuntimeRegionName, O_RDONLY, 0);
    if (fd < 0) return false;
    void* mapping = ::mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapping == MAP_FAILED) return false;
    bool whole = TidewellRegionHeaderMatches(mapping, TidewellRuntimeMagic, TidewellRuntimeVersion,
                                             TidewellRuntimeSize) &&
                 TidewellSequenceReadBegin(mapping) % 2 == 0;
    ::munmap(mapping, TidewellRuntimeSize);
    return whole;
  }

  size_t logCount(const std::string& prefix) {
    size_t count = 0;
    for (const auto& message : messages(logFile)) count += message.rfind(prefix, 0) == 0;
    return count;
  }
};

}  // namespace tidewell::testing
