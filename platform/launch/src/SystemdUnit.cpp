#include "launch/SystemdUnit.h"

namespace tidewell::launch {
namespace {

// A value in double quotes as systemd's command-line and assignment parsing reads it back:
// backslash escapes for '\', '"' and control characters, "%%" for a literal percent (no
// specifier expansion) and, in command lines, "$$" for a literal dollar (no variable expansion).
std::string quoted(const std::string& value, bool commandLine) {
  std::string out = "\"";
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '%': out += "%%"; break;
      case '$': out += commandLine ? "$$" : "$"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

// A path after "append:" is taken literally up to the end of the line; only specifiers expand.
std::string outputSetting(const std::string& path) {
  if (path.empty()) return "null";
  std::string out = "append:";
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

}  // namespace

std::string systemdUnitName(const std::string& label) { return "agent-" + label + ".service"; }

std::string systemdUnitText(const AgentDefinition& agent) {
  std::string unit;
  unit += "# Written by launchctl from the launch agent " + agent.path + "; bootout removes it.\n";
  unit += "[Unit]\n";
  unit += "Description=Launch agent " + agent.label + "\n";
  unit += "SourcePath=" + agent.path + "\n";
  // A kept-alive agent is restarted however often it exits.
  unit += "StartLimitIntervalSec=0\n";
  unit += "\n[Service]\n";
  unit += "Type=simple\n";
  unit += "ExecStart=";
  for (size_t i = 0; i < agent.programArguments.size(); ++i)
    unit += (i ? " " : "") + quoted(agent.programArguments[i], true);
  unit += "\n";
  for (const auto& [name, value] : agent.environment) unit += "Environment=" + quoted(name + "=" + value, false) + "\n";
  unit += "WorkingDirectory=/\n";
  unit += "StandardInput=null\n";
  unit += "StandardOutput=" + outputSetting(agent.standardOutPath) + "\n";
  unit += "StandardError=" + outputSetting(agent.standardErrorPath) + "\n";
  unit += std::string("Restart=") + (agent.keepAlive ? "always" : "no") + "\n";
  unit += "RestartSec=10\n";
  unit += "TimeoutStopSec=5\n";
  if (agent.runAtLoad || agent.keepAlive) unit += "\n[Install]\nWantedBy=default.target\n";
  return unit;
}

}  // namespace tidewell::launch
