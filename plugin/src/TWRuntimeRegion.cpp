// The runtime region as the plug-in reads it: mapping it (and following it when a writer
// creates it anew), the snapshot of its device table that a reconcile pass works on, and
// the live controls of each device, read on the IO path without lock or system call.

#include <TidewellHAL/TWDevice.h>
#include <TidewellHAL/TWRegionGuard.h>

#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <TidewellRuntimeSupport/TidewellShmTrust.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

// The system's runtime region unless a test points the plug-in at its own.
static const char* gRuntimeSharedMemoryName = TidewellRuntimeRegionName;
static char gRuntimeSharedMemoryNameOverride[64];
// The current mapping, read through TWRuntimeReader only.
static std::atomic<const unsigned char*> gRuntime3{nullptr};
// Identity of the object behind gRuntime3, to notice a region that was recreated, and the
// guard entry that covers its mapping.
static dev_t gRuntime3Device = 0;
static ino_t gRuntime3Inode = 0;
static uint32_t gRuntime3Guard = 0;

// Every mapping made and not yet unmapped, at the index of the guard entry that covers it:
// the current one (gRuntime3) and those given up for a region created since. Touched only
// by initialisation and the reconcile pass.
static const unsigned char* gRuntimeMappings[kTWGuardRuntimeEntries];

// Readers of the mappings other than the reconcile pass (the IO path, property calls) count
// themselves in here for as long as they hold a pointer into one. They count in before they
// load gRuntime3, so a given-up mapping that a reader could still hold keeps the count above
// zero: the pass unmaps given-up mappings only when it finds the count at zero.
static std::atomic<uint32_t> gRuntimeReaders{0};

namespace {

// One reader's hold on the current mapping (null when there is none). No system call, no
// lock: two atomic additions.
class TWRuntimeReader {
public:
    TWRuntimeReader() {
        gRuntimeReaders.fetch_add(1, std::memory_order_seq_cst);
        base_ = gRuntime3.load(std::memory_order_seq_cst);
    }
    ~TWRuntimeReader() { gRuntimeReaders.fetch_sub(1, std::memory_order_release); }
    TWRuntimeReader(const TWRuntimeReader&) = delete;
    TWRuntimeReader& operator=(const TWRuntimeReader&) = delete;
    const unsigned char* base() const { return base_; }

private:
    const unsigned char* base_;
};

}  // namespace

// ---- the runtime region --------------------------------------------------------------------

// Unmaps the mappings given up for newer regions, once no reader holds any: a reader that
// loaded one of them counted itself in before, and counts itself out only when done with it
// (the count's acquire load orders its reads before the unmap). A given-up mapping's guard
// goes first, so its entry can cover the next region.
static void TWFreeGivenUpRuntimeMappings() {
    const unsigned char* current = gRuntime3.load(std::memory_order_seq_cst);
    bool givenUp = false;
    for (const unsigned char* mapping : gRuntimeMappings) givenUp |= mapping != nullptr && mapping != current;
    if (!givenUp || gRuntimeReaders.load(std::memory_order_seq_cst) != 0) return;
    for (uint32_t entry = 0; entry < kTWGuardRuntimeEntries; ++entry) {
        const unsigned char* mapping = gRuntimeMappings[entry];
        if (mapping == nullptr || mapping == current) continue;
        TWRegionGuardClear(entry);
        munmap(const_cast<unsigned char*>(mapping), TidewellRuntimeSize);
        gRuntimeMappings[entry] = nullptr;
    }
}

// Maps the runtime region, or follows it when a writer removed it and created it again:
// the name is opened on every call and compared with the mapped object by device and
// inode. Called only from initialisation and the reconcile pass, never from the IO path.
// A mapping that has been published is unmapped only once it has been given up for a newer
// region and no reader holds it any longer.
// A region cut below its size under the mapping is swapped for zero pages (the guard does
// the same when a reader faults past the cut), so that every reader finds the header
// unusable and devices keep their last good controls; once the region is whole again it
// is mapped back over the same range.
// Only a region of the user's own that nobody else may write is read: another user's
// region (the names are the whole machine's) would publish that user's devices here. One
// that fails is treated as missing, and the mapped region, should it stop being the user's
// own, as a cut one.
void TWTryOpenRuntime3() {
    TWFreeGivenUpRuntimeMappings();
    int fd = shm_open(gRuntimeSharedMemoryName, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return;  // missing: keep reading what we have until a region appears
    struct stat st;
    const TidewellShmTrust trust = TidewellShmCheck(fd, &st);
    if (trust == TidewellShmStatusUnreadable) {
        close(fd);
        return;
    }
    const unsigned char* current = gRuntime3.load(std::memory_order_acquire);
    const bool mapped = current != nullptr && st.st_dev == gRuntime3Device && st.st_ino == gRuntime3Inode;
    if (trust != TidewellShmTrusted || st.st_size < static_cast<off_t>(TidewellRuntimeSize)) {
        if (mapped && !TWRegionGuardDamaged(gRuntime3Guard)) TWRegionGuardRetire(gRuntime3Guard);
        close(fd);
        return;
    }
    if (mapped) {
        // Its generations restart when a writer fills it anew: the next pass applies it whole.
        if (TWRegionGuardDamaged(gRuntime3Guard) && TWRegionGuardRestore(gRuntime3Guard, fd)) {
            gHasReconciled.store(false, std::memory_order_release);
        }
        close(fd);
        return;
    }
    // A guard entry for the new mapping. With none free, readers have held on to every
    // mapping given up so far: the region is taken up on a later pass.
    uint32_t entry = 0;
    while (entry < kTWGuardRuntimeEntries && gRuntimeMappings[entry] != nullptr) ++entry;
    if (entry == kTWGuardRuntimeEntries) {
        close(fd);
        return;
    }
    void* mapping = mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapping == MAP_FAILED) return;
    gRuntime3Device = st.st_dev;
    gRuntime3Inode = st.st_ino;
    gRuntime3Guard = entry;
    gRuntimeMappings[entry] = static_cast<const unsigned char*>(mapping);
    TWRegionGuardSet(entry, mapping, TidewellRuntimeSize, false);
    gRuntime3.store(static_cast<const unsigned char*>(mapping), std::memory_order_seq_cst);
    // A new region starts its own sequence: its generations say nothing about the old one's.
    gHasReconciled.store(false, std::memory_order_release);
}

static bool TWHeaderValid(const unsigned char* base) {
    return base != nullptr &&
           TidewellRegionHeaderMatches(base, TidewellRuntimeMagic, TidewellRuntimeVersion, TidewellRuntimeSize);
}

bool TWRuntime3HeaderValid() {
    TWRuntimeReader reader;
    return TWHeaderValid(reader.base());
}

TWRuntimeSnapshot TWSnapshotRegion() {
    TWRuntimeSnapshot snapshot;
    std::memset(&snapshot, 0, sizeof snapshot);
    TWTryOpenRuntime3();
    TWRuntimeReader reader;
    const unsigned char* base = reader.base();
    if (!TWHeaderValid(base)) return snapshot;
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint32_t begin = TidewellSequenceReadBegin(base);
        if (begin & 1u) continue;
        std::memset(&snapshot, 0, sizeof snapshot);
        snapshot.generation = begin;
        uint32_t count = TidewellRegionLoadWord(base, offsetof(TidewellRuntimeRegion, deviceCount));
        if (count > TidewellRuntimeMaxDevices) count = TidewellRuntimeMaxDevices;
        for (uint32_t j = 0; j < count; ++j) {
            size_t slot = TidewellRuntimeSlotOffset(j);
            uint32_t flags = TidewellRegionLoadWord(base, slot + offsetof(TidewellRuntimeDeviceSlot, flags));
            if (!(flags & TidewellSlotFlagPresent)) continue;
            TWRuntimeSnapshotEntry& e = snapshot.entries[j];
            e.present = true;
            e.channelCount = TidewellRegionLoadWord(base, slot + offsetof(TidewellRuntimeDeviceSlot, channelCount));
            TidewellRegionReadBytes(e.uid, base, slot + offsetof(TidewellRuntimeDeviceSlot, uid), sizeof e.uid);
            TidewellRegionReadBytes(e.name, base, slot + offsetof(TidewellRuntimeDeviceSlot, name), sizeof e.name);
            TidewellRegionReadBytes(e.icon, base, slot + offsetof(TidewellRuntimeDeviceSlot, icon), sizeof e.icon);
            e.uid[sizeof e.uid - 1] = '\0';
            e.name[sizeof e.name - 1] = '\0';
            e.icon[sizeof e.icon - 1] = '\0';
            if (e.uid[0] == '\0') {
                e.present = false;
            } else {
                ++snapshot.presentCount;
            }
        }
        if (TidewellSequenceReadValidate(base, begin)) {
            snapshot.valid = true;
            return snapshot;
        }
    }
    std::memset(&snapshot, 0, sizeof snapshot);
    return snapshot;
}

TWDeviceControls TWDefaultControls(uint32_t channelCount) {
    TWDeviceControls c;
    std::memset(&c, 0, sizeof c);
    c.deviceEnabled = true;
    c.sourceEnabled = true;
    c.muted = false;
    c.deviceGain = 1.0f;
    c.sourceGain = 1.0f;
    for (auto& g : c.channelGains) g = 1.0f;
    uint32_t routes = channelCount < 2 ? channelCount : 2;
    for (uint32_t i = 0; i < routes; ++i) c.routes[i] = {i + 1, i + 1};
    c.routeCount = routes;
    return c;
}

enum TWControlsRead { kTWControlsRead, kTWControlsAbsent, kTWControlsUnreadable, kTWControlsTorn, kTWControlsMoved };

// A runtime slot's uid as the snapshot keeps it: its first 128 bytes, the last forced NUL.
static bool TWSlotHoldsUID(const unsigned char* base, size_t slot, const char* uid) {
    char slotUID[TidewellRuntimeUIDCapacity];
    TidewellRegionReadBytes(slotUID, base, slot + offsetof(TidewellRuntimeDeviceSlot, uid), sizeof slotUID);
    slotUID[sizeof slotUID - 1] = '\0';
    return std::strncmp(slotUID, uid, sizeof slotUID) == 0;
}

// One sequence-checked copy of a slot's controls. Makes no system call. With a uid, the
// slot must be present, within the region's count and hold that uid, else the device has
// moved (or left): kTWControlsMoved. No mapping, or a header of another version or layout
// (another build's writer, a region cut or being refilled): kTWControlsUnreadable.
static TWControlsRead TWReadSlotControls(const unsigned char* base, int32_t slotIndex, const char* uid,
                                         TWDeviceControls* out) {
    if (slotIndex < 0 || slotIndex >= static_cast<int32_t>(TidewellRuntimeMaxDevices)) return kTWControlsAbsent;
    if (!TWHeaderValid(base)) return kTWControlsUnreadable;
    size_t slot = TidewellRuntimeSlotOffset(static_cast<uint32_t>(slotIndex));
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t begin = TidewellSequenceReadBegin(base);
        if (begin & 1u) continue;
        bool holdsDevice = true;
        if (uid != nullptr) {
            uint32_t count = TidewellRegionLoadWord(base, offsetof(TidewellRuntimeRegion, deviceCount));
            holdsDevice = static_cast<uint32_t>(slotIndex) < count && TWSlotHoldsUID(base, slot, uid);
        }
        uint32_t flags = TidewellRegionLoadWord(base, slot + offsetof(TidewellRuntimeDeviceSlot, flags));
        float deviceGain = TidewellRegionLoadFloat(base, slot + offsetof(TidewellRuntimeDeviceSlot, deviceGain));
        float sourceGain = TidewellRegionLoadFloat(base, slot + offsetof(TidewellRuntimeDeviceSlot, sourceGain));
        TidewellRegionReadBytes(out->channelGains, base, slot + offsetof(TidewellRuntimeDeviceSlot, channelGains),
                                sizeof out->channelGains);
        uint32_t routeCount = TidewellRegionLoadWord(base, slot + offsetof(TidewellRuntimeDeviceSlot, routeCount));
        if (routeCount > TidewellRuntimeMaxRoutes) routeCount = TidewellRuntimeMaxRoutes;
        TidewellRegionReadBytes(out->routes, base, slot + offsetof(TidewellRuntimeDeviceSlot, routes),
                                sizeof(TWRoute) * routeCount);
        if (!TidewellSequenceReadValidate(base, begin)) continue;
        if (uid != nullptr && (!holdsDevice || !(flags & TidewellSlotFlagPresent))) return kTWControlsMoved;
        if (!(flags & TidewellSlotFlagPresent)) return kTWControlsAbsent;
        out->deviceEnabled = (flags & TidewellSlotFlagDeviceEnabled) != 0;
        out->sourceEnabled = (flags & TidewellSlotFlagSourceEnabled) != 0;
        out->muted = (flags & TidewellSlotFlagMuted) != 0;
        out->deviceGain = TWClampGain(deviceGain);
        out->sourceGain = TWClampGain(sourceGain);
        for (auto& g : out->channelGains) g = TWClampGain(g);
        out->routeCount = routeCount;
        return kTWControlsRead;
    }
    return kTWControlsTorn;
}

static constexpr int32_t kTWSlotNotFound = -1;
static constexpr int32_t kTWSlotTorn = -2;

// The present slot that holds the uid now, by one sequence-checked scan of the slots.
static int32_t TWFindSlotForUID(const unsigned char* base, const char* uid) {
    if (!TWHeaderValid(base)) return kTWSlotNotFound;
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t begin = TidewellSequenceReadBegin(base);
        if (begin & 1u) continue;
        uint32_t count = TidewellRegionLoadWord(base, offsetof(TidewellRuntimeRegion, deviceCount));
        if (count > TidewellRuntimeMaxDevices) count = TidewellRuntimeMaxDevices;
        int32_t found = kTWSlotNotFound;
        for (uint32_t j = 0; j < count && found == kTWSlotNotFound; ++j) {
            size_t slot = TidewellRuntimeSlotOffset(j);
            uint32_t flags = TidewellRegionLoadWord(base, slot + offsetof(TidewellRuntimeDeviceSlot, flags));
            if ((flags & TidewellSlotFlagPresent) && TWSlotHoldsUID(base, slot, uid)) found = static_cast<int32_t>(j);
        }
        if (TidewellSequenceReadValidate(base, begin)) return found;
    }
    return kTWSlotTorn;
}

TWDeviceControls TWCurrentControls(int32_t slotIndex, uint32_t channelCount) {
    TWDeviceControls c;
    TWRuntimeReader reader;
    if (TWReadSlotControls(reader.base(), slotIndex, nullptr, &c) == kTWControlsRead) return c;
    return TWDefaultControls(channelCount);
}

// The last-good copy moves in aligned words with atomic accesses under its own counter;
// a writer that finds another write in progress simply skips its update.
static void TWStoreLastControls(TWDevice* device, const TWDeviceControls& controls) {
    uint32_t s = device->lastControlsSequence.load(std::memory_order_relaxed);
    if (s & 1u) return;
    if (!device->lastControlsSequence.compare_exchange_strong(s, s + 1, std::memory_order_acq_rel)) return;
    size_t offset = 0;
    const size_t size = sizeof(TWDeviceControls);
    TidewellRegionWriteBytes(device->lastControls, offset, &controls, size);
    device->lastControlsSequence.store(s + 2, std::memory_order_release);
}

static bool TWLoadLastControls(TWDevice* device, TWDeviceControls* out) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t begin = device->lastControlsSequence.load(std::memory_order_acquire);
        if (begin == 0) return false;
        if (begin & 1u) continue;
        TidewellRegionReadBytes(out, device->lastControls, 0, sizeof(TWDeviceControls));
        if (device->lastControlsSequence.load(std::memory_order_acquire) == begin) return true;
    }
    return false;
}

TWDeviceControls TWCurrentControlsForDevice(TWDevice* device) {
    uint32_t channels = static_cast<uint32_t>(device->channelCount.load(std::memory_order_relaxed));
    TWDeviceControls c;
    // The slot recorded at the last pass, checked by uid: writers move devices between
    // slots, and a pass notices only up to half a second later.
    char uid[sizeof device->uid];
    TWLoadText(uid, device->uid, sizeof uid);
    TWRuntimeReader reader;
    TWControlsRead read =
        TWReadSlotControls(reader.base(), device->runtimeSlotIndex.load(std::memory_order_relaxed), uid, &c);
    if (read == kTWControlsMoved) {
        int32_t slot = TWFindSlotForUID(reader.base(), uid);
        if (slot >= 0) read = TWReadSlotControls(reader.base(), slot, uid, &c);
    }
    switch (read) {
        case kTWControlsRead:
            TWStoreLastControls(device, c);
            return c;
        case kTWControlsUnreadable:
        case kTWControlsTorn:
        case kTWControlsMoved:
            // A publish is in progress, the region cannot be read for now, or the device
            // has left the region and the next pass retires it: keep what the device last
            // had rather than take another device's controls or jump to unmuted unity gain
            // with default routes.
            if (TWLoadLastControls(device, &c)) return c;
            return TWDefaultControls(channels);
        case kTWControlsAbsent:
            break;
    }
    return TWDefaultControls(channels);
}

bool TWCushionDisabled() {
    TWRuntimeReader reader;
    const unsigned char* base = reader.base();
    if (!TWHeaderValid(base)) return false;
    uint32_t flags = TidewellRegionLoadWord(base, offsetof(TidewellRuntimeRegion, flags));
    return (flags & TidewellRuntimeFlagCushionDisabled) != 0;
}

void TWSetRuntimeSharedMemoryName(const char* name) {
    TWCopyBounded(gRuntimeSharedMemoryNameOverride, name, sizeof gRuntimeSharedMemoryNameOverride);
    gRuntimeSharedMemoryName = gRuntimeSharedMemoryNameOverride;
    // The old mapping is given up, and unmapped by a later pass once no reader holds it.
    gRuntime3.store(nullptr, std::memory_order_seq_cst);
    gRuntime3Device = 0;
    gRuntime3Inode = 0;
}
