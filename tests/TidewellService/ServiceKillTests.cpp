// kill -9 of the service at random moments, each followed by a new service as the launch
// agent's keep-alive starts it: afterwards one helper per route runs, the device carries each
// source once, and the runtime region is whole.

#include <iostream>
#include <random>

#include "ServiceCrashFixture.h"

namespace tidewell::testing {
namespace {

TEST_F(ServiceCrashTest, AServiceKilledAtRandomMomentsLeavesOneHelperPerRoute) {
  startSounds();
  save(configuration());
  start();
  // The level each source has with its single helper, once the helpers run on.
  ASSERT_TRUE(eventuallyTrue([&] { return settledHelpers(); }, 30s)) << helperReport() << readFile(logFile);
  ASSERT_TRUE(carriesOnce({-12, -12}, 1.5)) << described();
  const std::vector<double> reference = {heard[0].steadyDbfs, heard[1].steadyDbfs};

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> settledMoment(0, 400);   // within a pass or its sleep
  std::uniform_int_distribution<int> startingMoment(0, 1200);  // lock, clean-up, first publish, starts
  // Every round counts helpers; every fifth also listens, which takes a few seconds.
  const int rounds = 50;
  const int listenEvery = 5;
  int killsAfterAStart = 0;
  for (int round = 1; round <= rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    // A service that runs its helpers, killed between passes or in one.
    std::this_thread::sleep_for(std::chrono::milliseconds(settledMoment(random)));
    killService();
    // Its successor, killed while it starts: taking the lock, ending leftovers, publishing for
    // the first time or starting helpers.
    size_t started = logCount("Started ");
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(startingMoment(random)));
    killService();
    killsAfterAStart += logCount("Started ") > started;
    // The next one must end up alone with one helper per route, and stay so.
    start();
    ASSERT_TRUE(eventuallyTrue([&] { return oneHelperPerRoute(); }, 20s)) << helperReport();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(oneHelperPerRoute()) << helperReport();
    ASSERT_TRUE(runtimeRegionIsWhole());
    if (round % listenEvery == 0) {
      ASSERT_TRUE(eventuallyTrue([&] { return settledHelpers(); }, 20s)) << helperReport();
      EXPECT_TRUE(carriesOnce(reference, 0.5))
          << described() << " against " << reference[0] << " and " << reference[1] << " dBFS";
    }
  }
  std::cout << rounds * 2 << " kills (seed " << seed << "); " << killsAfterAStart
            << " of the starting services were killed after starting a helper; "
            << logCount("Ending helper pid") << " leftover helpers ended through the record, "
            << logCount("Helper pid") << " of them with SIGKILL\n";
  RecordProperty("killsAfterAHelperStart", killsAfterAStart);
}

}  // namespace
}  // namespace tidewell::testing
