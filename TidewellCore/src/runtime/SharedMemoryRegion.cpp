#include "runtime/SharedMemoryRegion.h"

#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellShm.h"

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
            throw RuntimeControlStoreError::openFailed(errno);
        }
        fd = sys.open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, regionMode);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        lastError = errno;
        if (lastError != EEXIST) {
            throw RuntimeControlStoreError::openFailed(lastError);
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

    // A region created by an older build may be world-writable; tighten it. Best effort.
    (void)sys.changeMode(fd, regionMode);

    if (created && sys.truncate(fd, static_cast<off_t>(size)) != 0) {
        throw fail(RuntimeControlStoreError::resizeFailed(errno));
    }
    struct stat st {};
    if (sys.status(fd, &st) != 0 || st.st_size < 0) {
        throw fail(RuntimeControlStoreError::invalidState());
    }
    if (static_cast<size_t>(st.st_size) < size && sys.truncate(fd, static_cast<off_t>(size)) != 0) {
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

} // namespace tidewell::runtime_region
