// Continuity of a recording against the audio it should carry: block-by-block alignment with the
// source gives the rate the source came out at, every place where audio was dropped or inserted,
// and how well each block matches; a tone's THD+N shows what the resampling added.
#pragma once

#include <AudioToolsCommon/Wav.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tidewell::tools {

// Speech-like noise, the same for the same seed: noise shaped by three wandering formant
// resonances and a falling tilt, under a syllable envelope of 3 to 6 Hz that dips by 20 dB but
// never to silence (every block can be found again), with no period a recording could lock onto.
// `levelDbfs` is the peak level the loudest syllables reach.
AudioData makeSpeechLikeNoise(uint32_t sampleRate, uint32_t channels, double seconds, uint32_t seed,
                              double levelDbfs = -12.0);

// One channel converted to another rate by a long windowed sinc, offline: what a recording at
// `toRate` should contain when the source was written at `fromRate`.
std::vector<float> resampleOffline(const std::vector<float>& mono, double fromRate, double toRate);

// One channel of interleaved audio.
std::vector<float> channelOf(const AudioData& audio, unsigned channel);

struct ContinuityOptions {
    size_t blockFrames = 256;
    double skipSeconds = 0.0;      // of the recording, before any block is looked at
    double settleSeconds = 3.0;    // after the skip: counted, but not in the rate or the steps
    double spanSeconds = 1.0;      // rate error: the median over spans this long
    double matchThreshold = 0.9;   // a block correlating less is not found in the source
    bool sourceLoops = true;       // the source repeats (a looping WAV signal)
};

struct Discontinuity {
    double atSeconds = 0;          // in the recording
    double frames = 0;             // positive: source audio skipped (dropped); negative: inserted
    size_t unmatchedBlocks = 0;    // blocks between the two sides that matched nothing
};

struct ContinuityReport {
    size_t blocks = 0;             // looked at, after the skip
    size_t matchedBlocks = 0;
    double matchedShare = 0;       // of the blocks after settling
    double minCorrelation = 0;     // of the blocks after settling (0 when one is unmatched)
    double medianCorrelation = 0;
    double rateErrorPpm = 0;       // median over spans after settling; + means the source ran fast
    double worstSpanPpm = 0;       // the span furthest from the median
    size_t spans = 0;
    double sourceOffsetFrames = 0; // recording frame minus source frame at the first matched block
    // The first matched block after settling: its recording frame and the source position it
    // carries (-1 when none matched); with the two devices' time stamps this gives the latency.
    double settledRecordingFrame = -1;
    double settledSourcePosition = -1;
    std::vector<Discontinuity> discontinuities;   // after settling
    std::vector<Discontinuity> settlingDiscontinuities;
};

// Aligns `recording` (one channel at the rate of `source`) with `source`: each block is matched
// to a fractional position in the source near where the previous one predicts it, searching wider
// when it is not there. The position's steady advance gives the rate; a jump from it of more than
// half a frame, or blocks that match nothing, is a discontinuity.
ContinuityReport measureContinuity(const std::vector<float>& recording, const std::vector<float>& source,
                                   double sampleRate, const ContinuityOptions& options = {});

// The disturbances a listener hears: discontinuities less than `apart` seconds from the one
// before belong to the same event (a helper sets its ring right within a second or so of a lost
// cycle, in a few pieces).
size_t countDisturbances(const ContinuityReport& report, double apart = 1.5);

// THD+N of a single tone, in dB below the tone (larger is cleaner): the tone fitted every 100 ms
// (amplitude, phase, offset and frequency, as an analyser's notch follows it) against everything
// else.
double thdPlusNoiseDb(const float* interleaved, size_t frames, unsigned channels, unsigned channel,
                      double sampleRate, double nominalHz);

}  // namespace tidewell::tools
