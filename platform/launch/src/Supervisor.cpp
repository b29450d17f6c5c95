// The supervisor of one agent. It runs the job in a session of its own with the agent's
// environment over the login's basics (loginEnvironment), appends the job's output to the log
// paths, and starts it again 10 s after any exit while the agent is kept alive. When the job ends,
// what is left of its process group is stopped too, and as the child subreaper it adopts
// whatever the job leaves behind, so bootout can end all of it. It ends after bootout or
// SIGTERM, and nothing it started outlives it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <thread>
#include <vector>

#include "Backend.h"

extern char** environ;

namespace tidewell::launch {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRestartDelay = std::chrono::seconds(10);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kGroupGrace = std::chrono::seconds(2);
constexpr int kExitConfigurationError = 78;  // the job's log or program cannot be opened
#ifndef PIDFD_SIGNAL_PROCESS_GROUP
constexpr unsigned kPidfdSignalProcessGroup = 1U << 2;
#else
constexpr unsigned kPidfdSignalProcessGroup = PIDFD_SIGNAL_PROCESS_GROUP;
#endif

// What /proc/<pid>/stat says of a process, as far as the supervisor needs it.
struct ProcessState {
  char state = 0;
  pid_t parent = 0;
  pid_t group = 0;
};

std::optional<ProcessState> processState(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[512];
  ssize_t n = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (n <= 0) return std::nullopt;
  buffer[n] = '\0';
  const char* nameEnd = std::strrchr(buffer, ')');
  ProcessState result;
  long parent = 0, group = 0;
  if (!nameEnd || std::sscanf(nameEnd + 1, " %c %ld %ld", &result.state, &parent, &group) != 3) return std::nullopt;
  result.parent = static_cast<pid_t>(parent);
  result.group = static_cast<pid_t>(group);
  return result;
}

// Every live process, by number.
template <class Visit>
void forEachProcess(Visit visit) {
  DIR* proc = opendir("/proc");
  if (!proc) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (auto state = processState(static_cast<pid_t>(pid)); state && state->state != 'Z')
      visit(static_cast<pid_t>(pid), *state);
  }
  closedir(proc);
}

bool descendsFrom(pid_t pid, pid_t ancestor) {
  for (int step = 0; step < 4096 && pid > 1; ++step) {
    auto state = processState(pid);
    if (!state) return false;
    if (state->parent == ancestor) return true;
    pid = state->parent;
  }
  return false;
}

// What is left of an ended job's process group, and nothing else. Once the job is reaped and
// its group has emptied, its number is free: a process started since may carry it, and lead a
// group of its own that a plain kill(-pgid) would hit. The pidfd taken while the job ran names the job itself, so the
// kernel signals only the group the job led. A kernel without group signals through a pidfd
// (before 6.9) gets the members that are ours: every process of the job's session descends
// from the supervisor, which adopts what the job leaves behind.
void signalJobGroup(int pidfd, pid_t group, pid_t currentJob, int sig) {
  if (pidfd >= 0) {
    if (syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, kPidfdSignalProcessGroup) == 0 || errno == ESRCH)
      return;
  }
  // The running job carries the number only once the old group has no member left.
  if (group == currentJob) return;
  pid_t self = getpid();
  forEachProcess([&](pid_t pid, const ProcessState& state) {
    if (state.group == group && descendsFrom(pid, self)) kill(pid, sig);
  });
}

class Supervisor {
 public:
  Supervisor(AgentDefinition agent, int listenFd) : agent_(std::move(agent)), listenFd_(listenFd) {}

  bool setUp(std::string& error) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (chdir("/") != 0) {
      error = std::string("chdir: ") + std::strerror(errno);
      return false;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &original_);
    signal(SIGPIPE, SIG_IGN);
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
    // A connection names as its peer the process that last called listen on the socket:
    // bootstrap made it and has exited. bootout waits for that peer to end, so listen again
    // here, where the peer is the supervisor itself.
    if (listen(listenFd_, 16) != 0) {
      error = std::string("listen: ") + std::strerror(errno);
      return false;
    }
    // The socket file as bootstrap made it, to tell it from one a later bootstrap makes.
    try {
      socketPath_ = supervisorSocketPath(agent_.label);
    } catch (const LaunchError& e) {
      error = e.what();
      return false;
    }
    struct stat info {};
    if (stat(socketPath_.c_str(), &info) == 0) socketInode_ = info.st_ino;
    if (signalFd_ < 0) {
      error = std::string("signalfd: ") + std::strerror(errno);
      return false;
    }
    // A kept-alive job runs from the moment it is loaded, as one that runs at load does.
    if (agent_.runAtLoad || agent_.keepAlive) startJob();
    return true;
  }

  int run() {
    for (;;) {
      pollfd fds[2] = {{signalFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
      if (poll(fds, 2, timeoutMs()) < 0 && errno != EINTR) return 1;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        while (read(signalFd_, &info, sizeof info) == sizeof info) {
          if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
            shutDown();
            return 0;
          }
        }
        reap();
      }
      if (fds[1].revents & POLLIN) {
        if (serveOne()) return 0;
      }
      timers();
    }
  }

 private:
  int timeoutMs() const {
    std::optional<Clock::time_point> next = restartAt_;
    for (const auto& g : groups_)
      if (!next || g.killAt < *next) next = g.killAt;
    if (!next) return -1;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms) + 1;
  }

  void timers() {
    auto now = Clock::now();
    for (auto it = groups_.begin(); it != groups_.end();) {
      if (it->killAt <= now) {
        signalJobGroup(it->pidfd, it->pgid, pid_, SIGKILL);
        if (it->pidfd >= 0) close(it->pidfd);
        it = groups_.erase(it);
      } else {
        ++it;
      }
    }
    if (restartAt_ && *restartAt_ <= now && pid_ == 0) startJob();
  }

  // Reaps every ended child: the job, and processes it left behind that we adopted.
  void reap() {
    int status = 0;
    for (pid_t p; (p = waitpid(-1, &status, WNOHANG)) > 0;)
      if (p == pid_) jobEnded(status);
  }

  void jobEnded(int status) {
    lastExit_ = WIFEXITED(status) ? "last exit code = " + std::to_string(WEXITSTATUS(status))
                                  : "last terminating signal = " + std::to_string(WTERMSIG(status));
    // What the job started in its process group ends with it.
    signalJobGroup(jobPidfd_, pid_, 0, SIGTERM);
    groups_.push_back({pid_, jobPidfd_, Clock::now() + kGroupGrace});
    jobPidfd_ = -1;
    pid_ = 0;
    if (agent_.keepAlive && !stopping_) restartAt_ = Clock::now() + kRestartDelay;
  }

  void startJob() {
    restartAt_.reset();
    // The agent's environment over the login's basics, never over whatever the program that
    // loaded it ran with.
    std::vector<std::string> env;
    for (std::string& entry : loginEnvironment(environ)) {
      if (!agent_.environment.count(entry.substr(0, entry.find('=')))) env.push_back(std::move(entry));
    }
    for (const auto& [name, value] : agent_.environment) env.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (auto& a : agent_.programArguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t supervisor = getpid();
    pid_t child = fork();
    if (child == 0) {
      sigprocmask(SIG_SETMASK, &original_, nullptr);
      signal(SIGPIPE, SIG_DFL);
      setsid();
      // A supervisor that dies without a bootout takes its job with it.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != supervisor) _exit(kExitConfigurationError);
      int in = open("/dev/null", O_RDONLY);
      int out = openLog(agent_.standardOutPath);
      int err = openLog(agent_.standardErrorPath);
      if (in < 0 || out < 0 || err < 0) _exit(kExitConfigurationError);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      close_range(3, ~0U, 0);
      execvpe(argv[0], argv.data(), envp.data());
      std::string why = "launchctl: cannot run " + agent_.programArguments[0] + ": " + std::strerror(errno) + "\n";
      [[maybe_unused]] auto written = write(2, why.data(), why.size());
      _exit(kExitConfigurationError);
    }
    ++runs_;
    if (child < 0) {
      lastExit_ = std::string("last spawn error = ") + std::strerror(errno);
      if (agent_.keepAlive) restartAt_ = Clock::now() + kRestartDelay;
      return;
    }
    pid_ = child;
    // Taken before the job can be reaped, so that it names this job and no later process.
    jobPidfd_ = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  }

  static int openLog(const std::string& path) {
    if (path.empty()) return open("/dev/null", O_WRONLY);
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }

  // SIGTERM to the job and its group, SIGKILL after the grace period; returns once it is reaped.
  void stopJob() {
    if (pid_ == 0) return;
    pid_t job = pid_;
    kill(job, SIGTERM);
    kill(-job, SIGTERM);
    auto deadline = Clock::now() + kStopGrace;
    int status = 0;
    for (;;) {
      pid_t p = waitpid(job, &status, WNOHANG);
      if (p == job) break;
      if (Clock::now() >= deadline) {
        kill(job, SIGKILL);
        while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    jobEnded(status);
  }

  // Ends everything we started or adopted, and waits for all of it.
  void endAllChildren() {
    for (const auto& g : groups_) {
      signalJobGroup(g.pidfd, g.pgid, pid_, SIGKILL);
      if (g.pidfd >= 0) close(g.pidfd);
    }
    groups_.clear();
    auto deadline = Clock::now() + kStopGrace;
    for (;;) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      std::vector<pid_t> children = adoptedChildren();
      if (children.empty() || Clock::now() >= deadline) break;
      for (pid_t c : children) kill(c, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Our live children, found by their parent in /proc.
  static std::vector<pid_t> adoptedChildren() {
    std::vector<pid_t> children;
    pid_t self = getpid();
    forEachProcess([&](pid_t pid, const ProcessState& state) {
      if (state.parent == self) children.push_back(pid);
    });
    return children;
  }

  void shutDown() {
    stopping_ = true;
    restartAt_.reset();
    stopJob();
    endAllChildren();
    // Remove the socket only while it is still ours; a new bootstrap may have replaced it.
    struct stat info {};
    if (stat(socketPath_.c_str(), &info) == 0 && info.st_ino == socketInode_) unlink(socketPath_.c_str());
    close(listenFd_);
  }

  // Answers one request; true when it was bootout and the supervisor is done.
  bool serveOne() {
    int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return false;
    timeval timeout{2, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string line;
    char c;
    while (line.size() < 64 && read(client, &c, 1) == 1 && c != '\n') line += c;
    std::string reply;
    bool done = false;
    if (line == "print") {
      reply = formatJobStatus(getuid(), status());
    } else if (line == "kickstart" || line == "kickstart-kill") {
      if (line == "kickstart-kill") stopJob();
      if (pid_ == 0) startJob();
      reply = "ok\n";
    } else if (line == "bootout") {
      shutDown();
      reply = "ok\n";
      done = true;
    } else {
      reply = "unknown request\n";
    }
    send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(client);
    return done;
  }

  JobStatus status() const {
    JobStatus s;
    s.label = agent_.label;
    s.path = agent_.path;
    s.state = pid_ != 0 ? "running" : restartAt_ ? "waiting" : "not running";
    s.pid = pid_;
    s.arguments = agent_.programArguments;
    s.standardOutPath = agent_.standardOutPath;
    s.standardErrorPath = agent_.standardErrorPath;
    s.runs = runs_;
    s.lastExit = lastExit_;
    s.detail = "\tsupervisor = " + std::to_string(getpid()) + "\n";
    return s;
  }

  // An ended job's process group, until its grace period is over.
  struct Group {
    pid_t pgid;
    int pidfd;  // the ended job's, or -1 where the kernel has no pidfds
    Clock::time_point killAt;
  };

  AgentDefinition agent_;
  int listenFd_;
  std::string socketPath_;
  ino_t socketInode_ = 0;
  int signalFd_ = -1;
  sigset_t original_{};
  pid_t pid_ = 0;
  int jobPidfd_ = -1;
  long runs_ = 0;
  bool stopping_ = false;
  std::string lastExit_;
  std::optional<Clock::time_point> restartAt_;
  std::vector<Group> groups_;
};

void tell(int fd, const std::string& text) {
  [[maybe_unused]] auto written = write(fd, text.data(), text.size());
  close(fd);
}

}  // namespace

int runSupervisor(const std::string& definitionPath, int listenFd, int readyFd) {
  std::optional<Supervisor> supervisor;
  try {
    supervisor.emplace(readAgentDefinition(definitionPath), listenFd);
  } catch (const LaunchError& e) {
    tell(readyFd, e.what());
    return 1;
  }
  std::string error;
  if (!supervisor->setUp(error)) {
    tell(readyFd, error);
    return 1;
  }
  tell(readyFd, "ok\n");
  return supervisor->run();
}

}  // namespace tidewell::launch
