#pragma once
// The monitor's writing side of the helper ring (the reader controls it): routed frames of the
// virtual device's input, no gain, from an IO procedure's buffer list or an input queue's
// interleaved buffer. The render side (OutputBridgeCallback) plays them with the monitor's gains.

#include <AudioABI/AudioTypes.h>

#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"

// Interleaved frames of the ring's source channels. Frames that do not fit are dropped and
// counted: the writer never moves the read position. `time` is the input cycle's time stamp
// (null: now).
void TidewellMonitorWrite(TidewellHelperRing* ring, const float* data, uint32_t frames,
                          const AudioTimeStamp* time = nullptr);
// The IO procedure's buffer list, read without leaving any buffer.
void TidewellMonitorWriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list,
                                    const AudioTimeStamp* time = nullptr);
