#include "TidewellApp/PrivilegedCommand.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include "TidewellApp/RunCommand.h"

namespace tidewell {

DriverInstallError::DriverInstallError(Kind kind, const QString& text, const QString& description)
    : std::runtime_error(description.toStdString()), kind_(kind), text_(text) {}

DriverInstallError DriverInstallError::cancelled() {
  return DriverInstallError(Kind::cancelled, QString(), QStringLiteral("Installation was cancelled."));
}

DriverInstallError DriverInstallError::failed(const QString& text) {
  return DriverInstallError(Kind::failed, text,
                            text.isEmpty() ? QStringLiteral("The installer command failed.") : text);
}

QString shellQuoted(const QString& text) {
  QString quoted = text;
  quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

namespace PrivilegedCommand {
namespace {

// A password prompt waits for the user; only a tool that never returns is given up on.
constexpr std::chrono::milliseconds promptTimeout{std::chrono::hours(1)};

bool isExecutable(const QString& path) {
  QFileInfo info(path);
  return !path.isEmpty() && info.isFile() && info.isExecutable();
}

}  // namespace

Environment Environment::current() {
  Environment e;
  e.isRoot = ::geteuid() == 0;
  e.pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
  // An authentication agent runs in a graphical session and talks to polkit over the system
  // bus; without both, pkexec can only fail.
  const bool graphical = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
  const bool systemBus = QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")) ||
                         QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"));
  e.polkitAgentLikely = !e.pkexec.isEmpty() && graphical && systemBus;
  e.sudo = QStandardPaths::findExecutable(QStringLiteral("sudo"));
  const QString configured = qEnvironmentVariable("SUDO_ASKPASS");
  if (isExecutable(configured)) {
    e.askpass = configured;
  } else if (graphical) {
    for (const char* candidate : {"/usr/bin/ssh-askpass", "/usr/lib/ssh/x11-ssh-askpass", "/usr/bin/ksshaskpass",
                                  "/usr/libexec/openssh/gnome-ssh-askpass", "/usr/lib/openssh/gnome-ssh-askpass"}) {
      if (isExecutable(QString::fromLatin1(candidate))) {
        e.askpass = QString::fromLatin1(candidate);
        break;
      }
    }
  }
  return e;
}

QString wrappedScript(const QString& command) {
  // A subshell, so that not even an exit inside the command can pass its own status through.
  return QStringLiteral("(\n") + command + QStringLiteral("\n) >/dev/null || exit ") +
         QString::number(commandFailedStatus);
}

std::optional<Invocation> invocation(const QString& command, const QString& prompt, const Environment& environment) {
  const QString shell = QStringLiteral("/bin/sh");
  const QString script = wrappedScript(command);
  Invocation i;
  if (environment.polkitAgentLikely) {
    // pkexec shows its own message for running a program as another user; it takes none per call.
    i.method = Method::pkexec;
    i.program = environment.pkexec;
    i.arguments = {shell, QStringLiteral("-c"), script};
    return i;
  }
  if (!environment.sudo.isEmpty() && !environment.askpass.isEmpty()) {
    i.method = Method::sudoAskpass;
    i.program = QStringLiteral("/usr/bin/env");
    i.askpass = environment.askpass;
    // sudo expands %-sequences in its prompt; %% stands for one %.
    QString sudoPrompt = prompt;
    sudoPrompt.replace(QLatin1Char('%'), QLatin1String("%%"));
    // sudo's messages in the C locale, so that a cancel can be told from a refusal.
    i.arguments = {QStringLiteral("SUDO_ASKPASS=") + environment.askpass, QStringLiteral("LC_ALL=C"), environment.sudo,
                   QStringLiteral("-A"),
                   QStringLiteral("-p"), sudoPrompt, QStringLiteral("--"), shell, QStringLiteral("-c"), script};
    return i;
  }
  if (environment.isRoot) {
    i.method = Method::direct;
    i.program = shell;
    i.arguments = {QStringLiteral("-c"), script};
    return i;
  }
  return std::nullopt;
}

std::optional<DriverInstallError> outcome(Method method, int status, const QString& errorText) {
  if (status == 0) return std::nullopt;
  if (method == Method::pkexec && status == pkexecDismissedStatus) return DriverInstallError::cancelled();
  if (method == Method::sudoAskpass && status == sudoRefusedStatus) {
    // A wrong password three times, or a user sudo does not let in, is a failure to show; a
    // dismissed dialog leaves sudo with nothing to say but that no password came.
    if (errorText.isEmpty() || errorText.contains(QLatin1String("no password was provided")))
      return DriverInstallError::cancelled();
  }
  return DriverInstallError::failed(errorText);
}

void run(const QString& command, const QString& prompt) { run(command, prompt, Environment::current()); }

void run(const QString& command, const QString& prompt, const Environment& environment) {
  auto how = invocation(command, prompt, environment);
  if (!how) {
    throw DriverInstallError::failed(
        QStringLiteral("No way to run a command as administrator was found: install pkexec (polkit) with an "
                       "authentication agent, or sudo with an askpass program."));
  }
  CommandResult result;
  try {
    result = runCommand(how->program, how->arguments, promptTimeout);
  } catch (const CommandError& e) {
    throw PrivilegedLaunchError(e.what());
  }
  if (auto error = outcome(how->method, result.status, result.output)) throw *error;
}

}  // namespace PrivilegedCommand
}  // namespace tidewell
