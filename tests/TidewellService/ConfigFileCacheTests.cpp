// The service's poll reads the configuration file only when it may have changed: a settled,
// unchanged file is not parsed again, and every kind of edit is still seen at the next poll.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "ConfigFileCache.h"
#include "ServiceTestSupport.h"
#include "TidewellCore/ConfigStore.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

ConfigSnapshot named(const std::string& name) {
  ConfigSnapshot snapshot = ConfigSnapshot::empty();
  DeviceConfig device;
  device.id = "device";
  device.name = name;
  device.uid = "uid-device";
  snapshot.devices = {device};
  return snapshot;
}

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits until the file system stamps a change later than the file's last one. The cache's clock
// runs ahead in these tests, so a change in the same timestamp tick as the last read would
// break the premise the cache relies on: that a read is trusted only once the file has settled.
void waitForALaterTick(const std::filesystem::path& file) {
  struct stat target {};
  ASSERT_EQ(::stat(file.c_str(), &target), 0);
  auto probe = file.parent_path() / "tick-probe";
  auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    std::ofstream(probe) << "x";
    struct stat now {};
    ASSERT_EQ(::stat(probe.c_str(), &now), 0);
    if (earlier(target.st_ctim, now.st_ctim)) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(1ms);
  }
  std::filesystem::remove(probe);
}

// Rewrites `from` as `to` (same length) inside the file, in place, then sets its modification
// time back: inode, size and modification time stay as they were.
void editInPlaceKeepingTheTime(const std::filesystem::path& file, const std::string& from,
                               const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  waitForALaterTick(file);
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  std::string text = contents(file);
  auto at = text.find(from);
  ASSERT_NE(at, std::string::npos);
  int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, to.data(), to.size(), static_cast<off_t>(at)), static_cast<ssize_t>(to.size()));
  ::close(fd);
  timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

class ConfigFileCacheTest : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "config.json";
  // How far the cache's clock runs ahead of the real one: a minute makes every file look
  // settled; none makes a file just written look as fresh as it is.
  ConfigFileCache::WallClock::duration ahead = 1min;
  ConfigFileCache cache{[this] { return ConfigFileCache::WallClock::now() + ahead; }};
  int reads = 0;

  ConfigSnapshot poll() {
    return *cache.load(file, [this] {
      ++reads;
      return ConfigStore(file).loadOrCreateEmpty();
    });
  }
};

TEST_F(ConfigFileCacheTest, ASettledUnchangedFileIsReadOnce) {
  ConfigStore(file).save(named("Aaaa"));
  for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(this->poll(), named("Aaaa"));
  EXPECT_EQ(reads, 1);
}

TEST_F(ConfigFileCacheTest, EveryEditIsSeenAtTheNextPoll) {
  ConfigStore(file).save(named("Aaaa"));
  EXPECT_EQ(poll(), named("Aaaa"));
  // A save: a new file renamed into place.
  ConfigStore(file).save(named("Bbbb"));
  EXPECT_EQ(poll(), named("Bbbb"));
  // An edit in place of the same length, its modification time set back: only the status
  // change time tells.
  editInPlaceKeepingTheTime(file, "Bbbb", "Cccc");
  EXPECT_EQ(poll(), named("Cccc"));
  // A different length.
  editInPlaceKeepingTheTime(file, "Cccc", "Dddd");
  std::ofstream(file, std::ios::app) << "\n";
  EXPECT_EQ(poll(), named("Dddd"));
  EXPECT_EQ(reads, 4);
  EXPECT_EQ(poll(), named("Dddd"));
  EXPECT_EQ(reads, 4);
}

// On a file system with coarse timestamps, a second write within the tick of the first leaves
// every time as it was. So a read made that soon after the last change is never trusted: the
// next poll reads again, until a read finds the file settled.
TEST_F(ConfigFileCacheTest, AFileReadSoonAfterItsLastChangeIsReadAgain) {
  ahead = 0s;
  ConfigStore(file).save(named("Aaaa"));
  EXPECT_EQ(poll(), named("Aaaa"));
  EXPECT_EQ(poll(), named("Aaaa"));
  EXPECT_EQ(reads, 2);
  // Times ahead of the clock count as fresh too.
  ahead = -1min;
  poll();
  poll();
  EXPECT_EQ(reads, 4);
  ahead = 1min;
  poll();
  poll();
  EXPECT_EQ(reads, 5);
}

// What a pass does with a file that cannot be read stays as it was: every poll reads it again
// and reports the failure, and a missing file is created empty.
TEST_F(ConfigFileCacheTest, FailuresAndAMissingFileAreNeverKept) {
  std::ofstream(file) << "{ not json";
  EXPECT_ANY_THROW(poll());
  EXPECT_ANY_THROW(poll());
  EXPECT_EQ(reads, 2);

  std::filesystem::remove(file);
  EXPECT_EQ(poll(), ConfigSnapshot::empty());
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(reads, 3);
  // Created by that poll, so not yet known unchanged: read once more, then kept.
  EXPECT_EQ(poll(), ConfigSnapshot::empty());
  EXPECT_EQ(poll(), ConfigSnapshot::empty());
  EXPECT_EQ(reads, 4);

  // A settled file that then breaks is read, and fails, at every poll.
  std::ofstream(file) << "{ not json";
  EXPECT_ANY_THROW(poll());
  EXPECT_ANY_THROW(poll());
  EXPECT_EQ(reads, 6);
  ConfigStore(file).save(named("Aaaa"));
  EXPECT_EQ(poll(), named("Aaaa"));
}

// The service's own platform, on the real clock: once the file has settled, an edit that keeps
// inode, size and modification time is still seen at the next poll, and a writer's abandoned
// temporary file still goes at a poll that does not read.
TEST(SystemServicePlatformConfigTest, AnEditOfASettledFileIsSeenAtTheNextPoll) {
  TemporaryFolder folder;
  auto file = folder.path() / "config.json";
  auto platform = makeSystemServicePlatform();
  ConfigStore(file).save(named("Aaaa"));
  auto settled = [&] {
    auto stamp = ConfigFileCache::stamp(file);
    auto age = ConfigFileCache::WallClock::now() -
               ConfigFileCache::WallClock::time_point(std::chrono::seconds(stamp->changed.tv_sec));
    return age > ConfigFileCache::settleTime + 1s;
  };
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!settled() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(settled());
  EXPECT_EQ(*platform->loadOrCreateEmpty(file), named("Aaaa"));
  EXPECT_EQ(*platform->loadOrCreateEmpty(file), named("Aaaa"));

  auto leftover = folder.path() / ".config.json.0123abcd-0123-4567-89ab-0123456789ab.tmp";
  std::ofstream(leftover) << "{";
  EXPECT_EQ(*platform->loadOrCreateEmpty(file), named("Aaaa"));
  EXPECT_FALSE(std::filesystem::exists(leftover));

  editInPlaceKeepingTheTime(file, "Aaaa", "Bbbb");
  EXPECT_EQ(*platform->loadOrCreateEmpty(file), named("Bbbb"));
}

}  // namespace
}  // namespace tidewell::testing
