// TidewellHAL's device model: the limits, the records of devices, streams, controls and
// clients, and the operations on them that the driver's source files share (object
// resolution, device exclusion, notifications, record resets, the runtime region's
// controls). The IO path (TWIO.h) and the driver interface (TWDriver.h) build on it;
// nothing here depends on either.
#pragma once

#include <AudioABI/AudioABI.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <TidewellStream/TidewellMeterWriter.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- limits and constants ---------------------------------------------------------------
// Devices, channels, routes and the device texts are bounded by the runtime region that
// describes them (TidewellRegions.h); what follows is the plug-in's own.

inline constexpr uint32_t kTWMaxClients = 64;
// The ring holds the largest buffer a client may ask for (4096 frames) with room for a
// full cushion on top, at the widest channel count.
inline constexpr uint32_t kTWRingFrames = 8192;
inline constexpr size_t kTWRingFloats = size_t(kTWRingFrames) * TidewellRuntimeMaxChannels;
inline constexpr uint32_t kTWMinBufferFrames = 32;
inline constexpr uint32_t kTWMaxBufferFrames = 4096;
inline constexpr uint32_t kTWDefaultBufferFrames = 512;
inline constexpr uint32_t kTWMaxCushionFrames = 512;
inline constexpr uint32_t kTWCushionStepFrames = 32;
inline constexpr uint64_t kTWCushionWarmupFrames = 48000;
inline constexpr Float64 kTWSampleRate = 48000.0;
inline constexpr AudioObjectID kTWPlugInObjectID = 1;
inline constexpr int32_t kTWFirstObjectID = 16;
inline constexpr int32_t kTWObjectIDsPerDevice = 8;
inline constexpr UInt64 kTWConfigurationChangeAction = AUDIO_FOUR_CC('z', 'v', 'b', 'c');

extern const char kTWLegacyDeviceUID[];
extern const char kTWLegacyDeviceName[];
extern const char kTWLegacySourceMeterOwnerID[];
extern const char kTWLegacyOutputMeterOwnerID[];
extern const char kTWBundleIdentifier[];
extern const char kTWModelUID[];

// ---- records ---------------------------------------------------------------------------

enum TWObjectKind : int32_t {
    kTWObjectNone = 0,
    kTWObjectPlugIn = 1,
    kTWObjectDevice = 2,
    kTWObjectStream = 3,
    kTWObjectVolumeControl = 4,
    kTWObjectMuteControl = 5,
};

enum TWDeviceState : int32_t {
    kTWDeviceFree = 0,
    kTWDeviceLive = 1,
    kTWDeviceDying = 2,
};

enum TWClientSlotState : int32_t {
    kTWClientFree = 0,
    kTWClientInUse = 1,
    kTWClientClaiming = 2,
};

struct TWClientState {
    std::atomic<int32_t> state;
    std::atomic<uint32_t> clientID;
    std::atomic<uint64_t> readPosition;
    std::atomic<uint32_t> cushionFrames;
    std::atomic<uint64_t> framesServed;
    std::atomic<uint32_t> underrunCount;
    std::atomic<uint32_t> cushionGrowthCount;
};

struct TWRoute {
    uint32_t sourceChannel;  // one-based
    uint32_t destinationChannel;
};
// Routes are copied from a runtime slot as they lie there.
static_assert(sizeof(TWRoute) == sizeof(TidewellRuntimeRoute));
static_assert(offsetof(TWRoute, sourceChannel) == offsetof(TidewellRuntimeRoute, sourceChannel));
static_assert(offsetof(TWRoute, destinationChannel) == offsetof(TidewellRuntimeRoute, outputChannel));

struct TWDeviceControls {
    bool deviceEnabled;
    bool sourceEnabled;
    bool muted;
    float deviceGain;
    float sourceGain;
    float channelGains[TidewellRuntimeMaxChannels];
    uint32_t routeCount;
    TWRoute routes[TidewellRuntimeMaxRoutes];
};
static_assert(sizeof(TWDeviceControls) % 4 == 0, "the last-good copy moves in words");

struct TWDevice {
    std::atomic<int32_t> state;
    std::atomic<uint32_t> deviceID, inputStreamID, outputStreamID, volumeControlID, muteControlID;
    // uid is written only while the record is free, name and icon change in place; all
    // three are copied byte by byte with atomic accesses (TWStoreText, TWLoadText), since a
    // property call that resolved the record's previous device may still be reading it when
    // a pass frees the record and gives it to a new device. A racing reader sees a mix,
    // never garbage past the terminating NUL.
    char uid[TidewellRuntimeUIDCapacity];
    char name[TidewellRuntimeNameCapacity];
    char icon[TidewellRuntimeIconCapacity];
    std::atomic<int32_t> channelCount;
    std::atomic<int32_t> pendingChannelCount;
    std::atomic<int32_t> runtimeSlotIndex;
    float* ring;  // kTWRingFloats floats, allocated on the slot's first use, never freed
    std::atomic<uint64_t> writePosition;
    std::atomic<uint32_t> bufferFrameSize;
    std::atomic<uint64_t> anchorHostTime;
    std::atomic<uint64_t> periodCount;
    std::atomic<Float64> hostOffset;
    std::atomic<int32_t> runningIOCount;
    TWClientState clients[kTWMaxClients];
    // The ids of the clients whose StartIO succeeded and that have not stopped since (0:
    // free entry); runningIOCount counts them. Kept apart from the client slots, which a
    // ring reset frees under running clients. Empty whenever the record is free, since a
    // device is freed only when no client runs.
    std::atomic<uint32_t> startedClients[kTWMaxClients];
    std::atomic<uint32_t> underrunCount;
    std::atomic<uint32_t> cushionGrowthCount;
    TidewellMeterWriter sourceMeter;
    TidewellMeterWriter outputMeter;

    // Exclusion between the IO operations and what rebuilds or frees the device: IO and
    // client start/stop count themselves in ioInFlight; a configuration change or the
    // freeing of a dying device raises `exclusive` and waits for the count to drain.
    std::atomic<int32_t> ioInFlight;
    std::atomic<bool> exclusive;
    // A probe of that exclusion: the callers admitted into the device and not yet gone
    // (ioInFlight also counts, for a moment, callers that are turned away), and the times
    // a rebuild or a freeing found one of them still inside. Never reset, like ioInFlight.
    std::atomic<int32_t> ioAdmitted;
    std::atomic<uint32_t> ioOverlapCount;

    // The last controls read whole from the device's runtime slot, kept for the reads
    // that find the slot mid-write. Guarded by its own sequence counter (0: none yet).
    std::atomic<uint32_t> lastControlsSequence;
    alignas(8) unsigned char lastControls[sizeof(TWDeviceControls)];
};

struct TWObjectRef {
    TWObjectKind kind;
    TWDevice* device;  // kinds device, stream, volume and mute
    bool isInputStream;
};

struct TWRuntimeSnapshotEntry {
    bool present;
    uint32_t channelCount;
    char uid[TidewellRuntimeUIDCapacity];
    char name[TidewellRuntimeNameCapacity];
    char icon[TidewellRuntimeIconCapacity];
};

struct TWRuntimeSnapshot {
    bool valid;
    uint32_t generation;
    uint32_t presentCount;
    TWRuntimeSnapshotEntry entries[TidewellRuntimeMaxDevices];
};

// ---- internal operations shared by the driver's source files ------------------------------

extern TWDevice gDevices[TidewellRuntimeMaxDevices];
extern std::atomic<AudioServerPlugInHostRef> gHost;
// Cleared when a new region is mapped: its generations say nothing about the old one's.
extern std::atomic<bool> gHasReconciled;

TWObjectRef TWResolveObject(AudioObjectID objectID);
bool TWDeviceUsable(const TWDevice* device);
bool TWDeviceVisible(const TWDevice* device);
uint32_t TWVisibleDeviceCount();
TWDevice* TWActiveDeviceForUID(const char* uid);
bool TWRuntime3HeaderValid();
void TWTryOpenRuntime3();
TWRuntimeSnapshot TWSnapshotRegion();
uint32_t TWSanitizeChannelCount(uint32_t channelCount);
float TWClampGain(float value);
TWDeviceControls TWDefaultControls(uint32_t channelCount);
// The controls held in one runtime slot, whichever device it holds (the defaults when the
// slot cannot be read or holds none).
TWDeviceControls TWCurrentControls(int32_t slotIndex, uint32_t channelCount);
// The device's live controls, from the slot that holds its uid (the slot recorded at the
// last pass, else the one it has moved to since). A slot found mid-write on every attempt,
// or a device no longer in the region, gives the device's last good controls instead of
// the defaults.
TWDeviceControls TWCurrentControlsForDevice(TWDevice* device);
void TWNotifyDeviceProperty(TWDevice* device, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope);
void TWNotifyPlugInDeviceList();
void TWResetRing(TWDevice* device);
void TWResetTiming(TWDevice* device);
void TWOpenMeters(TWDevice* device);
void TWCopyBounded(char* destination, const char* source, size_t size);
// Byte-wise atomic copies for the texts that change while other threads read them.
void TWStoreText(char* destination, const char* source, size_t size);
void TWLoadText(char* destination, const char* source, size_t size);
bool TWCushionDisabled();
void TWResetClientStates(TWDevice* device);
// Device exclusion (see TWDevice::exclusive).
bool TWEnterIO(TWDevice* device);
void TWLeaveIO(TWDevice* device);
void TWEnterIOWaiting(TWDevice* device);
bool TWBeginExclusive(TWDevice* device, bool wait);
void TWEndExclusive(TWDevice* device);
// Counts an overlap when a caller is inside the device; called within the exclusive section.
void TWCheckNoIOAdmitted(TWDevice* device);
// The live device with that id, else null (for in-process inspection).
TWDevice* TWTestDeviceForID(AudioObjectID deviceID);
