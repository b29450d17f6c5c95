#include "TidewellStream/TidewellControlReader.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"
#include "TidewellRuntimeSupport/TidewellShm.h"
#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <cmath>
#include <cstddef>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPollAttempts = 4;

// The user's own region (another user's would carry that user's controls, one that others
// may write could be changed by them) and no shorter than its layout.
bool RegionIsUsable(int fd)
{
    struct stat st {};
    return TidewellShmCheck(fd, &st) == TidewellShmTrusted && st.st_size >= static_cast<off_t>(TidewellControlSize);
}

} // namespace

float TidewellControlClampGain(float value)
{
    if (!std::isfinite(value)) {
        return 1.0f;
    }
    if (value <= 0.0f) {
        return 0.0f; // also turns -0 into +0
    }
    return value > 2.0f ? 2.0f : value;
}

bool TidewellControlReaderOpen(TidewellControlReader *reader, const char *ownerID)
{
    if (reader == nullptr) {
        return false;
    }
    reader->mapping = nullptr;
    reader->descriptor = -1;
    reader->lastSequence = 0;
    if (ownerID == nullptr || ownerID[0] == '\0') {
        return false;
    }
    char name[TidewellRegionNameCapacity];
    if (!TidewellRegionFormatName(TidewellControlNamePrefix, TidewellOwnerHash(ownerID), name, sizeof name)) {
        return false;
    }
    int fd = TidewellShmOpen(name, O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    if (!RegionIsUsable(fd)) {
        close(fd);
        return false;
    }
    void *mapping = mmap(nullptr, TidewellControlSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        close(fd);
        return false;
    }
    reader->descriptor = fd;
    reader->mapping = mapping;
    return true;
}

bool TidewellControlReaderPoll(TidewellControlReader *reader, TidewellControlState *state)
{
    if (reader == nullptr || reader->mapping == nullptr || state == nullptr) {
        return false;
    }
    // The size was checked at open, but the region could have been cut short since; reading
    // a page that no longer exists would kill the helper. Polling runs on the helper's main
    // thread every 100 ms, so one fstat is cheap here, and it sees a region whose mode or
    // owner has changed since as well.
    if (!RegionIsUsable(reader->descriptor)) {
        return false;
    }
    const void *region = reader->mapping;

    TidewellControlRegion copy{};
    uint32_t sequence = 0;
    bool taken = false;
    for (int attempt = 0; attempt < kPollAttempts && !taken; ++attempt) {
        sequence = TidewellSequenceReadBegin(region);
        if ((sequence & 1u) != 0 || sequence == reader->lastSequence) {
            continue;
        }
        TidewellRegionReadBytes(&copy, region, 0, offsetof(TidewellControlRegion, reserved1));
        taken = TidewellSequenceReadValidate(region, sequence);
    }
    if (!taken) {
        return false;
    }
    if (copy.header.magic != TidewellControlMagic || copy.header.version != TidewellControlVersion ||
        copy.header.size != TidewellControlSize) {
        return false;
    }

    state->gain = TidewellControlClampGain(copy.gain);
    state->muted = (copy.flags & TidewellControlFlagMuted) != 0;
    state->channelGainCount =
        copy.channelCount > TidewellControlMaxChannels ? TidewellControlMaxChannels : copy.channelCount;
    for (uint32_t i = 0; i < TidewellControlMaxChannels; ++i) {
        state->channelGains[i] = TidewellControlClampGain(copy.channelGains[i]);
    }
    reader->lastSequence = sequence;
    return true;
}

void TidewellControlApply(const TidewellControlState *state, float *outGain, float *outChannelGains,
                          uint32_t channelCount)
{
    if (state == nullptr) {
        return;
    }
    if (outGain != nullptr) {
        *outGain = state->muted ? 0.0f : state->gain;
    }
    if (outChannelGains != nullptr) {
        const uint32_t n = channelCount < TidewellControlMaxChannels ? channelCount : TidewellControlMaxChannels;
        for (uint32_t i = 0; i < n; ++i) {
            outChannelGains[i] = state->channelGains[i];
        }
    }
}

void TidewellControlReaderClose(TidewellControlReader *reader)
{
    if (reader == nullptr) {
        return;
    }
    if (reader->mapping != nullptr) {
        munmap(const_cast<void *>(reader->mapping), TidewellControlSize);
        reader->mapping = nullptr;
    }
    if (reader->descriptor >= 0) {
        close(reader->descriptor);
    }
    reader->descriptor = -1;
}
