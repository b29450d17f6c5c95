// The tidewell-service program itself, run as a process with stand-in helper scripts: dry run,
// fatal start-up errors, the normal loop, restarts and shutdown.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>

#include "ServiceTestSupport.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

// The log's lines without their time stamps.
std::vector<std::string> messages(const std::filesystem::path& log) {
  std::vector<std::string> result;
  for (const auto& line : lines(readFile(log))) {
    auto end = line.find("] ");
    result.push_back(end == std::string::npos ? line : line.substr(end + 2));
  }
  return result;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

template <class Condition>
bool eventually(Condition condition, std::chrono::duration<double> limit = 20s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// The runtime region's sequence counter (advances by 2 with every complete write); 0 when the
// region does not exist.
std::uint32_t runtimeSequence() {
  int fd = TidewellShmOpen(TidewellRuntimeRegionName, O_RDONLY, 0);
  if (fd < 0) return 0;
  void* mapping = ::mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) return 0;
  std::uint32_t sequence = TidewellSequenceReadBegin(mapping);
  ::munmap(mapping, TidewellRuntimeSize);
  return sequence;
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

class ServiceProgramTest : public ::testing::Test {
 protected:
  TemporaryFolder home;
  std::filesystem::path helperDir = home.path() / "helpers";
  std::filesystem::path marks = home.path() / "marks";
  std::filesystem::path configFile = home.path() / "config.json";
  std::filesystem::path logFile = home.path() / "service.log";
  ServiceEnvironment environment;
  pid_t servicePid = -1;

  void SetUp() override {
    std::filesystem::create_directories(helperDir);
    std::filesystem::create_directories(marks);
    // Each helper notes its start (pid and environment) and runs until SIGTERM.
    std::string body = "#!/bin/sh\nid=\"$TIDEWELL_TAP_SOURCE_ID$TIDEWELL_SOURCE_ID$TIDEWELL_MONITOR_ID\"\n"
                       "/usr/bin/env > \"$MARKS/$id.env.$$\"\necho $$ >> \"$MARKS/$id.pids\"\n";
    for (auto name : {HelperPaths::monitorName, HelperPaths::hardwareSourceName,
                      HelperPaths::processTapName}) {
      writeExecutable(helperDir / name, body + "exec sleep 600\n");
    }
    environment = {{"HOME", home.path().string()},
                   {"PATH", "/usr/bin:/bin"},
                   {"MARKS", marks.string()},
                   {"TIDEWELL_CONFIG_PATH", configFile.string()},
                   {"TIDEWELL_HELPER_DIR", helperDir.string()},
                   {"TIDEWELL_SERVICE_POLL_SECONDS", "0.1"},
                   {"AUDIOSERVER_SOCKET", (home.path() / "no-server").string()},
                   {"XDG_RUNTIME_DIR", home.path().string()}};
  }

  void TearDown() override {
    if (servicePid > 0) {
      ::kill(servicePid, SIGKILL);
      ::waitpid(servicePid, nullptr, 0);
    }
    // Nothing this test started may outlive it.
    for (auto& entry : std::filesystem::directory_iterator(marks)) {
      if (entry.path().extension() != ".pids") continue;
      for (const auto& pid : lines(readFile(entry.path()))) ::kill(std::stoi(pid), SIGKILL);
    }
  }

  static std::filesystem::path program() {
    const char* bin = std::getenv("TIDEWELL_BIN_DIR");
    return std::filesystem::path(bin ? bin : ".") / "tidewell-service";
  }

  void start() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = program().string();
    char* argv[] = {path.data(), nullptr};
    ASSERT_EQ(posix_spawn(&servicePid, path.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits for the program to end; its exit status, or -1 when it does not end in time.
  int finish(std::chrono::duration<double> limit = 20s) {
    int status = 0;
    bool ended = eventually([&] { return ::waitpid(servicePid, &status, WNOHANG) == servicePid; },
                            limit);
    if (!ended) return -1;
    servicePid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int run() {
    start();
    return finish();
  }

  std::vector<pid_t> starts(const std::string& id) {
    std::vector<pid_t> pids;
    for (const auto& line : lines(readFile(marks / (id + ".pids")))) pids.push_back(std::stoi(line));
    return pids;
  }

  void save(const ConfigSnapshot& snapshot) { ConfigStore(configFile).save(snapshot); }

  static ConfigSnapshot systemCapture(const std::string& routeWire = "1:1") {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    DeviceConfig device = makeDevice("D", "Desk");
    device.sources = {makeSource("S", SourceType::system, "All")};
    auto colon = routeWire.find(':');
    device.wires = {makeWire(EndpointKind::source, "S", std::stoi(routeWire.substr(0, colon)),
                             EndpointKind::deviceOutput, "D", std::stoi(routeWire.substr(colon + 1)))};
    snapshot.devices = {device};
    return snapshot;
  }
};

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
  EXPECT_EQ(run(), 1);
  EXPECT_THAT(messages(logFile),
              ::testing::ElementsAre("Fatal error: Could not find executable helper "
                                     "'tidewell-process-tap'. Build helpers with "
                                     "scripts/build-service.sh."));
}

TEST_F(ServiceProgramTest, RunsHelpersRestartsThemAndStopsThemOnSigterm) {
  environment["TIDEWELL_TAP_PID"] = "999";           // inherited helper settings are not passed on
  environment["TIDEWELL_BUFFER_FRAMES"] = "256";     // tuning settings are
  save(systemCapture());
  start();
  ASSERT_TRUE(eventually([&] { return starts("S").size() == 1; }));

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
    ASSERT_TRUE(eventually([&] { return starts("S").size() == round + 1; }));
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
  ASSERT_TRUE(eventually([&] { return starts("S").size() == 4; }));
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
  ASSERT_TRUE(eventually([&] { return starts("S").size() == 1; }));
  auto stopping = std::chrono::steady_clock::now();
  ::kill(servicePid, SIGINT);
  EXPECT_EQ(finish(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - stopping, 2900ms);
  // The helper is gone before the service is: a restarted service never runs beside it.
  EXPECT_FALSE(processExists(starts("S")[0]));
  EXPECT_TRUE(contains(messages(logFile),
                       "system capture 'All' did not exit 3 s after SIGTERM; killing it"));
}

TEST_F(ServiceProgramTest, LiveEditsOfTheApplicationAreNotUndoneByThePasses) {
  save(systemCapture());
  start();
  ASSERT_TRUE(eventually([&] { return runtimeSequence() != 0 && starts("S").size() == 1; }));
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
  EXPECT_TRUE(eventually([&] { return runtimeSequence() > edited; }));

  // The region disappears: the service puts it back on its next pass.
  ASSERT_EQ(TidewellShmUnlink(TidewellRuntimeRegionName), 0);
  EXPECT_TRUE(eventually([&] { return runtimeSequence() != 0; }));
  ::kill(servicePid, SIGTERM);
  EXPECT_EQ(finish(), 0);
}

}  // namespace
}  // namespace tidewell::testing
