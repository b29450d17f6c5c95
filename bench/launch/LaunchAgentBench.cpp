// `launchctl print` of a running agent under the own supervisor, run the way the health
// check runs it (runCommand, both pipes), in a private runtime folder and HOME; and one
// append to a full HelperProcessOutput.
#include <TidewellApp/HelperProcessOutput.h>
#include <TidewellApp/LaunchAgent.h>
#include <TidewellApp/RunCommand.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using namespace tidewell;

QString launchctl() {
  return QFileInfo(QFile::symLinkTarget("/proc/self/exe")).dir().filePath("launchctl");
}

void LaunchctlPrintOfARunningAgent(benchmark::State& state) {
  QTemporaryDir root;
  QDir(root.path()).mkpath("run");
  QFile::setPermissions(root.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  setenv("XDG_RUNTIME_DIR", root.filePath("run").toLocal8Bit().constData(), 1);
  setenv("HOME", root.path().toLocal8Bit().constData(), 1);
  setenv("TIDEWELL_LAUNCH_BACKEND", "supervisor", 1);

  LaunchAgentDefinition agent;
  agent.label = "bench.job";
  agent.programArguments = {"/bin/sleep", "1000"};
  agent.runAtLoad = true;
  agent.keepAlive = true;
  QString plist = root.filePath("bench.job.plist");
  writeFileAtomically(plist, propertyListText(agent));
  QString domain = LaunchAgent::domainTarget(getuid());
  if (runCommand(launchctl(), {"bootstrap", domain, plist}).status != 0) {
    state.SkipWithError("bootstrap failed");
    return;
  }
  QString target = domain + "/bench.job";
  for (auto _ : state) {
    CommandResult r = runCommand(launchctl(), {"print", target});
    if (r.status != 0 || !r.output.contains("state = running")) {
      state.SkipWithError("the agent is not running");
      break;
    }
  }
  runCommand(launchctl(), {"bootout", target});
}
BENCHMARK(LaunchctlPrintOfARunningAgent)->Unit(benchmark::kMillisecond);

void AppendToFullHelperOutput(benchmark::State& state) {
  HelperProcessOutput output;
  const QByteArray line = "frame 123456: 512 frames delivered, no underrun\n";
  while (output.text().size() < HelperProcessOutput::maximumCharacters)
    output.append(HelperProcessOutput::Stream::standardOutput, line);
  for (auto _ : state) output.append(HelperProcessOutput::Stream::standardOutput, line);
}
BENCHMARK(AppendToFullHelperOutput)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
