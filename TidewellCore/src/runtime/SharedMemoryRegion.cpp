#include "runtime/SharedMemoryRegion.h"

#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellRuntimeSupport/TidewellShm.h"

#include <cerrno>
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

WritableRegion::WritableRegion(const char *name, size_t size) : size_(size)
{
    const SystemCalls &sys = systemCalls();
    bool created = false;
    int fd = sys.open(name, O_RDWR, 0);
    if (fd < 0) {
        const int openError = errno;
        if (openError != ENOENT) {
            throw RuntimeControlStoreError::openFailed(openError);
        }
        fd = sys.open(name, O_RDWR | O_CREAT | O_EXCL, regionMode);
        if (fd < 0) {
            throw RuntimeControlStoreError::openFailed(errno);
        }
        created = true;
    }
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
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int lockError = errno;
            munmap(mapping, size);
            throw fail(RuntimeControlStoreError::openFailed(lockError));
        }
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
