// Test signals. The generators allocate nothing and take no lock: safe on audio threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tidewell::tools {

// A sine written identically to every channel. Phase continues across calls.
struct SineGenerator {
    double frequency = 0;
    double amplitude = 0;  // peak, linear
    double sampleRate = 48000;
    double phase = 0;      // in cycles, [0, 1)

    static SineGenerator make(double frequencyHz, double levelDbfs, double sampleRate);
    // Writes frames * channels interleaved samples.
    void fill(float* interleaved, size_t frames, unsigned channels);
    // Adds into existing samples instead of overwriting them.
    void mix(float* interleaved, size_t frames, unsigned channels);
    float next();
};

// A one-sample impulse of the given amplitude every `interval` frames, starting with the
// first frame; silence in between.
struct ClickGenerator {
    uint64_t interval = 48000;
    float amplitude = 1.0f;
    uint64_t position = 0;

    void fill(float* interleaved, size_t frames, unsigned channels);
};

}  // namespace tidewell::tools
