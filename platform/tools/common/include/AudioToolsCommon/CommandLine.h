// What the audio tools share around their main(): the "--option VALUE" command line, the
// usage text, the "tool: message" failures with their exit statuses, and the stop signals.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tidewell::tools {

// Exit statuses: 1 for a run that failed, 2 for a command line the tool cannot read.
inline constexpr int kToolFailed = 1;
inline constexpr int kToolUsage = 2;

struct ToolCommand {
    const char* name;   // the prefix of every message, "audio-play"
    const char* usage;  // printed for --help and for a command line the tool cannot read

    // Prints the usage text to stderr and returns kToolUsage.
    int usageError() const;
    // Prints "name: message" to stderr and returns kToolFailed.
    int fail(const std::string& message) const;
    // Prints "name: message" to stderr and returns kToolUsage.
    int badArgument(const std::string& message) const;

    // Called for each option with its value: nullopt to go on, else the exit status that
    // ends the run (usageError() for an option the tool does not know).
    using OptionHandler = std::function<std::optional<int>(const std::string& option, const char* value)>;

    // Reads argv[1..] as option/value pairs. Returns nullopt when every pair was taken,
    // else the exit status: 0 after printing the usage for "--help" or "-h" (where an
    // option stands, not as a value), kToolUsage for an option without a value, or what
    // the handler returned.
    std::optional<int> parse(int argc, char** argv, const OptionHandler& handle) const;
};

// Makes SIGINT and SIGTERM ask the tool to stop instead of ending the process.
void installStopSignals();
// True once one of those signals has arrived.
bool stopRequested();

}  // namespace tidewell::tools
