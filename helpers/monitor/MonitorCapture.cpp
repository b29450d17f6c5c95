#include "MonitorCapture.h"

#include <algorithm>
#include <array>

#include "TidewellHelpers/TidewellBufferListAccess.h"
#include "TidewellHelpers/TidewellCaptureWrite.h"

namespace {

// The monitor's gains apply when its ring is read: routing adds the source channels as they are.
constexpr auto kUnity = [] {
    std::array<float, kTidewellHelperRingMaximumChannels> gains{};
    gains.fill(1.0f);
    return gains;
}();

// One input cycle: counted on the writer's clock, then routed and appended a routed block at a time.
template <typename Sample>
void WriteRouted(TidewellHelperRing* ring, uint32_t frames, const AudioTimeStamp* stamp, Sample sample) {
    if (frames == 0) {
        return;
    }
    RingWriterCycle(ring, frames, TidewellBlockTimeFrom(stamp));
    for (uint32_t done = 0; done < frames;) {
        const uint32_t block = std::min(frames - done, kTidewellHelperRingBlockFrames);
        TidewellRouteBlock(ring, block, ring->sourceChannels, kUnity.data(),
                           [&sample, done](uint32_t f, uint32_t c) { return sample(done + f, c); });
        RingAppendRouted(ring, block);
        done += block;
    }
}

}  // namespace

void TidewellMonitorWrite(TidewellHelperRing* ring, const float* data, uint32_t frames, const AudioTimeStamp* time) {
    if (ring == nullptr || data == nullptr) {
        return;
    }
    const uint32_t inputs = ring->sourceChannels;
    WriteRouted(ring, frames, time, [data, inputs](uint32_t f, uint32_t c) { return data[uint64_t{f} * inputs + c]; });
}

void TidewellMonitorWriteBufferList(TidewellHelperRing* ring, const AudioBufferList* list,
                                    const AudioTimeStamp* time) {
    if (ring == nullptr) {
        return;
    }
    TidewellBufferListChannelMap map;
    TidewellBufferListMapChannels(&map, list);
    WriteRouted(ring, TidewellBufferListFrameCount(list), time,
                [&map](uint32_t f, uint32_t c) { return TidewellBufferListMappedSample(&map, f, c); });
}
