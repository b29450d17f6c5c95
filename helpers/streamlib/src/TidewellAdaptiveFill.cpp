#include "TidewellStream/TidewellAdaptiveFill.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace {

constexpr double kEngineFramesPerMillisecond = 48000.0 / 1000.0;

// The first of prefix + suffix and "TIDEWELL" + suffix that is set and not empty.
const char* LookUp(const char* prefix, const char* suffix) {
    char name[128];
    if (prefix != nullptr) {
        const int length = std::snprintf(name, sizeof name, "%s%s", prefix, suffix);
        if (length >= 0 && static_cast<size_t>(length) < sizeof name) {
            const char* value = std::getenv(name);
            if (value != nullptr && value[0] != '\0') {
                return value;
            }
        }
    }
    std::snprintf(name, sizeof name, "TIDEWELL%s", suffix);
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// Milliseconds read from the start of the text, clamped, as frames; nothing when no number.
bool ReadMilliseconds(const char* text, double low, double high, double* frames) {
    if (text == nullptr) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value)) {
        return false;
    }
    *frames = std::clamp(value, low, high) * kEngineFramesPerMillisecond;
    return true;
}

}  // namespace

void TidewellAdaptiveFillConfigInit(TidewellAdaptiveFillConfig* config, double minimumFill, double growStep,
                                    double shrinkStep) {
    if (config == nullptr) {
        return;
    }
    const double minimum = std::max(minimumFill, 1.0);
    *config = TidewellAdaptiveFillConfig{
        .enabled = true,
        .minimumFill = minimum,
        .floor = minimum,
        .maximum = std::max(960.0, minimum),
        .growStep = std::max(growStep, 1.0),
        .shrinkStep = std::max(shrinkStep, 1.0),
        .warmUp = 3.0,
        .quietTime = 60.0,
        .shrinkInterval = 15.0,
    };
}

void TidewellAdaptiveFillConfigApplyEnvironment(TidewellAdaptiveFillConfig* config, const char* prefix) {
    if (config == nullptr) {
        return;
    }
    if (const char* value = LookUp(prefix, "_ADAPTIVE_FILL")) {
        if (strcasecmp(value, "0") == 0 || strcasecmp(value, "false") == 0 || strcasecmp(value, "no") == 0 ||
            strcasecmp(value, "off") == 0) {
            config->enabled = false;
        }
    }
    ReadMilliseconds(LookUp(prefix, "_ADAPTIVE_FILL_MAX_MS"), 5.0, 1000.0, &config->maximum);
    ReadMilliseconds(LookUp(prefix, "_ADAPTIVE_FILL_FLOOR_MS"), 1.0, 1000.0, &config->floor);
    config->floor = std::max(config->floor, config->minimumFill);
    config->maximum = std::max(config->maximum, config->floor);
}

void TidewellAdaptiveFillInit(TidewellAdaptiveFill* state, const TidewellAdaptiveFillConfig* config) {
    if (state == nullptr || config == nullptr) {
        return;
    }
    *state = TidewellAdaptiveFill{
        .config = *config,
        .target = config->floor,
        .clock = 0.0,
        .lastUnderrun = 0.0,
        .lastShrink = 0.0,
    };
}

double TidewellAdaptiveFillAdvance(TidewellAdaptiveFill* state, double underruns, double elapsedSeconds) {
    if (state == nullptr) {
        return 0.0;
    }
    const TidewellAdaptiveFillConfig& config = state->config;
    if (!config.enabled) {
        return config.floor;
    }
    if (std::isfinite(elapsedSeconds) && elapsedSeconds > 0.0) {
        state->clock += elapsedSeconds;
    }
    if (std::isfinite(underruns) && underruns > 0.0) {
        state->lastUnderrun = state->clock;
        if (state->clock >= config.warmUp) {
            state->target = std::min(state->target + std::max(underruns, config.growStep), config.maximum);
        }
    } else if (state->target > config.floor &&
               state->clock - std::max(state->lastUnderrun, config.warmUp) >= config.quietTime &&
               state->clock - state->lastShrink >= config.shrinkInterval) {
        state->target = std::max(state->target - config.shrinkStep, config.floor);
        state->lastShrink = state->clock;
    }
    return state->target;
}
