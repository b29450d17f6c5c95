// launchctl: load, start, inspect and unload per-user launch agents in the "gui/<uid>" domain.
//
//   launchctl bootstrap gui/<uid> <definition.plist>
//   launchctl bootout gui/<uid> <definition.plist>  |  launchctl bootout gui/<uid>/<label>
//   launchctl enable gui/<uid>/<label>
//   launchctl kickstart [-k] gui/<uid>/<label>
//   launchctl print gui/<uid>/<label>
//
// A job runs as a systemd user unit when a user manager answers, else under a supervisor of
// our own; TIDEWELL_LAUNCH_BACKEND=systemd|supervisor chooses one explicitly.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "Backend.h"

using namespace tidewell::launch;

namespace {

int usage() {
  std::cerr << "usage: launchctl bootstrap gui/<uid> <path>\n"
               "       launchctl bootout gui/<uid> <path> | gui/<uid>/<label>\n"
               "       launchctl enable gui/<uid>/<label>\n"
               "       launchctl kickstart [-k] gui/<uid>/<label>\n"
               "       launchctl print gui/<uid>/<label>\n";
  return kExitUsage;
}

std::string selfPath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) throw LaunchError(kExitIOError, "cannot find this program's own path");
  return std::string(buffer, static_cast<size_t>(n));
}

std::unique_ptr<Backend> chooseBackend() {
  const char* forced = std::getenv("TIDEWELL_LAUNCH_BACKEND");
  std::string choice = forced ? forced : "";
  if (choice == "systemd") return makeSystemdBackend();
  if (choice == "supervisor") return makeSupervisorBackend(selfPath());
  if (!choice.empty()) throw LaunchError(kExitUsage, "TIDEWELL_LAUNCH_BACKEND must be systemd or supervisor");
  if (systemdUserManagerAnswers()) return makeSystemdBackend();
  return makeSupervisorBackend(selfPath());
}

std::string absolute(const std::string& path) { return std::filesystem::absolute(path).lexically_normal().string(); }

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string verb = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);

  if (verb == "supervise" && args.size() == 3)
    return runSupervisor(args[0], std::atoi(args[1].c_str()), std::atoi(args[2].c_str()));

  if (verb == "bootstrap" && args.size() == 2) {
    parseTarget(args[0], false);
    AgentDefinition agent = readAgentDefinition(absolute(args[1]));
    chooseBackend()->bootstrap(agent);
    return 0;
  }
  if (verb == "bootout" && (args.size() == 1 || args.size() == 2)) {
    std::string label;
    if (args.size() == 2) {
      parseTarget(args[0], false);
      label = readAgentDefinition(absolute(args[1])).label;
    } else {
      label = parseTarget(args[0], true).label;
    }
    chooseBackend()->bootout(label);
    return 0;
  }
  if (verb == "enable" && args.size() == 1) {
    chooseBackend()->enable(parseTarget(args[0], true).label);
    return 0;
  }
  if (verb == "kickstart" && !args.empty()) {
    bool kill = false;
    size_t i = 0;
    for (; i + 1 < args.size(); ++i) {
      if (args[i] == "-k") kill = true;
      else return usage();
    }
    chooseBackend()->kickstart(parseTarget(args[i], true).label, kill);
    return 0;
  }
  if (verb == "print" && args.size() == 1) {
    std::cout << chooseBackend()->print(parseTarget(args[0], true).label) << std::flush;
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const LaunchError& e) {
    std::cerr << e.what() << "\n";
    return e.code();
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return kExitIOError;
  }
}
