#pragma once
// One application window per configuration file. The first start holds a lock and listens on a
// local socket beside it; a later start on the same configuration asks the first to bring its
// window forward and ends. The lock is the kernel's (flock), so a crashed first start leaves
// nothing that blocks the next one; its socket file is removed by the next holder.

#include <QObject>
#include <QString>

#include <filesystem>

class QLocalServer;
class QWidget;

namespace tidewell {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Role {
    first,       // this process holds the lock: it runs the window
    handedOver,  // the first one was asked to come forward: this process ends
    unanswered,  // the lock is held, but its holder took no request within the wait
    alone,       // no lock could be had (no private folder, an unusable lock file): runs without the check
  };

  // The key is the configuration file: two windows on one file would overwrite each other's
  // saves, while a start with another HOME (a test, another user) edits another file. The lock
  // and the socket lie in $XDG_RUNTIME_DIR when that is this user's private folder, else in a
  // folder "tidewell-<uid>" of the user's own (mode 0700) in the temporary folder, else in the
  // cache folder.
  explicit SingleInstance(const std::filesystem::path& configFile, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Takes the lock, or hands over to its holder, waiting up to `waitMilliseconds` for its
  // answer; only a holder running as this user is asked. A holder that has not answered within
  // the wait is reported (unanswered); it still comes forward once it reads the request.
  Role start(int waitMilliseconds = 5000);

  // Both empty when no private folder could be had.
  QString lockPath() const { return base_.isEmpty() ? QString() : base_ + QStringLiteral(".lock"); }
  QString socketPath() const { return base_; }

 signals:
  // Another start asked for the window.
  void raiseRequested();

 private:
  bool tryLock();
  void listen();
  bool askFirstToRaise(int waitMilliseconds);

  QString base_;
  int lockFd_ = -1;
  QLocalServer* server_ = nullptr;
};

// Shows the window, restores it when minimized, raises it and asks for the focus.
void bringForward(QWidget& window);

}  // namespace tidewell
