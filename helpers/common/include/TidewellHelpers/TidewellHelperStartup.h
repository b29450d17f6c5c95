#pragma once
// The start-up and stop steps the three helper programs' mains share around their own devices:
// signals, routes, live controls and meter, the main-loop tick with its adaptive fill, the output
// back-end lines and the last line.

#include <cstddef>
#include <cstdint>

#include "TidewellHelpers/TidewellDeviceFollower.h"
#include "TidewellHelpers/TidewellHelperLoop.h"
#include "TidewellStream/TidewellControlReader.h"
#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellOutputBridge.h"

// SIGINT and SIGTERM request the stop; a restarted audio server does too.
void TidewellHelperInstallStopHandlers();

// The routes of the variable (see ParseRoutes) into the ring.
void TidewellHelperApplyRoutes(TidewellHelperRing* ring, const char* variableName);

// Live controls for the owner (when set): opened and applied once to the master gain and the
// first `gainChannels` channel gains; then the owner's meter region for `meterChannels` channels.
void TidewellHelperOpenControlsAndMeter(TidewellControlReader* controls, const char* ownerID, TidewellHelperRing* ring,
                                        uint32_t gainChannels, uint32_t meterChannels);

// The main-loop tick over the ring, its adaptive fill configured for the buffer frames and then
// from the environment under `prefix` (e.g. "TIDEWELL_SOURCE"); returns the unrounded starting
// target (the ring holds it rounded).
double TidewellHelperLoopStart(TidewellHelperLoop* loop, TidewellHelperRing* ring, uint32_t bufferFrames,
                               const char* prefix, double durationSeconds);

// Ticks every 100 ms, polling the live controls and following the devices (`followerCount` of
// them), until a stop is requested or the run duration has passed.
void TidewellHelperRunLoop(TidewellHelperLoop* loop, TidewellControlReader* controls, const char* ownerID,
                           TidewellHelperRing* ring, uint32_t gainChannels, TidewellDeviceFollower* followers = nullptr,
                           size_t followerCount = 0);

// The output bridge's configuration for a helper: the ring's render callback, fallback to the
// queue allowed, notices to standard error.
TidewellOutputBridgeConfig TidewellHelperBridgeConfig(const char* deviceUID, double sampleRate, uint32_t channels,
                                                      uint32_t bufferFrames, TidewellOutputBackend backend,
                                                      TidewellHelperRing* ring);

// "Output backend: ...", and for the audio queue "Output queue buffers: ...".
void TidewellHelperPrintOutputBackend(const TidewellOutputBridge* bridge);

// The last line ("Stopped <what>. ..." with the ring's counters); then the process has 2 s to
// finish stopping.
void TidewellHelperReportStopping(const char* what, const TidewellHelperRing* ring);
