#pragma once
// Runs the tidewell-service program as a process in a private home, with helper scripts that
// note each start (process id and environment) and run until SIGTERM.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>

#include "ServiceTestSupport.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"

namespace tidewell::testing {

using namespace std::chrono_literals;

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

// The log's lines without their time stamps.
inline std::vector<std::string> messages(const std::filesystem::path& log) {
  std::vector<std::string> result;
  for (const auto& line : lines(readFile(log))) {
    auto end = line.find("] ");
    result.push_back(end == std::string::npos ? line : line.substr(end + 2));
  }
  return result;
}

inline bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

template <class Condition>
bool eventuallyTrue(Condition condition, std::chrono::duration<double> limit = 20s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// The runtime region's sequence counter (advances by 2 with every complete write); 0 when the
// region does not exist.
inline std::uint32_t runtimeSequence() {
  int fd = TidewellShmOpen(TidewellRuntimeRegionName, O_RDONLY, 0);
  if (fd < 0) return 0;
  void* mapping = ::mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) return 0;
  std::uint32_t sequence = TidewellSequenceReadBegin(mapping);
  ::munmap(mapping, TidewellRuntimeSize);
  return sequence;
}

inline bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

class ServiceProgramTest : public ::testing::Test {
 protected:
  TemporaryFolder home;
  std::filesystem::path helperDir = home.path() / "helpers";
  std::filesystem::path marks = home.path() / "marks";
  std::filesystem::path configFile = home.path() / "config.json";
  std::filesystem::path logFile = home.path() / "service.log";
  ServiceEnvironment environment;
  pid_t servicePid = -1;
  // The name the program is started under (argv[0]), where it also looks for its helpers;
  // empty: its real path.
  std::string programName;

  void SetUp() override {
    std::filesystem::create_directories(helperDir);
    std::filesystem::create_directories(marks);
    // Each helper notes its start (pid and environment) and runs until SIGTERM.
    std::string body = "#!/bin/sh\nid=\"$TIDEWELL_TAP_SOURCE_ID$TIDEWELL_SOURCE_ID$TIDEWELL_MONITOR_ID\"\n"
                       "/usr/bin/env > \"$MARKS/$id.env.$$\"\necho $$ >> \"$MARKS/$id.pids\"\n";
    for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName,
                      HelperPaths::processTapName}) {
      writeExecutable(helperDir / name, body + "exec sleep 600\n");
    }
    environment = {{"HOME", home.path().string()},
                   {"PATH", "/usr/bin:/bin"},
                   {"MARKS", marks.string()},
                   {"TIDEWELL_CONFIG_PATH", configFile.string()},
                   {"TIDEWELL_HELPER_DIR", helperDir.string()},
                   {"TIDEWELL_SERVICE_POLL_SECONDS", "0.1"},
                   {"AUDIOSERVER_SOCKET", (home.path() / "no-server").string()},
                   {"XDG_RUNTIME_DIR", home.path().string()}};
  }

  void TearDown() override {
    if (servicePid > 0) {
      // SIGTERM first: the service then ends its helpers, which would otherwise outlive the test.
      ::kill(servicePid, SIGTERM);
      if (finish(10s) < 0) {
        ::kill(servicePid, SIGKILL);
        ::waitpid(servicePid, nullptr, 0);
      }
    }
    // Nothing this test started may outlive it.
    for (auto& entry : std::filesystem::directory_iterator(marks)) {
      if (entry.path().extension() != ".pids") continue;
      for (const auto& pid : lines(readFile(entry.path()))) ::kill(std::stoi(pid), SIGKILL);
    }
  }

  static std::filesystem::path program() {
    const char* bin = std::getenv("TIDEWELL_BIN_DIR");
    return std::filesystem::path(bin ? bin : ".") / "tidewell-service";
  }

  void start() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = program().string();
    std::string name = programName.empty() ? path : programName;
    char* argv[] = {name.data(), nullptr};
    ASSERT_EQ(posix_spawn(&servicePid, path.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits for the program to end; its exit status, or -1 when it does not end in time.
  int finish(std::chrono::duration<double> limit = 20s) {
    int status = 0;
    bool ended = eventuallyTrue([&] { return ::waitpid(servicePid, &status, WNOHANG) == servicePid; },
                            limit);
    if (!ended) return -1;
    servicePid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int run() {
    start();
    return finish();
  }

  // Waits until the running program has made `count` more passes (each beats the heartbeat).
  void waitForPasses(int count) {
    auto heartbeat = home.path() / ".local/share/Tidewell/service-heartbeat";
    for (int pass = 0; pass < count; ++pass) {
      auto before = std::filesystem::exists(heartbeat) ? std::filesystem::last_write_time(heartbeat)
                                                       : std::filesystem::file_time_type{};
      ASSERT_TRUE(eventuallyTrue([&] {
        return std::filesystem::exists(heartbeat) && std::filesystem::last_write_time(heartbeat) != before;
      }));
    }
  }

  std::vector<pid_t> starts(const std::string& id) {
    std::vector<pid_t> pids;
    for (const auto& line : lines(readFile(marks / (id + ".pids")))) pids.push_back(std::stoi(line));
    return pids;
  }

  void save(const ConfigSnapshot& snapshot) { ConfigStore(configFile).save(snapshot); }

  static ConfigSnapshot systemCapture(const std::string& routeWire = "1:1") {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("D", "Desk");
    device.sources = {makeSource("S", SourceType::system, "All")};
    auto colon = routeWire.find(':');
    device.wires = {makeWire(EndpointKind::source, "S", std::stoi(routeWire.substr(0, colon)),
                             EndpointKind::deviceOutput, "D", std::stoi(routeWire.substr(colon + 1)))};
    snapshot.devices = {device};
    return snapshot;
  }
};

}  // namespace tidewell::testing
