// Process taps and private aggregate devices through a private audioserverd.
#include "TapTestSupport.h"
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <unistd.h>

using namespace audiotest;

namespace {

bool IsUpperUUID(const std::string& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F'))) return false;
    }
    return true;
}

}  // namespace

TEST(TapDescription, InitialisersGiveFreshUUIDsAndTheirMode) {
    auto a = AudioTapDescription::StereoMixdownOfProcesses({7});
    auto b = AudioTapDescription::StereoGlobalTapExcludingProcesses({7, 9});
    auto c = AudioTapDescription::StereoMixdownOfProcesses({7});
    EXPECT_TRUE(IsUpperUUID(a.uuid)) << a.uuid;
    EXPECT_TRUE(IsUpperUUID(b.uuid)) << b.uuid;
    EXPECT_EQ((std::set<std::string>{a.uuid, b.uuid, c.uuid}).size(), 3u);
    EXPECT_FALSE(a.exclusive);
    EXPECT_TRUE(b.exclusive);
    EXPECT_EQ(b.processes, (std::vector<AudioObjectID>{7, 9}));
    for (const auto* d : {&a, &b}) {
        EXPECT_FALSE(d->mono);
        EXPECT_TRUE(d->mixdown);
        EXPECT_FALSE(d->isPrivate);
        EXPECT_EQ(d->muteBehavior, kAudioTapMuteBehaviorUnmuted);
    }
    c.uuid = a.uuid;
    EXPECT_EQ(a, c);
}

TEST(TapDescription, CallsRejectMissingArguments) {
    AudioObjectID id = 5;
    EXPECT_EQ(AudioHardwareCreateProcessTap(nullptr, &id), kAudio_ParamError);
    auto d = AudioTapDescription::StereoMixdownOfProcesses({});
    EXPECT_EQ(AudioHardwareCreateProcessTap(&d, nullptr), kAudio_ParamError);
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(nullptr, &id), kAudio_ParamError);
}

namespace {

using namespace std::chrono_literals;
using namespace taptest;
namespace tools = tidewell::tools;

double Level(const tools::AudioData& a, unsigned ch) { return tools::rmsDbfs(a.samples.data(), a.frames(), a.channels, ch); }
double Hz(const tools::AudioData& a, unsigned ch, double rate = 48000) {
    return tools::dominantFrequency(a.samples.data(), a.frames(), a.channels, ch, rate);
}

class Taps : public ::testing::Test {
protected:
    TestServer server;
    TempDir files;

    std::unique_ptr<Child> play(double hz, double dbfs, const std::string& uid = "BuiltInOutputDevice") {
        auto c = std::make_unique<Child>(std::vector<std::string>{BinDir() + "/audio-test-client", "play", uid,
                                                                  std::to_string(hz), std::to_string(dbfs), "60"});
        EXPECT_TRUE(c->waitFor("started", 10s)) << c->output();
        return c;
    }
    tools::AudioData capture(const std::string& uid, std::chrono::milliseconds length, const std::string& name) {
        return CaptureFrames(server, uid, size_t(48000) * size_t(length.count()) / 1000, files.path() + "/" + name + ".wav");
    }
    void permission(const std::vector<std::string>& args) {
        std::vector<std::string> argv{BinDir() + "/audioctl", "tap-permission"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        ASSERT_EQ(audiotest::Run(argv, &out), 0) << out;
    }
};

}  // namespace

TEST_F(Taps, ATapOfOneProcessHearsItAloneAndAGlobalTapLeavesOutTheExcluded) {
    auto a = play(440, -12);
    auto b = play(1000, -6);
    AudioObjectID pa = ProcessObjectOf(a->pid());
    AudioObjectID pb = ProcessObjectOf(b->pid());
    ASSERT_NE(pa, 0u);
    ASSERT_NE(pb, 0u);

    {
        TapRun one;
        auto d = AudioTapDescription::StereoMixdownOfProcesses({pa});
        d.isPrivate = true;
        ASSERT_EQ(one.create(d), 0);
        AudioStreamBasicDescription f{};
        UInt32 size = sizeof(f);
        AudioObjectPropertyAddress fa = Address(kAudioTapPropertyFormat);
        ASSERT_EQ(AudioObjectGetPropertyData(one.tap, &fa, 0, nullptr, &size, &f), 0);
        EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
        EXPECT_TRUE(f.mFormatFlags & kAudioFormatFlagIsFloat);
        EXPECT_FALSE(f.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
        EXPECT_EQ(f.mBitsPerChannel, 32u);
        EXPECT_EQ(f.mChannelsPerFrame, 2u);
        EXPECT_EQ(f.mSampleRate, 48000.0);
        EXPECT_EQ(StringProperty(one.tap, kAudioTapPropertyUID), d.uuid);
        one.start();
        auto rec = one.record(1000ms);
        ASSERT_GT(rec.frames(), 40000u);
        ASSERT_EQ(rec.channels, 2u);
        for (unsigned ch = 0; ch < 2; ++ch) {
            EXPECT_NEAR(Hz(rec, ch), 440, 1) << ch;
            EXPECT_NEAR(Level(rec, ch), -12, 1) << ch;  // the 1000 Hz player at -6 would dominate
        }
    }
    {
        TapRun global;
        ASSERT_EQ(global.create(AudioTapDescription::StereoGlobalTapExcludingProcesses({pa})), 0);
        global.start();
        auto rec = global.record(1000ms);
        ASSERT_GT(rec.frames(), 40000u);
        EXPECT_NEAR(Hz(rec, 0), 1000, 1);
        EXPECT_NEAR(Level(rec, 0), -6, 0.5);  // both at once would read about -5
        EXPECT_NEAR(Hz(rec, 1), 1000, 1);
    }
}

TEST_F(Taps, AMonoTapOnAnotherClockDeliversOneChannelAtThatClocksRate) {
    auto a = play(440, -12);
    AudioObjectID pa = ProcessObjectOf(a->pid());
    ASSERT_NE(pa, 0u);
    TapRun run;
    auto d = AudioTapDescription::StereoMixdownOfProcesses({pa});
    d.mono = true;
    ASSERT_EQ(run.create(d, "USBAudioInterface"), 0);
    AudioStreamBasicDescription f{};
    UInt32 size = sizeof(f);
    AudioObjectPropertyAddress fa = Address(kAudioTapPropertyFormat);
    ASSERT_EQ(AudioObjectGetPropertyData(run.tap, &fa, 0, nullptr, &size, &f), 0);
    EXPECT_EQ(f.mChannelsPerFrame, 1u);
    EXPECT_EQ(f.mSampleRate, 44100.0);
    EXPECT_EQ(U32Property(run.aggregate, Address(kAudioDevicePropertyTransportType)), kAudioDeviceTransportTypeAggregate);
    run.start();
    auto rec = run.record(1000ms);
    ASSERT_EQ(rec.channels, 1u);
    ASSERT_GT(rec.frames(), 35000u);
    // Played at 48000 Hz, delivered at 44100 Hz: still 440 Hz at the aggregate's rate.
    EXPECT_NEAR(Hz(rec, 0, 44100), 440, 1.5);
    EXPECT_NEAR(Level(rec, 0), -12, 1);
}

TEST_F(Taps, MutedWhenTappedSilencesTheProcessOnlyWhileTheTapRuns) {
    auto a = play(440, -12);
    AudioObjectID pa = ProcessObjectOf(a->pid());
    ASSERT_NE(pa, 0u);
    auto before = capture("BuiltInOutputDevice", 500ms, "before");
    EXPECT_NEAR(Level(before, 0), -12, 1);

    auto run = std::make_unique<TapRun>();
    auto d = AudioTapDescription::StereoMixdownOfProcesses({pa});
    d.muteBehavior = kAudioTapMuteBehaviorMutedWhenTapped;
    ASSERT_EQ(run->create(d), 0);
    // Created but not running: still heard.
    auto idle = capture("BuiltInOutputDevice", 500ms, "idle");
    EXPECT_NEAR(Level(idle, 0), -12, 1);

    run->start();
    auto during = capture("BuiltInOutputDevice", 500ms, "during");
    EXPECT_LT(tools::peakAmplitude(during.samples.data(), during.frames(), during.channels, 0), 1e-6);
    // The tap itself still hears it.
    auto rec = run->record(500ms);
    EXPECT_NEAR(Level(rec, 0), -12, 1);

    run.reset();  // stop, destroy the aggregate and the tap
    auto after = capture("BuiltInOutputDevice", 500ms, "after");
    EXPECT_NEAR(Level(after, 0), -12, 1);
}

TEST_F(Taps, AggregatesNeedAKnownClockAndTheirCallersOwnTaps) {
    auto d = AudioTapDescription::StereoMixdownOfProcesses({});
    AudioObjectID tap = 0;
    ASSERT_EQ(AudioHardwareCreateProcessTap(&d, &tap), 0);
    AudioObjectID agg = 0;
    CFDictionaryRef unknownClock = AggregateDescription("agg-1", "NoSuchDevice", d.uuid);
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(unknownClock, &agg), kAudioHardwareBadDeviceError);
    EXPECT_EQ(agg, 0u);
    CFRelease(unknownClock);
    CFDictionaryRef unknownTap = AggregateDescription("agg-2", "BuiltInOutputDevice", "00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(unknownTap, &agg), kAudioHardwareBadObjectError);
    CFRelease(unknownTap);
    // Nothing half-made stays behind: the same UID works once the clock is right.
    CFDictionaryRef good = AggregateDescription("agg-1", "BuiltInOutputDevice", d.uuid);
    ASSERT_EQ(AudioHardwareCreateAggregateDevice(good, &agg), 0);
    // A tap joins one aggregate only, and the UID is taken.
    AudioObjectID again = 0;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(good, &again), kAudioHardwareIllegalOperationError);
    CFRelease(good);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(agg), 0);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(agg), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), 0);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), kAudioHardwareBadObjectError);

    // Descriptions the server refuses.
    auto bad = AudioTapDescription::StereoMixdownOfProcesses({});
    bad.uuid = "not-a-uuid";
    EXPECT_EQ(AudioHardwareCreateProcessTap(&bad, &tap), kAudio_ParamError);
    bad = AudioTapDescription::StereoMixdownOfProcesses({kAudioObjectSystemObject});
    EXPECT_EQ(AudioHardwareCreateProcessTap(&bad, &tap), kAudioHardwareBadObjectError);
    auto first = AudioTapDescription::StereoMixdownOfProcesses({});
    ASSERT_EQ(AudioHardwareCreateProcessTap(&first, &tap), 0);
    AudioObjectID second = 0;
    EXPECT_EQ(AudioHardwareCreateProcessTap(&first, &second), kAudioHardwareIllegalOperationError);
}

TEST_F(Taps, APrivateAggregateIsOnlyItsCreatorsAndBothGoWhenTheCreatorLeaves) {
    auto a = play(440, -12);
    // Another process taps the player, muting it while tapped, into a private aggregate.
    Child priv({BinDir() + "/audio-test-client", "tap", std::to_string(a->pid()), "private", "mute", "60"});
    auto line = priv.waitFor("tap ", 10s);
    ASSERT_TRUE(line) << priv.output();
    unsigned tapID = 0, aggID = 0;
    char uid[128] = {};
    ASSERT_EQ(std::sscanf(line->c_str(), "tap %u %u %127s", &tapID, &aggID, uid), 3);
    EXPECT_EQ(DeviceByUID(uid), 0u);
    auto ids = DeviceIDs();
    EXPECT_EQ(std::find(ids.begin(), ids.end(), aggID), ids.end());
    OSStatus st = 0;
    U32Property(aggID, Address(kAudioDevicePropertyTransportType), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
    std::string listed;
    ASSERT_EQ(audiotest::Run({BinDir() + "/audioctl", "list"}, &listed), 0);
    EXPECT_EQ(listed.find(uid), std::string::npos) << listed;
    // Its muting applies to everyone's output.
    auto during = capture("BuiltInOutputDevice", 500ms, "during");
    EXPECT_LT(tools::peakAmplitude(during.samples.data(), during.frames(), during.channels, 0), 1e-6);
    priv.signal(SIGKILL);
    priv.wait(5s);
    // Its tap goes when the server has seen its creator leave.
    EXPECT_TRUE(WaitUntil([&] {
        OSStatus gone = 0;
        U32Property(tapID, Address(kAudioObjectPropertyClass), &gone);
        return gone == kAudioHardwareBadObjectError;
    }));
    auto after = capture("BuiltInOutputDevice", 500ms, "after");
    EXPECT_NEAR(Level(after, 0), -12, 1);

    // A public one is seen by others, and leaves with its creator along with its tap.
    Child pub({BinDir() + "/audio-test-client", "tap", std::to_string(a->pid()), "public", "unmuted", "60"});
    line = pub.waitFor("tap ", 10s);
    ASSERT_TRUE(line) << pub.output();
    ASSERT_EQ(std::sscanf(line->c_str(), "tap %u %u %127s", &tapID, &aggID, uid), 3);
    EXPECT_EQ(DeviceByUID(uid), aggID);
    EXPECT_EQ(StringProperty(tapID, kAudioObjectPropertyName), "");
    auto taps = [] {
        AudioObjectPropertyAddress t = Address(kAudioHardwarePropertyTapList);
        UInt32 size = 0;
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &t, 0, nullptr, &size);
        std::vector<AudioObjectID> v(size / 4);
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &t, 0, nullptr, &size, v.data());
        v.resize(size / 4);
        return v;
    };
    EXPECT_EQ(taps(), std::vector<AudioObjectID>{tapID});
    pub.signal(SIGTERM);
    pub.wait(5s);
    auto until = std::chrono::steady_clock::now() + 20s;
    while (DeviceByUID(uid) != 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(DeviceByUID(uid), 0u);
    EXPECT_TRUE(taps().empty());
    st = 0;
    U32Property(tapID, Address(kAudioObjectPropertyClass), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
}

TEST_F(Taps, PermissionPolicyDeniesDelaysAndHoldsRequests) {
    auto d = AudioTapDescription::StereoMixdownOfProcesses({});
    AudioObjectID tap = 0;
    auto timed = [&](AudioTapDescription desc, OSStatus& st) {
        auto t0 = std::chrono::steady_clock::now();
        desc.uuid = AudioTapDescription::StereoMixdownOfProcesses({}).uuid;
        st = AudioHardwareCreateProcessTap(&desc, &tap);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    OSStatus st = 0;
    const double atOnce = std::chrono::duration<double>(kAtOnce).count();
    EXPECT_LT(timed(d, st), atOnce);  // allowed by default
    EXPECT_EQ(st, 0);

    permission({"deny"});
    EXPECT_LT(timed(d, st), atOnce);
    EXPECT_EQ(st, kAudioHardwareTapPermissionError);

    permission({"prompt", "1", "allow"});
    double took = timed(d, st);
    EXPECT_EQ(st, 0);
    // The prompt holds the request for its second (the server's own wait, never shorter),
    // then answers: a request that was never answered would end at the 10 s timeout.
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 1.0 + atOnce);

    permission({"prompt", "1", "deny"});
    took = timed(d, st);
    EXPECT_EQ(st, kAudioHardwareTapPermissionError);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 1.0 + atOnce);

    // A request that is never answered holds its caller only: others are served meanwhile,
    // and the request ends with its client.
    permission({"prompt", "0", "never"});
    Child held({BinDir() + "/audio-test-client", "tap", std::to_string(getpid()), "public", "unmuted", "60"});
    ASSERT_TRUE(held.waitFor("creating", 10s));
    EXPECT_FALSE(held.waitFor("tap ", 1500ms));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(DeviceByUID("BuiltInOutputDevice"), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
    held.signal(SIGKILL);
    EXPECT_TRUE(held.wait(20s));
    permission({"allow"});
    EXPECT_LT(timed(d, st), atOnce);
    EXPECT_EQ(st, 0);

    std::string out;
    EXPECT_NE(audiotest::Run({BinDir() + "/audioctl", "tap-permission", "prompt", "x", "allow"}, &out), 0);
    EXPECT_NE(audiotest::Run({BinDir() + "/audioctl", "tap-permission", "maybe"}, &out), 0);
}

TEST_F(Taps, ATapCanBeMadeToDeliverAnotherRateThanItsFormatSays) {
    auto a = play(440, -12);
    AudioObjectID pa = ProcessObjectOf(a->pid());
    ASSERT_NE(pa, 0u);
    std::string out;
    ASSERT_EQ(audiotest::Run({BinDir() + "/audioctl", "tap-rates", "48000", "44100"}, &out), 0) << out;
    EXPECT_NE(audiotest::Run({BinDir() + "/audioctl", "tap-rates", "100", "0"}, &out), 0);
    TapRun run;
    ASSERT_EQ(run.create(AudioTapDescription::StereoMixdownOfProcesses({pa})), 0);
    AudioStreamBasicDescription f{};
    UInt32 size = sizeof(f);
    AudioObjectPropertyAddress fa = Address(kAudioTapPropertyFormat);
    ASSERT_EQ(AudioObjectGetPropertyData(run.tap, &fa, 0, nullptr, &size, &f), 0);
    EXPECT_EQ(f.mSampleRate, 48000.0);
    run.start();
    const uint64_t lostBefore = CyclesOf(server, run.aggregateUID).late;
    auto rec = run.record(2000ms);
    const uint64_t lost = CyclesOf(server, run.aggregateUID).late - lostBefore;
    EXPECT_NEAR(run.deliveredRate, 44100, 44100 * 0.01);
    // Every break in the device's sample time is a cycle the server counted as lost; most of the
    // two seconds is measured.
    EXPECT_LE(run.gapCycles, lost) << "of " << run.contiguousCycles + run.gapCycles << " cycles";
    EXPECT_GT(run.contiguousCycles, 4 * run.gapCycles);
    EXPECT_NEAR(Hz(rec, 0, 44100), 440, 1.5);
}

TEST_F(Taps, DriftCompensationReadsATapByTheClocksRealRates) {
    auto r = server.control({{"op", "addDevice"}, {"name", "Drifting Output"}, {"uid", "DriftingOutput"},
                             {"outputs", {2}}, {"driftPpm", 2000.0}});
    ASSERT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "");
    auto a = play(440, -12);
    AudioObjectID pa = ProcessObjectOf(a->pid());
    ASSERT_NE(pa, 0u);
    TapRun run;
    ASSERT_EQ(run.create(AudioTapDescription::StereoMixdownOfProcesses({pa}), "DriftingOutput"), 0);
    run.start();
    auto rec = run.record(4000ms);
    ASSERT_GT(rec.frames(), 48000u * 3);
    // Read 0.2 % slower than written, as the clocks really run: the tone comes out that
    // much lower at the nominal rate (uncorrected it would stay at 440 Hz and the ring
    // would run dry every few seconds).
    // The median of one-second windows: a cycle lost to a loaded machine bends one window
    // only.
    std::vector<double> hz;
    for (size_t at = 0; at + 48000 <= rec.frames(); at += 48000)
        hz.push_back(tools::dominantFrequency(rec.samples.data() + at * rec.channels, 48000, rec.channels, 0, 48000));
    ASSERT_GE(hz.size(), 3u);
    std::sort(hz.begin(), hz.end());
    EXPECT_NEAR(hz[hz.size() / 2], 440 / 1.002, 0.3);
    EXPECT_NEAR(Level(rec, 0), -12, 0.5);
}
