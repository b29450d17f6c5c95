#pragma once
// A model over fakes whose service controller is the real launch-agent one, working in a
// temporary tree with a scripted launchctl that records its calls and answers as told.

#include <QDir>
#include <algorithm>
#include <QFile>

#include "ModelTestSupport.h"
#include "TidewellApp/LaunchAgent.h"
#include "TidewellApp/ServiceInstallation.h"
#include "TidewellCore/ServiceFiles.h"

namespace tidewell::testing {

class ServiceControllerTest : public ModelTest {
 protected:
  QDir root{folder.path()};
  QString scriptFolder = root.filePath("launchctl-script");
  QString bundleFolder = root.filePath("bundle");
  std::vector<std::pair<ServiceLogLevel, QString>> logLines;
  std::shared_ptr<LaunchAgentServiceController> controller;

  ServiceControllerTest() {
    root.mkpath(scriptFolder);
    root.mkpath(bundleFolder);
    writeExecutable(root.filePath("launchctl"),
                    "#!/bin/sh\n"
                    "d='" + scriptFolder + "'\n"
                    "echo \"$*\" >> \"$d/calls\"\n"
                    "if [ \"$1\" = print ]; then cat \"$d/print\" 2>/dev/null; exit 0; fi\n"
                    "if [ -f \"$d/fail-$1\" ]; then cat \"$d/fail-$1\"; exit 5; fi\n"
                    "exit 0\n");
    for (const QString& name : LaunchAgent::serviceExecutableNames()) {
      writeExecutable(QDir(bundleFolder).filePath(name), "#!/bin/sh\n# bundled " + name + "\n");
    }
    makeController(QStringLiteral("42"));
  }

  void makeController(std::optional<QString> build) {
    LaunchAgentServiceController::Settings settings;
    settings.locations.appSupport = root.filePath("data/Tidewell");
    settings.locations.serviceBin = root.filePath("data/Tidewell/bin");
    settings.locations.serviceLog = root.filePath("state/Tidewell");
    settings.locations.servicePlist = root.filePath("agents/app.tidewell.service.plist");
    settings.locations.legacyServicePlist = root.filePath("agents/app.zellvane.audioagent.plist");
    settings.locations.legacyServiceBin = root.filePath("data/Zellvane/bin");
    settings.launchctl = root.filePath("launchctl");
    settings.bundle.resourceFolders = {root.filePath("nowhere"), bundleFolder};
    settings.bundle.buildNumber = std::move(build);
    settings.bundle.bundleIdentifier = "app.tidewell.main";
    settings.uid = 501;
    settings.log = [this](ServiceLogLevel level, const QString& line) { logLines.emplace_back(level, line); };
    controller = std::make_shared<LaunchAgentServiceController>(settings);
  }

  // The model, once its first status check has its answer; its diagnostic helpers are the
  // stand-ins in `helperFolder` when one is given.
  std::unique_ptr<TidewellAppModel> makeServiceModel(const QString& helperFolder = {}) {
    AppEnvironment env = environment();
    env.serviceController = controller;
    if (!helperFolder.isEmpty()) env.helperLauncher = std::make_shared<ProcessHelperLauncher>(QStringList{helperFolder});
    auto model = std::make_unique<TidewellAppModel>(env);
    settle(*model);
    return model;
  }

public:
  // Runs the event loop until no service install or removal runs and launchd's answer is in.
  static void settle(TidewellAppModel& model) {
    EXPECT_TRUE(waitFor([&] { return !model.serviceActionRunning() && !model.serviceStatusPending(); }, 30000));
  }
  // The model's service operations, each followed to its end.
  static void settled(TidewellAppModel& model, void (TidewellAppModel::*operation)()) {
    (model.*operation)();
    settle(model);
  }
  static void tick(TidewellAppModel& model) { settled(model, &TidewellAppModel::healthTick); }
  static void refresh(TidewellAppModel& model) { settled(model, &TidewellAppModel::refreshServiceStatus); }
  static void install(TidewellAppModel& model) { settled(model, &TidewellAppModel::installOrRestartService); }
  static void reinstallIfStale(TidewellAppModel& model) { settled(model, &TidewellAppModel::reinstallServiceIfStale); }
  static void uninstall(TidewellAppModel& model) { settled(model, &TidewellAppModel::uninstallService); }

  static void writeExecutable(const QString& path, const QString& content) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  static QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
  }

 protected:

  const ServiceLocations& at() const { return controller->settings().locations; }
  // What launchctl prints for "print".
  void launchdSays(const QString& state) {
    QFile file(QDir(scriptFolder).filePath("print"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(("gui/501/app.tidewell.service = {\n\tstate = " + state + "\n}\n").toUtf8());
  }
  // launchctl <verb> exits non-zero printing `output`.
  void launchctlFails(const QString& verb, const QString& output) {
    QFile file(QDir(scriptFolder).filePath("fail-" + verb));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(output.toUtf8());
  }
  // Every launchctl call so far, one per line; cleared by the call.
  QStringList takeCalls() {
    const QString path = QDir(scriptFolder).filePath("calls");
    QStringList calls = QString::fromUtf8(contents(path)).split('\n', Qt::SkipEmptyParts);
    QFile::remove(path);
    return calls;
  }
  void beatAt(Clock::TimePoint time) {
    ServiceHeartbeat::beat(controller->heartbeatFile().toStdString(), time);
  }
  Clock::TimePoint secondsFromNow(double seconds) {
    return clock->time + std::chrono::duration_cast<Clock::TimePoint::duration>(
                             std::chrono::duration<double>(seconds));
  }
  void installAgentFiles() {
    QDir().mkpath(at().serviceBin);
    QDir().mkpath(QFileInfo(at().servicePlist).path());
    QFile plist(at().servicePlist);
    plist.open(QIODevice::WriteOnly);
    for (const QString& name : LaunchAgent::serviceExecutableNames())
      writeExecutable(QDir(at().serviceBin).filePath(name), "#!/bin/sh\n");
  }
};

// Live processes other than this one whose environment holds HOME=`home`, leaving out those
// named in `except` (their comm); each as "pid comm".
inline std::vector<std::string> processesWithHome(const std::filesystem::path& home,
                                                  const std::vector<std::string>& except) {
  std::vector<std::string> found;
  const std::string marker = "HOME=" + home.string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == ::getpid()) continue;
    const std::string environ = readFile(entry.path() / "environ");
    std::string comm = readFile(entry.path() / "comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    const std::string stat = readFile(entry.path() / "stat");
    const auto close = stat.rfind(')');
    const bool zombie = close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
    bool ours = false;
    for (std::size_t at = 0; at < environ.size();) {
      const std::size_t end = environ.find('\0', at);
      if (environ.compare(at, (end == std::string::npos ? environ.size() : end) - at, marker) == 0) ours = true;
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (ours && !zombie && std::find(except.begin(), except.end(), comm) == except.end())
      found.push_back(name + " " + comm);
  }
  return found;
}

}  // namespace tidewell::testing
