#include <gtest/gtest.h>

#include <AudioABI/AudioProperties.h>

#include <vector>

#include "TapClock.h"

namespace {

TidewellClockCandidate Device(AudioObjectID id, uint32_t transport, double rate = 48000) {
    return {id, true, true, transport, true, rate};
}

TEST(TapClock, PhysicalOutputsExcludeAggregatesVirtualAndUnreadable) {
    EXPECT_TRUE(IsPhysicalOutputDevice(Device(5, kAudioDeviceTransportTypeUSB)));
    EXPECT_FALSE(IsPhysicalOutputDevice(Device(0, kAudioDeviceTransportTypeUSB)));
    EXPECT_FALSE(IsPhysicalOutputDevice(Device(5, kAudioDeviceTransportTypeAggregate)));
    EXPECT_FALSE(IsPhysicalOutputDevice(Device(5, kAudioDeviceTransportTypeAutoAggregate)));
    EXPECT_FALSE(IsPhysicalOutputDevice(Device(5, kAudioDeviceTransportTypeVirtual)));
    EXPECT_FALSE(IsPhysicalOutputDevice(Device(5, 0)));
    auto noStreams = Device(5, kAudioDeviceTransportTypeUSB);
    noStreams.hasOutputStreams = false;
    EXPECT_FALSE(IsPhysicalOutputDevice(noStreams));
    auto unreadable = Device(5, kAudioDeviceTransportTypeUSB);
    unreadable.transportReadable = false;
    EXPECT_FALSE(IsPhysicalOutputDevice(unreadable));
}

TEST(TapClock, UsableClocksSkipBluetoothAndLowRates) {
    EXPECT_FALSE(IsUsableClockDevice(Device(5, kAudioDeviceTransportTypeBluetooth)));
    EXPECT_FALSE(IsUsableClockDevice(Device(5, kAudioDeviceTransportTypeBluetoothLE)));
    EXPECT_FALSE(IsUsableClockDevice(Device(5, kAudioDeviceTransportTypeUSB, 32000)));
    EXPECT_TRUE(IsUsableClockDevice(Device(5, kAudioDeviceTransportTypeUSB, 44100)));
    auto unknownRate = Device(5, kAudioDeviceTransportTypeUSB, 8000);
    unknownRate.rateReadable = false;
    EXPECT_TRUE(IsUsableClockDevice(unknownRate));
}

TEST(TapClock, BuiltInWinsThenTheFirstUsable) {
    std::vector<TidewellClockCandidate> devices = {
        Device(2, kAudioDeviceTransportTypeBluetooth), Device(3, kAudioDeviceTransportTypeAggregate),
        Device(4, kAudioDeviceTransportTypeUSB), Device(5, kAudioDeviceTransportTypeBuiltIn),
        Device(6, kAudioDeviceTransportTypeBuiltIn)};
    EXPECT_EQ(FirstPhysicalOutputDevice(devices.data(), devices.size()), 3u);
    devices.pop_back();
    devices.pop_back();
    EXPECT_EQ(FirstPhysicalOutputDevice(devices.data(), devices.size()), 2u);
    devices.pop_back();
    EXPECT_EQ(FirstPhysicalOutputDevice(devices.data(), devices.size()), devices.size());
    EXPECT_EQ(FirstPhysicalOutputDevice(nullptr, 0), 0u);
}

}  // namespace
