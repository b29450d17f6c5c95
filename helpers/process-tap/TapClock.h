#pragma once
// Choosing the device that clocks the tap's private aggregate, over facts the program reads from
// the audio server.

#include <AudioABI/AudioTypes.h>

#include <cstddef>
#include <cstdint>

struct TidewellClockCandidate {
    AudioObjectID device;
    bool hasOutputStreams;      // its output-scope stream list holds at least one stream
    bool transportReadable;
    uint32_t transportType;
    bool rateReadable;
    double nominalRate;
};

// Not 0, has output streams, and a readable transport type that is neither aggregate, automatic
// aggregate nor virtual.
bool IsPhysicalOutputDevice(const TidewellClockCandidate& candidate);
// A physical output device that is not Bluetooth and runs at 44100 Hz or more (an unreadable rate
// passes).
bool IsUsableClockDevice(const TidewellClockCandidate& candidate);
// Index of the first usable built-in device, else of the first usable device; `count` when none.
size_t FirstPhysicalOutputDevice(const TidewellClockCandidate* candidates, size_t count);
