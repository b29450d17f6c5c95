#pragma once
// The test's side of the window driver (WindowDriverPlugin.cpp): one JSON request per line over
// a Unix socket, answered with one JSON line. Plain POSIX, so the test needs no event loop.

#include <QJsonDocument>
#include <QJsonObject>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace tidewell::testing {

class WindowDriverClient {
 public:
  ~WindowDriverClient() { disconnect(); }

  // One attempt to reach the driver at `path`.
  bool connectTo(const std::string& path) {
    disconnect();
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      disconnect();
      return false;
    }
    return true;
  }
  void disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
  }
  bool connected() const { return fd_ >= 0; }

  // The answer, or {"ok": false, "error": ...} when the driver did not answer within `limit`
  // (a busy application answers late, never wrongly).
  QJsonObject call(const QJsonObject& request, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    if (fd_ < 0) return failure("not connected");
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
    for (qsizetype sent = 0; sent < line.size();) {
      const ssize_t n = ::send(fd_, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) return failure("the driver went away");
      sent += n;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pending_.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return failure("no answer in time");
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return failure("the driver went away");
      pending_.append(buffer, size_t(n));
    }
    const std::size_t end = pending_.find('\n');
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(pending_.substr(0, end))).object();
    pending_.erase(0, end + 1);
    return answer;
  }

 private:
  static QJsonObject failure(const char* why) { return {{"ok", false}, {"error", why}}; }
  int fd_ = -1;
  std::string pending_;
};

}  // namespace tidewell::testing
