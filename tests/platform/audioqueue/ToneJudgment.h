#pragma once
// A tone recorded on a live server, judged over what the loaded machine left of it: the longest
// stretch in which the tone runs unbroken must carry its frequency and level, and the tone may
// break no more often than the server lost cycles while it was recorded. A wrong rate or level
// still fails (the stretch carries it), and so does a gap no lost cycle explains.
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <gtest/gtest.h>

#include <cmath>

namespace audiotest {

inline ::testing::AssertionResult UnbrokenToneIs(const float* interleaved, size_t frames, unsigned channels,
                                                 unsigned channel, double hz, double hzTolerance, double dbfs,
                                                 double dbTolerance, uint64_t lostCycles) {
    namespace tools = tidewell::tools;
    const ToneStretch s = LongestUnbrokenTone(interleaved, frames, channels, channel, hz, 48000);
    const float* from = interleaved + s.begin * channels;
    const double measuredHz = s.frames >= 64 ? tools::dominantFrequency(from, s.frames, channels, channel, 48000) : 0;
    const double measuredDb = s.frames > 0 ? tools::rmsDbfs(from, s.frames, channels, channel) : -INFINITY;
    auto failure = [&]() {
        return ::testing::AssertionFailure()
               << "channel " << channel << ": " << measuredHz << " Hz at " << measuredDb << " dBFS over " << s.frames
               << " of " << frames << " frames unbroken, " << s.breaks << " breaks, " << lostCycles
               << " cycles lost; wanted " << hz << " Hz at " << dbfs << " dBFS";
    };
    if (s.breaks > lostCycles || s.frames < frames / 3) return failure();
    if (std::fabs(measuredHz - hz) > hzTolerance || std::fabs(measuredDb - dbfs) > dbTolerance) return failure();
    return ::testing::AssertionSuccess();
}

}  // namespace audiotest
