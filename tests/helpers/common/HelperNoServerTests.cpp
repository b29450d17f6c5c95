// A helper that finds no audio server says so in words, after the failed call's own line:
// the socket it tried and how to start a server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestServer.h"

namespace {

TEST(HelperWithoutServer, EveryHelperSaysNoServerAnswersAndHowToStartOne) {
    audiotest::TempDir dir;
    const std::string socket = dir.path() + "/no-server/control";
    setenv("AUDIOSERVER_SOCKET", socket.c_str(), 1);
    setenv("TIDEWELL_SOURCE_INPUT_UID", "BuiltInMicrophoneDevice", 1);
    const std::string said = "no audio server answers on " + socket + "; start one with `audioctl start`";
    for (const char* name : {"tidewell-process-tap", "tidewell-monitor", "tidewell-hardware-source"}) {
        std::string out;
        int status = audiotest::Run({audiotest::BinDir() + "/" + name}, &out);
        EXPECT_NE(status, 0) << name;
        // The call's own report stays, and the words follow it.
        EXPECT_NE(out.find("AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices) failed: 1937010544 ('stop')\n" + said),
                  std::string::npos)
            << name << ":\n" << out;
    }
}

}  // namespace
