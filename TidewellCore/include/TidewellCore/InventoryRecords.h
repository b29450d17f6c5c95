// Records in which the core hands out the audio-device inventory and the capturable
// applications, plus the records declared for health and installation reports, and the JSON
// form of a channel route. Each has a JSON form whose keys are its field names; an absent
// optional is left out.
#pragma once

#include "TidewellCore/ConfigValidator.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

// One direction of one audio device.
struct AudioDeviceInfo {
    std::string uid;
    std::string name;
    int64_t channelCount = 0;
    bool isDefault = false;
    // One per channel ("" for a channel without a distinct name); absent when none has one.
    std::optional<std::vector<std::string>> channelNames;

    bool operator==(const AudioDeviceInfo &) const = default;
};

struct AudioDeviceInventory {
    std::vector<AudioDeviceInfo> inputs;  // the default first, then by name
    std::vector<AudioDeviceInfo> outputs; // likewise

    bool operator==(const AudioDeviceInventory &) const = default;
};

// A running application that can be captured as an application source.
struct ApplicationSourceCandidate {
    std::string displayName;
    std::optional<std::string> bundleIdentifier;
    std::optional<int32_t> pid;
    std::optional<uint64_t> processObjectID;

    bool operator==(const ApplicationSourceCandidate &) const = default;
};

enum class PermissionStatus { notDetermined, granted, denied, restricted, unknown };

inline constexpr std::array<PermissionStatus, 5> allPermissionStatuses = {
    PermissionStatus::notDetermined, PermissionStatus::granted, PermissionStatus::denied,
    PermissionStatus::restricted, PermissionStatus::unknown};

std::string_view rawValue(PermissionStatus status);
// Exact, case-sensitive.
std::optional<PermissionStatus> permissionStatusFromRawValue(std::string_view raw);

struct DeviceTemplate {
    std::string name;
    double sampleRate = 0;
    int64_t channelCount = 0;

    bool operator==(const DeviceTemplate &) const = default;
};

struct HealthReport {
    std::string agentVersion;
    std::string minimumSupportedOS;
    std::string configURL;
    int64_t deviceCount = 0;
    ValidationResult validation;
    PermissionStatus audioCapturePermission = PermissionStatus::unknown;
    PermissionStatus microphonePermission = PermissionStatus::unknown;
    bool halDriverLoaded = false;

    bool operator==(const HealthReport &) const = default;
};

// One of the product's own virtual devices, with its channel counts in each direction.
struct HALDeviceSummary {
    std::string uid;
    std::string name;
    int64_t inputChannelCount = 0;
    int64_t outputChannelCount = 0;

    bool operator==(const HALDeviceSummary &) const = default;
};

struct RuntimeChannelRoute;   // TidewellCore/RuntimeRouteMap.h

struct InstallResult {
    bool succeeded = false;
    std::string message;

    bool operator==(const InstallResult &) const = default;
};

// JSON text of the records above. encode throws EncodingError (a non-finite number);
// decode throws DecodingError (a missing or mistyped required key fails the whole record).
namespace InventoryJSON {

std::string encode(const AudioDeviceInfo &value);
std::string encode(const AudioDeviceInventory &value);
std::string encode(const ApplicationSourceCandidate &value);
std::string encode(PermissionStatus value);
std::string encode(const DeviceTemplate &value);
std::string encode(const HealthReport &value);
std::string encode(const InstallResult &value);
std::string encode(const HALDeviceSummary &value);
// Keys "sourceChannel" and "outputChannel", both required when reading.
std::string encode(const RuntimeChannelRoute &value);

template <class T>
T decode(std::string_view text);

} // namespace InventoryJSON

} // namespace tidewell
