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

#include "TidewellApp/LaunchAgentLocations.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tidewell {

namespace {

const QByteArray raiseRequest = QByteArrayLiteral("raise\n");
const QByteArray raiseAnswer = QByteArrayLiteral("ok\n");
// A peer that sends more than this without a line is not a start of this application.
constexpr qint64 longestRequest = 64;
// Room for the socket's path in a sockaddr_un, with its terminating NUL.
constexpr qsizetype longestSocketPath = 100;

// A folder nobody but this user can enter or change: a folder itself (not a link to one),
// owned by this user, with no access for group or others. Another user could otherwise plant
// the lock (a start that hands over to nobody) or a link in its place (a file destroyed).
bool isPrivateFolder(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// Creates the folder (mode 0700, its parents as needed) unless it exists; whether it is a
// private folder of this user's afterwards.
bool makePrivateFolder(const QString& path) {
  QDir().mkpath(QFileInfo(path).path());
  if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) return false;
  return isPrivateFolder(path);
}

bool fits(const QString& folder, const QString& name) {
  return (folder + QLatin1Char('/') + name).toLocal8Bit().size() <= longestSocketPath;
}

// $XDG_RUNTIME_DIR when it is this user's private folder; else a private folder of the
// user's own in the temporary folder, else in the cache folder. Empty when there is none.
QString folderFor(const QString& name) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime) && fits(runtime, name)) return runtime;
  const QString own = QStringLiteral("tidewell-%1").arg(::geteuid());
  for (const QString& base : {QDir::tempPath(), xdgFolder("XDG_CACHE_HOME", ".cache")}) {
    const QString folder = QDir::cleanPath(base + QLatin1Char('/') + own);
    if (QDir::isAbsolutePath(folder) && fits(folder, name) && makePrivateFolder(folder)) return folder;
  }
  return {};
}

// Whether the other end of a connected local socket runs as this user.
bool peerIsThisUser(qintptr descriptor) {
  ucred peer {};
  socklen_t size = sizeof peer;
  return ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
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
  const QString folder = folderFor(name);
  if (!folder.isEmpty()) base_ = folder + QLatin1Char('/') + name;
}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
  if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Role SingleInstance::start(int waitMilliseconds) {
  if (base_.isEmpty()) {
    std::fprintf(stderr, "Tidewell: no private folder for the window's lock; a second window is not prevented\n");
    return Role::alone;
  }
  // Close-on-exec: a helper the window starts must not hold the lock after the window ends.
  // Never through a link, and never truncated: whatever is found there stays as it is.
  lockFd_ = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  struct stat st {};
  const bool ownFile = lockFd_ >= 0 && ::fstat(lockFd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
  if (!ownFile) {
    std::fprintf(stderr, "Tidewell: cannot open %s (%s); a second window is not prevented\n",
                 qPrintable(lockPath()), lockFd_ < 0 ? std::strerror(errno) : "not a file of this user's");
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
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
  // For a person looking: the holder's process id, in a field of fixed width that covers
  // whatever an earlier holder wrote, so the file is never truncated.
  char pid[16];
  const int length = std::snprintf(pid, sizeof pid, "%-10d\n", int(::getpid()));
  [[maybe_unused]] const ssize_t written = ::pwrite(lockFd_, pid, std::size_t(length), 0);
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
      if (!peerIsThisUser(peer->socketDescriptor())) {
        peer->abort();
        continue;
      }
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
  // Only a window of this user's own takes the request; anyone else's answer means nothing.
  if (!peerIsThisUser(socket.socketDescriptor())) return false;
  socket.write(raiseRequest);
  if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1)))) return false;
  QByteArray answer;
  while (!answer.endsWith('\n') && answer.size() <= longestRequest) {
    const int wait = int(std::max<qint64>(deadline.remainingTime(), 1));
    // A window that has not answered within the wait may be hung: this start reports it rather
    // than ending as if it had been handed over (a busy window still comes forward once free).
    if (!socket.bytesAvailable() && !socket.waitForReadyRead(wait)) return false;
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
