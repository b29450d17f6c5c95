// Agents as systemd user units: bootstrap writes the unit into the user's unit folder and
// starts it; bootout stops, disables and removes it (and fails, keeping it, when it cannot stop
// or disable it). systemd keeps the job alive, appends its output to the log paths and kills
// what is left of it when it stops.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "Backend.h"
#include "Subprocess.h"
#include "launch/SystemdUnit.h"

namespace tidewell::launch {
namespace {

namespace fs = std::filesystem;

// The user's home as the user's systemd has it: $HOME when absolute, else the password
// database's entry (a relative HOME names no folder systemd would look in).
fs::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir &&
      result->pw_dir[0] == '/')
    return result->pw_dir;
  return "/";
}

fs::path configHome() {
  if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && c[0] == '/') return c;
  return homeFolder() / ".config";
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class SystemdBackend final : public Backend {
 public:
  void bootstrap(const AgentDefinition& agent) override {
    fs::path file = unitPath(agent.label);
    if (fs::exists(file))
      throw LaunchError(kExitAlreadyLoaded, "Bootstrap failed: 37: Operation already in progress: " + agent.label);
    // Before anything is written: a definition the unit cannot carry leaves no file behind.
    std::string text = systemdUnitText(agent);
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    fs::path temporary = file;
    temporary += ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << text;
      if (!out.flush()) throw LaunchError(kExitIOError, "Bootstrap failed: 5: cannot write " + temporary.string());
    }
    fs::rename(temporary, file, ec);
    if (ec) throw LaunchError(kExitIOError, "Bootstrap failed: 5: " + file.string() + ": " + ec.message());
    try {
      check(systemctl({"daemon-reload"}), "Bootstrap failed: 5: ");
      if (agent.runAtLoad || agent.keepAlive) check(systemctl({"start", unitName(agent.label)}), "Bootstrap failed: 5: ");
    } catch (const LaunchError&) {
      // A failed bootstrap leaves nothing loaded.
      systemctl({"stop", unitName(agent.label)});
      fs::remove(file, ec);
      systemctl({"daemon-reload"});
      throw;
    }
  }

  void bootout(const std::string& label) override {
    fs::path file = unitPath(label);
    if (!fs::exists(file)) throw LaunchError(kExitNoSuchProcess, "Boot-out failed: 3: No such process");
    std::string unit = unitName(label);
    // The unit stays, and the boot-out fails, until it is stopped and disabled: one left
    // running or enabled is started again and again (at the next login, after every exit),
    // whatever has become of its program; its file lets the next boot-out try again.
    check(systemctl({"stop", unit}), "Boot-out failed: 5: ");
    check(systemctl({"disable", unit}), "Boot-out failed: 5: ");
    std::error_code ec;
    fs::remove(file, ec);
    systemctl({"daemon-reload"});
    systemctl({"reset-failed", unit});
    if (ec) throw LaunchError(kExitIOError, "Boot-out failed: 5: " + file.string() + ": " + ec.message());
  }

  void enable(const std::string& label) override {
    // Every agent is enabled unless disabled, and nothing disables one; a loaded agent that
    // runs at load is also enabled for the next login.
    if (fs::exists(unitPath(label)) && unitText(label).find("[Install]") != std::string::npos)
      check(systemctl({"enable", unitName(label)}), "");
  }

  void kickstart(const std::string& label, bool killRunning) override {
    if (!fs::exists(unitPath(label))) throw unknown(label);
    check(systemctl({killRunning ? "restart" : "start", unitName(label)}), "");
  }

  std::string print(const std::string& label) override {
    if (!fs::exists(unitPath(label))) throw unknown(label);
    SubprocessResult r = systemctl({"show", "-p", "ActiveState", "-p", "SubState", "-p", "MainPID", "-p",
                                    "NRestarts", "-p", "ExecMainStatus", "-p", "ExecMainCode", unitName(label)});
    check(r, "");
    std::map<std::string, std::string> values;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
      if (auto eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    JobStatus status;
    status.label = label;
    if (values["ActiveState"] == "active" && values["SubState"] == "running") status.state = "running";
    else if (values["SubState"] == "auto-restart") status.state = "waiting";
    else status.state = "not running";
    status.pid = static_cast<pid_t>(std::atol(values["MainPID"].c_str()));
    status.runs = std::atol(values["NRestarts"].c_str()) + (status.pid > 0 ? 1 : 0);
    if (values["ExecMainCode"] != "0" && !values["ExecMainCode"].empty())
      status.lastExit = "last exit code = " + values["ExecMainStatus"];
    status.detail = "\tunit = " + unitName(label) + "\n";
    // The rest comes from the definition the unit was written from.
    status.path = systemdUnitSourcePath(unitText(label));
    if (!status.path.empty()) {
      try {
        AgentDefinition agent = readAgentDefinition(status.path);
        status.arguments = agent.programArguments;
        status.standardOutPath = agent.standardOutPath;
        status.standardErrorPath = agent.standardErrorPath;
      } catch (const LaunchError&) {
      }
    }
    return formatJobStatus(getuid(), status);
  }

 private:
  static std::string unitName(const std::string& label) { return systemdUnitName(label); }
  static fs::path unitPath(const std::string& label) { return configHome() / "systemd" / "user" / unitName(label); }
  static std::string unitText(const std::string& label) {
    std::ifstream in(unitPath(label));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static LaunchError unknown(const std::string& label) {
    return LaunchError(kExitUnknownService, "Could not find service \"" + label + "\" in domain for user gui: " +
                                                std::to_string(getuid()));
  }
  static SubprocessResult systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user"});
    return runSubprocess(arguments);
  }
  static void check(const SubprocessResult& r, const std::string& prefix) {
    if (r.status != 0)
      throw LaunchError(kExitIOError, prefix + (r.output.empty() ? "systemctl failed" : trimmed(r.output)));
  }
};

}  // namespace

std::unique_ptr<Backend> makeSystemdBackend() { return std::make_unique<SystemdBackend>(); }

}  // namespace tidewell::launch
