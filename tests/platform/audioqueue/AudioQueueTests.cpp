// Output and input audio queues against a real audioserverd: conversion of rate, sample
// format and channel count, the device chosen by UID, the queue's own callback thread,
// and a stop that is immediate and synchronous.
#include "TestServer.h"
#include "ToneJudgment.h"

#include <AudioClient/AudioToolbox.h>
#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

namespace {

AudioStreamBasicDescription Format(double rate, uint32_t channels, bool isFloat, uint32_t bits) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = d.mBytesPerFrame = bits / 8 * channels;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bits;
    return d;
}

// Fills each buffer with a 16-bit sine on every channel and enqueues it again.
struct Player {
    double rate = 44100, frequency = 997, amplitude = 0.25;
    uint32_t channels = 2;
    uint64_t frame = 0;
    std::atomic<uint64_t> callbacks{0};
    std::atomic<bool> wrongThread{false};
    std::thread::id creator = std::this_thread::get_id();
    std::atomic<bool> refill{true};
};

void PlayerCallback(void* user, AudioQueueRef q, AudioQueueBufferRef buf) {
    auto* p = static_cast<Player*>(user);
    if (std::this_thread::get_id() == p->creator && p->callbacks.load() > 100) p->wrongThread.store(true);
    auto* s = static_cast<int16_t*>(buf->mAudioData);
    uint32_t frames = buf->mAudioDataBytesCapacity / (2 * p->channels);
    for (uint32_t i = 0; i < frames; ++i, ++p->frame) {
        double v = p->amplitude * std::sin(2 * M_PI * p->frequency * double(p->frame) / p->rate);
        for (uint32_t c = 0; c < p->channels; ++c) s[i * p->channels + c] = static_cast<int16_t>(std::lrint(v * 32767.0));
    }
    buf->mAudioDataByteSize = frames * 2 * p->channels;
    p->callbacks.fetch_add(1);
    if (p->refill.load()) AudioQueueEnqueueBuffer(q, buf, 0, nullptr);
}

// Keeps every recorded float sample of one channel pair and enqueues the buffer again.
struct Recorder {
    std::mutex mutex;
    std::vector<float> samples;
    uint32_t channels = 2;
    std::atomic<uint64_t> callbacks{0};
    std::atomic<bool> badPackets{false};
    std::thread::id creator = std::this_thread::get_id();
    std::atomic<bool> wrongThread{false};
    std::vector<AudioTimeStamp> starts;   // each buffer's start time
    std::vector<uint32_t> frames;         // and how many frames it brought
    // Once, the callback of this number holds the queue's thread for `holdFor`.
    uint64_t holdAt = ~uint64_t(0);
    std::chrono::milliseconds holdFor{0};
};

void RecorderCallback(void* user, AudioQueueRef q, AudioQueueBufferRef buf, const AudioTimeStamp* start, UInt32 packets,
                      const AudioStreamPacketDescription*) {
    auto* r = static_cast<Recorder*>(user);
    if (std::this_thread::get_id() == r->creator) r->wrongThread.store(true);
    if (packets * 4 * r->channels != buf->mAudioDataByteSize) r->badPackets.store(true);
    if (r->callbacks.load() == r->holdAt) std::this_thread::sleep_for(r->holdFor);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (start != nullptr) r->starts.push_back(*start);
        r->frames.push_back(packets);
        auto* f = static_cast<float*>(buf->mAudioData);
        r->samples.insert(r->samples.end(), f, f + buf->mAudioDataByteSize / 4);
    }
    r->callbacks.fetch_add(1);
    AudioQueueEnqueueBuffer(q, buf, 0, nullptr);
}

// Each buffer's start time is its first frame's: host time and sample time advance together (to a
// few frames: the converter hands out whole frames and holds a few back), wherever in a device
// cycle it begins.
void ExpectStartsFollowTheHostClock(const std::vector<AudioTimeStamp>& starts) {
    ASSERT_GE(starts.size(), 10u);
    const AudioTimeStamp& first = starts.front();
    for (const AudioTimeStamp& t : starts) {
        ASSERT_EQ(t.mFlags & kAudioTimeStampSampleHostTimeValid, kAudioTimeStampSampleHostTimeValid);
        const double byHost =
            double(AudioConvertHostTimeToNanos(t.mHostTime) - AudioConvertHostTimeToNanos(first.mHostTime)) * 48000e-9;
        EXPECT_NEAR(byHost, t.mSampleTime - first.mSampleTime, 3.0) << "at sample time " << t.mSampleTime;
    }
}

// Frames the buffers' start times say were lost: how far each start lies past the end of the
// buffer before it.
double FramesMissingBetweenBuffers(const Recorder& rec) {
    double missing = 0;
    for (size_t i = 1; i < rec.starts.size(); ++i)
        missing += rec.starts[i].mSampleTime - (rec.starts[i - 1].mSampleTime + rec.frames[i - 1]);
    return missing;
}

// A rising ramp on every channel of the USB input, so slow that from one frame to the next it
// climbs by a few millionths: a frame lost anywhere shows as a jump in what was recorded.
constexpr double kRampSeconds = 4.0;
constexpr double kRampHeight = 0.5;  // from -0.25 to 0.25

void PlayRampOnUsbInput(TestServer& server, const std::string& dir) {
    tools::AudioData ramp;
    ramp.sampleRate = 44100;
    ramp.channels = 1;
    const size_t n = size_t(kRampSeconds * 44100);
    ramp.samples.resize(n);
    for (size_t i = 0; i < n; ++i) ramp.samples[i] = float(kRampHeight * (double(i) / double(n) - 0.5));
    const std::string path = dir + "/ramp.wav";
    tools::writeWav(path, ramp);
    auto r = server.control({{"op", "signal"}, {"uid", "USBAudioInterface"}, {"type", "wav"}, {"path", path}});
    ASSERT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
}

// Where the recorded ramp (channel 0, at 48000 Hz) breaks: the frames, counted over all
// buffers, at which it jumps forward (the ramp starting again, a fall, is no break). The first
// quarter second, the converter starting, is left out.
std::vector<size_t> RampBreaks(const Recorder& rec) {
    const double step = kRampHeight / (kRampSeconds * 48000);
    std::vector<size_t> breaks;
    const size_t frames = rec.samples.size() / rec.channels;
    for (size_t i = 12000; i < frames; ++i) {
        const double d = double(rec.samples[i * rec.channels]) - double(rec.samples[(i - 1) * rec.channels]);
        if (d > 20 * step) breaks.push_back(i);
    }
    return breaks;
}

// Every break in the recorded ramp is the first frame of a buffer whose start time shows frames
// missing before it: no buffer runs across a loss its start does not tell.
void ExpectBreaksOnlyWhereStartsShowALoss(const Recorder& rec) {
    std::vector<size_t> firstFrames;
    size_t at = 0;
    for (uint32_t f : rec.frames) {
        firstFrames.push_back(at);
        at += f;
    }
    for (size_t b : RampBreaks(rec)) {
        const auto it = std::find(firstFrames.begin(), firstFrames.end(), b);
        ASSERT_NE(it, firstFrames.end()) << "the audio breaks at frame " << b << ", inside a buffer";
        const size_t i = size_t(it - firstFrames.begin());
        ASSERT_GT(i, 0u);
        EXPECT_GT(rec.starts[i].mSampleTime, rec.starts[i - 1].mSampleTime + rec.frames[i - 1])
            << "the audio breaks at buffer " << i << ", whose start shows no loss";
    }
}

OSStatus SetDevice(AudioQueueRef q, const char* uid) {
    CFStringRef s = CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8);
    OSStatus st = AudioQueueSetProperty(q, kAudioQueueProperty_CurrentDevice, &s, sizeof s);
    CFRelease(s);
    return st;
}

// An input queue of 48000 Hz stereo float on the USB input (44100 Hz, 24 bits), recording into
// `rec` with four buffers of 1024 frames; a buffer already queued is refused a second time.
void StartUsbInputQueue(Recorder& rec, AudioQueueRef* q) {
    AudioStreamBasicDescription fmt = Format(48000, 2, true, 32);
    ASSERT_EQ(AudioQueueNewInput(&fmt, RecorderCallback, &rec, nullptr, nullptr, 0, q), 0);
    ASSERT_EQ(SetDevice(*q, "USBAudioInterface"), 0);
    for (int i = 0; i < 4; ++i) {
        AudioQueueBufferRef b = nullptr;
        ASSERT_EQ(AudioQueueAllocateBuffer(*q, 1024 * 8, &b), 0);
        ASSERT_EQ(AudioQueueEnqueueBuffer(*q, b, 0, nullptr), 0);
        EXPECT_EQ(AudioQueueEnqueueBuffer(*q, b, 0, nullptr), kAudioQueueErr_BufferInQueue);
    }
    ASSERT_EQ(AudioQueueStart(*q, nullptr), 0);
}

class Queue : public ::testing::Test {
protected:
    TestServer server;
    TempDir files;
};

TEST_F(Queue, AnOutputQueueOf16Bit44100HzPlaysIntoA48000HzDeviceAtTheRightFrequencyAndLevel) {
    Player p;
    p.amplitude = std::pow(10.0, -12.0 / 20.0);
    AudioStreamBasicDescription fmt = Format(44100, 2, false, 16);
    AudioQueueRef q = nullptr;
    ASSERT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &q), 0);
    ASSERT_EQ(SetDevice(q, "BuiltInOutputDevice"), 0);
    // 80 ms of buffers, as a player that must outlast its thread being held up on a loaded
    // machine keeps: the queue runs dry only when its thread is late by more than that, which
    // the server would not count as a lost cycle.
    for (int i = 0; i < 8; ++i) {
        AudioQueueBufferRef b = nullptr;
        ASSERT_EQ(AudioQueueAllocateBuffer(q, 441 * 4, &b), 0);
        PlayerCallback(&p, q, b);  // prime before start
    }
    std::string file = files.path() + "/q.wav";
    ASSERT_EQ(AudioQueueStart(q, nullptr), 0);
    // Past the start: a third of a second of buffers played.
    ASSERT_TRUE(WaitUntil([&] { return p.callbacks.load() >= 33; }));
    const uint64_t lostBefore = LostCycles(server);
    tools::AudioData a = CaptureFrames(server, "BuiltInOutputDevice", 48000, file);
    const uint64_t lost = LostCycles(server) - lostBefore;
    EXPECT_EQ(AudioQueueStop(q, true), 0);
    EXPECT_EQ(AudioQueueDispose(q, true), 0);
    ASSERT_GE(a.frames(), 40000u);
    for (unsigned c = 0; c < 2; ++c)
        EXPECT_TRUE(UnbrokenToneIs(a.samples.data(), a.frames(), 2, c, 997.0, 0.5, -12.0, 0.15, lost));
    EXPECT_FALSE(p.wrongThread.load()) << "callbacks run on the queue's own thread";
}

TEST_F(Queue, AnInputQueueOnTheUsbDeviceDelivers48000HzFloatFromIts44100Hz24BitInput) {
    auto r = server.control({{"op", "signal"}, {"uid", "USBAudioInterface"}, {"channel", 1}, {"type", "sine"},
                             {"frequency", 997.0}, {"level", -6.0}});
    ASSERT_TRUE(r && r->value("ok", false));
    r = server.control({{"op", "signal"}, {"uid", "USBAudioInterface"}, {"channel", 2}, {"type", "sine"},
                        {"frequency", 3000.0}, {"level", -20.0}});
    ASSERT_TRUE(r && r->value("ok", false));
    Recorder rec;
    AudioQueueRef q = nullptr;
    const uint64_t lostBefore = LostCycles(server);
    StartUsbInputQueue(rec, &q);
    if (HasFatalFailure()) return;
    auto until = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(rec.mutex);
            if (rec.samples.size() >= 2 * 72000 || std::chrono::steady_clock::now() > until) break;
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(AudioQueueStop(q, true), 0);
    ASSERT_EQ(AudioQueueDispose(q, true), 0);
    const uint64_t lost = LostCycles(server) - lostBefore;
    std::lock_guard<std::mutex> lock(rec.mutex);
    ASSERT_GE(rec.samples.size(), 2u * 72000);
    EXPECT_FALSE(rec.badPackets.load());
    EXPECT_FALSE(rec.wrongThread.load());
    // Skip the first quarter second (converter start); measure the rest at 48000 Hz.
    const float* s = rec.samples.data() + 2 * 12000;
    const size_t frames = rec.samples.size() / 2 - 12000;
    EXPECT_TRUE(UnbrokenToneIs(s, frames, 2, 0, 997.0, 0.5, -6.0, 0.15, lost));
    EXPECT_TRUE(UnbrokenToneIs(s, frames, 2, 1, 3000.0, 1.0, -20.0, 0.3, lost));
    ExpectStartsFollowTheHostClock(rec.starts);
}

// A device cycle the server gave up on, because the client's IO thread was still busy, never
// reaches the queue: its frames are lost, and the next buffer's sample time shows it, so that
// host time and sample time still advance together.
TEST_F(Queue, AnInputQueueThatMissesDeviceCyclesShowsTheLostFramesInItsSampleTimes) {
    Recorder rec;
    AudioQueueRef q = nullptr;
    StartUsbInputQueue(rec, &q);
    if (HasFatalFailure()) return;

    // A second proc on the same device shares the client's IO thread; once, it holds that thread
    // for a few device cycles.
    struct Staller {
        std::atomic<int> cycles{0};
        std::atomic<bool> stalled{false};
    } staller;
    AudioDeviceIOProc stall = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                 AudioBufferList*, const AudioTimeStamp*, void* data) -> OSStatus {
        auto* s = static_cast<Staller*>(data);
        if (s->cycles.fetch_add(1) == 40) {
            std::this_thread::sleep_for(40ms);
            s->stalled.store(true);
        }
        return 0;
    };
    const AudioObjectID usb = DeviceByUID("USBAudioInterface");
    ASSERT_NE(usb, 0u);
    AudioDeviceIOProcID stallProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(usb, stall, &staller, &stallProc), 0);
    ASSERT_EQ(AudioDeviceStart(usb, stallProc), 0);
    const uint64_t lateBefore = LostCycles(server);

    auto until = std::chrono::steady_clock::now() + 20s;
    while ((!staller.stalled.load() || rec.callbacks.load() < 60) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    AudioDeviceStop(usb, stallProc);
    AudioDeviceDestroyIOProcID(usb, stallProc);
    ASSERT_EQ(AudioQueueDispose(q, true), 0);
    ASSERT_TRUE(staller.stalled.load());
    EXPECT_GT(LostCycles(server), lateBefore) << "the server gave up on no cycle of the client";

    std::lock_guard<std::mutex> lock(rec.mutex);
    ExpectStartsFollowTheHostClock(rec.starts);
    // The frames are lost, not delivered late: some buffer starts later than the frames before
    // it account for, by at least the one device cycle (at the queue's 48 kHz) the server lost.
    // How many more it loses depends on how long the machine also held the server's own thread.
    double lost = 0;
    for (size_t i = 1; i < rec.starts.size(); ++i) lost += rec.starts[i].mSampleTime - rec.starts[i - 1].mSampleTime - 1024;
    const double cycleFrames = U32Property(usb, Address(kAudioDevicePropertyBufferFrameSize));
    EXPECT_GE(lost, std::floor(cycleFrames * 48000.0 / 44100.0)) << cycleFrames << "-frame device cycles";
}

// Where the server gave up on a cycle while a buffer was being filled, that buffer ends there:
// the frames after the loss start the next buffer, whose start time shows the loss. Run on, the
// buffer would carry them as though they followed on, and its reader would place them too early.
TEST_F(Queue, AnInputQueueBufferEndsWhereTheDeviceCyclesWereLost) {
    PlayRampOnUsbInput(server, files.path());
    if (HasFatalFailure()) return;
    Recorder rec;
    AudioQueueRef q = nullptr;
    StartUsbInputQueue(rec, &q);
    if (HasFatalFailure()) return;
    // Twice, a second proc sharing the client's IO thread holds it for a few device cycles.
    struct Staller {
        std::atomic<int> cycles{0};
        std::atomic<int> stalls{0};
    } staller;
    AudioDeviceIOProc stall = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                                 AudioBufferList*, const AudioTimeStamp*, void* data) -> OSStatus {
        auto* s = static_cast<Staller*>(data);
        const int c = s->cycles.fetch_add(1);
        if (c == 40 || c == 90) {
            std::this_thread::sleep_for(40ms);
            s->stalls.fetch_add(1);
        }
        return 0;
    };
    const AudioObjectID usb = DeviceByUID("USBAudioInterface");
    ASSERT_NE(usb, 0u);
    AudioDeviceIOProcID stallProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(usb, stall, &staller, &stallProc), 0);
    ASSERT_EQ(AudioDeviceStart(usb, stallProc), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while ((staller.stalls.load() < 2 || rec.callbacks.load() < 120) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    AudioDeviceStop(usb, stallProc);
    AudioDeviceDestroyIOProcID(usb, stallProc);
    ASSERT_EQ(AudioQueueDispose(q, true), 0);
    ASSERT_EQ(staller.stalls.load(), 2);

    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_GE(FramesMissingBetweenBuffers(rec), 48000 * 0.02) << "the stalls lost no frames";
    EXPECT_FALSE(RampBreaks(rec).empty()) << "the recorded ramp shows no loss";
    ExpectBreaksOnlyWhereStartsShowALoss(rec);
    ExpectStartsFollowTheHostClock(rec.starts);
}

// The queue's thread held up for 200 ms (its user's callback, or a loaded machine) gives no buffer
// back for that long: the device's cycles go on, and the queue holds what they recorded until
// buffers come back. Nothing is lost but the cycles the server counted as lost.
TEST_F(Queue, AnInputQueueWhoseThreadIsHeldUpHoldsTheFramesUntilBuffersComeBack) {
    PlayRampOnUsbInput(server, files.path());
    if (HasFatalFailure()) return;
    const AudioObjectID usb = DeviceByUID("USBAudioInterface");
    ASSERT_NE(usb, 0u);
    const uint32_t cycleFrames = U32Property(usb, Address(kAudioDevicePropertyBufferFrameSize));
    ASSERT_GT(cycleFrames, 0u);
    Recorder rec;
    rec.holdAt = 30;
    rec.holdFor = 200ms;  // four buffers of 1024 frames last 85 ms
    const uint64_t lostBefore = CyclesOf(server, "USBAudioInterface").late;
    AudioQueueRef q = nullptr;
    StartUsbInputQueue(rec, &q);
    if (HasFatalFailure()) return;
    auto until = std::chrono::steady_clock::now() + 20s;
    while (rec.callbacks.load() < 100 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(AudioQueueDispose(q, true), 0);
    const uint64_t lost = CyclesOf(server, "USBAudioInterface").late - lostBefore;

    std::lock_guard<std::mutex> lock(rec.mutex);
    ASSERT_GE(rec.callbacks.load(), 100u);
    // A lost cycle is a cycle's frames at 48000 Hz, give or take the converter's rounding.
    const double allowed = double(lost) * (cycleFrames * 48000.0 / 44100.0 + 1);
    EXPECT_LE(FramesMissingBetweenBuffers(rec), allowed) << lost << " cycles lost on the device";
    EXPECT_LE(RampBreaks(rec).size(), lost);
    ExpectBreaksOnlyWhereStartsShowALoss(rec);
    ExpectStartsFollowTheHostClock(rec.starts);
}

TEST_F(Queue, AnInputQueueWithMoreChannelsThanTheDeviceGetsSilenceOnTheRest) {
    Recorder rec;
    rec.channels = 4;
    // The microphone has two float channels at 48000 Hz and plays a quiet 440 Hz tone.
    AudioStreamBasicDescription fmt = Format(48000, 4, true, 32);
    AudioQueueRef q = nullptr;
    ASSERT_EQ(AudioQueueNewInput(&fmt, RecorderCallback, &rec, nullptr, nullptr, 0, &q), 0);
    for (int i = 0; i < 3; ++i) {
        AudioQueueBufferRef b = nullptr;
        ASSERT_EQ(AudioQueueAllocateBuffer(q, 512 * 16, &b), 0);
        ASSERT_EQ(AudioQueueEnqueueBuffer(q, b, 0, nullptr), 0);
    }
    const uint64_t lostBefore = LostCycles(server);
    ASSERT_EQ(AudioQueueStart(q, nullptr), 0);  // no device set: the default input
    auto until = std::chrono::steady_clock::now() + 20s;
    while (rec.callbacks.load() < 60 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    AudioQueueDispose(q, true);
    const uint64_t lost = LostCycles(server) - lostBefore;
    std::lock_guard<std::mutex> lock(rec.mutex);
    size_t frames = rec.samples.size() / 4;
    ASSERT_GE(frames, 48000u / 2);
    // The microphone's own quiet tone on both of its channels.
    EXPECT_TRUE(UnbrokenToneIs(rec.samples.data(), frames, 4, 0, 440.0, 1.0, -30.0, 0.3, lost));
    EXPECT_TRUE(UnbrokenToneIs(rec.samples.data(), frames, 4, 1, 440.0, 1.0, -30.0, 0.3, lost));
    EXPECT_EQ(tools::peakAmplitude(rec.samples.data(), frames, 4, 2), 0.0);
    EXPECT_EQ(tools::peakAmplitude(rec.samples.data(), frames, 4, 3), 0.0);
}

TEST_F(Queue, StopIsImmediateAndSynchronousAndTheQueueCanStartAgain) {
    Player p;
    p.rate = 48000;
    AudioStreamBasicDescription fmt = Format(48000, 2, false, 16);
    AudioQueueRef q = nullptr;
    ASSERT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &q), 0);
    std::vector<AudioQueueBufferRef> bufs;
    for (int i = 0; i < 2; ++i) {
        AudioQueueBufferRef b = nullptr;
        ASSERT_EQ(AudioQueueAllocateBuffer(q, 256 * 4, &b), 0);
        bufs.push_back(b);
        PlayerCallback(&p, q, b);
    }
    ASSERT_EQ(AudioQueueStart(q, nullptr), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (p.callbacks.load() < 50 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    ASSERT_GE(p.callbacks.load(), 50u);
    ASSERT_EQ(AudioQueueStop(q, true), 0);
    uint64_t after = p.callbacks.load();
    // Watched for a while: a stopped queue never calls back, whatever the machine's load.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(p.callbacks.load(), after) << "no callback once stop returned";
    // The buffers came back to us: they can be enqueued again, and the queue restarts.
    for (auto* b : bufs) EXPECT_EQ(AudioQueueEnqueueBuffer(q, b, 0, nullptr), 0);
    ASSERT_EQ(AudioQueueStart(q, nullptr), 0);
    until = std::chrono::steady_clock::now() + 20s;
    while (p.callbacks.load() < after + 20 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_GE(p.callbacks.load(), after + 20);
    EXPECT_EQ(AudioQueueDispose(q, true), 0);
}

TEST_F(Queue, RefusesUnknownDevicesFormatsAndForeignBuffers) {
    Player p;
    AudioStreamBasicDescription fmt = Format(48000, 2, false, 16);
    AudioQueueRef q = nullptr;
    ASSERT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &q), 0);
    EXPECT_EQ(SetDevice(q, "NoSuchDevice"), kAudioQueueErr_InvalidDevice);
    EXPECT_EQ(SetDevice(q, "BuiltInMicrophoneDevice"), kAudioQueueErr_InvalidDevice) << "an output queue needs outputs";
    EXPECT_EQ(SetDevice(q, "USBAudioInterface"), 0);
    UInt32 four = 4;
    EXPECT_EQ(AudioQueueSetProperty(q, AUDIO_FOUR_CC('x', 'x', 'x', 'x'), &four, sizeof four), kAudioQueueErr_InvalidProperty);

    AudioQueueRef other = nullptr;
    ASSERT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &other), 0);
    AudioQueueBufferRef foreign = nullptr;
    ASSERT_EQ(AudioQueueAllocateBuffer(other, 1024, &foreign), 0);
    EXPECT_EQ(AudioQueueEnqueueBuffer(q, foreign, 0, nullptr), kAudioQueueErr_InvalidBuffer);
    AudioQueueBufferRef mine = nullptr;
    ASSERT_EQ(AudioQueueAllocateBuffer(q, 1024, &mine), 0);
    mine->mAudioDataByteSize = 2048;
    EXPECT_EQ(AudioQueueEnqueueBuffer(q, mine, 0, nullptr), kAudioQueueErr_InvalidBuffer) << "more bytes than it holds";
    EXPECT_EQ(AudioQueueAllocateBuffer(q, 0, &mine), kAudio_ParamError);
    AudioQueueDispose(other, true);
    AudioQueueDispose(q, true);

    AudioStreamBasicDescription bad = fmt;
    bad.mBitsPerChannel = 12;
    EXPECT_EQ(AudioQueueNewOutput(&bad, PlayerCallback, &p, nullptr, nullptr, 0, &q), kAudioFormatUnsupportedDataFormatError);
    bad = fmt;
    bad.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    EXPECT_EQ(AudioQueueNewOutput(&bad, PlayerCallback, &p, nullptr, nullptr, 0, &q), kAudioFormatUnsupportedDataFormatError);
    EXPECT_EQ(AudioQueueNewOutput(&fmt, nullptr, &p, nullptr, nullptr, 0, &q), kAudio_ParamError);
}

TEST_F(Queue, AQueueLeftDryPlaysSilenceAndInjectedFaultsFailTheNamedCalls) {
    auto fail = [&](const std::string& call, int status) {
        auto r = server.control({{"op", "fail"}, {"call", call}, {"status", status}, {"count", 1}});
        ASSERT_TRUE(r && r->value("ok", false)) << call;
    };
    Player p;
    p.refill.store(false);
    AudioStreamBasicDescription fmt = Format(48000, 2, false, 16);
    AudioQueueRef q = nullptr;
    fail("AudioQueueNewOutput", -50);
    EXPECT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &q), -50);
    ASSERT_EQ(AudioQueueNewOutput(&fmt, PlayerCallback, &p, nullptr, nullptr, 0, &q), 0);
    fail("AudioQueueSetProperty", -51);
    EXPECT_EQ(SetDevice(q, "BuiltInOutputDevice"), -51);
    AudioQueueBufferRef b = nullptr;
    fail("AudioQueueAllocateBuffer", -52);
    EXPECT_EQ(AudioQueueAllocateBuffer(q, 4096, &b), -52);
    ASSERT_EQ(AudioQueueAllocateBuffer(q, 4096, &b), 0);
    PlayerCallback(&p, q, b);
    ASSERT_EQ(AudioQueueEnqueueBuffer(q, b, 0, nullptr), 0);  // the callback did not enqueue it
    fail("AudioQueueStart", -53);
    EXPECT_EQ(AudioQueueStart(q, nullptr), -53);
    fail("AudioDeviceStart", -54);
    EXPECT_EQ(AudioQueueStart(q, nullptr), -54);

    std::string file = files.path() + "/dry.wav";
    ASSERT_EQ(AudioQueueStart(q, nullptr), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (p.callbacks.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(p.callbacks.load(), 2u) << "the one buffer played and came back once";
    tools::AudioData a = CaptureFrames(server, "BuiltInOutputDevice", 14400, file);
    AudioQueueDispose(q, true);
    ASSERT_GT(a.frames(), 0u);
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), 2, 0), 0.0);
}

}  // namespace
