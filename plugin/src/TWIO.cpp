// The IO path: client slots, the host-clock timeline, the ring's write and read paths
// with per-client cushions, and the two meters of each device. Nothing here allocates,
// locks or makes a system call.

#include <TidewellHAL/TWIO.h>

#include <CoreFoundation/HostClock.h>

#include <cmath>
#include <cstring>

// ---- client slots ------------------------------------------------------------------------

TWClientState* TWClientStateForID(TWDevice* device, uint32_t clientID, bool claim) {
    if (clientID == 0) return nullptr;
    for (auto& c : device->clients) {
        if (c.state.load(std::memory_order_acquire) == kTWClientInUse &&
            c.clientID.load(std::memory_order_relaxed) == clientID) {
            return &c;
        }
    }
    if (!claim) return nullptr;
    uint64_t w = device->writePosition.load(std::memory_order_acquire);
    for (auto& c : device->clients) {
        int32_t expected = kTWClientFree;
        if (!c.state.compare_exchange_strong(expected, kTWClientClaiming, std::memory_order_acq_rel)) continue;
        c.readPosition.store(w, std::memory_order_relaxed);
        c.cushionFrames.store(0, std::memory_order_relaxed);
        c.framesServed.store(0, std::memory_order_relaxed);
        c.underrunCount.store(0, std::memory_order_relaxed);
        c.cushionGrowthCount.store(0, std::memory_order_relaxed);
        c.clientID.store(clientID, std::memory_order_relaxed);
        c.state.store(kTWClientInUse, std::memory_order_release);
        return &c;
    }
    return nullptr;
}

void TWRemoveClientState(TWDevice* device, uint32_t clientID) {
    TWClientState* c = TWClientStateForID(device, clientID, false);
    if (c == nullptr) return;
    c->clientID.store(0, std::memory_order_relaxed);
    c->readPosition.store(device->writePosition.load(std::memory_order_acquire), std::memory_order_relaxed);
    c->cushionFrames.store(0, std::memory_order_relaxed);
    c->framesServed.store(0, std::memory_order_relaxed);
    c->underrunCount.store(0, std::memory_order_relaxed);
    c->cushionGrowthCount.store(0, std::memory_order_relaxed);
    c->state.store(kTWClientFree, std::memory_order_release);
}

// ---- start and stop ------------------------------------------------------------------------

enum TWStartedEntry { kTWStartedNew, kTWStartedAlready, kTWStartedFull };

// Records the client as started; a client already recorded is not recorded again. The
// host starts one client at a time; should two starts of one client race all the same, a
// start that finds the other's entry below its own gives way.
static TWStartedEntry TWClaimStartedClient(TWDevice* device, uint32_t clientID) {
    for (auto& e : device->startedClients) {
        if (e.load(std::memory_order_acquire) == clientID) return kTWStartedAlready;
    }
    for (uint32_t i = 0; i < kTWMaxClients; ++i) {
        uint32_t expected = 0;
        if (!device->startedClients[i].compare_exchange_strong(expected, clientID, std::memory_order_acq_rel)) continue;
        for (uint32_t j = 0; j < i; ++j) {
            if (device->startedClients[j].load(std::memory_order_acquire) == clientID) {
                device->startedClients[i].store(0, std::memory_order_release);
                return kTWStartedAlready;
            }
        }
        return kTWStartedNew;
    }
    return kTWStartedFull;
}

// Forgets the client's start; false when it had none (never started, refused, or stopped).
static bool TWReleaseStartedClient(TWDevice* device, uint32_t clientID) {
    for (auto& e : device->startedClients) {
        uint32_t expected = clientID;
        if (e.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return true;
    }
    return false;
}

OSStatus TWDriver_StartIO(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32 clientID) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice) return kAudioHardwareBadObjectError;
    if (clientID == 0) return kAudioHardwareIllegalOperationError;
    TWDevice* device = ref.device;
    TWEnterIOWaiting(device);
    // The device may have been freed while we waited for a change to finish.
    if (!TWDeviceUsable(device) || device->deviceID.load(std::memory_order_relaxed) != deviceID) {
        TWLeaveIO(device);
        return kAudioHardwareBadObjectError;
    }
    const TWStartedEntry entry = TWClaimStartedClient(device, clientID);
    // A client without a slot could only ever read silence: refuse it rather than report
    // a start that cannot work. A running client whose slot a ring reset took gets a new one.
    if (entry == kTWStartedFull || TWClientStateForID(device, clientID, true) == nullptr) {
        if (entry == kTWStartedNew) TWReleaseStartedClient(device, clientID);
        TWLeaveIO(device);
        return kAudioHardwareIllegalOperationError;
    }
    if (entry == kTWStartedAlready) {
        TWLeaveIO(device);
        return 0;
    }
    int32_t before = device->runningIOCount.fetch_add(1, std::memory_order_acq_rel);
    if (before == 0) TWResetTiming(device);
    TWLeaveIO(device);
    if (before == 0) {
        TWNotifyDeviceProperty(device, kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal);
    }
    return 0;
}

OSStatus TWDriver_StopIO(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32 clientID) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice) return kAudioHardwareBadObjectError;
    TWDevice* device = ref.device;
    TWEnterIOWaiting(device);
    // Freed since it was resolved: the record may belong to another device by now.
    if (!TWDeviceUsable(device) || device->deviceID.load(std::memory_order_relaxed) != deviceID) {
        TWLeaveIO(device);
        return kAudioHardwareBadObjectError;
    }
    TWRemoveClientState(device, clientID);
    // Only a client that started counts as running: the stop of one whose start was
    // refused, or of one stopped already, must not make the device look idle.
    bool stopped = false;
    if (clientID != 0 && TWReleaseStartedClient(device, clientID)) {
        int32_t current = device->runningIOCount.load(std::memory_order_acquire);
        while (current > 0) {
            if (device->runningIOCount.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
                stopped = current == 1;
                break;
            }
        }
    }
    TWLeaveIO(device);
    if (stopped) TWNotifyDeviceProperty(device, kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal);
    return 0;
}

// ---- timeline ------------------------------------------------------------------------------

uint32_t TWZeroTimeStampPeriodFrames(const TWDevice* device) {
    uint32_t size = device->bufferFrameSize.load(std::memory_order_relaxed);
    return size < kTWMinBufferFrames ? kTWDefaultBufferFrames : size;
}

OSStatus TWDriver_GetZeroTimeStamp(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32, Float64* outSampleTime,
                                   UInt64* outHostTime, UInt64* outSeed) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice || outSampleTime == nullptr || outHostTime == nullptr || outSeed == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    TWDevice* device = ref.device;
    uint64_t now = HostClockGetTime();
    uint64_t anchor = device->anchorHostTime.load(std::memory_order_relaxed);
    if (anchor == 0 || now < anchor) {
        TWResetTiming(device);
        now = HostClockGetTime();
        anchor = device->anchorHostTime.load(std::memory_order_relaxed);
        if (now < anchor) now = anchor;
    }
    uint32_t period = TWZeroTimeStampPeriodFrames(device);
    Float64 ticksPerPeriod = HostClockGetFrequency() / kTWSampleRate * period;
    if (!std::isfinite(ticksPerPeriod) || !(ticksPerPeriod > 0.0)) return kAudioHardwareIllegalOperationError;
    uint64_t n = static_cast<uint64_t>(std::floor(static_cast<Float64>(now - anchor) / ticksPerPeriod));
    Float64 offset = static_cast<Float64>(n) * ticksPerPeriod;
    device->periodCount.store(n, std::memory_order_relaxed);
    device->hostOffset.store(offset, std::memory_order_relaxed);
    *outSampleTime = static_cast<Float64>(n) * period;
    *outHostTime = anchor + static_cast<uint64_t>(offset);
    *outSeed = 1;
    return 0;
}

// ---- IO operations -------------------------------------------------------------------------

OSStatus TWDriver_WillDoIOOperation(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32, UInt32 operationID,
                                    Boolean* outWillDo, Boolean* outWillDoInPlace) {
    if (TWResolveObject(deviceID).kind != kTWObjectDevice || outWillDo == nullptr || outWillDoInPlace == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    *outWillDo = (operationID == kAudioServerPlugInIOOperationReadInput ||
                  operationID == kAudioServerPlugInIOOperationWriteMix)
                     ? 1
                     : 0;
    *outWillDoInPlace = 1;
    return 0;
}

OSStatus TWDriver_BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32, UInt32, UInt32,
                                   const AudioServerPlugInIOCycleInfo*) {
    return TWResolveObject(deviceID).kind == kTWObjectDevice ? 0 : kAudioHardwareBadObjectError;
}

OSStatus TWDriver_EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt32, UInt32, UInt32,
                                 const AudioServerPlugInIOCycleInfo*) {
    return TWResolveObject(deviceID).kind == kTWObjectDevice ? 0 : kAudioHardwareBadObjectError;
}

static void TWPublishMeter(TidewellMeterWriter* writer, const float* samples, uint32_t frames, uint32_t channels) {
    float levels[TidewellRuntimeMaxChannels];
    float peaks[TidewellRuntimeMaxChannels];
    TidewellMeterComputeInterleavedLevels(samples, frames, channels, levels, peaks, channels, 1.0f);
    TidewellMeterWriterPublishWithPeaks(writer, levels, peaks, channels);
}

void TWWriteRing(TWDevice* device, const float* buffer, uint32_t frames) {
    if (buffer == nullptr || device->ring == nullptr) return;
    const size_t c = static_cast<size_t>(device->channelCount.load(std::memory_order_relaxed));
    const uint64_t w = device->writePosition.load(std::memory_order_relaxed);
    const uint32_t skip = frames > kTWRingFrames ? frames - kTWRingFrames : 0;
    // Copy in at most two runs: up to the ring's end, then from its start.
    uint64_t first = w + skip;
    size_t remaining = frames - skip;
    const float* source = buffer + size_t(skip) * c;
    while (remaining > 0) {
        size_t index = static_cast<size_t>(first % kTWRingFrames);
        size_t run = kTWRingFrames - index;
        if (run > remaining) run = remaining;
        std::memcpy(device->ring + index * c, source, run * c * sizeof(float));
        source += run * c;
        first += run;
        remaining -= run;
    }
    device->writePosition.store(w + frames, std::memory_order_release);
    TWPublishMeter(&device->sourceMeter, buffer, frames, static_cast<uint32_t>(c));
}

// One route over n frames: out[d] += (ring[s] * gain) * channelGain, fused, in single
// precision. Built twice, for processors with and without a fused multiply-add
// instruction (the generic one calls the C library's fmaf); both give the same bits. The
// choice is made once, when the library is loaded.
#define TW_MIX_ROUTE_BODY                                                                    \
    for (uint64_t i = 0; i < n; ++i) {                                                       \
        const float* source = ring + static_cast<size_t>((r + i) % kTWRingFrames) * c;       \
        float* destination = out + static_cast<size_t>(i) * c;                               \
        float scaled = source[s] * gain;                                                     \
        destination[d] = std::fma(scaled, channelGain, destination[d]);                      \
    }

__attribute__((target("fma"))) static void TWMixRouteFMA(const float* ring, uint64_t r, uint64_t n, uint32_t c,
                                                          uint32_t s, uint32_t d, float gain, float channelGain,
                                                          float* out) {
    TW_MIX_ROUTE_BODY
}

static void TWMixRouteGeneric(const float* ring, uint64_t r, uint64_t n, uint32_t c, uint32_t s, uint32_t d,
                              float gain, float channelGain, float* out) {
    TW_MIX_ROUTE_BODY
}

using TWMixRouteFunction = void (*)(const float*, uint64_t, uint64_t, uint32_t, uint32_t, uint32_t, float, float,
                                    float*);
static const TWMixRouteFunction TWMixRoute = __builtin_cpu_supports("fma") ? TWMixRouteFMA : TWMixRouteGeneric;

void TWReadRing(TWDevice* device, float* buffer, uint32_t frames, uint32_t clientID) {
    if (buffer == nullptr || device->ring == nullptr) return;
    const uint32_t c = static_cast<uint32_t>(device->channelCount.load(std::memory_order_relaxed));
    const TWDeviceControls controls = TWCurrentControlsForDevice(device);
    float gain = 0.0f;
    if (controls.deviceEnabled && controls.sourceEnabled && !controls.muted) {
        gain = controls.deviceGain * controls.sourceGain;
    }
    TWClientState* slot = TWClientStateForID(device, clientID, true);
    const uint64_t w = device->writePosition.load(std::memory_order_acquire);
    uint64_t r = slot ? slot->readPosition.load(std::memory_order_relaxed) : w;
    if (r < w && w - r > kTWRingFrames) r = w - kTWRingFrames;
    const bool cushionOff = TWCushionDisabled();
    const uint64_t served = slot ? slot->framesServed.load(std::memory_order_relaxed) : 0;
    uint64_t cushion = 0;
    if (slot != nullptr && !cushionOff) {
        cushion = slot->cushionFrames.load(std::memory_order_relaxed);
        uint64_t limit = frames >= kTWRingFrames ? 0 : kTWRingFrames - frames;
        if (cushion > limit) cushion = limit;
    }
    uint64_t available = r < w ? w - r : 0;
    if (available > frames + cushion) {
        r = w - frames - cushion;
        available = frames + cushion;
    }
    const uint64_t n = available < frames ? available : frames;
    if (slot != nullptr && !cushionOff && n < frames && available > 0 && served >= kTWCushionWarmupFrames) {
        uint32_t stored = slot->cushionFrames.load(std::memory_order_relaxed);
        uint64_t shortfall = frames - n;
        uint64_t step = (shortfall + kTWCushionStepFrames - 1) / kTWCushionStepFrames * kTWCushionStepFrames;
        uint64_t grown = stored + step;
        if (grown > kTWMaxCushionFrames) grown = kTWMaxCushionFrames;
        slot->underrunCount.fetch_add(1, std::memory_order_relaxed);
        device->underrunCount.fetch_add(1, std::memory_order_relaxed);
        if (grown != stored) {
            slot->cushionFrames.store(static_cast<uint32_t>(grown), std::memory_order_relaxed);
            slot->cushionGrowthCount.fetch_add(1, std::memory_order_relaxed);
            device->cushionGrowthCount.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (slot != nullptr) slot->framesServed.store(served + frames, std::memory_order_relaxed);
    std::memset(buffer, 0, size_t(frames) * c * sizeof(float));
    if (gain > 0.0f) {
        // Route by route over the block: every output sample still receives its routes'
        // contributions in route order, so the sums are those of a frame-by-frame mix.
        for (uint32_t k = 0; k < controls.routeCount; ++k) {
            uint32_t s = controls.routes[k].sourceChannel;
            uint32_t d = controls.routes[k].destinationChannel;
            if (s < 1 || s > c || d < 1 || d > c) continue;
            TWMixRoute(device->ring, r, n, c, s - 1, d - 1, gain, controls.channelGains[d - 1], buffer);
        }
    }
    TWPublishMeter(&device->outputMeter, buffer, frames, c);
    if (slot != nullptr) slot->readPosition.store(r + n, std::memory_order_relaxed);
}

OSStatus TWDriver_DoIOOperation(AudioServerPlugInDriverRef, AudioObjectID deviceID, AudioObjectID streamID,
                                UInt32 clientID, UInt32 operationID, UInt32 frames,
                                const AudioServerPlugInIOCycleInfo*, void* mainBuffer, void*) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice) return kAudioHardwareBadObjectError;
    if (mainBuffer == nullptr) return 0;
    TWDevice* device = ref.device;
    // The ring and the meters are being rebuilt or released: touch nothing.
    if (!TWEnterIO(device)) return kAudioHardwareIllegalOperationError;
    // Freed (and perhaps reused by another device) since it was resolved: not ours any more.
    if (!TWDeviceUsable(device) || device->deviceID.load(std::memory_order_relaxed) != deviceID) {
        TWLeaveIO(device);
        return kAudioHardwareBadObjectError;
    }
    const bool writes = operationID == kAudioServerPlugInIOOperationWriteMix ||
                        operationID == kAudioServerPlugInIOOperationMixOutput;
    if (writes && streamID == device->outputStreamID.load(std::memory_order_relaxed)) {
        TWWriteRing(device, static_cast<const float*>(mainBuffer), frames);
    } else if (operationID == kAudioServerPlugInIOOperationReadInput &&
               streamID == device->inputStreamID.load(std::memory_order_relaxed)) {
        TWReadRing(device, static_cast<float*>(mainBuffer), frames, clientID);
    }
    TWLeaveIO(device);
    return 0;
}

// ---- IO counters for in-process inspection -----------------------------------------------

static TWClientState* TWTestClient(AudioObjectID deviceID, uint32_t clientID) {
    TWDevice* device = TWTestDeviceForID(deviceID);
    return device ? TWClientStateForID(device, clientID, false) : nullptr;
}

uint32_t TWTestClientCushionFrames(AudioObjectID deviceID, uint32_t clientID) {
    TWClientState* c = TWTestClient(deviceID, clientID);
    return c ? c->cushionFrames.load(std::memory_order_relaxed) : 0;
}

uint32_t TWTestClientUnderrunCount(AudioObjectID deviceID, uint32_t clientID) {
    TWClientState* c = TWTestClient(deviceID, clientID);
    return c ? c->underrunCount.load(std::memory_order_relaxed) : 0;
}

uint32_t TWTestDeviceUnderrunCount(AudioObjectID deviceID) {
    TWDevice* d = TWTestDeviceForID(deviceID);
    return d ? d->underrunCount.load(std::memory_order_relaxed) : 0;
}

uint32_t TWTestDeviceCushionGrowthCount(AudioObjectID deviceID) {
    TWDevice* d = TWTestDeviceForID(deviceID);
    return d ? d->cushionGrowthCount.load(std::memory_order_relaxed) : 0;
}
