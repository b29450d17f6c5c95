// Installing, reinstalling and uninstalling the service against a scripted launchctl: what
// lands where, what launchctl is told in which order, the marker, the status texts and the log
// lines; and the atomic replacement of an executable that a running service may start.

#include <QElapsedTimer>
#include <atomic>
#include <sys/stat.h>
#include <thread>

#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

class ServiceInstallationTest : public ServiceControllerTest {
 protected:
  // The status texts in the order they were shown.
  std::vector<QString> statusTexts;
  void recordStatus(TidewellAppModel& model) {
    QObject::connect(&model, &TidewellAppModel::serviceStatusMessageChanged, &model,
                     [this, m = &model] { statusTexts.push_back(m->serviceStatusMessage()); });
  }
  QString marker() { return QString::fromUtf8(contents(controller->installMarkerFile())); }
  // A model whose in-application monitor runs the stand-in `script`, started; no real
  // service's lock counts here.
  std::unique_ptr<TidewellAppModel> modelWithAMonitor(const QString& script) {
    qputenv("XDG_DATA_HOME", root.filePath("xdg-data").toUtf8());
    const QString tools = root.filePath("tools");
    QDir().mkpath(tools);
    writeExecutable(QDir(tools).filePath("tidewell-monitor"), script);
    auto model = makeServiceModel(tools);
    model->startMonitor();
    EXPECT_TRUE(model->monitorRunning()) << model->monitorStatusMessage().toStdString();
    return model;
  }
  static mode_t mode(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
  }
};

TEST_F(ServiceInstallationTest, InstallCopiesWritesRemovesTheEarlierAgentAndStartsTheJob) {
  launchdSays("running");
  // Leftovers of the earlier product, and an old copy of one executable.
  QDir().mkpath(at().legacyServiceBin);
  QDir().mkpath(QFileInfo(at().legacyServicePlist).path());
  writeExecutable(QDir(at().legacyServiceBin).filePath("old-agent"), "old");
  writeExecutable(at().legacyServicePlist, "<plist/>");
  QDir().mkpath(at().serviceBin);
  writeExecutable(QDir(at().serviceBin).filePath("tidewell-monitor"), "stale copy");
  QFile::setPermissions(QDir(at().serviceBin).filePath("tidewell-monitor"), QFile::ReadOwner);

  auto model = makeServiceModel();
  recordStatus(*model);
  takeCalls();
  install(*model);

  for (const QString& name : LaunchAgent::serviceExecutableNames()) {
    const QString installed = QDir(at().serviceBin).filePath(name);
    EXPECT_EQ(contents(installed), contents(QDir(bundleFolder).filePath(name))) << name.toStdString();
    EXPECT_EQ(mode(installed), mode_t(0755)) << name.toStdString();
  }
  EXPECT_EQ(QDir(at().serviceBin).entryList(QDir::Files | QDir::Hidden).size(), 4) << "no temporary left";
  EXPECT_EQ(contents(at().servicePlist),
            propertyListText(serviceAgentDefinition(at(), "app.tidewell.main")));
  EXPECT_TRUE(QFileInfo(at().serviceLog).isDir());
  EXPECT_FALSE(QFileInfo::exists(at().legacyServicePlist));
  EXPECT_FALSE(QFileInfo::exists(at().legacyServiceBin));
  const QString plist = at().servicePlist;
  EXPECT_EQ(takeCalls(), (QStringList{"bootout gui/501 " + at().legacyServicePlist,
                                      "bootout gui/501/app.zellvane.audioagent",
                                      "bootout gui/501 " + plist, "bootstrap gui/501 " + plist,
                                      "enable gui/501/app.tidewell.service",
                                      "kickstart gui/501/app.tidewell.service",
                                      "print gui/501/app.tidewell.service"}));
  EXPECT_EQ(marker(), "42\n");
  EXPECT_EQ(statusTexts, (std::vector<QString>{"Installing service", "Service running"}));
  EXPECT_TRUE(model->serviceInstalled());
  EXPECT_TRUE(model->serviceRunning());
  EXPECT_FALSE(model->serviceActionRunning());

  // Again: the agent is booted out and in again and kick-started.
  statusTexts.clear();
  install(*model);
  EXPECT_EQ(statusTexts.front(), "Restarting service");
  EXPECT_EQ(takeCalls().filter("kickstart").size(), 1);
}

TEST_F(ServiceInstallationTest, FailuresShowInTheStatusAndTheLogAndKeepThePreviousMarker) {
  launchdSays("not running");
  ServiceInstallMarker::write("41", controller->installMarkerFile().toStdString());
  auto model = makeServiceModel();
  recordStatus(*model);

  // A helper missing from the bundle: stopped before the agent definition is written.
  QFile::remove(QDir(bundleFolder).filePath("tidewell-hardware-source"));
  install(*model);
  const QString missing =
      "Service install failed: Bundled resource 'tidewell-hardware-source' is missing or is not executable.";
  EXPECT_EQ(statusTexts, (std::vector<QString>{"Installing service", missing, "Service not installed"}));
  EXPECT_FALSE(QFileInfo::exists(at().servicePlist));
  ASSERT_EQ(logLines.size(), 1u);
  EXPECT_EQ(logLines[0].first, ServiceLogLevel::error);
  EXPECT_EQ(logLines[0].second, missing);
  EXPECT_EQ(marker(), "41\n");

  // launchctl refuses, with and without saying why.
  writeExecutable(QDir(bundleFolder).filePath("tidewell-hardware-source"), "#!/bin/sh\n");
  launchctlFails("bootstrap", "Bootstrap failed: 5: Input/output error\n");
  statusTexts.clear();
  install(*model);
  EXPECT_EQ(statusTexts.at(1), "Service install failed: Bootstrap failed: 5: Input/output error");
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped")
      << "the status line ends on what was found";
  EXPECT_TRUE(QFileInfo::exists(at().servicePlist)) << "what was written stays";
  QFile::remove(QDir(scriptFolder).filePath("fail-bootstrap"));
  launchctlFails("kickstart", "");
  statusTexts.clear();
  install(*model);
  EXPECT_EQ(statusTexts.at(1), "Service install failed: launchctl failed without output.");
  EXPECT_EQ(marker(), "41\n");

  // A launchctl that cannot be started at all.
  LaunchAgentServiceController::Settings settings = controller->settings();
  settings.launchctl = root.filePath("no-such-launchctl");
  controller = std::make_shared<LaunchAgentServiceController>(settings);
  auto other = makeServiceModel();
  EXPECT_FALSE(other->serviceRunning()) << "an unstartable launchctl counts as not running";
  install(*other);
  EXPECT_TRUE(other->serviceStatusMessage() == "Service installed, stopped");
  EXPECT_TRUE(logLines.back().second.startsWith("Service install failed: ")) << logLines.back().second.toStdString();
}

// Fault mended: the earlier product's program folder was removed following a symbolic link in
// its place, so every install emptied the folder the link named.
TEST_F(ServiceInstallationTest, ALinkInTheEarlierProgramFoldersPlaceGoesAndWhatItNamesStays) {
  launchdSays("running");
  const QString kept = root.filePath("someone-elses");
  QDir().mkpath(kept + "/inner");
  writeExecutable(kept + "/keep-me", "mine");
  writeExecutable(kept + "/inner/keep-me-too", "mine");
  QDir().mkpath(QFileInfo(at().legacyServiceBin).path());
  ASSERT_TRUE(QFile::link(kept, at().legacyServiceBin));
  auto model = makeServiceModel();
  install(*model);
  ASSERT_EQ(model->serviceStatusMessage(), "Service running");
  EXPECT_FALSE(QFileInfo(at().legacyServiceBin).isSymLink());
  EXPECT_FALSE(QFileInfo::exists(at().legacyServiceBin));
  EXPECT_EQ(contents(kept + "/keep-me"), "mine");
  EXPECT_EQ(contents(kept + "/inner/keep-me-too"), "mine");

  // A real folder goes with what is in it; a link inside goes, not what it names.
  QDir().mkpath(at().legacyServiceBin);
  writeExecutable(QDir(at().legacyServiceBin).filePath("old-agent"), "old");
  ASSERT_TRUE(QFile::link(kept, QDir(at().legacyServiceBin).filePath("shortcut")));
  install(*model);
  EXPECT_FALSE(QFileInfo::exists(at().legacyServiceBin));
  EXPECT_EQ(contents(kept + "/keep-me"), "mine");
}

TEST_F(ServiceInstallationTest, AnotherBuildReinstallsOnceAndNoBuildNumberNeverDoes) {
  launchdSays("running");
  makeController(QStringLiteral("41"));
  auto first = makeServiceModel();
  install(*first);
  ASSERT_EQ(marker(), "41\n");

  makeController(QStringLiteral("42"));
  auto model = makeServiceModel();
  takeCalls();
  reinstallIfStale(*model);
  EXPECT_EQ(takeCalls().filter("bootstrap").size(), 1);
  EXPECT_EQ(marker(), "42\n");
  ASSERT_FALSE(logLines.empty());
  EXPECT_EQ(logLines.back().first, ServiceLogLevel::standard);
  EXPECT_EQ(logLines.back().second,
            "Service binaries were installed by build 41; reinstalling from build 42");
  reinstallIfStale(*model);
  EXPECT_TRUE(takeCalls().filter("bootstrap").isEmpty()) << "the same build does nothing";

  // A marker that is gone reads as "none".
  QFile::remove(controller->installMarkerFile());
  reinstallIfStale(*model);
  EXPECT_EQ(logLines.back().second, "Service binaries were installed by build none; reinstalling from build 42");

  // Without a build number: installed without a marker, and never reinstalled.
  makeController(std::nullopt);
  QFile::remove(controller->installMarkerFile());
  auto unnumbered = makeServiceModel();
  install(*unnumbered);
  EXPECT_FALSE(QFileInfo::exists(controller->installMarkerFile()));
  takeCalls();
  reinstallIfStale(*unnumbered);
  EXPECT_TRUE(takeCalls().isEmpty());
}

TEST_F(ServiceInstallationTest, UninstallBootsOutRemovesDefinitionAndMarkerAndKeepsTheRest) {
  launchdSays("running");
  auto model = makeServiceModel();
  install(*model);
  launchdSays("not running");
  recordStatus(*model);
  takeCalls();
  uninstall(*model);
  EXPECT_EQ(takeCalls(), (QStringList{"bootout gui/501 " + at().servicePlist,
                                      "print gui/501/app.tidewell.service"}));
  EXPECT_FALSE(QFileInfo::exists(at().servicePlist));
  EXPECT_FALSE(QFileInfo::exists(controller->installMarkerFile()));
  EXPECT_EQ(QDir(at().serviceBin).entryList(QDir::Files).size(), 4) << "the executables stay";
  EXPECT_EQ(statusTexts, (std::vector<QString>{"Stopping service", "Service stopped", "Service not installed"}));

  // With nothing installed it still boots out and says so.
  statusTexts.clear();
  uninstall(*model);
  EXPECT_EQ(takeCalls().first(), "bootout gui/501 " + at().servicePlist);
  EXPECT_EQ(statusTexts, (std::vector<QString>{"Stopping service", "Service stopped", "Service not installed"}));
}

TEST_F(ServiceInstallationTest, ActionsDoNotOverlap) {
  auto model = makeServiceModel();
  model->setServiceActionRunning(true);
  takeCalls();
  model->installOrRestartService();
  model->uninstallService();
  ServiceInstallMarker::write("1", controller->installMarkerFile().toStdString());
  model->reinstallServiceIfStale();
  EXPECT_TRUE(takeCalls().isEmpty());
  EXPECT_FALSE(QFileInfo::exists(at().servicePlist));
}

TEST_F(ServiceInstallationTest, OnlyABeatOfTheNewInstanceSaysItRuns) {
  // The old instance beat a second ago; the new one has not beaten yet and failed to start.
  beatAt(secondsFromNow(-1));
  launchdSays("not running");
  auto model = makeServiceModel();
  install(*model);
  EXPECT_FALSE(model->serviceRunning());
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped");
  // Started late but fine: its first beat counts.
  clock->advance(2);
  beatAt(clock->time);
  refresh(*model);
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");
}

// Fault mended: after an install, beats were ignored until the wall clock passed the install
// time, so a clock stepped back showed a healthy new instance as not responding.
TEST_F(ServiceInstallationTest, ANewInstanceCountsAfterTheWallClockSteppedBack) {
  beatAt(secondsFromNow(-1));
  launchdSays("not running");  // the new job is still starting when the install looks
  auto model = makeServiceModel();
  install(*model);
  launchdSays("running");
  clock->advance(-3600);
  for (int pass = 0; pass < 5; ++pass) {
    beatAt(clock->time);
    tick(*model);
    EXPECT_EQ(model->serviceStatusMessage(), "Service running") << "pass " << pass;
    EXPECT_FALSE(model->heartbeatStaleSince()) << "pass " << pass;
    clock->advance(5);
  }
  EXPECT_EQ(model->primaryHealthIssue(), std::nullopt);
}

// Fault mended: an install sent the application's own helpers SIGTERM behind the stop path's
// back, so a helper ended that way showed "Monitor failed: signal 15".
TEST_F(ServiceInstallationTest, InstallingStopsTheApplicationsOwnHelpersThroughTheStopPath) {
  launchdSays("not running");
  auto model = modelWithAMonitor("#!/bin/sh\ntrap 'exit 0' TERM\nwhile :; do sleep 0.05; done\n");
  ASSERT_TRUE(model->monitorRunning());
  std::vector<QString> shown;
  QObject::connect(model.get(), &TidewellAppModel::monitorStatusMessageChanged, model.get(),
                   [&] { shown.push_back(model->monitorStatusMessage()); });
  model->installOrRestartService();
  EXPECT_EQ(shown, std::vector<QString>{"Stopping monitor"});
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor stopped");
  settle(*model);
}

// Fault mended: the install waited for launchctl on the main thread, so the delayed kill of a
// stopping helper that ignores the request could not come while launchctl took its time.
TEST_F(ServiceInstallationTest, AHelperThatIgnoresTheStopIsKilledWhileTheInstallStillRuns) {
  launchdSays("not running");
  // A bootstrap that takes longer than the helper's grace.
  writeExecutable(root.filePath("launchctl"),
                  "#!/bin/sh\n"
                  "d='" + scriptFolder + "'\n"
                  "echo \"$*\" >> \"$d/calls\"\n"
                  "if [ \"$1\" = bootstrap ]; then sleep 6; fi\n"
                  "exit 0\n");
  auto model = modelWithAMonitor("#!/bin/sh\ntrap '' TERM\necho > \"$0.ready\"\nwhile :; do sleep 0.05; done\n");
  ASSERT_TRUE(model->monitorRunning());
  ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(root.filePath("tools/tidewell-monitor.ready")); }));
  model->installOrRestartService();
  EXPECT_TRUE(model->serviceActionRunning()) << "the install goes on without the window";
  EXPECT_EQ(model->monitorStatusMessage(), "Stopping monitor");
  ASSERT_TRUE(waitFor([&] { return !model->monitorRunning(); }, 10000));
  EXPECT_EQ(model->monitorStatusMessage(), "Monitor failed: signal 9");
  EXPECT_TRUE(model->serviceActionRunning()) << "killed after its grace, while launchctl still ran";
  settle(*model);
  EXPECT_EQ(takeCalls().filter("bootstrap").size(), 1);
}

TEST(ServiceExecutableReplacement, AWatcherNeverSeesTheFileMissingOrPartial) {
  QTemporaryDir dir;
  const QString big = dir.filePath("big"), small = dir.filePath("small");
  const QString target = dir.filePath("tidewell-monitor");
  {
    QFile b(big), s(small);
    b.open(QIODevice::WriteOnly);
    b.write(QByteArray(8 << 20, 'b'));
    s.open(QIODevice::WriteOnly);
    s.write(QByteArray(1 << 20, 's'));
  }
  replaceExecutableAtomically(small, target);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, looks{0};
  std::thread watcher([&] {
    const QByteArray path = QFile::encodeName(target);
    while (!done) {
      struct stat info {};
      const bool whole = ::stat(path.constData(), &info) == 0 &&
                         (info.st_size == (1 << 20) || info.st_size == (8 << 20)) &&
                         (info.st_mode & 07777) == 0755;
      if (!whole) ++bad;
      ++looks;
    }
  });
  for (int i = 0; i < 20; ++i) replaceExecutableAtomically(i % 2 ? small : big, target);
  EXPECT_EQ(ServiceControllerTest::contents(target), ServiceControllerTest::contents(small));
  done = true;
  watcher.join();
  EXPECT_EQ(bad.load(), 0) << "of " << looks.load() << " looks";
  EXPECT_GT(looks.load(), 100);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3) << "no temporary left";

  // A source that cannot be read leaves the destination as it was.
  EXPECT_THROW(replaceExecutableAtomically(dir.filePath("absent"), target), ServiceInstallError);
  EXPECT_EQ(QFileInfo(target).size(), 1 << 20);
}

}  // namespace
}  // namespace tidewell::testing
