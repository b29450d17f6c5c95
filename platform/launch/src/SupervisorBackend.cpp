// Agents under a supervisor of our own, one process per loaded agent, reached through a Unix
// socket named after the label in a private runtime folder. bootstrap starts the supervisor;
// the other verbs are requests to it; bootout makes it stop the job and end.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "Backend.h"

extern char** environ;

namespace tidewell::launch {
namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path)
    throw LaunchError(kExitIOError, "The socket path " + path + " is too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A connection to the label's supervisor, or -1 when none listens.
int connectToSupervisor(const std::string& label) {
  sockaddr_un address = socketAddress(supervisorSocketPath(label));
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw LaunchError(kExitIOError, std::string("socket: ") + std::strerror(errno));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout{60, 0};  // bootout waits for the job's grace period
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

std::string request(int fd, const std::string& command) {
  std::string line = command + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
    throw LaunchError(kExitIOError, "The supervisor did not take the request");
  std::string reply;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) reply.append(buffer, static_cast<size_t>(n));
    else if (n == 0) break;
    else if (errno != EINTR) throw LaunchError(kExitIOError, "The supervisor did not answer");
  }
  return reply;
}

// A process that has ended counts as gone even while it waits to be reaped.
bool processIsGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
}

LaunchError unknownService(const std::string& label) {
  return LaunchError(kExitUnknownService,
                     "Could not find service \"" + label + "\" in domain for user gui: " + std::to_string(getuid()));
}

class SupervisorBackend final : public Backend {
 public:
  explicit SupervisorBackend(std::string self) : self_(std::move(self)) {}

  void bootstrap(const AgentDefinition& agent) override {
    std::string socketPath = supervisorSocketPath(agent.label);
    // Two bootstraps of one label must not both start a supervisor.
    std::string lockPath = supervisorStateDirectory() + "/bootstrap.lock";
    Fd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0)
      throw LaunchError(kExitIOError, "Bootstrap failed: 5: " + lockPath + ": " + std::strerror(errno));
    if (Fd existing(connectToSupervisor(agent.label)); existing.fd >= 0)
      throw LaunchError(kExitAlreadyLoaded, "Bootstrap failed: 37: Operation already in progress: " + agent.label);

    unlink(socketPath.c_str());  // left by a supervisor that did not end cleanly
    sockaddr_un address = socketAddress(socketPath);
    Fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.fd < 0 || bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.fd, 16) != 0)
      throw LaunchError(kExitIOError, "Bootstrap failed: 5: " + socketPath + ": " + std::strerror(errno));

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw LaunchError(kExitIOError, std::string("pipe: ") + std::strerror(errno));
    Fd readyRead(ready[0]);
    Fd readyWrite(ready[1]);
    pid_t child = fork();
    if (child < 0) throw LaunchError(kExitIOError, std::string("fork: ") + std::strerror(errno));
    if (child == 0) startSupervisor(agent.path, listener.fd, readyWrite.fd);  // never returns
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    close(readyWrite.fd);
    readyWrite.fd = -1;
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = read(readyRead.fd, buffer, sizeof buffer)) != 0;) {
      if (n > 0) answer.append(buffer, static_cast<size_t>(n));
      else if (errno != EINTR) break;
    }
    if (answer != "ok\n") {
      unlink(socketPath.c_str());
      throw LaunchError(kExitIOError, "Bootstrap failed: 5: " +
                                          (answer.empty() ? std::string("the supervisor did not start") : answer));
    }
  }

  void bootout(const std::string& label) override {
    Fd connection(connectToSupervisor(label));
    if (connection.fd < 0) throw LaunchError(kExitNoSuchProcess, "Boot-out failed: 3: No such process");
    ucred peer{};
    socklen_t size = sizeof peer;
    getsockopt(connection.fd, SOL_SOCKET, SO_PEERCRED, &peer, &size);
    std::string reply = request(connection.fd, "bootout");
    if (reply != "ok\n") throw LaunchError(kExitIOError, "Boot-out failed: 5: " + reply);
    // Done only when the supervisor itself has ended.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (peer.pid > 0 && !processIsGone(peer.pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  void enable(const std::string&) override {
    // Every agent is enabled unless disabled, and nothing disables one here.
  }

  void kickstart(const std::string& label, bool killRunning) override {
    Fd connection(connectToSupervisor(label));
    if (connection.fd < 0) throw unknownService(label);
    std::string reply = request(connection.fd, killRunning ? "kickstart-kill" : "kickstart");
    if (reply != "ok\n") throw LaunchError(kExitIOError, "Kickstart failed: " + reply);
  }

  std::string print(const std::string& label) override {
    Fd connection(connectToSupervisor(label));
    if (connection.fd < 0) throw unknownService(label);
    return request(connection.fd, "print");
  }

 private:
  // In the forked child: detach from the caller's session and standard streams (a caller that
  // reads our output to its end must not wait for the supervisor), then run this program again
  // as the supervisor with the listening socket on fd 3 and the readiness pipe on fd 4.
  [[noreturn]] void startSupervisor(const std::string& path, int listenFd, int readyFd) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int high = fcntl(listenFd, F_DUPFD, 10);
    int highReady = fcntl(readyFd, F_DUPFD, 10);
    int devNull = open("/dev/null", O_RDWR);
    if (high < 0 || highReady < 0 || devNull < 0) _exit(1);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    dup2(high, 3);
    dup2(highReady, 4);
    close_range(5, ~0U, 0);
    // The supervisor lives on after the caller: it keeps nothing of the caller's environment
    // but the login's basics.
    std::vector<std::string> environment = loginEnvironment(environ);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    execle(self_.c_str(), self_.c_str(), "supervise", path.c_str(), "3", "4", static_cast<char*>(nullptr),
           envp.data());
    const char* why = "cannot run the supervisor\n";
    [[maybe_unused]] auto written = write(4, why, std::strlen(why));
    _exit(1);
  }

  std::string self_;
};

}  // namespace

std::string supervisorStateDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string dir = runtime && runtime[0] == '/' ? std::string(runtime) + "/tidewell-launch"
                                                  : "/tmp/tidewell-launch-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw LaunchError(kExitIOError, dir + ": " + std::strerror(errno));
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 077) != 0)
    throw LaunchError(kExitIOError, dir + " is not a private folder of this user");
  return dir;
}

std::string supervisorSocketPath(const std::string& label) { return supervisorStateDirectory() + "/" + label + ".sock"; }

std::unique_ptr<Backend> makeSupervisorBackend(const std::string& self) {
  return std::make_unique<SupervisorBackend>(self);
}

}  // namespace tidewell::launch
