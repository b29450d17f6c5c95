#pragma once
// The 100 ms tick the three helper programs share after start-up: live controls, the adaptive
// target fill, the 30 s status line and the run duration. The tick works on a view of the
// program's ring counters, so the capture helpers' ring and the monitor's ring both use it.

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "TidewellStream/TidewellAdaptiveFill.h"
#include "TidewellStream/TidewellControlReader.h"

struct TidewellHelperRingCounters {
    const std::atomic<uint64_t>* readPosition;
    const std::atomic<uint64_t>* writePosition;
    const std::atomic<uint64_t>* captured;
    const std::atomic<uint64_t>* rendered;
    const std::atomic<uint64_t>* dropped;
    const std::atomic<uint64_t>* underrun;
    std::atomic<uint32_t>* targetFill;
    const std::atomic<uint64_t>* explainedUnderrun;   // may be null: every underrun counts
    const std::atomic<uint64_t>* stepCorrections;     // may be null
};

struct TidewellHelperLoop {
    TidewellHelperRingCounters counters;
    TidewellAdaptiveFill adaptiveFill;
    double durationSeconds;
    uint64_t ticks;
    uint64_t previousCaptured;
    uint64_t previousUnderrun;
    uint64_t previousExplained;
    uint64_t heldUnderrun;        // underrun frames of the last tick still waiting for an explanation
    bool printedStatus;
    uint64_t statusDropped;
    uint64_t statusUnderrun;
    uint64_t statusTargetFill;
};

inline constexpr uint64_t kTidewellStatusTicks = 300;   // 30 s of 100 ms ticks
inline constexpr uint32_t kTidewellTickMicroseconds = 100000;

// Initialises the adaptive fill from a configuration already read from the environment and sets
// the ring's target fill to its rounded starting target; returns that unrounded target.
double TidewellHelperLoopInit(TidewellHelperLoop* loop, const TidewellHelperRingCounters& counters,
                              const TidewellAdaptiveFillConfig* config, double durationSeconds);

// A side of the ring starts again, on a new device or at a new rate (see TidewellDeviceFollower.h):
// the adaptive fill starts again from its starting target, with its warm-up, since the underruns
// of a ring that is being aligned afresh say nothing about the fill the stream needs; the ring
// gets the starting target.
void TidewellHelperLoopRestartFill(TidewellHelperLoop* loop);

// Live controls: polls an open reader and applies new values to the gain and `channelCount` channel
// gains (each stored whole, for the audio threads); a closed reader is opened again when ownerID
// is set (the next tick polls it). Returns true when new values were applied.
bool TidewellHelperPollControls(TidewellControlReader* reader, const char* ownerID, std::atomic<float>* gain,
                                float* channelGains, uint32_t channelCount);

// Adaptive fill, when enabled: underruns count only while the input moves, and not those a lost
// input cycle explains (the writer learns of the loss at its next cycle, so an underrun waits one
// tick for its explanation before it counts); the rounded target is stored when it changes. The
// previous counters are remembered either way.
void TidewellHelperLoopAdvanceFill(TidewellHelperLoop* loop);

// Counts the tick; every 300th tick prints the status line to `out` when dropped, underrun or the
// target fill changed since the last line (the first chance always prints). True when printed.
bool TidewellHelperLoopCountTick(TidewellHelperLoop* loop, FILE* out);

// True when the run duration has passed.
bool TidewellHelperLoopDurationElapsed(const TidewellHelperLoop* loop);

// The end of every main-loop tick: advances the adaptive fill, counts the tick (printing the
// status line to `out` when due) and returns true when the run duration has passed.
bool TidewellHelperLoopEndTick(TidewellHelperLoop* loop, FILE* out);

// The helper's last lines: "Ring alignment steps: N." (the times the rate control moved the ring
// at once after its first alignment, for a lost cycle or a new target: 0 in a clean run), then
// "Stopped <what>.
// captured=... rendered=... dropped=... underrun=...", flushed.
void TidewellHelperPrintStopped(FILE* out, const char* what, uint64_t captured, uint64_t rendered,
                                uint64_t dropped, uint64_t underrun, uint64_t steps);
