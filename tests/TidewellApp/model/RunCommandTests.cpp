// runCommand against real children: full pipes, odd output, signals, a hang, a bad path.
#include <TidewellApp/RunCommand.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace tidewell;
using namespace std::chrono_literals;

namespace {

CommandResult shell(const QString& script, std::chrono::milliseconds timeout = commandTimeout) {
  return runCommand("/bin/sh", {"-c", script}, timeout);
}

// Live processes whose command line contains `text`.
std::vector<pid_t> processesRunning(const std::string& text) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close != std::string::npos && line[close + 2] != 'Z' && s.str().find(text) != std::string::npos)
      found.push_back(std::stoi(name));
  }
  return found;
}

// A sleep duration no other process uses, to find the child again.
std::string uniqueSleep() { return "999." + std::to_string(QRandomGenerator::global()->bounded(1000000, 9999999)); }

}  // namespace

TEST(RunCommand, AChildThatFillsBothPipesFinishesWithAllItsOutput) {
  // Far more than a pipe holds, on standard error first: reading one pipe to its end before
  // the other would wait forever.
  CommandResult r = shell("head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o; exit 7");
  EXPECT_EQ(r.status, 7);
  ASSERT_EQ(r.output.size(), 600000);
  EXPECT_EQ(r.output, QString(300000, 'o') + QString(300000, 'e')) << "standard output comes first";
}

TEST(RunCommand, OutputIsJoinedTrimmedAndDecodedPerStream) {
  EXPECT_EQ(shell("printf '  \\n out\\n'; printf 'err  \\n\\n' >&2"), (CommandResult{0, "out\nerr"}));
  EXPECT_EQ(shell("printf 'caf\\303\\251'"), (CommandResult{0, QString::fromUtf8("café")}));
  // A stream that is not UTF-8 contributes nothing; the other one still counts.
  EXPECT_EQ(shell("printf 'bad \\377'; printf 'fine' >&2; exit 2"), (CommandResult{2, "fine"}));
  EXPECT_EQ(shell("kill -TERM $$").status, SIGTERM);
}

TEST(RunCommand, AHangingChildIsKilledAndReportedAsAFailure) {
  std::string sleep = uniqueSleep();
  auto started = std::chrono::steady_clock::now();
  try {
    shell(QString::fromStdString("echo partial; exec sleep " + sleep), 500ms);
    ADD_FAILURE() << "a hanging child was reported as finished";
  } catch (const CommandError& e) {
    EXPECT_NE(std::string(e.what()).find("/bin/sh did not finish within 0.5 s"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(processesRunning(sleep), std::vector<pid_t>{}) << "the child outlived the timeout";
}

TEST(RunCommand, ADescendantThatKeepsThePipesOpenDoesNotHoldTheCaller) {
  std::string sleep = uniqueSleep();
  CommandResult r = shell(QString::fromStdString("sleep " + sleep + " & echo started"), 20s);
  EXPECT_EQ(r, (CommandResult{0, "started"}));
  for (pid_t p : processesRunning(sleep)) kill(p, SIGKILL);
}

TEST(RunCommand, AProgramThatCannotStartIsAnError) {
  QTemporaryDir dir;
  QFile plain(dir.filePath("plain"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  for (const QString& path : {dir.filePath("missing"), dir.filePath("plain")}) {
    try {
      runCommand(path, {});
      ADD_FAILURE() << path.toStdString();
    } catch (const CommandError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(path.toStdString() + ": ", 0), 0u) << e.what();
    }
  }
}
