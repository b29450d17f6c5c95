// audioctl from the command line, as a person or a script uses it.
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <thread>

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

std::string Ctl(std::initializer_list<std::string> args, int* status = nullptr) {
    std::vector<std::string> argv = {BinDir() + "/audioctl"};
    argv.insert(argv.end(), args);
    std::string out;
    int st = Run(argv, &out);
    if (status) *status = st;
    return out;
}

class Audioctl : public ::testing::Test {
protected:
    // This process never uses the client library itself, so changing the variable between
    // tests races with nothing.
    void SetUp() override { setenv("AUDIOSERVER_SOCKET", (dir.path() + "/sock/control").c_str(), 1); }
    void TearDown() override { Ctl({"stop"}); }
    TempDir dir;
};

TEST_F(Audioctl, StartListRestartStop) {
    int st = -1;
    std::string out = Ctl({"status"}, &st);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("not running"), std::string::npos);

    out = Ctl({"start"}, &st);
    ASSERT_EQ(st, 0) << out;
    EXPECT_NE(out.find("started"), std::string::npos);
    out = Ctl({"start"}, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(out.find("already running"), std::string::npos);

    out = Ctl({"list"}, &st);
    ASSERT_EQ(st, 0) << out;
    for (const char* want : {"Built-in Output", "uid: BuiltInOutputDevice", "Built-in Microphone",
                             "uid: BuiltInMicrophoneDevice", "USB Audio Interface", "uid: USBAudioInterface",
                             "input channels: 4 (streams: 2+2)", "output channels: 4 (streams: 4)", "nominal rate: 44100",
                             "nominal rate: 48000", "transport: 'usb '", "default: output system-output", "default: input"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;

    // Devices added by the tool show up; the defaults move.
    ASSERT_EQ((Ctl({"add-device", "Line Box", "linebox", "--inputs", "2,6", "--outputs", "8", "--rate", "96000", "--int24",
                    "--transport", "pci ", "--buffer-range", "64:2048"}, &st), st), 0);
    ASSERT_EQ((Ctl({"set-default", "output", "linebox"}, &st), st), 0);
    out = Ctl({"list"});
    EXPECT_NE(out.find("Line Box"), std::string::npos);
    EXPECT_NE(out.find("input channels: 8 (streams: 2+6)"), std::string::npos) << out;
    EXPECT_NE(out.find("buffer frames: 512 (range 64-2048)"), std::string::npos) << out;

    out = Ctl({"restart"}, &st);
    ASSERT_EQ(st, 0) << out;
    out = Ctl({"list"});
    EXPECT_EQ(out.find("Line Box"), std::string::npos) << "a restarted server has only its default devices";

    out = Ctl({"stop"}, &st);
    EXPECT_EQ(st, 0);
    Ctl({"status"}, &st);
    EXPECT_EQ(st, 1);
}

TEST_F(Audioctl, BadRequestsAreRefusedWithAReason) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    std::string out = Ctl({"add-device", "X", "x", "--outputs", "0"}, &st);
    EXPECT_EQ(st, 2);
    EXPECT_NE(out.find("channel counts"), std::string::npos) << out;
    out = Ctl({"set-default", "input", "BuiltInOutputDevice"}, &st);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("no input streams"), std::string::npos) << out;
    out = Ctl({"signal", "NoSuchDevice", "silence"}, &st);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("no device"), std::string::npos) << out;
    out = Ctl({"signal", "BuiltInMicrophoneDevice", "sine", "30000"}, &st);
    EXPECT_EQ(st, 1);
    out = Ctl({"signal", "BuiltInMicrophoneDevice", "wav", dir.path() + "/missing.wav"}, &st);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
    out = Ctl({"capture", "BuiltInOutputDevice", "/nonexistent-dir/x.wav"}, &st);
    EXPECT_EQ(st, 1);
    out = Ctl({"frobnicate"}, &st);
    EXPECT_EQ(st, 2);
    EXPECT_NE(out.find("usage"), std::string::npos);
}

TEST_F(Audioctl, CaptureOfAnIdleOutputIsSilenceOfTheRequestedLength) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    std::string file = dir.path() + "/idle.wav";
    std::string out = Ctl({"capture", "USBAudioInterface", file, "--seconds", "0.5"}, &st);
    ASSERT_EQ(st, 0) << out;
    auto a = tidewell::tools::readWav(file);
    EXPECT_EQ(a.channels, 4u);
    EXPECT_EQ(a.sampleRate, 44100u);
    EXPECT_GT(a.frames(), 44100u / 4);
    EXPECT_LT(a.frames(), 44100u * 2);
    for (float s : a.samples) ASSERT_EQ(s, 0.0f);
}

// The late cycles of `audioctl counters`, per client line: "client N: pid P "NAME": late
// cycles L". -1 when no line names that pid.
// Every device's cycles the server gave up on a client or never served ("late client cycles N,
// stalled cycles N" per device in the counters).
unsigned long long LostCyclesIn(const std::string& counters) {
    unsigned long long lost = 0;
    for (const std::string key : {"late client cycles ", "stalled cycles "}) {
        for (size_t at = counters.find(key); at != std::string::npos; at = counters.find(key, at + 1))
            lost += std::strtoull(counters.c_str() + at + key.size(), nullptr, 10);
    }
    return lost;
}

long long LateCyclesOf(const std::string& counters, pid_t pid, const std::string& name) {
    std::string key = ": pid " + std::to_string(pid) + " \"" + name + "\": late cycles ";
    size_t at = counters.find(key);
    if (at == std::string::npos) return -1;
    return std::atoll(counters.c_str() + at + key.size());
}

// A lost frame can be traced to its hop: the counters name each client on a device, by pid
// and name, with its own late cycles, and keep a late client's count after it left.
TEST_F(Audioctl, CountersTellLateCyclesPerClient) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    Child steady({BinDir() + "/audio-test-client", "play", "BuiltInOutputDevice", "440", "-20", "60"},
                 {"AUDIOSERVER_BUNDLE_ID=org.example.steady"});
    Child stalled({BinDir() + "/audio-test-client", "play", "BuiltInOutputDevice", "660", "-20", "60"},
                  {"AUDIOSERVER_BUNDLE_ID=org.example.stalled"});
    ASSERT_TRUE(steady.waitFor("started", 10s)) << steady.output();
    ASSERT_TRUE(stalled.waitFor("started", 10s)) << stalled.output();

    // A stopped process answers no cycle: every cycle while it is stopped is late for it
    // alone (about 47 in half a second of 512-frame cycles at 48 kHz).
    stalled.signal(SIGSTOP);
    std::this_thread::sleep_for(500ms);
    stalled.signal(SIGCONT);
    std::string out;
    auto until = std::chrono::steady_clock::now() + 20s;
    while (LateCyclesOf(out, stalled.pid(), "org.example.stalled") < 20 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        out = Ctl({"counters"}, &st);
        ASSERT_EQ(st, 0) << out;
    }
    long long stalledLate = LateCyclesOf(out, stalled.pid(), "org.example.stalled");
    long long steadyLate = LateCyclesOf(out, steady.pid(), "org.example.steady");
    EXPECT_GE(stalledLate, 20) << out;
    ASSERT_GE(steadyLate, 0) << "every client on the device has its line\n" << out;
    EXPECT_LT(steadyLate, stalledLate) << out;

    // A client that leaves keeps its line, marked as gone.
    stalled.signal(SIGTERM);
    ASSERT_TRUE(stalled.wait(10s).has_value());
    until = std::chrono::steady_clock::now() + 20s;
    while (out.find("(left)") == std::string::npos && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        out = Ctl({"counters"});
    }
    EXPECT_GE(LateCyclesOf(out, stalled.pid(), "org.example.stalled"), stalledLate) << out;
    EXPECT_NE(out.find("(left)"), std::string::npos) << out;
}

// A capture started on an idle device holds what a client plays into the device later in
// its window, with silence only before the client began.
TEST_F(Audioctl, CaptureStartedOnAnIdleOutputHoldsWhatIsPlayedLater) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    std::string file = dir.path() + "/later.wav";
    // The command as a person runs it: it holds its shell for the window, and the tone is
    // played from another one once the capture has begun.
    Child capture({BinDir() + "/audioctl", "capture", "BuiltInOutputDevice", file, "--seconds", "5"});
    ASSERT_TRUE(capture.waitFor("audioctl: capturing BuiltInOutputDevice into " + file + " for 5 s", 20s))
        << capture.output();
    const unsigned long long lostBefore = LostCyclesIn(Ctl({"counters"}));
    Child player({BinDir() + "/audio-play", "--sine", "997", "--level", "-12", "--duration", "1"});
    ASSERT_EQ(player.wait(20s), 0) << player.output();
    ASSERT_EQ(capture.wait(20s), 0) << capture.output();
    // A loaded machine may make the server give up on the player's cycles: each costs at most
    // its 1024 frames of silence, counted; the tone is then judged where it runs unbroken.
    const unsigned long long lost = LostCyclesIn(Ctl({"counters"})) - lostBefore;

    auto a = tidewell::tools::readWav(file);
    ASSERT_EQ(a.channels, 2u);
    ASSERT_EQ(a.sampleRate, 48000u);
    // Where the tone lies: every frame from its first sound to its last is part of it.
    size_t first = a.frames(), last = 0;
    for (size_t i = 0; i < a.frames(); ++i)
        if (a.samples[i * 2] != 0.0f || a.samples[i * 2 + 1] != 0.0f) first = std::min(first, i), last = i;
    ASSERT_LT(first, a.frames()) << "the capture holds only silence";
    size_t toneFrames = last - first + 1;
    EXPECT_NEAR(double(toneFrames), 48000.0, 1024.0) << "one second of tone, whole";
    size_t longestSilence = 0, run = 0;
    for (size_t i = first; i <= last; ++i) {
        run = a.samples[i * 2] == 0.0f && a.samples[i * 2 + 1] == 0.0f ? run + 1 : 0;
        longestSilence = std::max(longestSilence, run);
    }
    if (lost == 0) EXPECT_LT(longestSilence, 4u) << "a sine has no run of zeros: a cycle was lost";
    else EXPECT_LE(longestSilence, lost * 1024) << lost << " cycles lost";
    for (unsigned ch = 0; ch < 2; ++ch) {
        const ToneStretch s = LongestUnbrokenTone(a.samples.data() + first * 2, toneFrames, 2, ch, 997.0, 48000);
        EXPECT_LE(s.breaks, lost) << ch;
        ASSERT_GE(s.frames, toneFrames / 3) << ch;
        const float* from = a.samples.data() + (first + s.begin) * 2;
        EXPECT_NEAR(tidewell::tools::dominantFrequency(from, s.frames, 2, ch, 48000), 997.0, 0.5);
        EXPECT_NEAR(tidewell::tools::rmsDbfs(from, s.frames, 2, ch), -12.0, 0.5);
    }
}

}  // namespace

namespace {

TEST_F(Audioctl, RestartFiresTheRestartListenersOfRunningClientsOnce) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    Child listener({BinDir() + "/audio-test-client", "listen", "system", "srst", "60"});
    ASSERT_TRUE(listener.waitFor("ready", 10s)) << listener.output();
    std::string out = Ctl({"restart"}, &st);
    ASSERT_EQ(st, 0) << out;
    EXPECT_TRUE(listener.waitFor("fired srst", 10s)) << listener.output();
    EXPECT_FALSE(listener.waitFor("fired", 1s)) << "fired more than once";
}

TEST_F(Audioctl, ASecondServerOnTheSameSocketRefusesToStart) {
    int st = -1;
    ASSERT_EQ((Ctl({"start"}, &st), st), 0);
    std::string out;
    st = audiotest::Run({BinDir() + "/audioserverd", "--socket", dir.path() + "/sock/control"}, &out);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("another server"), std::string::npos) << out;
    Ctl({"status"}, &st);
    EXPECT_EQ(st, 0) << "the first server still answers";
}

}  // namespace
