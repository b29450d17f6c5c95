// Measurements of recorded audio.
#pragma once

#include <AudioToolsCommon/Wav.h>

#include <cstddef>
#include <vector>

namespace tidewell::tools {

// Levels are in dBFS referenced to a full-scale sine: a sine of peak amplitude A reads
// 20*log10(A) whether measured as RMS or as peak. Silence reads -infinity.

// RMS of one channel of interleaved audio, in dBFS (RMS * sqrt(2), so a sine's RMS level
// equals its peak level).
double rmsDbfs(const float* interleaved, size_t frames, unsigned channels, unsigned channel);
// The level a tone holds at: the median of the RMS levels of one channel's consecutive windows
// of `windowFrames` (a last, shorter window left out). A few windows that a starved machine left
// silent or cut short do not decide it; a wrong gain, which every window carries, does. The
// plain RMS when the audio is shorter than two windows.
double steadyRmsDbfs(const float* interleaved, size_t frames, unsigned channels, unsigned channel,
                     size_t windowFrames);
// Largest absolute sample of one channel (linear).
double peakAmplitude(const float* interleaved, size_t frames, unsigned channels, unsigned channel);
double amplitudeToDbfs(double amplitude);
double dbfsToAmplitude(double dbfs);

// The strongest frequency of one channel in Hz, refined well below one FFT bin (better
// than 0.1 Hz for a clean tone over one second). 0 for silence or fewer than 64 frames.
double dominantFrequency(const float* interleaved, size_t frames, unsigned channels,
                         unsigned channel, double sampleRate);

struct ChannelReport {
    double rmsDbfs = 0;
    double steadyDbfs = 0;   // steadyRmsDbfs over windows of 50 ms
    double peakDbfs = 0;
    double dominantHz = 0;
    bool operator==(const ChannelReport&) const = default;
};
std::vector<ChannelReport> analyse(const AudioData& audio);

}  // namespace tidewell::tools
