// tidewell-hal-smoke: a smoke test of the plug-in's pass-thru path. It plays a tone into each
// virtual device that passes what applications play straight through (the plug-in's own
// pass-thru device when no configuration is published), records the device back in the same
// IO proc, and compares what each routed channel carries with what the device's routes and
// gains should give. Exit status 0 when every channel agrees within 1 dB; otherwise the
// reason is the last line it prints and the status is 1, also when no device can be tested.
// No arguments; the audio server and the runtime region are found through the inherited
// environment, like every other client.
#include "PassThruPaths.h"
#include "ToolClient.h"

#include <AudioToolsCommon/Analysis.h>
#include <TidewellCore/TidewellConstants.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>
#include <TidewellRuntimeSupport/TidewellShmTrust.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace tidewell::tools;
namespace smoke = tidewell::smoke;

namespace {

// Away from the tones a configured device may be carrying meanwhile (997 Hz, 440 Hz and their
// harmonics): the level is measured at this frequency alone.
constexpr double kFrequency = 1499.0;
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

// The reason is the last line, and the application shows it in two lines of its panel: it
// names the device by its name and leaves details to the lines before it.
int fail(const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
}

// A consistent copy of the runtime region, read through the descriptor: a region that shrinks
// meanwhile gives a short read, never a fault. Empty when there is none, or when it is not the
// user's own (the plug-in does not read another user's region either).
std::vector<unsigned char> readRuntimeRegion() {
    std::vector<unsigned char> image;
    int fd = shm_open(TidewellRuntimeRegionName, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return image;
    if (TidewellShmCheck(fd, nullptr) != TidewellShmTrusted) {
        close(fd);
        return image;
    }
    image.resize(TidewellRuntimeSize);
    bool whole = false;
    for (int attempt = 0; attempt < 50 && !whole; ++attempt) {
        uint32_t before = 0, after = 1;
        if (pread(fd, &before, 4, TidewellRegionSequenceOffset) != 4) break;
        if (pread(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) break;
        if (pread(fd, &after, 4, TidewellRegionSequenceOffset) != 4) break;
        whole = (before & 1u) == 0 && before == after;
        if (!whole) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fd);
    if (!whole) image.clear();
    return image;
}


struct DeviceResult {
    bool ran = false;
    std::string error;
    std::vector<smoke::ChannelVerdict> verdicts;
};

DeviceResult testDevice(const smoke::PassThruPath& path) {
    DeviceResult result;
    std::string error;
    auto output = findDevice(path.uid, false, error);
    auto input = output ? findDevice(path.uid, true, error) : std::nullopt;
    if (!output || !input) {
        std::printf("tidewell-hal-smoke: %s\n", error.c_str());
        result.error = error.rfind("no audio device has the UID", 0) == 0
                           ? smoke::verdictName(path) + " is not in the audio server's device list"
                           : "Could not open " + smoke::verdictName(path);
        return result;
    }
    if (input->totalChannels() < path.channels) {
        result.error = smoke::verdictName(path) + " records fewer channels than it has";
        return result;
    }

    Loopback l;
    l.inputs = input->streams;
    l.inputChannels = input->totalChannels();
    l.phaseStep = 2 * M_PI * kFrequency / output->sampleRate;
    l.amplitude = static_cast<float>(dbfsToAmplitude(kLevelDbfs));
    l.settleFrames = static_cast<uint64_t>(kSettleSeconds * input->sampleRate);
    l.measureFrames = static_cast<uint64_t>(kMeasureSeconds * input->sampleRate);
    l.recording.assign(l.measureFrames * l.inputChannels, 0.0f);

    std::printf("tidewell-hal-smoke: playing %.0f Hz at %.1f dBFS into %s (%s) and recording it back\n", kFrequency,
                kLevelDbfs, smoke::displayName(path).c_str(), path.uid.c_str());
    std::fflush(stdout);

    AudioDeviceIOProcID procID = nullptr;
    if (!startIOProc(output->id, loop, &l, procID, error)) {
        std::printf("tidewell-hal-smoke: %s\n", error.c_str());
        result.error = "Could not play into " + smoke::verdictName(path);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(kSettleSeconds + kMeasureSeconds + 5.0);
    while (l.recorded.load(std::memory_order_acquire) < l.measureFrames &&
           std::chrono::steady_clock::now() < deadline && !l.layoutMismatch.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    AudioDeviceStop(output->id, procID);
    AudioDeviceDestroyIOProcID(output->id, procID);

    if (l.layoutMismatch.load()) {
        result.error = smoke::verdictName(path) + ": its input buffers did not match its stream configuration";
        return result;
    }
    const uint64_t frames = l.recorded.load();
    if (frames < l.measureFrames) {
        result.error = smoke::verdictName(path) + " stopped delivering audio";
        return result;
    }
    result.ran = true;
    result.verdicts = smoke::judge(path, l.recording.data(), frames, l.inputChannels, kFrequency,
                                             input->sampleRate, kLevelDbfs, kToleranceDb);
    return result;
}

}  // namespace

int main() {
    using namespace tidewell::smoke;
    const std::vector<unsigned char> image = readRuntimeRegion();
    const PathSelection selection = selectPaths(image.data(), image.size());
    std::vector<PassThruPath> paths = selection.testable;
    if (paths.empty() && selection.skipped.empty()) {
        // Nothing published: the plug-in shows its own pass-thru device.
        paths.push_back(legacyPassThruPath(std::string(tidewell::TidewellCore::passThruDeviceUID),
                                           std::string(tidewell::TidewellCore::passThruDeviceName)));
    }
    for (const std::string& reason : selection.skipped)
        std::printf("tidewell-hal-smoke: not tested: %s\n", reason.c_str());
    if (paths.empty()) {
        return fail(selection.skipped.size() == 1 ? "Nothing to test: " + selection.skipped.front()
                                                  : "Nothing to test: every device is off, muted or unwired");
    }

    // The channel furthest from what it should carry decides the captured level shown.
    double worstOff = -1, worstLevel = 0, worstExpected = kLevelDbfs;
    size_t channels = 0;
    std::string firstFailure;
    for (const PassThruPath& path : paths) {
        DeviceResult result = testDevice(path);
        if (!result.ran) return fail(result.error);
        for (const ChannelVerdict& v : result.verdicts) {
            ++channels;
            std::printf("  %s channel %u: %.2f dBFS, expected %.2f dBFS\n", smoke::displayName(path).c_str(), v.channel,
                        v.capturedDbfs, v.expectedDbfs);
            const double off = std::isfinite(v.capturedDbfs) ? std::fabs(v.capturedDbfs - v.expectedDbfs) : 1e9;
            if (off > worstOff) {
                worstOff = off;
                worstLevel = v.capturedDbfs;
                worstExpected = v.expectedDbfs;
            }
            if (!v.ok && firstFailure.empty()) firstFailure = smoke::failureLine(smoke::displayName(path), v);
        }
    }
    std::printf("%s\n", smoke::resultLine(worstLevel, worstExpected, channels).c_str());
    std::fflush(stdout);
    if (!firstFailure.empty()) return fail(firstFailure);
    return 0;
}
