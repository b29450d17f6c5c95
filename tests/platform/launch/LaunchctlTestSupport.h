#pragma once
// Runs the build's launchctl with an exact environment and reads its output to the end, as
// the application does: a process it leaves holding the pipe would hang the caller.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace launchtest {

struct Result {
  int status = -1;
  std::string output;  // standard output and error together
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string launchctlPath() {
  const char* bin = std::getenv("TIDEWELL_BIN_DIR");
  return std::string(bin ? bin : ".") + "/launchctl";
}

inline Result runLaunchctl(const std::vector<std::string>& arguments, std::vector<std::string> env) {
  std::vector<std::string> argv = {launchctlPath()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> a, e;
  for (auto& s : argv) a.push_back(s.data());
  a.push_back(nullptr);
  for (auto& s : env) e.push_back(s.data());
  e.push_back(nullptr);
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, a[0], &actions, nullptr, a.data(), e.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  Result r;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) r.output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace launchtest
