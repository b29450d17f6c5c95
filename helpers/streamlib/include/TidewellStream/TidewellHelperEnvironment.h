#pragma once
// The settings the service hands a helper in its environment: routes, per-channel gains,
// switches and the buffer frame count.

#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"

// Unset: the default routes 1 to 1 and 2 to 2. Set: "s:o" pairs joined by ",", both one-based;
// an empty value routes nothing. Pieces that are not a pair of non-zero numbers are skipped.
void ParseRoutes(TidewellRouteTable* routes, const char* variableName);
void SetDefaultRoutes(TidewellRouteTable* routes);
// Fills count gains: 1.0, then one decimal number per ","-separated piece, clamped. Piece k
// belongs to channel k+1 whatever the pieces before it hold: an empty piece leaves its channel at
// 1.0 ("1,,0.5" gives channel 3 the gain 0.5).
void ParseChannelGains(float* gains, uint32_t count, const char* variableName);
// 0.0 to 2.0; a value that is not finite counts as 1.0, like every gain in the system.
float ClampChannelGain(double value);
// True only for the exact words "1", "true", "yes" and "on".
bool EnvIsTruthy(const char* variableName);

inline constexpr uint32_t kTidewellDefaultBufferFrames = 192;
inline constexpr uint32_t kTidewellMinimumBufferFrames = 64;
inline constexpr uint32_t kTidewellMaximumBufferFrames = 4096;
// The program's own variable when set and not empty, else TIDEWELL_BUFFER_FRAMES; a whole decimal
// number from 64 to 4096 is taken, anything else gives 192.
uint32_t TidewellBufferFramesFromEnvironment(const char* programVariableName);
