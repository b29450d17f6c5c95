#include "TidewellHelpers/TidewellDeviceFollower.h"

#include <cstdio>

#include "TidewellHelpers/TidewellHelperStartup.h"
#include "TidewellStream/TidewellHelperDevices.h"

namespace {

constexpr uint32_t kFirstRetryTicks = 2;     // 0.2 s
constexpr uint32_t kLongestRetryTicks = 100; // 10 s

const AudioObjectPropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};

OSStatus DeviceListChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* clientData) {
    static_cast<TidewellDeviceFollower*>(clientData)->listChanged.store(true, std::memory_order_relaxed);
    return 0;
}

void StopOutput(void* context) {
    auto* output = static_cast<TidewellFollowedOutput*>(context);
    if (*output->running) {
        TidewellOutputBridgeStop(output->bridge);
        *output->running = false;
    }
}

bool StartOutput(void* context, AudioObjectID) {
    auto* output = static_cast<TidewellFollowedOutput*>(context);
    TidewellHelperRingRestartSide(output->ring);
    if (!TidewellOutputBridgeStart(output->bridge, output->config)) {
        std::fprintf(stderr, "Could not start output bridge: %s\n", TidewellOutputBridgeError(output->bridge));
        std::fflush(stderr);
        return false;
    }
    *output->running = true;
    TidewellHelperPrintOutputBackend(output->bridge);
    std::fflush(stdout);
    return true;
}

}  // namespace

TidewellFollowedSide TidewellFollowedOutputSide(TidewellFollowedOutput* output) {
    return TidewellFollowedSide{StopOutput, StartOutput, output};
}

void TidewellDeviceFollowerStart(TidewellDeviceFollower* follower, const char* uid, AudioObjectID device) {
    follower->uid = uid;
    follower->device = device;
    follower->listChanged.store(false, std::memory_order_relaxed);
    follower->failedDevice = kAudioObjectUnknown;
    follower->retryTicks = 0;
    follower->retryDelay = kFirstRetryTicks;
    follower->listening =
        AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kDevicesAddress, DeviceListChanged, follower) == 0;
    // Without the listener the list is looked at on every tick.
    if (!follower->listening) {
        follower->listChanged.store(true, std::memory_order_relaxed);
    }
}

void TidewellDeviceFollowerStop(TidewellDeviceFollower* follower) {
    if (follower->listening) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kDevicesAddress, DeviceListChanged, follower);
        follower->listening = false;
    }
}

bool TidewellDeviceFollowerTick(TidewellDeviceFollower* follower, const TidewellFollowedSide& side) {
    const bool changed = follower->listChanged.exchange(!follower->listening, std::memory_order_relaxed);
    if (!changed && follower->device != kAudioObjectUnknown) {
        return false;
    }
    const TidewellDeviceLookup lookup = TidewellLookUpDeviceByUID(follower->uid);
    if (lookup.failedCall != nullptr || lookup.allocationFailed) {
        follower->listChanged.store(true, std::memory_order_relaxed);
        return false;
    }
    const AudioObjectID listed = lookup.device;
    if (listed == follower->device) {
        return false;
    }
    if (follower->device != kAudioObjectUnknown) {
        side.stop(side.context);
        follower->device = kAudioObjectUnknown;
        std::fprintf(stderr, "Audio device UID %s went away; waiting for it to come back.\n", follower->uid);
        std::fflush(stderr);
    }
    if (listed == kAudioObjectUnknown) {
        return false;
    }
    if (listed == follower->failedDevice && follower->retryTicks > 0) {
        --follower->retryTicks;
        return false;
    }
    if (!side.start(side.context, listed)) {
        if (listed != follower->failedDevice) {
            follower->failedDevice = listed;
            follower->retryDelay = kFirstRetryTicks;
        } else if (follower->retryDelay < kLongestRetryTicks) {
            follower->retryDelay *= 2;
        }
        follower->retryTicks = follower->retryDelay;
        return false;
    }
    follower->device = listed;
    follower->failedDevice = kAudioObjectUnknown;
    std::fprintf(stderr, "Audio device UID %s is back; running on it again.\n", follower->uid);
    std::fflush(stderr);
    return true;
}
