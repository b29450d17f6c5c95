// The administrator runner: which way in it takes, and how it reads a tool's end, against
// stand-in pkexec and sudo programs that behave as the real ones do at their exits.
#include <TidewellApp/PrivilegedCommand.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tidewell;
using namespace tidewell::PrivilegedCommand;
using Method = tidewell::PrivilegedCommand::Method;

namespace {

void writeScript(const QString& path, const QByteArray& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("#!/bin/sh\n" + text);
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::optional<DriverInstallError> failureOf(const QString& command, const Environment& environment) {
  try {
    run(command, "Tidewell needs to install its audio driver.", environment);
  } catch (const DriverInstallError& e) {
    return e;
  }
  return std::nullopt;
}

TEST(PrivilegedChoice, PkexecThenSudoThenRootThenNothing) {
  Environment e;
  e.isRoot = true;
  e.pkexec = "/usr/bin/pkexec";
  e.polkitAgentLikely = true;
  e.sudo = "/usr/bin/sudo";
  e.askpass = "/usr/bin/ssh-askpass";
  auto how = invocation("true", "P", e);
  ASSERT_TRUE(how);
  EXPECT_EQ(how->method, Method::pkexec);
  EXPECT_EQ(how->program, "/usr/bin/pkexec");
  EXPECT_EQ(how->arguments, QStringList({"/bin/sh", "-c", wrappedScript("true")}));

  e.polkitAgentLikely = false;  // pkexec installed, but no agent to ask
  how = invocation("true", "P \"x\" 100%u", e);
  ASSERT_TRUE(how);
  EXPECT_EQ(how->method, Method::sudoAskpass);
  EXPECT_EQ(how->program, "/usr/bin/env");
  EXPECT_EQ(how->arguments, QStringList({"SUDO_ASKPASS=/usr/bin/ssh-askpass", "LC_ALL=C", "/usr/bin/sudo", "-A", "-p",
                                         "P \"x\" 100%%u", "--", "/bin/sh", "-c", wrappedScript("true")}));

  e.askpass.clear();  // sudo without a way to ask
  how = invocation("true", "P", e);
  ASSERT_TRUE(how);
  EXPECT_EQ(how->method, Method::direct);
  EXPECT_EQ(how->program, "/bin/sh");
  EXPECT_EQ(how->arguments, QStringList({"-c", wrappedScript("true")}));

  e.isRoot = false;
  EXPECT_FALSE(invocation("true", "P", e));
  auto failure = failureOf("true", e);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->text().startsWith("No way to run a command as administrator")) << failure->what();
}

TEST(PrivilegedChoice, NoVariableTurnsTheCommandIntoARecordOfIt) {
  // A name that once made every command a line in a file, reported as done; left in a user's
  // environment it made the uninstaller remove the data and keep the plug-in.
  QTemporaryDir root;
  const QString log = root.filePath("commands.log");
  const QString marks = root.filePath("marks");
  qputenv("TIDEWELL_PRIVILEGED_COMMAND_LOG", log.toUtf8());
  Environment e = Environment::current();
  qunsetenv("TIDEWELL_PRIVILEGED_COMMAND_LOG");
  // Only the direct way can run here without a person at a dialog.
  e.polkitAgentLikely = false;
  e.askpass.clear();
  auto failure = failureOf("touch '" + marks + "'", e);
  if (e.isRoot) {
    EXPECT_FALSE(failure) << failure->what();
    EXPECT_TRUE(QFile::exists(marks)) << "the command ran";
  } else {
    ASSERT_TRUE(failure) << "no way in, so no success";
    EXPECT_TRUE(failure->text().startsWith("No way to run a command as administrator")) << failure->what();
  }
  EXPECT_FALSE(QFile::exists(log));
}

TEST(PrivilegedOutcome, CancelledIsAStatusOfThePromptingToolOnly) {
  EXPECT_FALSE(outcome(Method::pkexec, 0, "noise"));
  EXPECT_EQ(outcome(Method::pkexec, 126, "Error executing command as another user: Not authorized"),
            DriverInstallError::cancelled());
  EXPECT_EQ(outcome(Method::sudoAskpass, 1, "sudo: no password was provided"), DriverInstallError::cancelled());
  EXPECT_EQ(outcome(Method::sudoAskpass, 1, ""), DriverInstallError::cancelled());
  // sudo's refusals end with the same status, and are failures with sudo's reason.
  for (const char* refusal : {"Sorry, try again.\nSorry, try again.\nsudo: 3 incorrect password attempts",
                              "alice is not in the sudoers file.  This incident will be reported.",
                              "sudo: unable to run /usr/bin/ssh-askpass: No such file or directory"})
    EXPECT_EQ(outcome(Method::sudoAskpass, 1, refusal), DriverInstallError::failed(refusal)) << refusal;
  // The command's own failures, whatever their text says.
  EXPECT_EQ(outcome(Method::pkexec, commandFailedStatus, "execution error: User canceled. (-128)"),
            DriverInstallError::failed("execution error: User canceled. (-128)"));
  EXPECT_EQ(outcome(Method::direct, 126, "sh: 1: ./x: Permission denied"),
            DriverInstallError::failed("sh: 1: ./x: Permission denied"));
  EXPECT_EQ(outcome(Method::pkexec, 127, ""), DriverInstallError::failed(""));
  EXPECT_STREQ(DriverInstallError::cancelled().what(), "Installation was cancelled.");
  EXPECT_STREQ(DriverInstallError::failed("").what(), "The installer command failed.");
  EXPECT_STREQ(DriverInstallError::failed("cp: x").what(), "cp: x");
}

class PrivilegedRunTest : public ::testing::Test {
 protected:
  QTemporaryDir root;
  QString pkexec = root.filePath("pkexec");
  QString sudo = root.filePath("sudo");
  QString askpass = root.filePath("askpass");
  QString marks = root.filePath("marks");

  Environment withPkexec() {
    Environment e;
    e.pkexec = pkexec;
    e.polkitAgentLikely = true;
    return e;
  }
};

TEST_F(PrivilegedRunTest, PkexecDismissedIsCancelledButACommandEndingIn126IsNot) {
  // pkexec's own exit when the dialog is dismissed: the command never runs.
  writeScript(pkexec, "echo \"Error executing command as another user: Request dismissed\" >&2\nexit 126\n");
  auto failure = failureOf("touch '" + marks + "'", withPkexec());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::cancelled);
  EXPECT_FALSE(QFile::exists(marks));

  // An authorised pkexec runs the program it was given with its arguments.
  writeScript(pkexec, "exec \"$@\"\n");
  EXPECT_FALSE(failureOf("touch '" + marks + "'", withPkexec()));
  EXPECT_TRUE(QFile::exists(marks));
  failure = failureOf("echo chatter; exit 126", withPkexec());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::failed);
  // A file that cannot be executed makes the shell end with 126 too.
  QFile plain(root.filePath("plain"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  failure = failureOf("'" + root.filePath("plain") + "'", withPkexec());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::failed);
  EXPECT_TRUE(failure->text().contains("Permission denied")) << failure->what();
}

TEST_F(PrivilegedRunTest, SudoAsksThroughTheAskpassProgramWithThePrompt) {
  // Like sudo -A: asks the program named by SUDO_ASKPASS with the prompt; no password, exit 1.
  writeScript(sudo,
              "[ \"$1\" = -A ] && [ \"$2\" = -p ] || exit 2\n"
              "prompt=$3; shift 4\n"
              "pw=$(\"$SUDO_ASKPASS\" \"$prompt\") || { echo 'sudo: no password was provided' >&2; exit 1; }\n"
              "exec \"$@\"\n");
  writeScript(askpass, "printf '%s' \"$1\" > '" + marks.toUtf8() + ".prompt'\nexit 1\n");
  Environment e;
  e.sudo = sudo;
  e.askpass = askpass;
  auto failure = failureOf("touch '" + marks + "'", e);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::cancelled);
  EXPECT_EQ(readAll(marks + ".prompt"), "Tidewell needs to install its audio driver.");
  EXPECT_FALSE(QFile::exists(marks));

  writeScript(askpass, "echo secret\n");
  EXPECT_FALSE(failureOf("touch '" + marks + "'", e));
  EXPECT_TRUE(QFile::exists(marks));
  failure = failureOf("false", e);  // the command's failure, not sudo's refusal
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::failed);

  // A wrong password ends sudo with the status of a cancel, but is a failure, in sudo's words.
  writeScript(sudo,
              "[ \"$LC_ALL\" = C ] || { echo 'sudo: Es wurde kein Passwort angegeben' >&2; exit 1; }\n"
              "printf 'Sorry, try again.\\nsudo: 3 incorrect password attempts\\n' >&2; exit 1\n");
  failure = failureOf("touch '" + marks + "'", e);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::failed);
  EXPECT_EQ(failure->text(), "Sorry, try again.\nsudo: 3 incorrect password attempts");
}

TEST_F(PrivilegedRunTest, DirectRunReportsOnlyTheErrorTextAndLaunchFailures) {
  Environment e;
  e.isRoot = true;
  auto failure = failureOf("echo progress; echo 'cp: cannot stat x' >&2; false", e);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->text(), "cp: cannot stat x");

  e.isRoot = false;
  e.pkexec = root.filePath("no-pkexec");
  e.polkitAgentLikely = true;
  EXPECT_THROW(run("true", "P", e), PrivilegedLaunchError);
}

TEST_F(PrivilegedRunTest, ToolsFillingBothPipesDoNotStallTheRun) {
  // Far more than a pipe holds, on each stream, before the tool ends.
  writeScript(pkexec,
              "head -c 300000 /dev/zero | tr '\\0' o\n"
              "head -c 300000 /dev/zero | tr '\\0' e >&2\n"
              "exit 127\n");
  auto failure = failureOf("true", withPkexec());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), DriverInstallError::Kind::failed);
  EXPECT_EQ(failure->text().count('e'), 300000);

  Environment e;
  e.isRoot = true;
  failure = failureOf("head -c 300000 /dev/zero | tr '\\0' x >&2; false", e);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->text().size(), 300000);
}

TEST(ShellQuoting, KeepsQuotesInsideOneWord) {
  EXPECT_EQ(shellQuoted("a b"), "'a b'");
  EXPECT_EQ(shellQuoted("o'neil"), "'o'\\''neil'");
  EXPECT_EQ(shellQuoted(""), "''");
}

}  // namespace
