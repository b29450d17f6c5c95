// Starting a helper program so that it cannot outlive the process that started it: the
// service's helpers and the application's own helpers both start through here.
#pragma once

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tidewell {

namespace ProcessSpawn {

using Environment = std::map<std::string, std::string>;

// The signal a helper receives when the thread that started it ends (the process dies, or a
// short-lived thread started it: start helpers from a thread that lives as long as the
// process, such as the main thread).
inline constexpr int parentDeathSignal = SIGTERM;

// Starts `executable` with argv = { executable, arguments... } and exactly `environment`. The
// working directory and the standard streams are inherited; the child begins with every signal
// at its default disposition and nothing blocked, and receives parentDeathSignal when its
// starter dies. A child whose starter has already died by the time it arms that signal ends
// at once without running the program. Returns the child's id, or -1 with `error` set to a
// description when the program cannot be started (a missing or non-executable file
// included); a started child must be reaped by the caller.
pid_t spawn(const std::filesystem::path &executable, const std::vector<std::string> &arguments,
            const Environment &environment, std::string &error);

// The child's side of the above, for programs that fork by other means (the application's
// process objects): call it in the child after the fork and before exec, with the starter's
// id taken before the fork. Resets every signal to its default disposition, unblocks them,
// arms parentDeathSignal, and ends the child at once (status 127) when the starter is
// already gone. Async-signal-safe. Returns 0, or the errno of a failure to arm the signal.
int prepareChild(pid_t starter);

} // namespace ProcessSpawn

} // namespace tidewell
