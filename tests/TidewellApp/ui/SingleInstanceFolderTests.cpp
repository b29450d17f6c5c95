// Where the window's lock and socket lie when the session has no runtime folder of the user's
// own, and what a start makes of what another user could have planted on the way: a folder of
// the expected name, a link in the lock's place, a listener of their own.

#include "TidewellApp/SingleInstance.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tidewell {
namespace {

class SingleInstanceFolderTest : public ::testing::Test {
 protected:
  QTemporaryDir temporary;  // stands in for /tmp
  QTemporaryDir cache;
  QTemporaryDir home;
  std::filesystem::path config = std::filesystem::path(home.path().toStdString()) / "config.json";
  std::map<const char*, std::optional<QByteArray>> saved;

  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "XDG_CACHE_HOME"})
      saved[name] = qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", temporary.path().toUtf8());
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
  }
  void TearDown() override {
    for (const auto& [name, value] : saved) {
      if (value) qputenv(name, *value);
      else qunsetenv(name);
    }
  }

  // The private folder a start makes in the temporary folder.
  QString ownFolder() const { return temporary.path() + "/tidewell-" + QString::number(::geteuid()); }

  static bool isPrivateFolder(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0700;
  }

  SingleInstance::Role secondStart(int wait = 10000) {
    auto role = std::async(std::launch::async, [this, wait] { return SingleInstance(config).start(wait); });
    while (role.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return role.get();
  }

  static QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
};

// Fault mended: without XDG_RUNTIME_DIR the lock lay in the temporary folder itself, under a
// name anyone can work out, where another user could create it first.
TEST_F(SingleInstanceFolderTest, WithoutARuntimeFolderOfItsOwnTheLockLiesInAPrivateFolderOfTheUsers) {
  SingleInstance first(config);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  EXPECT_EQ(QFileInfo(first.lockPath()).path(), ownFolder());
  EXPECT_EQ(QFileInfo(first.socketPath()).path(), ownFolder());
  EXPECT_TRUE(isPrivateFolder(ownFolder()));
  EXPECT_EQ(secondStart(), SingleInstance::Role::handedOver);

  // A runtime folder that others may enter is not the user's own either.
  QTemporaryDir open;
  ASSERT_EQ(::chmod(QFile::encodeName(open.path()).constData(), 0777), 0);
  qputenv("XDG_RUNTIME_DIR", open.path().toUtf8());
  EXPECT_EQ(QFileInfo(SingleInstance(config).socketPath()).path(), ownFolder());
  // One that is, is used as before.
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  EXPECT_EQ(QFileInfo(SingleInstance(config).socketPath()).path(), runtime.path());
}

TEST_F(SingleInstanceFolderTest, AFolderOfThatNameThatOthersMayEnterOrThatIsALinkIsPassedOver) {
  // Made before the first start, open to every user.
  ASSERT_TRUE(QDir().mkpath(ownFolder()));
  ASSERT_EQ(::chmod(QFile::encodeName(ownFolder()).constData(), 0777), 0);
  SingleInstance first(config);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  const QString cacheFolder = cache.path() + "/tidewell-" + QString::number(::geteuid());
  EXPECT_EQ(QFileInfo(first.lockPath()).path(), cacheFolder);
  EXPECT_TRUE(isPrivateFolder(cacheFolder));
  EXPECT_TRUE(QDir(ownFolder()).isEmpty()) << "nothing was put in the open folder";

  // A link of that name is not a folder, wherever it points.
  ASSERT_TRUE(QDir().rmdir(ownFolder()));
  QTemporaryDir elsewhere;
  ASSERT_TRUE(QFile::link(elsewhere.path(), ownFolder()));
  EXPECT_EQ(QFileInfo(SingleInstance(config).lockPath()).path(), cacheFolder);
}

// Fault mended: the lock was opened through any link at its name and truncated, so a link
// planted there emptied the file it named.
TEST_F(SingleInstanceFolderTest, ALinkInTheLocksPlaceIsNotFollowedAndWhatItNamesStaysWhole) {
  const QString victim = home.path() + "/precious.txt";
  {
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("precious\n");
  }
  const QString lockPath = SingleInstance(config).lockPath();
  ASSERT_FALSE(lockPath.isEmpty());
  ASSERT_TRUE(QFile::link(victim, lockPath));
  SingleInstance first(config);
  EXPECT_EQ(first.start(300), SingleInstance::Role::alone);
  EXPECT_EQ(contents(victim), "precious\n");
  EXPECT_TRUE(QFileInfo(lockPath).isSymLink()) << "left as it was found";
}

// Fault mended: whoever answered on the socket counted as the window, so a listener of another
// user's made every start end with status 0 and no window.
TEST_F(SingleInstanceFolderTest, OnlyAWindowOfThisUsersOwnIsTakenAsTheFirstStart) {
  if (::geteuid() != 0) GTEST_SKIP() << "a listener of another user's needs root to set up";
  const SingleInstance probe(config);
  const QByteArray lockPath = QFile::encodeName(probe.lockPath());
  const QByteArray socketPath = QFile::encodeName(probe.socketPath());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(std::size_t(socketPath.size()), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.constData(), std::size_t(socketPath.size()));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  // The other user's process: it holds the lock, listens as that user and answers every
  // request as a window would.
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    const int lock = ::open(lockPath.constData(), O_RDWR | O_CREAT, 0600);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0 || listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0 || ::listen(listener, 8) != 0)
      ::_exit(1);
    [[maybe_unused]] ssize_t said = ::write(ready[1], "1", 1);
    for (;;) {
      const int peer = ::accept(listener, nullptr, nullptr);
      if (peer < 0) continue;
      char buffer[64];
      [[maybe_unused]] ssize_t read = ::read(peer, buffer, sizeof buffer);
      [[maybe_unused]] ssize_t answered = ::write(peer, "ok\n", 3);
      ::close(peer);
    }
  }
  ::close(ready[1]);
  char byte = 0;
  const bool listening = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (listening) {
    SingleInstance start(config);
    EXPECT_EQ(start.start(1000), SingleInstance::Role::unanswered);
  }
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ASSERT_TRUE(listening) << "the other user's listener did not start";
}

}  // namespace
}  // namespace tidewell
