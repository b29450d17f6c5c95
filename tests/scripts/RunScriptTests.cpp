// `scripts/run.sh stop` against a stand-in build folder and a private HOME: it ends what the
// script itself started, by the ids it recorded, and nothing else, however it is named.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

pid_t spawn(const std::string& program, std::vector<std::string> arguments, const std::vector<std::string>& environment) {
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int started = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return started == 0 ? pid : -1;
}

bool ended(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class RunScriptStop : public ::testing::Test {
 protected:
  fs::path root;
  fs::path bin;
  std::vector<pid_t> started;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tidewell-run-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    bin = root / "build/bin";
    fs::create_directories(bin);
    fs::create_directories(root / "home/.local/state/Tidewell");
    // A launchctl that knows no job, and an example player that is a program of its own.
    std::ofstream(bin / "launchctl") << "#!/bin/sh\nexit 113\n";
    fs::permissions(bin / "launchctl", fs::perms::owner_all);
    fs::copy_file("/bin/sleep", bin / "audio-play");
  }
  void TearDown() override {
    for (pid_t pid : started) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  std::vector<std::string> environment() const {
    return {"HOME=" + (root / "home").string(), "PATH=/usr/bin:/bin", "TIDEWELL_BUILD_DIR=" + (root / "build").string()};
  }
  int stop() {
    const std::string script = std::string(std::getenv("TIDEWELL_SOURCE_DIR")) + "/scripts/run.sh";
    const pid_t pid = spawn("/bin/bash", {"bash", script, "stop"}, environment());
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Fault mended: stop signalled with pkill -f, by a pattern of paths and for every user, so run
// as root it could end other users' processes, or anything whose command line looked alike.
TEST_F(RunScriptStop, EndsWhatTheScriptRecordedAndNothingThatOnlyLooksLikeIt) {
  // Not started by the script, though its command line reads as the script's player.
  const std::string lookalike = (bin / "audio-play").string() + " --bundle-id org.example.player --sine 997";
  const pid_t other = spawn("/bin/sh", {lookalike, "-c", "sleep 600"}, environment());
  ASSERT_GT(other, 0);
  started.push_back(other);
  // Started and recorded as the script starts its player.
  const pid_t player = spawn((bin / "audio-play").string(), {(bin / "audio-play").string(), "600"}, environment());
  ASSERT_GT(player, 0);
  started.push_back(player);
  std::ofstream(root / "home/.local/state/Tidewell/example-player.pid") << player << "\n";
  // A recorded id now used by another program is not the player any more.
  const pid_t reused = spawn("/bin/sleep", {"sleep", "600"}, environment());
  ASSERT_GT(reused, 0);
  started.push_back(reused);
  std::ofstream(root / "home/.local/state/Tidewell/tidewell-app.pid") << reused << "\n";
  std::this_thread::sleep_for(200ms);  // every program in place

  EXPECT_EQ(stop(), 0);
  EXPECT_TRUE(ended(player, 10s)) << "the recorded player is stopped";
  EXPECT_FALSE(ended(other, 1s)) << "a process the script did not start is left alone";
  EXPECT_FALSE(ended(reused, 0s)) << "a recorded id that names another program is left alone";
  EXPECT_FALSE(fs::exists(root / "home/.local/state/Tidewell/example-player.pid"));
}

}  // namespace
