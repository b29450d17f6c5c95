// Device lookup, stream layout and argument parsing shared by audio-play and audio-record.
#pragma once

#include <AudioClient/AudioHardware.h>

#include <optional>
#include <string>
#include <vector>

namespace tidewell::tools {

// One stream of a device in one direction: its buffer in the IO proc's buffer list.
struct StreamLayout {
    uint32_t channels = 0;
    uint32_t bytesPerSample = 4;
    bool isFloat = true;
    bool operator==(const StreamLayout&) const = default;
};

struct DeviceInfo {
    AudioObjectID id = 0;
    std::string uid;
    double sampleRate = 0;
    std::vector<StreamLayout> streams;  // in buffer order, for the direction asked
    uint32_t totalChannels() const;
};

// Finds a device by UID, or the default output/input device when uid is empty, and reads
// its layout in the given scope. On failure returns nullopt and sets `error`.
std::optional<DeviceInfo> findDevice(const std::string& uid, bool input, std::string& error);

// A strictly parsed finite number ("12", "-3.5"); nullopt for anything else.
std::optional<double> parseNumber(const char* text);

// Converts one sample of a stream buffer to float.
float sampleAt(const uint8_t* data, const StreamLayout& layout);

// The status text for an OSStatus: its four characters when printable, else the number.
std::string statusText(OSStatus status);

// What a person reads when a call failed: "<what> (<status>)", or, when the failure is
// that no audio server answers, that fact with the socket path and how to start one.
std::string failure(const std::string& what, OSStatus status);

// Creates an IO proc on the device and starts it. On failure nothing is left behind,
// `error` says which call failed and with what status, and the result is false.
bool startIOProc(AudioObjectID device, AudioDeviceIOProc proc, void* context, AudioDeviceIOProcID& procID,
                 std::string& error);

}  // namespace tidewell::tools
