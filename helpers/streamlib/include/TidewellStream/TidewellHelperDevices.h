#pragma once
// Audio-server utilities every helper program shares: device lookup, channel counts, the device
// buffer size, and the listener that stops a helper when the audio server restarts.

#include <AudioABI/AudioABI.h>

#include <cstddef>
#include <cstdint>

// Sum of the channels of the device's streams in the scope; 0 for device 0 or on any failure.
uint32_t ChannelCountForDevice(AudioObjectID device, AudioObjectPropertyScope scope);
// The same count, telling a stream configuration that could not be allocated (0, with
// *allocationFailed set) from a device without channels. `allocate` has calloc's shape; null
// means calloc.
uint32_t ChannelCountForDeviceChecked(AudioObjectID device, AudioObjectPropertyScope scope, bool* allocationFailed,
                                      void* (*allocate)(size_t count, size_t size) = nullptr);
// Sets the device's buffer frame size in the scope when that property is settable there.
bool SetDeviceBufferFrameSize(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t frames);
// The device's nominal sample rate; 0 for device 0, when it cannot be read, or when it is not a
// rate above 0.
double TidewellDeviceNominalSampleRate(AudioObjectID device);
// The device with exactly this UID (kAudioObjectUnknown when none is listed), or what kept the
// device list from being read: the failed call's name and status, or a failed allocation.
struct TidewellDeviceLookup {
    AudioObjectID device;
    OSStatus status;
    const char* failedCall;   // null unless a call failed
    bool allocationFailed;
};
TidewellDeviceLookup TidewellLookUpDeviceByUID(const char* uid);
// The device with exactly this UID; otherwise a line on standard error and exit status 1.
AudioObjectID FindDeviceByUID(const char* uid);
// The count in the variable when it is a whole decimal number above 0, else the device's output
// channels; then 0 becomes 2 and anything above 64 becomes 64.
uint32_t ResolveOutputChannelCount(const char* variableName, AudioObjectID device);

// Registers ServiceRestartedListener on the system object; a failure to register is ignored.
void InstallServiceRestartedListener();
// Says why on standard error and sets the stop flag, so the helper ends normally and the service
// starts it afresh against the new server.
OSStatus ServiceRestartedListener(AudioObjectID object, UInt32 addressCount, const AudioObjectPropertyAddress* addresses,
                                  void* clientData);
