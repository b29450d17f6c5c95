#pragma once
// What /proc tells about the processes of an end-to-end test: children, environments, command
// lines, and the real helpers that talk to this test's audio server wherever they hang.

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <vector>

#include "../TidewellCore/registry/PrivateAudioServer.h"
#include "ServiceProgramFixture.h"

namespace tidewell::testing {

// A process's state letter and parent; state 0 when it does not exist.
inline std::pair<char, pid_t> stateOf(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return {0, 0};
  std::istringstream fields(stat.substr(close + 2));
  char state = 0;
  pid_t ppid = 0;
  fields >> state >> ppid;
  return {state, ppid};
}

inline std::vector<pid_t> allProcesses() {
  std::vector<pid_t> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") == std::string::npos) pids.push_back(std::stoi(name));
  }
  return pids;
}

inline std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (pid_t pid : allProcesses()) {
    if (stateOf(pid).second == parent) children.push_back(pid);
  }
  return children;
}

// A process's environment, one "NAME=value" per entry.
inline std::vector<std::string> environmentOf(pid_t pid) {
  std::vector<std::string> entries;
  std::string text = readFile("/proc/" + std::to_string(pid) + "/environ");
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    entries.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

inline std::string commandOf(pid_t pid) { return readFile("/proc/" + std::to_string(pid) + "/cmdline"); }

inline pid_t helperNamed(const std::vector<pid_t>& helpers, const std::string& name) {
  for (pid_t helper : helpers) {
    if (commandOf(helper).find(name) != std::string::npos) return helper;
  }
  return 0;
}

// Every live (not zombie) process running one of the build's helper programs with this audio
// server socket in its environment, by program name: the helpers of this test, whoever their
// parent is now, and none of another test running beside it. A process whose parent is a
// helper of the same program is no second helper but a task of the first: a sanitizer build's
// leak check at exit clones one, with the helper's program and environment.
inline std::map<std::string, std::vector<pid_t>> helpersOfServer(const std::string& socket) {
  std::map<std::string, std::vector<pid_t>> found;
  std::map<pid_t, std::pair<std::string, pid_t>> candidates;  // pid: program name and parent
  std::map<std::string, std::string> programs;
  for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName, HelperPaths::processTapName}) {
    std::error_code error;
    programs[std::filesystem::canonical(binDirectory() / name, error).string()] = std::string(name);
  }
  for (pid_t pid : allProcesses()) {
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) continue;
    auto program = programs.find(exe.string());
    if (program == programs.end()) continue;
    const auto [state, parent] = stateOf(pid);
    if (state == 0 || state == 'Z' || state == 'X') continue;
    if (contains(environmentOf(pid), "AUDIOSERVER_SOCKET=" + socket)) candidates[pid] = {program->second, parent};
  }
  for (const auto& [pid, programAndParent] : candidates) {
    const auto parent = candidates.find(programAndParent.second);
    if (parent != candidates.end() && parent->second.first == programAndParent.first) continue;
    found[programAndParent.first].push_back(pid);
  }
  return found;
}

}  // namespace tidewell::testing
