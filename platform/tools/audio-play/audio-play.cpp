// audio-play: an audio application for tests and people. It plays a sine or a WAV file into
// an output device of the audio server, as its own client process, under a bundle id of
// its choosing.
#include "ToolClient.h"

#include <AudioClient/AudioServerStatus.h>

#include <AudioToolsCommon/CommandLine.h>
#include <AudioToolsCommon/Signals.h>
#include <AudioToolsCommon/Wav.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace tidewell::tools;

namespace {

constexpr size_t kMaxFrames = 8192;

struct Player {
    // Set up before IO starts; read-only on the IO thread afterwards.
    std::vector<StreamLayout> streams;
    bool useWav = false;
    std::vector<float> wav;  // interleaved, at the device rate, in wavChannels channels
    uint32_t wavChannels = 0;
    uint64_t wavFrames = 0;             // the file starts again where it ends, when it loops
    uint64_t limitFrames = UINT64_MAX;  // frames to play
    SineGenerator sine;
    std::vector<float> mono;  // one cycle of the sine, shared by every channel

    // Touched only by the IO thread, except the atomics.
    uint64_t position = 0;
    std::atomic<uint64_t> played{0};
    std::atomic<bool> finished{false};
};

// The IO proc: fills every output buffer. No allocation, lock or I/O.
OSStatus render(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                AudioBufferList* out, const AudioTimeStamp*, void* context) {
    auto* p = static_cast<Player*>(context);
    if (out == nullptr || out->mNumberBuffers == 0) return 0;
    uint32_t ch0 = out->mBuffers[0].mNumberChannels ? out->mBuffers[0].mNumberChannels : 1;
    size_t frames = std::min<size_t>(out->mBuffers[0].mDataByteSize / (4 * ch0), kMaxFrames);
    uint64_t remaining = p->limitFrames - std::min(p->position, p->limitFrames);
    size_t live = static_cast<size_t>(std::min<uint64_t>(frames, remaining));
    if (!p->useWav) p->sine.fill(p->mono.data(), live, 1);

    uint32_t firstChannel = 0;
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        AudioBuffer& buf = out->mBuffers[b];
        uint32_t nch = buf.mNumberChannels;
        auto* dst = static_cast<float*>(buf.mData);
        if (dst == nullptr || nch == 0) continue;
        size_t n = std::min<size_t>(frames, buf.mDataByteSize / (4 * nch));
        for (size_t i = 0; i < n; ++i) {
            for (uint32_t c = 0; c < nch; ++c) {
                float v = 0.0f;
                if (i < live) {
                    if (!p->useWav) {
                        v = p->mono[i];
                    } else {
                        uint32_t deviceChannel = firstChannel + c;
                        // A mono file plays on every channel; extra device channels stay silent.
                        uint32_t fileChannel = p->wavChannels == 1 ? 0 : deviceChannel;
                        if (fileChannel < p->wavChannels)
                            v = p->wav[((p->position + i) % p->wavFrames) * p->wavChannels + fileChannel];
                    }
                }
                dst[i * nch + c] = v;
            }
        }
        firstChannel += nch;
    }
    p->position += live;
    p->played.store(p->position, std::memory_order_relaxed);
    if (p->position >= p->limitFrames) p->finished.store(true, std::memory_order_release);
    return 0;
}

// Linear interpolation to the device rate: enough for a test tool, and done before IO.
std::vector<float> resample(const AudioData& in, double rate) {
    if (static_cast<double>(in.sampleRate) == rate) return in.samples;
    size_t inFrames = in.frames();
    size_t outFrames = static_cast<size_t>(std::floor(static_cast<double>(inFrames) * rate / in.sampleRate));
    std::vector<float> out(outFrames * in.channels);
    double step = in.sampleRate / rate;
    for (size_t i = 0; i < outFrames; ++i) {
        double pos = static_cast<double>(i) * step;
        size_t k = static_cast<size_t>(pos);
        double f = pos - static_cast<double>(k);
        for (uint32_t c = 0; c < in.channels; ++c) {
            float a = in.samples[k * in.channels + c];
            float b = k + 1 < inFrames ? in.samples[(k + 1) * in.channels + c] : a;
            out[i * in.channels + c] = static_cast<float>(a + (b - a) * f);
        }
    }
    return out;
}

const ToolCommand kTool{
    "audio-play",
    "usage: audio-play [--device UID] [--sine HZ] [--level DBFS] [--wav FILE]\n"
    "                  [--loop yes|no] [--duration SECONDS] [--bundle-id ID]\n"
    "Plays a sine (default 440 Hz at -12 dBFS) or a WAV file into an output device\n"
    "(default: the default output device) until the duration has passed, the file\n"
    "has ended (with --loop yes it starts again instead), or it is interrupted.\n"};

int fail(const std::string& message) { return kTool.fail(message); }

}  // namespace

int main(int argc, char** argv) {
    std::string deviceUID, wavPath, bundleID;
    double frequency = 440, level = -12;
    std::optional<double> duration;
    bool sineGiven = false;
    bool loop = false;
    auto parsed = kTool.parse(argc, argv, [&](const std::string& a, const char* v) -> std::optional<int> {
        if (a == "--device") {
            deviceUID = v;
        } else if (a == "--wav") {
            wavPath = v;
        } else if (a == "--bundle-id") {
            bundleID = v;
        } else if (a == "--loop") {
            if (std::string(v) != "yes" && std::string(v) != "no")
                return kTool.badArgument("--loop takes yes or no, not \"" + std::string(v) + "\"");
            loop = std::string(v) == "yes";
        } else if (a == "--sine" || a == "--level" || a == "--duration") {
            auto n = parseNumber(v);
            if (!n) return kTool.badArgument(a + " needs a number, not \"" + v + "\"");
            if (a == "--sine") {
                if (*n <= 0) return fail("--sine needs a frequency above 0 Hz");
                frequency = *n;
                sineGiven = true;
            } else if (a == "--level") {
                if (*n > 0) return fail("--level is in dBFS and cannot exceed 0");
                level = *n;
            } else {
                if (*n <= 0) return fail("--duration needs a positive number of seconds");
                duration = *n;
            }
        } else {
            return kTool.usageError();
        }
        return std::nullopt;
    });
    if (parsed) return *parsed;
    if (sineGiven && !wavPath.empty()) return fail("give either --sine or --wav, not both");
    if (loop && wavPath.empty()) return fail("--loop repeats a --wav file");
    // The server learns the bundle id from the environment when this process connects.
    if (!bundleID.empty()) setenv("AUDIOSERVER_BUNDLE_ID", bundleID.c_str(), 1);

    auto player = std::make_unique<Player>();
    AudioData file;
    if (!wavPath.empty()) {
        try {
            file = readWav(wavPath);
        } catch (const WavError& e) {
            return fail(wavPath + ": " + e.what());
        }
    }

    std::string error;
    auto device = findDevice(deviceUID, false, error);
    if (!device) return fail(error);
    if (device->sampleRate / 2 <= frequency && wavPath.empty())
        return fail("the sine must stay below half the device's sample rate");

    player->streams = device->streams;
    player->mono.resize(kMaxFrames);
    if (!wavPath.empty()) {
        player->useWav = true;
        player->wav = resample(file, device->sampleRate);
        player->wavChannels = file.channels;
        player->wavFrames = player->wav.size() / file.channels;
        if (player->wavFrames == 0) return fail(wavPath + ": the file holds no audio");
        if (!loop) player->limitFrames = player->wavFrames;
    } else {
        player->sine = SineGenerator::make(frequency, level, device->sampleRate);
    }
    if (duration) {
        auto frames = static_cast<uint64_t>(std::llround(*duration * device->sampleRate));
        player->limitFrames = std::min(player->limitFrames, frames);
    }

    installStopSignals();

    AudioDeviceIOProcID procID = nullptr;
    if (!startIOProc(device->id, render, player.get(), procID, error)) return fail(error);
    if (player->useWav)
        std::printf("audio-play: playing %s into %s\n", wavPath.c_str(), device->uid.c_str());
    else
        std::printf("audio-play: playing %.2f Hz at %.2f dBFS into %s\n", frequency, level, device->uid.c_str());
    std::fflush(stdout);

    // The IO thread counts frames; waiting here only decides when to stop. A device that
    // stops delivering cycles must not hold the tool forever once its time has passed.
    auto start = std::chrono::steady_clock::now();
    double expected = player->limitFrames == UINT64_MAX
                          ? -1
                          : static_cast<double>(player->limitFrames) / device->sampleRate;
    int status = 0;
    while (!stopRequested() && !player->finished.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (expected >= 0 && elapsed > expected + 10) {
            status = fail(AudioServerAnswers() ? std::string("the device stopped asking for audio") : AudioServerMissingMessage());
            break;
        }
    }
    OSStatus st = AudioDeviceStop(device->id, procID);
    AudioDeviceDestroyIOProcID(device->id, procID);
    if (st != 0) return fail(failure("AudioDeviceStop failed", st));
    std::printf("audio-play: played %.3f s\n", static_cast<double>(player->played.load()) / device->sampleRate);
    return status;
}
