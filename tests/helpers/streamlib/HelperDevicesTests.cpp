// The helpers' device utilities and restart listener against a private stand-in audio server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "TestServer.h"
#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperRuntime.h"

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

uint32_t BufferFrames(AudioObjectID device) {
    return U32Property(device, Address(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput));
}

}  // namespace

TEST(HelperDevices, ChannelCountsAddUpEveryStreamOfTheScope) {
    TestServer server;
    const AudioObjectID output = DeviceByUID("BuiltInOutputDevice");
    const AudioObjectID usb = DeviceByUID("USBAudioInterface");
    ASSERT_NE(output, 0u);
    ASSERT_NE(usb, 0u);
    EXPECT_EQ(ChannelCountForDevice(output, kAudioObjectPropertyScopeOutput), 2u);
    EXPECT_EQ(ChannelCountForDevice(output, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_EQ(ChannelCountForDevice(usb, kAudioObjectPropertyScopeInput), 4u);   // two 2-channel streams
    EXPECT_EQ(ChannelCountForDevice(0, kAudioObjectPropertyScopeOutput), 0u);
    EXPECT_EQ(ChannelCountForDevice(0x7ffffff0, kAudioObjectPropertyScopeOutput), 0u);
}

void* RefuseAllocation(size_t, size_t) {
    return nullptr;
}

// A stream configuration that cannot be allocated must not pass for a device without channels:
// the hardware source names the two failures differently.
TEST(HelperDevices, AnUnallocatedStreamConfigurationIsToldFromNoChannels) {
    TestServer server;
    const AudioObjectID usb = DeviceByUID("USBAudioInterface");
    const AudioObjectID output = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(usb, 0u);
    bool allocationFailed = true;
    EXPECT_EQ(ChannelCountForDeviceChecked(usb, kAudioObjectPropertyScopeInput, &allocationFailed), 4u);
    EXPECT_FALSE(allocationFailed);
    EXPECT_EQ(ChannelCountForDeviceChecked(output, kAudioObjectPropertyScopeInput, &allocationFailed), 0u);
    EXPECT_FALSE(allocationFailed);
    EXPECT_EQ(ChannelCountForDeviceChecked(usb, kAudioObjectPropertyScopeInput, &allocationFailed, RefuseAllocation), 0u);
    EXPECT_TRUE(allocationFailed);
}

TEST(HelperDevices, FindsADeviceByItsExactUID) {
    TestServer server;
    EXPECT_EQ(FindDeviceByUID("USBAudioInterface"), DeviceByUID("USBAudioInterface"));
    EXPECT_EQ(FindDeviceByUID("BuiltInOutputDevice"), DeviceByUID("BuiltInOutputDevice"));
}

// A failed lookup ends the program, so it runs in a child process of its own.
TEST(HelperDevices, AnUnknownUIDEndsTheProgram) {
    TestServer server;
    std::string output;
    EXPECT_EQ(audiotest::Run({BinDir() + "/streamlib_device_probe", "usbaudiointerface"}, &output), 1);
    EXPECT_EQ(output, "Audio device UID usbaudiointerface is not registered with Core Audio.\n");
    EXPECT_EQ(audiotest::Run({BinDir() + "/streamlib_device_probe", "USBAudioInterface"}, &output), 0);
    EXPECT_EQ(output, "device " + std::to_string(DeviceByUID("USBAudioInterface")) + "\n");
}

TEST(HelperDevices, NoServerEndsTheProgramWithTheFailedStep) {
    TestServer server;
    server.stop();
    std::string output;
    EXPECT_EQ(audiotest::Run({BinDir() + "/streamlib_device_probe", "BuiltInOutputDevice"}, &output), 1);
    EXPECT_EQ(output.rfind("AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices) failed: ", 0), 0u) << output;
}

TEST(HelperDevices, BufferFrameSizeIsSetWhereSettable) {
    TestServer server;
    const AudioObjectID output = DeviceByUID("BuiltInOutputDevice");
    ASSERT_TRUE(SetDeviceBufferFrameSize(output, kAudioObjectPropertyScopeOutput, 256));
    EXPECT_EQ(BufferFrames(output), 256u);
    EXPECT_FALSE(SetDeviceBufferFrameSize(0x7ffffff0, kAudioObjectPropertyScopeOutput, 256));
}

TEST(HelperDevices, OutputChannelCountFromTheVariableOrTheDevice) {
    TestServer server;
    const AudioObjectID output = DeviceByUID("BuiltInOutputDevice");
    const AudioObjectID microphone = DeviceByUID("BuiltInMicrophoneDevice");
    struct Case {
        const char* value;
        AudioObjectID device;
        uint32_t channels;
    };
    for (const Case c : {Case{nullptr, output, 2}, Case{"6", output, 6}, Case{"0", output, 2}, Case{"letters", output, 2},
                         Case{"", output, 2}, Case{"100", output, 64}, Case{"4x", output, 2}, Case{nullptr, microphone, 2},
                         Case{nullptr, 0, 2}, Case{"-3", output, 2}}) {
        if (c.value != nullptr) {
            setenv("TIDEWELL_TAP_OUTPUT_CHANNELS", c.value, 1);
        } else {
            unsetenv("TIDEWELL_TAP_OUTPUT_CHANNELS");
        }
        EXPECT_EQ(ResolveOutputChannelCount("TIDEWELL_TAP_OUTPUT_CHANNELS", c.device), c.channels)
            << (c.value != nullptr ? c.value : "(unset)");
    }
    unsetenv("TIDEWELL_TAP_OUTPUT_CHANNELS");

    // A device with more output channels than a stream may carry gives 64.
    auto reply = server.control(
        {{"op", "addDevice"}, {"name", "Wide"}, {"uid", "wide"}, {"outputs", {32, 32, 32, 32}}, {"rate", 48000}});
    ASSERT_TRUE(reply && reply->value("ok", false)) << (reply ? reply->dump() : "no answer");
    const AudioObjectID wide = DeviceByUID("wide");
    EXPECT_EQ(ChannelCountForDevice(wide, kAudioObjectPropertyScopeOutput), 128u);
    EXPECT_EQ(ResolveOutputChannelCount("TIDEWELL_TAP_OUTPUT_CHANNELS", wide), 64u);
}

TEST(HelperDevices, AnAudioServerRestartAsksTheHelperToStop) {
    TestServer server;
    ASSERT_NE(DeviceByUID("BuiltInOutputDevice"), 0u);
    gStopRequested.store(0);
    testing::internal::CaptureStderr();
    InstallServiceRestartedListener();
    server.stop();
    server.start();
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (gStopRequested.load() == 0 && std::chrono::steady_clock::now() < until) {
        DeviceIDs();   // any call lets the library notice the new server
        std::this_thread::sleep_for(20ms);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gStopRequested.load(), 1);
    EXPECT_NE(said.find("Core Audio server restarted; exiting to reattach cleanly.\n"), std::string::npos) << said;
    const AudioObjectPropertyAddress address = Address(kAudioHardwarePropertyServiceRestarted);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &address, ServiceRestartedListener, nullptr);
}
