#include "TidewellApp/RoutingCanvasState.h"

#include "TidewellApp/RoutingWireGeometry.h"

#include <limits>

namespace tidewell {

namespace {

QRectF grown(const QRectF& rect, double by) { return rect.adjusted(-by, -by, by, by); }

double distanceSquared(QPointF a, QPointF b) {
    const QPointF d = a - b;
    return d.x() * d.x() + d.y() * d.y();
}

WireEndpoint wireEnd(const RoutingEndpointID& endpoint) {
    return WireEndpoint{endpointKindFromText(endpoint.kind), endpoint.ownerID, endpoint.channel};
}

}  // namespace

bool containsHalfOpen(const QRectF& rect, QPointF point) {
    return point.x() >= rect.left() && point.x() < rect.right() && point.y() >= rect.top() &&
           point.y() < rect.bottom();
}

RoutingCanvasState::RoutingCanvasState(DeviceConfig device) : device_(std::move(device)) {}

std::optional<std::string> RoutingCanvasState::wireID(QPointF point) const {
    // Ports come first, so a port that a wire passes over can still be dragged from.
    for (const auto& [port, frame] : portFrames_) {
        if (containsHalfOpen(grown(frame, portReach), point)) return std::nullopt;
    }
    const Wire* best = nullptr;
    double bestDistance = std::numeric_limits<double>::max();
    for (const Wire& wire : device_.wires) {
        const auto line = routingWireLine(wire, portFrames_);
        if (!line) continue;
        const double distance = routingWireDistance(point, line->start, line->end);
        if (distance <= wireReach && distance < bestDistance) {
            best = &wire;
            bestDistance = distance;
        }
    }
    if (!best) return std::nullopt;
    return best->id;
}

bool RoutingCanvasState::hover(QPointF point) {
    auto found = wireID(point);
    if (found == hoveredWireID_) return false;
    hoveredWireID_ = std::move(found);
    return true;
}

bool RoutingCanvasState::pointerLeft() {
    if (!hoveredWireID_) return false;
    hoveredWireID_.reset();
    return true;
}

void RoutingCanvasState::tap() { selectedWireID_ = hoveredWireID_; }

void RoutingCanvasState::portHover(const RoutingPortID& port, bool hovering) {
    if (hovering) {
        hoveredPortID_ = port;
    } else if (hoveredPortID_ == port) {
        hoveredPortID_.reset();
    }
}

void RoutingCanvasState::beginDrag(const RoutingPortID& port, QPointF point) {
    activeDrag_ = ActiveWireDrag{port, point};
    selectedWireID_.reset();
}

std::optional<RoutingPortRole> RoutingCanvasState::targetRole(RoutingPortRole role) {
    switch (role) {
    case RoutingPortRole::sourceOutput:
        return RoutingPortRole::outputInput;
    case RoutingPortRole::outputOutput:
        return RoutingPortRole::monitorInput;
    case RoutingPortRole::outputInput:
    case RoutingPortRole::monitorInput:
        break;
    }
    return std::nullopt;
}

std::optional<RoutingPortID> RoutingCanvasState::destinationPort(const RoutingPortID& from,
                                                                 QPointF point) const {
    const auto role = targetRole(from.role);
    if (!role) return std::nullopt;
    // Grown frames of neighbouring rows overlap; the nearest centre decides, not the table.
    const RoutingPortID* best = nullptr;
    double bestDistance = std::numeric_limits<double>::max();
    std::string bestID;
    for (const auto& [port, frame] : portFrames_) {
        if (port.role != *role || !containsHalfOpen(grown(frame, portReach), point)) continue;
        const double distance = distanceSquared(frame.center(), point);
        std::string id = port.id();
        if (!best || distance < bestDistance || (distance == bestDistance && id < bestID)) {
            best = &port;
            bestDistance = distance;
            bestID = std::move(id);
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

bool RoutingCanvasState::finishDrag(const RoutingPortID& port, QPointF point) {
    const auto destination = destinationPort(port, point);
    activeDrag_.reset();
    if (!destination) return false;
    if (connect_) connect_(wireEnd(port.endpoint), wireEnd(destination->endpoint));
    return true;
}

}  // namespace tidewell
