// One window per configuration file: the first start holds the lock and listens, a later one
// asks it to come forward; leftovers of a crashed start block nothing.

#include "TidewellApp/SingleInstance.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tidewell {
namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  QTemporaryDir runtime;
  std::filesystem::path config = std::filesystem::path(runtime.path().toStdString()) / "home/config.json";
  QByteArray previousRuntime = qgetenv("XDG_RUNTIME_DIR");

  void SetUp() override { qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8()); }
  void TearDown() override { qputenv("XDG_RUNTIME_DIR", previousRuntime); }

  // A second start on its own thread, as a second process would block on its own; the first
  // answers from this thread's event loop meanwhile.
  SingleInstance::Role secondStart(const std::filesystem::path& file, int wait = 10000) {
    auto role = std::async(std::launch::async, [file, wait] { return SingleInstance(file).start(wait); });
    while (role.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return role.get();
  }
};

TEST_F(SingleInstanceTest, ASecondStartHandsOverAndTheFirstIsAskedToComeForward) {
  SingleInstance first(config);
  QSignalSpy raised(&first, &SingleInstance::raiseRequested);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  EXPECT_TRUE(first.socketPath().startsWith(runtime.path() + "/tidewell-"));
  EXPECT_EQ(secondStart(config), SingleInstance::Role::handedOver);
  EXPECT_TRUE(raised.count() == 1 || raised.wait(5000));
  EXPECT_EQ(raised.count(), 1);
  // Again: each later start is answered.
  EXPECT_EQ(secondStart(config), SingleInstance::Role::handedOver);
  EXPECT_TRUE(raised.count() == 2 || raised.wait(5000));

  // The same file reached by another path is the same configuration; another file is not.
  const std::filesystem::path roundabout = config.parent_path() / "." / "config.json";
  EXPECT_EQ(SingleInstance(roundabout).socketPath(), first.socketPath());
  EXPECT_EQ(secondStart(config.parent_path() / "other.json"), SingleInstance::Role::first);
}

// A window busy for longer than the second start waits (a blocking prompt, a slow start, a hang)
// is reported by that start, which cannot tell it from a hung one; the window still gets the
// request and comes forward once it is free.
TEST_F(SingleInstanceTest, ABusyFirstStartIsReportedAndComesForwardOnceItIsFree) {
  SingleInstance first(config);
  QSignalSpy raised(&first, &SingleInstance::raiseRequested);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  auto role = std::async(std::launch::async, [this] { return SingleInstance(config).start(300); });
  ASSERT_EQ(role.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "no event loop ran";
  EXPECT_EQ(role.get(), SingleInstance::Role::unanswered);
  EXPECT_EQ(raised.count(), 0);
  EXPECT_TRUE(raised.wait(5000));
}

TEST_F(SingleInstanceTest, WhatACrashedStartLeftBehindBlocksNothing) {
  const QString socketPath = SingleInstance(config).socketPath();
  // A socket file nobody listens on, and an unlocked lock file naming a long-gone process.
  {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    ASSERT_LT(std::size_t(path.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    QFile lock(socketPath + ".lock");
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write("999999999\n");
  }
  ASSERT_TRUE(QFileInfo::exists(socketPath));

  SingleInstance first(config);
  QSignalSpy raised(&first, &SingleInstance::raiseRequested);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  EXPECT_EQ(secondStart(config), SingleInstance::Role::handedOver);
  EXPECT_TRUE(raised.count() == 1 || raised.wait(5000));
}

TEST_F(SingleInstanceTest, AHolderThatNeverAnswersIsReportedAfterTheWait) {
  const QString lockPath = SingleInstance(config).lockPath();
  const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // held, and nobody listens
  EXPECT_EQ(secondStart(config, 300), SingleInstance::Role::unanswered);
  // Once the holder is gone the lock is free at once: no stale state to clear by hand.
  ::close(fd);
  SingleInstance next(config);
  EXPECT_EQ(next.start(300), SingleInstance::Role::first);
}

TEST_F(SingleInstanceTest, APeerThatSendsSomethingElseIsDroppedAndRaisesNothing) {
  SingleInstance first(config);
  QSignalSpy raised(&first, &SingleInstance::raiseRequested);
  ASSERT_EQ(first.start(), SingleInstance::Role::first);
  QLocalSocket peer;
  peer.connectToServer(first.socketPath());
  ASSERT_TRUE(peer.waitForConnected(5000));
  peer.write(QByteArray(200, 'x'));
  peer.flush();
  QElapsedTimer waited;
  waited.start();
  while (peer.state() == QLocalSocket::ConnectedState && waited.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    peer.waitForDisconnected(10);
  }
  EXPECT_NE(peer.state(), QLocalSocket::ConnectedState) << "the first start hangs up";
  EXPECT_EQ(raised.count(), 0);
}

// Brought forward, the window the user minimised comes back as it was before (maximised
// here) and becomes the active window, in front of another window that was active.
TEST_F(SingleInstanceTest, BringingForwardRestoresAMinimizedWindowAndActivatesIt) {
  QWidget window;
  window.resize(300, 200);
  window.showMaximized();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.showMinimized();
  QWidget other;
  other.resize(300, 200);
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  ASSERT_TRUE(window.isMinimized());

  bringForward(window);
  EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_EQ(QApplication::activeWindow(), &window);
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(window.isMaximized()) << "it comes back as it was";
  EXPECT_TRUE(window.isVisible());
}

}  // namespace
}  // namespace tidewell
