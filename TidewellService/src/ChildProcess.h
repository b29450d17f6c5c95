#pragma once
// A small child-process layer: start a program by file name with an exact environment and no
// arguments, notice its end without blocking, and signal it through a process file descriptor,
// so a signal can never reach an unrelated process that reused the id.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace tidewell {

// One started helper as the supervisor sees it. Implementations are safe to use from two
// threads at once (the pass and the delayed kill).
class HelperProcess {
 public:
  virtual ~HelperProcess() = default;
  virtual pid_t pid() const = 0;
  // Reaps the child when it has ended; false from then on.
  virtual bool isRunning() = 0;
  // The exit status, or the number of the signal that ended it; meaningful once !isRunning().
  virtual int terminationStatus() = 0;
  // Sends the signal unless the child has already been reaped.
  virtual void sendSignal(int signal) = 0;
  // Waits up to timeout for the child to end; true when it has ended.
  virtual bool waitForExit(std::chrono::duration<double> timeout) = 0;
};

class ChildProcess final : public HelperProcess {
 public:
  using Environment = std::map<std::string, std::string>;

  // Starts executable with argv = { executable } and exactly this environment. The working
  // directory and the standard streams are inherited; the child begins with every signal at its
  // default disposition and nothing blocked, whatever this process has set, and receives
  // SIGTERM when this process dies (ProcessSpawn). Returns null and
  // sets error to a description when the program cannot be started (a missing or
  // non-executable file included).
  static std::shared_ptr<ChildProcess> spawn(const std::string& executable,
                                             const Environment& environment, std::string& error);

  ~ChildProcess() override;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const override { return pid_; }
  bool isRunning() override;
  int terminationStatus() override;
  void sendSignal(int signal) override;
  bool waitForExit(std::chrono::duration<double> timeout) override;

 private:
  ChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  bool reapLocked();  // true once the child has been reaped

  const pid_t pid_;
  std::mutex mutex_;
  int pidfd_;  // -1 when the kernel offers none, and after reaping
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace tidewell
