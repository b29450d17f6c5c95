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

// The path as a message shows it: control characters as C escapes.
std::string visible(const std::string& path) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : path) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (byte < 0x20 || byte == 0x7f) out += std::string("\\x") + digits[byte >> 4] + digits[byte & 15];
    else out += c;
  }
  return out;
}

// A path that takes the rest of its line (SourcePath=, "append:"), with its specifiers doubled.
// systemd has no escape for a line break there: one would end the setting and start a line of
// the path's choosing. It also strips a trailing blank and joins a line that ends in a
// backslash with the next, so such a path would be read back as another. All three are refused.
std::string linePath(const std::string& what, const std::string& path) {
  auto refuse = [&](const std::string& why) {
    return LaunchError(kExitIOError, "Bootstrap failed: 5: " + what + " \"" + visible(path) +
                                         "\" cannot be written into a systemd unit: " + why);
  };
  for (char c : path) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) throw refuse("it holds a line break or another control character");
  }
  if (!path.empty() && (path.back() == ' ' || path.back() == '\\'))
    throw refuse("it ends in a blank or a backslash");
  std::string out;
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::string outputSetting(const std::string& what, const std::string& path) {
  if (path.empty()) return "null";
  return "append:" + linePath(what, path);
}

}  // namespace

std::string systemdUnitName(const std::string& label) { return "agent-" + label + ".service"; }

std::string systemdUnitText(const AgentDefinition& agent) {
  // Checked first: the comment line below carries the path too.
  std::string sourcePath = linePath("The agent definition's path", agent.path);
  std::string unit;
  unit += "# Written by launchctl from the launch agent " + agent.path + "; bootout removes it.\n";
  unit += "[Unit]\n";
  unit += "Description=Launch agent " + agent.label + "\n";
  unit += "SourcePath=" + sourcePath + "\n";
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
  unit += "StandardOutput=" + outputSetting("StandardOutPath", agent.standardOutPath) + "\n";
  unit += "StandardError=" + outputSetting("StandardErrorPath", agent.standardErrorPath) + "\n";
  unit += std::string("Restart=") + (agent.keepAlive ? "always" : "no") + "\n";
  unit += "RestartSec=10\n";
  unit += "TimeoutStopSec=5\n";
  if (agent.runAtLoad || agent.keepAlive) unit += "\n[Install]\nWantedBy=default.target\n";
  return unit;
}

std::string systemdUnitSourcePath(const std::string& unitText) {
  const std::string key = "\nSourcePath=";
  auto at = unitText.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  std::string written = unitText.substr(at, unitText.find('\n', at) - at);
  std::string path;
  for (size_t i = 0; i < written.size(); ++i) {
    path += written[i];
    if (written[i] == '%' && i + 1 < written.size() && written[i + 1] == '%') ++i;
  }
  return path;
}

}  // namespace tidewell::launch
