#include "ConfigFileCache.h"

#include <sys/stat.h>

namespace tidewell {
namespace {

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

ConfigFileCache::WallClock::time_point wallTime(const timespec& time) {
  auto since = std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
  return ConfigFileCache::WallClock::time_point(
      std::chrono::duration_cast<ConfigFileCache::WallClock::duration>(since));
}

}  // namespace

bool ConfigFileCache::Stamp::operator==(const Stamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

std::optional<ConfigFileCache::Stamp> ConfigFileCache::stamp(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return std::nullopt;
  return Stamp{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

std::shared_ptr<const ConfigSnapshot> ConfigFileCache::load(
    const std::filesystem::path& file, const std::function<ConfigSnapshot()>& read) {
  auto before = stamp(file);
  if (kept_ && before && kept_->file == file && kept_->stamp == *before) {
    return kept_->snapshot;
  }
  kept_.reset();
  auto readAt = now_();
  auto snapshot = std::make_shared<const ConfigSnapshot>(read());
  // Kept only when nothing changed while it was read, and when any later change must show:
  // a write within the tick of the times read could leave inode, size and both times as they
  // are, so a file read that soon after its last change is read again at the next poll. Times
  // ahead of the clock count as that recent.
  auto after = stamp(file);
  if (before && after && *before == *after && readAt - wallTime(after->modified) >= settleTime &&
      readAt - wallTime(after->changed) >= settleTime) {
    kept_ = Kept{file, *after, snapshot};
  }
  return snapshot;
}

}  // namespace tidewell
