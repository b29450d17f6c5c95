#pragma once
// Running a helper program against a private audio server and hearing what it played.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "TestServer.h"

namespace helpertest {

inline std::string Program(const char* name) {
    return audiotest::BinDir() + "/" + name;
}

// Captures a device's output through the server for `seconds`.
inline tidewell::tools::AudioData CaptureOutput(audiotest::TestServer& server, const std::string& uid,
                                               double seconds) {
    const std::string path = server.dir() + "/capture-" + uid + ".wav";
    auto r = server.control({{"op", "captureStart"}, {"uid", uid}, {"path", path}});
    EXPECT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    r = server.control({{"op", "captureStop"}, {"uid", uid}});
    EXPECT_TRUE(r && r->value("ok", false)) << (r ? r->dump() : "no answer");
    return tidewell::tools::readWav(path);
}

// The audio after the first `skipSeconds`.
inline tidewell::tools::AudioData Tail(const tidewell::tools::AudioData& a, double skipSeconds) {
    tidewell::tools::AudioData t = a;
    const size_t skip = std::min(a.frames(), static_cast<size_t>(skipSeconds * a.sampleRate)) * a.channels;
    t.samples.erase(t.samples.begin(), t.samples.begin() + static_cast<long>(skip));
    return t;
}

inline uint32_t BufferFrameSize(const std::string& uid) {
    for (AudioObjectID id : audiotest::DeviceIDs()) {
        if (audiotest::StringProperty(id, kAudioDevicePropertyDeviceUID) == uid) {
            auto a = audiotest::Address(kAudioDevicePropertyBufferFrameSize);
            UInt32 frames = 0;
            UInt32 size = sizeof frames;
            if (AudioObjectGetPropertyData(id, &a, 0, nullptr, &size, &frames) == 0) {
                return frames;
            }
        }
    }
    return 0;
}

}  // namespace helpertest
