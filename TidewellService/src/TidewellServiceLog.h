#pragma once
// The service's one log: every message becomes "[" + UTC time + "] " + message on standard
// output, flushed at once. The launch agent sends standard output to the service's log file,
// which the helpers share, so each line goes out in a single write.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tidewell::TidewellServiceLog {

// "[2026-12-09T04:39:11Z] message" (no newline). Whole seconds, UTC.
std::string formatLine(std::string_view message, std::chrono::system_clock::time_point time);

// Writes one line; safe from any thread.
void write(std::string_view message);

// While set, every message is handed to the observer as well as written (tests read the log
// through it). Pass an empty function to remove it.
using Observer = std::function<void(const std::string& message)>;
void setObserver(Observer observer);

}  // namespace tidewell::TidewellServiceLog
