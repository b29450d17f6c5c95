#include "TidewellServiceLog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace tidewell::TidewellServiceLog {
namespace {

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

Observer& observerSlot() {
  static Observer observer;
  return observer;
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

}  // namespace

std::string formatLine(std::string_view message, std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line;
  line.reserve(message.size() + 24);
  line += '[';
  line += stamp;
  line += "] ";
  line += message;
  return line;
}

void write(std::string_view message) {
  std::string line = formatLine(message, std::chrono::system_clock::now());
  line += '\n';
  std::lock_guard lock(logMutex());
  // Anything buffered by stdio goes first, so lines keep their order.
  std::fflush(stdout);
  writeAll(STDOUT_FILENO, line.data(), line.size());
  if (observerSlot()) observerSlot()(std::string(message));
}

void setObserver(Observer observer) {
  std::lock_guard lock(logMutex());
  observerSlot() = std::move(observer);
}

}  // namespace tidewell::TidewellServiceLog
