// The helpers follow their devices when they go and come back under new object ids. A virtual
// device goes when the runtime region stops listing it (another process of the user publishes it
// without) and comes back when the region lists it again; a hardware device is unplugged and
// plugged in again. A process tap and a hardware source play into a virtual device, and a monitor
// plays it to an output device; all three run through the absence. From shortly after the return,
// each path carries its source again, judged block by block against it, and no helper's counters
// claim more frames dropped than it captured. The other sides (a hardware source recording a
// nested virtual device, a monitor's hardware output) are gone for less than one pass of the
// service, which would not notice the absence, and must carry audio again 2 s after the return.
#include <gtest/gtest.h>

#include <sstream>

#include "ContinuityRig.h"

namespace {

using namespace continuity;

// How much of each recording after the return is judged: from 2 s after it on.
constexpr double kRecordSeconds = 8.0;
constexpr double kJudgedFromSeconds = 2.0;

// A nested source's device: a second virtual device that a hardware source records.
constexpr const char* kNestedDevice = "tw.nested";
// Shorter than the service's pass of 1 s.
constexpr auto kShortAbsence = 300ms;

// The region with exactly these 2-channel devices: the plug-in retires every device it does not
// list.
void PublishDevices(const std::vector<std::string>& uids) {
    std::vector<tidewell::RuntimeChannelRoute> routes{{1, 1}, {2, 2}};
    std::vector<tidewell::RuntimeDeviceControls> devices;
    for (const std::string& uid : uids) {
        devices.emplace_back(uid, uid, "waveform.circle", 2, true, 1.0, std::vector<double>{}, true, false, 1.0, routes);
    }
    tidewell::RuntimeControlStoreV3::publish(devices, false);
}

void PublishWithoutTheVirtualDevice() { PublishDevices({"tw.elsewhere"}); }

uint64_t NowNanos() { return AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()); }

// Seconds from a recording's first frame to a moment on the host clock (0 when the recording has
// no time stamp: then it is taken to start at that moment).
double SecondsInto(uint64_t firstFrameNanos, uint64_t momentNanos) {
    if (firstFrameNanos == 0 || momentNanos <= firstFrameNanos) return 0;
    return static_cast<double>(momentNanos - firstFrameNanos) * 1e-9;
}

tools::AudioData Noise(uint32_t seed) {
    return tools::makeSpeechLikeNoise(48000, 1, 90, seed, -12.0);
}

struct Judgement {
    tools::ContinuityReport report;
    std::string what;
};

// One channel of a recording against the source it should carry, from `fromSeconds` of the
// recording on (blocks are looked at from half a second before).
Judgement Judge(const std::string& what, const tools::AudioData& recording, unsigned channel,
                const tools::AudioData& source, double fromSeconds = kJudgedFromSeconds) {
    tools::ContinuityOptions options;
    options.skipSeconds = fromSeconds - 0.5;
    options.settleSeconds = 0.5;
    options.sourceLoops = true;
    Judgement j{tools::measureContinuity(tools::channelOf(recording, channel), source.samples, 48000, options), what};
    return j;
}

std::string Describe(const Judgement& j) {
    std::ostringstream out;
    out << j.what << ": matched " << j.report.matchedShare * 100 << "% of " << j.report.blocks
        << " blocks, median correlation " << j.report.medianCorrelation << ", steps:";
    for (const auto& d : j.report.discontinuities) out << " " << d.frames << "@" << d.atSeconds << "s";
    return out.str();
}

// Every block found again but those a lost cycle explains, and as many disturbances at most as
// cycles were lost: each lost cycle leaves a gap of at most a cycle of 192 frames, and the blocks
// of 256 on either side of it that straddle the step, three blocks found nowhere at most.
void ExpectCarried(const Judgement& j, uint64_t late) {
    EXPECT_GT(j.report.blocks, 0u) << Describe(j);
    ASSERT_GT(j.report.matchedShare, 0.0) << Describe(j);
    const double judged = double(j.report.matchedBlocks) / j.report.matchedShare;
    const double unmatched = judged - double(j.report.matchedBlocks);
    EXPECT_LE(unmatched, 3.0 * double(late) + 0.5) << Describe(j) << "\nlate cycles " << late;
    EXPECT_GE(j.report.medianCorrelation, 0.99) << Describe(j);
    EXPECT_LE(tools::countDisturbances(j.report), late) << Describe(j) << "\nlate cycles " << late;
}

// A helper's counters stay true through it all, and it stops cleanly.
void ExpectStopsCleanly(audiotest::Child& helper) {
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.wait(20s).value_or(-1), 0) << helper.output();
    const HelperCounters counters = ParseStopped(helper.output());
    ASSERT_TRUE(counters.found) << helper.output();
    EXPECT_LE(counters.dropped, counters.captured) << helper.output();
}

class HelperDeviceReturn : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<RigServer>();
        ASSERT_TRUE(rig_->error.empty()) << rig_->error;
    }
    void TearDown() override {
        for (auto* child : {monitor_.get(), source_.get(), feeder_.get(), tap_.get(), player_.get()}) {
            if (child != nullptr) {
                child->signal(SIGTERM);
                child->wait(20s);
            }
        }
        rig_.reset();
    }

    std::unique_ptr<RigServer> rig_;
    std::unique_ptr<audiotest::Child> player_, tap_, feeder_, source_, monitor_;
};

TEST_F(HelperDeviceReturn, EveryHelperPlaysItsSourceAgainOnceTheVirtualDeviceIsBack) {
    audiotest::TestServer& server = *rig_->server;
    const std::string device(kVirtualDevice);
    const std::string played = RigDevice("source", 48000);
    const std::string input = RigDevice("input", 48000);
    const std::string output = RigDevice("output", 48000);

    // The tapped application's source on the device's left, the hardware input's on its right.
    const tools::AudioData tapSource = Noise(11);
    const tools::AudioData inputSource = Noise(23);
    const std::string tapWav = server.dir() + "/tap-source.wav";
    const std::string inputWav = server.dir() + "/input-source.wav";
    tools::writeWav(tapWav, tapSource);
    tools::writeWav(inputWav, inputSource);
    ASSERT_EQ(Ctl({"signal", input, "wav", inputWav}), 0);

    player_ = std::make_unique<audiotest::Child>(std::vector<std::string>{
        Bin("audio-play"), "--device", played, "--wav", tapWav, "--bundle-id", "org.example.return"});
    ASSERT_TRUE(player_->waitFor("audio-play: playing", 20s)) << player_->output();
    tap_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-process-tap")},
        std::vector<std::string>{"TIDEWELL_TAP_OUTPUT_UID=" + device, "TIDEWELL_TAP_PID=" + std::to_string(player_->pid()),
                                 "TIDEWELL_TAP_CLOCK_UID=" + played, "TIDEWELL_TAP_ROUTES=1:1"});
    source_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-hardware-source")},
        std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + input, "TIDEWELL_SOURCE_OUTPUT_UID=" + device,
                                 "TIDEWELL_SOURCE_ROUTES=1:2"});
    monitor_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-monitor")},
        std::vector<std::string>{"TIDEWELL_MONITOR_INPUT_UID=" + device, "TIDEWELL_MONITOR_OUTPUT_UID=" + output});
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        ASSERT_TRUE(helper->waitFor("Press Ctrl-C to stop.", 30s)) << helper->output();
    }

    // The device goes; each helper notices and runs on without it.
    const std::string gone = "Audio device UID " + device + " went away; waiting for it to come back.";
    PublishWithoutTheVirtualDevice();
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(device) == 0; }));
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        EXPECT_TRUE(helper->waitFor(gone, 20s)) << helper->output();
    }
    std::this_thread::sleep_for(1500ms);   // a while without it: the capture helpers' rings fill

    // It comes back under a new id. The recordings start at once; they are judged from 2 s on.
    ASSERT_TRUE(PublishVirtualDevice());
    const uint64_t lateBefore = LostCycles(server);
    const std::string monitored = server.dir() + "/monitored.wav";
    auto started = server.control({{"op", "captureStart"}, {"uid", output}, {"path", monitored}});
    ASSERT_TRUE(started && started->value("ok", false));
    const std::string recorded = server.dir() + "/recorded.wav";
    audiotest::Child recorder({Bin("audio-record"), "--device", device, "--duration", std::to_string(kRecordSeconds),
                               "--output", recorded});
    ASSERT_EQ(recorder.wait(60s).value_or(-1), 0) << recorder.output();
    server.control({{"op", "captureStop"}, {"uid", output}});
    const uint64_t late = LostCycles(server) - lateBefore;

    const std::string back = "Audio device UID " + device + " is back; running on it again.";
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        EXPECT_TRUE(helper->waitFor(back, 20s)) << helper->output();
    }
    const tools::AudioData deviceInput = tools::readWav(recorded);
    const tools::AudioData monitorOutput = tools::readWav(monitored);
    ASSERT_EQ(deviceInput.channels, 2u);
    ASSERT_EQ(monitorOutput.channels, 2u);
    // A cycle a loaded server gives up on, or never serves, is a step no helper can prevent: one
    // allowed per lost cycle.
    for (const Judgement& j : {Judge("process tap into the device", deviceInput, 0, tapSource),
                               Judge("hardware source into the device", deviceInput, 1, inputSource),
                               Judge("monitor of the tap's channel", monitorOutput, 0, tapSource),
                               Judge("monitor of the hardware source's channel", monitorOutput, 1, inputSource)}) {
        ExpectCarried(j, late);
    }
    for (auto* helper : {tap_.get(), source_.get(), monitor_.get()}) {
        ExpectStopsCleanly(*helper);
    }
}

// A nested source: one hardware source plays a hardware input into a nested virtual device, and
// a second one records that device into the target device. The nested device is retired and
// created again within one service pass; both helpers follow it, one on its output side and the
// other on its input side, and the target carries the hardware input again 2 s after the return.
TEST_F(HelperDeviceReturn, AHardwareSourceFollowsTheNestedDeviceItRecords) {
    audiotest::TestServer& server = *rig_->server;
    const std::string target(kVirtualDevice);
    const std::string nested(kNestedDevice);
    PublishDevices({target, nested});
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(nested) != 0; }));
    const std::string input = RigDevice("input", 48000);
    const tools::AudioData inputSource = Noise(31);
    const std::string inputWav = server.dir() + "/input-source.wav";
    tools::writeWav(inputWav, inputSource);
    ASSERT_EQ(Ctl({"signal", input, "wav", inputWav}), 0);

    feeder_ = std::make_unique<audiotest::Child>(   // the hardware input into the nested device
        std::vector<std::string>{Bin("tidewell-hardware-source")},
        std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + input, "TIDEWELL_SOURCE_OUTPUT_UID=" + nested});
    source_ = std::make_unique<audiotest::Child>(   // the nested device into the target
        std::vector<std::string>{Bin("tidewell-hardware-source")},
        std::vector<std::string>{"TIDEWELL_SOURCE_INPUT_UID=" + nested, "TIDEWELL_SOURCE_OUTPUT_UID=" + target});
    for (auto* helper : {feeder_.get(), source_.get()}) {
        ASSERT_TRUE(helper->waitFor("Press Ctrl-C to stop.", 30s)) << helper->output();
    }

    // The target is recorded through the absence; what it carries is judged from 2 s after the
    // nested device is back.
    const std::string recorded = server.dir() + "/recorded.wav";
    audiotest::Child recorder({Bin("audio-record"), "--device", target, "--duration", "9", "--output", recorded});
    std::this_thread::sleep_for(1s);
    PublishDevices({target});
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(nested) == 0; }));
    std::this_thread::sleep_for(kShortAbsence);
    const uint64_t backAt = NowNanos();
    PublishDevices({target, nested});
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(nested) != 0; }));
    const uint64_t lateBefore = LostCycles(server);
    ASSERT_EQ(recorder.wait(60s).value_or(-1), 0) << recorder.output();
    const uint64_t late = LostCycles(server) - lateBefore;

    const std::string gone = "Audio device UID " + nested + " went away; waiting for it to come back.";
    const std::string back = "Audio device UID " + nested + " is back; running on it again.";
    for (auto* helper : {feeder_.get(), source_.get()}) {
        EXPECT_TRUE(helper->waitFor(gone, 20s)) << helper->output();
        EXPECT_TRUE(helper->waitFor(back, 20s)) << helper->output();
    }
    const double from = SecondsInto(continuity::FirstFrameHostNanos(recorder.output()), backAt) + kJudgedFromSeconds;
    ExpectCarried(Judge("hardware input through the nested device", tools::readWav(recorded), 0, inputSource, from),
                  late);
    for (auto* helper : {feeder_.get(), source_.get()}) {
        ExpectStopsCleanly(*helper);
    }
}

// The monitor's hardware output is unplugged and plugged in again within one service pass; the
// monitor follows it, and the output plays the virtual device again 2 s after the return.
TEST_F(HelperDeviceReturn, AMonitorFollowsItsHardwareOutput) {
    audiotest::TestServer& server = *rig_->server;
    const std::string device(kVirtualDevice);
    const std::string output = RigDevice("output", 48000);
    const tools::AudioData played = Noise(41);
    const std::string playedWav = server.dir() + "/played.wav";
    tools::writeWav(playedWav, played);
    player_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("audio-play"), "--device", device, "--wav", playedWav});
    ASSERT_TRUE(player_->waitFor("audio-play: playing", 20s)) << player_->output();
    monitor_ = std::make_unique<audiotest::Child>(
        std::vector<std::string>{Bin("tidewell-monitor")},
        std::vector<std::string>{"TIDEWELL_MONITOR_INPUT_UID=" + device, "TIDEWELL_MONITOR_OUTPUT_UID=" + output});
    ASSERT_TRUE(monitor_->waitFor("Press Ctrl-C to stop.", 30s)) << monitor_->output();
    std::this_thread::sleep_for(1s);

    ASSERT_EQ(Ctl({"remove-device", output}), 0);
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::DeviceByUID(output) == 0; }));
    std::this_thread::sleep_for(kShortAbsence);
    const uint64_t backAt = NowNanos();
    ASSERT_EQ(RigDevice("output", 48000), output);
    ASSERT_NE(audiotest::DeviceByUID(output), 0u);
    // The output's capture goes with the device: it starts once the device is back.
    const uint64_t lateBefore = LostCycles(server);
    const std::string monitored = server.dir() + "/monitored.wav";
    auto started = server.control({{"op", "captureStart"}, {"uid", output}, {"path", monitored}});
    ASSERT_TRUE(started && started->value("ok", false));
    std::this_thread::sleep_for(std::chrono::duration<double>(kRecordSeconds));
    auto stopped = server.control({{"op", "captureStop"}, {"uid", output}});
    ASSERT_TRUE(stopped && stopped->value("ok", false));
    const uint64_t late = LostCycles(server) - lateBefore;

    EXPECT_TRUE(monitor_->waitFor("Audio device UID " + output + " went away; waiting for it to come back.", 20s))
        << monitor_->output();
    EXPECT_TRUE(monitor_->waitFor("Audio device UID " + output + " is back; running on it again.", 20s))
        << monitor_->output();
    // From 2 s after the return: the capture began a little later, never earlier.
    const double from =
        std::max(0.5, kJudgedFromSeconds - SecondsInto(backAt, stopped->value("firstHostNanos", uint64_t(0))));
    ExpectCarried(Judge("monitor through the output's absence", tools::readWav(monitored), 0, played, from), late);
    ExpectStopsCleanly(*monitor_);
}

}  // namespace
