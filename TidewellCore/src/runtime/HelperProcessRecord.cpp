#include "TidewellCore/HelperProcessRecord.h"

#include "runtime/ProcessIdentity.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace tidewell {

namespace HelperProcessRecord {

namespace fs = std::filesystem;

namespace {

// A recorded helper being ended, held by a process descriptor where the kernel offers one:
// once opened, it names that one process even if its id is reused later.
struct Target {
    Entry entry;
    int pidfd = -1;
};

int openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool stillRunning(const Target &target)
{
    if (target.pidfd >= 0) {
        // Readable once the process has ended.
        pollfd entry{target.pidfd, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 0;
    }
    return isRunning(target.entry);
}

void sendSignal(const Target &target, int signal)
{
#ifdef SYS_pidfd_send_signal
    if (target.pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, target.pidfd, signal, nullptr, 0);
        return;
    }
#endif
    if (isRunning(target.entry)) {
        ::kill(target.entry.pid, signal);
    }
}

// True when every target has ended within the time.
bool waitForAll(const std::vector<Target> &targets, std::chrono::duration<double> limit)
{
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    for (;;) {
        bool running = false;
        for (const auto &target : targets) {
            running = running || stillRunning(target);
        }
        if (!running) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void say(const LogAction &log, const std::string &message)
{
    if (log) {
        log(message);
    }
}

} // namespace

std::optional<Entry> describe(pid_t pid, const fs::path &executable)
{
    auto startTime = process_identity::startTimeOf(pid);
    if (!startTime) {
        return std::nullopt;
    }
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(executable, error);
    if (error) {
        resolved = executable;
    }
    return Entry{static_cast<std::int32_t>(pid), *startTime, resolved.string()};
}

bool isRunning(const Entry &entry)
{
    if (entry.pid < 2) {
        return false;
    }
    auto startTime = process_identity::startTimeOf(entry.pid);
    return startTime && *startTime == entry.startTime &&
           process_identity::executableOf(entry.pid) == entry.executable;
}

bool write(const fs::path &file, const std::vector<Entry> &entries)
{
    std::error_code error;
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path(), error);
    }
    // Only one instance writes its record (it holds the instance lock), so one fixed temporary
    // name is enough, and a write cut short leaves no more than that one file behind.
    fs::path temporary = file;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const auto &entry : entries) {
            out << entry.pid << ' ' << entry.startTime << ' ' << entry.executable << '\n';
        }
        out.flush();
        if (!out) {
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::rename(temporary, file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

std::vector<Entry> read(const fs::path &file)
{
    std::vector<Entry> entries;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Entry entry;
        if (!(fields >> entry.pid >> entry.startTime)) {
            continue;
        }
        // The program's path is the rest of the line after one blank; it may hold blanks.
        std::string rest;
        std::getline(fields, rest);
        if (rest.size() < 2 || rest.front() != ' ') {
            continue;
        }
        entry.executable = rest.substr(1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<Entry> endLeftovers(const fs::path &file, std::chrono::duration<double> grace, const LogAction &log)
{
    std::vector<Target> targets;
    for (const auto &entry : read(file)) {
        if (entry.pid < 2 || entry.pid == static_cast<std::int32_t>(::getpid())) {
            continue;
        }
        Target target{entry, openPidfd(entry.pid)};
        if (target.pidfd < 0 && errno == ESRCH) {
            continue; // long gone
        }
        // Checked after the descriptor is open: it then names the very process checked (or one
        // that has ended, which no signal reaches).
        if (!isRunning(entry)) {
            if (target.pidfd >= 0) {
                ::close(target.pidfd);
            }
            continue;
        }
        say(log, "Ending helper pid " + std::to_string(entry.pid) + " (" + entry.executable +
                     ") left running by an earlier instance");
        sendSignal(target, SIGTERM);
        targets.push_back(std::move(target));
    }
    if (!waitForAll(targets, grace)) {
        for (const auto &target : targets) {
            if (!stillRunning(target)) {
                continue;
            }
            auto seconds = static_cast<long long>(grace.count());
            say(log, "Helper pid " + std::to_string(target.entry.pid) + " did not exit " + std::to_string(seconds) +
                         " s after SIGTERM; killing it");
            sendSignal(target, SIGKILL);
        }
        if (!waitForAll(targets, std::chrono::seconds(2))) {
            say(log, "A helper left by an earlier instance is still running after SIGKILL");
        }
    }
    std::vector<Entry> ended;
    for (auto &target : targets) {
        if (target.pidfd >= 0) {
            ::close(target.pidfd);
        }
        ended.push_back(std::move(target.entry));
    }
    return ended;
}

} // namespace HelperProcessRecord

} // namespace tidewell
