#include "TidewellCore/RuntimeMeterStore.h"

#include "TidewellCore/TidewellConstants.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tidewell {

namespace RuntimeMeterStore {

namespace {

constexpr int kAttempts = 4;
constexpr double kStaleAfter = 0.3;

std::string deviceOwnerID(std::string_view deviceUID, std::string_view side)
{
    return "tidewell.device." + std::string(deviceUID) + "." + std::string(side);
}

std::optional<Reading> copyReading(const void *region)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const uint32_t sequence = TidewellSequenceReadBegin(region);
        const uint32_t magic = TidewellRegionLoadWord(region, TidewellRegionMagicOffset);
        const uint32_t version = TidewellRegionLoadWord(region, TidewellRegionVersionOffset);
        const uint32_t size = TidewellRegionLoadWord(region, TidewellRegionSizeOffset);
        const uint32_t count = TidewellRegionLoadWord(region, offsetof(TidewellMeterRegion, channelCount));
        const uint32_t n = count < TidewellMeterMaxChannels ? count : TidewellMeterMaxChannels;

        float levels[TidewellMeterMaxChannels];
        float peaks[TidewellMeterMaxChannels];
        TidewellRegionReadBytes(levels, region, offsetof(TidewellMeterRegion, levels), 4 * n);
        const bool hasPeaks = version >= TidewellMeterVersion;
        if (hasPeaks) {
            TidewellRegionReadBytes(peaks, region, offsetof(TidewellMeterRegion, peaks), 4 * n);
        }
        if (!TidewellSequenceReadValidate(region, sequence)) {
            continue;
        }
        if (magic != TidewellMeterMagic ||
            (version != TidewellMeterVersion && version != TidewellMeterVersionWithoutPeaks) ||
            size != TidewellMeterSize) {
            continue;
        }
        Reading result;
        result.levels.assign(levels, levels + n);
        if (hasPeaks) {
            result.peaks.assign(peaks, peaks + n);
        } else {
            result.peaks = result.levels; // version 1 regions carry no peaks
        }
        return result;
    }
    return std::nullopt;
}

} // namespace

std::string sourceOwnerID(std::string_view deviceUID)
{
    if (deviceUID == TidewellCore::passThruDeviceUID) {
        return std::string(passThruSourceOwnerID);
    }
    return deviceOwnerID(deviceUID, "source");
}

std::string outputOwnerID(std::string_view deviceUID)
{
    if (deviceUID == TidewellCore::passThruDeviceUID) {
        return std::string(deviceOutputOwnerID);
    }
    return deviceOwnerID(deviceUID, "output");
}

uint64_t ownerHash(std::string_view ownerID)
{
    return TidewellOwnerHashBytes(ownerID.data(), ownerID.size());
}

std::optional<Reading> reading(std::string_view ownerID)
{
    char name[TidewellRegionNameCapacity];
    if (!TidewellRegionFormatName(TidewellMeterNamePrefix, ownerHash(ownerID), name, sizeof name)) {
        return std::nullopt;
    }
    const int fd = TidewellShmOpen(name, O_RDONLY, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    // Another user's region (or one that others may write) is not this user's meter, and a
    // region shorter than its layout is never mapped: reading past its end would kill the
    // application.
    struct stat st {};
    if (TidewellShmCheck(fd, &st) != TidewellShmTrusted || st.st_size < static_cast<off_t>(TidewellMeterSize)) {
        close(fd);
        return std::nullopt;
    }
    void *mapping = mmap(nullptr, TidewellMeterSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        close(fd);
        return std::nullopt;
    }
    std::optional<Reading> result = copyReading(mapping);
    munmap(mapping, TidewellMeterSize);
    close(fd);
    return result;
}

std::optional<std::vector<double>> levels(std::string_view ownerID)
{
    if (auto found = reading(ownerID)) {
        return std::move(found->levels);
    }
    return std::nullopt;
}

} // namespace RuntimeMeterStore

void MeterTap::update(const std::map<std::string, RuntimeMeterStore::Reading, std::less<>> &readings, double time)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::map<std::string, Entry, std::less<>> next;
    for (const auto &[owner, reading] : readings) {
        auto found = entries_.find(owner);
        if (found != entries_.end() && found->second.reading == reading) {
            next.emplace(owner, found->second);
        } else {
            next.emplace(owner, Entry{reading, time});
        }
    }
    entries_ = std::move(next);
}

std::optional<RuntimeMeterStore::Reading> MeterTap::reading(std::string_view ownerID, double time) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(ownerID);
    if (found == entries_.end() || !(time - found->second.lastChanged < RuntimeMeterStore::kStaleAfter)) {
        return std::nullopt;
    }
    return found->second.reading;
}

} // namespace tidewell
