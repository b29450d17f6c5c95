// The service's status and health, read from files and a scripted launchctl with a fake clock:
// the freshness edge in both directions, the grace of a stale heartbeat, the priority of the
// issues, the compact summary and its colour, and the health tick.

#include <QTimer>

#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

using Color = TidewellAppModel::HealthColor;

class ServiceHealthTest : public ServiceControllerTest {};

TEST_F(ServiceHealthTest, NotInstalledAsksLaunchdAndReadsNotInstalledOrALeftoverJob) {
  launchdSays("not running");
  auto model = makeServiceModel();
  EXPECT_FALSE(model->serviceInstalled());
  EXPECT_TRUE(model->serviceBinariesInstalled()) << "nothing to miss when not installed";
  EXPECT_FALSE(model->serviceRunning());
  EXPECT_EQ(model->serviceStatusMessage(), "Service not installed");
  EXPECT_EQ(takeCalls(), QStringList{"print gui/501/app.tidewell.service"});
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceNotInstalled);
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Loaded \u2022 Service Off"));
  EXPECT_EQ(model->compactHealthColor(), Color::orange);

  // A job loaded by other means shows as running although no definition exists.
  launchdSays("running");
  refresh(*model);
  EXPECT_TRUE(model->serviceRunning());
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");
}

TEST_F(ServiceHealthTest, AHeartbeatIsFreshUpToTenSecondsEitherWay) {
  installAgentFiles();
  launchdSays("not running");
  beatAt(secondsFromNow(-9.9));
  auto model = makeServiceModel();
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");
  EXPECT_TRUE(model->serviceRunning());
  EXPECT_TRUE(takeCalls().isEmpty()) << "a fresh heartbeat needs no launchctl";
  EXPECT_EQ(model->primaryHealthIssue(), std::nullopt);
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Loaded \u2022 Service On"));
  EXPECT_EQ(model->compactHealthColor(), Color::green);

  beatAt(secondsFromNow(-10.1));
  refresh(*model);
  EXPECT_EQ(takeCalls(), QStringList{"print gui/501/app.tidewell.service"});
  EXPECT_FALSE(model->serviceRunning());
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped");
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceNotRunning);

  // A beat from the future: a little skew is fine, far ahead says nothing about now.
  beatAt(secondsFromNow(9.9));
  refresh(*model);
  EXPECT_TRUE(takeCalls().isEmpty());
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");
  beatAt(secondsFromNow(10.1));
  refresh(*model);
  EXPECT_EQ(takeCalls(), QStringList{"print gui/501/app.tidewell.service"});
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped");
  EXPECT_FALSE(model->serviceRunning());

  // No heartbeat at all.
  QFile::remove(controller->heartbeatFile());
  launchdSays("waiting");
  refresh(*model);
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped");
}

TEST_F(ServiceHealthTest, AStaleHeartbeatOfARunningJobIsForgivenForTenSecondsThenStalled) {
  installAgentFiles();
  launchdSays("running");
  beatAt(secondsFromNow(-30));
  auto model = makeServiceModel();
  SignalLog log(*model);
  QSignalSpy issueSpy(model.get(), &TidewellAppModel::primaryHealthIssueChanged);
  QSignalSpy summarySpy(model.get(), &TidewellAppModel::compactHealthSummaryChanged);
  QSignalSpy colorSpy(model.get(), &TidewellAppModel::compactHealthColorChanged);
  const auto firstSeen = clock->time;
  ASSERT_TRUE(model->heartbeatStaleSince());
  EXPECT_TRUE(model->serviceRunning());
  EXPECT_TRUE(model->serviceResponsive());
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");

  clock->advance(9.9);
  tick(*model);
  EXPECT_TRUE(model->serviceResponsive());
  EXPECT_EQ(model->serviceStatusMessage(), "Service running");
  EXPECT_EQ(model->heartbeatStaleSince()->toMSecsSinceEpoch(),
            std::chrono::duration_cast<std::chrono::milliseconds>(firstSeen.time_since_epoch()).count())
      << "the clock starts at the first stale look, not at each";
  EXPECT_THAT(log.take(), ::testing::IsEmpty()) << "nothing changed, nothing signalled";
  EXPECT_EQ(issueSpy.count() + summarySpy.count() + colorSpy.count(), 0);

  clock->advance(0.1);
  tick(*model);
  EXPECT_FALSE(model->serviceResponsive());
  EXPECT_EQ(model->serviceStatusMessage(), "Service running but not responding");
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceUnresponsive);
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Loaded \u2022 Service Stalled"));
  EXPECT_EQ(model->compactHealthColor(), Color::orange);
  EXPECT_THAT(log.take(), ::testing::ElementsAre("serviceResponsive", "serviceStatusMessage"));
  EXPECT_EQ(issueSpy.count(), 1);
  EXPECT_EQ(summarySpy.count(), 1);
  EXPECT_EQ(colorSpy.count(), 1);

  // launchd lets go of the job: responsive again and the clock is cleared.
  launchdSays("not running");
  tick(*model);
  EXPECT_TRUE(model->serviceResponsive());
  EXPECT_FALSE(model->heartbeatStaleSince());
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Loaded \u2022 Service Off"));

  // Running and stale again: a new clock; then a fresh beat clears it.
  launchdSays("running");
  clock->advance(60);
  tick(*model);
  EXPECT_TRUE(model->serviceResponsive());
  ASSERT_TRUE(model->heartbeatStaleSince());
  beatAt(clock->time);
  tick(*model);
  EXPECT_FALSE(model->heartbeatStaleSince());
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Loaded \u2022 Service On"));
}

// Fault mended: the check asked launchctl on the main thread, so a launchctl that hung held the
// window for up to 15 s on every 5 s tick. The tick now returns at once; the answer comes later
// through the event loop, which answers meanwhile.
TEST_F(ServiceHealthTest, ATickNeverWaitsForLaunchctlItsAnswerComesLater) {
  installAgentFiles();
  beatAt(secondsFromNow(-30));  // stale: launchd is asked
  launchdSays("running");
  auto model = makeServiceModel();
  ASSERT_TRUE(model->serviceRunning());
  // From now on launchctl takes its time over every answer.
  writeExecutable(root.filePath("launchctl"),
                  "#!/bin/sh\n"
                  "d='" + scriptFolder + "'\n"
                  "echo \"$*\" >> \"$d/calls\"\n"
                  "sleep 1.5\n"
                  "cat \"$d/print\"\n");
  launchdSays("not running");
  int fired = 0;
  QTimer beat;
  beat.setInterval(50);
  QObject::connect(&beat, &QTimer::timeout, [&] { ++fired; });
  beat.start();
  takeCalls();
  model->healthTick();
  EXPECT_TRUE(model->serviceStatusPending());
  EXPECT_TRUE(model->serviceRunning()) << "the last answer stands until the next one is in";
  EXPECT_EQ(fired, 0);
  ASSERT_TRUE(waitFor([&] { return !model->serviceStatusPending(); }, 10000));
  EXPECT_FALSE(model->serviceRunning());
  EXPECT_EQ(model->serviceStatusMessage(), "Service installed, stopped");
  // About 30 while launchctl took 1.5 s; a machine under load may run the timer late.
  EXPECT_GE(fired, 10) << "the event loop went on while launchctl took its time";
  EXPECT_EQ(takeCalls(), QStringList{"print gui/501/app.tidewell.service"});
}

TEST_F(ServiceHealthTest, IssuesComeInPriorityOrder) {
  installAgentFiles();
  beatAt(clock->time);
  registry->pluginLoaded = false;
  auto model = makeServiceModel();
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::driverNotLoaded);
  EXPECT_EQ(model->compactHealthSummary(), QString::fromUtf8("Driver Missing \u2022 Service On"));
  EXPECT_EQ(model->compactHealthColor(), Color::orange);

  // The pass-thru device alone counts as a loaded driver.
  registry->passThruLoaded = true;
  tick(*model);
  EXPECT_TRUE(model->halDriverLoaded());
  EXPECT_EQ(model->primaryHealthIssue(), std::nullopt);

  // A missing executable comes before any running check.
  QFile::remove(QDir(at().serviceBin).filePath("tidewell-hardware-source"));
  tick(*model);
  EXPECT_FALSE(model->serviceBinariesInstalled());
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceBinariesMissing);
  // One that is there but not executable counts as missing too.
  writeExecutable(QDir(at().serviceBin).filePath("tidewell-hardware-source"), "x");
  QFile::setPermissions(QDir(at().serviceBin).filePath("tidewell-hardware-source"), QFile::ReadOwner);
  tick(*model);
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceBinariesMissing);
  QFile::setPermissions(QDir(at().serviceBin).filePath("tidewell-hardware-source"),
                        QFile::ReadOwner | QFile::ExeOwner);
  tick(*model);
  EXPECT_EQ(model->primaryHealthIssue(), std::nullopt);

  // Everything healthy and a failed publish: the issue, with the colour still green; the
  // tick retries with the committed configuration and clears it when that works.
  publisher->failing = true;
  model->setRuntimePublishFailed(true);
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::runtimePublishFailed);
  EXPECT_EQ(model->compactHealthColor(), Color::green);
  tick(*model);
  EXPECT_TRUE(model->runtimePublishFailed()) << "a failed retry leaves it set";
  publisher->failing = false;
  const auto published = publisher->published.size();
  tick(*model);
  EXPECT_FALSE(model->runtimePublishFailed());
  ASSERT_EQ(publisher->published.size(), published + 1);
  EXPECT_EQ(publisher->published.back(), model->snapshot());
}

TEST_F(ServiceHealthTest, TheTickSkipsWhileAnActionRunsAndTheTimerTicksOnItsOwn) {
  installAgentFiles();
  launchdSays("running");
  makeController(QStringLiteral("42"));
  auto model = makeServiceModel();
  ASSERT_NE(model->healthTimer(), nullptr);
  EXPECT_EQ(model->healthTimer()->interval(), 5000);
  EXPECT_TRUE(model->healthTimer()->isActive());
  takeCalls();
  model->setServiceActionRunning(true);
  model->healthTick();
  EXPECT_TRUE(takeCalls().isEmpty());
  model->setServiceActionRunning(false);

  // A short interval: the timer alone drives the checks.
  LaunchAgentServiceController::Settings settings = controller->settings();
  settings.healthInterval = std::chrono::milliseconds(20);
  controller = std::make_shared<LaunchAgentServiceController>(settings);
  AppEnvironment env = environment();
  env.serviceController = controller;
  // Not settled first: at this pace a new question is always on its way.
  auto ticking = std::make_unique<TidewellAppModel>(env);
  takeCalls();
  qsizetype seen = 0;
  EXPECT_TRUE(waitFor([&] { return (seen += takeCalls().size()) >= 3; })) << "the timer never ticked";
  ticking.reset();
}

}  // namespace
}  // namespace tidewell::testing
