#pragma once
// The names of things on the routing canvas: the wire end a port stands for, the port itself
// (its end and its role), a drag in progress, and the frames the ports report to the canvas.
// Plain values, compared and hashed field by field; main thread only.

#include "TidewellCore/ConfigModel.h"

#include <QPointF>
#include <QRectF>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tidewell {

// The wire end a port stands for. `kind` is the configuration's raw endpoint-kind text
// ("source", "deviceOutput" or "monitor").
struct RoutingEndpointID {
    std::string kind;
    std::string ownerID;
    std::int64_t channel = 0;  // counted from 1

    // "kind:ownerID:channel", the channel in decimal: "source:abc:2".
    std::string id() const;

    bool operator==(const RoutingEndpointID&) const = default;
};

// The four kinds of port, in this order.
enum class RoutingPortRole { sourceOutput, outputInput, outputOutput, monitorInput };

std::string_view rawValue(RoutingPortRole role);
// Exactly the four raw values, case included; any other text gives no role.
std::optional<RoutingPortRole> routingPortRoleFromRawValue(std::string_view raw);

// The identity of one port. The left (outputInput) and right (outputOutput) ports of a device
// channel share their endpoint and differ only in role.
struct RoutingPortID {
    RoutingEndpointID endpoint;
    RoutingPortRole role = RoutingPortRole::sourceOutput;

    // "role:kind:ownerID:channel": "outputInput:deviceOutput:abc:1".
    std::string id() const;

    bool operator==(const RoutingPortID&) const = default;
};

// A drag in progress: the port it started from and the pointer, in canvas coordinates.
struct ActiveWireDrag {
    RoutingPortID port;
    QPointF location;

    bool operator==(const ActiveWireDrag&) const = default;
};

// The kind text of a configuration endpoint kind, and back. Any text other than "source" and
// "monitor" (a misspelt kind, the empty text) reads as deviceOutput.
std::string endpointKindText(EndpointKind kind);
EndpointKind endpointKindFromText(std::string_view text);

// The wire end of a configuration endpoint, as a port names it.
RoutingEndpointID routingEndpoint(const WireEndpoint& end);

}  // namespace tidewell

template <>
struct std::hash<tidewell::RoutingEndpointID> {
    std::size_t operator()(const tidewell::RoutingEndpointID& endpoint) const noexcept;
};

template <>
struct std::hash<tidewell::RoutingPortRole> {
    std::size_t operator()(tidewell::RoutingPortRole role) const noexcept;
};

template <>
struct std::hash<tidewell::RoutingPortID> {
    std::size_t operator()(const tidewell::RoutingPortID& port) const noexcept;
};

namespace tidewell {

// Every port's frame in canvas coordinates, as the ports report them.
using RoutingPortFrames = std::unordered_map<RoutingPortID, QRectF>;

// Merges `next` into `accumulated`; where both hold a port, the entry of `next` (the later
// port in view order) wins.
void mergePortFrames(RoutingPortFrames& accumulated, const RoutingPortFrames& next);

// How a port tells the canvas that the pointer entered (true) or left (false) it. A port
// outside any canvas holds the default handler, which does nothing.
using RoutingPortHoverHandler = std::function<void(const RoutingPortID&, bool)>;
RoutingPortHoverHandler defaultRoutingPortHover();

}  // namespace tidewell
