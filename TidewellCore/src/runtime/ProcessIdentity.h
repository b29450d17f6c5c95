#pragma once
// What identifies a running process across time: the program it runs and the moment it
// started. A process id alone may have been handed to an unrelated program since it was noted.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tidewell::process_identity {

// The program a /proc entry ("/proc/self/exe", "/proc/PID/exe") runs; empty when unreadable
// (no such process, a zombie, no permission). A program replaced on disk while it runs (a
// reinstall) still counts as itself.
std::string executableAt(const std::string &procEntry);
std::string executableOf(pid_t pid);

// The process's start time in clock ticks since boot; nothing when it does not exist.
std::optional<std::uint64_t> startTimeOf(pid_t pid);

} // namespace tidewell::process_identity
