// System capture leaves out this helper, the named process and every running helper program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "TapExclusions.h"

namespace {

bool HelperPids(pid_t pid, void* context) {
    return static_cast<std::set<pid_t>*>(context)->count(pid) != 0;
}

TEST(TapSystemExclusions, OwnThenExcludedThenEveryHelperOnce) {
    std::set<pid_t> helpers{200, 300};
    const std::vector<TidewellTapProcess> processes{{11, 100}, {12, 200}, {13, 300}, {14, 400}, {10, 200}};
    EXPECT_EQ(TidewellTapSystemExclusions(10, 14, processes, HelperPids, &helpers),
              (std::vector<AudioObjectID>{10, 14, 12, 13}));
}

TEST(TapSystemExclusions, UnknownObjectsAndBadEntriesNeverAppear) {
    std::set<pid_t> helpers{0, -1, 200};
    const std::vector<TidewellTapProcess> processes{{0, 200}, {15, 0}, {16, -1}, {17, 200}};
    EXPECT_EQ(TidewellTapSystemExclusions(0, 0, processes, HelperPids, &helpers), (std::vector<AudioObjectID>{17}));
    EXPECT_TRUE(TidewellTapSystemExclusions(0, 0, {}, HelperPids, &helpers).empty());
    EXPECT_EQ(TidewellTapSystemExclusions(5, 5, processes, nullptr, nullptr), (std::vector<AudioObjectID>{5}));
}

TEST(TapSystemExclusions, OnlyANewObjectAsksForANewTap) {
    EXPECT_FALSE(TidewellTapExclusionsGrew({10, 12}, {12, 10}));
    EXPECT_FALSE(TidewellTapExclusionsGrew({10, 12}, {10}));   // one that left stays excluded
    EXPECT_FALSE(TidewellTapExclusionsGrew({}, {}));
    EXPECT_TRUE(TidewellTapExclusionsGrew({10, 12}, {10, 12, 13}));
    EXPECT_TRUE(TidewellTapExclusionsGrew({}, {7}));
}

// Each helper restart brings a new process object; those of processes the audio server no longer
// lists must leave the list, or it grows with every restart.
TEST(TapSystemExclusions, AReplacementDropsObjectsOfGoneProcesses) {
    // 10 is this helper, 12 a helper that was restarted as 15, 13 a helper still running whose
    // executable could not be read this time.
    const std::vector<TidewellTapProcess> processes{{10, 100}, {13, 300}, {15, 500}, {16, 600}};
    EXPECT_EQ(TidewellTapReplacementExclusions({10, 12, 13}, {10, 15}, processes),
              (std::vector<AudioObjectID>{10, 15, 13}));
    // Restart after restart, the list stays as long as the set of running helpers.
    std::vector<AudioObjectID> current{10, 12};
    for (AudioObjectID restarted = 20; restarted < 30; ++restarted) {
        const std::vector<TidewellTapProcess> now{{10, 100}, {restarted, 700}};
        current = TidewellTapReplacementExclusions(current, {10, restarted}, now);
    }
    EXPECT_EQ(current, (std::vector<AudioObjectID>{10, 29}));
    EXPECT_EQ(TidewellTapReplacementExclusions({0, 10}, {0}, processes), (std::vector<AudioObjectID>{10}));
}

// A copy of a harmless program under a helper's name, run for real: the check reads the
// executable behind the process, not its command line.
class HelperProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("tw-exclusions-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }
    pid_t RunCopyOfSleep(const std::string& name) {
        const auto path = dir_ / name;
        std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(path.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        children_.push_back(pid);
        // Until exec has happened, /proc shows the test program.
        for (int i = 0; i < 200 && std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe") != path;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid;
    }
    std::filesystem::path dir_;
    std::vector<pid_t> children_;
};

TEST_F(HelperProcessTest, HelperExecutablesMatchEvenAfterTheFileIsReplaced) {
    const pid_t monitor = RunCopyOfSleep("tidewell-monitor");
    const pid_t source = RunCopyOfSleep("tidewell-hardware-source");
    const pid_t other = RunCopyOfSleep("tidewell-monitor-old");
    EXPECT_TRUE(TidewellIsHelperProcess(monitor));
    EXPECT_TRUE(TidewellIsHelperProcess(source));
    EXPECT_FALSE(TidewellIsHelperProcess(other));
    // A helper whose file was replaced by a rebuild still runs the helper.
    std::filesystem::remove(dir_ / "tidewell-monitor");
    EXPECT_TRUE(TidewellIsHelperProcess(monitor));
}

TEST_F(HelperProcessTest, ThisProgramAndGoneProcessesAreNotHelpers) {
    EXPECT_FALSE(TidewellIsHelperProcess(getpid()));
    EXPECT_FALSE(TidewellIsHelperProcess(0));
    EXPECT_FALSE(TidewellIsHelperProcess(-5));
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    EXPECT_FALSE(TidewellIsHelperProcess(gone));
}

}  // namespace
