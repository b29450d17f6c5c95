#pragma once
// Starts the build's routing service for an end-to-end test: its own HOME, the test's
// configuration file, the build's helpers, a short poll interval, output appended to a log.

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../../TidewellCore/registry/PrivateAudioServer.h"

namespace tidewell::testing {

// The service's pid, or -1 when it could not be started.
inline pid_t startTidewellService(const std::filesystem::path& home,
                                  const std::filesystem::path& configFile,
                                  const std::filesystem::path& log,
                                  const std::string& pollSeconds) {
  const char* socket = std::getenv("AUDIOSERVER_SOCKET");
  std::vector<std::string> entries = {
      "HOME=" + home.string(),
      "PATH=/usr/bin:/bin",
      "XDG_RUNTIME_DIR=" + home.string(),
      std::string("AUDIOSERVER_SOCKET=") + (socket ? socket : ""),
      "TIDEWELL_CONFIG_PATH=" + configFile.string(),
      "TIDEWELL_HELPER_DIR=" + binDirectory().string(),
      "TIDEWELL_SERVICE_POLL_SECONDS=" + pollSeconds};
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::string program = (binDirectory() / "tidewell-service").string();
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : pid;
}

// The service touches its heartbeat on every pass.
inline std::filesystem::path serviceHeartbeat(const std::filesystem::path& home) {
  return home / ".local/share/Tidewell/service-heartbeat";
}

}  // namespace tidewell::testing
