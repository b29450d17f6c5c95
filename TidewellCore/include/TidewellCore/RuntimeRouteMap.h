// Channel routes: one-based (source channel, output channel) pairs derived from a device's
// wires, and their text form "s:o" joined by "," that helper programs read.
#pragma once

#include "TidewellCore/ConfigModel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

struct RuntimeChannelRoute {
    int64_t sourceChannel = 0;
    int64_t outputChannel = 0;

    RuntimeChannelRoute() = default;
    RuntimeChannelRoute(int64_t sourceChannel, int64_t outputChannel)
        : sourceChannel(sourceChannel), outputChannel(outputChannel)
    {
    }
    bool operator==(const RuntimeChannelRoute &) const = default;
};

namespace RuntimeRouteMap {

// No derived route list is longer than this.
inline constexpr size_t maximumRouteCount = 256;

std::vector<RuntimeChannelRoute> defaultStereoRoutes();

// (1, 1) ... (n, n) with n = min(channelCount, 256); empty below 1.
std::vector<RuntimeChannelRoute> identityRoutes(int64_t channelCount);

// The wires from source `sourceID` to this device's output channels 1...limit, in wire order.
std::vector<RuntimeChannelRoute> sourceRoutes(std::string_view sourceID, const DeviceConfig &device,
                                              int64_t supportedOutputChannelCount);
std::vector<RuntimeChannelRoute> sourceRoutes(std::string_view sourceID, const DeviceConfig &device);

// The wires from this device's output channels 1...inputLimit to monitor `monitorID`'s
// channels 1...outputLimit, in wire order.
std::vector<RuntimeChannelRoute> monitorRoutes(std::string_view monitorID, const DeviceConfig &device,
                                               int64_t supportedInputChannelCount,
                                               int64_t supportedOutputChannelCount);
// Limits: the device's channel count, and the monitor's (2 when the device has no such monitor).
std::vector<RuntimeChannelRoute> monitorRoutes(std::string_view monitorID, const DeviceConfig &device);

// "s:o" per route, joined by ","; nothing is filtered or sorted.
std::string environmentValue(const std::vector<RuntimeChannelRoute> &routes);
std::string defaultStereoEnvironmentValue();

} // namespace RuntimeRouteMap

} // namespace tidewell
