// The output bridge against a real audioserverd: every back-end plays into Built-in Output
// at the rendered level, the device buffer size is requested and restored, streams split
// over several buffers get their channels in order, and the fallback order and its texts
// hold when calls are made to fail through the server's fault hook.
#include "TestServer.h"

#include <TidewellStream/TidewellOutputBridge.h>
#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

namespace {

// Channel c carries a sine of frequency[c] at amplitude[c]. Called on one thread at a time.
struct Sine {
    double rate = 48000;
    double frequency[4] = {997, 997, 997, 997};
    double amplitude[4] = {0.25, 0.25, 0.25, 0.25};
    uint64_t frame = 0;
    std::atomic<uint64_t> calls{0};
};

uint32_t RenderSine(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* s = static_cast<Sine*>(context);
    for (uint32_t f = 0; f < frames; ++f, ++s->frame)
        for (uint32_t c = 0; c < channels; ++c)
            destination[f * channels + c] = static_cast<float>(
                s->amplitude[c % 4] * std::sin(2 * M_PI * s->frequency[c % 4] * double(s->frame) / s->rate));
    s->calls.fetch_add(1);
    return 0;
}

// Level and pitch of what a channel played. A cycle a loaded server passes by leaves a gap of
// exact zeros (the server reports it) that lowers the level of the whole capture and moves the
// peak of one long window; the level leaves out runs of three or more zeros, which no tone here
// has, and the pitch is the median over 0.1 s windows.
double Level(const tools::AudioData& a, unsigned channel) {
    double sum = 0;
    size_t counted = 0;
    size_t zeros = 0;
    for (size_t i = 0; i <= a.frames(); ++i) {
        const float x = i < a.frames() ? a.samples[i * a.channels + channel] : 1.0f;
        if (x == 0.0f) {
            ++zeros;
            continue;
        }
        counted += zeros < 3 ? zeros : 0;
        zeros = 0;
        if (i < a.frames()) {
            sum += double(x) * x;
            ++counted;
        }
    }
    return counted == 0 ? -400 : tools::amplitudeToDbfs(std::sqrt(sum / double(counted)) * std::sqrt(2.0));
}

double Pitch(const tools::AudioData& a, unsigned channel) {
    const size_t window = a.sampleRate / 10;
    std::vector<double> found;
    for (size_t at = 0; at + window <= a.frames(); at += window) {
        found.push_back(
            tools::dominantFrequency(a.samples.data() + at * a.channels, window, a.channels, channel, a.sampleRate));
    }
    if (found.empty()) {
        return 0;
    }
    std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
    return found[found.size() / 2];
}

// Renders silence and keeps the render times it is given; every 100th slice it sleeps through a
// few device cycles, which the server then plays without it (a stalled client).
struct StallingRender {
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> unstamped{false};
    std::atomic<double> firstSample{0}, lastSample{0};
    std::atomic<uint64_t> firstNanos{0}, lastNanos{0};
};

// Renders silence and reads the render's cycle time; a render without both times is noted.
bool SilentStampedRender(float* destination, uint32_t frames, uint32_t channels, std::atomic<bool>& unstamped,
                         TidewellBlockTime* time) {
    std::fill(destination, destination + size_t(frames) * channels, 0.0f);
    if (!TidewellOutputBridgeRenderTime(time) || !time->hasSampleTime || !time->hasHostTime) {
        unstamped.store(true);
        return false;
    }
    return true;
}

uint32_t RenderStalling(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* r = static_cast<StallingRender*>(context);
    TidewellBlockTime time{};
    if (!SilentStampedRender(destination, frames, channels, r->unstamped, &time)) return 0;
    const uint64_t n = r->calls.fetch_add(1);
    if (n == 0) {
        r->firstSample.store(time.sampleTime);
        r->firstNanos.store(time.hostNanos);
    }
    r->lastSample.store(time.sampleTime);
    r->lastNanos.store(time.hostNanos);
    if (n % 100 == 50) std::this_thread::sleep_for(std::chrono::milliseconds(40));
    return 0;
}

// Keeps the render time and the moment of each of the first slices, in storage made beforehand.
struct TimedRender {
    static constexpr size_t kSlices = 400;
    struct Slice {
        uint64_t hostNanos;
        uint64_t renderNanos;
        double sampleTime;
    };
    Slice slices[kSlices]{};
    std::atomic<size_t> count{0};
    std::atomic<bool> unstamped{false};
};

uint32_t RenderTimed(void* context, float* destination, uint32_t frames, uint32_t channels) {
    auto* r = static_cast<TimedRender*>(context);
    TidewellBlockTime time{};
    if (!SilentStampedRender(destination, frames, channels, r->unstamped, &time)) return 0;
    const size_t n = r->count.load(std::memory_order_relaxed);
    if (n < TimedRender::kSlices) {
        r->slices[n] = {time.hostNanos, TidewellBlockTimeNow().hostNanos, time.sampleTime};
        r->count.store(n + 1, std::memory_order_release);
    }
    return 0;
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(name_.c_str()); }

private:
    std::string name_;
};

std::string Status(int32_t status) {
    char text[64];
    TidewellOutputBridgeFormatStatus(status, text, sizeof text);
    return text;
}

// Everything written to a log stream.
struct Log {
    FILE* file = std::tmpfile();
    ~Log() { std::fclose(file); }
    std::string text() {
        std::fflush(file);
        std::rewind(file);
        std::string s;
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) s.append(buf, n);
        return s;
    }
};

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("TIDEWELL_OUTPUT_QUEUE_BUFFERS");
        unsetenv("TIDEWELL_OUTPUT_SET_DEVICE_BUFFER");
        config.deviceUID = "BuiltInOutputDevice";
        config.sampleRate = 48000;
        config.channels = 2;
        config.bufferFrames = 192;
        config.backend = TidewellOutputBackendDefault;
        config.allowFallback = true;
        config.render = RenderSine;
        config.context = &sine;
        config.log = log.file;
    }
    void TearDown() override { TidewellOutputBridgeStop(&bridge); }

    void Fail(const std::string& call, int32_t status, int count = 1) {
        auto r = server.control({{"op", "fail"}, {"call", call}, {"status", status}, {"count", count}});
        ASSERT_TRUE(r && r->value("ok", false)) << call;
    }
    // Whether an injected failure for that call is still waiting (uses it up).
    bool FaultPending(const char* call) { return AudioClientConsumeInjectedFault(call) != 0; }

    tools::AudioData Capture(const std::string& uid, std::chrono::milliseconds length) {
        std::string file = files.path() + "/capture.wav";
        auto r = server.control({{"op", "captureStart"}, {"uid", uid}, {"path", file}});
        EXPECT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
        std::this_thread::sleep_for(length);
        r = server.control({{"op", "captureStop"}, {"uid", uid}});
        EXPECT_TRUE(r && r->value("ok", false));
        return tools::readWav(file);
    }

    uint64_t LateCycles(const std::string& uid) { return CyclesOf(server, uid).late; }

    uint32_t BufferFrames(const char* uid) {
        return U32Property(DeviceByUID(uid), Address(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput));
    }

    TestServer server;
    TempDir files;
    Log log;
    Sine sine;
    TidewellOutputBridgeConfig config{};
    TidewellOutputBridge bridge{};
};

class EachBackend : public Bridge, public ::testing::WithParamInterface<TidewellOutputBackend> {};

TEST_P(EachBackend, PlaysA997HzSineIntoBuiltInOutputAtTheRenderedLevel) {
    config.backend = GetParam();
    config.allowFallback = false;
    sine.amplitude[0] = sine.amplitude[1] = std::pow(10.0, -12.0 / 20.0);
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    EXPECT_EQ(bridge.activeBackend, GetParam());
    std::this_thread::sleep_for(300ms);
    const uint64_t lateBefore = LateCycles("BuiltInOutputDevice");
    tools::AudioData a = Capture("BuiltInOutputDevice", 1200ms);
    const uint64_t late = LateCycles("BuiltInOutputDevice") - lateBefore;
    TidewellOutputBridgeStop(&bridge);
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendDefault);
    EXPECT_EQ(bridge.scratch, nullptr);
    ASSERT_EQ(a.channels, 2u);
    ASSERT_GE(a.frames(), 48000u);
    for (unsigned c = 0; c < 2; ++c) {
        EXPECT_NEAR(Pitch(a, c), 997.0, 0.5);
        EXPECT_NEAR(Level(a, c), -12.0, 0.1);
    }
    // Whole: no sample of the capture is missing (a gap would show as a run of zeros), except
    // for cycles the server itself reports it had to drop because this client was late (a
    // loaded machine).
    size_t run = 0, longest = 0, zeros = 0;
    for (size_t i = 0; i < a.frames(); ++i) {
        run = a.samples[i * 2] == 0.0f ? run + 1 : 0;
        zeros += run >= 3 ? 1 : 0;
        longest = std::max(longest, run);
    }
    if (late == 0) EXPECT_LT(longest, 3u);
    else EXPECT_LE(zeros, late * 4096);
    EXPECT_EQ(Log{}.text(), "");
    const uint64_t calls = sine.calls.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sine.calls.load(), calls) << "no render after stop";
}

INSTANTIATE_TEST_SUITE_P(Backends, EachBackend,
                         ::testing::Values(TidewellOutputBackendAudioDevice, TidewellOutputBackendAudioUnit,
                                           TidewellOutputBackendAudioQueue),
                         [](const auto& info) {
                             std::string n = TidewellOutputBridgeBackendName(info.param);
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n;
                         });

TEST_F(Bridge, BlockSizesFollowTheBufferFrames) {
    config.bufferFrames = 0;
    config.backend = TidewellOutputBackendAudioQueue;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(bridge.scratchFrames, 1024u);
    EXPECT_EQ(bridge.deviceBufferFrames, 1024u);
    EXPECT_EQ(bridge.queueBufferCount, 4u);
    EXPECT_EQ(bridge.queueBuffers[0]->mAudioDataBytesCapacity, 1024u * 8);
    TidewellOutputBridgeStop(&bridge);

    config.bufferFrames = 48;
    {
        ScopedEnv e("TIDEWELL_OUTPUT_QUEUE_BUFFERS", "3");
        ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    }
    EXPECT_EQ(bridge.scratchFrames, 1024u);
    EXPECT_EQ(bridge.deviceBufferFrames, 128u);
    EXPECT_EQ(bridge.queueBufferCount, 3u);
    TidewellOutputBridgeStop(&bridge);
    EXPECT_EQ(bridge.queueBufferCount, 0u);
    EXPECT_EQ(bridge.queue, nullptr);

    config.backend = TidewellOutputBackendAudioUnit;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(bridge.deviceBufferFrames, 128u) << "the unit's slice";
    TidewellOutputBridgeStop(&bridge);

    config.backend = TidewellOutputBackendAudioDevice;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(bridge.deviceBufferFrames, 64u) << "the IO proc asks the device for at least 64";
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 64u);
}

TEST_F(Bridge, TheDeviceBackendRequestsItsBufferSizeAndStopRestoresIt) {
    config.backend = TidewellOutputBackendAudioDevice;
    ASSERT_EQ(BufferFrames("BuiltInOutputDevice"), 512u);
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 192u);
    EXPECT_EQ(bridge.deviceBufferFrames, 192u);
    EXPECT_TRUE(bridge.bufferSizeChanged);
    EXPECT_EQ(bridge.previousBufferFrames, 512u);
    TidewellOutputBridgeStop(&bridge);
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 512u);
    EXPECT_FALSE(bridge.bufferSizeChanged);

    {
        ScopedEnv e("TIDEWELL_OUTPUT_SET_DEVICE_BUFFER", "off");
        ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    }
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 512u);
    EXPECT_EQ(bridge.deviceBufferFrames, 512u) << "what the device uses";
    TidewellOutputBridgeStop(&bridge);
    {
        ScopedEnv e("TIDEWELL_OUTPUT_SET_DEVICE_BUFFER", "False");
        ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    }
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 192u) << "only the listed spellings turn the request off";
}

TEST_F(Bridge, StreamsSplitOverTwoBuffersGetTheChannelsInOrder) {
    auto r = server.control({{"op", "addDevice"}, {"name", "Split"}, {"uid", "split"}, {"outputs", {2, 2}}});
    ASSERT_TRUE(r && r->value("ok", false));
    config.deviceUID = "split";
    config.backend = TidewellOutputBackendAudioDevice;
    config.channels = 4;
    sine.frequency[0] = 500, sine.frequency[1] = 1000, sine.frequency[2] = 2000, sine.frequency[3] = 4000;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    std::this_thread::sleep_for(200ms);
    tools::AudioData a = Capture("split", 600ms);
    TidewellOutputBridgeStop(&bridge);
    ASSERT_EQ(a.channels, 4u);
    ASSERT_GE(a.frames(), 20000u);
    for (unsigned c = 0; c < 4; ++c) {
        EXPECT_NEAR(Pitch(a, c), sine.frequency[c], 1.0) << c;
        EXPECT_NEAR(Level(a, c), 20 * std::log10(0.25), 0.1) << c;
    }

    config.channels = 2;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    std::this_thread::sleep_for(200ms);
    a = Capture("split", 400ms);
    TidewellOutputBridgeStop(&bridge);
    ASSERT_GE(a.frames(), 10000u);
    EXPECT_NEAR(Level(a, 1), 20 * std::log10(0.25), 0.1);
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), 4, 2), 0.0);
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), 4, 3), 0.0);
}

TEST_F(Bridge, AnUnregisteredUidFailsTheDeviceAndTheQueueWithBothTexts) {
    config.deviceUID = "NoSuchDevice";
    config.backend = TidewellOutputBackendAudioDevice;
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(std::string(TidewellOutputBridgeError(&bridge)),
              "AudioDevice failed: Audio device UID NoSuchDevice is not registered with Core Audio.; AudioQueue failed: "
              "AudioQueueSetProperty(kAudioQueueProperty_CurrentDevice) failed: " +
                  Status(kAudioQueueErr_InvalidDevice));
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendDefault);
    EXPECT_EQ(bridge.queue, nullptr);
    EXPECT_EQ(bridge.scratch, nullptr);
    EXPECT_EQ(log.text(), "");
    const std::string kept = TidewellOutputBridgeError(&bridge);
    TidewellOutputBridgeStop(&bridge);
    TidewellOutputBridgeStop(&bridge);
    EXPECT_EQ(TidewellOutputBridgeError(&bridge), kept);

    // Without fallback the queue is not tried and the device's text stands alone.
    config.allowFallback = false;
    Fail("AudioQueueNewOutput", -1);
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_STREQ(TidewellOutputBridgeError(&bridge), "Audio device UID NoSuchDevice is not registered with Core Audio.");
    EXPECT_TRUE(FaultPending("AudioQueueNewOutput")) << "the queue was not tried";
}

TEST_F(Bridge, AFailedDeviceStartFallsBackToTheQueueAndSaysSo) {
    config.backend = TidewellOutputBackendAudioDevice;
    Fail("AudioComponentFindNext", -1);
    Fail("AudioDeviceStart", -50);
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendAudioQueue);
    EXPECT_EQ(bridge.queueBufferCount, 4u);
    EXPECT_EQ(log.text(), "Fell back to AudioQueue output bridge after AudioDevice setup failed: AudioDeviceStart failed: -50 "
                          "('....')\n");
    EXPECT_TRUE(FaultPending("AudioComponentFindNext")) << "the unit is never tried after the device IO proc";
    EXPECT_EQ(BufferFrames("BuiltInOutputDevice"), 512u) << "the failed attempt's stop restored the size";
    std::this_thread::sleep_for(200ms);
    tools::AudioData a = Capture("BuiltInOutputDevice", 500ms);
    EXPECT_NEAR(Pitch(a, 0), 997.0, 1.0);
}

TEST_F(Bridge, TheDefaultTriesTheUnitThenTheQueue) {
    Fail("AudioComponentFindNext", -1);
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendAudioQueue);
    EXPECT_EQ(log.text(),
              "Fell back to AudioQueue output bridge after AudioUnit setup failed: Could not find HAL Output AudioUnit "
              "component.\n");
    TidewellOutputBridgeStop(&bridge);

    // With nothing failing the default is the unit.
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendAudioUnit);
}

TEST_F(Bridge, TheUnitAndTheQueueFailingGiveBothTexts) {
    config.backend = TidewellOutputBackendAudioUnit;
    Fail("AudioUnitSetProperty(kAudioUnitProperty_StreamFormat)", AUDIO_FOUR_CC('f', 'm', 't', '!'));
    Fail("AudioQueueStart", -50);
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(std::string(TidewellOutputBridgeError(&bridge)),
              "AudioUnit failed: AudioUnitSetProperty(kAudioUnitProperty_StreamFormat) failed: " +
                  Status(AUDIO_FOUR_CC('f', 'm', 't', '!')) +
                  "; AudioQueue failed: AudioQueueStart(output) failed: -50 ('....')");
    EXPECT_EQ(bridge.audioUnit, nullptr);
    EXPECT_EQ(bridge.queue, nullptr);

    // Without fallback: the unit's text alone, and the queue untouched.
    config.allowFallback = false;
    Fail("AudioOutputUnitStart", -4);
    Fail("AudioQueueNewOutput", -1);
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_STREQ(TidewellOutputBridgeError(&bridge), "AudioOutputUnitStart failed: -4 ('....')");
    EXPECT_TRUE(FaultPending("AudioQueueNewOutput"));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Bridge, TheQueueBackendTriesOnlyTheQueue) {
    config.backend = TidewellOutputBackendAudioQueue;
    config.allowFallback = false;
    Fail("AudioComponentFindNext", -1);
    Fail("AudioQueueAllocateBuffer", AUDIO_FOUR_CC('m', 'e', 'm', '!'));
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_EQ(std::string(TidewellOutputBridgeError(&bridge)),
              "AudioQueueAllocateBuffer(output) failed: " + Status(AUDIO_FOUR_CC('m', 'e', 'm', '!')));
    EXPECT_TRUE(FaultPending("AudioComponentFindNext"));
    EXPECT_EQ(bridge.queue, nullptr);
    EXPECT_EQ(bridge.queueBufferCount, 0u);
}

TEST_F(Bridge, AUnitThatCannotTurnItsInputOffStillPlays) {
    config.backend = TidewellOutputBackendAudioUnit;
    config.allowFallback = false;
    Fail("AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO input)", -7);
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    EXPECT_EQ(bridge.activeBackend, TidewellOutputBackendAudioUnit);
    auto until = std::chrono::steady_clock::now() + 5s;
    while (sine.calls.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_GT(sine.calls.load(), 0u);
}

// The unit's own sample time runs on only while it renders; the render must still see where the
// device is, cycles it never rendered included, or the rate control reads each lost cycle as a
// slower clock.
TEST_F(Bridge, TheUnitsRenderTimesFollowTheDeviceThroughCyclesItMissed) {
    StallingRender stalling;
    config.backend = TidewellOutputBackendAudioUnit;
    config.allowFallback = false;
    config.render = RenderStalling;
    config.context = &stalling;
    const uint64_t lateBefore = LateCycles("BuiltInOutputDevice");
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (stalling.calls.load() < 1000 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    TidewellOutputBridgeStop(&bridge);
    ASSERT_GE(stalling.calls.load(), 1000u);
    EXPECT_FALSE(stalling.unstamped.load());
    ASSERT_GT(LateCycles("BuiltInOutputDevice") - lateBefore, 5u) << "the stalls cost the device cycles";
    const double elapsed = double(stalling.lastNanos.load() - stalling.firstNanos.load()) * 1e-9 * 48000.0;
    const double advanced = stalling.lastSample.load() - stalling.firstSample.load();
    // Within three device cycles (512 frames each): the render's own lateness, not the lost cycles.
    EXPECT_NEAR(advanced, elapsed, 3 * 512.0);
}

// The rate control measures the device's clock from the render times: they must be the device's
// own cycle times, not the moment the render thread happened to wake, whose jitter (and, under
// load, lateness) would read as a wavering rate.
TEST_F(Bridge, TheUnitsRenderTimesAreTheDeviceCycleStarts) {
    TimedRender timed;
    config.backend = TidewellOutputBackendAudioUnit;
    config.allowFallback = false;
    config.render = RenderTimed;
    config.context = &timed;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (timed.count.load() < TimedRender::kSlices && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    TidewellOutputBridgeStop(&bridge);
    ASSERT_EQ(timed.count.load(), TimedRender::kSlices);
    EXPECT_FALSE(timed.unstamped.load());
    const auto& first = timed.slices[0];
    double worst = 0;
    uint64_t cycle = 0;
    for (const auto& slice : timed.slices) {
        // On the device's timeline: from one cycle's first slice to the next (the slices of a cycle
        // share its time), host time and sample time advance together, to a hundredth of a frame
        // (Built-in Output runs at exactly 48000 Hz).
        if (slice.hostNanos != cycle) {
            cycle = slice.hostNanos;
            const double byHost = double(int64_t(slice.hostNanos - first.hostNanos)) * 1e-9 * 48000.0;
            worst = std::max(worst, std::fabs(byHost - (slice.sampleTime - first.sampleTime)));
        }
        // The cycle began before its render ran, and not more than a few cycles before.
        EXPECT_LE(slice.hostNanos, slice.renderNanos);
        EXPECT_LT(slice.renderNanos - slice.hostNanos, 200'000'000u);
    }
    EXPECT_LT(worst, 0.01);
}

TEST_F(Bridge, WithoutADefaultOutputTheDeviceLookupSaysSo) {
    auto r = server.control({{"op", "removeDevice"}, {"uid", "BuiltInOutputDevice"}});
    ASSERT_TRUE(r && r->value("ok", false));
    config.deviceUID = nullptr;
    config.backend = TidewellOutputBackendAudioDevice;
    config.allowFallback = false;
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_STREQ(TidewellOutputBridgeError(&bridge), "No default output device is registered with Core Audio.");
    Fail("AudioObjectGetPropertyData", -9);
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_STREQ(TidewellOutputBridgeError(&bridge),
                 "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultOutputDevice) failed: -9 ('....')");
    config.deviceUID = "USBAudioInterface";
    Fail("AudioObjectGetPropertyDataSize", -10);
    EXPECT_FALSE(TidewellOutputBridgeStart(&bridge, &config));
    EXPECT_STREQ(TidewellOutputBridgeError(&bridge),
                 "AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices) failed: -10 ('....')");
    // The USB interface plays through the unit at the bridge's rate, converted to its own.
    config.backend = TidewellOutputBackendAudioUnit;
    ASSERT_TRUE(TidewellOutputBridgeStart(&bridge, &config)) << TidewellOutputBridgeError(&bridge);
    std::this_thread::sleep_for(200ms);
    tools::AudioData a = Capture("USBAudioInterface", 600ms);
    ASSERT_EQ(a.sampleRate, 44100u);
    EXPECT_NEAR(Pitch(a, 0), 997.0, 0.5);
    EXPECT_NEAR(Level(a, 0), 20 * std::log10(0.25), 0.15);
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), a.channels, 2), 0.0);
}

}  // namespace
