// Saves cut short by kill -9: the configuration file always holds a whole document, and the
// temporary file of a killed writer is cleared away by the next writer or reader of the store,
// never while another save is using its own.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <iostream>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryFolder;
using testing::entries;
using testing::writeFile;

// A document of a few kilobytes that differs from round to round.
ConfigSnapshot document(int round) {
  ConfigSnapshot s = ConfigSnapshot::empty();
  for (int i = 0; i < 8; ++i) {
    s.devices.push_back(DeviceConfig::makeDefault("Round " + std::to_string(round) + "." + std::to_string(i), 48000.0));
  }
  s.ui.selectedDeviceID = s.devices[0].id;
  return s;
}

// A child process that saves `snapshot` over and over until it is killed. It returns once the
// child is about to begin its first save: on a loaded machine a child can take longer to be
// scheduled than a few saves last, and a kill timed from the fork would then never land inside one.
pid_t startSaving(const fs::path& url, const ConfigSnapshot& snapshot) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    ::close(ready[0]);
    try {
      ConfigStore writer(url);
      const char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) _exit(1);
      for (;;) writer.save(snapshot);
    } catch (...) {
      _exit(1);
    }
  }
  ::close(ready[1]);
  char byte = 0;
  if (child > 0 && ::read(ready[0], &byte, 1) != 1) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    child = -1;
  }
  ::close(ready[0]);
  return child;
}

TEST(ConfigStoreKill, ASaverKilledAtRandomMomentsLeavesAWholeDocumentAndNoTemporaryFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigSnapshot previous = document(0);
  ConfigStore(url).save(previous);

  // Kill moments spread over a few saves, so that some land inside one.
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) ConfigStore(url).save(previous);
  auto perSave = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin) / 20;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delay(0, std::max<long>(200, 3 * perSave.count()));
  RecordProperty("seed", static_cast<int>(seed));

  int leftovers = 0, sawNew = 0, sawPrevious = 0;
  for (int round = 1; round <= 1000; ++round) {
    ConfigSnapshot next = document(round);
    pid_t child = startSaving(url, next);
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // A saver that failed on its own would prove nothing about the kill.
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the saver exited by itself";
    if (entries(tmp.path()).size() > 1) ++leftovers;

    // What the service does on every pass.
    ConfigSnapshot loaded = ConfigStore(url).loadOrCreateEmpty();
    ASSERT_TRUE(loaded == previous || loaded == next) << "round " << round << " (seed " << seed << ")";
    (loaded == next ? sawNew : sawPrevious) += 1;
    ASSERT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"}) << "round " << round;
    previous = loaded;
  }
  RecordProperty("killedWithATemporaryFile", leftovers);
  RecordProperty("roundsWithTheNewDocument", sawNew);
  std::cout << "kills that left a temporary file: " << leftovers << ", new document after " << sawNew
            << " rounds, previous after " << sawPrevious << " (" << perSave.count() << " us per save, seed "
            << seed << ")\n";
  // The campaign only means something when kills did land inside saves.
  EXPECT_GT(leftovers, 0);
}

TEST(ConfigStoreKill, OnlyAbandonedTemporaryFilesOfTheStoreAreRemoved) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigStore store(url);
  const ConfigSnapshot one = document(1), two = document(2), three = document(3);
  store.save(one);
  const std::string abandoned = ".config.json.0F3A9C1E-2B4D-4E5F-8A6B-7C8D9E0F1A2B.tmp";
  const std::set<std::string> others = {"config.json", ".config.json.notes.tmp", ".other.json.0F3A9C1E-2B4D-4E5F-8A6B-7C8D9E0F1A2B.tmp",
                                        "config.json.0F3A9C1E-2B4D-4E5F-8A6B-7C8D9E0F1A2B.tmp"};
  for (const auto& name : others) {
    if (name != "config.json") writeFile(tmp.path() / name, "{");
  }

  // While a write is under way (its shared lock on the folder), no temporary file is touched:
  // it may be that writer's own.
  writeFile(tmp.path() / abandoned, "{\"partial");
  {
    int folder = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_SH), 0);
    EXPECT_EQ(store.loadOrCreateEmpty(), one);
    store.save(two);
    EXPECT_TRUE(fs::exists(tmp.path() / abandoned));
    ::close(folder);
  }
  // Once no write is under way, the next load clears it, and nothing else.
  EXPECT_EQ(store.loadOrCreateEmpty(), two);
  EXPECT_EQ(entries(tmp.path()), others);

  // So does the next save.
  writeFile(tmp.path() / abandoned, "{\"partial");
  store.save(three);
  EXPECT_EQ(entries(tmp.path()), others);
  EXPECT_EQ(store.load(), three);
}

// Two processes save at once, each clearing leftovers before its own write: neither may ever
// remove the other's temporary file (its rename would then fail).
TEST(ConfigStoreKill, ConcurrentSaversNeverRemoveEachOthersTemporaryFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigStore(url).save(document(0));
  const ConfigSnapshot documents[] = {document(1), document(2)};
  std::vector<pid_t> children;
  for (int writer = 1; writer <= 2; ++writer) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        ConfigStore store(url);
        for (int i = 0; i < 400; ++i) {
          store.save(documents[writer - 1]);
          if (i % 3 == 0) store.loadOrCreateEmpty();
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});
  ConfigSnapshot last = ConfigStore(url).load();
  EXPECT_TRUE(last == documents[0] || last == documents[1]);
}

}  // namespace
}  // namespace tidewell
