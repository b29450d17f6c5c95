#include <AudioToolsCommon/Signals.h>

#include <cmath>

namespace tidewell::tools {

namespace {
constexpr double kTwoPi = 6.28318530717958647692;
}

SineGenerator SineGenerator::make(double frequencyHz, double levelDbfs, double sampleRate) {
    SineGenerator g;
    g.frequency = frequencyHz;
    g.amplitude = std::pow(10.0, levelDbfs / 20.0);
    g.sampleRate = sampleRate;
    return g;
}

float SineGenerator::next() {
    float v = static_cast<float>(amplitude * std::sin(kTwoPi * phase));
    phase += frequency / sampleRate;
    phase -= std::floor(phase);
    return v;
}

void SineGenerator::fill(float* out, size_t frames, unsigned channels) {
    for (size_t i = 0; i < frames; ++i) {
        float v = next();
        for (unsigned c = 0; c < channels; ++c) out[i * channels + c] = v;
    }
}

void SineGenerator::mix(float* out, size_t frames, unsigned channels) {
    for (size_t i = 0; i < frames; ++i) {
        float v = next();
        for (unsigned c = 0; c < channels; ++c) out[i * channels + c] += v;
    }
}

void ClickGenerator::fill(float* out, size_t frames, unsigned channels) {
    for (size_t i = 0; i < frames; ++i) {
        float v = interval > 0 && position % interval == 0 ? amplitude : 0.0f;
        ++position;
        for (unsigned c = 0; c < channels; ++c) out[i * channels + c] = v;
    }
}

}  // namespace tidewell::tools
