#pragma once
// Runs a program to its end on the calling thread and collects its termination status and
// output (launchctl, the uninstaller's commands). Both pipes are read at once, so a child
// that fills one of them never stalls, and a child that does not finish in time is killed,
// so the window never hangs on it.

#include <QString>
#include <QStringList>

#include <chrono>
#include <stdexcept>

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

}  // namespace tidewell
