#include "TidewellApp/RoutingWireStyle.h"

#include "TidewellApp/Theme.h"

#include <algorithm>

namespace tidewell {

bool RoutingWireFocus::isFocused(const Wire& wire) const {
    if (selectedWireID == wire.id || hoveredWireID == wire.id) return true;
    if (!hoveredPortID) return false;
    const RoutingEndpointID& port = hoveredPortID->endpoint;
    return port == routingEndpoint(wire.from) || port == routingEndpoint(wire.to);
}

bool RoutingWireFocus::hasFocusTarget() const {
    return selectedWireID || hoveredWireID || hoveredPortID;
}

std::optional<int> wireColorIndex(const DeviceConfig& device, const Wire& wire) {
    if (wire.from.kind == EndpointKind::source) {
        const auto& sources = device.sources;
        const auto it = std::find_if(sources.begin(), sources.end(),
                                     [&](const SourceConfig& s) { return s.id == wire.from.ownerID; });
        if (it != sources.end()) return int(it - sources.begin());
    }
    if (wire.to.kind == EndpointKind::monitor) {
        const auto& monitors = device.monitors;
        const auto it = std::find_if(monitors.begin(), monitors.end(),
                                     [&](const MonitorConfig& m) { return m.id == wire.to.ownerID; });
        if (it != monitors.end()) return int(device.sources.size()) + int(it - monitors.begin());
    }
    return std::nullopt;
}

QColor wireBaseColor(const DeviceConfig& device, const Wire& wire, ColorScheme scheme) {
    const auto index = wireColorIndex(device, wire);
    return index ? ZVTheme::wireColor(*index, scheme) : Theme::accent(scheme);
}

QColor wireStrokeColor(const QColor& base, bool focused, bool hasFocusTarget, ColorScheme scheme) {
    if (focused) return base;
    const bool dark = scheme == ColorScheme::dark;
    QColor colour = base;
    if (hasFocusTarget)
        colour.setAlphaF(dark ? 0.14f : 0.2f);
    else
        colour.setAlphaF(dark ? 0.62f : 0.78f);
    return colour;
}

}  // namespace tidewell
