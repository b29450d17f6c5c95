// End-to-end latency of application capture: a player's click at Built-in Output, through the
// audio server's tap, tidewell-process-tap and its output bridge into a virtual device of the
// plug-in, to a recorder of that device. This process is both the player and the recorder, so
// both ends are stamped on one clock: the host time of the click's output frame and of the
// frame where it arrives. Reported: the median of 20 clicks ("latency_ms", between the output
// time stamp of the click's frame and the input time stamp of its arrival) next to the sum of the
// buffer periods configured along the way ("buffer_periods_ms"), and the median time between the
// two IO procedures' calls ("callback_latency_ms").
//
// It publishes the system's fixed region names, so it runs itself in a private /dev/shm.

#include <benchmark/benchmark.h>

#include <AudioClient/AudioHardware.h>
#include <TidewellCore/RuntimeControlStore.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TestServer.h"

namespace {

constexpr const char* kDevice = "tw.bench.latency";
constexpr uint32_t kClicks = 20;
constexpr uint64_t kClickPeriodFrames = 12000;   // four clicks a second at 48000 Hz
constexpr uint32_t kBufferFrames = 192;          // the helper's default

uint64_t HostTimeOf(const AudioTimeStamp* stamp, uint32_t frame, double rate) {
    const uint64_t base = (stamp != nullptr && (stamp->mFlags & kAudioTimeStampHostTimeValid) != 0)
                              ? AudioConvertHostTimeToNanos(stamp->mHostTime)
                              : AudioConvertHostTimeToNanos(AudioGetCurrentHostTime());
    return base + static_cast<uint64_t>(frame * 1e9 / rate);
}

struct Clicker {
    uint64_t frame = 0;
    std::array<std::atomic<uint64_t>, 4 * kClicks + 64> times{};
    std::array<std::atomic<uint64_t>, 4 * kClicks + 64> calls{};   // when the IO procedure ran
    std::atomic<uint32_t> count{0};
};

OSStatus ClickProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                   AudioBufferList* output, const AudioTimeStamp* outputTime, void* context) {
    auto* clicker = static_cast<Clicker*>(context);
    if (output == nullptr || output->mNumberBuffers == 0 || output->mBuffers[0].mNumberChannels == 0) {
        return 0;
    }
    const uint32_t frames = output->mBuffers[0].mDataByteSize / (4 * output->mBuffers[0].mNumberChannels);
    for (uint32_t f = 0; f < frames; ++f, ++clicker->frame) {
        const bool click = clicker->frame % kClickPeriodFrames == 0;
        if (click) {
            const uint32_t n = clicker->count.load(std::memory_order_relaxed);
            if (n < clicker->times.size()) {
                clicker->times[n].store(HostTimeOf(outputTime, f, 48000.0), std::memory_order_relaxed);
                clicker->calls[n].store(AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()),
                                        std::memory_order_relaxed);
                clicker->count.store(n + 1, std::memory_order_release);
            }
        }
        for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
            AudioBuffer& buffer = output->mBuffers[b];
            const uint32_t channels = buffer.mNumberChannels;
            if (buffer.mData == nullptr || channels == 0 || (f + 1) * 4 * channels > buffer.mDataByteSize) {
                continue;
            }
            for (uint32_t c = 0; c < channels; ++c) {
                static_cast<float*>(buffer.mData)[f * channels + c] = click ? 0.9f : 0.0f;
            }
        }
    }
    return 0;
}

struct Detector {
    bool armed = true;
    std::array<std::atomic<uint64_t>, 4 * kClicks + 64> times{};
    std::array<std::atomic<uint64_t>, 4 * kClicks + 64> calls{};
    std::atomic<uint32_t> count{0};
};

OSStatus DetectProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                    const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* context) {
    auto* detector = static_cast<Detector*>(context);
    if (input == nullptr || input->mNumberBuffers == 0 || input->mBuffers[0].mData == nullptr ||
        input->mBuffers[0].mNumberChannels == 0) {
        return 0;
    }
    const AudioBuffer& buffer = input->mBuffers[0];
    const uint32_t channels = buffer.mNumberChannels;
    const uint32_t frames = buffer.mDataByteSize / (4 * channels);
    const auto* samples = static_cast<const float*>(buffer.mData);
    for (uint32_t f = 0; f < frames; ++f) {
        const float x = std::abs(samples[f * channels]);
        if (detector->armed && x > 0.3f) {
            const uint32_t n = detector->count.load(std::memory_order_relaxed);
            if (n < detector->times.size()) {
                detector->times[n].store(HostTimeOf(inputTime, f, 48000.0), std::memory_order_relaxed);
                detector->calls[n].store(AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()),
                                         std::memory_order_relaxed);
                detector->count.store(n + 1, std::memory_order_release);
            }
            detector->armed = false;
        } else if (!detector->armed && x < 0.05f) {
            detector->armed = true;
        }
    }
    return 0;
}

uint32_t BufferFrames(AudioObjectID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) == 0 ? frames : 0;
}

void BM_TapEndToEndLatency(benchmark::State& state) {
    if (std::getenv("TIDEWELL_IN_PRIVATE_SHM") == nullptr) {
        state.SkipWithError("needs a private /dev/shm (this machine does not allow one)");
        return;
    }
    for (auto _ : state) {
        shm_unlink(TidewellRuntimeRegionName);
        audiotest::TestServer server;
        std::vector<tidewell::RuntimeChannelRoute> routes{{1, 1}, {2, 2}};
        tidewell::RuntimeControlStoreV3::publish(
            {tidewell::RuntimeDeviceControls(kDevice, kDevice, "waveform.circle", 2, true, 1.0, {}, true, false, 1.0,
                                             routes)},
            false);
        AudioObjectID device = 0;
        for (int i = 0; i < 100 && device == 0; ++i) {
            device = audiotest::DeviceByUID(kDevice);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const AudioObjectID speaker = audiotest::DeviceByUID("BuiltInOutputDevice");
        if (device == 0 || speaker == 0) {
            state.SkipWithError("the virtual device or Built-in Output is missing");
            return;
        }

        auto clicker = std::make_unique<Clicker>();
        AudioDeviceIOProcID clickProc = nullptr;
        AudioDeviceCreateIOProcID(speaker, ClickProc, clicker.get(), &clickProc);
        AudioDeviceStart(speaker, clickProc);

        audiotest::Child tap({audiotest::BinDir() + "/tidewell-process-tap"},
                             {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + std::to_string(getpid()),
                              "TIDEWELL_TAP_BUFFER_FRAMES=" + std::to_string(kBufferFrames)});
        if (!tap.waitFor("Press Ctrl-C to stop.", std::chrono::seconds(30))) {
            state.SkipWithError(("the tap helper did not start: " + tap.output()).c_str());
            AudioDeviceStop(speaker, clickProc);
            AudioDeviceDestroyIOProcID(speaker, clickProc);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));   // past the fill's settling

        auto detector = std::make_unique<Detector>();
        AudioDeviceIOProcID detectProc = nullptr;
        AudioDeviceCreateIOProcID(device, DetectProc, detector.get(), &detectProc);
        AudioDeviceStart(device, detectProc);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (detector->count.load(std::memory_order_acquire) < kClicks + 1 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        AudioDeviceStop(device, detectProc);
        AudioDeviceDestroyIOProcID(device, detectProc);
        AudioDeviceStop(speaker, clickProc);
        AudioDeviceDestroyIOProcID(speaker, clickProc);

        // Each arrival against the latest click played before it; the first arrival may be a
        // click already under way when the recorder started, so it is left out.
        std::vector<double> latencies;
        std::vector<double> callLatencies;
        const uint32_t clicks = clicker->count.load(std::memory_order_acquire);
        const uint32_t arrivals = detector->count.load(std::memory_order_acquire);
        for (uint32_t a = 1; a < arrivals && latencies.size() < kClicks; ++a) {
            const uint64_t arrived = detector->times[a].load(std::memory_order_relaxed);
            uint64_t played = 0;
            uint32_t which = 0;
            for (uint32_t c = 0; c < clicks; ++c) {
                const uint64_t t = clicker->times[c].load(std::memory_order_relaxed);
                if (t <= arrived && t >= played) {
                    played = t;
                    which = c;
                }
            }
            if (played != 0) {
                latencies.push_back(static_cast<double>(arrived - played) * 1e-6);
                callLatencies.push_back(static_cast<double>(detector->calls[a].load(std::memory_order_relaxed) -
                                                            clicker->calls[which].load(std::memory_order_relaxed)) *
                                        1e-6);
            }
        }
        const uint32_t speakerFrames = BufferFrames(speaker, kAudioObjectPropertyScopeOutput);
        const uint32_t deviceFrames = BufferFrames(device, kAudioObjectPropertyScopeInput);
        tap.signal(SIGTERM);
        tap.wait(std::chrono::seconds(10));
        if (latencies.size() < kClicks) {
            state.SkipWithError("fewer than 20 clicks arrived");
            return;
        }
        std::sort(latencies.begin(), latencies.end());
        std::sort(callLatencies.begin(), callLatencies.end());
        const double median = (latencies[kClicks / 2 - 1] + latencies[kClicks / 2]) / 2;
        // The player's output period, the tap aggregate's period, the helper ring's starting
        // target (buffer frames + 32), the bridge's period, and the virtual device's period.
        const double periods =
            (speakerFrames + kBufferFrames + (kBufferFrames + 32) + kBufferFrames + deviceFrames) / 48.0;
        state.counters["latency_ms"] = median;
        state.counters["latency_min_ms"] = latencies.front();
        state.counters["latency_max_ms"] = latencies.back();
        state.counters["buffer_periods_ms"] = periods;
        // From the player's IO procedure writing the click to the recorder's receiving it: the
        // same path without the output and input time stamps' distance from their cycle.
        state.counters["callback_latency_ms"] = (callLatencies[kClicks / 2 - 1] + callLatencies[kClicks / 2]) / 2;
        state.SetIterationTime(median * 1e-3);
    }
    shm_unlink(TidewellRuntimeRegionName);
}
BENCHMARK(BM_TapEndToEndLatency)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Tests and this benchmark find the programs and the plug-in through the environment.
    setenv("TIDEWELL_BIN_DIR", TIDEWELL_BENCH_BIN_DIR, 0);
    setenv("AUDIOSERVER_PLUGIN_PATH", TIDEWELL_BENCH_PLUGIN_DIR, 0);
    if (std::getenv("TIDEWELL_IN_PRIVATE_SHM") == nullptr &&
        std::system((std::string(TIDEWELL_BENCH_PRIVATE_SHM) + " --check").c_str()) == 0) {
        std::vector<char*> args{const_cast<char*>(TIDEWELL_BENCH_PRIVATE_SHM)};
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length > 0) {
            self[length] = '\0';
            args.push_back(self);
            for (int i = 1; i < argc; ++i) {
                args.push_back(argv[i]);
            }
            args.push_back(nullptr);
            execv(TIDEWELL_BENCH_PRIVATE_SHM, args.data());
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
