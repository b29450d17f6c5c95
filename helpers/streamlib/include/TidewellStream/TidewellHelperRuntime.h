#pragma once
// Process plumbing every helper program shares: the stop flag and its signal handler, the
// shutdown watchdog, and status-error printing.

#include <atomic>
#include <cstdint>

// 0 at start, 1 once a signal, the audio-server restart listener or another listener of the
// program asked the main loop to stop. It only ever goes from 0 to 1.
extern std::atomic<int> gStopRequested;

// For SIGINT and SIGTERM: sets the stop flag.
void SignalHandler(int signalNumber);

// Starts a detached thread that, after `seconds`, reports that the shutdown hung and ends the
// process with status 0 without any clean-up. Ending the process does not depend on the report
// getting out: a full output pipe or a stdio lock held by the hung thread cannot stop it.
void TidewellArmShutdownWatchdog(uint32_t seconds);
void* TidewellShutdownWatchdogMain(void* argument);

// "<what> failed: <status> ('<four characters>')" to standard error; when the status means
// that no audio server answers, a second line says so, with the socket and how to start one.
void PrintStatus(const char* what, int32_t status);
// Prints a non-zero status like PrintStatus and exits with status 1; 0 passes.
void Check(int32_t status, const char* what);
