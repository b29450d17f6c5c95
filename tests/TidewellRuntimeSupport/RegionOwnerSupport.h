// Regions that are not the user's own, as the tests (which run as root) make them: a region
// handed to another user, or opened to the writes of others, and the refusals that writers
// say through the shared-memory reporter.
#pragma once

#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace regiontest {

// The user "nobody" on the machines we run on; the tests need only a uid that is not theirs.
inline constexpr uid_t kOtherUser = 65534;

// Gives the existing region `name` to `owner` (group likewise) and sets its mode, as that
// user's own writer would have left it. False when the region cannot be opened or changed.
inline bool SetRegionOwnerAndMode(const std::string &name, uid_t owner, mode_t mode)
{
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    const bool done = fchown(fd, owner, static_cast<gid_t>(owner)) == 0 && fchmod(fd, mode) == 0;
    close(fd);
    return done;
}

inline bool GiveRegionTo(const std::string &name, uid_t owner)
{
    return SetRegionOwnerAndMode(name, owner, 0644);
}

// The region's status; st_size is -1 when it cannot be opened.
inline struct stat RegionStatus(const std::string &name)
{
    struct stat st {};
    st.st_size = -1;
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        if (fstat(fd, &st) != 0) {
            st.st_size = -1;
        }
        close(fd);
    }
    return st;
}

// The region's first `size` bytes, read through the descriptor; empty when it cannot be read.
inline std::vector<unsigned char> RegionBytes(const std::string &name, size_t size)
{
    std::vector<unsigned char> bytes(size);
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return {};
    }
    const bool read = pread(fd, bytes.data(), size, 0) == static_cast<ssize_t>(size);
    close(fd);
    return read ? bytes : std::vector<unsigned char>{};
}

// Collects what the writers of this process say about refused regions while it lives.
class Refusals {
public:
    Refusals()
    {
        take();
        TidewellShmSetReporter(&Refusals::record);
    }
    ~Refusals() { TidewellShmSetReporter(nullptr); }
    Refusals(const Refusals &) = delete;
    Refusals &operator=(const Refusals &) = delete;

    // The lines said since the last call.
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> guard(lock());
        std::vector<std::string> said;
        said.swap(lines());
        return said;
    }

private:
    static std::mutex &lock()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> said;
        return said;
    }
    static void record(const char *words)
    {
        std::lock_guard<std::mutex> guard(lock());
        lines().emplace_back(words);
    }
};

} // namespace regiontest
