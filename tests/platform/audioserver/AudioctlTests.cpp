// audioctl from the command line, as a person or a script uses it.
#include "TestServer.h"

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>
#include <gtest/gtest.h>

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
