#include "TidewellApp/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace tidewell {

namespace {

const QByteArray raiseRequest = QByteArrayLiteral("raise\n");
const QByteArray raiseAnswer = QByteArrayLiteral("ok\n");
// A peer that sends more than this without a line is not a start of this application.
constexpr qint64 longestRequest = 64;
// Room for the socket's path in a sockaddr_un, with its terminating NUL.
constexpr qsizetype longestSocketPath = 100;

QString folderFor(const QString& name) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir() &&
      (runtime + QLatin1Char('/') + name).toLocal8Bit().size() <= longestSocketPath)
    return runtime;
  return QDir::tempPath();
}

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& configFile, QObject* parent)
    : QObject(parent) {
  // The file as it is reached, so a relative or odd HOME gives the key of the file it names.
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::path absolute = fs::weakly_canonical(fs::absolute(configFile, ignored), ignored);
  if (absolute.empty()) absolute = configFile;
  const QByteArray digest =
      QCryptographicHash::hash(QByteArray::fromStdString(absolute.string()), QCryptographicHash::Sha256);
  const QString name =
      QStringLiteral("tidewell-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest.left(8).toHex()));
  base_ = folderFor(name) + QLatin1Char('/') + name;
}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
  if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Role SingleInstance::start(int waitMilliseconds) {
  // Close-on-exec: a helper the window starts must not hold the lock after the window ends.
  lockFd_ = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    std::fprintf(stderr, "Tidewell: cannot open %s (%s); a second window is not prevented\n",
                 qPrintable(lockPath()), std::strerror(errno));
    return Role::alone;
  }
  QDeadlineTimer deadline(waitMilliseconds);
  for (;;) {
    if (tryLock()) {
      listen();
      return Role::first;
    }
    if (askFirstToRaise(int(std::max<qint64>(deadline.remainingTime(), 0)))) return Role::handedOver;
    // The holder may be starting (not listening yet) or ending (the lock comes free).
    if (deadline.hasExpired()) return Role::unanswered;
    QThread::msleep(50);
  }
}

bool SingleInstance::tryLock() {
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  // For a person looking: the holder's process id.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lockFd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(lockFd_, pid.data(), pid.size(), 0);
  }
  return true;
}

void SingleInstance::listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // Whatever socket file is there was left by an earlier holder that ended without removing
  // it: this process holds the lock, so nobody else listens there.
  QLocalServer::removeServer(socketPath());
  if (!server_->listen(socketPath())) {
    std::fprintf(stderr, "Tidewell: cannot listen on %s (%s); a second start will not find this window\n",
                 qPrintable(socketPath()), qPrintable(server_->errorString()));
    return;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        while (peer->canReadLine()) {
          if (peer->readLine() != raiseRequest) continue;
          peer->write(raiseAnswer);
          peer->flush();
          emit raiseRequested();
        }
        if (peer->bytesAvailable() > longestRequest) peer->abort();
      });
    }
  });
}

bool SingleInstance::askFirstToRaise(int waitMilliseconds) {
  QLocalSocket socket;
  socket.connectToServer(socketPath());
  QDeadlineTimer deadline(waitMilliseconds);
  if (!socket.waitForConnected(int(std::min<qint64>(deadline.remainingTime(), 1000)))) return false;
  socket.write(raiseRequest);
  if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1)))) return false;
  QByteArray answer;
  while (!answer.endsWith('\n') && answer.size() <= longestRequest) {
    const int wait = int(std::max<qint64>(deadline.remainingTime(), 1));
    if (!socket.bytesAvailable() && !socket.waitForReadyRead(wait)) {
      // Still connected: the window is busy, and reads the request once it is free again.
      if (socket.state() != QLocalSocket::ConnectedState) return false;
      std::fprintf(stderr, "Tidewell: the running window is busy; it comes forward when it is free\n");
      return true;
    }
    answer += socket.readAll();
  }
  return answer == raiseAnswer;
}

void bringForward(QWidget& window) {
  window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace tidewell
