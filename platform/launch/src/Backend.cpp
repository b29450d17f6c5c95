#include "Backend.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tidewell::launch {

std::string formatJobStatus(uid_t uid, const JobStatus& s) {
  std::string out = "gui/" + std::to_string(uid) + "/" + s.label + " = {\n";
  out += "\tpath = " + s.path + "\n";
  out += "\ttype = LaunchAgent\n";
  out += "\tstate = " + s.state + "\n";
  out += "\n\tprogram = " + (s.arguments.empty() ? std::string() : s.arguments.front()) + "\n";
  out += "\targuments = {\n";
  for (const auto& a : s.arguments) out += "\t\t" + a + "\n";
  out += "\t}\n\n";
  if (!s.standardOutPath.empty()) out += "\tstdout path = " + s.standardOutPath + "\n";
  if (!s.standardErrorPath.empty()) out += "\tstderr path = " + s.standardErrorPath + "\n";
  out += "\truns = " + std::to_string(s.runs) + "\n";
  if (s.pid > 0) out += "\tpid = " + std::to_string(s.pid) + "\n";
  if (!s.lastExit.empty()) out += "\t" + s.lastExit + "\n";
  out += s.detail;
  out += "}\n";
  return out;
}

std::vector<std::string> loginEnvironment(char** from) {
  static const char* const kept[] = {"HOME", "USER", "LOGNAME", "SHELL", "PATH", "TMPDIR", "TZ", "LANG", "LANGUAGE",
                                     "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
                                     "XDG_RUNTIME_DIR", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "AUDIOSERVER_SOCKET",
                                     "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"};
  std::vector<std::string> environment;
  for (char** entry = from; entry && *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool keep = name.rfind("LC_", 0) == 0;
    for (const char* k : kept) keep = keep || name == k;
    if (keep && text.find('=') != std::string::npos) environment.push_back(text);
  }
  return environment;
}

bool systemdUserManagerAnswers() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return false;
  std::string path = std::string(runtime) + "/systemd/private";
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

}  // namespace tidewell::launch
