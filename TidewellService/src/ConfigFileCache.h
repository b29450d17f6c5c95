#pragma once
// The configuration as the service last read it, reused while the file is provably the same.
// The service polls every second, and parsing a large document costs far more than the rest
// of a pass; most polls find the file as it was.

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>

#include "TidewellCore/ConfigModel.h"

namespace tidewell {

class ConfigFileCache {
 public:
  using WallClock = std::chrono::system_clock;

  // What stat says of the file that a change to it has to alter.
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& other) const;
  };

  // How long after its last change a file must have been when it was read before that read is
  // trusted: longer than the coarsest timestamp tick in use (2 s on FAT), so that a write after
  // the read is bound to carry other times than the ones read.
  static constexpr std::chrono::seconds settleTime{3};

  // `now` is the wall clock the file system stamps files by.
  explicit ConfigFileCache(std::function<WallClock::time_point()> now = WallClock::now)
      : now_(std::move(now)) {}

  // The file's stamp; none when it cannot be looked at (missing, for one).
  static std::optional<Stamp> stamp(const std::filesystem::path& file);

  // What `read` makes of the file, or the snapshot an earlier read made of it when the file has
  // not changed since: same device, inode, size, and modification and status-change times to
  // the nanosecond, and that read was made once the file had settled. A read that throws is
  // not kept: the next call reads again, as does the one after a read of a missing file.
  std::shared_ptr<const ConfigSnapshot> load(const std::filesystem::path& file,
                                             const std::function<ConfigSnapshot()>& read);

 private:
  std::function<WallClock::time_point()> now_;
  struct Kept {
    std::filesystem::path file;
    Stamp stamp;
    std::shared_ptr<const ConfigSnapshot> snapshot;
  };
  std::optional<Kept> kept_;
};

}  // namespace tidewell
