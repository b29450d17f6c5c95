#pragma once
// The two ways a loaded agent runs: as a systemd user unit, or under a supervisor process of
// our own. Each verb throws LaunchError on failure.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "launch/AgentDefinition.h"

namespace tidewell::launch {

// What `print` shows of a loaded job.
struct JobStatus {
  std::string label;
  std::string path;               // the agent definition
  std::string state;              // "running", "waiting" (restart scheduled) or "not running"
  pid_t pid = 0;                  // 0 when not running
  std::vector<std::string> arguments;
  std::string standardOutPath;
  std::string standardErrorPath;
  long runs = 0;
  std::string lastExit;           // "last exit code = N", "last terminating signal = N" or empty
  std::string detail;             // back-end specific lines, each ending in a newline
};

// The block `print` writes: "gui/<uid>/<label> = {", tab-indented "key = value" lines among
// them "state = running" and "pid = N", then "}".
std::string formatJobStatus(uid_t uid, const JobStatus& status);

class Backend {
 public:
  virtual ~Backend() = default;
  virtual void bootstrap(const AgentDefinition& agent) = 0;
  virtual void bootout(const std::string& label) = 0;
  virtual void enable(const std::string& label) = 0;
  virtual void kickstart(const std::string& label, bool killRunning) = 0;
  // The block formatJobStatus writes.
  virtual std::string print(const std::string& label) = 0;
};

std::unique_ptr<Backend> makeSystemdBackend();
// `self` is this program's path, run again as the supervisor.
std::unique_ptr<Backend> makeSupervisorBackend(const std::string& self);

// What a job (and its supervisor) gets of the environment launchctl was run with: the login's
// basics (HOME, USER, LOGNAME, SHELL, PATH, TMPDIR, TZ, the locale), the XDG folders, the audio
// server's socket and a sanitizer build's options, nothing else. A persistent job must not carry
// what the program that loaded it happened to run with (LD_PRELOAD, a test's TIDEWELL_ settings);
// its agent definition names what it needs. "NAME=value" entries, in the order of `from`.
std::vector<std::string> loginEnvironment(char** from);

// True when a systemd user manager listens on $XDG_RUNTIME_DIR/systemd/private.
bool systemdUserManagerAnswers();

// Where the own supervisor keeps its sockets: $XDG_RUNTIME_DIR/tidewell-launch, else
// /tmp/tidewell-launch-<uid>; created with mode 0700. Throws LaunchError when it cannot be
// created or belongs to someone else.
std::string supervisorStateDirectory();
// The socket the supervisor of `label` listens on.
std::string supervisorSocketPath(const std::string& label);

// Runs the supervisor of one agent (the hidden verb "supervise") on an already listening
// socket; writes "ok" or the reason it cannot run to readyFd. Returns the exit status.
int runSupervisor(const std::string& definitionPath, int listenFd, int readyFd);

}  // namespace tidewell::launch
