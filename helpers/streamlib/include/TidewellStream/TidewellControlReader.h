// Control regions: a helper polls its source's or monitor's region for live gain, mute
// and channel gains, written by the service and the application.
#pragma once

#include <cstdint>

struct TidewellControlReader {
    const void *mapping;    // the region's first 4096 bytes, read-only; null when closed
    int32_t descriptor;     // -1 when closed
    uint32_t lastSequence;  // sequence of the last accepted copy, 0 at open
};

struct TidewellControlState {
    float gain;                 // 0 to 2
    bool muted;
    uint32_t channelGainCount;  // at most 64
    float channelGains[64];     // each 0 to 2
};

// Maps the owner's control region read-only. Never creates it: false when it does not
// exist yet (or is not the user's own, or others may write it, or it is shorter than its
// layout, or cannot be mapped), the reader left closed.
bool TidewellControlReaderOpen(TidewellControlReader *reader, const char *ownerID);

// True when values newer than the last accepted copy were read into `state`. False when
// nothing changed, the writer stayed busy through 4 attempts, the region is not a valid
// control region, or it has become shorter than its layout or stopped being the user's own.
bool TidewellControlReaderPoll(TidewellControlReader *reader, TidewellControlState *state);

// The effective gain (0 when muted) and the first min(channelCount, 64) channel gains.
// Either output may be null.
void TidewellControlApply(const TidewellControlState *state, float *outGain, float *outChannelGains,
                          uint32_t channelCount);

void TidewellControlReaderClose(TidewellControlReader *reader);

// A non-finite gain counts as 1; anything else is clamped to 0..2 (-0 gives 0).
float TidewellControlClampGain(float value);
