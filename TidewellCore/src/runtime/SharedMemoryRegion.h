// How the core's writers open, size, map and exclusively hold a shared-memory region for one
// complete write. Used by the runtime region and the control regions alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

namespace tidewell::runtime_region {

// The system calls a writer makes, replaceable so that tests can make one of them fail the
// way another machine (or a full /dev/shm) would. Every entry has the contract of the call
// it stands for; `allocate` returns an error number like posix_fallocate.
struct SystemCalls {
    int (*open)(const char *name, int oflag, uint16_t mode);
    int (*unlink)(const char *name);
    int (*changeMode)(int fd, mode_t mode);
    int (*status)(int fd, struct stat *st);
    int (*truncate)(int fd, off_t length);
    int (*allocate)(int fd, off_t offset, off_t length);
    void *(*map)(void *address, size_t length, int protection, int flags, int fd, off_t offset);
};

SystemCalls &systemCalls();
SystemCalls realSystemCalls();

// Regions are owner read-write and read-only for everyone else: every process of the system
// runs as the user, and a region that anyone could open read-write could be retargeted or
// shrunk under its readers. A file-creation mask only takes bits away, so a region created
// under any mask passes the readers' check that nobody else may write it.
inline constexpr uint16_t regionMode = 0644;

// The longest a writer waits for another writer's lock before it reports the region as busy
// (openFailed with ETIMEDOUT).
inline constexpr std::chrono::milliseconds lockWaitLimit{2000};

// One region mapped read-write and held exclusively against the other writers (the
// application and the service) until destruction, which unmaps, closes and so unlocks.
class WritableRegion {
public:
    // Opens (creating with regionMode when missing; a region another writer creates at the
    // same moment is opened instead), refuses a region that is not the user's own (another
    // user's, or not a regular object: RegionRefusedError, said once through the
    // shared-memory reporter; one of the user's own loses the write right of others), sizes
    // to at least `size` (never shrinks), backs the pages, maps `size` bytes and takes the
    // writers' lock within lockWaitLimit. Throws RuntimeControlStoreError; nothing of the
    // region has changed when it throws.
    WritableRegion(const char *name, size_t size);
    ~WritableRegion();
    WritableRegion(const WritableRegion &) = delete;
    WritableRegion &operator=(const WritableRegion &) = delete;

    void *bytes() const { return mapping_; }

private:
    int fd_ = -1;
    void *mapping_ = nullptr;
    size_t size_ = 0;
};

// True when the region `name` is the user's own, at least `size` bytes long, begins with this
// magic, version and size, and holds no write left half-done: a counter found odd while no
// writer holds the writers' lock was left by a writer that died mid-write (one found odd while
// a writer holds the lock belongs to a write in progress, over within microseconds).
bool regionIsIntact(const char *name, size_t size, uint32_t magic, uint32_t version);

} // namespace tidewell::runtime_region
