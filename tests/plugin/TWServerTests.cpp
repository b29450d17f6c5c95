// TidewellHAL hosted by audioserverd, end to end: the devices a published runtime region
// describes appear and leave, and audio played into a device comes out of its input,
// routed, gained and metered.

#include "TWServerSupport.h"

#include <AudioToolsCommon/Wav.h>

#include <csignal>

using namespace twserver;

namespace {

TEST_F(HostedPlugIn, DevicesFollowTheRuntimeRegion) {
    // No region: the legacy pass-thru device.
    ASSERT_TRUE(Within(2s, [] { return DeviceByUID(kLegacyUID) != 0; }));
    AudioObjectID legacy = DeviceByUID(kLegacyUID);
    EXPECT_EQ(StringProperty(legacy, kAudioObjectPropertyName), "Tidewell");
    EXPECT_EQ(U32Property(legacy, Address(kAudioDevicePropertyTransportType)), kAudioDeviceTransportTypeVirtual);

    tidewell::RuntimeControlStoreV3::publish(
        {Controls("tw.e2e.two", "Two", 2, {{1, 1}, {2, 2}}), Controls("tw.e2e.eight", "Eight", 8, {{1, 1}})}, false);
    ASSERT_TRUE(Within(1s, [] { return DeviceByUID("tw.e2e.two") != 0 && DeviceByUID("tw.e2e.eight") != 0; }));
    AudioObjectID eight = DeviceByUID("tw.e2e.eight");
    EXPECT_EQ(StringProperty(eight, kAudioObjectPropertyName), "Eight");
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    auto a = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(AudioObjectGetPropertyData(eight, &a, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(format.mChannelsPerFrame, 8u);
    EXPECT_EQ(format.mSampleRate, 48000.0);
    EXPECT_TRUE(Within(1s, [] { return DeviceByUID(kLegacyUID) == 0; }));
    // Ids the server gives never collide with the plug-in's own.
    EXPECT_GE(eight, 0x40000000u);

    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.two", "Two", 2, {{1, 1}, {2, 2}})}, false);
    EXPECT_TRUE(Within(1s, [] { return DeviceByUID("tw.e2e.eight") == 0; }));
    EXPECT_NE(DeviceByUID("tw.e2e.two"), 0u);

    // A valid region that lists no device retires them all; the legacy device returns.
    tidewell::RuntimeControlStoreV3::publish(std::vector<tidewell::RuntimeDeviceControls>{}, false);
    EXPECT_TRUE(Within(1s, [] { return DeviceByUID("tw.e2e.two") == 0 && DeviceByUID(kLegacyUID) != 0; }));
}

// A virtual device's cycles keep the plug-in's own clock through a stall of the server: the
// periods it passed while the server was held up are lost and counted, and the times a client
// gets keep host time and sample time together, as the plug-in's zero time stamps do.
OSStatus KeepStamps(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp* inputTime,
                    AudioBufferList*, const AudioTimeStamp*, void* data) {
    static_cast<audiotest::CycleStamps*>(data)->keep(inputTime);
    return 0;
}

TEST_F(HostedPlugIn, AServerHeldUpLosesTheVirtualDevicesCyclesOnThePlugInsClock) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.stall", "Stall", 2, {{1, 1}, {2, 2}})}, false);
    ASSERT_TRUE(Within(2s, [] { return DeviceByUID("tw.e2e.stall") != 0; }));
    AudioObjectID device = DeviceByUID("tw.e2e.stall");
    audiotest::CycleStamps keeper;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, KeepStamps, &keeper, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(device, proc), 0);
    ASSERT_TRUE(Within(5s, [&] { return keeper.calls.load() > 10; }));
    const uint64_t lostBefore = audiotest::CyclesOf(*server_, "tw.e2e.stall").late;
    ASSERT_EQ(::kill(server_->pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(::kill(server_->pid(), SIGCONT), 0);
    const uint64_t calls = keeper.calls.load();
    ASSERT_TRUE(Within(5s, [&] { return keeper.calls.load() > calls + 10; }));
    AudioDeviceStop(device, proc);
    AudioDeviceDestroyIOProcID(device, proc);
    // 200 ms of cycles of 512 frames or fewer: 18 or more lost.
    EXPECT_GE(audiotest::CyclesOf(*server_, "tw.e2e.stall").late - lostBefore, 18u);
    EXPECT_NEAR(keeper.hostSpanned(48000), keeper.samplesSpanned(), 2.0);
}

TEST_F(HostedPlugIn, SixteenPublishedDevicesAllAppearInTheDeviceList) {
    // The usual start: no region yet, the legacy device holds one of the sixteen records.
    ASSERT_TRUE(Within(2s, [] { return DeviceByUID(kLegacyUID) != 0; }));
    std::vector<tidewell::RuntimeDeviceControls> devices;
    for (int i = 0; i < 16; ++i) {
        std::string n = std::to_string(i);
        devices.push_back(Controls("tw.e2e.sixteen." + n, "Sixteen " + n, 2, {{1, 1}, {2, 2}}));
    }
    tidewell::RuntimeControlStoreV3::publish(devices, false);
    // What a user sees: every published device in `audioctl list`, and the legacy device gone.
    std::string listing;
    auto listed = [&](const std::string& uid) { return listing.find("  uid: " + uid + "\n") != std::string::npos; };
    auto allListed = [&] {
        listing.clear();
        if (audiotest::Run({BinDir() + "/audioctl", "list"}, &listing) != 0) return false;
        for (int i = 0; i < 16; ++i) {
            if (!listed("tw.e2e.sixteen." + std::to_string(i))) return false;
        }
        return !listed(kLegacyUID);
    };
    EXPECT_TRUE(Within(5s, allListed)) << listing;
}

TEST_F(HostedPlugIn, PlayedAudioComesBackRoutedGainedAndMetered) {
    // Source channel 1 goes to output channel 2 at device gain 0.5 and channel gain 1.5;
    // output channels 1, 3 and 4 get nothing.
    tidewell::RuntimeControlStoreV3::publish(
        {Controls("tw.e2e.io", "Loop", 4, {{1, 2}}, 0.5, {1.0, 1.5, 1.0, 1.0})}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.io")) != 0; }));
    Loop loop;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, LoopProc, &loop, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    std::this_thread::sleep_for(1500ms);
    // The meters are read while the device runs: the window after a stop may hold its last,
    // partial cycle.
    const double sourceMeter = MeterLevel("tidewell.device.tw.e2e.io.source", 0);
    const double outputMeter = MeterLevel("tidewell.device.tw.e2e.io.output", 1);
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(dev, proc), 0);

    ASSERT_EQ(loop.channels.load(), 4u);
    const size_t frames = loop.written.load() / 4;
    ASSERT_GT(frames, 48000u + 4096u);
    const float* s = loop.recording.data() + (frames - 48000) * 4;
    const double expected = 20 * std::log10(0.5 * 0.5 * 1.5);  // dBFS of a sine: its peak level
    EXPECT_NEAR(BestLevel(s, 48000, 4, 1), expected, 0.1);
    EXPECT_NEAR(tools::dominantFrequency(s, 48000, 4, 1, 48000), 997.0, 1.0);
    for (unsigned ch : {0u, 2u, 3u}) {
        float peak = 0;
        for (size_t i = 0; i < 48000; ++i) peak = std::max(peak, std::fabs(s[i * 4 + ch]));
        EXPECT_EQ(peak, 0.0f) << "channel " << ch;
    }
    // Source meter: what was played (RMS of a 0.5 sine); output meter: what was heard.
    EXPECT_NEAR(sourceMeter, 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(outputMeter, 0.375 / std::sqrt(2.0), 0.03);
}

TEST_F(HostedPlugIn, MutingSilencesTheDeviceWithinATenthOfASecond) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.mute", "Mute", 2, {{1, 1}})}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.mute")) != 0; }));
    Loop loop;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, LoopProc, &loop, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    std::this_thread::sleep_for(500ms);
    size_t mutedAt = loop.written.load() / 2;
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.mute", "Mute", 2, {{1, 1}}, 1.0, {}, true)}, false);
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    AudioDeviceDestroyIOProcID(dev, proc);
    const size_t frames = loop.written.load() / 2;
    ASSERT_GT(frames, mutedAt + 4800 + 9600);
    float before = 0, after = 0;
    for (size_t i = mutedAt - 9600; i < mutedAt; ++i) before = std::max(before, std::fabs(loop.recording[i * 2]));
    for (size_t i = mutedAt + 4800; i < frames; ++i) after = std::max(after, std::fabs(loop.recording[i * 2]));
    EXPECT_GT(before, 0.4f);
    EXPECT_EQ(after, 0.0f);
}

TEST_F(HostedPlugIn, TwoRecordersEachHearTheWholeSignal) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.two-rec", "Recorded", 2, {{1, 1}, {2, 2}})}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.two-rec")) != 0; }));
    Loop player;
    player.record = false;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, LoopProc, &player, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    Child first({BinDir() + "/tw-record-client", "tw.e2e.two-rec", "2"});
    Child second({BinDir() + "/tw-record-client", "tw.e2e.two-rec", "2"});
    for (Child* c : {&first, &second}) {
        ASSERT_TRUE(c->waitFor("done", 15s)) << c->output();
        auto level = [&](const std::string& line) { return std::atof(line.substr(line.rfind(' ') + 1).c_str()); };
        auto out = c->output();
        auto at0 = out.find("channel 0 dbfs ");
        auto at1 = out.find("channel 1 dbfs ");
        ASSERT_NE(at0, std::string::npos) << out;
        ASSERT_NE(at1, std::string::npos) << out;
        EXPECT_NEAR(level(out.substr(at0, out.find('\n', at0) - at0)), 20 * std::log10(0.5), 0.1) << out;
        EXPECT_LT(level(out.substr(at1, out.find('\n', at1) - at1)), -100.0) << out;
    }
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    AudioDeviceDestroyIOProcID(dev, proc);
}

// A client that follows the device's width: it plays a 997 Hz sine (amplitude 0.5) on
// output channel 1 and, when there is one, a 1500 Hz sine (amplitude 0.25) on channel 3,
// and records its input per width. It notes every cycle whose buffer lists disagree with
// themselves, and every change of width it sees.
struct Follower {
    double phase[2] = {0, 0};
    std::vector<float> narrow = std::vector<float>(48000 * 2 * 8, 0.0f);
    std::vector<float> wide = std::vector<float>(48000 * 8 * 8, 0.0f);
    std::atomic<size_t> narrowWritten{0}, wideWritten{0};
    std::atomic<uint32_t> channels{0};
    std::atomic<uint32_t> widthChanges{0};
    std::atomic<uint32_t> inconsistentCycles{0};
    std::atomic<uint64_t> cycles{0};
};

OSStatus FollowerProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                      AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto* f = static_cast<Follower*>(data);
    f->cycles.fetch_add(1);
    if (in->mNumberBuffers != 1 || out->mNumberBuffers != 1) {
        f->inconsistentCycles.fetch_add(1);
        return 0;
    }
    const AudioBuffer& ib = in->mBuffers[0];
    AudioBuffer& ob = out->mBuffers[0];
    const uint32_t ch = ib.mNumberChannels;
    const uint32_t frames = ch ? ib.mDataByteSize / (4 * ch) : 0;
    if (ch == 0 || ob.mNumberChannels != ch || ib.mDataByteSize != frames * 4 * ch || ob.mDataByteSize != ib.mDataByteSize ||
        (ch != 2 && ch != 8)) {
        f->inconsistentCycles.fetch_add(1);
        return 0;
    }
    if (f->channels.exchange(ch) != ch) f->widthChanges.fetch_add(1);
    auto* o = static_cast<float*>(ob.mData);
    for (uint32_t i = 0; i < frames; ++i) {
        o[i * ch] = static_cast<float>(0.5 * std::sin(f->phase[0]));
        if (ch >= 3) o[i * ch + 2] = static_cast<float>(0.25 * std::sin(f->phase[1]));
        f->phase[0] = std::fmod(f->phase[0] + 2 * M_PI * 997.0 / 48000.0, 2 * M_PI);
        f->phase[1] = std::fmod(f->phase[1] + 2 * M_PI * 1500.0 / 48000.0, 2 * M_PI);
    }
    auto& rec = ch == 2 ? f->narrow : f->wide;
    auto& written = ch == 2 ? f->narrowWritten : f->wideWritten;
    size_t at = written.load();
    size_t n = std::min<size_t>(frames * ch, rec.size() - at);
    std::memcpy(rec.data() + at, ib.mData, n * 4);
    written.store(at + n);
    return 0;
}

// What the stream-configuration and stream-format listeners saw: how often they ran, and
// the input width the device reported while they ran.
struct ConfigurationListener {
    AudioObjectID device = 0;
    std::atomic<uint32_t> configurationCalls{0}, formatCalls{0};
    std::atomic<uint32_t> reportedChannels{0};
};

uint32_t InputConfigurationChannels(AudioObjectID dev) {
    alignas(AudioBufferList) uint8_t bytes[AUDIO_BUFFER_LIST_SIZE(4)] = {};
    UInt32 size = sizeof bytes;
    auto a = Address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    if (AudioObjectGetPropertyData(dev, &a, 0, nullptr, &size, bytes) != 0) return 0;
    const auto* list = reinterpret_cast<const AudioBufferList*>(bytes);
    return list->mNumberBuffers == 1 ? list->mBuffers[0].mNumberChannels : 0;
}

OSStatus ConfigurationChanged(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress* addresses, void* data) {
    auto* l = static_cast<ConfigurationListener*>(data);
    for (UInt32 i = 0; i < count; ++i) {
        if (addresses[i].mSelector == kAudioDevicePropertyStreamConfiguration) l->configurationCalls.fetch_add(1);
        if (addresses[i].mSelector == kAudioDevicePropertyStreamFormat) l->formatCalls.fetch_add(1);
    }
    l->reportedChannels.store(InputConfigurationChannels(l->device));
    return 0;
}

uint32_t FormatChannels(AudioObjectID obj, AudioObjectPropertySelector sel, AudioObjectPropertyScope scope) {
    AudioStreamBasicDescription f{};
    UInt32 size = sizeof f;
    auto a = Address(sel, scope);
    return AudioObjectGetPropertyData(obj, &a, 0, nullptr, &size, &f) == 0 ? f.mChannelsPerFrame : 0u;
}

float Peak(const float* s, size_t frames, unsigned channels, unsigned ch) {
    float peak = 0;
    for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(s[i * channels + ch]));
    return peak;
}

TEST_F(HostedPlugIn, RunningClientsFollowAChannelChangeOnTheirNextCycle) {
    // Two channels, source 1 to output 2; then eight, source 1 to output 7 and source 3 to
    // output 4; then two again, source 1 to output 1.
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.grow", "Grow", 2, {{1, 2}})}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.grow")) != 0; }));
    const AudioObjectID inputStream = U32Property(dev, Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    ASSERT_NE(inputStream, 0u);

    ConfigurationListener listener;
    listener.device = dev;
    const AudioObjectPropertyAddress watched[] = {
        Address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput),
        Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeOutput)};
    for (const auto& a : watched) ASSERT_EQ(AudioObjectAddPropertyListener(dev, &a, ConfigurationChanged, &listener), 0);

    auto follower = std::make_unique<Follower>();
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, FollowerProc, follower.get(), &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    // A second client, in its own process, records across the change.
    Child recorder({BinDir() + "/tw-record-client", "tw.e2e.grow", "3"});
    ASSERT_TRUE(recorder.waitFor("started", 10s)) << recorder.output();
    ASSERT_TRUE(Within(2s, [&] { return follower->narrowWritten.load() >= 48000u * 2 / 2; }));
    EXPECT_EQ(follower->channels.load(), 2u);

    // The new routes apply as soon as they are published, while the device may still be two
    // wide for a moment; audio is judged before a publish and after the change.
    const size_t narrowAtGrow = follower->narrowWritten.load();
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.grow", "Grow", 8, {{1, 7}, {3, 4}})}, false);
    ASSERT_TRUE(Within(3s, [&] { return follower->channels.load() == 8u; }));
    EXPECT_TRUE(Within(2s, [&] {
        return listener.configurationCalls.load() > 0 && listener.formatCalls.load() > 0 &&
               listener.reportedChannels.load() == 8u;
    }));
    EXPECT_EQ(DeviceByUID("tw.e2e.grow"), dev);
    EXPECT_EQ(InputConfigurationChannels(dev), 8u);
    EXPECT_EQ(FormatChannels(dev, kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeOutput), 8u);
    EXPECT_EQ(FormatChannels(inputStream, kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal), 8u);
    ASSERT_TRUE(Within(3s, [&] { return follower->wideWritten.load() >= 48000u * 8; }));

    // The other process's client is eight wide too, and hears the routed tone.
    ASSERT_TRUE(recorder.waitFor("done", 15s)) << recorder.output();
    EXPECT_NE(recorder.output().find("channels 8\n"), std::string::npos) << recorder.output();
    auto at6 = recorder.output().find("channel 6 dbfs ");
    ASSERT_NE(at6, std::string::npos) << recorder.output();
    EXPECT_NEAR(std::atof(recorder.output().c_str() + at6 + 15), 20 * std::log10(0.5), 0.1) << recorder.output();

    // Back to two channels while the client runs.
    const size_t narrowBefore = follower->narrowWritten.load();
    const size_t wideAtShrink = follower->wideWritten.load();
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.grow", "Grow", 2, {{1, 1}})}, false);
    ASSERT_TRUE(Within(3s, [&] { return follower->channels.load() == 2u; }));
    ASSERT_TRUE(Within(3s, [&] { return follower->narrowWritten.load() >= narrowBefore + 48000u * 2; }));
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(dev, proc), 0);
    for (const auto& a : watched) AudioObjectRemovePropertyListener(dev, &a, ConfigurationChanged, &listener);

    EXPECT_EQ(follower->inconsistentCycles.load(), 0u);
    EXPECT_EQ(follower->widthChanges.load(), 3u);  // none, 2, 8, 2

    // Before the change: the tone on channel 2 of 2.
    {
        // Up to the last half second, so that a cycle a loaded machine lost leaves BestLevel a
        // clean stretch to judge.
        const size_t frames = narrowAtGrow / 2;
        ASSERT_GE(frames, 9600u);
        const size_t span = std::min<size_t>(frames, 24000);
        const float* s = follower->narrow.data() + (frames - span) * 2;
        EXPECT_NEAR(BestLevel(s, span, 2, 1), 20 * std::log10(0.5), 0.1);
        EXPECT_EQ(Peak(s, span, 2, 0), 0.0f);
    }
    // Eight wide: 997 Hz on channel 7, 1500 Hz on channel 4, silence elsewhere.
    {
        const size_t frames = wideAtShrink / 8;
        ASSERT_GE(frames, 48000u);
        const float* s = follower->wide.data() + (frames - 24000) * 8;
        EXPECT_NEAR(BestLevel(s, 24000, 8, 6), 20 * std::log10(0.5), 0.1);
        EXPECT_NEAR(tools::dominantFrequency(s, 24000, 8, 6, 48000), 997.0, 2.0);
        EXPECT_NEAR(BestLevel(s, 24000, 8, 3), 20 * std::log10(0.25), 0.1);
        EXPECT_NEAR(tools::dominantFrequency(s, 24000, 8, 3, 48000), 1500.0, 2.0);
        for (unsigned ch : {0u, 1u, 2u, 4u, 5u, 7u}) EXPECT_EQ(Peak(s, 24000, 8, ch), 0.0f) << "channel " << ch;
    }
    // Two again: the tone on channel 1, nothing on channel 2.
    {
        const size_t frames = follower->narrowWritten.load() / 2;
        const float* s = follower->narrow.data() + (frames - 24000) * 2;
        EXPECT_NEAR(BestLevel(s, 24000, 2, 0), 20 * std::log10(0.5), 0.1);
        EXPECT_EQ(Peak(s, 24000, 2, 1), 0.0f);
    }
}

// One of two procs of this process on one device (the second one's output goes through the
// client library's scratch and is summed in). Each plays a 997 Hz sine of amplitude 0.25 on
// output channel 1 and checks that its buffer lists agree with themselves and with one of
// the widths the test publishes; the first also records its input at the latest width.
struct WidthChecker {
    std::vector<uint32_t> allowed;
    bool record = false;
    double phase = 0;
    std::vector<float> recording = std::vector<float>(48000 * 16 * 4, 0.0f);
    std::atomic<size_t> written{0};
    std::atomic<uint32_t> channels{0};
    std::atomic<uint32_t> widthsSeen{0};  // bit per index into allowed
    std::atomic<uint32_t> inconsistentCycles{0};
};

OSStatus WidthCheckerProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                          AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto* w = static_cast<WidthChecker*>(data);
    if (in->mNumberBuffers != 1 || out->mNumberBuffers != 1) {
        w->inconsistentCycles.fetch_add(1);
        return 0;
    }
    const uint32_t ch = in->mBuffers[0].mNumberChannels;
    const auto index = std::find(w->allowed.begin(), w->allowed.end(), ch) - w->allowed.begin();
    const uint32_t frames = ch ? in->mBuffers[0].mDataByteSize / (4 * ch) : 0;
    if (size_t(index) == w->allowed.size() || out->mBuffers[0].mNumberChannels != ch || frames == 0 ||
        in->mBuffers[0].mDataByteSize != frames * 4 * ch || out->mBuffers[0].mDataByteSize != frames * 4 * ch) {
        w->inconsistentCycles.fetch_add(1);
        return 0;
    }
    w->widthsSeen.fetch_or(1u << index);
    auto* o = static_cast<float*>(out->mBuffers[0].mData);
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t k = 0; k < ch; ++k) o[i * ch + k] = k == 0 ? static_cast<float>(0.25 * std::sin(w->phase)) : 0.0f;
        w->phase = std::fmod(w->phase + 2 * M_PI * 997.0 / 48000.0, 2 * M_PI);
    }
    if (w->record) {
        if (w->channels.exchange(ch) != ch) w->written.store(0);  // keep the latest width only
        size_t at = w->written.load();
        size_t n = std::min<size_t>(frames * ch, w->recording.size() - at);
        std::memcpy(w->recording.data() + at, in->mBuffers[0].mData, n * 4);
        w->written.store(at + n);
    }
    return 0;
}

TEST_F(HostedPlugIn, BackToBackChannelChangesKeepEveryBufferWholeForEveryProc) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.widths", "Widths", 2, {{1, 1}})}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.widths")) != 0; }));
    auto first = std::make_unique<WidthChecker>();
    auto second = std::make_unique<WidthChecker>();
    first->allowed = second->allowed = {2, 64, 16};
    first->record = true;
    AudioDeviceIOProcID procs[2] = {nullptr, nullptr};
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, WidthCheckerProc, first.get(), &procs[0]), 0);
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, WidthCheckerProc, second.get(), &procs[1]), 0);
    ASSERT_EQ(AudioDeviceStart(dev, procs[0]), 0);
    ASSERT_EQ(AudioDeviceStart(dev, procs[1]), 0);
    ASSERT_TRUE(Within(2s, [&] { return first->channels.load() == 2u; }));
    // Each change is published as soon as the procs see the one before.
    for (uint32_t width : {64u, 16u}) {
        tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.widths", "Widths", width, {{1, width}})}, false);
        ASSERT_TRUE(Within(3s, [&] { return first->channels.load() == width; })) << width;
    }
    ASSERT_TRUE(Within(3s, [&] { return first->written.load() >= 48000u * 16; }));
    ASSERT_EQ(AudioDeviceStop(dev, procs[1]), 0);
    ASSERT_EQ(AudioDeviceStop(dev, procs[0]), 0);
    for (auto* p : procs) AudioDeviceDestroyIOProcID(dev, p);

    for (auto* w : {first.get(), second.get()}) {
        EXPECT_EQ(w->inconsistentCycles.load(), 0u);
        EXPECT_EQ(w->widthsSeen.load(), 0b111u);
    }
    // Both procs' sines, summed, on channel 16 alone.
    const size_t frames = first->written.load() / 16;
    ASSERT_GE(frames, 24000u);
    const float* s = first->recording.data() + (frames - 24000) * 16;
    EXPECT_NEAR(BestLevel(s, 24000, 16, 15), 20 * std::log10(0.5), 0.1);
    for (unsigned ch = 0; ch < 15; ++ch) EXPECT_EQ(Peak(s, 24000, 16, ch), 0.0f) << "channel " << ch;
}

TEST_F(HostedPlugIn, AudioPlayIntoTheDeviceIsRecordedFromItsInputAtThePredictedLevels) {
    // Every output channel carries the sine; source 1 goes to output 1 and source 2 to
    // output 3. Device gain 0.5 (-6.02 dB), channel 3 gain 2.0 (+6.02 dB).
    tidewell::RuntimeControlStoreV3::publish(
        {Controls("tw.e2e.tools", "Tools", 4, {{1, 1}, {2, 3}}, 0.5, {1.0, 1.0, 2.0, 1.0})}, false);
    ASSERT_TRUE(Within(2s, [] { return DeviceByUID("tw.e2e.tools") != 0; }));
    Child player({BinDir() + "/audio-play", "--device", "tw.e2e.tools", "--sine", "997", "--level", "-12",
                  "--duration", "5"});
    std::this_thread::sleep_for(500ms);
    const std::string file = server_->dir() + "/recorded.wav";
    std::string output;
    ASSERT_EQ(audiotest::Run({BinDir() + "/audio-record", "--device", "tw.e2e.tools", "--duration", "2", "--output", file}, &output),
              0)
        << output;
    auto a = tools::readWav(file);
    ASSERT_EQ(a.channels, 4u);
    ASSERT_GE(a.frames(), 48000u + 4800u);
    const float* last = a.samples.data() + (a.frames() - 48000) * 4;
    const double gainDb = 20 * std::log10(0.5);
    EXPECT_NEAR(BestLevel(last, 48000, 4, 0), -12.0 + gainDb, 0.1);
    EXPECT_NEAR(BestLevel(last, 48000, 4, 2), -12.0 + gainDb + 20 * std::log10(2.0), 0.1);
    EXPECT_NEAR(tools::dominantFrequency(last, 48000, 4, 2, 48000), 997.0, 1.0);
    for (unsigned ch : {1u, 3u}) {
        float peak = 0;
        for (size_t i = 0; i < 48000; ++i) peak = std::max(peak, std::fabs(last[i * 4 + ch]));
        EXPECT_EQ(peak, 0.0f) << "channel " << ch;
    }
    player.signal(SIGTERM);
    player.wait(5s);
}

TEST_F(HostedPlugIn, PlugInObjectsAreReachedUnderServerIdsBothWays) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.ids", "Ids", 2, {{1, 1}}, 1.0, {}, true)}, false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID("tw.e2e.ids")) != 0; }));

    // The plug-in object, found by its bundle identifier and listed by the system.
    CFStringRef bundle = CFStringCreateWithCString(nullptr, "app.tidewell.vhal", kCFStringEncodingUTF8);
    AudioObjectID plugIn = 0;
    UInt32 size = sizeof plugIn;
    auto a = Address(kAudioHardwarePropertyTranslateBundleIDToPlugIn);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, sizeof bundle, &bundle, &size, &plugIn), 0);
    CFRelease(bundle);
    ASSERT_NE(plugIn, 0u);
    EXPECT_NE(plugIn, kAudioObjectSystemObject);
    EXPECT_EQ(U32Property(plugIn, Address(kAudioObjectPropertyClass)), kAudioPlugInClassID);
    EXPECT_EQ(StringProperty(plugIn, kAudioObjectPropertyName), "Tidewell HAL");
    AudioObjectID listed[4] = {};
    size = sizeof listed;
    a = Address(kAudioHardwarePropertyPlugInList);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, listed), 0);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(listed[0], plugIn);

    // Ids in values come back as server ids: the plug-in's device list, the device's owner,
    // streams and controls.
    size = sizeof listed;
    a = Address(kAudioPlugInPropertyDeviceList);
    ASSERT_EQ(AudioObjectGetPropertyData(plugIn, &a, 0, nullptr, &size, listed), 0);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(listed[0], dev);
    EXPECT_EQ(U32Property(dev, Address(kAudioObjectPropertyOwner)), plugIn);
    EXPECT_EQ(U32Property(dev, Address(kAudioDevicePropertyRelatedDevices)), dev);
    AudioObjectID input = U32Property(dev, Address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    EXPECT_EQ(U32Property(input, Address(kAudioStreamPropertyDirection)), 1u);
    EXPECT_EQ(U32Property(input, Address(kAudioObjectPropertyOwner)), dev);
    AudioObjectID controls[2] = {};
    size = sizeof controls;
    a = Address(kAudioObjectPropertyControlList);
    ASSERT_EQ(AudioObjectGetPropertyData(dev, &a, 0, nullptr, &size, controls), 0);
    EXPECT_EQ(U32Property(controls[0], Address(kAudioObjectPropertyClass)), kAudioVolumeControlClassID);
    EXPECT_EQ(U32Property(controls[1], Address(kAudioObjectPropertyClass)), kAudioMuteControlClassID);
    EXPECT_EQ(U32Property(controls[1], Address(kAudioBooleanControlPropertyValue)), 1u);
    Float32 scalar = 0;
    size = sizeof scalar;
    a = Address(kAudioLevelControlPropertyScalarValue);
    ASSERT_EQ(AudioObjectGetPropertyData(controls[0], &a, 0, nullptr, &size, &scalar), 0);
    EXPECT_EQ(scalar, 0.5f);

    // Setting goes to the plug-in, which decides.
    UInt32 frames = 256;
    a = Address(kAudioDevicePropertyBufferFrameSize);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &a, 0, nullptr, sizeof frames, &frames), 0);
    EXPECT_EQ(U32Property(dev, Address(kAudioDevicePropertyZeroTimeStampPeriod)), 256u);
    Float64 rate = 44100.0;
    a = Address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &a, 0, nullptr, sizeof rate, &rate), kAudioHardwareUnsupportedOperationError);
}

}  // namespace
