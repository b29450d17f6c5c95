// The tidewell-service program itself, run as a process with stand-in helper scripts: dry run,
// fatal start-up errors, the normal loop, restarts and shutdown.

#include "ServiceProgramFixture.h"

#include "RegionOwnerSupport.h"
#include "TidewellCore/SourceControlStore.h"

namespace tidewell::testing {
namespace {

TEST_F(ServiceProgramTest, DryRunCreatesAnEmptyConfigurationAndStartsNothing) {
  environment["TIDEWELL_SERVICE_ONCE"] = "1";
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(messages(logFile), ::testing::ElementsAre("Dry run: 0 device(s)", "Dry run route: none"));
  EXPECT_EQ(ConfigStore(configFile).load(), ConfigSnapshot::empty());
  // Stamps are ISO 8601 UTC.
  EXPECT_THAT(readFile(logFile),
              ::testing::MatchesRegex("(\\[[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z\\] "
                                      "[^\n]*\n)+"));

  save(systemCapture());
  std::filesystem::remove(logFile);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(messages(logFile),
              ::testing::ElementsAre("Dry run: 1 device(s)",
                                     "Dry run device: uid=uid-D deviceEnabled=true "
                                     "sourceEnabled=true muted=false gain=1.0",
                                     "Dry run route: system capture 'All'"));
  EXPECT_TRUE(std::filesystem::is_empty(marks));
  EXPECT_FALSE(std::filesystem::exists(home.path() / ".local/share/Tidewell/service-heartbeat"));
}

TEST_F(ServiceProgramTest, MissingHelperOrUnreadableConfigurationIsFatal) {
  environment["TIDEWELL_SERVICE_DRY_RUN"] = "on";
  std::ofstream(configFile) << "{ not json";
  EXPECT_EQ(run(), 1);
  auto failed = messages(logFile);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].rfind("Fatal error: ", 0), 0u);

  std::filesystem::remove(logFile);
  std::filesystem::remove(helperDir / "tidewell-process-tap");
  environment["TIDEWELL_HELPER_DIR"] = helperDir.string();
  environment.erase("TIDEWELL_SERVICE_DRY_RUN");
  // Started under a name whose folder holds no helpers: the real ones beside the program would
  // be found otherwise.
  programName = (home.path() / "tidewell-service").string();
  EXPECT_EQ(run(), 1);
  EXPECT_THAT(messages(logFile),
              ::testing::ElementsAre("Fatal error: Could not find executable helper "
                                     "'tidewell-process-tap'. Build helpers with "
                                     "scripts/build-service.sh."));
}

// With no audio server every helper it starts fails; the log says why, once, not every pass.
TEST_F(ServiceProgramTest, LogsOnceThatNoAudioServerAnswersAndHowToStartOne) {
  const std::string said = "no audio server answers on " + environment["AUDIOSERVER_SOCKET"] +
                           "; start one with `audioctl start`";
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return contains(messages(logFile), said); })) << readFile(logFile);
  // Passes come every 0.1 s; each beats the heartbeat. Let several go by.
  waitForPasses(5);
  auto log = messages(logFile);
  EXPECT_EQ(std::count(log.begin(), log.end(), said), 1) << readFile(logFile);
}

TEST_F(ServiceProgramTest, RunsHelpersRestartsThemAndStopsThemOnSigterm) {
  environment["TIDEWELL_TAP_PID"] = "999";           // inherited helper settings are not passed on
  environment["TIDEWELL_BUFFER_FRAMES"] = "256";     // tuning settings are
  save(systemCapture());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return starts("S").size() == 1; }));

  pid_t first = starts("S")[0];
  auto env = lines(readFile(marks / ("S.env." + std::to_string(first))));
  for (const char* expected :
       {"TIDEWELL_TAP_OUTPUT_UID=uid-D", "TIDEWELL_TAP_SOURCE_ID=S", "TIDEWELL_TAP_MODE=system",
        "TIDEWELL_TAP_MUTE_WHEN_CAPTURING=0", "TIDEWELL_TAP_OUTPUT_CHANNELS=2",
        "TIDEWELL_TAP_ROUTES=1:1", "TIDEWELL_TAP_GAIN=1.0", "TIDEWELL_TAP_MUTED=0",
        "TIDEWELL_BUFFER_FRAMES=256"}) {
    EXPECT_TRUE(contains(env, expected)) << expected;
  }
  EXPECT_FALSE(contains(env, "TIDEWELL_TAP_PID=999"));
  EXPECT_TRUE(std::filesystem::exists(home.path() / ".local/share/Tidewell/service-heartbeat"));
  EXPECT_TRUE(std::filesystem::exists("/dev/shm/twruntime3"));

  // A helper that dies is started again 2 s later, and again 2 s after the next death.
  for (size_t round = 1; round <= 2; ++round) {
    auto killed = std::chrono::steady_clock::now();
    ::kill(starts("S").back(), SIGKILL);
    ASSERT_TRUE(eventuallyTrue([&] { return starts("S").size() == round + 1; }));
    auto waited = std::chrono::steady_clock::now() - killed;
    EXPECT_GE(waited, 1900ms);
    EXPECT_LT(waited, 4s);
  }
  EXPECT_TRUE(contains(messages(logFile), "system capture 'All' exited with status 9"));

  // A gain change reaches the helper without a restart; a new wire restarts it.
  auto changed = systemCapture();
  changed.devices[0].sources[0].gain = 0.5;
  save(changed);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(starts("S").size(), 3u);
  save(systemCapture("1:2"));
  ASSERT_TRUE(eventuallyTrue([&] { return starts("S").size() == 4; }));
  pid_t replaced = starts("S")[2];
  EXPECT_FALSE(processExists(replaced));
  EXPECT_TRUE(contains(messages(logFile),
                       "Stopping system capture 'All': configuration changed route"));

  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
  EXPECT_FALSE(processExists(starts("S").back()));
  auto log = messages(logFile);
  EXPECT_EQ(log.front(), "Starting Tidewell audio service");
  EXPECT_EQ(log.back(), "Stopped Tidewell audio service");
}

TEST_F(ServiceProgramTest, ShutdownKillsAHelperThatIgnoresSigterm) {
  writeExecutable(helperDir / "tidewell-process-tap",
                  "#!/bin/sh\necho $$ >> \"$MARKS/$TIDEWELL_TAP_SOURCE_ID.pids\"\n"
                  "trap '' TERM\nwhile :; do sleep 0.05; done\n");
  save(systemCapture());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return starts("S").size() == 1; }));
  auto stopping = std::chrono::steady_clock::now();
  ::kill(servicePid, SIGINT);
  EXPECT_EQ(finish(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - stopping, 2900ms);
  // The helper is gone before the service is: a restarted service never runs beside it.
  EXPECT_FALSE(processExists(starts("S")[0]));
  EXPECT_TRUE(contains(messages(logFile),
                       "system capture 'All' did not exit 3 s after SIGTERM; killing it"));
}

// A stop must not wait for the end of a long poll interval: the sleep is cut short.
TEST_F(ServiceProgramTest, SigtermEndsTheSleepOfALongPollInterval) {
  environment["TIDEWELL_SERVICE_POLL_SECONDS"] = "60";
  save(systemCapture());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return starts("S").size() == 1; }));
  ASSERT_TRUE(eventuallyTrue([&] { return contains(messages(logFile), "Started system capture 'All'"); }));
  ::kill(servicePid, SIGTERM);
  // Well below the 60 s interval, yet generous for a loaded machine.
  EXPECT_EQ(finish(30s), 0);
  EXPECT_FALSE(processExists(starts("S")[0]));
  EXPECT_EQ(messages(logFile).back(), "Stopped Tidewell audio service");
}

TEST_F(ServiceProgramTest, LiveEditsOfTheApplicationAreNotUndoneByThePasses) {
  save(systemCapture());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return runtimeSequence() != 0 && starts("S").size() == 1; }));
  std::this_thread::sleep_for(300ms);
  std::uint32_t published = runtimeSequence();
  // Several passes over an unchanged file write nothing more.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(runtimeSequence(), published);

  // The application drags a slider: the region carries a value the file does not have yet.
  auto live = systemCapture();
  live.devices[0].volume = 0.3;
  RuntimeControlStoreV3::publish(live, false);
  std::uint32_t edited = runtimeSequence();
  EXPECT_EQ(edited, published + 2);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(runtimeSequence(), edited);

  // The saved file changes: the service publishes it.
  auto saved = systemCapture();
  saved.devices[0].volume = 0.6;
  save(saved);
  EXPECT_TRUE(eventuallyTrue([&] { return runtimeSequence() > edited; }));

  // The region disappears: the service puts it back on its next pass.
  ASSERT_EQ(TidewellShmUnlink(TidewellRuntimeRegionName), 0);
  EXPECT_TRUE(eventuallyTrue([&] { return runtimeSequence() != 0; }));
  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
}

// The log's lines that begin with `start`.
long linesStartingWith(const std::vector<std::string>& log, const std::string& start) {
  return std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// Another user's service published first (the names are the machine's): this one writes
// nothing over that user's regions, says so once for each, and publishes once the region is
// its user's own.
TEST_F(ServiceProgramTest, AnotherUsersRegionsAreNotWrittenAndEachRefusalIsLoggedOnce) {
  ConfigSnapshot theirs = systemCapture();
  theirs.devices[0].name = "Tidewell Demo";
  RuntimeControlStoreV3::publish(theirs, false);
  const std::string control = SourceControlStore::sharedMemoryName("S");
  SourceControlStore::write(SourceControlStore::Values(true, 0.5f, {}, 2), "S");
  for (const std::string& name : {std::string(TidewellRuntimeRegionName), control}) {
    ASSERT_TRUE(regiontest::GiveRegionTo(name, regiontest::kOtherUser)) << name;
  }
  const auto runtimeBefore = regiontest::RegionBytes(TidewellRuntimeRegionName, TidewellRuntimeSize);
  const auto controlBefore = regiontest::RegionBytes(control, TidewellControlSize);
  ASSERT_FALSE(runtimeBefore.empty());

  ConfigSnapshot mine = systemCapture();
  mine.devices[0].sources[0].gain = 0.25;
  save(mine);
  start();
  waitForPasses(8);
  const std::string runtimeRefusal = "Not using shared memory \"/twruntime3\": it belongs to ";
  auto log = messages(logFile);
  EXPECT_EQ(linesStartingWith(log, runtimeRefusal), 1) << readFile(logFile);
  EXPECT_EQ(linesStartingWith(log, "Reconcile failed"), 0) << readFile(logFile);
  EXPECT_EQ(regiontest::RegionBytes(TidewellRuntimeRegionName, TidewellRuntimeSize), runtimeBefore);
  EXPECT_EQ(regiontest::RegionStatus(TidewellRuntimeRegionName).st_uid, regiontest::kOtherUser);

  // The runtime region becomes the user's own: published; the other user's control region
  // still is not written, and said once too.
  ASSERT_TRUE(regiontest::GiveRegionTo(TidewellRuntimeRegionName, geteuid()));
  ASSERT_TRUE(eventuallyTrue([&] {
    return regiontest::RegionBytes(TidewellRuntimeRegionName, TidewellRuntimeSize) != runtimeBefore;
  }));
  waitForPasses(8);
  log = messages(logFile);
  EXPECT_EQ(linesStartingWith(log, "Not using shared memory \"" + control + "\": it belongs to "), 1)
      << readFile(logFile);
  EXPECT_EQ(linesStartingWith(log, runtimeRefusal), 1) << readFile(logFile);
  EXPECT_EQ(regiontest::RegionBytes(control, TidewellControlSize), controlBefore);
  EXPECT_EQ(regiontest::RegionStatus(control).st_uid, regiontest::kOtherUser);
  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
  TidewellShmUnlink(control.c_str());
}

// A writer killed between its two counter stores leaves the counter odd, and every reader
// then keeps what it had for good. The service puts the region right on its next pass, as it
// does a region with another build's header, though its own values have not changed.
TEST_F(ServiceProgramTest, ARegionLeftHalfWrittenOrWithAnotherHeaderIsRepairedOnTheNextPass) {
  save(systemCapture());
  start();
  ASSERT_TRUE(eventuallyTrue([&] { return runtimeSequence() != 0; }));
  waitForPasses(2);
  const std::uint32_t published = runtimeSequence();
  ASSERT_EQ(published % 2, 0u);

  int fd = TidewellShmOpen(TidewellRuntimeRegionName, O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* region = ::mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(region, MAP_FAILED);
  const std::uint32_t odd = TidewellSequenceBeginWrite(region);  // and never ended
  EXPECT_TRUE(eventuallyTrue([&] { return runtimeSequence() % 2 == 0; })) << "still odd";
  EXPECT_GT(runtimeSequence(), odd);
  EXPECT_TRUE(TidewellRegionHeaderMatches(region, TidewellRuntimeMagic, TidewellRuntimeVersion,
                                          TidewellRuntimeSize));

  TidewellRegionStoreWord(region, TidewellRegionVersionOffset, TidewellRuntimeVersion + 1);
  EXPECT_TRUE(eventuallyTrue([&] {
    return TidewellRegionLoadWord(region, TidewellRegionVersionOffset) == TidewellRuntimeVersion;
  }));
  ::munmap(region, TidewellRuntimeSize);
  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
}

}  // namespace
}  // namespace tidewell::testing
