#pragma once
// A helper follows the devices its sides run on: its input and its output. A device goes (a virtual
// device the runtime region stops listing, a hardware device unplugged) and comes back under new
// object ids; nothing that ran on the old device ever runs again. A device may also change its
// nominal sample rate under a running side. The follower tells the helper's main loop, on its
// tick, when the device listed under the UID is no longer the one its side runs on, or when that
// device's rate is no longer the one the side started at: the side is stopped there, and started
// again on the device that is listed now, as soon as there is one. Re-opened in place, a side
// plays again within a tick or two, whatever the service's restart backoff, and the helper keeps
// its other side, its controls and its meters as they are.

#include <AudioClient/AudioHardware.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellOutputBridge.h"

// The helper's side on the followed device (its output bridge, or its input).
struct TidewellFollowedSide {
    void (*stop)(void* context);                          // stops it on the device it ran on
    bool (*start)(void* context, AudioObjectID device);   // starts it on this one; true when it runs
    void* context;
    bool followsRate;   // a change of the device's nominal sample rate starts the side again
};

struct TidewellDeviceFollower {
    const char* uid;                 // null: the device is fixed (only its rate is followed)
    TidewellFollowedSide side;
    AudioObjectID device;            // the side runs on it; kAudioObjectUnknown while on none
    AudioObjectID fixedDevice;       // without a UID, the one device the side runs on
    AudioObjectID lastDevice;        // the device the side last ran on
    double rate;                     // the device's nominal rate when the side started (0: unknown)
    AudioObjectID rateDevice;        // the device whose rate is listened to; kAudioObjectUnknown: none
    std::atomic<bool> listChanged;   // set by the device-list listener
    std::atomic<bool> rateChanged;   // set by the rate listener
    bool listening;
    AudioObjectID failedDevice;      // the last device a start failed on
    uint32_t retryTicks;             // ticks to wait before that device is tried again
    uint32_t retryDelay;             // ticks, doubling with each failure on the same device
};

// Follows the UID (when not null) from the device the side runs on now, listening to the
// system's device list, and to the device's nominal rate when the side follows it. Started before
// the side starts, a rate change at any moment after is seen.
void TidewellDeviceFollowerStart(TidewellDeviceFollower* follower, const char* uid, AudioObjectID device,
                                 const TidewellFollowedSide& side);
void TidewellDeviceFollowerStop(TidewellDeviceFollower* follower);
void TidewellDeviceFollowersStop(TidewellDeviceFollower* followers, size_t count);

// Main loop, every tick. Looks the UID up after the device list changed, and on every tick while
// the side runs on no device (a list that cannot be read changes nothing: the next tick looks
// again); reads the device's rate after it was said to change. When another device or none is
// listed: stops the side, says so on standard error, and starts it on the listed device. When the
// rate is another: stops the side and starts it again on the same device, and says so once it
// runs. A start that fails is tried again, less often each time, until it runs. True when the side
// was started again.
bool TidewellDeviceFollowerTick(TidewellDeviceFollower* follower);

// Ticks every follower; true when any side was started again.
bool TidewellDeviceFollowersTick(TidewellDeviceFollower* followers, size_t count);

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
