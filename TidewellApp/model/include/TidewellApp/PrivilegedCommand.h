#pragma once
// Runs one shell command as the administrator: the driver installer's install command and the
// uninstaller's removal command both go through here, so both see the same outcomes.
//
// The way in is chosen per call: pkexec when a polkit authentication agent can answer (a
// desktop session), else sudo -A with an askpass program, else the command runs directly when
// this process already is root (containers, CI). Nothing in the environment can make it skip the
// command: tests hand the installer and the uninstaller a runner of their own instead.

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace tidewell {

// Why a privileged command did not succeed. what() is the text shown to the user.
class DriverInstallError : public std::runtime_error {
 public:
  enum class Kind { cancelled, failed };
  static DriverInstallError cancelled();
  // failed with an empty text reads "The installer command failed.".
  static DriverInstallError failed(const QString& text);

  Kind kind() const { return kind_; }
  // The command's own error text (failed only; may be empty).
  const QString& text() const { return text_; }
  QString localizedDescription() const { return QString::fromUtf8(what()); }
  bool operator==(const DriverInstallError& other) const { return kind_ == other.kind_ && text_ == other.text_; }

 private:
  DriverInstallError(Kind kind, const QString& text, const QString& description);
  Kind kind_;
  QString text_;
};

// The program could not be started (or did not end in time); what() is the system's reason.
class PrivilegedLaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace PrivilegedCommand {

enum class Method { pkexec, sudoAskpass, direct };

// What the choice depends on, read from the system by current().
struct Environment {
  bool isRoot = false;
  QString pkexec;             // its path, empty when not installed
  bool polkitAgentLikely = false;
  QString sudo;               // its path, empty when not installed
  QString askpass;            // the askpass program sudo -A would run, empty when none
  static Environment current();
};

// A way in, or none (the reason is then the text a failure shows).
struct Invocation {
  Method method = Method::direct;
  QString program;
  QStringList arguments;
  QString askpass;  // for sudo -A: passed as SUDO_ASKPASS
};

// The command's own failures leave the shell with this status, so no status of the command
// can be mistaken for one of the tool in front of it (pkexec's 126 for a dismissed prompt, a
// command's 126 for a file it could not execute).
inline constexpr int commandFailedStatus = 3;
// pkexec: the user dismissed the authentication dialog (or it could not be shown).
inline constexpr int pkexecDismissedStatus = 126;
// sudo: no password was given or it was refused, so the command never ran. Only the first is
// the user's cancel; sudo tells them apart by its message alone, which it writes in the C
// locale it is started in ("no password was provided" when the askpass dialog was dismissed).
inline constexpr int sudoRefusedStatus = 1;

// The script the privileged shell runs: the command with its standard output discarded (only
// its error text is reported) and any failure turned into commandFailedStatus.
QString wrappedScript(const QString& command);

// How the command would be run in this environment; none when no way exists.
std::optional<Invocation> invocation(const QString& command, const QString& prompt, const Environment& environment);

// The outcome of a finished tool: nothing for success, else the error. `errorText` is the
// tool's standard error (trimmed by the caller).
std::optional<DriverInstallError> outcome(Method method, int status, const QString& errorText);

// Runs the command as administrator on the calling thread and waits for it (it may wait for the
// user at a password prompt). Throws DriverInstallError or PrivilegedLaunchError.
void run(const QString& command, const QString& prompt);
void run(const QString& command, const QString& prompt, const Environment& environment);

}  // namespace PrivilegedCommand

// A text as one shell word: in single quotes, every single quote inside as '\''.
QString shellQuoted(const QString& text);

}  // namespace tidewell
