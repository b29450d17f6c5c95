// The service's settings, helper lookup, passes, publishing and dry run, on a scripted world.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

TEST(ServiceSettingsTest, SwitchesAcceptFourWordsInAnyCase) {
  for (const char* on : {"1", "true", "TRUE", "Yes", "on", "ON"}) {
    EXPECT_TRUE(TidewellService::isTruthy(std::string(on))) << on;
  }
  for (const char* off : {"y", " 1", "1 ", "enabled", "", "0", "false"}) {
    EXPECT_FALSE(TidewellService::isTruthy(std::string(off))) << off;
  }
  EXPECT_FALSE(TidewellService::isTruthy(std::nullopt));
}

// Outside 0.05 to 60 s the interval would either spin the loop or leave the heartbeat stale and
// a stop unanswered for hours (1e300 overflows the sleep altogether).
TEST(ServiceSettingsTest, PollIntervalOutsideItsBoundsFallsBack) {
  EXPECT_EQ(TidewellService::pollInterval(std::string("0.05")), 0.05);
  EXPECT_EQ(TidewellService::pollInterval(std::string("60")), 60.0);
  EXPECT_EQ(TidewellService::pollInterval(std::string("59.5")), 59.5);
  for (const char* bad : {"86400", "1e300", "60.001", "61", "0.049", "0.001", "1e-300"}) {
    EXPECT_EQ(TidewellService::pollInterval(std::string(bad)), 1.0) << bad;
  }
}

TEST(ServiceSettingsTest, PollIntervalFallsBackUnlessFinitePositiveNumber) {
  EXPECT_EQ(TidewellService::pollInterval(std::nullopt), 1.0);
  EXPECT_EQ(TidewellService::pollInterval(std::string("0.25")), 0.25);
  EXPECT_EQ(TidewellService::pollInterval(std::string("3")), 3.0);
  EXPECT_EQ(TidewellService::pollInterval(std::string("2e-1")), 0.2);
  for (const char* bad : {"0", "-1", "word", "1s", "1 ", " 1", "", "inf", "Infinity", "nan",
                          "1e999", "-0"}) {
    EXPECT_EQ(TidewellService::pollInterval(std::string(bad)), 1.0) << bad;
  }
}

TEST(HelperPathsTest, CandidatesAreStandardisedAndRepeatsDropped) {
  ServiceEnvironment environment{{"TIDEWELL_HELPER_DIR", "/opt/tw/bin/./sub/../"}};
  auto directories =
      HelperPaths::candidateDirectories(environment, "/opt/tw/bin/tidewell-service", "/work");
  EXPECT_THAT(directories, ElementsAre("/opt/tw/bin", "/work/build/tools", "/work/build/service"));

  auto relative = HelperPaths::candidateDirectories({}, "out/bin/tidewell-service", "/work");
  EXPECT_THAT(relative,
              ElementsAre("/work/out/bin", "/work/build/tools", "/work/build/service"));
  // An empty helper folder setting counts as none.
  auto empty = HelperPaths::candidateDirectories({{"TIDEWELL_HELPER_DIR", ""}}, "", "/w");
  EXPECT_THAT(empty, ElementsAre("/w/build/tools", "/w/build/service"));
}

TEST(HelperPathsTest, EachHelperComesFromTheFirstFolderThatHasItAsAProgram) {
  TemporaryFolder first, second;
  writeIdleHelpers(second.path());
  writeExecutable(first.path() / "tidewell-monitor", "#!/bin/sh\n");
  std::ofstream(first.path() / "tidewell-process-tap") << "not executable";
  auto paths = HelperPaths::resolve({{"TIDEWELL_HELPER_DIR", first.path().string()}},
                                    (second.path() / "tidewell-service").string(), "/nowhere");
  EXPECT_EQ(paths.monitor, first.path() / "tidewell-monitor");
  EXPECT_EQ(paths.hardwareSource, second.path() / "tidewell-hardware-source");
  EXPECT_EQ(paths.processTap, second.path() / "tidewell-process-tap");

  std::filesystem::remove(second.path() / "tidewell-hardware-source");
  try {
    HelperPaths::resolve({{"TIDEWELL_HELPER_DIR", first.path().string()}},
                         (second.path() / "tidewell-service").string(), "/nowhere");
    FAIL() << "a missing helper must stop the service";
  } catch (const ServiceError& error) {
    EXPECT_EQ(error.kind(), ServiceError::Kind::missingHelper);
    EXPECT_STREQ(error.what(),
                 "Could not find executable helper 'tidewell-hardware-source'. Build helpers "
                 "with scripts/build-service.sh.");
  }
}

class ServiceLoopTest : public ::testing::Test {
 protected:
  ServiceFixture fixture;
  LogRecorder log;
  FakePlatform& platform = *fixture.platform;

  static ConfigSnapshot oneDevice(double gain = 1.0) {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("D", "Desk");
    device.sources = {makeSource("P", SourceType::passThru, "Pass"),
                      makeSource("S", SourceType::system, "All")};
    device.sources[0].gain = gain;
    snapshot.devices = {device};
    return snapshot;
  }
};

TEST_F(ServiceLoopTest, ConstructionReadsSettingsAndTakesTheLock) {
  fixture.environment["TIDEWELL_CONFIG_PATH"] = "relative/config.json";
  fixture.environment["TIDEWELL_SERVICE_POLL_SECONDS"] = "0.5";
  auto service = fixture.makeService();
  EXPECT_EQ(service->configFile(), std::filesystem::current_path() / "relative/config.json");
  EXPECT_EQ(service->pollIntervalSeconds(), 0.5);
  EXPECT_FALSE(service->dryRun());
  EXPECT_EQ(platform.lockRequests, 1);

  fixture.environment.erase("TIDEWELL_CONFIG_PATH");
  fixture.environment["TIDEWELL_SERVICE_ONCE"] = "yes";
  auto dry = fixture.makeService();
  EXPECT_EQ(dry->configFile(), "/nonexistent/config.json");
  EXPECT_TRUE(dry->dryRun());
  EXPECT_EQ(platform.lockRequests, 1);  // a dry run takes no lock
}

TEST_F(ServiceLoopTest, LeftoversOfAKilledInstanceAreEndedOnceTheLockIsHeldAndBeforeAnyStart) {
  auto service = fixture.makeService();
  EXPECT_EQ(platform.leftoverCleanups, 1);
  EXPECT_EQ(platform.lockRequestsAtCleanup, 1);  // after the lock: the old instance is gone
  // The record starts empty, before the first pass starts anything.
  ASSERT_EQ(platform.helperRecords.size(), 1u);
  EXPECT_TRUE(platform.helperRecords[0].empty());
  EXPECT_TRUE(platform.launched.empty());

  fixture.environment["TIDEWELL_SERVICE_DRY_RUN"] = "1";
  fixture.makeService();
  EXPECT_EQ(platform.leftoverCleanups, 1);  // a dry run leaves every helper alone
  EXPECT_EQ(platform.helperRecords.size(), 1u);
}

TEST_F(ServiceLoopTest, LockOutcomes) {
  platform.lockOutcome = ServiceSingleInstance::Outcome::acquiredAfterEvicting(4711);
  fixture.makeService();
  EXPECT_THAT(log.take(), ElementsAre("Evicted stale service instance (pid 4711)"));

  platform.lockOutcome = ServiceSingleInstance::Outcome::failed("instance pid 9 would not release the lock");
  try {
    fixture.makeService();
    FAIL() << "a held lock must stop the service";
  } catch (const ServiceError& error) {
    EXPECT_STREQ(error.what(), "Another service instance would not yield the single-instance "
                               "lock: instance pid 9 would not release the lock");
  }
}

TEST_F(ServiceLoopTest, RuntimeRegionIsRewrittenOnlyWhenItsControlsChangeOrItIsGone) {
  platform.configuration = oneDevice();
  auto service = fixture.makeService();
  service->runPass();
  EXPECT_EQ(platform.runtimeWrites, 1);
  EXPECT_EQ(platform.controlWrites, 1);
  EXPECT_EQ(platform.heartbeats, 1);

  // Unchanged saved file: the application's live, unsaved edits in the region stay.
  service->runPass();
  service->runPass();
  EXPECT_EQ(platform.runtimeWrites, 1);
  EXPECT_EQ(platform.controlWrites, 3);  // control regions keep their own change check
  EXPECT_EQ(platform.heartbeats, 3);

  platform.configuration = oneDevice(0.5);
  service->runPass();
  EXPECT_EQ(platform.runtimeWrites, 2);

  platform.regionValid = false;  // removed or damaged by someone else
  service->runPass();
  EXPECT_EQ(platform.runtimeWrites, 3);

  // A write that failed is tried again on the next pass.
  platform.regionValid = false;
  platform.publishFails = true;
  service->runPass();
  platform.publishFails = false;
  platform.regionValid = true;
  service->runPass();
  EXPECT_EQ(platform.runtimeWrites, 4);
}

TEST_F(ServiceLoopTest, AMissingAudioServerIsLoggedOnceEachTimeItGoesMissing) {
  auto service = fixture.makeService();
  service->runPass();
  log.take();
  auto missingLines = [&] {
    int n = 0;
    for (const auto& line : log.take())
      if (line.rfind("no audio server answers on ", 0) == 0 &&
          line.find("; start one with `audioctl start`") != std::string::npos)
        ++n;
    return n;
  };
  platform.serverAnswers = false;
  service->runPass();
  service->runPass();
  service->runPass();
  EXPECT_EQ(missingLines(), 1);
  platform.serverAnswers = true;
  service->runPass();
  EXPECT_EQ(missingLines(), 0);
  platform.serverAnswers = false;
  service->runPass();
  EXPECT_EQ(missingLines(), 1) << "gone again: said again";
}

TEST_F(ServiceLoopTest, FailedLoadOrPublishLeavesHelpersAsTheyAre) {
  platform.configuration = oneDevice();
  auto service = fixture.makeService();
  service->runPass();
  ASSERT_EQ(platform.launched.size(), 1u);
  log.take();

  platform.configurationFails = true;
  platform.configuration = ConfigSnapshot::empty();
  service->runPass();
  service->runPass();
  EXPECT_THAT(log.take(), ElementsAre("Reconcile failed: The configuration could not be read.",
                                      "Reconcile failed: The configuration could not be read."));
  EXPECT_TRUE(platform.launched[0]->isRunning());
  EXPECT_EQ(platform.heartbeats, 3);

  platform.configurationFails = false;
  platform.configuration = oneDevice(0.7);
  platform.regionValid = false;
  platform.publishFails = true;
  service->runPass();
  EXPECT_EQ(log.take().at(0).rfind("Reconcile failed: ", 0), 0u);
  EXPECT_EQ(service->routes().size(), 1u);

  platform.publishFails = false;
  platform.configuration = ConfigSnapshot::empty();
  service->runPass();
  EXPECT_THAT(log.take(), ElementsAre("Stopping system capture 'All': configuration removed route"));
  service->stopAll();
}

TEST_F(ServiceLoopTest, RunStopsAfterTheSleepOnceTheFlagIsCleared) {
  platform.configuration = oneDevice();
  auto service = fixture.makeService();
  std::thread stopper([&] {
    auto started = [&] {
      auto lines = log.lines();
      return std::find(lines.begin(), lines.end(), "Started system capture 'All'") != lines.end();
    };
    while (!started()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    service->requestStop();
  });
  service->run();
  stopper.join();
  EXPECT_FALSE(platform.launched.at(0)->isRunning());
  auto lines = log.lines();
  EXPECT_EQ(lines.front(), "Starting Tidewell audio service");
  EXPECT_EQ(lines.back(), "Stopped Tidewell audio service");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Stopping system capture 'All': service stopping"),
            lines.end());
}

TEST_F(ServiceLoopTest, DryRunPrintsDevicesAndRoutesAndTouchesNothing) {
  fixture.environment["TIDEWELL_SERVICE_DRY_RUN"] = "TRUE";
  platform.configuration = oneDevice(0.5);
  platform.configuration.devices[0].sources[0].muted = true;
  DeviceConfig second = makeDevice("E", "Empty");
  second.enabled = false;
  platform.configuration.devices.push_back(second);
  auto service = fixture.makeService();
  service->run();
  EXPECT_THAT(log.lines(),
              ElementsAre("Dry run: 2 device(s)",
                          "Dry run device: uid=uid-D deviceEnabled=true sourceEnabled=true "
                          "muted=true gain=0.5",
                          "Dry run device: uid=uid-E deviceEnabled=false sourceEnabled=true "
                          "muted=false gain=1.0",
                          "Dry run route: system capture 'All'"));
  EXPECT_EQ(platform.heartbeats, 0);
  EXPECT_EQ(platform.runtimeWrites + platform.controlWrites, 0);
  EXPECT_TRUE(platform.launched.empty());
}

TEST_F(ServiceLoopTest, DryRunWithoutRoutesSaysNoneAndFailsOnUnreadableConfiguration) {
  fixture.environment["TIDEWELL_SERVICE_ONCE"] = "1";
  platform.configuration = ConfigSnapshot::empty();
  fixture.makeService()->run();
  EXPECT_THAT(log.take(), ElementsAre("Dry run: 0 device(s)", "Dry run route: none"));

  platform.configurationFails = true;
  EXPECT_THROW(fixture.makeService()->run(), std::runtime_error);
}

TEST(ServiceLogTest, LinesCarryAnISO8601UTCStamp) {
  auto time = std::chrono::system_clock::time_point(std::chrono::seconds(1796791151)) +
              std::chrono::milliseconds(999);
  EXPECT_EQ(TidewellServiceLog::formatLine("Started monitor 'A' (B)", time),
            "[2026-12-09T04:39:11Z] Started monitor 'A' (B)");
}

}  // namespace
}  // namespace tidewell::testing
