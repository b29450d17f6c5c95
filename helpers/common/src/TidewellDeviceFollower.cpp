#include "TidewellHelpers/TidewellDeviceFollower.h"

#include <cstdio>

#include "TidewellHelpers/TidewellHelperStartup.h"
#include "TidewellStream/TidewellHelperDevices.h"

namespace {

constexpr uint32_t kFirstRetryTicks = 2;     // 0.2 s
constexpr uint32_t kLongestRetryTicks = 100; // 10 s

const AudioObjectPropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
const AudioObjectPropertyAddress kRateAddress{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};

OSStatus DeviceListChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* clientData) {
    static_cast<TidewellDeviceFollower*>(clientData)->listChanged.store(true, std::memory_order_relaxed);
    return 0;
}

OSStatus DeviceRateChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* clientData) {
    static_cast<TidewellDeviceFollower*>(clientData)->rateChanged.store(true, std::memory_order_relaxed);
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
    TidewellHelperRingRestartSide(output->ring, TidewellHelperRingReaderSide);
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

const char* Named(const TidewellDeviceFollower* follower) {
    return follower->uid != nullptr ? follower->uid : "(default)";
}

// Listens to the rate of the device the side is about to run on (and no longer to the one before),
// then reads it: a change after the read is heard.
void WatchRateOf(TidewellDeviceFollower* follower, AudioObjectID device) {
    if (!follower->side.followsRate || device == kAudioObjectUnknown) {
        return;
    }
    if (follower->rateDevice != device) {
        if (follower->rateDevice != kAudioObjectUnknown) {
            AudioObjectRemovePropertyListener(follower->rateDevice, &kRateAddress, DeviceRateChanged, follower);
            follower->rateDevice = kAudioObjectUnknown;
        }
        if (AudioObjectAddPropertyListener(device, &kRateAddress, DeviceRateChanged, follower) == 0) {
            follower->rateDevice = device;
        }
    }
    follower->rateChanged.store(false, std::memory_order_relaxed);
    follower->rate = TidewellDeviceNominalSampleRate(device);
}

}  // namespace

TidewellFollowedSide TidewellFollowedOutputSide(TidewellFollowedOutput* output) {
    return TidewellFollowedSide{StopOutput, StartOutput, output, false};
}

void TidewellDeviceFollowerStart(TidewellDeviceFollower* follower, const char* uid, AudioObjectID device,
                                 const TidewellFollowedSide& side) {
    follower->uid = uid;
    follower->side = side;
    follower->device = device;
    follower->fixedDevice = device;
    follower->lastDevice = device;
    follower->rate = 0;
    follower->rateDevice = kAudioObjectUnknown;
    follower->listChanged.store(false, std::memory_order_relaxed);
    follower->rateChanged.store(false, std::memory_order_relaxed);
    follower->failedDevice = kAudioObjectUnknown;
    follower->retryTicks = 0;
    follower->retryDelay = kFirstRetryTicks;
    follower->listening =
        uid == nullptr ||
        AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kDevicesAddress, DeviceListChanged, follower) == 0;
    // Without the listener the list is looked at on every tick.
    if (!follower->listening) {
        follower->listChanged.store(true, std::memory_order_relaxed);
    }
    WatchRateOf(follower, device);
}

void TidewellDeviceFollowerStop(TidewellDeviceFollower* follower) {
    if (follower->listening && follower->uid != nullptr) {
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kDevicesAddress, DeviceListChanged, follower);
    }
    follower->listening = false;
    if (follower->rateDevice != kAudioObjectUnknown) {
        AudioObjectRemovePropertyListener(follower->rateDevice, &kRateAddress, DeviceRateChanged, follower);
        follower->rateDevice = kAudioObjectUnknown;
    }
}

void TidewellDeviceFollowersStop(TidewellDeviceFollower* followers, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        TidewellDeviceFollowerStop(&followers[i]);
    }
}

bool TidewellDeviceFollowerTick(TidewellDeviceFollower* follower) {
    const TidewellFollowedSide& side = follower->side;
    const bool changed = follower->listChanged.exchange(!follower->listening, std::memory_order_relaxed);
    // A rate is read only after it was said to change; one that cannot be read changes nothing.
    bool rateMoved = false;
    if (follower->rateChanged.exchange(false, std::memory_order_relaxed) && follower->device != kAudioObjectUnknown) {
        const double rate = TidewellDeviceNominalSampleRate(follower->device);
        rateMoved = rate > 0 && rate != follower->rate;
    }
    if (!changed && !rateMoved && follower->device != kAudioObjectUnknown) {
        return false;
    }
    AudioObjectID listed = follower->fixedDevice;
    if (follower->uid != nullptr && (changed || follower->device == kAudioObjectUnknown)) {
        const TidewellDeviceLookup lookup = TidewellLookUpDeviceByUID(follower->uid);
        if (lookup.failedCall != nullptr || lookup.allocationFailed) {
            follower->listChanged.store(true, std::memory_order_relaxed);
            follower->rateChanged.store(rateMoved, std::memory_order_relaxed);
            return false;
        }
        listed = lookup.device;
    } else if (follower->uid != nullptr) {
        listed = follower->device;
    }
    if (listed == follower->device && !rateMoved) {
        return false;
    }
    // On the same device at another rate, or on another device (or none): the side stops here.
    if (follower->device != kAudioObjectUnknown) {
        side.stop(side.context);
        follower->lastDevice = follower->device;
        follower->device = kAudioObjectUnknown;
        if (listed != follower->lastDevice) {
            std::fprintf(stderr, "Audio device UID %s went away; waiting for it to come back.\n", Named(follower));
            std::fflush(stderr);
        }
    }
    if (listed == kAudioObjectUnknown) {
        return false;
    }
    if (listed == follower->failedDevice && follower->retryTicks > 0) {
        --follower->retryTicks;
        return false;
    }
    WatchRateOf(follower, listed);
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
    if (listed == follower->lastDevice) {
        std::fprintf(stderr, "Audio device UID %s changed its sample rate to %.0f Hz; running on it again.\n",
                     Named(follower), follower->rate);
    } else {
        std::fprintf(stderr, "Audio device UID %s is back; running on it again.\n", Named(follower));
    }
    std::fflush(stderr);
    return true;
}

bool TidewellDeviceFollowersTick(TidewellDeviceFollower* followers, size_t count) {
    bool restarted = false;
    for (size_t i = 0; i < count; ++i) {
        restarted = TidewellDeviceFollowerTick(&followers[i]) || restarted;
    }
    return restarted;
}
