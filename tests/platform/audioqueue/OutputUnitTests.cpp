// The HAL output unit against a real audioserverd: slices, rate conversion, channel
// spreading over a device's streams, and teardown from every state.
#include "TestServer.h"
#include "ToneJudgment.h"

#include <AudioClient/AudioToolbox.h>
#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace audiotest;
using namespace std::chrono_literals;
namespace tools = tidewell::tools;

namespace {

// Channel c carries a sine of frequency[c] at amplitude[c].
struct Tone {
    double rate = 48000;
    uint32_t channels = 2;
    double frequency[4] = {997, 997, 997, 997};
    double amplitude[4] = {0.25, 0.25, 0.25, 0.25};
    uint64_t frame = 0;
    std::atomic<uint32_t> largestSlice{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> fail{false};
    std::atomic<bool> wrongBufferCount{false};
};

OSStatus ToneRender(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32 frames,
                    AudioBufferList* io) {
    auto* t = static_cast<Tone*>(refCon);
    if (io->mNumberBuffers != 1 || io->mBuffers[0].mNumberChannels != t->channels ||
        io->mBuffers[0].mDataByteSize != frames * 4 * t->channels)
        t->wrongBufferCount.store(true);
    auto* out = static_cast<float*>(io->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames; ++i, ++t->frame)
        for (uint32_t c = 0; c < t->channels; ++c)
            out[i * t->channels + c] =
                static_cast<float>(t->amplitude[c] * std::sin(2 * M_PI * t->frequency[c] * double(t->frame) / t->rate));
    t->largestSlice.store(std::max(t->largestSlice.load(), frames));
    t->calls.fetch_add(1);
    return t->fail.load() ? -1 : 0;
}

AudioStreamBasicDescription FloatFormat(double rate, uint32_t channels) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = d.mBytesPerFrame = 4 * channels;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = 32;
    return d;
}

AudioUnit NewUnit() {
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Platform, 0, 0};
    AudioComponent comp = AudioComponentFindNext(nullptr, &desc);
    EXPECT_NE(comp, nullptr);
    AudioUnit unit = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(comp, &unit), 0);
    return unit;
}

// Sets device, format, slice size and callback; returns the first failing status.
OSStatus Configure(AudioUnit unit, AudioObjectID device, const AudioStreamBasicDescription& format, UInt32 slice, Tone* tone) {
    if (OSStatus st = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device,
                                           sizeof device))
        return st;
    if (OSStatus st = AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &format, sizeof format))
        return st;
    if (OSStatus st =
            AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &slice, sizeof slice))
        return st;
    AURenderCallbackStruct cb{ToneRender, tone};
    return AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &cb, sizeof cb);
}

class OutputUnit : public ::testing::Test {
protected:
    tools::AudioData PlayAndCapture(const std::string& uid, AudioUnit unit, std::chrono::milliseconds length) {
        std::string file = files.path() + "/capture.wav";
        EXPECT_EQ(AudioUnitInitialize(unit), 0);
        EXPECT_EQ(AudioOutputUnitStart(unit), 0);
        // Past the start: the device has run some cycles with the unit in them.
        uint64_t started = CyclesOf(server, uid).cycles;
        EXPECT_TRUE(WaitUntil([&] { return CyclesOf(server, uid).cycles >= started + 20; }, 20s, 20ms));
        const uint64_t lostBefore = LostCycles(server);
        auto a = CaptureFrames(server, uid, size_t(48) * size_t(length.count()), file);
        lost = LostCycles(server) - lostBefore;
        EXPECT_EQ(AudioOutputUnitStop(unit), 0);
        return a;
    }

    TestServer server;
    TempDir files;
    uint64_t lost = 0;  // cycles the server lost while the last capture ran
};

TEST_F(OutputUnit, FindsOnlyTheHalOutputComponent) {
    AudioComponentDescription any{};
    AudioComponent c = AudioComponentFindNext(nullptr, &any);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(AudioComponentFindNext(c, &any), nullptr) << "there is one component";
    AudioComponentDescription other{kAudioUnitType_Output, AUDIO_FOUR_CC('x', 'x', 'x', 'x'), 0, 0, 0};
    EXPECT_EQ(AudioComponentFindNext(nullptr, &other), nullptr);
    EXPECT_EQ(AudioComponentFindNext(nullptr, nullptr), nullptr);
}

TEST_F(OutputUnit, PlaysASineAtItsLevelInSlicesNoLargerThanTheMaximum) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    AudioUnit unit = NewUnit();
    Tone tone;
    tone.amplitude[0] = tone.amplitude[1] = std::pow(10.0, -12.0 / 20.0);
    ASSERT_EQ(Configure(unit, out, FloatFormat(48000, 2), 128, &tone), 0);
    tools::AudioData a = PlayAndCapture("BuiltInOutputDevice", unit, 1000ms);
    AudioComponentInstanceDispose(unit);
    ASSERT_GE(a.frames(), 40000u);
    EXPECT_EQ(a.channels, 2u);
    for (unsigned c = 0; c < 2; ++c) {
        EXPECT_TRUE(UnbrokenToneIs(a.samples.data(), a.frames(), 2, c, 997.0, 0.5, -12.0, 0.1, lost));
    }
    EXPECT_LE(tone.largestSlice.load(), 128u);
    EXPECT_GT(tone.calls.load(), 0u);
    EXPECT_FALSE(tone.wrongBufferCount.load());
}

TEST_F(OutputUnit, ConvertsTheRenderedRateToTheDevicesRate) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    AudioUnit unit = NewUnit();
    Tone tone;
    tone.rate = 44100;
    tone.amplitude[0] = tone.amplitude[1] = 0.5;
    ASSERT_EQ(Configure(unit, out, FloatFormat(44100, 2), 256, &tone), 0);
    tools::AudioData a = PlayAndCapture("BuiltInOutputDevice", unit, 1000ms);
    AudioComponentInstanceDispose(unit);
    ASSERT_GE(a.frames(), 40000u);
    EXPECT_TRUE(UnbrokenToneIs(a.samples.data(), a.frames(), 2, 0, 997.0, 0.5, 20 * std::log10(0.5), 0.2, lost));
    EXPECT_LE(tone.largestSlice.load(), 256u);
}

TEST_F(OutputUnit, SpreadsItsChannelsOverTheDevicesStreamsInOrder) {
    auto r = server.control({{"op", "addDevice"}, {"name", "Split"}, {"uid", "split"}, {"outputs", {2, 2}}});
    ASSERT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "");
    AudioObjectID dev = DeviceByUID("split");
    ASSERT_NE(dev, 0u);

    // Three rendered channels onto four device channels: the fourth stays silent.
    AudioUnit unit = NewUnit();
    Tone tone;
    tone.channels = 3;
    tone.frequency[0] = 500, tone.frequency[1] = 1000, tone.frequency[2] = 2000;
    tone.amplitude[0] = 0.5, tone.amplitude[1] = 0.25, tone.amplitude[2] = 0.125;
    ASSERT_EQ(Configure(unit, dev, FloatFormat(48000, 3), 512, &tone), 0);
    tools::AudioData a = PlayAndCapture("split", unit, 600ms);
    AudioComponentInstanceDispose(unit);
    ASSERT_EQ(a.channels, 4u);
    ASSERT_GE(a.frames(), 20000u);
    for (unsigned c = 0; c < 3; ++c) {
        EXPECT_TRUE(UnbrokenToneIs(a.samples.data(), a.frames(), 4, c, tone.frequency[c], 1.0,
                                   20 * std::log10(tone.amplitude[c]), 0.1, lost));
    }
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), 4, 3), 0.0);
}

TEST_F(OutputUnit, AFailedRenderPlaysSilence) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    AudioUnit unit = NewUnit();
    Tone tone;
    tone.fail.store(true);
    ASSERT_EQ(Configure(unit, out, FloatFormat(48000, 2), 512, &tone), 0);
    tools::AudioData a = PlayAndCapture("BuiltInOutputDevice", unit, 400ms);
    AudioComponentInstanceDispose(unit);
    ASSERT_GT(a.frames(), 0u);
    EXPECT_GT(tone.calls.load(), 0u);
    EXPECT_EQ(tools::peakAmplitude(a.samples.data(), a.frames(), 2, 0), 0.0);
}

TEST_F(OutputUnit, RefusesWhatItCannotDo) {
    AudioUnit unit = NewUnit();
    UInt32 on = 1, off = 0;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &on, sizeof on), 0);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &off, sizeof off), 0);
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on, sizeof on), 0)
        << "the unit only plays";
    AudioObjectID bogus = 999999;
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &bogus, sizeof bogus), 0);
    AudioObjectID mic = DeviceByUID("BuiltInMicrophoneDevice");
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &mic, sizeof mic), 0)
        << "a device without outputs";
    AudioStreamBasicDescription ints = FloatFormat(48000, 2);
    ints.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &ints, sizeof ints),
              kAudioUnitErr_FormatNotSupported);
    UInt32 tooMany = 100000, none = 0;
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &tooMany,
                                   sizeof tooMany),
              0);
    EXPECT_NE(AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &none, sizeof none), 0);
    EXPECT_EQ(AudioUnitSetProperty(unit, 424242, kAudioUnitScope_Global, 0, &on, sizeof on), kAudioUnitErr_InvalidProperty);
    // Without a render callback the unit initialises (on the default output) but cannot start.
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(AudioUnitInitialize(unit), 0);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &on, sizeof on),
              kAudioUnitErr_Initialized);
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_NoConnection);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), 0);
}

TEST_F(OutputUnit, TearsDownFromEveryState) {
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    Tone tone;
    // Just made.
    AudioUnit a = NewUnit();
    EXPECT_EQ(AudioOutputUnitStop(a), 0);
    EXPECT_EQ(AudioUnitUninitialize(a), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(a), 0);
    // Half configured.
    AudioUnit b = NewUnit();
    ASSERT_EQ(AudioUnitSetProperty(b, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &out, sizeof out), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(b), 0);
    // Initialised, never started.
    AudioUnit c = NewUnit();
    ASSERT_EQ(Configure(c, out, FloatFormat(48000, 2), 256, &tone), 0);
    ASSERT_EQ(AudioUnitInitialize(c), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(c), 0);
    // Running: dispose stops it first, and the callback is not called afterwards.
    AudioUnit d = NewUnit();
    ASSERT_EQ(Configure(d, out, FloatFormat(48000, 2), 256, &tone), 0);
    ASSERT_EQ(AudioUnitInitialize(d), 0);
    ASSERT_EQ(AudioOutputUnitStart(d), 0);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (tone.calls.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_GT(tone.calls.load(), 0u);
    EXPECT_EQ(AudioComponentInstanceDispose(d), 0);
    uint64_t calls = tone.calls.load();
    // Watched for a while: a disposed unit is never called, whatever the machine's load.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(tone.calls.load(), calls);
    // Started twice, stopped twice, restarted.
    AudioUnit e = NewUnit();
    ASSERT_EQ(Configure(e, out, FloatFormat(48000, 2), 256, &tone), 0);
    ASSERT_EQ(AudioUnitInitialize(e), 0);
    EXPECT_EQ(AudioOutputUnitStart(e), 0);
    EXPECT_EQ(AudioOutputUnitStart(e), 0);
    EXPECT_EQ(AudioOutputUnitStop(e), 0);
    EXPECT_EQ(AudioOutputUnitStop(e), 0);
    EXPECT_EQ(AudioOutputUnitStart(e), 0);
    EXPECT_EQ(AudioUnitUninitialize(e), 0);
    EXPECT_EQ(AudioUnitUninitialize(e), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(e), 0);
    EXPECT_NE(AudioComponentInstanceDispose(nullptr), 0);
}

TEST_F(OutputUnit, InjectedFaultsFailTheNamedCall) {
    auto fail = [&](const std::string& call, int status) {
        auto r = server.control({{"op", "fail"}, {"call", call}, {"status", status}, {"count", 1}});
        ASSERT_TRUE(r && r->value("ok", false)) << call;
    };
    AudioComponentDescription desc{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, 0, 0, 0};
    fail("AudioComponentFindNext", -1);
    EXPECT_EQ(AudioComponentFindNext(nullptr, &desc), nullptr);
    AudioComponent comp = AudioComponentFindNext(nullptr, &desc);
    ASSERT_NE(comp, nullptr) << "one failure only";
    AudioUnit unit = nullptr;
    fail("AudioComponentInstanceNew", -50);
    EXPECT_EQ(AudioComponentInstanceNew(comp, &unit), -50);
    EXPECT_EQ(unit, nullptr);
    ASSERT_EQ(AudioComponentInstanceNew(comp, &unit), 0);
    UInt32 off = 0;
    fail("AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO input)", AUDIO_FOUR_CC('f', 'a', 'i', 'l'));
    UInt32 on = 1;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &on, sizeof on), 0)
        << "a fault named for the input scope leaves the output alone";
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &off, sizeof off),
              AUDIO_FOUR_CC('f', 'a', 'i', 'l'));
    fail("AudioUnitInitialize", -3);
    EXPECT_EQ(AudioUnitInitialize(unit), -3);
    fail("AudioOutputUnitStart", -4);
    EXPECT_EQ(AudioOutputUnitStart(unit), -4);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), 0);
}

}  // namespace
