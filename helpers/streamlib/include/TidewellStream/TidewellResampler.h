#pragma once
// Windowed-sinc sample-rate converter for interleaved 32-bit float audio, read from a polyphase
// table, whose step a live rate scalar can stretch or squeeze by up to 0.5 %.

#include <atomic>
#include <cstdint>

// Rates outside this range are refused at creation. The lower bound keeps the output of one
// input frame far below any block a caller holds (a measured tap rate can be almost anything);
// the upper bound keeps the step through the work buffer sane.
inline constexpr double kTidewellResamplerMinimumRate = 1000.0;
inline constexpr double kTidewellResamplerMaximumRate = 768000.0;
inline constexpr uint32_t kTidewellResamplerMaximumChannels = 64;
inline constexpr uint32_t kTidewellResamplerTaps = 32;
inline constexpr uint32_t kTidewellResamplerPhases = 256;      // rows - 1
inline constexpr uint32_t kTidewellResamplerHistoryFrames = 32;
inline constexpr double kTidewellResamplerMinimumScalar = 0.995;
inline constexpr double kTidewellResamplerMaximumScalar = 1.005;

struct TidewellResampler {
    double inputRate;
    double outputRate;
    double ratio;                       // input rate / output rate
    std::atomic<double> rateScalar;     // the one field other threads may touch
    uint32_t channels;
    uint32_t maxInputFrames;
    bool identity;
    float* filterTable;                 // (phases + 1) rows of 32 taps
    float* workBuffer;                  // (history + max input) frames, interleaved
    uint32_t historyLength;
    double position;                    // read position in the work buffer, in frames
    bool primed;
};

TidewellResampler* TidewellResamplerCreate(uint32_t channels, uint32_t maxInputFrames, double inputRate,
                                           double outputRate);
void TidewellResamplerDestroy(TidewellResampler* resampler);
void TidewellResamplerSetRateScalar(TidewellResampler* resampler, double scalar);
bool TidewellResamplerIsIdentity(const TidewellResampler* resampler);
uint32_t TidewellResamplerMaxOutputFrames(const TidewellResampler* resampler, uint32_t inputFrames);
// Returns the frames written. When the output capacity cannot take everything the block could
// produce, only the leading input frames whose output is sure to fit are consumed; the rest of
// the block is dropped, so the read position always stays inside the work buffer.
uint32_t TidewellResamplerProcess(TidewellResampler* resampler, const float* input, uint32_t inputFrames,
                                  float* output, uint32_t outputCapacity);
