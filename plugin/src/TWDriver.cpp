// The driver's object model: initialisation, object ids, the reconcile pass that creates,
// updates and retires devices, device configuration changes and notifications. The driver
// interface table and factory are TWDriverInterface.cpp, the IO path TWIO.cpp, the runtime
// region reader TWRuntimeRegion.cpp; nothing here calls into the IO path.

#include <TidewellHAL/TWDriver.h>
#include <TidewellHAL/TWRegionGuard.h>

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/HostClock.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <dispatch/dispatch.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

const char kTWLegacyDeviceUID[] = "app.tidewell.passthru.main";
const char kTWLegacyDeviceName[] = "Tidewell";
const char kTWLegacySourceMeterOwnerID[] = "zellvane.passThru.source";
const char kTWLegacyOutputMeterOwnerID[] = "zellvane.device.output";
const char kTWBundleIdentifier[] = "app.tidewell.vhal";
const char kTWModelUID[] = "app.tidewell.vhal.model";
static const char kTWReconcileQueueLabel[] = "app.tidewell.vhal.reconcile";

// ---- process-wide state ---------------------------------------------------------------

std::atomic<AudioServerPlugInHostRef> gHost{nullptr};
static bool gReconcileTimerEnabled = true;
static std::atomic<dispatch_queue_t> gReconcileQueue{nullptr};
static dispatch_source_t gReconcileTimer = nullptr;
static std::atomic<int32_t> gNextObjectID{kTWFirstObjectID};
TWDevice gDevices[TidewellRuntimeMaxDevices];
std::atomic<bool> gHasReconciled{false};
static std::atomic<uint32_t> gLastReconciledGeneration{0};
// Odd, so no valid snapshot's generation equals it: the next valid snapshot is applied whole.
static constexpr uint32_t kTWNoGeneration = 1;
// Serialises opening, closing and repairing the meter writers, which the reconcile queue
// and the host's configuration changes both do. Never taken on an IO thread.
static std::mutex gMeterMutex;

// ---- small helpers --------------------------------------------------------------------

void TWCopyBounded(char* destination, const char* source, size_t size) {
    if (size == 0) return;
    size_t n = 0;
    if (source != nullptr) {
        while (n + 1 < size && source[n] != '\0') {
            destination[n] = source[n];
            ++n;
        }
    }
    std::memset(destination + n, 0, size - n);
}

void TWStoreText(char* destination, const char* source, size_t size) {
    if (size == 0) return;
    size_t n = 0;
    if (source != nullptr) {
        while (n + 1 < size && source[n] != '\0') {
            __atomic_store_n(&destination[n], source[n], __ATOMIC_RELAXED);
            ++n;
        }
    }
    for (; n < size; ++n) __atomic_store_n(&destination[n], '\0', __ATOMIC_RELAXED);
}

void TWLoadText(char* destination, const char* source, size_t size) {
    for (size_t i = 0; i < size; ++i) destination[i] = __atomic_load_n(&source[i], __ATOMIC_RELAXED);
    if (size > 0) destination[size - 1] = '\0';
}

uint32_t TWSanitizeChannelCount(uint32_t channelCount) {
    if (channelCount < 2) return 2;
    if (channelCount > TidewellRuntimeMaxChannels) return TidewellRuntimeMaxChannels;
    return channelCount & ~1u;
}

float TWClampGain(float value) {
    if (!std::isfinite(value)) return 1.0f;
    if (value < 0.0f) return 0.0f;
    if (value > 2.0f) return 2.0f;
    return value;
}

// ---- object resolution ---------------------------------------------------------------------

bool TWDeviceUsable(const TWDevice* device) {
    int32_t s = device->state.load(std::memory_order_acquire);
    return s == kTWDeviceLive || s == kTWDeviceDying;
}

bool TWDeviceVisible(const TWDevice* device) { return device->state.load(std::memory_order_acquire) == kTWDeviceLive; }

uint32_t TWVisibleDeviceCount() {
    uint32_t n = 0;
    for (auto& d : gDevices) n += TWDeviceVisible(&d) ? 1 : 0;
    return n;
}

TWObjectRef TWResolveObject(AudioObjectID objectID) {
    if (objectID == kTWPlugInObjectID) return {kTWObjectPlugIn, nullptr, false};
    if (objectID == 0) return {kTWObjectNone, nullptr, false};
    for (auto& d : gDevices) {
        if (!TWDeviceUsable(&d)) continue;
        if (d.deviceID.load(std::memory_order_relaxed) == objectID) return {kTWObjectDevice, &d, false};
        if (d.inputStreamID.load(std::memory_order_relaxed) == objectID) return {kTWObjectStream, &d, true};
        if (d.outputStreamID.load(std::memory_order_relaxed) == objectID) return {kTWObjectStream, &d, false};
        if (d.volumeControlID.load(std::memory_order_relaxed) == objectID) return {kTWObjectVolumeControl, &d, false};
        if (d.muteControlID.load(std::memory_order_relaxed) == objectID) return {kTWObjectMuteControl, &d, false};
    }
    return {kTWObjectNone, nullptr, false};
}

TWDevice* TWActiveDeviceForUID(const char* uid) {
    if (uid == nullptr) return nullptr;
    for (auto& d : gDevices) {
        if (!TWDeviceVisible(&d)) continue;
        char current[sizeof d.uid];
        TWLoadText(current, d.uid, sizeof current);
        if (std::strncmp(current, uid, sizeof current) == 0) return &d;
    }
    return nullptr;
}

// ---- device exclusion --------------------------------------------------------------------

bool TWEnterIO(TWDevice* device) {
    device->ioInFlight.fetch_add(1, std::memory_order_seq_cst);
    if (device->exclusive.load(std::memory_order_seq_cst)) {
        device->ioInFlight.fetch_sub(1, std::memory_order_release);
        return false;
    }
    device->ioAdmitted.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void TWLeaveIO(TWDevice* device) {
    device->ioAdmitted.fetch_sub(1, std::memory_order_relaxed);
    device->ioInFlight.fetch_sub(1, std::memory_order_release);
}

void TWCheckNoIOAdmitted(TWDevice* device) {
    if (device->ioAdmitted.load(std::memory_order_relaxed) != 0) {
        device->ioOverlapCount.fetch_add(1, std::memory_order_relaxed);
    }
}

// For the non-real-time client operations (StartIO, StopIO): wait out a change in progress.
void TWEnterIOWaiting(TWDevice* device) {
    while (!TWEnterIO(device)) sched_yield();
}

bool TWBeginExclusive(TWDevice* device, bool wait) {
    bool expected = false;
    while (!device->exclusive.compare_exchange_weak(expected, true, std::memory_order_seq_cst)) {
        if (!wait) return false;
        expected = false;
        sched_yield();
    }
    while (device->ioInFlight.load(std::memory_order_seq_cst) != 0) sched_yield();
    return true;
}

void TWEndExclusive(TWDevice* device) { device->exclusive.store(false, std::memory_order_seq_cst); }

// ---- notifications -----------------------------------------------------------------------

void TWNotifyDeviceProperty(TWDevice* device, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
    AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire);
    if (host == nullptr || device == nullptr) return;
    AudioObjectPropertyAddress address = {selector, scope, kAudioObjectPropertyElementMain};
    host->PropertiesChanged(host, device->deviceID.load(std::memory_order_relaxed), 1, &address);
}

void TWNotifyPlugInDeviceList() {
    AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire);
    if (host == nullptr) return;
    AudioObjectPropertyAddress addresses[2] = {
        {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
    };
    host->PropertiesChanged(host, kTWPlugInObjectID, 2, addresses);
}

// ---- device records ----------------------------------------------------------------------

void TWResetClientStates(TWDevice* device) {
    uint64_t w = device->writePosition.load(std::memory_order_acquire);
    for (auto& c : device->clients) {
        c.clientID.store(0, std::memory_order_relaxed);
        c.readPosition.store(w, std::memory_order_relaxed);
        c.cushionFrames.store(0, std::memory_order_relaxed);
        c.framesServed.store(0, std::memory_order_relaxed);
        c.underrunCount.store(0, std::memory_order_relaxed);
        c.cushionGrowthCount.store(0, std::memory_order_relaxed);
        c.state.store(kTWClientFree, std::memory_order_release);
    }
}

void TWResetRing(TWDevice* device) {
    if (device->ring != nullptr) std::memset(device->ring, 0, kTWRingFloats * sizeof(float));
    device->writePosition.store(0, std::memory_order_release);
    TWResetClientStates(device);
}

void TWResetTiming(TWDevice* device) {
    device->anchorHostTime.store(HostClockGetTime(), std::memory_order_relaxed);
    device->periodCount.store(0, std::memory_order_relaxed);
    device->hostOffset.store(0.0, std::memory_order_relaxed);
}

static uint32_t TWDeviceIndex(const TWDevice* device) { return static_cast<uint32_t>(device - gDevices); }

// With gMeterMutex held. The guards go first: the ranges are unmapped next.
static void TWCloseMetersLocked(TWDevice* device) {
    TWRegionGuardClear(TWGuardMeterEntry(TWDeviceIndex(device), false));
    TWRegionGuardClear(TWGuardMeterEntry(TWDeviceIndex(device), true));
    TidewellMeterWriterClose(&device->sourceMeter);
    TidewellMeterWriterClose(&device->outputMeter);
}

void TWOpenMeters(TWDevice* device) {
    std::lock_guard<std::mutex> lock(gMeterMutex);
    TWCloseMetersLocked(device);
    char sourceOwner[160];
    char outputOwner[160];
    char uid[sizeof device->uid];
    TWLoadText(uid, device->uid, sizeof uid);
    if (std::strncmp(uid, kTWLegacyDeviceUID, sizeof uid) != 0) {
        std::snprintf(sourceOwner, sizeof sourceOwner, "tidewell.device.%s.source", uid);
        std::snprintf(outputOwner, sizeof outputOwner, "tidewell.device.%s.output", uid);
    } else {
        TWCopyBounded(sourceOwner, kTWLegacySourceMeterOwnerID, sizeof sourceOwner);
        TWCopyBounded(outputOwner, kTWLegacyOutputMeterOwnerID, sizeof outputOwner);
    }
    uint32_t channels = static_cast<uint32_t>(device->channelCount.load(std::memory_order_relaxed));
    if (TidewellMeterWriterOpen(&device->sourceMeter, sourceOwner, channels)) {
        TWRegionGuardSet(TWGuardMeterEntry(TWDeviceIndex(device), false), device->sourceMeter.mapping,
                         TidewellMeterSize, true);
    }
    if (TidewellMeterWriterOpen(&device->outputMeter, outputOwner, channels)) {
        TWRegionGuardSet(TWGuardMeterEntry(TWDeviceIndex(device), true), device->outputMeter.mapping,
                         TidewellMeterSize, true);
    }
}

// A meter region that another process cut gets its size back, as opening it would give
// it, and where a write faulted past the cut (and went to zero pages since) the region is
// mapped again over the same range. With gMeterMutex held.
static void TWRepairMeterLocked(TidewellMeterWriter* writer, uint32_t guard) {
    if (writer->mapping == nullptr || writer->descriptor < 0) return;
    struct stat st;
    if (fstat(writer->descriptor, &st) != 0) return;
    if (st.st_size < static_cast<off_t>(TidewellMeterSize) &&
        (ftruncate(writer->descriptor, TidewellMeterSize) != 0 ||
         posix_fallocate(writer->descriptor, 0, TidewellMeterSize) != 0)) {
        return;
    }
    if (TWRegionGuardDamaged(guard)) TWRegionGuardRestore(guard, writer->descriptor);
}

static void TWRepairMetersOnReconcileQueue() {
    std::lock_guard<std::mutex> lock(gMeterMutex);
    for (uint32_t i = 0; i < TidewellRuntimeMaxDevices; ++i) {
        TWDevice& d = gDevices[i];
        if (!TWDeviceUsable(&d)) continue;
        TWRepairMeterLocked(&d.sourceMeter, TWGuardMeterEntry(i, false));
        TWRepairMeterLocked(&d.outputMeter, TWGuardMeterEntry(i, true));
    }
}

static TWDevice* TWCreateDeviceOnReconcileQueue(const char* uid, const char* name, const char* icon,
                                                uint32_t channelCount, int32_t slotIndex) {
    TWDevice* device = nullptr;
    for (auto& d : gDevices) {
        if (d.state.load(std::memory_order_acquire) == kTWDeviceFree) {
            device = &d;
            break;
        }
    }
    if (device == nullptr) return nullptr;
    if (device->ring == nullptr) {
        device->ring = static_cast<float*>(std::calloc(kTWRingFloats, sizeof(float)));
        if (device->ring == nullptr) return nullptr;
        device->sourceMeter = {nullptr, -1, 0};
        device->outputMeter = {nullptr, -1, 0};
    }
    int32_t n = gNextObjectID.fetch_add(kTWObjectIDsPerDevice, std::memory_order_relaxed);
    device->deviceID.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
    device->inputStreamID.store(static_cast<uint32_t>(n + 1), std::memory_order_relaxed);
    device->outputStreamID.store(static_cast<uint32_t>(n + 2), std::memory_order_relaxed);
    device->volumeControlID.store(static_cast<uint32_t>(n + 3), std::memory_order_relaxed);
    device->muteControlID.store(static_cast<uint32_t>(n + 4), std::memory_order_relaxed);
    TWStoreText(device->uid, uid, sizeof device->uid);
    TWStoreText(device->name, name, sizeof device->name);
    TWStoreText(device->icon, icon, sizeof device->icon);
    device->channelCount.store(static_cast<int32_t>(TWSanitizeChannelCount(channelCount)), std::memory_order_relaxed);
    device->pendingChannelCount.store(0, std::memory_order_relaxed);
    device->runtimeSlotIndex.store(slotIndex, std::memory_order_relaxed);
    device->bufferFrameSize.store(kTWDefaultBufferFrames, std::memory_order_relaxed);
    device->runningIOCount.store(0, std::memory_order_relaxed);
    device->underrunCount.store(0, std::memory_order_relaxed);
    device->cushionGrowthCount.store(0, std::memory_order_relaxed);
    device->lastControlsSequence.store(0, std::memory_order_relaxed);
    // ioInFlight and exclusive are left as they are: a caller that resolved the previous
    // device in this record may still be between entering and leaving it, and its exit
    // must find the count it raised.
    TWResetRing(device);
    TWResetTiming(device);
    TWOpenMeters(device);
    device->state.store(kTWDeviceLive, std::memory_order_release);
    return device;
}

// Frees every dying device on which no client runs. The exclusion keeps a StartIO or an IO
// operation from entering the device while its meters are closed and its slot released.
static void TWFinishDyingDevicesOnReconcileQueue() {
    for (auto& d : gDevices) {
        if (d.state.load(std::memory_order_acquire) != kTWDeviceDying) continue;
        if (d.runningIOCount.load(std::memory_order_acquire) != 0) continue;
        if (!TWBeginExclusive(&d, false)) continue;
        if (d.runningIOCount.load(std::memory_order_seq_cst) == 0) {
            TWCheckNoIOAdmitted(&d);
            {
                std::lock_guard<std::mutex> lock(gMeterMutex);
                TWCloseMetersLocked(&d);
            }
            d.state.store(kTWDeviceFree, std::memory_order_release);
            TWCheckNoIOAdmitted(&d);
        }
        TWEndExclusive(&d);
    }
}

static void TWBeginDestroyingDevice(TWDevice* device) {
    device->state.store(kTWDeviceDying, std::memory_order_release);
    TWNotifyDeviceProperty(device, kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal);
}

static void TWRequestChannelChange(TWDevice* device, uint32_t channels) {
    AudioServerPlugInHostRef host = gHost.load(std::memory_order_acquire);
    if (host == nullptr || device->pendingChannelCount.load(std::memory_order_acquire) != 0) return;
    device->pendingChannelCount.store(static_cast<int32_t>(channels), std::memory_order_release);
    OSStatus status = host->RequestDeviceConfigurationChange(host, device->deviceID.load(std::memory_order_relaxed),
                                                             kTWConfigurationChangeAction, nullptr);
    // A refused request must not block every later one: ask again on a later pass.
    if (status != 0) device->pendingChannelCount.store(0, std::memory_order_release);
}

void TWReconcileOnce() {
    TWRepairMetersOnReconcileQueue();
    TWRuntimeSnapshot snapshot = TWSnapshotRegion();
    bool changed = false;
    if (snapshot.valid && snapshot.presentCount > 0) {
        if (gHasReconciled.load(std::memory_order_acquire) &&
            snapshot.generation == gLastReconciledGeneration.load(std::memory_order_acquire)) {
            TWFinishDyingDevicesOnReconcileQueue();
            return;
        }
        // Retire first, and free what can be freed, so that the records of devices that
        // left make room for the devices that arrive in the same pass.
        for (auto& d : gDevices) {
            if (!TWDeviceVisible(&d)) continue;
            bool listed = false;
            for (const auto& e : snapshot.entries) {
                if (e.present && std::strncmp(e.uid, d.uid, sizeof d.uid) == 0) {
                    listed = true;
                    break;
                }
            }
            if (!listed) {
                TWBeginDestroyingDevice(&d);
                changed = true;
            }
        }
        TWFinishDyingDevicesOnReconcileQueue();
        bool complete = true;
        for (uint32_t j = 0; j < TidewellRuntimeMaxDevices; ++j) {
            const TWRuntimeSnapshotEntry& e = snapshot.entries[j];
            if (!e.present) continue;
            TWDevice* device = TWActiveDeviceForUID(e.uid);
            if (device != nullptr) {
                device->runtimeSlotIndex.store(static_cast<int32_t>(j), std::memory_order_relaxed);
                char current[sizeof device->name];
                TWLoadText(current, device->name, sizeof current);
                if (std::strncmp(current, e.name, sizeof current) != 0) {
                    TWStoreText(device->name, e.name, sizeof device->name);
                    TWNotifyDeviceProperty(device, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal);
                }
                char currentIcon[sizeof device->icon];
                TWLoadText(currentIcon, device->icon, sizeof currentIcon);
                if (std::strncmp(currentIcon, e.icon, sizeof currentIcon) != 0) {
                    TWStoreText(device->icon, e.icon, sizeof device->icon);
                    TWNotifyDeviceProperty(device, kAudioDevicePropertyIcon, kAudioObjectPropertyScopeGlobal);
                }
                uint32_t channels = TWSanitizeChannelCount(e.channelCount);
                if (channels != static_cast<uint32_t>(device->channelCount.load(std::memory_order_relaxed))) {
                    TWRequestChannelChange(device, channels);
                }
            } else if (TWCreateDeviceOnReconcileQueue(e.uid, e.name, e.icon, e.channelCount, static_cast<int32_t>(j))) {
                changed = true;
            } else {
                complete = false;
            }
        }
        if (changed) TWNotifyPlugInDeviceList();
        // A device that found no free record (a dying device still holds it while its
        // clients run) is created by a later pass over this same generation.
        if (complete) gLastReconciledGeneration.store(snapshot.generation, std::memory_order_release);
    } else {
        // A valid region that lists no device means the user removed them all: retire every
        // device the region published, so a deleted device does not stay live. Only an
        // unusable region (missing, wrong header, mid-write) keeps the current devices.
        // A region that has lost its header is refilled from scratch, its sequence from
        // zero: whatever generation it shows next says nothing about what was applied.
        if (!snapshot.valid && !TWRuntime3HeaderValid()) {
            gLastReconciledGeneration.store(kTWNoGeneration, std::memory_order_release);
        }
        if (snapshot.valid) {
            for (auto& d : gDevices) {
                if (TWDeviceVisible(&d) && d.runtimeSlotIndex.load(std::memory_order_relaxed) >= 0) {
                    TWBeginDestroyingDevice(&d);
                    changed = true;
                }
            }
        }
        if (TWVisibleDeviceCount() == 0 &&
            TWCreateDeviceOnReconcileQueue(kTWLegacyDeviceUID, kTWLegacyDeviceName, "", 2, -1) != nullptr) {
            changed = true;
        }
        TWFinishDyingDevicesOnReconcileQueue();
        if (changed) TWNotifyPlugInDeviceList();
    }
    gHasReconciled.store(true, std::memory_order_release);
}

// ---- lifetime operations ------------------------------------------------------------------

// Registers the bundle this shared object was loaded from, so that its resources (the
// device icon) can be found by the bundle identifier.
static void TWRegisterOwnBundle() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&TidewellHALFactory), &info) == 0 || info.dli_fname == nullptr) return;
    const char* path = info.dli_fname;
    const char* marker = std::strstr(path, "/Contents/MacOS/");
    if (marker == nullptr) return;
    size_t length = static_cast<size_t>(marker - path);
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path),
                                                           static_cast<CFIndex>(length), true);
    if (url == nullptr) return;
    CFBundleRef bundle = CFBundleCreate(nullptr, url);
    CFRelease(url);
    (void)bundle;  // registered process-wide for the life of the process
}

static void TWReconcileTimerFired(void*) { TWReconcileOnce(); }

OSStatus TWDriver_Initialize(AudioServerPlugInDriverRef, AudioServerPlugInHostRef host) {
    gHost.store(host, std::memory_order_release);
    TWRegisterOwnBundle();
    TWTryOpenRuntime3();
    TWReconcileOnce();
    if (gReconcileTimerEnabled && gReconcileQueue.load(std::memory_order_acquire) == nullptr) {
        dispatch_queue_t queue = dispatch_queue_create(kTWReconcileQueueLabel, DISPATCH_QUEUE_SERIAL);
        dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue);
        if (queue != nullptr && timer != nullptr) {
            dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, 500 * int64_t(NSEC_PER_MSEC)),
                                      500 * NSEC_PER_MSEC, 100 * NSEC_PER_MSEC);
            dispatch_source_set_event_handler_f(timer, TWReconcileTimerFired);
            gReconcileTimer = timer;
            gReconcileQueue.store(queue, std::memory_order_release);
            dispatch_resume(timer);
        }
    }
    return 0;
}

OSStatus TWDriver_CreateDevice(AudioServerPlugInDriverRef, CFDictionaryRef, const AudioServerPlugInClientInfo*,
                               AudioObjectID* outDeviceID) {
    if (outDeviceID != nullptr) *outDeviceID = 0;
    return kAudioHardwareIllegalOperationError;
}

OSStatus TWDriver_DestroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareIllegalOperationError;
}

OSStatus TWDriver_AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID deviceID,
                                  const AudioServerPlugInClientInfo*) {
    return TWResolveObject(deviceID).kind == kTWObjectDevice ? 0 : kAudioHardwareBadObjectError;
}

OSStatus TWDriver_RemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID deviceID,
                                     const AudioServerPlugInClientInfo*) {
    return TWResolveObject(deviceID).kind == kTWObjectDevice ? 0 : kAudioHardwareBadObjectError;
}

OSStatus TWDriver_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt64 action,
                                                   void*) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice) return kAudioHardwareBadObjectError;
    TWDevice* device = ref.device;
    if (action != kTWConfigurationChangeAction || device->pendingChannelCount.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    // The ring, the client slots and the meters are rebuilt: no IO may run meanwhile.
    TWBeginExclusive(device, true);
    // Freed, and perhaps taken by another device, while we waited: not ours any more.
    if (!TWDeviceUsable(device) || device->deviceID.load(std::memory_order_relaxed) != deviceID) {
        TWEndExclusive(device);
        return kAudioHardwareBadObjectError;
    }
    int32_t pending = device->pendingChannelCount.exchange(0, std::memory_order_acq_rel);
    if (pending != 0) {
        TWCheckNoIOAdmitted(device);
        device->channelCount.store(pending, std::memory_order_relaxed);
        TWResetRing(device);
        TWResetTiming(device);
        TWOpenMeters(device);
        TWCheckNoIOAdmitted(device);
    }
    TWEndExclusive(device);
    dispatch_queue_t queue = gReconcileQueue.load(std::memory_order_acquire);
    if (pending != 0 && queue != nullptr) {
        dispatch_async(queue, [deviceID] {
            TWObjectRef again = TWResolveObject(deviceID);
            if (again.kind != kTWObjectDevice) return;
            TWNotifyDeviceProperty(again.device, kAudioDevicePropertyStreamConfiguration,
                                   kAudioObjectPropertyScopeInput);
            TWNotifyDeviceProperty(again.device, kAudioDevicePropertyStreamConfiguration,
                                   kAudioObjectPropertyScopeOutput);
            TWNotifyDeviceProperty(again.device, kAudioDevicePropertyPreferredChannelsForStereo,
                                   kAudioObjectPropertyScopeGlobal);
        });
    }
    return 0;
}

OSStatus TWDriver_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef, AudioObjectID deviceID, UInt64, void*) {
    TWObjectRef ref = TWResolveObject(deviceID);
    if (ref.kind != kTWObjectDevice) return kAudioHardwareBadObjectError;
    ref.device->pendingChannelCount.store(0, std::memory_order_release);
    return 0;
}

// ---- entry points for in-process inspection ---------------------------------------------

void TWReconcileNow() {
    dispatch_queue_t queue = gReconcileQueue.load(std::memory_order_acquire);
    if (queue != nullptr && gReconcileTimerEnabled) {
        dispatch_sync(queue, [] { TWReconcileOnce(); });
    } else {
        TWReconcileOnce();
    }
}

void TWSetReconcileTimerEnabled(bool enabled) { gReconcileTimerEnabled = enabled; }

TWDevice* TWTestDeviceForID(AudioObjectID deviceID) {
    TWObjectRef ref = TWResolveObject(deviceID);
    return ref.kind == kTWObjectDevice ? ref.device : nullptr;
}
