// The child-process layer with real programs: exact environment, no arguments, launch errors,
// termination statuses and the child's signal state.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"
#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

TEST(ChildProcessTest, StartsWithExactlyTheGivenEnvironmentAndNoArguments) {
  TemporaryFolder folder;
  auto script = folder.path() / "report";
  auto out = folder.path() / "out";
  writeExecutable(script, "#!/bin/sh\n/usr/bin/env > \"$OUT.tmp\"; echo \"args=$#\" >> \"$OUT.tmp\"; "
                          "mv \"$OUT.tmp\" \"$OUT\"\n");
  std::string error;
  auto child = ChildProcess::spawn(script.string(), {{"OUT", out.string()}, {"A", "x=y"}}, error);
  ASSERT_TRUE(child) << error;
  ASSERT_TRUE(child->waitForExit(std::chrono::seconds(10)));
  EXPECT_EQ(child->terminationStatus(), 0);
  std::string text = readFile(out);
  EXPECT_NE(text.find("A=x=y\n"), std::string::npos);
  EXPECT_NE(text.find("args=0\n"), std::string::npos);
  // Nothing of the test's own environment leaks in (the shell adds only PWD and the like).
  EXPECT_EQ(text.find("TIDEWELL_BIN_DIR"), std::string::npos);
  EXPECT_EQ(text.find("HOME="), std::string::npos);
}

TEST(ChildProcessTest, LaunchFailuresAreReportedAtOnce) {
  TemporaryFolder folder;
  std::string error;
  EXPECT_FALSE(ChildProcess::spawn((folder.path() / "missing").string(), {}, error));
  EXPECT_EQ(error, "No such file or directory");
  auto plain = folder.path() / "plain";
  std::ofstream(plain) << "not a program";
  error.clear();
  EXPECT_FALSE(ChildProcess::spawn(plain.string(), {}, error));
  EXPECT_EQ(error, "Permission denied");
}

TEST(ChildProcessTest, ReportsExitStatusOrTheEndingSignal) {
  std::string error;
  TemporaryFolder folder;
  writeExecutable(folder.path() / "seven", "#!/bin/sh\nexit 7\n");
  auto seven = ChildProcess::spawn((folder.path() / "seven").string(), {}, error);
  ASSERT_TRUE(seven->waitForExit(std::chrono::seconds(10)));
  EXPECT_FALSE(seven->isRunning());
  EXPECT_EQ(seven->terminationStatus(), 7);

  writeExecutable(folder.path() / "idle", "#!/bin/sh\nexec sleep 600\n");
  auto idle = ChildProcess::spawn((folder.path() / "idle").string(), {}, error);
  EXPECT_TRUE(idle->isRunning());
  EXPECT_FALSE(idle->waitForExit(std::chrono::milliseconds(50)));
  idle->sendSignal(SIGKILL);
  ASSERT_TRUE(idle->waitForExit(std::chrono::seconds(10)));
  EXPECT_EQ(idle->terminationStatus(), SIGKILL);
  // Signalling a reaped child does nothing (its id may belong to someone else by now).
  idle->sendSignal(SIGKILL);
}

TEST(ChildProcessTest, ChildStartsWithDefaultSignalHandlingWhateverTheParentSet) {
  // The service ignores SIGTERM and SIGINT and may block signals; its helpers must not inherit
  // that, or they could never be stopped.
  struct sigaction ignore {}, previousTerm {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &previousTerm);
  sigset_t block, previousMask;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &previousMask);

  TemporaryFolder folder;
  writeExecutable(folder.path() / "idle", "#!/bin/sh\nexec sleep 600\n");
  std::string error;
  auto idle = ChildProcess::spawn((folder.path() / "idle").string(), {}, error);
  auto interrupted = ChildProcess::spawn((folder.path() / "idle").string(), {}, error);

  sigaction(SIGTERM, &previousTerm, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

  ASSERT_TRUE(idle && interrupted);
  idle->sendSignal(SIGTERM);
  interrupted->sendSignal(SIGINT);
  ASSERT_TRUE(idle->waitForExit(std::chrono::seconds(10)));
  ASSERT_TRUE(interrupted->waitForExit(std::chrono::seconds(10)));
  EXPECT_EQ(idle->terminationStatus(), SIGTERM);
  EXPECT_EQ(interrupted->terminationStatus(), SIGINT);
}

// A service killed with SIGKILL takes its helpers with it: nothing else would ever end them.
TEST(ChildProcessTest, AChildEndsWhenTheProcessThatStartedItIsKilled) {
  TemporaryFolder folder;
  writeExecutable(folder.path() / "idle", "#!/bin/sh\nexec sleep 600\n");
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t service = ::fork();
  ASSERT_GE(service, 0);
  if (service == 0) {
    std::string error;
    auto child = ChildProcess::spawn((folder.path() / "idle").string(), {}, error);
    pid_t pid = child ? child->pid() : -1;
    if (::write(report[1], &pid, sizeof pid) != sizeof pid) _exit(1);
    ::pause();
    _exit(0);
  }
  ::close(report[1]);
  pid_t helper = -1;
  ASSERT_EQ(::read(report[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
  ::close(report[0]);
  ASSERT_GT(helper, 0);
  int watch = static_cast<int>(::syscall(SYS_pidfd_open, helper, 0));
  ASSERT_GE(watch, 0);
  pollfd entry{watch, POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 100), 0) << "the helper did not run";

  ::kill(service, SIGKILL);
  ::waitpid(service, nullptr, 0);
  bool ended = ::poll(&entry, 1, 5000) == 1;
  EXPECT_TRUE(ended) << "helper " << helper << " outlived the process that started it";
  if (!ended) ::kill(helper, SIGKILL);
  ::close(watch);
}

TEST(ChildProcessTest, TwoThreadsMayWatchOneChild) {
  TemporaryFolder folder;
  writeExecutable(folder.path() / "brief", "#!/bin/sh\nsleep 0.2\nexit 4\n");
  std::string error;
  auto child = ChildProcess::spawn((folder.path() / "brief").string(), {}, error);
  ASSERT_TRUE(child);
  std::atomic<int> seenEnd{0};
  std::vector<std::thread> watchers;
  for (int i = 0; i < 3; ++i) {
    watchers.emplace_back([&] {
      while (child->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (child->terminationStatus() == 4) seenEnd.fetch_add(1);
    });
  }
  for (auto& watcher : watchers) watcher.join();
  EXPECT_EQ(seenEnd.load(), 3);
}

}  // namespace
}  // namespace tidewell::testing
