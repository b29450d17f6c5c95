// launchctl with its own supervisor, end to end, in a private runtime folder and HOME. Every
// process it starts carries that HOME in its environment, so the test can tell what is left.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "LaunchctlTestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using launchtest::readFile;
using launchtest::Result;

// Processes whose environment holds `marker`, other than this test.
std::vector<pid_t> markedProcesses(const std::string& marker) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::stoi(name);
    if (pid == getpid()) continue;
    std::string stat = readFile(entry.path() / "stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos || stat[close + 2] == 'Z') continue;
    std::string environ = readFile(entry.path() / "environ");
    if (environ.find(marker) != std::string::npos) found.push_back(pid);
  }
  return found;
}

pid_t parentOf(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  char state;
  pid_t parent = 0;
  rest >> state >> parent;
  return parent;
}

bool alive(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close != std::string::npos && stat[close + 2] != 'Z';
}

// The process a connection to the socket at `path` names as its peer, or 0.
pid_t socketPeer(const fs::path& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ucred peer{};
  socklen_t size = sizeof peer;
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
    peer.pid = 0;
  if (fd >= 0) close(fd);
  return peer.pid;
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

class LaunchctlSupervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/launchctl-test-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "run");
    fs::permissions(root_ / "run", fs::perms::owner_all);
    fs::create_directories(root_ / "logs");
    marker_ = "HOME=" + (root_ / "home").string();
    uid_ = std::to_string(getuid());
  }

  void TearDown() override {
    run({"bootout", "gui/" + uid_ + "/test.job"});
    for (pid_t pid : markedProcesses(marker_)) kill(pid, SIGKILL);
    fs::remove_all(root_);
  }

  Result run(const std::vector<std::string>& arguments) {
    return run(arguments, {});
  }
  // The same, with more in launchctl's environment.
  Result run(const std::vector<std::string>& arguments, const std::vector<std::string>& more) {
    std::vector<std::string> environment = {marker_, "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
                                            "TIDEWELL_LAUNCH_BACKEND=supervisor", "PATH=/usr/bin:/bin"};
    environment.insert(environment.end(), more.begin(), more.end());
    return launchtest::runLaunchctl(arguments, environment);
  }

  fs::path writeAgent(const std::string& script, bool runAtLoad, bool keepAlive) {
    fs::path path = root_ / "test.job.plist";
    std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                        << "<key>Label</key><string>test.job</string>\n"
                        << "<key>ProgramArguments</key><array><string>/bin/sh</string><string>-c</string><string>"
                        << script << "</string></array>\n"
                        << "<key>EnvironmentVariables</key><dict><key>GREETING</key><string>hello</string></dict>\n"
                        << "<key>RunAtLoad</key>" << (runAtLoad ? "<true/>" : "<false/>") << "\n"
                        << "<key>KeepAlive</key>" << (keepAlive ? "<true/>" : "<false/>") << "\n"
                        << "<key>StandardOutPath</key><string>" << (root_ / "logs/out.log").string() << "</string>\n"
                        << "<key>StandardErrorPath</key><string>" << (root_ / "logs/err.log").string() << "</string>\n"
                        << "</dict>\n</plist>\n";
    return path;
  }

  std::string target() const { return "gui/" + uid_ + "/test.job"; }

  // The job's pid while print reports it running, else 0.
  pid_t runningPid() {
    Result r = run({"print", target()});
    std::smatch m;
    if (r.status != 0 || r.output.find("\tstate = running\n") == std::string::npos ||
        !std::regex_search(r.output, m, std::regex("\tpid = (\\d+)\n")))
      return 0;
    return static_cast<pid_t>(std::stol(m[1]));
  }

  fs::path root_;
  std::string marker_;
  std::string uid_;
};

TEST_F(LaunchctlSupervisor, KeepsTheJobAliveAndBootoutLeavesNothing) {
  std::ofstream(root_ / "logs/out.log") << "earlier line\n";
  fs::path agent = writeAgent("echo \"started $GREETING\"; echo complaint >&amp;2; sleep 1000 &amp; wait", true, true);

  Result boot = run({"bootstrap", "gui/" + uid_, agent.string()});
  ASSERT_EQ(boot.status, 0) << boot.output;
  pid_t first = 0;
  ASSERT_TRUE(eventually([&] { return (first = runningPid()) != 0; }, 5s)) << run({"print", target()}).output;
  EXPECT_TRUE(alive(first));
  // Output is appended to the logs, with the agent's environment in force.
  EXPECT_TRUE(eventually([&] { return readFile(root_ / "logs/out.log") == "earlier line\nstarted hello\n"; }, 5s))
      << readFile(root_ / "logs/out.log");
  EXPECT_TRUE(eventually([&] { return readFile(root_ / "logs/err.log") == "complaint\n"; }, 5s));

  Result again = run({"bootstrap", "gui/" + uid_, agent.string()});
  EXPECT_EQ(again.status, 37);
  EXPECT_NE(again.output.find("already"), std::string::npos) << again.output;

  // Killed, the job comes back (about 10 s later), and what it started in its group is gone.
  // The shell starts its "sleep" after its two lines: wait for it, on a loaded machine too.
  std::vector<pid_t> started;  // what the job started: its "sleep"
  eventually(
      [&] {
        started.clear();
        for (pid_t p : markedProcesses(marker_))
          if (parentOf(p) == first) started.push_back(p);
        return !started.empty();
      },
      5s);
  ASSERT_EQ(started.size(), 1u);
  kill(first, SIGKILL);
  EXPECT_TRUE(eventually([&] { return run({"print", target()}).output.find("state = waiting") != std::string::npos; },
                         5s));
  pid_t second = 0;
  ASSERT_TRUE(eventually([&] { return (second = runningPid()) != 0 && second != first; }, 30s));
  EXPECT_TRUE(eventually([&] { return !alive(started[0]); }, 5s)) << "left behind: " << started[0];
  EXPECT_NE(run({"print", target()}).output.find("last terminating signal = 9"), std::string::npos);
  EXPECT_TRUE(eventually(
      [&] { return readFile(root_ / "logs/out.log") == "earlier line\nstarted hello\nstarted hello\n"; }, 5s))
      << readFile(root_ / "logs/out.log");

  // kickstart -k replaces the running instance at once.
  Result kick = run({"kickstart", "-k", target()});
  EXPECT_EQ(kick.status, 0) << kick.output;
  pid_t third = runningPid();
  EXPECT_NE(third, 0);
  EXPECT_NE(third, second);
  EXPECT_FALSE(alive(second));
  EXPECT_EQ(run({"kickstart", target()}).status, 0);
  EXPECT_EQ(runningPid(), third) << "kickstart without -k leaves a running job alone";
  EXPECT_EQ(run({"enable", target()}).status, 0);

  EXPECT_FALSE(markedProcesses(marker_).empty());
  Result out = run({"bootout", "gui/" + uid_, agent.string()});
  EXPECT_EQ(out.status, 0) << out.output;
  EXPECT_EQ(markedProcesses(marker_), std::vector<pid_t>{}) << "supervisor, job or its children left behind";
  Result gone = run({"print", target()});
  EXPECT_EQ(gone.status, 113);
  EXPECT_NE(gone.output.find("Could not find service \"test.job\""), std::string::npos) << gone.output;
  EXPECT_FALSE(fs::exists(root_ / "run/tidewell-launch/test.job.sock"));
  EXPECT_EQ(run({"bootout", target()}).status, 3);
}

// Fault mended: the job inherited the whole environment of whatever ran the bootstrap (the
// window that installed the service: LD_PRELOAD, TIDEWELL_CONFIG_PATH, ...), for as long as it
// was kept alive.
TEST_F(LaunchctlSupervisor, TheJobGetsItsDefinitionsEnvironmentAndTheLoginsBasicsOnly) {
  fs::path agent = writeAgent("env > \"$HOME/job.env\"; exec sleep 1000", true, true);
  Result boot = run({"bootstrap", "gui/" + uid_, agent.string()},
                    {"LD_PRELOAD=", "TIDEWELL_CONFIG_PATH=/elsewhere/config.json", "GREETING=overridden",
                     "XDG_DATA_HOME=" + (root_ / "home/data").string(), "AUDIOSERVER_SOCKET=/run/test/control",
                     "LANG=C.UTF-8", "SOMETHING_ELSE=1"});
  ASSERT_EQ(boot.status, 0) << boot.output;
  const fs::path written = root_ / "home/job.env";
  ASSERT_TRUE(eventually([&] { return readFile(written).find("SHLVL") != std::string::npos ||
                                      readFile(written).find("PWD=") != std::string::npos; }, 5s));
  std::set<std::string> names;
  std::istringstream lines(readFile(written));
  for (std::string line; std::getline(lines, line);) names.insert(line.substr(0, line.find('=')));
  const std::string environment = readFile(written);
  // The definition's own, over what the caller had.
  EXPECT_NE(environment.find("GREETING=hello\n"), std::string::npos) << environment;
  for (const std::string& kept : std::vector<std::string>{marker_, "PATH=/usr/bin:/bin",
                                                          "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
                                                          "XDG_DATA_HOME=" + (root_ / "home/data").string(),
                                                          "AUDIOSERVER_SOCKET=/run/test/control", "LANG=C.UTF-8"})
    EXPECT_NE(environment.find(kept + "\n"), std::string::npos) << kept << " missing from\n" << environment;
  for (const char* dropped : {"LD_PRELOAD", "TIDEWELL_CONFIG_PATH", "TIDEWELL_LAUNCH_BACKEND", "SOMETHING_ELSE"})
    EXPECT_EQ(names.count(dropped), 0u) << dropped << " reached the job:\n" << environment;
  // The supervisor itself keeps none of it either.
  for (pid_t pid : markedProcesses(marker_)) {
    const std::string own = readFile("/proc/" + std::to_string(pid) + "/environ");
    EXPECT_EQ(own.find("TIDEWELL_CONFIG_PATH"), std::string::npos) << pid;
    EXPECT_EQ(own.find("LD_PRELOAD"), std::string::npos) << pid;
  }
}

TEST_F(LaunchctlSupervisor, AJobThatIsNotKeptAliveRunsWhenKickstartedAndStaysEnded) {
  fs::path agent = writeAgent("echo ran; exit 3", false, false);
  ASSERT_EQ(run({"bootstrap", "gui/" + uid_, agent.string()}).status, 0);
  Result idle = run({"print", target()});
  EXPECT_EQ(idle.status, 0);
  EXPECT_NE(idle.output.find("\tstate = not running\n"), std::string::npos) << idle.output;
  EXPECT_EQ(idle.output.find("pid = "), std::string::npos);

  EXPECT_EQ(run({"kickstart", target()}).status, 0);
  EXPECT_TRUE(eventually([&] { return run({"print", target()}).output.find("last exit code = 3") != std::string::npos; },
                         5s));
  Result ended = run({"print", target()});
  EXPECT_NE(ended.output.find("\tstate = not running\n"), std::string::npos) << ended.output;
  EXPECT_NE(ended.output.find("\truns = 1\n"), std::string::npos) << ended.output;
  EXPECT_EQ(readFile(root_ / "logs/out.log"), "ran\n");

  // The supervisor stays while the agent is loaded, and ends with bootout by label.
  std::vector<pid_t> supervisor = markedProcesses(marker_);
  ASSERT_EQ(supervisor.size(), 1u);
  // bootout waits for the process that answers on the socket to end. That must be the
  // supervisor itself, not the bootstrap that made the socket and has long exited: otherwise
  // bootout returns while the supervisor is still ending (slowly so in a sanitizer build).
  EXPECT_EQ(socketPeer(root_ / "run/tidewell-launch/test.job.sock"), supervisor[0]);
  EXPECT_EQ(run({"bootout", target()}).status, 0);
  EXPECT_EQ(markedProcesses(marker_), std::vector<pid_t>{});
}

// Runs `scenario` as the first process of a new PID namespace (with its own /proc), where the
// next process number can be chosen. Returns what the scenario returns, "" for success, or
// "skip: ..." where the system allows no such namespace. Everything started in it ends with it.
std::string inPidNamespace(const std::function<std::string()>& scenario) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "pipe failed";
  pid_t outer = fork();
  if (outer == 0) {
    close(report[0]);
    auto tell = [&](const std::string& text) {
      [[maybe_unused]] auto written = write(report[1], text.data(), text.size());
      _exit(0);
    };
    std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) != 0)
      tell(std::string("skip: no user and PID namespace: ") + std::strerror(errno));
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1\n";
    std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1\n";
    pid_t first = fork();
    if (first == 0) {
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        tell(std::string("skip: cannot mount /proc in the namespace: ") + std::strerror(errno));
      tell(scenario());
    }
    int status = 0;
    waitpid(first, &status, 0);
    _exit(0);
  }
  close(report[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(report[0]);
  waitpid(outer, nullptr, 0);
  return result;
}

// What an ended job leaves in its process group gets SIGTERM at once and SIGKILL 2 s later,
// though the job itself is reaped by then.
TEST_F(LaunchctlSupervisor, WhatAnEndedJobLeftInItsGroupIsKilledThoughItIgnoresSigterm) {
  fs::path agent = writeAgent("trap '' TERM; sleep 1000 &amp; echo $!; exit 0", true, false);
  ASSERT_EQ(run({"bootstrap", "gui/" + uid_, agent.string()}).status, 0);
  pid_t left = 0;
  ASSERT_TRUE(eventually([&] { return (left = static_cast<pid_t>(std::atol(readFile(root_ / "logs/out.log").c_str()))) > 0; },
                         10s));
  ASSERT_TRUE(eventually([&] { return run({"print", target()}).output.find("last exit code = 0") != std::string::npos; },
                         10s));
  EXPECT_TRUE(eventually([&] { return !alive(left); }, 20s)) << "left behind: " << left;
}

// By the time the supervisor kills the ended job's group, the job's number may be taken by a
// process of someone else, leading a group of its own: that one must be left alone.
TEST_F(LaunchctlSupervisor, AnotherGroupWithTheEndedJobsNumberIsLeftAlone) {
  fs::path agent = writeAgent("echo $$; exit 0", true, false);
  std::string outcome = inPidNamespace([&]() -> std::string {
    Result boot = run({"bootstrap", "gui/" + uid_, agent.string()});
    if (boot.status != 0) return "bootstrap failed: " + boot.output;
    pid_t job = 0;
    if (!eventually([&] { return (job = static_cast<pid_t>(std::atol(readFile(root_ / "logs/out.log").c_str()))) > 0; },
                    10s))
      return "the job never said its number";
    // Reaped by the supervisor: the number is free again.
    if (!eventually([&] { return run({"print", target()}).output.find("last exit code = 0") != std::string::npos; },
                    10s))
      return "the job's end was never reported";
    auto ended = std::chrono::steady_clock::now();
    std::ofstream("/proc/sys/kernel/ns_last_pid") << job - 1;
    pid_t other = fork();
    if (other == 0) {
      setsid();
      for (;;) pause();
    }
    if (other != job) return "could not start a process as " + std::to_string(job) + ", got " + std::to_string(other);
    // Well past the 2 s after which the supervisor would stop the job's group.
    int status = 0;
    while (std::chrono::steady_clock::now() < ended + 6s) {
      if (waitpid(other, &status, WNOHANG) == other)
        return "the other process group was signalled: " + std::string(strsignal(WTERMSIG(status)));
      std::this_thread::sleep_for(50ms);
    }
    kill(other, SIGKILL);
    run({"bootout", target()});
    return "";
  });
  if (outcome.starts_with("skip: ")) GTEST_SKIP() << outcome;
  EXPECT_EQ(outcome, "");
}

TEST_F(LaunchctlSupervisor, FailuresExitNonZeroWithAMessage) {
  std::ofstream(root_ / "broken.plist") << "<plist><dict><key>Label</key>";
  Result broken = run({"bootstrap", "gui/" + uid_, (root_ / "broken.plist").string()});
  EXPECT_EQ(broken.status, 5);
  EXPECT_NE(broken.output.find((root_ / "broken.plist").string()), std::string::npos) << broken.output;
  EXPECT_EQ(run({"kickstart", target()}).status, 113);
  EXPECT_EQ(run({"print", target()}).status, 113);
  EXPECT_EQ(run({"bootout", target()}).status, 3);
  EXPECT_EQ(run({"print", "gui/" + std::to_string(getuid() + 1) + "/test.job"}).status, 1);
  EXPECT_EQ(run({"frobnicate"}).status, 64);
  EXPECT_EQ(markedProcesses(marker_), std::vector<pid_t>{});
}

}  // namespace
