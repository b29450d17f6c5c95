#pragma once
// The process tap's start-up watchdog: when start-up has not completed within
// TIDEWELL_TAP_STARTUP_TIMEOUT seconds (a permission prompt nobody answers, a server that never
// replies), the process ends at once with status 124.

#include <atomic>
#include <cstdint>

inline constexpr int kTidewellTapStartupTimeoutExitCode = 124;

// Set with release order once the tap's IO procedure has started.
extern std::atomic<bool> gTapStartupComplete;

// The thread body: reads the timeout, checks the flag every 100 ms timeout x 10 times, then reports
// and ends the process with 124 without any clean-up.
void* StartupWatchdog(void* argument);
// Starts it on a detached thread; false (start-up goes on without it) when that fails.
bool StartStartupWatchdog();
