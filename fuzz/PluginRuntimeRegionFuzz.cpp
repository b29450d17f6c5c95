// The runtime region as the plug-in reads it: the device-table snapshot of a reconcile pass,
// the live controls of a slot and of a device (found by uid when it has moved), and the
// region's flags. The input is the region's contents, laid into a region of the full size
// that the reader maps by name (a private name per process, not the system's).
#include <TidewellHAL/TWDevice.h>
#include <TidewellHAL/TWDriver.h>

#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void* gImage = nullptr;
std::string gName;

void RemoveRegion() { shm_unlink(gName.c_str()); }

void MakeRegion() {
    gName = "/twfuzz-runtime-" + std::to_string(getpid());
    shm_unlink(gName.c_str());
    int fd = shm_open(gName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ftruncate(fd, TidewellRuntimeSize) != 0) {
        std::perror("fuzz: cannot make the runtime region");
        std::exit(2);
    }
    gImage = mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (gImage == MAP_FAILED) {
        std::perror("fuzz: cannot map the runtime region");
        std::exit(2);
    }
    std::atexit(RemoveRegion);
    TWSetRuntimeSharedMemoryName(gName.c_str());
}

void CheckControls(const TWDeviceControls& c) {
    // What the IO path multiplies by and indexes with must be in range whatever the region says.
    bool sane = std::isfinite(c.deviceGain) && std::isfinite(c.sourceGain) && c.routeCount <= TidewellRuntimeMaxRoutes;
    for (float g : c.channelGains) sane = sane && std::isfinite(g);
    if (!sane) {
        std::fprintf(stderr, "controls out of range: gain %g/%g, %u routes\n", c.deviceGain, c.sourceGain, c.routeCount);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gImage == nullptr) MakeRegion();
    if (size > TidewellRuntimeSize) size = TidewellRuntimeSize;
    std::memset(gImage, 0, TidewellRuntimeSize);
    if (size > 0) std::memcpy(gImage, data, size);

    TWRuntimeSnapshot snapshot = TWSnapshotRegion();
    for (const auto& e : snapshot.entries) {
        if (e.present && (std::strlen(e.uid) >= sizeof e.uid || std::strlen(e.name) >= sizeof e.name)) std::abort();
    }
    (void)TWRuntime3HeaderValid();
    (void)TWCushionDisabled();

    // A device record as a pass would have left it: the uid of the first present entry (or
    // none), recorded at a slot that the input picks, which may be out of range.
    static TWDevice device;
    std::memset(static_cast<void*>(&device), 0, sizeof device);
    const TWRuntimeSnapshotEntry* first = nullptr;
    for (const auto& e : snapshot.entries)
        if (e.present && first == nullptr) first = &e;
    if (first != nullptr) std::memcpy(device.uid, first->uid, sizeof device.uid);
    int32_t slot = size >= 4 ? static_cast<int32_t>(data[size - 1]) - 8 : 0;
    device.runtimeSlotIndex.store(slot);
    device.channelCount.store(first != nullptr ? static_cast<int32_t>(first->channelCount) : 2);
    CheckControls(TWCurrentControlsForDevice(&device));
    // Twice: the second read may take the last good copy the first one kept.
    CheckControls(TWCurrentControlsForDevice(&device));
    for (int32_t s = -1; s <= static_cast<int32_t>(TidewellRuntimeMaxDevices); s += 5)
        CheckControls(TWCurrentControls(s, 2));
    return 0;
}
