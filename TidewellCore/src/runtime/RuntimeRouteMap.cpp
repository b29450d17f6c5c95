#include "TidewellCore/RuntimeRouteMap.h"

#include <algorithm>

namespace tidewell::RuntimeRouteMap {

std::vector<RuntimeChannelRoute> defaultStereoRoutes()
{
    return {{1, 1}, {2, 2}};
}

std::vector<RuntimeChannelRoute> identityRoutes(int64_t channelCount)
{
    std::vector<RuntimeChannelRoute> routes;
    const int64_t n = std::min<int64_t>(channelCount, static_cast<int64_t>(maximumRouteCount));
    for (int64_t c = 1; c <= n; ++c) {
        routes.emplace_back(c, c);
    }
    return routes;
}

std::vector<RuntimeChannelRoute> sourceRoutes(std::string_view sourceID, const DeviceConfig &device,
                                              int64_t supportedOutputChannelCount)
{
    std::vector<RuntimeChannelRoute> routes;
    for (const Wire &wire : device.wires) {
        if (routes.size() == maximumRouteCount) {
            break;
        }
        if (wire.from.kind == EndpointKind::source && wire.from.ownerID == sourceID &&
            wire.to.kind == EndpointKind::deviceOutput && wire.to.ownerID == device.id && wire.from.channel >= 1 &&
            wire.to.channel >= 1 && wire.to.channel <= supportedOutputChannelCount) {
            routes.emplace_back(wire.from.channel, wire.to.channel);
        }
    }
    return routes;
}

std::vector<RuntimeChannelRoute> sourceRoutes(std::string_view sourceID, const DeviceConfig &device)
{
    return sourceRoutes(sourceID, device, device.channelCount);
}

std::vector<RuntimeChannelRoute> monitorRoutes(std::string_view monitorID, const DeviceConfig &device,
                                               int64_t supportedInputChannelCount,
                                               int64_t supportedOutputChannelCount)
{
    std::vector<RuntimeChannelRoute> routes;
    for (const Wire &wire : device.wires) {
        if (routes.size() == maximumRouteCount) {
            break;
        }
        if (wire.from.kind == EndpointKind::deviceOutput && wire.from.ownerID == device.id &&
            wire.to.kind == EndpointKind::monitor && wire.to.ownerID == monitorID && wire.from.channel >= 1 &&
            wire.from.channel <= supportedInputChannelCount && wire.to.channel >= 1 &&
            wire.to.channel <= supportedOutputChannelCount) {
            routes.emplace_back(wire.from.channel, wire.to.channel);
        }
    }
    return routes;
}

std::vector<RuntimeChannelRoute> monitorRoutes(std::string_view monitorID, const DeviceConfig &device)
{
    int64_t outputLimit = 2;
    for (const MonitorConfig &monitor : device.monitors) {
        if (monitor.id == monitorID) {
            outputLimit = monitor.channelCount;
            break;
        }
    }
    return monitorRoutes(monitorID, device, device.channelCount, outputLimit);
}

std::string environmentValue(const std::vector<RuntimeChannelRoute> &routes)
{
    std::string text;
    for (size_t i = 0; i < routes.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        text += std::to_string(routes[i].sourceChannel);
        text += ':';
        text += std::to_string(routes[i].outputChannel);
    }
    return text;
}

std::string defaultStereoEnvironmentValue()
{
    return environmentValue(defaultStereoRoutes());
}

} // namespace tidewell::RuntimeRouteMap
