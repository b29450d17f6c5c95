// Helper supervision on a scripted clock: starts, exits, backoff, changed and removed routes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "ServiceTestSupport.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

class SupervisionTest : public ::testing::Test {
 protected:
  ServiceFixture fixture;
  LogRecorder log;
  std::unique_ptr<TidewellService> service;
  FakePlatform& platform = *fixture.platform;

  void SetUp() override {
    fixture.environment["PATH"] = "/usr/bin:/bin";
    fixture.environment["TIDEWELL_BUFFER_FRAMES"] = "256";
    fixture.environment["TIDEWELL_TAP_PID"] = "4242";
    fixture.environment["TIDEWELL_MONITOR_OUTPUT_UID"] = "somewhere";
    fixture.environment["TIDEWELL_SOURCE_INPUT_BACKEND"] = "odd";
    fixture.environment["TIDEWELL_OUTPUT_BACKEND"] = "odd";
    service = fixture.makeService();
  }

  static DesiredRoute route(std::string key, std::string summary, std::string routes = "1:1") {
    DesiredRoute desired;
    desired.key = std::move(key);
    desired.executableURL = "/helpers/" + desired.key;
    desired.summary = std::move(summary);
    desired.environment = {{"TIDEWELL_TAP_ROUTES", std::move(routes)}, {"PATH", "/route"}};
    desired.controlEnvironment = {{"TIDEWELL_TAP_GAIN", "1.0"}, {"TIDEWELL_TAP_ROUTES", "hidden"}};
    return desired;
  }

  // One pass at the current fake time, then time moves on.
  void pass(const std::vector<DesiredRoute>& desired, double seconds = 1.0) {
    service->reconcile(desired);
    platform.advance(seconds);
  }
};

TEST(BackoffTest, ClimbsTwoFiveTenThirtyThenSixty) {
  std::vector<long> delays;
  for (int n = 0; n <= 7; ++n) delays.push_back(static_cast<long>(ManagedRoute::backoff(n).count()));
  EXPECT_THAT(delays, ElementsAre(2, 2, 5, 10, 30, 60, 60, 60));
}

TEST_F(SupervisionTest, HelperStartsWithTheServiceEnvironmentLessInheritedHelperSettings) {
  pass({route("tap", "system capture 'All'")});
  ASSERT_EQ(platform.launched.size(), 1u);
  EXPECT_EQ(platform.launchedExecutables[0], "/helpers/tap");
  // The route's own variables win over the control values and the service's environment;
  // helper settings the service merely inherited are gone; tuning variables stay.
  EXPECT_EQ(platform.launched[0]->environment,
            (ServiceEnvironment{{"PATH", "/route"},
                                {"TIDEWELL_BUFFER_FRAMES", "256"},
                                {"TIDEWELL_HELPER_DIR", fixture.helpers.path().string()},
                                {"TIDEWELL_TAP_GAIN", "1.0"},
                                {"TIDEWELL_TAP_ROUTES", "1:1"}}));
  EXPECT_THAT(log.lines(), ElementsAre("Started system capture 'All'"));
  // The service's own view of its environment is untouched.
  EXPECT_EQ(service->environment().at("TIDEWELL_TAP_PID"), "4242");
}

TEST_F(SupervisionTest, AHelperThatKeepsExitingIsRetriedEveryTwoSeconds) {
  auto desired = std::vector<DesiredRoute>{route("tap", "system capture 'All'")};
  pass(desired);
  for (int round = 0; round < 3; ++round) {
    platform.launched.back()->exit(1);
    pass(desired);  // notices the exit
    pass(desired);  // 1 s later: still backing off
    EXPECT_EQ(platform.launched.size(), static_cast<size_t>(round + 1));
    pass(desired);  // 2 s after the exit: started again
    EXPECT_EQ(platform.launched.size(), static_cast<size_t>(round + 2));
  }
  auto lines = log.lines();
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              ElementsAre("Started system capture 'All'", "system capture 'All' exited with status 1",
                          "Started system capture 'All'"));
}

// A helper that ends by itself with status 0 after running a while asks to be started afresh (a
// monitor whose output changed its rate; every helper when the audio server restarts): the pass
// that sees the exit starts it again, with no backoff to wait out. One that ends so too soon after
// its start, or with another status, backs off as a failure.
TEST_F(SupervisionTest, ADeliberateEndAfterARunStartsAgainInTheSamePass) {
  auto desired = std::vector<DesiredRoute>{route("monitor", "monitor 'Desk'")};
  pass(desired);  // started at 0 s
  pass(desired);
  platform.launched.back()->exit(0);
  pass(desired);  // at 2 s: the exit is seen and the helper started again
  ASSERT_EQ(platform.launched.size(), 2u);
  EXPECT_EQ(service->routes().at("monitor")->failureCount, 0);
  EXPECT_THAT(log.lines(), ElementsAre("Started monitor 'Desk'", "monitor 'Desk' exited with status 0",
                                       "Started monitor 'Desk'"));

  platform.launched.back()->exit(0);
  pass(desired);  // at 3 s, 1 s after its start: a failure
  pass(desired);
  EXPECT_EQ(platform.launched.size(), 2u);
  pass(desired);  // 2 s after the exit was seen
  ASSERT_EQ(platform.launched.size(), 3u);

  pass(desired);
  pass(desired);
  platform.launched.back()->exit(1);
  pass(desired);  // a run of 2 s that ends with status 1: a failure all the same
  EXPECT_EQ(platform.launched.size(), 3u);
  EXPECT_EQ(service->routes().at("monitor")->failureCount, 1);
}

TEST_F(SupervisionTest, FailedLaunchesBackOffAndASuccessResetsTheCount) {
  platform.launchFails = true;
  auto desired = std::vector<DesiredRoute>{route("tap", "system capture 'All'")};
  std::vector<double> attempts;
  double elapsed = 0;
  size_t lines = 0;
  while (elapsed < 200) {
    pass(desired, 0.5);
    if (log.lines().size() != lines) {
      attempts.push_back(elapsed);
      lines = log.lines().size();
    }
    elapsed += 0.5;
  }
  EXPECT_THAT(attempts, ElementsAre(0, 2, 7, 17, 47, 107, 167));
  EXPECT_EQ(log.lines().front(), "Could not start system capture 'All': Permission denied");
  EXPECT_EQ(service->routes().at("tap")->failureCount, 7);

  platform.launchFails = false;
  platform.advance(60);
  pass(desired);
  EXPECT_EQ(platform.launched.size(), 1u);
  EXPECT_EQ(service->routes().at("tap")->failureCount, 0);
  platform.launched[0]->exit(0);
  pass(desired);
  EXPECT_EQ(log.lines().back(), "system capture 'All' exited with status 0");
  EXPECT_EQ(service->routes().at("tap")->nextStartDate, platform.clock - std::chrono::seconds(1) +
                                                            std::chrono::seconds(2));
}

TEST_F(SupervisionTest, ControlChangesKeepHelpersAndRouteChangesReplaceThem) {
  auto original = route("tap", "system capture 'All'");
  pass({original});
  auto slider = original;
  slider.controlEnvironment["TIDEWELL_TAP_GAIN"] = "0.3";
  pass({slider});
  EXPECT_EQ(platform.launched.size(), 1u);
  EXPECT_EQ(service->routes().at("tap")->route.controlEnvironment.at("TIDEWELL_TAP_GAIN"), "1.0");

  auto rewired = route("tap", "system capture 'All'", "1:2");
  pass({rewired});
  ASSERT_EQ(platform.launched.size(), 2u);
  EXPECT_FALSE(platform.launched[0]->isRunning());
  EXPECT_EQ(platform.launched[1]->environment.at("TIDEWELL_TAP_ROUTES"), "1:2");
  EXPECT_THAT(log.lines(), ElementsAre("Started system capture 'All'",
                                       "Stopping system capture 'All': configuration changed route",
                                       "Started system capture 'All'"));
}

TEST_F(SupervisionTest, ARenameKeepsTheHelperAndItsLogLinesUseTheNewName) {
  pass({route("monitor", "monitor 'Speakers' (Desk)")});
  pass({route("monitor", "monitor 'Speakers' (Studio)")});
  ASSERT_EQ(platform.launched.size(), 1u);
  EXPECT_TRUE(platform.launched[0]->isRunning());
  EXPECT_EQ(service->routes().at("monitor")->route.summary, "monitor 'Speakers' (Studio)");

  pass({});
  EXPECT_THAT(log.lines(), ElementsAre("Started monitor 'Speakers' (Desk)",
                                       "Stopping monitor 'Speakers' (Studio): configuration removed route"));
}

TEST_F(SupervisionTest, AReplacementWaitsUntilTheOldHelperIsGone) {
  platform.helpersIgnoreTerm = true;
  pass({route("tap", "system capture 'All'")});
  pass({route("tap", "system capture 'All'", "1:2")});
  // The old helper ignored SIGTERM: two helpers must never feed the device at once.
  EXPECT_EQ(platform.launched.size(), 1u);
  pass({route("tap", "system capture 'All'", "1:2")});
  EXPECT_EQ(platform.launched.size(), 1u);

  platform.launched[0]->exit(15);
  pass({route("tap", "system capture 'All'", "1:2")});
  ASSERT_EQ(platform.launched.size(), 2u);
  EXPECT_EQ(log.lines().back(), "Started system capture 'All'");
}

TEST_F(SupervisionTest, RemovedRoutesStopAndBackingOffRoutesVanishQuietly) {
  pass({route("a", "first"), route("b", "second")});
  platform.launchFails = true;
  platform.launched[1]->exit(3);
  pass({route("a", "first"), route("b", "second")});  // b backs off
  log.take();
  pass({route("a", "first")});
  EXPECT_TRUE(log.take().empty());
  pass({});
  EXPECT_THAT(log.take(), ElementsAre("Stopping first: configuration removed route"));
  EXPECT_TRUE(service->routes().empty());
}

TEST_F(SupervisionTest, AChangedRouteDoesNotInheritTheBackoff) {
  platform.launchFails = true;
  pass({route("tap", "capture")});
  pass({route("tap", "capture")});
  EXPECT_EQ(service->routes().at("tap")->failureCount, 1);
  platform.launchFails = false;
  pass({route("tap", "capture", "2:2")});
  EXPECT_EQ(platform.launched.size(), 1u);
  EXPECT_EQ(service->routes().at("tap")->failureCount, 0);
}

TEST_F(SupervisionTest, RepeatedKeysKeepTheFirstRoute) {
  pass({route("tap", "first", "1:1"), route("tap", "second", "2:2")});
  pass({route("tap", "first", "1:1"), route("tap", "second", "2:2")});
  ASSERT_EQ(platform.launched.size(), 1u);
  EXPECT_EQ(platform.launched[0]->environment.at("TIDEWELL_TAP_ROUTES"), "1:1");
}

TEST_F(SupervisionTest, AHelperThatIgnoresSigtermIsKilledAfterTheGracePeriod) {
  platform.helpersIgnoreTerm = true;
  pass({route("tap", "stubborn")});
  auto started = std::chrono::steady_clock::now();
  pass({});
  EXPECT_TRUE(platform.launched[0]->isRunning());
  ASSERT_TRUE(platform.launched[0]->waitForExit(std::chrono::seconds(10)));
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_EQ(platform.launched[0]->terminationStatus(), SIGKILL);
  EXPECT_EQ(log.lines().back(), "stubborn did not exit 3 s after SIGTERM; killing it");
}

// A helper stuck where not even SIGKILL ends it at once (uninterruptible sleep): it must be
// reaped whenever it does end, however long after the kill that is.
class KillSurvivor final : public HelperProcess {
 public:
  pid_t pid() const override { return 4321; }
  bool isRunning() override {
    if (running_.load()) return true;
    reaped_.store(true);
    return false;
  }
  int terminationStatus() override { return SIGKILL; }
  void sendSignal(int signal) override {
    if (signal == SIGKILL) killed_.store(true);
  }
  bool waitForExit(std::chrono::duration<double> timeout) override {
    std::this_thread::sleep_for(std::min<std::chrono::duration<double>>(timeout, std::chrono::milliseconds(50)));
    return !isRunning();
  }
  void end() { running_.store(false); }
  bool killed() const { return killed_.load(); }
  bool reaped() const { return reaped_.load(); }

 private:
  std::atomic<bool> running_{true};
  std::atomic<bool> killed_{false};
  std::atomic<bool> reaped_{false};
};

template <class Condition>
bool becomesTrue(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(HelperStopQueueTest, AHelperThatOutlivesItsSigkillIsReapedWhenItEnds) {
  LogRecorder log;
  HelperStopQueue queue(std::chrono::milliseconds(10));
  auto survivor = std::make_shared<KillSurvivor>();
  queue.schedule(survivor, "stuck");
  ASSERT_TRUE(becomesTrue([&] { return survivor->killed(); }));
  // Stopping the service does not hang on it...
  queue.drain();
  // ...and it is still looked after once the kill's own wait is over.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(survivor->reaped());
  survivor->end();
  EXPECT_TRUE(becomesTrue([&] { return survivor->reaped(); }));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"stuck did not exit 0 s after SIGTERM; killing it"});
}

// A stop that waits on a helper stuck past its SIGKILL ends once the other helpers have ended
// by themselves: the last of them must wake the wait, though the stuck one is still queued.
TEST(HelperStopQueueTest, StoppingEndsWhenTheOtherHelpersExitBesideAStuckOne) {
  LogRecorder log;
  HelperStopQueue queue(std::chrono::seconds(1));
  auto survivor = std::make_shared<KillSurvivor>();
  queue.schedule(survivor, "stuck");
  ASSERT_TRUE(becomesTrue([&] { return survivor->killed(); }));
  auto slow = std::make_shared<FakeProcess>(2000, ServiceEnvironment{}, true);
  queue.schedule(slow, "slow");
  auto drained = std::async(std::launch::async, [&] { queue.drain(); });
  // Within its grace period the slow helper is still waited for...
  EXPECT_EQ(drained.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  // ...and once it exits by itself, the stop is over.
  slow->exit(0);
  bool ended = drained.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  survivor->end();  // lets a stop that missed its wake-up end too
  drained.wait();
  EXPECT_TRUE(ended) << "the stop hung on a helper that had been killed";
  EXPECT_EQ(slow->signalCount(), 0) << "a helper that exits in time is never killed";
}

// The record names every helper the service started and has not seen end, helpers on their way
// out included, so that a successor can end them if this service is killed.
TEST_F(SupervisionTest, EveryStartedHelperIsRecordedUntilItHasEnded) {
  platform.helperRecords.clear();
  platform.helpersIgnoreTerm = true;
  pass({route("a", "first"), route("b", "second")});
  auto helper = [&](size_t index, const std::string& key) {
    return StartedHelper{platform.launched[index]->pid(), "/helpers/" + key};
  };
  // Recorded one by one, as each starts.
  ASSERT_EQ(platform.helperRecords.size(), 2u);
  EXPECT_THAT(platform.helperRecords[0], ElementsAre(helper(0, "a")));
  EXPECT_THAT(platform.helperRecords[1], ElementsAre(helper(0, "a"), helper(1, "b")));

  pass({route("a", "first"), route("b", "second")});
  EXPECT_EQ(platform.helperRecords.size(), 2u);  // nothing changed, nothing written

  // b is removed but ignores SIGTERM: it stays recorded until it has ended.
  pass({route("a", "first")});
  EXPECT_EQ(platform.helperRecords.size(), 2u);
  platform.launched[1]->exit(9);
  pass({route("a", "first")});
  EXPECT_THAT(platform.helperRecords.back(), ElementsAre(helper(0, "a")));

  service->stopAll();
  EXPECT_TRUE(platform.helperRecords.back().empty());
}

TEST_F(SupervisionTest, StoppingTheServiceWaitsForEveryHelper) {
  platform.helpersIgnoreTerm = true;
  pass({route("a", "first"), route("b", "second")});
  platform.launched[0]->exit(0);  // exits by itself, unnoticed so far
  service->stopAll();
  for (const auto& process : platform.launched) EXPECT_FALSE(process->isRunning());
  EXPECT_TRUE(service->routes().empty());
  auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "second did not exit 3 s after SIGTERM; killing it"),
            1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Stopping second: service stopping"), 1);
}

}  // namespace
}  // namespace tidewell::testing
