// Helpers that cannot outlive their starter: the parent-death signal of ProcessSpawn, and the
// record through which a new instance ends what a killed one left behind, without ever
// signalling a process that is not the recorded one.

#include "TidewellCore/HelperProcessRecord.h"
#include "TidewellCore/ProcessSpawn.h"

#include <gtest/gtest.h>

#include "../config/TestSupport.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tidewell;
using namespace std::chrono_literals;

using TempFolder = tidewell::testing::TemporaryFolder;

const fs::path sleepProgram = "/bin/sleep";

pid_t startSleep(const std::vector<std::string> &arguments = {"600"})
{
    std::string error;
    pid_t pid = ProcessSpawn::spawn(sleepProgram, arguments, {}, error);
    EXPECT_GT(pid, 0) << error;
    return pid;
}

// Waits for a child of this process; its wait status, or -1 when it still runs after `limit`.
int endOf(pid_t pid, std::chrono::milliseconds limit = 5000ms)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// True when any process (not only a child) has ended within the time.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit)
{
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return true; // gone already
    }
    pollfd entry{fd, POLLIN, 0};
    bool ended = ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
    ::close(fd);
    return ended;
}

void stop(pid_t pid)
{
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessSpawn, PassesArgumentsAndReportsLaunchErrors)
{
    pid_t quick = startSleep({"0"});
    int status = endOf(quick);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string error;
    EXPECT_EQ(ProcessSpawn::spawn("/nonexistent/helper", {}, {}, error), -1);
    EXPECT_EQ(error, "No such file or directory");
}

// A starter killed with SIGKILL takes its helper with it.
TEST(ProcessSpawn, TheHelperEndsWhenItsStarterDies)
{
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t starter = ::fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        std::string error;
        pid_t helper = ProcessSpawn::spawn(sleepProgram, {"600"}, {}, error);
        if (::write(report[1], &helper, sizeof helper) != sizeof helper) {
            _exit(1);
        }
        ::pause();
        _exit(0);
    }
    ::close(report[1]);
    pid_t helper = 0;
    ASSERT_EQ(::read(report[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    ::close(report[0]);
    ASSERT_GT(helper, 0);
    EXPECT_FALSE(endsWithin(helper, 200ms)) << "the helper did not run";

    stop(starter);
    EXPECT_TRUE(endsWithin(helper, 5000ms)) << "helper " << helper << " outlived its starter";
    ::kill(helper, SIGKILL); // only if the expectation above failed
}

TEST(HelperProcessRecord, WritesAndReadsEntriesAndSkipsDamagedLines)
{
    TempFolder folder;
    const fs::path file = folder.path() / "sub" / "helpers";
    EXPECT_TRUE(HelperProcessRecord::read(file).empty());
    std::vector<HelperProcessRecord::Entry> entries = {{12, 345, "/opt/tide well/bin/helper"}, {13, 346, "/bin/x"}};
    ASSERT_TRUE(HelperProcessRecord::write(file, entries));
    EXPECT_EQ(HelperProcessRecord::read(file), entries);
    EXPECT_FALSE(fs::exists(folder.path() / "sub" / "helpers.tmp"));

    std::ofstream(file, std::ios::app) << "x 1 /bin/y\n14 15\n16 17 /bin/z\n";
    entries.push_back({16, 17, "/bin/z"});
    EXPECT_EQ(HelperProcessRecord::read(file), entries);
}

TEST(HelperProcessRecord, EndsOnlyTheRecordedProcessesThatStillRun)
{
    TempFolder folder;
    const fs::path file = folder.path() / "helpers";
    pid_t leftover = startSleep();
    pid_t sameProgramLater = startSleep();
    pid_t otherProgram = 0;
    {
        std::string error;
        otherProgram = ProcessSpawn::spawn("/bin/sh", {"-c", "while :; do sleep 0.05; done"}, {}, error);
        ASSERT_GT(otherProgram, 0) << error;
    }
    pid_t ended = startSleep({"0"});
    ASSERT_NE(endOf(ended), -1);

    auto left = HelperProcessRecord::describe(leftover, sleepProgram);
    auto later = HelperProcessRecord::describe(sameProgramLater, sleepProgram);
    auto other = HelperProcessRecord::describe(otherProgram, sleepProgram);
    ASSERT_TRUE(left && later && other);
    EXPECT_FALSE(HelperProcessRecord::describe(ended, sleepProgram));
    EXPECT_TRUE(HelperProcessRecord::isRunning(*left));
    // An id taken over by another program, an id reused by the same program started at another
    // time, and an id whose process has ended: none of them is what was recorded.
    EXPECT_FALSE(HelperProcessRecord::isRunning(*other));
    later->startTime += 1;
    EXPECT_FALSE(HelperProcessRecord::isRunning(*later));
    HelperProcessRecord::Entry gone{static_cast<std::int32_t>(ended), left->startTime, left->executable};
    ASSERT_TRUE(HelperProcessRecord::write(file, {*left, *later, *other, gone, {1, 0, left->executable}}));

    std::vector<std::string> log;
    auto result = HelperProcessRecord::endLeftovers(file, 3s, [&](const std::string &line) { log.push_back(line); });
    EXPECT_EQ(result, std::vector<HelperProcessRecord::Entry>{*left});
    int status = endOf(leftover, 100ms);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "Ending helper pid " + std::to_string(leftover) + " (" + left->executable +
                          ") left running by an earlier instance");
    EXPECT_EQ(endOf(sameProgramLater, 0ms), -1);
    EXPECT_EQ(endOf(otherProgram, 0ms), -1);
    stop(sameProgramLater);
    stop(otherProgram);
}

TEST(HelperProcessRecord, AHelperThatIgnoresSIGTERMIsKilledAfterTheGracePeriod)
{
    TempFolder folder;
    const fs::path file = folder.path() / "helpers";
    // The shell ignores SIGTERM and the program it becomes keeps ignoring it.
    std::string error;
    pid_t stubborn = ProcessSpawn::spawn("/bin/sh", {"-c", "trap '' TERM; exec " + sleepProgram.string() + " 600"}, {},
                                         error);
    ASSERT_GT(stubborn, 0) << error;
    std::optional<HelperProcessRecord::Entry> entry;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(entry && HelperProcessRecord::isRunning(*entry)) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        entry = HelperProcessRecord::describe(stubborn, sleepProgram);
    }
    ASSERT_TRUE(entry && HelperProcessRecord::isRunning(*entry)) << "the shell did not become sleep";
    ASSERT_TRUE(HelperProcessRecord::write(file, {*entry}));

    std::vector<std::string> log;
    auto begin = std::chrono::steady_clock::now();
    HelperProcessRecord::endLeftovers(file, 300ms, [&](const std::string &line) { log.push_back(line); });
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    int status = endOf(stubborn, 100ms);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "Helper pid " + std::to_string(stubborn) + " did not exit 0 s after SIGTERM; killing it");
}

} // namespace
