#include "TapClock.h"

#include <AudioABI/AudioProperties.h>

bool IsPhysicalOutputDevice(const TidewellClockCandidate& c) {
    if (c.device == kAudioObjectUnknown || !c.hasOutputStreams || !c.transportReadable || c.transportType == 0) {
        return false;
    }
    return c.transportType != kAudioDeviceTransportTypeAggregate &&
           c.transportType != kAudioDeviceTransportTypeAutoAggregate &&
           c.transportType != kAudioDeviceTransportTypeVirtual;
}

bool IsUsableClockDevice(const TidewellClockCandidate& c) {
    if (!IsPhysicalOutputDevice(c)) {
        return false;
    }
    if (c.transportType == kAudioDeviceTransportTypeBluetooth || c.transportType == kAudioDeviceTransportTypeBluetoothLE) {
        return false;
    }
    return !c.rateReadable || c.nominalRate >= 44100.0;
}

size_t FirstPhysicalOutputDevice(const TidewellClockCandidate* candidates, size_t count) {
    size_t first = count;
    for (size_t i = 0; i < count; ++i) {
        if (!IsUsableClockDevice(candidates[i])) {
            continue;
        }
        if (candidates[i].transportType == kAudioDeviceTransportTypeBuiltIn) {
            return i;
        }
        if (first == count) {
            first = i;
        }
    }
    return first;
}
