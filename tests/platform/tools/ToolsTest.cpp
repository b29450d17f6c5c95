// audio-play and audio-record against a real audioserverd on a private socket.
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Signals.h>
#include <AudioToolsCommon/Wav.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <regex>
#include <thread>

using namespace audiotest;
using namespace tidewell::tools;
using namespace std::chrono_literals;

namespace {

std::string tool(const char* name) { return BinDir() + "/" + name; }

// Per-channel "frequency" and "rms" values from audio-record's report.
struct Reported {
    double rms;
    double hz;
};
std::vector<Reported> parseReport(const std::string& output) {
    std::vector<Reported> out;
    std::regex line(R"(channel (\d+): rms (\S+) dBFS, peak \S+ dBFS, frequency (\S+) Hz)");
    for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it)
        out.push_back({std::stod((*it)[2]), std::stod((*it)[3])});
    return out;
}

// The audio from `skipSeconds` on, so a capture's first partial cycle does not count.
AudioData tail(const AudioData& a, double skipSeconds) {
    AudioData t = a;
    size_t skip = std::min(a.frames(), static_cast<size_t>(skipSeconds * a.sampleRate)) * a.channels;
    t.samples.erase(t.samples.begin(), t.samples.begin() + static_cast<long>(skip));
    return t;
}

TEST(AudioToolsTest, PlayedSineArrivesAtItsFrequencyAndLevelWithoutGaps) {
    TestServer server;
    Child player({tool("audio-play"), "--device", "BuiltInOutputDevice", "--sine", "997", "--level", "-12"});
    ASSERT_TRUE(player.waitFor("audio-play: playing", 20s)) << player.output();
    AudioData cap = CaptureFrames(server, "BuiltInOutputDevice", 72000, server.dir() + "/cap.wav");
    player.signal(SIGTERM);
    EXPECT_EQ(player.wait(20s), 0) << player.output();

    ASSERT_EQ(cap.channels, 2u);
    AudioData steady = tail(cap, 0.2);
    ASSERT_GE(steady.frames(), 24000u);
    // The server leaves a late cycle out (by design, and counted): at most that share of the
    // capture is silence, which lowers its level and bends the frequency found across the gap.
    uint64_t late = CyclesOf(server, "BuiltInOutputDevice").late;
    const double lostShare = std::min(0.5, double(late) * 512.0 / double(steady.frames()));
    for (const ChannelReport& r : analyse(steady)) {
        EXPECT_NEAR(r.dominantHz, 997, late == 0 ? 0.5 : 2.0);
        EXPECT_LE(r.rmsDbfs, -12 + 0.1);
        EXPECT_GE(r.rmsDbfs, -12 - 0.1 + 10 * std::log10(1 - lostShare)) << late << " late cycles";
    }
    // The player fills every cycle: each 1 ms holds part of the sine's swing. Only the late
    // cycles may be silent, each at most 11 ms of its 512 frames. A player that skips audio
    // leaves silence uncounted.
    size_t windows = 0, silent = 0;
    for (size_t start = 0; start + 48 <= steady.frames(); start += 48, ++windows)
        if (peakAmplitude(steady.samples.data() + start * 2, 48, 2, 0) < 0.1) ++silent;
    EXPECT_LE(silent, late * 12) << silent << " of " << windows << " milliseconds are silent, with " << late
                                 << " late cycles";
}

TEST(AudioToolsTest, RecordsTheMicrophoneTone) {
    TestServer server;
    ASSERT_EQ(audiotest::Run({tool("audioctl"), "signal", "BuiltInMicrophoneDevice", "sine", "440", "-20"}), 0);
    std::string out;
    std::string file = server.dir() + "/mic.wav";
    ASSERT_EQ(audiotest::Run({tool("audio-record"), "--device", "BuiltInMicrophoneDevice", "--duration", "1", "--output", file}, &out), 0)
        << out;
    auto reports = parseReport(out);
    ASSERT_EQ(reports.size(), 2u) << out;
    for (const auto& r : reports) {
        EXPECT_NEAR(r.hz, 440, 0.5) << out;
        EXPECT_NEAR(r.rms, -20, 0.1) << out;
    }
    AudioData a = readWav(file);
    EXPECT_EQ(a.sampleRate, 48000u);
    EXPECT_EQ(a.frames(), 48000u);
    EXPECT_EQ(a.format, SampleFormat::Float32);
}

TEST(AudioToolsTest, RecordsTwoTwentyFourBitStreamsChannelByChannel) {
    TestServer server;
    const double hz[] = {300, 500, 700, 900};
    for (int c = 0; c < 4; ++c)
        ASSERT_EQ(audiotest::Run({tool("audioctl"), "signal", "USBAudioInterface", "--channel", std::to_string(c + 1), "sine",
                       std::to_string(hz[c]), std::to_string(-6 - 3 * c)}),
                  0);
    std::string out;
    std::string file = server.dir() + "/usb.wav";
    ASSERT_EQ(audiotest::Run({tool("audio-record"), "--device", "USBAudioInterface", "--duration", "0.5", "--format", "int24",
                   "--output", file},
                  &out),
              0)
        << out;
    auto reports = parseReport(out);
    ASSERT_EQ(reports.size(), 4u) << out;
    for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(reports[c].hz, hz[c], 1.0) << "channel " << c + 1 << "\n" << out;
        EXPECT_NEAR(reports[c].rms, -6 - 3 * c, 0.1) << "channel " << c + 1 << "\n" << out;
    }
    AudioData a = readWav(file);
    EXPECT_EQ(a.sampleRate, 44100u);
    EXPECT_EQ(a.channels, 4u);
    EXPECT_EQ(a.format, SampleFormat::Int24);
}

TEST(AudioToolsTest, PlaysAWavFileUnderItsBundleIdAndEnds) {
    TestServer server;
    // A mono file at another rate: played on both channels, converted to 48000 Hz.
    AudioData wav;
    wav.sampleRate = 44100;
    wav.channels = 1;
    wav.format = SampleFormat::Int16;
    wav.samples.resize(44100 * 3);
    SineGenerator g = SineGenerator::make(660, -10, 44100);
    g.fill(wav.samples.data(), wav.samples.size(), 1);
    std::string file = server.dir() + "/tone.wav";
    writeWav(file, wav);

    Child player({tool("audio-play"), "--wav", file, "--bundle-id", "com.tidewell.test.player"});
    ASSERT_TRUE(player.waitFor("audio-play: playing", 20s)) << player.output();

    // The server knows the player by its bundle id.
    auto a = Address(kAudioHardwarePropertyProcessObjectList);
    UInt32 size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size), 0);
    std::vector<AudioObjectID> processes(size / sizeof(AudioObjectID));
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, processes.data()), 0);
    bool found = false;
    for (AudioObjectID p : processes)
        if (StringProperty(p, kAudioProcessPropertyBundleID) == "com.tidewell.test.player") found = true;
    EXPECT_TRUE(found);

    AudioData cap = CaptureFrames(server, "BuiltInOutputDevice", 48000, server.dir() + "/cap.wav");
    for (const ChannelReport& r : analyse(tail(cap, 0.2))) {
        EXPECT_NEAR(r.dominantHz, 660, 1.0);
        EXPECT_NEAR(r.rmsDbfs, -10, 0.2);
    }
    EXPECT_EQ(player.wait(30s), 0) << player.output();  // ends with the file
    EXPECT_NE(player.output().find("played 3.000 s"), std::string::npos) << player.output();
}

// A file that loops plays on past its end, from its start again, until the duration.
TEST(AudioToolsTest, ALoopedWavFilePlaysPastItsEndUntilTheDuration) {
    TestServer server;
    AudioData wav;
    wav.sampleRate = 48000;
    wav.channels = 1;
    wav.samples.resize(4800);  // a tenth of a second of a rising ramp
    for (size_t i = 0; i < wav.samples.size(); ++i) wav.samples[i] = float(i) / 9600.0f;
    std::string file = server.dir() + "/ramp.wav";
    writeWav(file, wav);
    Child player({tool("audio-play"), "--wav", file, "--loop", "yes", "--duration", "1.5"});
    ASSERT_TRUE(player.waitFor("audio-play: playing", 20s)) << player.output();
    AudioData cap = CaptureFrames(server, "BuiltInOutputDevice", 48000 / 2, server.dir() + "/cap.wav");
    EXPECT_EQ(player.wait(30s), 0) << player.output();
    EXPECT_NE(player.output().find("played 1.500 s"), std::string::npos) << player.output();
    // The ramp starts again every 4800 frames: the captured signal falls back to its start
    // where the file ends, and rises by one step between every other pair of frames.
    size_t restarts = 0;
    for (size_t i = 1; i < cap.frames(); ++i) {
        const float a = cap.samples[(i - 1) * cap.channels], b = cap.samples[i * cap.channels];
        if (a > 0.4f && b < 0.01f) ++restarts;
    }
    EXPECT_GE(restarts, 3u);

    std::string out;
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--sine", "440", "--loop", "yes"}, &out), 1);
    EXPECT_NE(out.find("--loop repeats a --wav file"), std::string::npos) << out;
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--wav", file, "--loop", "always"}, &out), 2);
}

TEST(AudioToolsTest, BadInputGivesClearErrors) {
    TestServer server;
    std::string out;
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--device", "NoSuchDevice", "--duration", "0.1"}, &out), 1);
    EXPECT_NE(out.find("no audio device has the UID \"NoSuchDevice\""), std::string::npos) << out;
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--sine", "loud"}, &out), 2);
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--level", "3"}, &out), 1);
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--wav", server.dir() + "/missing.wav"}, &out), 1);
    EXPECT_NE(out.find("cannot be opened"), std::string::npos) << out;
    EXPECT_EQ(audiotest::Run({tool("audio-record"), "--duration", "1"}, &out), 2);  // no output file
    EXPECT_EQ(audiotest::Run({tool("audio-record"), "--output", server.dir() + "/no/such/dir.wav"}, &out), 1);
    EXPECT_NE(out.find("cannot be opened"), std::string::npos) << out;
    // An output-only device has nothing to record.
    EXPECT_EQ(audiotest::Run({tool("audio-record"), "--device", "BuiltInOutputDevice", "--output", server.dir() + "/x.wav"}, &out), 1);
    EXPECT_NE(out.find("has no input channels"), std::string::npos) << out;

    // With no server the tools fail at once instead of waiting.
    server.stop();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(audiotest::Run({tool("audio-record"), "--output", server.dir() + "/y.wav"}, &out), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kAtOnce);
    EXPECT_NE(out.find("audio-record: "), std::string::npos) << out;
}


// With no server, each tool says so in words: the socket it tried and how to start one.
// A server that answers but fails a call with the same status is not called missing.
TEST(AudioToolsTest, WithNoServerEveryToolSaysSoAndHowToStartOne) {
    TestServer server;
    std::string out;
    ASSERT_EQ(audiotest::Run({tool("audioctl"), "fail", "AudioDeviceStart", "stop"}), 0);
    EXPECT_EQ(audiotest::Run({tool("audio-play"), "--duration", "0.1"}, &out), 1);
    EXPECT_NE(out.find("AudioDeviceStart failed ('stop')"), std::string::npos) << out;
    EXPECT_EQ(out.find("no audio server"), std::string::npos) << out;

    server.stop();
    const std::string said = "no audio server answers on " + server.socket() + "; start one with `audioctl start`";
    const std::vector<std::vector<std::string>> commands = {
        {tool("audio-play"), "--duration", "0.1"},
        {tool("audio-play"), "--device", "BuiltInOutputDevice", "--duration", "0.1"},
        {tool("audio-record"), "--output", server.dir() + "/y.wav"},
        {tool("audio-record"), "--device", "BuiltInMicrophoneDevice", "--output", server.dir() + "/y.wav"},
        {tool("audioctl"), "list"},
        {tool("audioctl"), "counters"},
        {tool("audioctl"), "status"},
        {tool("audioctl"), "capture", "BuiltInOutputDevice", server.dir() + "/c.wav"},
        {tool("audioctl"), "signal", "BuiltInMicrophoneDevice", "silence"},
    };
    for (const auto& command : commands) {
        EXPECT_EQ(audiotest::Run(command, &out), 1) << command[0] << " " << command[1];
        EXPECT_NE(out.find(said), std::string::npos) << command[0] << " " << command[1] << ":\n" << out;
    }
}

}  // namespace
