#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TidewellCore/ProcessSpawn.h"

namespace tidewell {
namespace {

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    int descriptor = static_cast<int>(fd);
    // pidfd_open sets close-on-exec already; later helpers must not inherit it either way.
    return descriptor;
  }
#else
  (void)pid;
#endif
  return -1;
}

}  // namespace

std::shared_ptr<ChildProcess> ChildProcess::spawn(const std::string& executable,
                                                  const Environment& environment,
                                                  std::string& error) {
  pid_t pid = ProcessSpawn::spawn(executable, {}, environment, error);
  if (pid < 0) return nullptr;
  // The child is not reaped before this, so its id cannot have been reused yet.
  return std::shared_ptr<ChildProcess>(new ChildProcess(pid, openPidfd(pid)));
}

ChildProcess::~ChildProcess() {
  std::lock_guard lock(mutex_);
  reapLocked();
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool ChildProcess::reapLocked() {
  if (reaped_) return true;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return false;
  reaped_ = true;
  if (result < 0) {
    status_ = -1;  // reaped elsewhere: the status is lost
  } else if (WIFEXITED(status)) {
    status_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    status_ = WTERMSIG(status);
  } else {
    status_ = -1;
  }
  if (pidfd_ >= 0) {
    ::close(pidfd_);
    pidfd_ = -1;
  }
  return true;
}

bool ChildProcess::isRunning() {
  std::lock_guard lock(mutex_);
  return !reapLocked();
}

int ChildProcess::terminationStatus() {
  std::lock_guard lock(mutex_);
  reapLocked();
  return status_;
}

void ChildProcess::sendSignal(int signal) {
  std::lock_guard lock(mutex_);
  if (reapLocked()) return;
#ifdef SYS_pidfd_send_signal
  if (pidfd_ >= 0) {
    syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0);
    return;
  }
#endif
  // Still unreaped under the lock, so the id is still ours.
  ::kill(pid_, signal);
}

bool ChildProcess::waitForExit(std::chrono::duration<double> timeout) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  for (;;) {
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (reapLocked()) return true;
      fd = pidfd_;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    // Short slices: another thread may reap and close the descriptor meanwhile.
    int slice = static_cast<int>(std::min<long long>(left, 20));
    if (fd >= 0) {
      pollfd entry{fd, POLLIN, 0};
      ::poll(&entry, 1, slice);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
  }
}

}  // namespace tidewell
