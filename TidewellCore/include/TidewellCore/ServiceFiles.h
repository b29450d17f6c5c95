// The service's health and identity files: the heartbeat it touches on every pass, the
// build marker the application writes when it installs the service, and the lock that keeps
// one service instance per user.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tidewell {

namespace ServiceHeartbeat {

using Clock = std::chrono::system_clock;

// A beat older than this means the service is not responding.
inline constexpr std::chrono::duration<double> staleAfter{10.0};

// Creates the file (and its folder) when missing and sets its modification date to `now`.
// Never fails: file-system errors are ignored.
void beat(const std::filesystem::path &file, Clock::time_point now = Clock::now());

// The file's modification date, or nothing when it cannot be read.
std::optional<Clock::time_point> lastBeat(const std::filesystem::path &file);

// True when a last beat exists and `now` is at most `staleAfter` after it.
bool isFresh(const std::filesystem::path &file, Clock::time_point now = Clock::now());

} // namespace ServiceHeartbeat

namespace ServiceInstallMarker {

// The recorded build, trimmed; nothing when the file is missing, unreadable, not UTF-8 or blank.
std::optional<std::string> read(const std::filesystem::path &file);

// Writes build + "\n" atomically, creating the folder first. Throws the file system's error.
void write(const std::string &build, const std::filesystem::path &file);

// Removes the marker; errors (such as no file) are ignored.
void remove(const std::filesystem::path &file);

bool needsReinstall(const std::optional<std::string> &installedBuild, const std::optional<std::string> &bundledBuild);

} // namespace ServiceInstallMarker

namespace ServiceSingleInstance {

struct Outcome {
    enum class Kind { acquired, acquiredAfterEvicting, failed };

    Kind kind = Kind::acquired;
    int32_t evictedPID = 0; // acquiredAfterEvicting only
    std::string message;    // failed only

    static Outcome acquired() { return {Kind::acquired, 0, {}}; }
    static Outcome acquiredAfterEvicting(int32_t pid) { return {Kind::acquiredAfterEvicting, pid, {}}; }
    static Outcome failed(std::string message) { return {Kind::failed, 0, std::move(message)}; }

    bool operator==(const Outcome &) const = default;
};

using TerminateAction = std::function<void(int32_t pid, int32_t signal)>;
using LogAction = std::function<void(const std::string &message)>;

// Sends `signal` to `pid` with kill(2), ignoring failures.
void sendSignal(int32_t pid, int32_t signal);

// Takes the exclusive lock on `lockFile` and records this process's id in it. A live holder
// that is running this same program is asked to stop (SIGTERM, then SIGKILL after
// `gracefulWait` seconds); any other holder is waited for up to `forcedWait` seconds and
// never signalled. On success the lock is held until the process ends.
Outcome acquire(const std::filesystem::path &lockFile, double gracefulWait, double forcedWait,
                const TerminateAction &terminate = sendSignal, const LogAction &log = {});

// True while some process holds the lock on `lockFile`: a service instance runs. A missing or
// unreadable file is no holder. The lock is only probed: taken and let go at once when free.
bool isHeld(const std::filesystem::path &lockFile);

} // namespace ServiceSingleInstance

} // namespace tidewell
