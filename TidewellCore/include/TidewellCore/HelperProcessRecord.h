// The record of the helper processes a program has started, kept in a file so that the next
// instance of the program can end any helper the previous one left behind when it was killed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tidewell {

namespace HelperProcessRecord {

// One started helper: its id, when it started (clock ticks since boot) and the program it
// runs (symbolic links resolved).
struct Entry {
    std::int32_t pid = 0;
    std::uint64_t startTime = 0;
    std::string executable;

    bool operator==(const Entry &) const = default;
};

using LogAction = std::function<void(const std::string &message)>;

// The entry for a live process started from `executable`; nothing when it has already ended.
std::optional<Entry> describe(pid_t pid, const std::filesystem::path &executable);

// True while the process the entry names still runs: same id, same start time, same program.
bool isRunning(const Entry &entry);

// Replaces the file's contents with these entries, atomically (folder created when missing);
// false when the file could not be written.
bool write(const std::filesystem::path &file, const std::vector<Entry> &entries);

// The recorded entries; a missing file or a damaged line gives none (for that line).
std::vector<Entry> read(const std::filesystem::path &file);

// Ends every recorded helper that still runs: SIGTERM, then SIGKILL to those still running
// after `grace`, and waits (up to two more seconds) for them to be gone. A recorded id now
// used by another process, or by the same program started later, is never signalled.
// Returns the entries that were found running. The file itself is left as it is.
std::vector<Entry> endLeftovers(const std::filesystem::path &file, std::chrono::duration<double> grace,
                                const LogAction &log = {});

} // namespace HelperProcessRecord

} // namespace tidewell
