#pragma once
// A launch agent as its property list defines it, the targets the verbs name ("gui/<uid>" and
// "gui/<uid>/<label>"), and the failure every verb reports with its exit code.

#include <sys/types.h>

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell::launch {

// Exit codes of the tool. They follow the error numbers the verbs stand for.
inline constexpr int kExitNoSuchProcess = 3;    // bootout of a job that is not loaded
inline constexpr int kExitIOError = 5;          // unreadable definition, a job that cannot start
inline constexpr int kExitAlreadyLoaded = 37;   // bootstrap of a loaded job
inline constexpr int kExitUsage = 64;           // unknown verb, malformed target
inline constexpr int kExitNotPermitted = 1;     // another user's domain
inline constexpr int kExitUnknownService = 113; // print or kickstart of a job that is not loaded

// A verb that failed: the tool prints the message on standard error and exits with code().
class LaunchError : public std::runtime_error {
 public:
  LaunchError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct AgentDefinition {
  std::string path;  // the property list it was read from
  std::string label;
  std::vector<std::string> programArguments;  // never empty
  std::map<std::string, std::string> environment;
  bool runAtLoad = false;
  bool keepAlive = false;
  std::string standardOutPath;    // empty: discarded
  std::string standardErrorPath;  // empty: discarded
  bool operator==(const AgentDefinition&) const = default;
};

// Reads the keys Label, ProgramArguments, EnvironmentVariables, RunAtLoad, KeepAlive,
// StandardOutPath and StandardErrorPath; other keys are ignored. Throws LaunchError
// (kExitIOError) naming the file and the problem when it cannot be read or is not a valid agent.
AgentDefinition readAgentDefinition(const std::string& path);
AgentDefinition parseAgentDefinition(std::string_view xml, const std::string& path);

// A label is usable as a file and unit name: letters, digits, '.', '-' and '_', not starting
// with '.', at most 200 characters.
bool isValidLabel(std::string_view label);

struct Target {
  uid_t uid = 0;
  std::string label;  // empty for a domain target
};

// Parses "gui/<uid>" or "gui/<uid>/<label>". Throws LaunchError: kExitUsage when malformed,
// kExitNotPermitted when the uid is not the caller's.
Target parseTarget(const std::string& text, bool wantsLabel);

}  // namespace tidewell::launch
