// tidewell-hal-smoke: a smoke test of the plug-in's pass-thru path. It plays a tone into the
// pass-thru device and records the device back in the same IO proc, then compares the level
// it captured with the level it played. Exit status 0 when they agree within 1 dB; otherwise
// the reason is the last line it prints and the status is 1. No arguments; the audio server
// is found through the inherited environment, like every other client.
#include "ToolClient.h"

#include <AudioToolsCommon/Analysis.h>
#include <TidewellCore/TidewellConstants.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace tidewell::tools;

namespace {

constexpr double kFrequency = 997.0;
constexpr double kLevelDbfs = -12.0;
constexpr double kToleranceDb = 1.0;
constexpr double kSettleSeconds = 0.25;   // the device's cushion and the first cycles
constexpr double kMeasureSeconds = 0.75;

struct Loopback {
    // Set before IO starts; read-only on the IO thread afterwards.
    std::vector<StreamLayout> inputs;
    uint32_t inputChannels = 0;
    double phaseStep = 0;
    float amplitude = 0;
    uint64_t settleFrames = 0;
    uint64_t measureFrames = 0;
    std::vector<float> recording;  // measureFrames * inputChannels, interleaved

    // IO thread only, except the atomics.
    double phase = 0;
    uint64_t seen = 0;
    std::atomic<uint64_t> recorded{0};
    std::atomic<bool> layoutMismatch{false};
};

// Plays the tone on every output channel and records every input channel once the loop has
// settled. No allocation, lock or I/O.
OSStatus loop(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
              AudioBufferList* out, const AudioTimeStamp*, void* context) {
    auto* l = static_cast<Loopback*>(context);
    if (out != nullptr && out->mNumberBuffers > 0) {
        const AudioBuffer& first = out->mBuffers[0];
        uint32_t ch0 = std::max<uint32_t>(first.mNumberChannels, 1);
        size_t frames = first.mDataByteSize / (sizeof(float) * ch0);
        double phase = l->phase;
        for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
            AudioBuffer& buf = out->mBuffers[b];
            auto* dst = static_cast<float*>(buf.mData);
            uint32_t nch = buf.mNumberChannels;
            if (dst == nullptr || nch == 0) continue;
            size_t n = std::min<size_t>(frames, buf.mDataByteSize / (sizeof(float) * nch));
            phase = l->phase;
            for (size_t i = 0; i < n; ++i) {
                float v = l->amplitude * static_cast<float>(std::sin(phase));
                for (uint32_t c = 0; c < nch; ++c) dst[i * nch + c] = v;
                phase += l->phaseStep;
            }
        }
        l->phase = std::fmod(phase, 2 * M_PI);
    }
    if (in == nullptr || in->mNumberBuffers == 0) return 0;
    if (in->mNumberBuffers != l->inputs.size()) {
        l->layoutMismatch.store(true, std::memory_order_relaxed);
        return 0;
    }
    size_t frames = SIZE_MAX;
    for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
        const StreamLayout& s = l->inputs[b];
        if (in->mBuffers[b].mNumberChannels != s.channels || s.channels == 0) {
            l->layoutMismatch.store(true, std::memory_order_relaxed);
            return 0;
        }
        frames = std::min<size_t>(frames, in->mBuffers[b].mDataByteSize / (s.bytesPerSample * s.channels));
    }
    for (size_t i = 0; i < frames; ++i, ++l->seen) {
        uint64_t at = l->recorded.load(std::memory_order_relaxed);
        if (l->seen < l->settleFrames) continue;
        if (at >= l->measureFrames) break;
        uint32_t firstChannel = 0;
        for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
            const StreamLayout& s = l->inputs[b];
            auto* src = static_cast<const uint8_t*>(in->mBuffers[b].mData);
            for (uint32_t c = 0; c < s.channels; ++c)
                l->recording[at * l->inputChannels + firstChannel + c] =
                    src ? sampleAt(src + (i * s.channels + c) * s.bytesPerSample, s) : 0.0f;
            firstChannel += s.channels;
        }
        l->recorded.store(at + 1, std::memory_order_release);
    }
    return 0;
}

int fail(const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "tidewell-hal-smoke: %s\n", reason.c_str());
    return 1;
}

}  // namespace

int main() {
    const std::string uid(tidewell::TidewellCore::passThruDeviceUID);
    std::string error;
    auto output = findDevice(uid, false, error);
    if (!output) return fail(error);
    auto input = findDevice(uid, true, error);
    if (!input) return fail(error);
    if (input->totalChannels() == 0) return fail("the pass-thru device has no input channels");

    Loopback l;
    l.inputs = input->streams;
    l.inputChannels = input->totalChannels();
    l.phaseStep = 2 * M_PI * kFrequency / output->sampleRate;
    l.amplitude = static_cast<float>(dbfsToAmplitude(kLevelDbfs));
    l.settleFrames = static_cast<uint64_t>(kSettleSeconds * input->sampleRate);
    l.measureFrames = static_cast<uint64_t>(kMeasureSeconds * input->sampleRate);
    l.recording.assign(l.measureFrames * l.inputChannels, 0.0f);

    std::printf("tidewell-hal-smoke: playing %.0f Hz at %.1f dBFS into %s and recording it back\n", kFrequency,
                kLevelDbfs, uid.c_str());
    std::fflush(stdout);

    AudioDeviceIOProcID procID = nullptr;
    if (!startIOProc(output->id, loop, &l, procID, error)) return fail(error);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(kSettleSeconds + kMeasureSeconds + 5.0);
    while (l.recorded.load(std::memory_order_acquire) < l.measureFrames &&
           std::chrono::steady_clock::now() < deadline && !l.layoutMismatch.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    AudioDeviceStop(output->id, procID);
    AudioDeviceDestroyIOProcID(output->id, procID);

    if (l.layoutMismatch.load()) return fail("the device's input buffers did not match its stream configuration");
    uint64_t frames = l.recorded.load();
    if (frames < l.measureFrames) return fail("the pass-thru device stopped delivering audio");

    // Every channel must carry the tone back; the weakest one decides.
    double weakest = 0, strongest = -1000;
    for (uint32_t c = 0; c < l.inputChannels; ++c) {
        double level = rmsDbfs(l.recording.data(), frames, l.inputChannels, c);
        if (c == 0 || level < weakest) weakest = level;
        strongest = std::max(strongest, level);
    }
    double worst = std::fabs(weakest - kLevelDbfs) > std::fabs(strongest - kLevelDbfs) ? weakest : strongest;
    std::printf("Captured RMS: %.2f dBFS (played %.2f dBFS, %u channels)\n", worst, kLevelDbfs, l.inputChannels);
    std::fflush(stdout);
    if (!std::isfinite(worst) || std::fabs(worst - kLevelDbfs) > kToleranceDb) {
        char reason[160];
        std::snprintf(reason, sizeof reason, "captured %.2f dBFS is not within %.0f dB of the %.2f dBFS played",
                      worst, kToleranceDb, kLevelDbfs);
        return fail(reason);
    }
    return 0;
}
