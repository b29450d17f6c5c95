// A meter region as a helper (or the plug-in) finds it when it publishes: levels decay from
// the values already in the region, which another writer of an earlier run (or a damaged
// region) left there. The input is the region's contents and, in its first byte, how many
// channels the writer publishes. Whatever was there, what the writer leaves is a whole
// region of finite levels and peaks within 0...1.
#include "TidewellStream/TidewellMeterWriter.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

alignas(64) unsigned char gImage[TidewellMeterSize];

bool InRange(float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint32_t channels = data[0];
    if (size > sizeof gImage) size = sizeof gImage;
    std::memset(gImage, 0, sizeof gImage);
    std::memcpy(gImage, data, size);

    TidewellMeterWriter writer{gImage, -1, channels > TidewellMeterMaxChannels ? TidewellMeterMaxChannels : channels};
    float levels[TidewellMeterMaxChannels];
    float peaks[TidewellMeterMaxChannels];
    for (uint32_t i = 0; i < TidewellMeterMaxChannels; ++i) {
        levels[i] = (i % 5 == 4) ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(i) / 40.0f;
        peaks[i] = (i % 7 == 6) ? std::numeric_limits<float>::infinity() : static_cast<float>(i) / 30.0f;
    }
    TidewellMeterWriterPublishWithPeaks(&writer, levels, peaks, channels);
    TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, channels / 2);

    bool whole = TidewellRegionHeaderMatches(gImage, TidewellMeterMagic, TidewellMeterVersion, TidewellMeterSize) &&
                 (TidewellSequenceReadBegin(gImage) & 1u) == 0 &&
                 TidewellRegionLoadWord(gImage, offsetof(TidewellMeterRegion, channelCount)) <= TidewellMeterMaxChannels;
    for (uint32_t i = 0; i < TidewellMeterMaxChannels && whole; ++i) {
        whole = InRange(TidewellRegionLoadFloat(gImage, offsetof(TidewellMeterRegion, levels) + 4 * i)) &&
                InRange(TidewellRegionLoadFloat(gImage, offsetof(TidewellMeterRegion, peaks) + 4 * i));
    }
    if (!whole) {
        std::fprintf(stderr, "a published meter region is not whole or out of range\n");
        std::abort();
    }
    return 0;
}
