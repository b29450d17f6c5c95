#include "TidewellRuntimeSupport/TidewellShm.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string UniqueName(const char *tag)
{
    return std::string("/twtest-shm-") + tag + "-" + std::to_string(getpid());
}

TEST(TidewellShm, CreatesOpensAndUnlinksWithTheGivenFlagsAndMode)
{
    const std::string name = UniqueName("cycle");
    TidewellShmUnlink(name.c_str());
    const mode_t oldMask = umask(0);

    int fd = TidewellShmOpen(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0) << "errno " << errno;
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    close(fd);

    // An exclusive create of an existing region fails and says why.
    errno = 0;
    EXPECT_EQ(TidewellShmOpen(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0640), -1);
    EXPECT_EQ(errno, EEXIST);

    int again = TidewellShmOpen(name.c_str(), O_RDONLY, 0);
    EXPECT_GE(again, 0);
    if (again >= 0) {
        close(again);
    }

    EXPECT_EQ(TidewellShmUnlink(name.c_str()), 0);
    errno = 0;
    EXPECT_EQ(TidewellShmOpen(name.c_str(), O_RDWR, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(TidewellShmUnlink(name.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    umask(oldMask);
}

TEST(TidewellShm, RejectsInvalidNames)
{
    errno = 0;
    EXPECT_EQ(TidewellShmOpen("/no/slashes/inside", O_RDWR | O_CREAT, 0600), -1);
    EXPECT_NE(errno, 0);
}

} // namespace
