#pragma once
// The model with everything running: the plug-in in a private audio server, the routing
// service on its own poll loop with the build's helpers, and a model over the real registry
// and regions.

#include <sys/wait.h>

#include <cstdio>

#include "ModelTestSupport.h"
#include "ServiceProcess.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {

class ModelEndToEndTest : public ModelTest {
 protected:
  PrivateAudioServer server{true};
  std::filesystem::path home = std::filesystem::path(folder.path().toStdString());
  std::filesystem::path serviceLog = home / "service.log";
  pid_t servicePid = -1;
  pid_t player = -1;

  void TearDown() override {
    for (pid_t* pid : {&player, &servicePid}) {
      if (*pid <= 0) continue;
      ::kill(*pid, SIGTERM);
      ::waitpid(*pid, nullptr, 0);
    }
  }

  // The default: many passes during the pause before a live commit.
  void startService(const std::string& pollSeconds = "0.05") {
    servicePid = startTidewellService(home, configFile, serviceLog, pollSeconds);
    ASSERT_GT(servicePid, 0);
  }

  std::filesystem::file_time_type lastServicePass() {
    return modificationTime(serviceHeartbeat(home));
  }

  // A model over the audio server and the real regions, with the test's file and preferences.
  std::unique_ptr<TidewellAppModel> makeLiveModel() {
    AppEnvironment env = environment();
    env.registry = makeAudioServerDeviceRegistry();
    env.publisher = makeRuntimeConfigPublisher();
    return std::make_unique<TidewellAppModel>(env);
  }

  // Device "V" saved, the service started on it, a live model over them, and the audio server
  // showing the device.
  void runOneDevice(DeviceConfig& device, std::unique_ptr<TidewellAppModel>& model) {
    device = makeDevice("V", "Virtual");
    device.uid = TidewellCore::derivedDeviceUID("V");
    writeConfig({device});
    startService();
    model = makeLiveModel();
    ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(device.uid); }));
  }

  bool serviceLogHas(const std::string& text) {
    return readFile(serviceLog).find(text) != std::string::npos;
  }
};

// What a program of the build writes to its standard output, run to its end.
inline std::string outputOf(const std::string& commandLine) {
  std::string command = (binDirectory() / commandLine).string() + " 2>/dev/null";
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::size_t read = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, read);
    ::pclose(pipe);
  }
  return text;
}

// The input channel count that `audioctl list` shows for the device with this uid; -1 when it
// lists no such device.
inline int listedInputChannels(const std::string& uid) {
  const std::string listing = outputOf("audioctl list");
  const auto at = listing.find("  uid: " + uid + "\n");
  if (at == std::string::npos) return -1;
  const std::string key = "  input channels: ";
  const auto line = listing.find(key, at);
  if (line == std::string::npos) return -1;
  return std::atoi(listing.c_str() + line + key.size());
}

}  // namespace tidewell::testing
