#include "TidewellCore/ServiceFiles.h"

#include "TidewellCore/TextUtilities.h"
#include "runtime/ProcessIdentity.h"
#include "runtime/TextUtilities.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace tidewell {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------
// Heartbeat

namespace ServiceHeartbeat {

void beat(const fs::path &file, Clock::time_point now)
{
    std::error_code ignored;
    if (!fs::exists(file, ignored)) {
        if (file.has_parent_path()) {
            fs::create_directories(file.parent_path(), ignored);
        }
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(sinceEpoch / 1000000000);
    times[1].tv_nsec = static_cast<long>(sinceEpoch % 1000000000);
    if (times[1].tv_nsec < 0) {
        times[1].tv_nsec += 1000000000;
        times[1].tv_sec -= 1;
    }
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

std::optional<Clock::time_point> lastBeat(const fs::path &file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return std::nullopt;
    }
    auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(since));
}

bool isFresh(const fs::path &file, Clock::time_point now)
{
    auto last = lastBeat(file);
    if (!last) {
        return false;
    }
    return std::chrono::duration<double>(now - *last) <= staleAfter;
}

} // namespace ServiceHeartbeat

// ---------------------------------------------------------------------------------------
// Install marker

namespace ServiceInstallMarker {

std::optional<std::string> read(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    const std::string text = contents.str();
    if (!runtime_text::isValidUTF8(text)) {
        return std::nullopt;
    }
    std::string trimmed = Text::trimmingWhitespaceAndNewlines(text);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return trimmed;
}

void write(const std::string &build, const fs::path &file)
{
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path());
    }
    // Write beside the target and rename over it, so a reader sees the old or the new
    // marker, never a part of one.
    fs::path temporary = file;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw fs::filesystem_error("could not create the build marker", temporary,
                                       std::error_code(errno, std::generic_category()));
        }
        out << build << '\n';
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw fs::filesystem_error("could not write the build marker", temporary,
                                       std::error_code(EIO, std::generic_category()));
        }
    }
    std::error_code error;
    fs::rename(temporary, file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw fs::filesystem_error("could not replace the build marker", temporary, file, error);
    }
}

void remove(const fs::path &file)
{
    std::error_code ignored;
    fs::remove(file, ignored);
}

bool needsReinstall(const std::optional<std::string> &installedBuild, const std::optional<std::string> &bundledBuild)
{
    if (!bundledBuild || bundledBuild->empty()) {
        return false;
    }
    if (!installedBuild) {
        return true;
    }
    return *installedBuild != *bundledBuild;
}

} // namespace ServiceInstallMarker

// ---------------------------------------------------------------------------------------
// Single instance

namespace ServiceSingleInstance {

void sendSignal(int32_t pid, int32_t signal)
{
    ::kill(static_cast<pid_t>(pid), signal);
}

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(100);

bool tryLock(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool waitForLock(int fd, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    for (;;) {
        if (tryLock(fd)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

std::optional<int32_t> readHolderPID(int fd)
{
    char buffer[32];
    ssize_t count = ::pread(fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
        return std::nullopt;
    }
    std::string_view raw(buffer, static_cast<size_t>(count));
    if (!runtime_text::isValidUTF8(raw)) {
        return std::nullopt;
    }
    const std::string text = Text::trimmingWhitespaceAndNewlines(raw);
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX || value < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

// True only when `pid` is alive and runs the same program as this process. A recorded
// process id may have been reused by an unrelated program since its holder died (or the
// new holder has not recorded itself yet); such a process must never be signalled.
bool runsThisProgram(int32_t pid)
{
    const std::string mine = process_identity::executableAt("/proc/self/exe");
    if (mine.empty()) {
        return false;
    }
    return process_identity::executableOf(static_cast<pid_t>(pid)) == mine;
}

void recordHolder(int fd)
{
    if (::ftruncate(fd, 0) != 0) {
        // Ignored: the lock itself is what keeps the service unique.
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd, text.data(), text.size(), 0) < 0) {
        // Ignored as above.
    }
}

void say(const LogAction &log, const std::string &message)
{
    if (log) {
        log(message);
    }
}

} // namespace

bool isHeld(const fs::path &lockFile)
{
    const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // releases the probe's own lock, if it got one
    return held;
}

Outcome acquire(const fs::path &lockFile, double gracefulWait, double forcedWait, const TerminateAction &terminate,
                const LogAction &log)
{
    std::error_code ignored;
    if (lockFile.has_parent_path()) {
        fs::create_directories(lockFile.parent_path(), ignored);
    }
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Outcome::failed("could not open " + lockFile.string() + ": errno " + std::to_string(errno));
    }
    // On success the descriptor stays open for the life of the process: closing it would
    // release the lock.
    if (tryLock(fd)) {
        recordHolder(fd);
        return Outcome::acquired();
    }

    const std::optional<int32_t> holder = readHolderPID(fd);
    if (holder && *holder >= 2 && *holder != static_cast<int32_t>(::getpid()) && runsThisProgram(*holder)) {
        const int32_t pid = *holder;
        say(log, "Another service instance (pid " + std::to_string(pid) + ") holds the lock; evicting");
        if (terminate) {
            terminate(pid, SIGTERM);
        }
        if (waitForLock(fd, gracefulWait)) {
            recordHolder(fd);
            return Outcome::acquiredAfterEvicting(pid);
        }
        say(log, "Instance pid " + std::to_string(pid) + " ignored SIGTERM; escalating to SIGKILL");
        // The holder may have gone and its id been taken by another program meanwhile.
        if (terminate && runsThisProgram(pid)) {
            terminate(pid, SIGKILL);
        }
        if (waitForLock(fd, forcedWait)) {
            recordHolder(fd);
            return Outcome::acquiredAfterEvicting(pid);
        }
        ::close(fd);
        return Outcome::failed("instance pid " + std::to_string(pid) + " would not release the lock");
    }

    if (waitForLock(fd, forcedWait)) {
        recordHolder(fd);
        return Outcome::acquired();
    }
    ::close(fd);
    return Outcome::failed("lock held by unidentifiable process");
}

} // namespace ServiceSingleInstance

} // namespace tidewell
