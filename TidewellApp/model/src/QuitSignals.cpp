#include "TidewellApp/QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tidewell::QuitSignals {
namespace {

// The handler may only write to a pipe; the event loop reads it and quits on the main thread.
int pipeEnds[2] = {-1, -1};

void handleSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(pipeEnds[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool install() {
  auto* application = QCoreApplication::instance();
  if (!application || pipeEnds[0] >= 0) return false;
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, application);
  QObject::connect(notifier, &QSocketNotifier::activated, application, [] {
    char buffer[16];
    while (::read(pipeEnds[0], buffer, sizeof buffer) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = handleSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool installed = true;
  // SIGHUP: the terminal the application was started from has closed.
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
  return installed;
}

}  // namespace tidewell::QuitSignals
