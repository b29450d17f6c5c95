#pragma once
// A private audioserverd for one test: its own socket in a temporary folder, found by this
// process and by every child through AUDIOSERVER_SOCKET.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TidewellCore/CoreAudioDeviceRegistry.h"

extern char** environ;

namespace tidewell::testing {

inline std::filesystem::path binDirectory() {
  const char* bin = std::getenv("TIDEWELL_BIN_DIR");
  return bin ? std::filesystem::path(bin) : std::filesystem::current_path();
}

// Starts a program of the build with this process's environment plus `extra` ("NAME=value"
// entries); returns its pid or -1. The environment of this process is never changed once the
// client library runs, since its threads read it.
inline pid_t spawnTool(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra = {}) {
  std::vector<std::string> words = arguments;
  words[0] = (binDirectory() / words[0]).string();
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> entries(extra);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

// Runs a program of the build to its end; its exit status.
inline int runTool(const std::vector<std::string>& arguments) {
  pid_t pid = spawnTool(arguments);
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class Condition>
bool eventually(Condition condition, std::chrono::duration<double> limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// One socket folder per test process, chosen before the client library starts any thread;
// the servers of successive tests take turns on it.
class PrivateSocketFolder {
 public:
  static const std::filesystem::path& path() {
    static PrivateSocketFolder folder;
    return folder.path_;
  }
  ~PrivateSocketFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  PrivateSocketFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tidewell-server-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    ::setenv("AUDIOSERVER_SOCKET", (path_ / "control").c_str(), 1);
  }
  std::filesystem::path path_;
};

class PrivateAudioServer {
 public:
  // withPlugIn: the server loads the plug-ins of the build (TIDEWELL_PLUGIN_DIR).
  explicit PrivateAudioServer(bool withPlugIn = false) : withPlugIn_(withPlugIn) {
    folder_ = PrivateSocketFolder::path();
    socket_ = (folder_ / "control").string();
    start();
  }
  ~PrivateAudioServer() { stop(); }
  void start() {
    std::vector<std::string> extra;
    const char* plugIns = std::getenv("TIDEWELL_PLUGIN_DIR");
    extra.push_back(std::string("AUDIOSERVER_PLUGIN_PATH=") +
                    (withPlugIn_ && plugIns ? plugIns : (folder_ / "no-plug-ins").c_str()));
    pid_ = spawnTool({"audioserverd", "--socket", socket_}, extra);
    ASSERT_GT(pid_, 0);
    // Until the client library has found this server, inventories come back empty.
    ASSERT_TRUE(eventually([] { return !CoreAudioDeviceRegistry::allDeviceUIDs().empty(); }));
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  const std::filesystem::path& folder() const { return folder_; }
  const std::string& socket() const { return socket_; }
  // Ends the server with SIGKILL, as a crash would; the object then owns no server.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::filesystem::path folder_;
  std::string socket_;
  bool withPlugIn_ = false;
  pid_t pid_ = -1;
};

}  // namespace tidewell::testing
