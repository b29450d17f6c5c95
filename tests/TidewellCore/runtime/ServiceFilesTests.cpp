#include "TidewellCore/ServiceFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace tidewell;
using namespace std::chrono_literals;

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "tidewell-service-files-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path &file, const std::string &contents)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << contents;
}

// ---------------------------------------------------------------------------------------

TEST(ServiceHeartbeat, BeatCreatesTheFileAndRecordsTheGivenTime)
{
    TempFolder folder;
    const fs::path file = folder.path() / "deep" / "er" / "service-heartbeat";
    EXPECT_FALSE(ServiceHeartbeat::lastBeat(file));
    EXPECT_FALSE(ServiceHeartbeat::isFresh(file));

    const auto t = ServiceHeartbeat::Clock::now() - 1h;
    ServiceHeartbeat::beat(file, t);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    auto last = ServiceHeartbeat::lastBeat(file);
    ASSERT_TRUE(last);
    EXPECT_LE(std::chrono::abs(*last - t), 1us);

    // Only the date moves on later beats.
    ServiceHeartbeat::beat(file, t + 5s);
    EXPECT_LE(std::chrono::abs(*ServiceHeartbeat::lastBeat(file) - (t + 5s)), 1us);
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST(ServiceHeartbeat, IsFreshUpToTenSecondsAndForBeatsInTheFuture)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service-heartbeat";
    const auto t = ServiceHeartbeat::Clock::now();
    ServiceHeartbeat::beat(file, t);
    EXPECT_TRUE(ServiceHeartbeat::isFresh(file, t + 10s));
    EXPECT_FALSE(ServiceHeartbeat::isFresh(file, t + 10100ms));
    EXPECT_TRUE(ServiceHeartbeat::isFresh(file, t - 1h));
}

TEST(ServiceHeartbeat, BeatSwallowsErrors)
{
    TempFolder folder;
    WriteFile(folder.path() / "plain", "x");
    ServiceHeartbeat::beat(folder.path() / "plain" / "service-heartbeat");
    EXPECT_FALSE(ServiceHeartbeat::lastBeat(folder.path() / "plain" / "service-heartbeat"));
}

// ---------------------------------------------------------------------------------------

TEST(ServiceInstallMarker, WritesTheBuildAndALineFeedAndReadsItTrimmed)
{
    TempFolder folder;
    const fs::path file = folder.path() / "new" / "service-build";
    EXPECT_FALSE(ServiceInstallMarker::read(file));
    ServiceInstallMarker::write("42", file);
    EXPECT_EQ(ReadFile(file), "42\n");
    EXPECT_EQ(ServiceInstallMarker::read(file), "42");
    ServiceInstallMarker::write("43", file);
    EXPECT_EQ(ReadFile(file), "43\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);

    WriteFile(file, "  1234\n\n");
    EXPECT_EQ(ServiceInstallMarker::read(file), "1234");
    WriteFile(file, "\n\n");
    EXPECT_FALSE(ServiceInstallMarker::read(file));
    WriteFile(file, "\xff\xfe" "12");
    EXPECT_FALSE(ServiceInstallMarker::read(file));

    ServiceInstallMarker::remove(file);
    EXPECT_FALSE(fs::exists(file));
    ServiceInstallMarker::remove(file); // nothing to remove: ignored
}

TEST(ServiceInstallMarker, WriteThrowsWhenTheFolderCannotBeMade)
{
    TempFolder folder;
    WriteFile(folder.path() / "plain", "x");
    EXPECT_THROW(ServiceInstallMarker::write("1", folder.path() / "plain" / "service-build"),
                 fs::filesystem_error);
}

TEST(ServiceInstallMarker, NeedsReinstallWhenTheBundledBuildDiffers)
{
    using ServiceInstallMarker::needsReinstall;
    EXPECT_TRUE(needsReinstall(std::nullopt, "42"));
    EXPECT_FALSE(needsReinstall("42", "42"));
    EXPECT_TRUE(needsReinstall("41", "42"));
    EXPECT_FALSE(needsReinstall(std::nullopt, ""));
    EXPECT_FALSE(needsReinstall("41", std::nullopt));
    EXPECT_TRUE(needsReinstall("42 ", "42"));
}

// ---------------------------------------------------------------------------------------

struct Recorder {
    std::vector<std::pair<int32_t, int32_t>> signals;
    std::vector<std::string> lines;
    ServiceSingleInstance::TerminateAction terminate(bool forward)
    {
        return [this, forward](int32_t pid, int32_t signal) {
            signals.emplace_back(pid, signal);
            if (forward) {
                ::kill(pid, signal);
            }
        };
    }
    ServiceSingleInstance::LogAction log()
    {
        return [this](const std::string &line) { lines.push_back(line); };
    }
};

// A child process of this same program that takes the lock, records its id and waits.
pid_t StartHolder(const fs::path &file, bool ignoreTerm)
{
    int ready[2];
    if (::pipe(ready) != 0) {
        return -1;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        if (ignoreTerm) {
            ::signal(SIGTERM, SIG_IGN);
        }
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
            ::_exit(3);
        }
        const std::string text = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) < 0) {
            ::_exit(4);
        }
        char one = 1;
        if (::write(ready[1], &one, 1) != 1) {
            ::_exit(5);
        }
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    if (::read(ready[0], &byte, 1) != 1) {
        child = -1;
    }
    ::close(ready[0]);
    return child;
}

int Reap(pid_t child)
{
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

TEST(ServiceSingleInstance, AFreeLockIsTakenAtOnceWhateverTheFileHolds)
{
    TempFolder folder;
    const fs::path file = folder.path() / "sub" / "service.lock";
    fs::create_directories(file.parent_path());
    WriteFile(file, "99999999\nsomething else after it\n");
    Recorder recorder;
    auto outcome = ServiceSingleInstance::acquire(file, 8, 2, recorder.terminate(false), recorder.log());
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::acquired());
    EXPECT_EQ(ReadFile(file), std::to_string(::getpid()) + "\n");
    EXPECT_TRUE(recorder.signals.empty());
    EXPECT_TRUE(recorder.lines.empty());

    // The lock stays held: another descriptor cannot take it.
    int other = ::open(file.c_str(), O_RDWR);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

TEST(ServiceSingleInstance, EvictsAHolderThatStopsOnSigterm)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service.lock";
    pid_t holder = StartHolder(file, false);
    ASSERT_GT(holder, 0);
    Recorder recorder;
    auto outcome = ServiceSingleInstance::acquire(file, 8, 2, recorder.terminate(true), recorder.log());
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::acquiredAfterEvicting(holder));
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0], "Another service instance (pid " + std::to_string(holder) + ") holds the lock; evicting");
    EXPECT_EQ(recorder.signals, (std::vector<std::pair<int32_t, int32_t>>{{holder, 15}}));
    EXPECT_EQ(Reap(holder), SIGTERM);
    EXPECT_EQ(ReadFile(file), std::to_string(::getpid()) + "\n");
}

TEST(ServiceSingleInstance, EscalatesToSigkillWhenSigtermIsIgnored)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service.lock";
    pid_t holder = StartHolder(file, true);
    ASSERT_GT(holder, 0);
    Recorder recorder;
    auto outcome = ServiceSingleInstance::acquire(file, 0.3, 5, recorder.terminate(true), recorder.log());
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::acquiredAfterEvicting(holder));
    ASSERT_EQ(recorder.lines.size(), 2u);
    EXPECT_EQ(recorder.lines[1], "Instance pid " + std::to_string(holder) + " ignored SIGTERM; escalating to SIGKILL");
    EXPECT_EQ(recorder.signals, (std::vector<std::pair<int32_t, int32_t>>{{holder, 15}, {holder, 9}}));
    EXPECT_EQ(Reap(holder), SIGKILL);
}

TEST(ServiceSingleInstance, GivesUpOnAHolderThatWillNotLetGo)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service.lock";
    pid_t holder = StartHolder(file, true);
    ASSERT_GT(holder, 0);
    Recorder recorder;
    // The terminate action sends nothing, so the holder keeps the lock.
    auto outcome = ServiceSingleInstance::acquire(file, 0.2, 0.2, recorder.terminate(false), recorder.log());
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::failed("instance pid " + std::to_string(holder) +
                                                               " would not release the lock"));
    EXPECT_EQ(recorder.signals.size(), 2u);
    ::kill(holder, SIGKILL);
    Reap(holder);
}

TEST(ServiceSingleInstance, NeverSignalsAHolderItCannotIdentify)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service.lock";
    for (const std::string &contents : {std::string("letters"), std::string(""), std::string("1\n"),
                                       std::to_string(::getpid()) + "\n", std::string("99999999999\n")}) {
        WriteFile(file, contents);
        int holder = ::open(file.c_str(), O_RDWR);
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        Recorder recorder;
        auto outcome = ServiceSingleInstance::acquire(file, 8, 0.2, recorder.terminate(false), recorder.log());
        EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::failed("lock held by unidentifiable process")) << contents;
        EXPECT_TRUE(recorder.signals.empty()) << contents;
        EXPECT_TRUE(recorder.lines.empty()) << contents;
        ::close(holder);
    }
}

TEST(ServiceSingleInstance, NeverSignalsAnotherProgramThatReusedTheRecordedId)
{
    TempFolder folder;
    const fs::path file = folder.path() / "service.lock";
    // The holder is another program: a child that takes the lock and becomes `sleep`,
    // keeping the locked descriptor across exec.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
            ::_exit(3);
        }
        const std::string text = std::to_string(::getpid()) + "\n";
        if (::pwrite(fd, text.data(), text.size(), 0) < 0) {
            ::_exit(4);
        }
        char one = 1;
        if (::write(ready[1], &one, 1) != 1) {
            ::_exit(5);
        }
        ::close(ready[1]);
        ::execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
        ::_exit(6);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    // Wait until the child has become `sleep`.
    for (int i = 0; i < 100; ++i) {
        std::error_code error;
        auto exe = fs::read_symlink("/proc/" + std::to_string(child) + "/exe", error);
        if (!error && exe.filename().string().find("sleep") != std::string::npos) {
            break;
        }
        ::usleep(20000);
    }

    Recorder recorder;
    auto outcome = ServiceSingleInstance::acquire(file, 8, 0.3, recorder.terminate(true), recorder.log());
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::failed("lock held by unidentifiable process"));
    EXPECT_TRUE(recorder.signals.empty());
    EXPECT_EQ(::kill(child, 0), 0); // still alive
    ::kill(child, SIGKILL);
    Reap(child);
}

TEST(ServiceSingleInstance, ReportsAFileThatCannotBeOpened)
{
    TempFolder folder;
    WriteFile(folder.path() / "plain", "x");
    const fs::path file = folder.path() / "plain" / "service.lock";
    auto outcome = ServiceSingleInstance::acquire(file, 8, 2);
    EXPECT_EQ(outcome, ServiceSingleInstance::Outcome::failed("could not open " + file.string() + ": errno " +
                                                               std::to_string(ENOTDIR)));
}

} // namespace
