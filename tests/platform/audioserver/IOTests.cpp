// IO procs end to end: the server's cycle, mixing, captures, input signals, buffer sizes.
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <unistd.h>

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

namespace {

// A sine (or a constant when frequency is 0) written to every output channel.
struct Player {
    double frequency = 997, amplitude = 0.25, rate = 48000, phase = 0;
    std::atomic<uint64_t> calls{0};
    std::atomic<uint32_t> lastFrames{0};
    std::atomic<uint32_t> buffers{0};
    std::atomic<uint64_t> firstOutputHost{0};   // output time of the first cycle played
};

OSStatus PlayProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList* out,
                  const AudioTimeStamp* outputTime, void* data) {
    auto* p = static_cast<Player*>(data);
    if (p->calls.load() == 0 && outputTime != nullptr) p->firstOutputHost.store(outputTime->mHostTime);
    double start = p->phase, phase = start;
    uint32_t frames = 0;
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        AudioBuffer& buf = out->mBuffers[b];
        frames = buf.mDataByteSize / (4 * buf.mNumberChannels);
        auto* s = static_cast<float*>(buf.mData);
        phase = start;
        for (uint32_t i = 0; i < frames; ++i) {
            float v = p->frequency > 0 ? static_cast<float>(p->amplitude * std::sin(phase)) : static_cast<float>(p->amplitude);
            phase += 2 * M_PI * p->frequency / p->rate;
            for (uint32_t c = 0; c < buf.mNumberChannels; ++c) s[i * buf.mNumberChannels + c] = v;
        }
    }
    p->phase = std::fmod(phase, 2 * M_PI);
    p->lastFrames.store(frames);
    p->buffers.store(out->mNumberBuffers);
    p->calls.fetch_add(1);
    return 0;
}

// A client's recording with each cycle at its own place on the device's timeline: a cycle the
// server gave up on (a loaded machine) leaves its silence where it belongs, so a tone keeps its
// phase; laid end to end, the cycles would shift its frequency by the holes.
struct PlacedRecording {
    explicit PlacedRecording(size_t size) : samples(size, 0.0f), delivered(size, 0) {}
    std::vector<float> samples;
    std::vector<uint8_t> delivered;   // per sample
    std::atomic<size_t> written{0};   // samples, to the end of the latest cycle
    std::atomic<size_t> holes{0};     // samples of the cycles lost in between
    double firstSampleTime = -1;

    // Where a cycle that starts at `sampleTime` goes, in samples of `channels` per frame; the
    // end of the recording when it is full.
    size_t PlaceAt(double sampleTime, uint32_t channels) {
        if (firstSampleTime < 0) firstSampleTime = sampleTime;
        const size_t before = written.load();
        const auto frame = static_cast<size_t>(std::max(0.0, sampleTime - firstSampleTime));
        const size_t at = std::min(std::max(before, frame * channels), samples.size());
        holes.store(holes.load() + (at - before));
        return at;
    }
    // The cycle's `count` samples from `at` are in.
    void Delivered(size_t at, size_t count) {
        std::fill_n(delivered.begin() + static_cast<std::ptrdiff_t>(at), count, uint8_t{1});
        written.store(at + count);
    }
    // The level over the frames the device delivered in the first `frames` (lost cycles left out).
    double DeliveredRmsDbfs(size_t frames, uint32_t channels, uint32_t channel) const {
        size_t count = 0;
        for (size_t i = 0; i < frames; ++i) count += delivered[i * channels + channel];
        if (count == 0) return -200.0;
        return tools::rmsDbfs(samples.data(), frames, channels, channel) + 10 * std::log10(double(frames) / double(count));
    }
};

// What a microphone's client records of its first input buffer (float).
struct Recorder : PlacedRecording {
    Recorder() : PlacedRecording(48000 * 4) {}
    std::atomic<uint32_t> channels{0};
    double DeliveredRmsDbfs(size_t frames, uint32_t channel) const {
        return PlacedRecording::DeliveredRmsDbfs(frames, channels.load(), channel);
    }
};

OSStatus RecordProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp* inputTime,
                    AudioBufferList*, const AudioTimeStamp*, void* data) {
    auto* r = static_cast<Recorder*>(data);
    if (in->mNumberBuffers < 1) return 0;
    const AudioBuffer& b = in->mBuffers[0];
    r->channels.store(b.mNumberChannels);
    const size_t at = r->PlaceAt(inputTime->mSampleTime, b.mNumberChannels);
    const size_t n = std::min<size_t>(b.mDataByteSize / 4, r->samples.size() - at);
    std::memcpy(r->samples.data() + at, b.mData, n * 4);
    r->Delivered(at, n);
    return 0;
}

// The frame where audio starts, and whether a run of exact zeros interrupts it later.
size_t FirstSound(const tools::AudioData& a) {
    for (size_t i = 0; i < a.frames(); ++i)
        if (a.samples[i * a.channels] != 0.0f) return i;
    return a.frames();
}

size_t LongestZeroRunAfter(const tools::AudioData& a, size_t from, size_t to) {
    size_t run = 0, longest = 0;
    for (size_t i = from; i < to; ++i) {
        run = a.samples[i * a.channels] == 0.0f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

class IO : public ::testing::Test {
protected:
    TestServer server;
    TempDir files;
};

TEST_F(IO, ASinePlayedIntoBuiltInOutputIsCapturedWholeAtItsLevel) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(out, 0u);
    Player p;
    p.frequency = 997;
    p.amplitude = std::pow(10.0, -12.0 / 20.0);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &p, &proc), 0);
    auto r = server.control({{"op", "captureStart"}, {"uid", "BuiltInOutputDevice"}, {"path", files.path() + "/c.wav"}});
    ASSERT_TRUE(r && r->value("ok", false));
    // The capture runs before the proc starts, so it holds the first cycle of sound.
    ASSERT_TRUE(WaitUntil([&] { return CyclesOf(server, "BuiltInOutputDevice").cycles > 0; }, 20s, 20ms));
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    // A second and a half of cycles played.
    ASSERT_TRUE(WaitUntil([&] { return p.calls.load() >= 48000 * 3 / 2 / 512; }));
    r = server.control({{"op", "captureStop"}, {"uid", "BuiltInOutputDevice"}});
    ASSERT_TRUE(r && r->value("ok", false));
    ASSERT_EQ(AudioDeviceStop(out, proc), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(out, proc), 0);

    auto a = tools::readWav(files.path() + "/c.wav");
    ASSERT_EQ(a.channels, 2u);
    ASSERT_EQ(a.sampleRate, 48000u);
    size_t first = FirstSound(a);
    ASSERT_LT(first + 48000 + 1024, a.frames()) << "less than a second of sound";
    // The capture tells where its first frame sits on the host clock: the first frame of sound
    // (the sine's first sample is 0, so its second) is where the proc's first cycle played.
    const auto firstHost = r->value("firstHostNanos", uint64_t(0));
    ASSERT_GT(firstHost, 0u);
    if (CyclesOf(server, "BuiltInOutputDevice").late == 0) {
        const double soundAt = double(firstHost) + (double(first) - 1) * 1e9 / 48000.0;
        EXPECT_NEAR(soundAt, double(p.firstOutputHost.load()), 1e5);
    }
    // No gap after the first cycle: every sample of the next second is sound, unless the
    // server counted a late cycle (a loaded machine), whose output is left out by design.
    if (CyclesOf(server, "BuiltInOutputDevice").late == 0) {
        EXPECT_LT(LongestZeroRunAfter(a, first, first + 48000 + 512), 16u);
    }
    const float* s = a.samples.data() + (first + 512) * a.channels;
    for (unsigned ch = 0; ch < 2; ++ch) {
        EXPECT_NEAR(tools::rmsDbfs(s, 48000, 2, ch), -12.0, 0.1) << "channel " << ch;
        EXPECT_NEAR(tools::dominantFrequency(s, 48000, 2, ch, 48000), 997.0, 0.5) << "channel " << ch;
    }
}

TEST_F(IO, ClientsInTwoProcessesAreMixed) {
    Child other({BinDir() + "/audio-test-client", "play", "BuiltInOutputDevice", "1000", "-20", "30"});
    ASSERT_TRUE(other.waitFor("started", 10s)) << other.output();
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Player p;
    p.frequency = 440;
    p.amplitude = 0.1;  // -20 dBFS
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &p, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    ASSERT_TRUE(WaitUntil([&] { return p.calls.load() > 0; }));
    uint64_t lateBefore = CyclesOf(server, "BuiltInOutputDevice").late;
    auto a = CaptureFrames(server, "BuiltInOutputDevice", 48000, files.path() + "/mix.wav");
    bool late = CyclesOf(server, "BuiltInOutputDevice").late != lateBefore;
    AudioDeviceStop(out, proc);
    AudioDeviceDestroyIOProcID(out, proc);
    ASSERT_GE(a.frames(), 48000u);
    // Two uncorrelated sines of -20 dBFS: their powers add to -20 + 10 log10(2) dBFS. A
    // late cycle (a loaded machine) leaves a client out of it: then the level is not exact.
    if (!late) {
        EXPECT_NEAR(tools::rmsDbfs(a.samples.data(), 48000, 2, 0), -20.0 + 10 * std::log10(2.0), 0.1);
        EXPECT_LT(LongestZeroRunAfter(a, 0, 48000), 16u);
    }
}

// A server held up past several cycles (its IO thread starved) loses them, as a device loses the
// cycles its driver is late for: the device's clock goes on, so its cycles keep their grid and
// their sample time moves past the lost ones, and the server counts them, so that a client's gap
// from it is told from one of its own.
OSStatus KeepTime(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                  const AudioTimeStamp* outputTime, void* data) {
    static_cast<CycleStamps*>(data)->keep(outputTime);
    return 0;
}

TEST_F(IO, AServerHeldUpPastItsCyclesLosesThemOnTheDevicesClockAndCountsThem) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(out, 0u);
    CycleStamps keeper;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, KeepTime, &keeper, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    ASSERT_TRUE(WaitUntil([&] { return keeper.calls.load() > 10; }));
    auto stalled = [&] { return CyclesOf(server, "BuiltInOutputDevice").stalled; };
    const uint64_t before = stalled();
    const uint64_t lostBefore = CyclesOf(server, "BuiltInOutputDevice").late;
    // 200 ms: about 19 cycles of 512 frames at 48 kHz.
    const auto stoppedAt = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);
    const double stoppedCycles =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stoppedAt).count() * 48000 / 512;
    const uint64_t calls = keeper.calls.load();
    ASSERT_TRUE(WaitUntil([&] { return keeper.calls.load() > calls + 10; })) << "the server serves its clients again";
    AudioDeviceStop(out, proc);
    AudioDeviceDestroyIOProcID(out, proc);
    EXPECT_GE(stalled() - before, 14u);
    EXPECT_LE(double(stalled() - before), stoppedCycles + 1) << "only the cycles it was stopped for";
    EXPECT_GE(CyclesOf(server, "BuiltInOutputDevice").late - lostBefore, 14u) << "counted as cycles lost";
    // Across the stall, sample time and host time went on together, on the cycle's grid.
    const double bySamples = keeper.samplesSpanned();
    EXPECT_NEAR(keeper.hostSpanned(48000), bySamples, 2.0);
    EXPECT_EQ(std::fmod(bySamples, 512.0), 0.0);
}

TEST_F(IO, ProcsOfOneProcessOnOneDeviceAreSummedAndStopMeansStopped) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Player a, b;
    a.frequency = b.frequency = 0;  // constants: the sum is exact
    a.amplitude = 0.125;
    b.amplitude = 0.25;
    AudioDeviceIOProcID pa = nullptr, pb = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &a, &pa), 0);
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &b, &pb), 0);
    ASSERT_NE(pa, pb);
    ASSERT_EQ(AudioDeviceStart(out, pa), 0);
    ASSERT_EQ(AudioDeviceStart(out, pb), 0);
    ASSERT_TRUE(WaitUntil([&] { return a.calls.load() > 0 && b.calls.load() > 0; }));
    uint64_t lateBefore = CyclesOf(server, "BuiltInOutputDevice").late;
    auto cap = CaptureFrames(server, "BuiltInOutputDevice", 8192, files.path() + "/sum.wav");
    ASSERT_GT(cap.frames(), 4096u);
    // Each cycle holds both procs' output or, when late (a loaded machine), neither.
    bool late = CyclesOf(server, "BuiltInOutputDevice").late != lateBefore;
    for (size_t i = 0; i < 4096; ++i) {
        if (!late || cap.samples[i * 2] != 0.0f) {
            ASSERT_FLOAT_EQ(cap.samples[i * 2], 0.375f) << "frame " << i;
        }
    }

    // After Stop returns the proc is never called again; the other one goes on.
    ASSERT_EQ(AudioDeviceStop(out, pa), 0);
    uint64_t callsA = a.calls.load(), callsB = b.calls.load();
    ASSERT_TRUE(WaitUntil([&] { return b.calls.load() > callsB + 10; }));
    EXPECT_EQ(a.calls.load(), callsA);
    ASSERT_EQ(AudioDeviceStop(out, pb), 0);
    callsB = b.calls.load();
    // Watched for a while: a stopped proc is not called, whatever the machine's load.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(b.calls.load(), callsB);
    // Stopping twice and destroying a stopped proc are harmless; a destroyed id is unknown.
    EXPECT_EQ(AudioDeviceStop(out, pb), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, pa), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, pb), 0);
    EXPECT_NE(AudioDeviceStart(out, pa), 0);
}

TEST_F(IO, ABufferFrameSizeSetByOneClientChangesTheCycleOfEveryClient) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Player p;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &p, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    ASSERT_TRUE(WaitUntil([&] { return p.calls.load() > 0; }));
    EXPECT_EQ(p.lastFrames.load(), 512u);
    {
        Child other({BinDir() + "/audio-test-client", "play", "BuiltInOutputDevice", "500", "-30", "0.5", "--buffer-frames", "128"});
        ASSERT_TRUE(other.waitFor("frames 128", 10s)) << other.output();
        ASSERT_EQ(other.wait(10s), 0);
    }
    // The size stays as set after the client that set it has left.
    uint64_t calls = p.calls.load();
    ASSERT_TRUE(WaitUntil([&] { return p.calls.load() > calls + 2; }));
    EXPECT_EQ(p.lastFrames.load(), 128u);
    EXPECT_EQ(U32Property(out, Address(kAudioDevicePropertyBufferFrameSize)), 128u);
    AudioDeviceStop(out, proc);
    AudioDeviceDestroyIOProcID(out, proc);
}

TEST_F(IO, TheMicrophonePlaysItsTestToneAndTheCycleTimesFollowTheHostClock) {
    AudioObjectID mic = DeviceByUID("BuiltInMicrophoneDevice");
    Recorder rec;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(mic, RecordProc, &rec, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(mic, proc), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (rec.written.load() < 48000 * 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    AudioDeviceStop(mic, proc);
    AudioDeviceDestroyIOProcID(mic, proc);
    ASSERT_GE(rec.written.load(), 48000u * 2);
    EXPECT_EQ(rec.channels.load(), 2u);
    EXPECT_NEAR(tools::dominantFrequency(rec.samples.data(), 48000, 2, 0, 48000), 440.0, 0.5);
    EXPECT_NEAR(rec.DeliveredRmsDbfs(48000, 1), -30.0, 0.1) << rec.holes.load() << " samples lost";
}

// The second stream's first channel, placed on the device's timeline like the microphone's.
struct UsbProbe {
    std::atomic<uint32_t> buffers{0}, ch0{0}, ch1{0}, bytes0{0}, frames{0};
    PlacedRecording left{44100 * 2};
    std::atomic<uint64_t> lastHost{0};
    std::atomic<int> badTimes{0};
};

OSStatus UsbProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp* inputTime,
                 AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto* p = static_cast<UsbProbe*>(data);
    p->buffers.store(in->mNumberBuffers);
    if (in->mNumberBuffers >= 2) {
        p->ch0.store(in->mBuffers[0].mNumberChannels);
        p->ch1.store(in->mBuffers[1].mNumberChannels);
        p->bytes0.store(in->mBuffers[0].mDataByteSize);
        // Second stream, first channel: 24-bit little-endian signed, 2 channels per frame.
        const auto* b = static_cast<const uint8_t*>(in->mBuffers[1].mData);
        uint32_t frames = in->mBuffers[1].mDataByteSize / 6;
        p->frames.store(frames);
        const size_t at = p->left.PlaceAt(inputTime->mSampleTime, 1);
        const size_t n = std::min<size_t>(frames, p->left.samples.size() - at);
        for (size_t i = 0; i < n; ++i) {
            int32_t v = b[i * 6] | (b[i * 6 + 1] << 8) | (int32_t(int8_t(b[i * 6 + 2])) << 16);
            p->left.samples[at + i] = static_cast<float>(v / 8388607.0);
        }
        p->left.Delivered(at, n);
    }
    if ((now->mFlags & kAudioTimeStampSampleHostTimeValid) != kAudioTimeStampSampleHostTimeValid ||
        now->mHostTime <= p->lastHost.load())
        p->badTimes.fetch_add(1);
    p->lastHost.store(now->mHostTime);
    (void)out;
    return 0;
}

TEST_F(IO, TheUsbInputArrivesAsTwoBuffersOf24BitSamples) {
    auto r = server.control({{"op", "signal"}, {"uid", "USBAudioInterface"}, {"channel", 3}, {"type", "sine"},
                             {"frequency", 1000.0}, {"level", -6.0}});
    ASSERT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "");
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    UsbProbe probe;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(usb, UsbProc, &probe, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(usb, proc), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (probe.left.written.load() < 44100 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    AudioDeviceStop(usb, proc);
    AudioDeviceDestroyIOProcID(usb, proc);
    EXPECT_EQ(probe.buffers.load(), 2u);
    EXPECT_EQ(probe.ch0.load(), 2u);
    EXPECT_EQ(probe.ch1.load(), 2u);
    EXPECT_EQ(probe.bytes0.load(), 512u * 6);
    EXPECT_EQ(probe.badTimes.load(), 0);
    ASSERT_GE(probe.left.written.load(), 44100u);
    EXPECT_NEAR(tools::dominantFrequency(probe.left.samples.data(), 44100, 1, 0, 44100), 1000.0, 0.5)
        << probe.left.holes.load() << " frames lost";
    EXPECT_NEAR(probe.left.DeliveredRmsDbfs(44100, 1, 0), -6.0, 0.1) << probe.left.holes.load() << " frames lost";
}

TEST_F(IO, StartingIOMakesAProcessAnAudioProcessObjectWithItsBundleID) {
    auto sys = kAudioObjectSystemObject;
    auto t = Address(kAudioHardwarePropertyTranslatePIDToProcessObject);
    auto translate = [&](int32_t pid) {
        AudioObjectID obj = 0;
        UInt32 size = 4;
        EXPECT_EQ(AudioObjectGetPropertyData(sys, &t, 4, &pid, &size, &obj), 0);
        return obj;
    };
    Child listener({BinDir() + "/audio-test-client", "listen", "system", "dOut", "30"},
                   {"AUDIOSERVER_BUNDLE_ID=org.example.listener"});
    ASSERT_TRUE(listener.waitFor("ready", 10s));
    EXPECT_EQ(translate(listener.pid()), 0u) << "connected but not doing audio IO";
    Child player({BinDir() + "/audio-test-client", "play", "BuiltInOutputDevice", "440", "-30", "30"},
                 {"AUDIOSERVER_BUNDLE_ID=org.example.player"});
    ASSERT_TRUE(player.waitFor("started", 10s));
    AudioObjectID obj = translate(player.pid());
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(StringProperty(obj, kAudioProcessPropertyBundleID), "org.example.player");
    int32_t objPid = 0;
    UInt32 size = 4;
    auto pp = Address(kAudioProcessPropertyPID);
    ASSERT_EQ(AudioObjectGetPropertyData(obj, &pp, 0, nullptr, &size, &objPid), 0);
    EXPECT_EQ(objPid, player.pid());
    EXPECT_EQ(U32Property(sys, Address(kAudioHardwarePropertyProcessObjectList)), obj);
    // It leaves with its process.
    player.signal(SIGKILL);
    player.wait(5s);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (translate(player.pid()) != 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(translate(player.pid()), 0u);
    OSStatus st;
    U32Property(obj, Address(kAudioProcessPropertyPID), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
}

TEST_F(IO, BlockProcsRunAsWorkOfTheirQueue) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    dispatch_queue_t q = dispatch_queue_create("org.example.io", DISPATCH_QUEUE_SERIAL);
    std::atomic<int> calls{0};
    std::atomic<bool> inWork{false};
    std::atomic<int> overlaps{0};
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&proc, out, q,
                                                 [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                                     AudioBufferList*, const AudioTimeStamp*) {
                                                     if (inWork.load()) overlaps.fetch_add(1);
                                                     calls.fetch_add(1);
                                                 }),
              0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    // Work on the queue interleaved with the cycles, until both have happened many times.
    auto until = std::chrono::steady_clock::now() + 20s;
    for (int i = 0; (i < 20 || calls.load() <= 10) && std::chrono::steady_clock::now() < until; ++i) {
        dispatch_sync(q, [&] {
            inWork.store(true);
            std::this_thread::sleep_for(2ms);
            inWork.store(false);
        });
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(AudioDeviceStop(out, proc), 0);
    AudioDeviceDestroyIOProcID(out, proc);
    dispatch_release(q);
    EXPECT_GT(calls.load(), 10);
    EXPECT_EQ(overlaps.load(), 0);
}

// A control request's number that its field cannot hold (beyond an int, a fraction for a whole
// number, a sample beyond a float) is refused as a bad request, never converted to another number.
TEST_F(IO, ControlNumbersAFieldCannotHoldAreRefused) {
    const std::vector<nlohmann::json> requests{
        {{"op", "fail"}, {"call", "AudioDeviceStart"}, {"status", 3.3e40}},
        {{"op", "fail"}, {"call", "AudioDeviceStart"}, {"status", 4294967297ull}},
        {{"op", "fail"}, {"call", "AudioDeviceStart"}, {"status", -1}, {"count", 1e300}},
        {{"op", "fail"}, {"call", "AudioDeviceStart"}, {"status", 1.5}},
        {{"op", "signal"}, {"uid", "BuiltInMicrophoneDevice"}, {"channel", -1e20}, {"type", "silence"}},
        {{"op", "alterDevice"}, {"uid", "BuiltInOutputDevice"}, {"bufferFrames", 4294967808ull}},
        {{"op", "addDevice"}, {"name", "X"}, {"uid", "x"}, {"outputs", {2}}, {"bufferMax", 1e12}},
        {{"op", "addDevice"}, {"name", "Y"}, {"uid", "y"}, {"outputs", {4294967298ull}}},
    };
    for (const auto& request : requests) {
        auto r = server.control(request);
        ASSERT_TRUE(r) << request.dump();
        EXPECT_FALSE(r->value("ok", true)) << request.dump() << " -> " << r->dump();
    }
    // No fault was put in place by any of them: the call still works.
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Player p;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &p, &proc), 0);
    EXPECT_EQ(AudioDeviceStart(out, proc), 0);
    AudioDeviceStop(out, proc);
    AudioDeviceDestroyIOProcID(out, proc);
    auto samples = server.control({{"op", "signal"}, {"uid", "BuiltInMicrophoneDevice"}, {"channel", 1},
                                   {"type", "samples"}, {"samples", {1e300, -1e300, 0.5}}});
    ASSERT_TRUE(samples);
    EXPECT_TRUE(samples->value("ok", false)) << "samples beyond full scale are clamped: " << samples->dump();
}

TEST_F(IO, AnInjectedFailureHitsTheNamedCallTheGivenNumberOfTimes) {
    auto r = server.control({{"op", "fail"}, {"call", "AudioDeviceStart"}, {"status", int32_t(kAudioHardwareBadDeviceError)}, {"count", 1}});
    ASSERT_TRUE(r && r->value("ok", false));
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Player p;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, PlayProc, &p, &proc), 0);
    EXPECT_EQ(AudioDeviceStart(out, proc), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceStart(out, proc), 0);
    AudioDeviceStop(out, proc);
    AudioDeviceDestroyIOProcID(out, proc);

    r = server.control({{"op", "fail"}, {"call", "AudioQueueNewOutput"}, {"status", -50}, {"count", 2}});
    ASSERT_TRUE(r && r->value("ok", false));
    EXPECT_EQ(AudioClientConsumeInjectedFault("AudioQueueNewOutput"), -50);
    EXPECT_EQ(AudioClientConsumeInjectedFault("AudioQueueNewOutput"), -50);
    EXPECT_EQ(AudioClientConsumeInjectedFault("AudioQueueNewOutput"), 0);
}

}  // namespace

namespace {

// Sample and host times of the cycles a proc sees.
struct Clock {
    std::vector<double> samples = std::vector<double>(4096);
    std::vector<uint64_t> hosts = std::vector<uint64_t>(4096);
    std::vector<double> scalars = std::vector<double>(4096);
    std::atomic<size_t> n{0};
};

OSStatus ClockProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                   const AudioTimeStamp*, void* data) {
    auto* c = static_cast<Clock*>(data);
    size_t i = c->n.load();
    if (i < c->samples.size()) {
        c->samples[i] = now->mSampleTime;
        c->hosts[i] = now->mHostTime;
        c->scalars[i] = now->mRateScalar;
        c->n.store(i + 1);
    }
    return 0;
}

// The rate of the device's timeline against the host clock, over `cycles` cycles.
double MeasuredRate(const std::string& uid, size_t cycles, double* scalar) {
    AudioObjectID dev = DeviceByUID(uid);
    Clock c;
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(AudioDeviceCreateIOProcID(dev, ClockProc, &c, &proc), 0);
    EXPECT_EQ(AudioDeviceStart(dev, proc), 0);
    EXPECT_TRUE(WaitUntil([&] { return c.n.load() >= cycles; }, 30s, 20ms));
    AudioDeviceStop(dev, proc);
    AudioDeviceDestroyIOProcID(dev, proc);
    size_t n = c.n.load();
    if (n < 10) return 0;
    // Sample times advance by whole cycles (a client that was late for one, on a loaded
    // machine, sees the next one two cycles on).
    for (size_t i = 1; i < n; ++i) {
        double step = c.samples[i] - c.samples[i - 1];
        EXPECT_TRUE(step > 0 && std::fmod(step, 512.0) == 0.0) << "cycle " << i << " step " << step;
    }
    *scalar = c.scalars[n - 1];
    // The median of the cycles' own rates: a server cycle that a starved machine ran late
    // starts a new timeline from there, and must not bend the whole measurement.
    std::vector<double> rates;
    for (size_t i = 2; i < n; ++i)
        if (c.hosts[i] > c.hosts[i - 1])
            rates.push_back((c.samples[i] - c.samples[i - 1]) / (double(c.hosts[i] - c.hosts[i - 1]) * 1e-9));
    if (rates.empty()) return 0;
    std::nth_element(rates.begin(), rates.begin() + long(rates.size() / 2), rates.end());
    return rates[rates.size() / 2];
}

TEST_F(IO, CyclesFollowTheNominalRateTimesTheDrift) {
    double scalar = 0;
    double rate = MeasuredRate("BuiltInOutputDevice", 140, &scalar);
    EXPECT_NEAR(rate, 48000.0, 48000.0 * 1e-4);
    EXPECT_DOUBLE_EQ(scalar, 1.0);
    auto r = server.control({{"op", "alterDevice"}, {"uid", "BuiltInOutputDevice"}, {"driftPpm", 5000.0}});
    ASSERT_TRUE(r && r->value("ok", false));
    rate = MeasuredRate("BuiltInOutputDevice", 140, &scalar);
    EXPECT_NEAR(rate, 48000.0 * 1.005, 48000.0 * 1e-4);
    EXPECT_NEAR(scalar, 1.005, 1e-9);
}

TEST_F(IO, ARemovedDeviceStopsCallingItsProcsAndStopStillReturns) {
    auto r = server.control({{"op", "addDevice"}, {"name", "Temp"}, {"uid", "temp"}, {"outputs", {2}}});
    ASSERT_TRUE(r && r->value("ok", false));
    AudioObjectID temp = DeviceByUID("temp");
    Player p;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(temp, PlayProc, &p, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(temp, proc), 0);
    ASSERT_TRUE(WaitUntil([&] { return p.calls.load() > 0; }));
    r = server.control({{"op", "removeDevice"}, {"uid", "temp"}});
    ASSERT_TRUE(r && r->value("ok", false));
    // A cycle handed out before the removal may still end; then no more come.
    EXPECT_TRUE(Settles(p.calls)) << "the proc of a removed device is still called";
    EXPECT_EQ(AudioDeviceStop(temp, proc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(temp, proc), 0);
    // A proc cannot be made for a device that is gone.
    EXPECT_EQ(AudioDeviceCreateIOProcID(temp, PlayProc, &p, &proc), kAudioHardwareBadDeviceError);
}

}  // namespace

namespace {

TEST_F(IO, AWavFilePlaysAsTheMicrophonesSignalOnItsChannels) {
    // Two channels: 300 Hz on the left, 1200 Hz on the right, 0.5 s, looped by the device.
    tools::AudioData wav;
    wav.sampleRate = 48000;
    wav.channels = 2;
    wav.format = tools::SampleFormat::Int16;
    for (size_t i = 0; i < 24000; ++i) {
        wav.samples.push_back(static_cast<float>(0.25 * std::sin(2 * M_PI * 300.0 * double(i) / 48000.0)));
        wav.samples.push_back(static_cast<float>(0.5 * std::sin(2 * M_PI * 1200.0 * double(i) / 48000.0)));
    }
    std::string file = files.path() + "/in.wav";
    tools::writeWav(file, wav);
    auto r = server.control({{"op", "signal"}, {"uid", "BuiltInMicrophoneDevice"}, {"type", "wav"}, {"path", file}});
    ASSERT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "");

    AudioObjectID mic = DeviceByUID("BuiltInMicrophoneDevice");
    Recorder rec;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(mic, RecordProc, &rec, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(mic, proc), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (rec.written.load() < 48000 * 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    AudioDeviceStop(mic, proc);
    AudioDeviceDestroyIOProcID(mic, proc);
    ASSERT_GE(rec.written.load(), 48000u * 2);
    EXPECT_NEAR(tools::dominantFrequency(rec.samples.data(), 48000, 2, 0, 48000), 300.0, 0.5);
    EXPECT_NEAR(tools::dominantFrequency(rec.samples.data(), 48000, 2, 1, 48000), 1200.0, 0.5);
    EXPECT_NEAR(rec.DeliveredRmsDbfs(48000, 0), 20 * std::log10(0.25), 0.1) << rec.holes.load() << " samples lost";
    EXPECT_NEAR(rec.DeliveredRmsDbfs(48000, 1), 20 * std::log10(0.5), 0.1) << rec.holes.load() << " samples lost";
}

}  // namespace
