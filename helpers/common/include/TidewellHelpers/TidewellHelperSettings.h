#pragma once
// The environment rules of the three helper programs beyond the stream library's route, gain and
// buffer-frame parsing: run durations, starting gains, switches, process ids, channel counts and
// back-end spellings. Every function reads the environment at the moment it is called.

#include <cstdint>

// Executable names of the helper programs.
inline constexpr const char* kTidewellProcessTapProgram = "tidewell-process-tap";
inline constexpr const char* kTidewellHardwareSourceProgram = "tidewell-hardware-source";
inline constexpr const char* kTidewellMonitorProgram = "tidewell-monitor";

// The value of a variable when it is set and not empty, else null.
const char* TidewellEnvValue(const char* variableName);

// Run duration in seconds: the first argument when present and not empty, else the variable when
// set and not empty, else 0; both read as decimal numbers from the start of the text. A value
// that is not finite counts as 0 (run until stopped).
double TidewellHelperDurationSeconds(int argc, char** argv, const char* variableName);

// True once `ticks` 100 ms ticks have covered a positive duration.
bool TidewellHelperDurationElapsed(double durationSeconds, uint64_t ticks);

// Starting source or monitor gain: 0.0 when the muted switch is on (the gain variable is then not
// read); 1.0 when the gain variable is unset or empty; otherwise its decimal number clamped to
// 0.0 to 2.0. A number that is not finite ("nan", "inf", "-inf", or one too large to read) counts
// as 1.0, like every other gain in the system, so it can never turn every sample into NaN.
float TidewellHelperStartingGain(const char* gainVariable, const char* mutedVariable);

// Output or input channel count: a text that is wholly a decimal number above 0 gives that
// number, anything else the device's count; then 0 becomes 2 and anything above 64 becomes 64.
// Digits beyond 32 bits do not wrap around into range: they count as a large number.
uint32_t TidewellResolveChannelCountText(const char* text, uint32_t deviceChannelCount);
uint32_t TidewellClampChannelCount(uint64_t count);

// TIDEWELL_TAP_MUTE_WHEN_CAPTURING: on for exactly "1", or for "true" in any case.
bool TidewellTapMuteWhenCapturing();

// TIDEWELL_TAP_MODE after its default ("system").
const char* TidewellTapModeText();
// A process id variable read as a decimal integer from the start of its text; 0 when unset, not a
// number, or outside 1 to the largest process id (values beyond 32 bits never wrap into range).
int32_t TidewellProcessIDFromEnvironment(const char* variableName);
// Application capture applies for the mode "pid" or "application", or any process id above 0.
bool TidewellTapIsApplicationCapture(const char* modeText, int32_t processID);

// The start-up watchdog's timeout in seconds: 30 when unset or empty, a negative value as 0 (off).
// Capped at one year, so counting its 100 ms checks can never overflow.
inline constexpr int64_t kTidewellTapDefaultStartupTimeout = 30;
inline constexpr int64_t kTidewellTapMaximumStartupTimeout = 365LL * 24 * 3600;
int64_t TidewellTapStartupTimeoutSeconds();

// True when the path's last component names one of the three helper programs (a deleted
// executable's " (deleted)" mark is ignored).
bool TidewellIsHelperExecutablePath(const char* path);

// Input back-ends of the hardware source. Spellings are compared exactly; "device" is not one of
// them and selects the automatic choice.
enum class TidewellSourceInputBackend : uint32_t { Auto = 0, AudioDevice = 1, AudioQueue = 2 };
TidewellSourceInputBackend TidewellSourceInputBackendFromText(const char* text);
const char* TidewellSourceInputBackendName(TidewellSourceInputBackend backend);

// Input back-ends of the monitor. Here "device" does select the device IO procedure.
enum class TidewellMonitorInputBackend : uint32_t { Auto = 0, AudioDevice = 1, AudioQueue = 2 };
TidewellMonitorInputBackend TidewellMonitorInputBackendFromText(const char* text);
const char* TidewellMonitorInputBackendName(TidewellMonitorInputBackend backend);

// The monitor's output back-end text: TIDEWELL_MONITOR_OUTPUT_BACKEND, else TIDEWELL_OUTPUT_BACKEND,
// else "audio-device" (the monitor asks for the device IO procedure, not the bridge's default).
const char* TidewellMonitorOutputBackendText();
