#pragma once
// What the ring's storage (TidewellHelperRing.cpp) and its rate control
// (TidewellHelperRingControl.cpp) share.

#include "TidewellStream/TidewellHelperRing.h"

// A sample time further ahead than this many cycles is a new timeline, not lost cycles.
inline constexpr double kTidewellLargestCycleGap = 64.0;

// A point the other side published longer ago than this is no longer where it stands: it stopped
// (its device went away) or stalls. Every side publishes with each of its cycles, a tenth of a
// second apart at most.
inline constexpr uint64_t kTidewellSidePointStaleNanos = 500'000'000;

// Appends what fits and returns how many frames that was; the rest are counted as dropped.
uint64_t TidewellHelperRingAppendFrames(TidewellHelperRing* ring, const float* frames, uint64_t count);
// Appends up to count frames of silence, as many as fit; silence is no captured audio, so what
// does not fit is not counted as dropped.
void TidewellHelperRingAppendSilence(TidewellHelperRing* ring, uint64_t count);

// Writer side: `lost` ring frames of input never arrived. Takes the underrun the reader counted
// since the writer's last cycle, up to `underrun` (the reader's count as this side knows it),
// marks as much of it as the loss explains, and returns the silence still to write in the loss's
// place (the loss less what the reader already played).
uint64_t TidewellHelperRingSilenceForLoss(TidewellHelperRing* ring, uint64_t lost, uint64_t underrun);

// A cycle's time as the rate control takes it: the given one when it has a host time; otherwise
// now, with the given sample time when there is one.
TidewellBlockTime TidewellHelperRingTimeOrNow(const TidewellBlockTime* given);

// The render thread's cycle time (see TidewellOutputBridgeRenderTime), or now.
TidewellBlockTime TidewellHelperRingRenderTime();

// The controlling side's step for one of its cycles of `frames` frames at `time`: follows a resync
// and the target, counts the cycle on its own clock, steps the ring when the low-envelope fill
// says so and sets the resampler's ratio from the two clocks and the fill trim.
void TidewellHelperRingControlCycle(TidewellHelperRing* ring, uint32_t frames, const TidewellBlockTime& time);
