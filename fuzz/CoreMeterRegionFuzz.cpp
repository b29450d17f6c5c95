// A meter region as the application reads it for its meters: the input is the region's
// contents, published under a private owner's name (not one the system uses) and read the
// way the window reads every meter. A reading has one peak per level, at most 64 of each.
#include "TidewellCore/RuntimeMeterStore.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void* gImage = nullptr;
std::string gOwner;
char gName[TidewellRegionNameCapacity];

void RemoveRegion() { shm_unlink(gName); }

void MakeRegion() {
    gOwner = "fuzz.meter." + std::to_string(getpid());
    if (!TidewellRegionFormatName(TidewellMeterNamePrefix, tidewell::RuntimeMeterStore::ownerHash(gOwner), gName,
                                  sizeof gName)) {
        std::exit(2);
    }
    shm_unlink(gName);
    int fd = shm_open(gName, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ftruncate(fd, TidewellMeterSize) != 0) {
        std::perror("fuzz: cannot make the meter region");
        std::exit(2);
    }
    gImage = mmap(nullptr, TidewellMeterSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (gImage == MAP_FAILED) {
        std::perror("fuzz: cannot map the meter region");
        std::exit(2);
    }
    std::atexit(RemoveRegion);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gImage == nullptr) MakeRegion();
    if (size > TidewellMeterSize) size = TidewellMeterSize;
    std::memset(gImage, 0, TidewellMeterSize);
    if (size > 0) std::memcpy(gImage, data, size);

    auto reading = tidewell::RuntimeMeterStore::reading(gOwner);
    if (reading && (reading->levels.size() != reading->peaks.size() ||
                    reading->levels.size() > TidewellMeterMaxChannels)) {
        std::fprintf(stderr, "a reading of %zu levels and %zu peaks\n", reading->levels.size(),
                     reading->peaks.size());
        std::abort();
    }
    // The meter cache compares readings as they arrive; values that are not numbers included.
    if (reading) {
        tidewell::MeterTap tap;
        std::map<std::string, tidewell::RuntimeMeterStore::Reading, std::less<>> readings{{gOwner, *reading}};
        tap.update(readings, 0.0);
        tap.update(readings, 0.1);
        (void)tap.reading(gOwner, 0.2);
    }
    return 0;
}
