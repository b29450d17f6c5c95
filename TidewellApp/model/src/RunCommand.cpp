#include "TidewellApp/RunCommand.h"

#include <QProcess>
#include <QStringDecoder>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

extern char** environ;

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

QString decoded(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder.decode(bytes);
  return decoder.hasError() ? QString() : text;
}

// Reads what is available now; false at end of file or on an error.
bool readAvailable(int fd, QByteArray& into) {
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

int terminationStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status); }

}  // namespace

CommandResult runCommand(const QString& executablePath, const QStringList& arguments,
                         std::chrono::milliseconds timeout) {
  const QByteArray path = executablePath.toLocal8Bit();
  std::vector<QByteArray> argBytes{path};
  for (const QString& a : arguments) argBytes.push_back(a.toLocal8Bit());
  std::vector<char*> argv;
  for (QByteArray& a : argBytes) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw CommandError(path.toStdString() + ": " + std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    close(out[0]);
    close(out[1]);
    throw CommandError(path.toStdString() + ": " + std::strerror(e));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // The child starts with every signal at its default and none blocked, whatever this process set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int started = posix_spawn(&pid, path.constData(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (started != 0) {
    close(out[0]);
    close(err[0]);
    throw CommandError(path.toStdString() + ": " + std::strerror(started));
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  int exitFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // -1 on kernels without it: then the loop polls the child

  QByteArray outBytes, errBytes;
  bool outOpen = true, errOpen = true, exited = false;
  int status = 0;
  const auto deadline = Clock::now() + timeout;
  while ((outOpen || errOpen) && !exited) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}, {exitFd, POLLIN, 0}};
    int wait = exitFd >= 0 ? static_cast<int>(left) : static_cast<int>(std::min<long long>(left, 10));
    if (poll(fds, 3, wait) < 0 && errno != EINTR) break;
    if (fds[0].revents) outOpen = readAvailable(out[0], outBytes);
    if (fds[1].revents) errOpen = readAvailable(err[0], errBytes);
    if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
  }
  if (exited) {
    // What the child wrote before it ended is still in the pipes.
    readAvailable(out[0], outBytes);
    readAvailable(err[0], errBytes);
  } else {
    // Both streams are closed: the child is ending; give it what is left of the time.
    while (!exited && Clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
      else usleep(1000);
    }
  }
  close(out[0]);
  close(err[0]);
  if (exitFd >= 0) close(exitFd);
  if (!exited) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw CommandError(path.toStdString() + " did not finish within " +
                       QString::number(static_cast<double>(timeout.count()) / 1000.0).toStdString() +
                       " s and was stopped");
  }
  return {terminationStatus(status), (decoded(outBytes) + decoded(errBytes)).trimmed()};
}

QProcess* startCommand(const QString& executablePath, const QStringList& arguments, QObject* owner,
                       std::function<void(const std::optional<CommandResult>& result)> done,
                       std::chrono::milliseconds timeout) {
  auto* child = new QProcess(owner);
  child->setProgram(executablePath);
  child->setArguments(arguments);
  child->setStandardInputFile(QProcess::nullDevice());
  // As runCommand's child: every signal at its default and none blocked.
  child->setChildProcessModifier([] {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) ::signal(signal, SIG_DFL);
  });
  // Runs `done` once, whichever way the child ends first.
  auto pending = std::make_shared<std::function<void(const std::optional<CommandResult>&)>>(std::move(done));
  auto finish = [child, pending](const std::optional<CommandResult>& result) {
    if (!*pending) return;
    const auto call = std::move(*pending);
    *pending = nullptr;
    child->deleteLater();
    call(result);
  };
  auto timer = new QTimer(child);
  timer->setSingleShot(true);
  QObject::connect(timer, &QTimer::timeout, child, [child, finish] {
    finish(std::nullopt);
    child->kill();
  });
  QObject::connect(child, &QProcess::errorOccurred, child, [finish](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) finish(std::nullopt);
  });
  QObject::connect(child, &QProcess::finished, child, [child, finish](int code, QProcess::ExitStatus) {
    const QString output = (decoded(child->readAllStandardOutput()) + decoded(child->readAllStandardError())).trimmed();
    finish(CommandResult{code, output});
  });
  // The owner's end comes before its children's: nothing reports to it any more, and the
  // program goes with it.
  QObject::connect(owner, &QObject::destroyed, child, [child, pending] {
    *pending = nullptr;
    QObject::disconnect(child, nullptr, nullptr, nullptr);
    child->kill();
    child->waitForFinished(1000);
  });
  timer->start(timeout);
  child->start(QIODevice::ReadOnly);
  return child;
}

}  // namespace tidewell
