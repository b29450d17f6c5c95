#pragma once
// A helper follows the device it runs on by UID. A virtual device goes when the runtime region
// stops listing it and comes back, under new object ids, when the region lists it again; nothing
// that ran on the old device ever runs again. The follower tells the helper's main loop, on its
// tick, when the device listed under the UID is no longer the one its side runs on: the side is
// stopped there, and started again on the device that is listed now, as soon as there is one.

#include <AudioClient/AudioHardware.h>

#include <atomic>
#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellOutputBridge.h"

// The helper's side on the followed device (its output bridge, or its input).
struct TidewellFollowedSide {
    void (*stop)(void* context);                          // stops it on the device it ran on
    bool (*start)(void* context, AudioObjectID device);   // starts it on this one; true when it runs
    void* context;
};

struct TidewellDeviceFollower {
    const char* uid;
    AudioObjectID device;            // the side runs on it; kAudioObjectUnknown while on none
    std::atomic<bool> listChanged;   // set by the device-list listener
    bool listening;
    AudioObjectID failedDevice;      // the last device a start failed on
    uint32_t retryTicks;             // ticks to wait before that device is tried again
    uint32_t retryDelay;             // ticks, doubling with each failure on the same device
};

// Follows the UID from the device the side runs on now, listening to the system's device list.
void TidewellDeviceFollowerStart(TidewellDeviceFollower* follower, const char* uid, AudioObjectID device);
void TidewellDeviceFollowerStop(TidewellDeviceFollower* follower);

// Main loop, every tick. Looks the UID up after the device list changed, and on every tick while
// the side runs on no device (a list that cannot be read changes nothing: the next tick looks
// again). When another device or none is listed: stops the side, says so on standard error, and
// starts it on the listed device; a start that fails is tried again, less often each time, until
// it runs. True when the side was started again.
bool TidewellDeviceFollowerTick(TidewellDeviceFollower* follower, const TidewellFollowedSide& side);

// The capture helpers' followed side: the output bridge into the virtual device. It starts again
// on the configuration's UID once the ring's reader side is restarted, and prints its
// "Output backend: ..." lines again.
struct TidewellFollowedOutput {
    TidewellOutputBridge* bridge;
    const TidewellOutputBridgeConfig* config;
    TidewellHelperRing* ring;
    bool* running;   // whether the bridge runs, for the helper's stop
};
TidewellFollowedSide TidewellFollowedOutputSide(TidewellFollowedOutput* output);
