#include "runtime/SharedMemoryRegion.h"

#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tidewell::runtime_region {

namespace {

int realAllocate(int fd, off_t offset, off_t length)
{
    return posix_fallocate(fd, offset, length);
}

void *realMap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    return mmap(address, length, protection, flags, fd, offset);
}

} // namespace

SystemCalls realSystemCalls()
{
    return SystemCalls{TidewellShmOpen, TidewellShmUnlink, fchmod, fstat, ftruncate, realAllocate, realMap};
}

SystemCalls &systemCalls()
{
    static SystemCalls calls = realSystemCalls();
    return calls;
}

namespace {

// Says once that the region is not used, and fails the write.
[[noreturn]] void refuse(const char *name, TidewellShmTrust trust, const struct stat &status)
{
    TidewellShmReportRefusal(name, trust, &status);
    char words[1024];
    TidewellShmDescribeRefusal(name, trust, &status, words, sizeof words);
    throw RegionRefusedError(words);
}

// An open refused for want of permission: another user's region that this user may not
// open read-write. Refused in words when its status shows whose it is.
[[noreturn]] void failOpen(const char *name, int error)
{
    struct stat status {};
    if (const TidewellShmTrust trust = TidewellShmCheckUnopened(name, error, &status); trust != TidewellShmTrusted) {
        refuse(name, trust, status);
    }
    throw RuntimeControlStoreError::openFailed(error);
}

// Opens the region read-write, creating it when it is missing. Two writers may find it missing
// at once: the one whose exclusive create loses opens the other's region instead. Descriptors
// are close-on-exec, so a child started meanwhile never inherits one, nor the writers' lock.
int openOrCreate(const SystemCalls &sys, const char *name, bool *created)
{
    *created = false;
    int lastError = ENOENT;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = sys.open(name, O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            return fd;
        }
        if (errno != ENOENT) {
            failOpen(name, errno);
        }
        fd = sys.open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, regionMode);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        lastError = errno;
        if (lastError != EEXIST) {
            failOpen(name, lastError);
        }
    }
    // Created and removed again by others, over and over.
    throw RuntimeControlStoreError::openFailed(lastError);
}

// Takes the writers' lock, waiting at most lockWaitLimit: a whole write takes microseconds, so a
// lock held that long belongs to a writer that hangs, and waiting for it would hang this one too.
// Returns 0, or the error number to report (ETIMEDOUT when the wait ran out).
int lockForWriting(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + lockWaitLimit;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return errno;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return ETIMEDOUT;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // a write is over within this
    }
}

} // namespace

WritableRegion::WritableRegion(const char *name, size_t size) : size_(size)
{
    const SystemCalls &sys = systemCalls();
    bool created = false;
    const int fd = openOrCreate(sys, name, &created);
    auto fail = [fd](const RuntimeControlStoreError &error) -> RuntimeControlStoreError {
        close(fd);
        return error;
    };

    // Whose it is decides before anything of it changes: root may open, resize and rewrite
    // any user's region, and would publish its devices over theirs.
    struct stat st {};
    if (sys.status(fd, &st) != 0 || st.st_size < 0) {
        throw fail(RuntimeControlStoreError::invalidState());
    }
    const TidewellShmTrust trust = TidewellShmTrustOf(&st);
    if (trust == TidewellShmOwnedByOther || trust == TidewellShmNotRegular) {
        close(fd);
        refuse(name, trust, st);
    }
    // The user's own. One created by an older build may be world-writable; tighten it. A
    // region that others may still write is not used.
    if (sys.changeMode(fd, regionMode) != 0 && trust == TidewellShmWritableByOthers) {
        close(fd);
        refuse(name, trust, st);
    }

    if (created && sys.truncate(fd, static_cast<off_t>(size)) != 0) {
        throw fail(RuntimeControlStoreError::resizeFailed(errno));
    }
    if (!created && static_cast<size_t>(st.st_size) < size && sys.truncate(fd, static_cast<off_t>(size)) != 0) {
        throw fail(RuntimeControlStoreError::resizeFailed(errno));
    }
    // ftruncate on tmpfs reserves nothing: on a full /dev/shm the first store would raise
    // SIGBUS. Backing the pages now turns that into an error.
    if (int allocateError = sys.allocate(fd, 0, static_cast<off_t>(size)); allocateError != 0) {
        throw fail(RuntimeControlStoreError::resizeFailed(allocateError));
    }
    void *mapping = sys.map(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (mapping == MAP_FAILED) {
        throw fail(RuntimeControlStoreError::mapFailed(errno));
    }
    // The application and the service both write this region from whole configurations;
    // two writes must never interleave, or a reader could accept a mixture of both. The
    // lock is on the region's own file, so it spans processes and dies with its holder.
    if (const int lockError = lockForWriting(fd); lockError != 0) {
        munmap(mapping, size);
        throw fail(RuntimeControlStoreError::openFailed(lockError));
    }
    fd_ = fd;
    mapping_ = mapping;
    TidewellShmReportAccepted(name); // refused again later, it is said again
}

WritableRegion::~WritableRegion()
{
    if (mapping_ != nullptr) {
        munmap(mapping_, size_);
    }
    if (fd_ >= 0) {
        close(fd_); // also releases the writers' lock
    }
}

bool regionIsIntact(const char *name, size_t size, uint32_t magic, uint32_t version)
{
    const SystemCalls &sys = systemCalls();
    const int fd = sys.open(name, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool intact = sys.status(fd, &st) == 0 && TidewellShmTrustOf(&st) == TidewellShmTrusted &&
                  st.st_size >= static_cast<off_t>(size);
    void *mapping = intact ? sys.map(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (mapping != MAP_FAILED) {
        intact = TidewellRegionHeaderMatches(mapping, magic, version, static_cast<uint32_t>(size));
        if (intact && (TidewellSequenceReadBegin(mapping) & 1u) != 0) {
            // Odd: a write in progress holds the lock until its even store; without a holder
            // the counter stays odd for good. Holding the lock shared keeps writers out while
            // the counter is read again.
            if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
                intact = (TidewellSequenceReadBegin(mapping) & 1u) == 0;
                flock(fd, LOCK_UN);
            }
        }
        munmap(mapping, size);
    } else {
        intact = false;
    }
    close(fd);
    return intact;
}

} // namespace tidewell::runtime_region
