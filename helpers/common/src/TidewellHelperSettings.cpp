#include "TidewellHelpers/TidewellHelperSettings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "TidewellStream/TidewellHelperEnvironment.h"

namespace {

bool Equals(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// A signed decimal integer from the start of text (optional white space and sign), saturated to
// the 64-bit range; false when no digit follows.
bool ReadLeadingInteger(const char* text, int64_t* value) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    int64_t number = 0;
    constexpr int64_t kLimit = INT64_MAX / 10 - 1;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (number < kLimit) {
            number = number * 10 + (*p - '0');
        } else {
            number = INT64_MAX / 2;   // saturated: far beyond any value a caller accepts
        }
        ++p;
    }
    *value = negative ? -number : number;
    return true;
}

}  // namespace

const char* TidewellEnvValue(const char* variableName) {
    const char* value = variableName != nullptr ? std::getenv(variableName) : nullptr;
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

double TidewellHelperDurationSeconds(int argc, char** argv, const char* variableName) {
    const char* text = nullptr;
    if (argc > 1 && argv != nullptr && argv[1] != nullptr && argv[1][0] != '\0') {
        text = argv[1];
    } else {
        text = TidewellEnvValue(variableName);
    }
    if (text == nullptr) {
        return 0.0;
    }
    const double seconds = std::strtod(text, nullptr);
    return std::isfinite(seconds) ? seconds : 0.0;
}

bool TidewellHelperDurationElapsed(double durationSeconds, uint64_t ticks) {
    // Floating division: 2.5 s ends after 25 ticks, not 30.
    return durationSeconds > 0.0 && static_cast<double>(ticks) / 10.0 >= durationSeconds;
}

float TidewellHelperStartingGain(const char* gainVariable, const char* mutedVariable) {
    if (EnvIsTruthy(mutedVariable)) {
        return 0.0f;
    }
    const char* text = TidewellEnvValue(gainVariable);
    if (text == nullptr) {
        return 1.0f;
    }
    // Text that is not a number reads as 0; "inf", "-inf" and "nan" count as 1.0.
    return ClampChannelGain(std::strtod(text, nullptr));
}

uint32_t TidewellClampChannelCount(uint64_t count) {
    if (count == 0) {
        return 2;
    }
    return count > 64 ? 64u : static_cast<uint32_t>(count);
}

uint32_t TidewellResolveChannelCountText(const char* text, uint32_t deviceChannelCount) {
    uint64_t number = 0;
    bool whole = text != nullptr && *text != '\0';
    if (whole) {
        for (const char* p = text; *p != '\0'; ++p) {
            if (!std::isdigit(static_cast<unsigned char>(*p))) {
                whole = false;
                break;
            }
            if (number <= UINT32_MAX) {   // beyond that it only has to stay "large"
                number = number * 10 + static_cast<uint64_t>(*p - '0');
            }
        }
    }
    return TidewellClampChannelCount(whole && number > 0 ? number : deviceChannelCount);
}

bool TidewellTapMuteWhenCapturing() {
    const char* value = std::getenv("TIDEWELL_TAP_MUTE_WHEN_CAPTURING");
    return value != nullptr && (Equals(value, "1") || strcasecmp(value, "true") == 0);
}

const char* TidewellTapModeText() {
    const char* mode = TidewellEnvValue("TIDEWELL_TAP_MODE");
    return mode != nullptr ? mode : "system";
}

int32_t TidewellProcessIDFromEnvironment(const char* variableName) {
    const char* text = TidewellEnvValue(variableName);
    int64_t value = 0;
    if (text == nullptr || !ReadLeadingInteger(text, &value)) {
        return 0;
    }
    // Linux never hands out ids above 2^22; anything past 32 bits is surely not a process.
    return (value > 0 && value <= INT32_MAX) ? static_cast<int32_t>(value) : 0;
}

bool TidewellTapIsApplicationCapture(const char* modeText, int32_t processID) {
    if (processID > 0) {
        return true;
    }
    return modeText != nullptr && (Equals(modeText, "pid") || Equals(modeText, "application"));
}

int64_t TidewellTapStartupTimeoutSeconds() {
    const char* text = TidewellEnvValue("TIDEWELL_TAP_STARTUP_TIMEOUT");
    if (text == nullptr) {
        return kTidewellTapDefaultStartupTimeout;
    }
    int64_t seconds = 0;
    if (!ReadLeadingInteger(text, &seconds) || seconds <= 0) {
        return 0;
    }
    return seconds > kTidewellTapMaximumStartupTimeout ? kTidewellTapMaximumStartupTimeout : seconds;
}

bool TidewellIsHelperExecutablePath(const char* path) {
    if (path == nullptr) {
        return false;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    size_t length = std::strlen(name);
    static constexpr char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLength = sizeof(kDeleted) - 1;
    if (length > kDeletedLength && std::strcmp(name + length - kDeletedLength, kDeleted) == 0) {
        length -= kDeletedLength;
    }
    for (const char* program : {kTidewellProcessTapProgram, kTidewellHardwareSourceProgram, kTidewellMonitorProgram}) {
        if (std::strlen(program) == length && std::strncmp(name, program, length) == 0) {
            return true;
        }
    }
    return false;
}

TidewellSourceInputBackend TidewellSourceInputBackendFromText(const char* text) {
    if (text == nullptr) {
        return TidewellSourceInputBackend::Auto;
    }
    for (const char* s : {"audio-device", "audio_device", "io-proc", "ioproc", "hal"}) {
        if (Equals(text, s)) {
            return TidewellSourceInputBackend::AudioDevice;
        }
    }
    for (const char* s : {"audio-queue", "audio_queue", "aq", "queue"}) {
        if (Equals(text, s)) {
            return TidewellSourceInputBackend::AudioQueue;
        }
    }
    return TidewellSourceInputBackend::Auto;
}

const char* TidewellSourceInputBackendName(TidewellSourceInputBackend backend) {
    switch (backend) {
    case TidewellSourceInputBackend::AudioDevice:
        return "audio-device";
    case TidewellSourceInputBackend::AudioQueue:
        return "audio-queue";
    case TidewellSourceInputBackend::Auto:
        break;
    }
    return "auto";
}

TidewellMonitorInputBackend TidewellMonitorInputBackendFromText(const char* text) {
    if (text == nullptr) {
        return TidewellMonitorInputBackend::Auto;
    }
    for (const char* s : {"audio-device", "audio_device", "device", "io-proc", "ioproc", "hal"}) {
        if (Equals(text, s)) {
            return TidewellMonitorInputBackend::AudioDevice;
        }
    }
    for (const char* s : {"audio-queue", "audio_queue", "aq", "queue"}) {
        if (Equals(text, s)) {
            return TidewellMonitorInputBackend::AudioQueue;
        }
    }
    return TidewellMonitorInputBackend::Auto;
}

const char* TidewellMonitorInputBackendName(TidewellMonitorInputBackend backend) {
    switch (backend) {
    case TidewellMonitorInputBackend::AudioDevice:
        return "audio-device";
    case TidewellMonitorInputBackend::AudioQueue:
        return "audio-queue";
    case TidewellMonitorInputBackend::Auto:
        break;
    }
    return "auto";
}

const char* TidewellMonitorOutputBackendText() {
    const char* text = TidewellEnvValue("TIDEWELL_MONITOR_OUTPUT_BACKEND");
    if (text == nullptr) {
        text = TidewellEnvValue("TIDEWELL_OUTPUT_BACKEND");
    }
    return text != nullptr ? text : "audio-device";
}
