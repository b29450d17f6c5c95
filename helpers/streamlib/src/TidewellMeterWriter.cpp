#include "TidewellStream/TidewellMeterWriter.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr float kLevelDecay = 0.82f;
constexpr float kPeakDecay = 0.95f;
// Owner read-write, everyone else read-only: readers never need more, and a region that any
// local user could open read-write could also be shrunk under its readers' mappings.
constexpr uint16_t kRegionMode = 0644;

float Clamp01(float value)
{
    if (value < 0.0f) {
        return 0.0f;
    }
    return value > 1.0f ? 1.0f : value;
}

float DecayedOld(float old, float factor)
{
    if (!std::isfinite(old)) {
        return 0.0f;
    }
    // Only a damaged region holds more than full scale; the meter falls from full scale, not
    // from there (from 1e38 it would stay pinned at full for minutes).
    float decayed = Clamp01(old) * factor;
    return decayed > 0.0f ? decayed : 0.0f;
}

} // namespace

uint64_t TidewellMeterHash(const char *ownerID)
{
    return TidewellOwnerHash(ownerID);
}

bool TidewellMeterName(uint64_t hash, char *buffer, size_t size)
{
    return TidewellRegionFormatName(TidewellMeterNamePrefix, hash, buffer, size);
}

bool TidewellControlName(uint64_t hash, char *buffer, size_t size)
{
    return TidewellRegionFormatName(TidewellControlNamePrefix, hash, buffer, size);
}

bool TidewellMeterWriterOpen(TidewellMeterWriter *writer, const char *ownerID, uint32_t channelCount)
{
    if (writer == nullptr) {
        return false;
    }
    writer->mapping = nullptr;
    writer->descriptor = -1;
    writer->channelCount = channelCount > TidewellMeterMaxChannels ? TidewellMeterMaxChannels : channelCount;
    if (ownerID == nullptr || ownerID[0] == '\0') {
        return false;
    }

    char name[TidewellRegionNameCapacity];
    if (!TidewellMeterName(TidewellMeterHash(ownerID), name, sizeof name)) {
        return false;
    }
    bool created = true;
    int fd = TidewellShmOpen(name, O_RDWR | O_CREAT | O_EXCL, kRegionMode);
    struct stat st {};
    if (fd < 0) {
        created = false;
        fd = TidewellShmOpen(name, O_RDWR, 0);
        if (fd < 0) {
            // Another user's region that this user may not open: said once, by whose it is.
            TidewellShmReportRefusal(name, TidewellShmCheckUnopened(name, errno, &st), &st);
            return false;
        }
    }

    // Nothing is written into a region that is not the user's own. One of the user's own that
    // others may write (an older build's) loses their write right first.
    const TidewellShmTrust trust = TidewellShmClaim(fd, &st);
    if (trust != TidewellShmTrusted) {
        TidewellShmReportRefusal(name, trust, &st);
        close(fd);
        return false;
    }
    TidewellShmReportAccepted(name);

    bool sizeOK = !created && st.st_size >= static_cast<off_t>(TidewellMeterSize);
    if (!sizeOK) {
        if (ftruncate(fd, TidewellMeterSize) != 0) {
            close(fd);
            return false;
        }
    }
    // Back every page now: on a full /dev/shm this fails here instead of raising SIGBUS on
    // the audio thread's first store.
    if (posix_fallocate(fd, 0, TidewellMeterSize) != 0) {
        close(fd);
        return false;
    }

    void *mapping = mmap(nullptr, TidewellMeterSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        close(fd);
        return false;
    }
    writer->descriptor = fd;
    writer->mapping = mapping;
    return true;
}

void TidewellMeterWriterPublishWithPeaks(TidewellMeterWriter *writer, const float *levels, const float *peaks,
                                         uint32_t count)
{
    if (writer == nullptr || writer->mapping == nullptr || levels == nullptr) {
        return;
    }
    void *region = writer->mapping;
    uint32_t n = count < writer->channelCount ? count : writer->channelCount;
    if (n > TidewellMeterMaxChannels) {
        n = TidewellMeterMaxChannels;
    }

    uint32_t odd = TidewellSequenceBeginWrite(region);
    TidewellRegionStoreWord(region, offsetof(TidewellMeterRegion, header.magic), TidewellMeterMagic);
    TidewellRegionStoreWord(region, offsetof(TidewellMeterRegion, header.version), TidewellMeterVersion);
    TidewellRegionStoreWord(region, offsetof(TidewellMeterRegion, header.size), TidewellMeterSize);
    TidewellRegionStoreWord(region, offsetof(TidewellMeterRegion, channelCount), n);
    for (uint32_t i = 0; i < TidewellMeterMaxChannels; ++i) {
        const size_t levelOffset = offsetof(TidewellMeterRegion, levels) + 4 * i;
        const size_t peakOffset = offsetof(TidewellMeterRegion, peaks) + 4 * i;

        float candidate = (i < n && std::isfinite(levels[i])) ? Clamp01(levels[i]) : 0.0f;
        float oldLevel = DecayedOld(TidewellRegionLoadFloat(region, levelOffset), kLevelDecay);
        TidewellRegionStoreFloat(region, levelOffset, candidate > oldLevel ? candidate : oldLevel);

        if (peaks != nullptr && i < n && std::isfinite(peaks[i])) {
            candidate = Clamp01(peaks[i]);
        }
        float oldPeak = DecayedOld(TidewellRegionLoadFloat(region, peakOffset), kPeakDecay);
        TidewellRegionStoreFloat(region, peakOffset, candidate > oldPeak ? candidate : oldPeak);
    }
    TidewellSequenceEndWrite(region, odd);
}

void TidewellMeterWriterClose(TidewellMeterWriter *writer)
{
    if (writer == nullptr) {
        return;
    }
    if (writer->mapping != nullptr) {
        munmap(writer->mapping, TidewellMeterSize);
        writer->mapping = nullptr;
    }
    if (writer->descriptor >= 0) {
        close(writer->descriptor);
    }
    writer->descriptor = -1;
}

// Squares summed and peaks of `n` adjacent channels of an interleaved block, frame by
// frame. A float squared is exact in double, so adding the product gives what a fused
// multiply-add would, without a library call per sample.
static inline __attribute__((always_inline)) void TidewellMeterAccumulate(const float *row, uint32_t frames,
                                                                          uint32_t channels, uint32_t n, float gain,
                                                                          double *sums, float *peaks)
{
    for (uint32_t j = 0; j < frames; ++j, row += channels) {
        for (uint32_t k = 0; k < n; ++k) {
            const float v = row[k] * gain;
            const float magnitude = std::fabs(v);
            peaks[k] = magnitude > peaks[k] ? magnitude : peaks[k];
            sums[k] += static_cast<double>(v) * static_cast<double>(v);
        }
    }
}

void TidewellMeterComputeInterleavedLevels(const float *samples, uint32_t frames, uint32_t channels,
                                           float *levelsOut, float *peaksOut, uint32_t count, float gain)
{
    if (levelsOut == nullptr || count == 0) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        levelsOut[i] = 0.0f;
        if (peaksOut != nullptr) {
            peaksOut[i] = 0.0f;
        }
    }
    if (samples == nullptr || frames == 0 || channels == 0) {
        return;
    }
    const uint32_t limit = count < channels ? count : channels;
    // One pass over the block per group of channels, each channel with its own accumulator
    // and its samples summed in frame order, so the inner loop walks contiguous samples.
    constexpr uint32_t kGroup = 16;
    for (uint32_t first = 0; first < limit; first += kGroup) {
        const uint32_t n = limit - first < kGroup ? limit - first : kGroup;
        double sums[kGroup] = {};
        float peaks[kGroup] = {};
        // A whole group runs with a fixed trip count, which the compiler turns into vector
        // code; the last, shorter one with its own.
        if (n == kGroup) {
            TidewellMeterAccumulate(samples + first, frames, channels, kGroup, gain, sums, peaks);
        } else {
            TidewellMeterAccumulate(samples + first, frames, channels, n, gain, sums, peaks);
        }
        for (uint32_t k = 0; k < n; ++k) {
            levelsOut[first + k] = static_cast<float>(std::sqrt(sums[k] / static_cast<double>(frames)));
            if (peaksOut != nullptr) {
                peaksOut[first + k] = peaks[k];
            }
        }
    }
}
