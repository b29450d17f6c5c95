// The one check every opener of a region makes: the user's own regular object that nobody
// else may write, the words of a refusal, and that a refusal is said once.
#include "TidewellRuntimeSupport/TidewellShm.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include "RegionOwnerSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace regiontest;

// "nobody (uid 65534)" as the password database names the user, else "uid 65534".
std::string UserWords(uid_t uid)
{
    const passwd *entry = getpwuid(uid);
    if (entry != nullptr && entry->pw_name != nullptr && entry->pw_name[0] != '\0') {
        return std::string(entry->pw_name) + " (uid " + std::to_string(uid) + ")";
    }
    return "uid " + std::to_string(uid);
}

class ShmTrust : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = "/twtest-trust-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        TidewellShmUnlink(name.c_str());
        const mode_t oldMask = umask(0);
        fd = TidewellShmOpen(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        umask(oldMask);
        ASSERT_GE(fd, 0) << "errno " << errno;
    }
    void TearDown() override
    {
        if (fd >= 0) {
            close(fd);
        }
        TidewellShmUnlink(name.c_str());
        rmdir(("/dev/shm" + name).c_str());
    }
    static inline int counter = 0;
    std::string name;
    int fd = -1;
};

TEST_F(ShmTrust, OnlyTheUsersOwnRegularObjectThatNobodyElseMayWriteIsTrusted)
{
    struct stat st {};
    EXPECT_EQ(TidewellShmCheck(fd, &st), TidewellShmTrusted);
    EXPECT_EQ(st.st_uid, geteuid());
    // Others may read it: still the user's own to use.
    ASSERT_EQ(fchmod(fd, 0604), 0);
    EXPECT_EQ(TidewellShmCheck(fd, nullptr), TidewellShmTrusted);

    for (mode_t mode : {0664, 0646, 0622, 0666}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(fchmod(fd, mode), 0);
        EXPECT_EQ(TidewellShmCheck(fd, nullptr), TidewellShmWritableByOthers);
    }
    // Another user's region is refused whatever its mode.
    for (mode_t mode : {0644, 0600, 0666}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(fchmod(fd, mode), 0);
        ASSERT_EQ(fchown(fd, kOtherUser, kOtherUser), 0);
        EXPECT_EQ(TidewellShmCheck(fd, &st), TidewellShmOwnedByOther);
        EXPECT_EQ(st.st_uid, kOtherUser);
        ASSERT_EQ(fchown(fd, geteuid(), getegid()), 0);
    }
    EXPECT_EQ(TidewellShmCheck(-1, &st), TidewellShmStatusUnreadable);
    EXPECT_EQ(TidewellShmTrustOf(nullptr), TidewellShmStatusUnreadable);
}

TEST_F(ShmTrust, AnObjectThatIsNotARegularOneIsRefused)
{
    close(fd);
    fd = -1;
    TidewellShmUnlink(name.c_str());
    ASSERT_EQ(mkdir(("/dev/shm" + name).c_str(), 0700), 0);
    int directory = TidewellShmOpen(name.c_str(), O_RDONLY, 0);
    ASSERT_GE(directory, 0) << "errno " << errno;
    EXPECT_EQ(TidewellShmCheck(directory, nullptr), TidewellShmNotRegular);
    EXPECT_EQ(TidewellShmClaim(directory, nullptr), TidewellShmNotRegular);
    close(directory);
}

TEST_F(ShmTrust, AWriterTakesTheWriteRightOfOthersFromItsOwnRegionButNotFromAnotherUsers)
{
    ASSERT_EQ(fchmod(fd, 0666), 0);
    struct stat st {};
    EXPECT_EQ(TidewellShmClaim(fd, &st), TidewellShmTrusted);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(fchown(fd, kOtherUser, kOtherUser), 0);
    EXPECT_EQ(TidewellShmClaim(fd, &st), TidewellShmOwnedByOther);
    EXPECT_EQ(RegionStatus(name).st_mode & 07777, 0666u) << "another user's region was changed";
}

// A writer whose open was refused for want of permission learns whose the region is.
TEST_F(ShmTrust, ARegionThatCannotBeOpenedIsFoundByItsName)
{
    ASSERT_EQ(fchown(fd, kOtherUser, kOtherUser), 0);
    struct stat st {};
    ASSERT_EQ(TidewellShmCheckUnopened(name.c_str(), EACCES, &st), TidewellShmOwnedByOther);
    EXPECT_EQ(st.st_uid, kOtherUser);

    // Any other failure, a region of the user's own, or none at all, says nothing of an owner.
    EXPECT_EQ(TidewellShmCheckUnopened(name.c_str(), ENOENT, &st), TidewellShmTrusted);
    ASSERT_EQ(fchown(fd, geteuid(), getegid()), 0);
    EXPECT_EQ(TidewellShmCheckUnopened(name.c_str(), EACCES, &st), TidewellShmTrusted);
    EXPECT_EQ(TidewellShmCheckUnopened("/twtest-trust-missing", EACCES, &st), TidewellShmTrusted);
    for (const char *bad : {"no-slash", "/two/parts", "/", "/../etc/passwd"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(TidewellShmCheckUnopened(bad, EACCES, &st), TidewellShmTrusted);
    }
}

TEST_F(ShmTrust, ARefusalNamesTheRegionAndItsOwner)
{
    char words[512];
    ASSERT_EQ(fchown(fd, kOtherUser, kOtherUser), 0);
    struct stat st {};
    ASSERT_EQ(TidewellShmCheck(fd, &st), TidewellShmOwnedByOther);
    TidewellShmDescribeRefusal(name.c_str(), TidewellShmOwnedByOther, &st, words, sizeof words);
    EXPECT_EQ(std::string(words), "Not using shared memory \"" + name + "\": it belongs to " + UserWords(kOtherUser) +
                                      ", not to " + UserWords(geteuid()) + ".");

    // A uid the password database does not know is given as a number.
    const uid_t unknown = 424242;
    ASSERT_EQ(getpwuid(unknown), nullptr);
    ASSERT_EQ(fchown(fd, unknown, unknown), 0);
    ASSERT_EQ(TidewellShmCheck(fd, &st), TidewellShmOwnedByOther);
    TidewellShmDescribeRefusal(name.c_str(), TidewellShmOwnedByOther, &st, words, sizeof words);
    EXPECT_NE(std::string(words).find("it belongs to uid 424242, not to "), std::string::npos) << words;

    ASSERT_EQ(fchown(fd, geteuid(), getegid()), 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(TidewellShmCheck(fd, &st), TidewellShmWritableByOthers);
    TidewellShmDescribeRefusal(name.c_str(), TidewellShmWritableByOthers, &st, words, sizeof words);
    EXPECT_EQ(std::string(words), "Not using shared memory \"" + name + "\": users other than its owner " +
                                      UserWords(geteuid()) + " may write it (mode 0666).");

    // The words always end within the buffer.
    char small[16];
    TidewellShmDescribeRefusal(name.c_str(), TidewellShmWritableByOthers, &st, small, sizeof small);
    EXPECT_EQ(std::string(small).size(), sizeof small - 1);
}

TEST_F(ShmTrust, ARefusalIsSaidOnceUntilTheRegionIsTakenUpAgain)
{
    Refusals refusals;
    ASSERT_EQ(fchown(fd, kOtherUser, kOtherUser), 0);
    struct stat st {};
    const TidewellShmTrust trust = TidewellShmCheck(fd, &st);
    for (int pass = 0; pass < 3; ++pass) {
        TidewellShmReportRefusal(name.c_str(), trust, &st);
    }
    const std::vector<std::string> said = refusals.take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(name), std::string::npos);

    // Another region is said on its own.
    const std::string other = name + "-other";
    TidewellShmReportRefusal(other.c_str(), trust, &st);
    EXPECT_EQ(refusals.take().size(), 1u);
    TidewellShmReportAccepted(other.c_str());

    // Taken up, then refused again: said again.
    TidewellShmReportAccepted(name.c_str());
    TidewellShmReportRefusal(name.c_str(), trust, &st);
    TidewellShmReportRefusal(name.c_str(), trust, &st);
    EXPECT_EQ(refusals.take().size(), 1u);
    TidewellShmReportAccepted(name.c_str());
    // A trusted region is nothing to say.
    TidewellShmReportRefusal(name.c_str(), TidewellShmTrusted, &st);
    EXPECT_TRUE(refusals.take().empty());
}

} // namespace
