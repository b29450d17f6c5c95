#pragma once
// Runs a program to its end and collects its termination status and output (launchctl, the
// uninstaller's commands): on the calling thread, or without waiting through the event loop.
// Both pipes are read at once, so a child that fills one of them never stalls, and a child
// that does not finish in time is killed.

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>

class QObject;
class QProcess;

namespace tidewell {

struct CommandResult {
  // The exit status after a normal exit, else the number of the signal that ended the child.
  int status = 0;
  // Standard output followed directly by standard error, each decoded as UTF-8 (a stream that
  // is not valid UTF-8 contributes nothing), with white space trimmed from both ends.
  QString output;
  bool operator==(const CommandResult&) const = default;
};

// The program could not be started, or did not finish in time and was killed. what() says
// which, naming the program.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::chrono::milliseconds commandTimeout{15000};

// Starts the file at executablePath with the arguments and the inherited environment
// (standard input from /dev/null) and waits for it to end. Output that descendants still write
// after the child itself has ended is not waited for. Throws CommandError.
CommandResult runCommand(const QString& executablePath, const QStringList& arguments,
                         std::chrono::milliseconds timeout = commandTimeout);

// The same without waiting, for the main thread: `done` runs later from the calling thread's
// event loop with the result, or with nothing when the program could not be started or did not
// finish in time (it is then killed). The running program belongs to `owner`: when the owner
// goes first, the program is killed and `done` never runs. Returns the process object, a child
// of `owner` that deletes itself after `done`.
QProcess* startCommand(const QString& executablePath, const QStringList& arguments, QObject* owner,
                       std::function<void(const std::optional<CommandResult>& result)> done,
                       std::chrono::milliseconds timeout = commandTimeout);

}  // namespace tidewell
