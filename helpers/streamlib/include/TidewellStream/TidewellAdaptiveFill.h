#pragma once
// How many frames a helper ring should hold: starts at a floor, grows at once when playback runs
// dry, and shrinks back step by step after a long quiet spell. Fills are frames at 48000 Hz,
// times are seconds. Plain value records owned by a helper's main thread.

struct TidewellAdaptiveFillConfig {
    bool enabled;
    double minimumFill;
    double floor;
    double maximum;
    double growStep;
    double shrinkStep;
    double warmUp;
    double quietTime;
    double shrinkInterval;
};

struct TidewellAdaptiveFill {
    TidewellAdaptiveFillConfig config;
    double target;
    double clock;
    double lastUnderrun;
    double lastShrink;
};

void TidewellAdaptiveFillConfigInit(TidewellAdaptiveFillConfig* config, double minimumFill, double growStep,
                                    double shrinkStep);
// prefix is the program's variable prefix ("TIDEWELL_TAP", "TIDEWELL_SOURCE", "TIDEWELL_MONITOR");
// each override is looked up under it first and then under the shared "TIDEWELL" prefix.
void TidewellAdaptiveFillConfigApplyEnvironment(TidewellAdaptiveFillConfig* config, const char* prefix);
void TidewellAdaptiveFillInit(TidewellAdaptiveFill* state, const TidewellAdaptiveFillConfig* config);
// underruns: how much underrun was seen since the previous call (0 for none).
double TidewellAdaptiveFillAdvance(TidewellAdaptiveFill* state, double underruns, double elapsedSeconds);
