#pragma once
// The capture helpers' writing step, shared by the process tap and the hardware source: route one
// block of source frames into the ring's routed block with the per-source-channel gains, meter the
// source channels after source gain and channel gain, then resample the block and append it to
// the helper ring. The routing alone serves the monitor's write too. Runs on the capture thread: no
// allocation, lock or system call.

#include <atomic>
#include <cmath>
#include <cstdint>

#include "TidewellStream/TidewellHelperRing.h"
#include "TidewellStream/TidewellMeterWriter.h"

// Routes `frames` frames (at most the routed block) of `sourceChannels` channels read through
// `sample(frame, channel)` into the ring's routed block, each source channel scaled by its entry
// of `gains`. Routes to channels outside either count are passed over.
template <typename Sample>
void TidewellRouteBlock(TidewellHelperRing* ring, uint32_t frames, uint32_t sourceChannels, const float* gains,
                        Sample sample) {
    const uint32_t outputs = ring->channels;
    for (uint32_t f = 0; f < frames; ++f) {
        float* row = ring->routedBlock + static_cast<uint64_t>(f) * outputs;
        for (uint32_t o = 0; o < outputs; ++o) {
            row[o] = 0.0f;
        }
        for (uint32_t r = 0; r < ring->routeCount; ++r) {
            const uint32_t s = ring->routes[r][0];
            const uint32_t o = ring->routes[r][1];
            if (s < 1 || o < 1 || s > sourceChannels || o > outputs || s > 64) {
                continue;
            }
            row[o - 1] = std::fma(sample(f, s - 1), gains[s - 1], row[o - 1]);
        }
    }
}

// Routes and meters `frames` frames (at most the routed block; longer blocks are cut) of
// `sourceChannels` channels read through `sample(frame, channel)`; publishes `meterChannels`
// levels (source channels beyond sourceChannels read 0); returns the frames routed.
template <typename Sample>
uint32_t TidewellCaptureRouteAndMeter(TidewellHelperRing* ring, uint32_t frames, uint32_t sourceChannels,
                                      uint32_t meterChannels, Sample sample) {
    if (ring == nullptr || frames == 0) {
        return 0;
    }
    if (frames > kTidewellHelperRingBlockFrames) {
        frames = kTidewellHelperRingBlockFrames;
    }
    float channelGains[64];
    for (uint32_t c = 0; c < sourceChannels && c < 64; ++c) {
        channelGains[c] = TidewellLoadGain(ring->channelGains[c]);
    }
    TidewellRouteBlock(ring, frames, sourceChannels, channelGains, sample);
    float levels[64];
    float peaks[64];
    const float master = ring->masterGain.load(std::memory_order_relaxed);
    const uint32_t metered = meterChannels > 64 ? 64 : meterChannels;
    for (uint32_t c = 0; c < metered; ++c) {
        if (c >= sourceChannels) {
            levels[c] = 0.0f;
            peaks[c] = 0.0f;
            continue;
        }
        const float g = master * channelGains[c];
        double sum = 0.0;
        float peak = 0.0f;
        for (uint32_t f = 0; f < frames; ++f) {
            const float x = sample(f, c) * g;
            sum += static_cast<double>(x) * x;
            peak = std::fmax(peak, std::fabs(x));
        }
        levels[c] = static_cast<float>(std::sqrt(sum / frames));
        peaks[c] = peak;
    }
    TidewellMeterWriterPublishWithPeaks(&ring->meterWriter, levels, peaks, metered);
    return frames;
}
