#include "TidewellApp/RoutingWireGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tidewell {

double routingWireControlDistance(QPointF start, QPointF end) {
    return std::clamp(std::abs(end.x() - start.x()) * 0.45, 42.0, 120.0);
}

QPointF RoutingWirePath::firstControl() const {
    return {start.x() + routingWireControlDistance(start, end), start.y()};
}

QPointF RoutingWirePath::secondControl() const {
    return {end.x() - routingWireControlDistance(start, end), end.y()};
}

QPointF RoutingWirePath::pointAt(double t) const {
    const double u = 1.0 - t;
    return u * u * u * start + 3 * u * u * t * firstControl() + 3 * u * t * t * secondControl() +
           t * t * t * end;
}

QPainterPath RoutingWirePath::path() const {
    QPainterPath curve(start);
    curve.cubicTo(firstControl(), secondControl(), end);
    return curve;
}

std::optional<std::pair<RoutingPortID, RoutingPortID>> routingWirePorts(const Wire& wire) {
    const auto ends = [&](RoutingPortRole fromRole, RoutingPortRole toRole) {
        return std::pair{RoutingPortID{routingEndpoint(wire.from), fromRole},
                         RoutingPortID{routingEndpoint(wire.to), toRole}};
    };
    if (wire.from.kind == EndpointKind::source && wire.to.kind == EndpointKind::deviceOutput)
        return ends(RoutingPortRole::sourceOutput, RoutingPortRole::outputInput);
    if (wire.from.kind == EndpointKind::deviceOutput && wire.to.kind == EndpointKind::monitor)
        return ends(RoutingPortRole::outputOutput, RoutingPortRole::monitorInput);
    return std::nullopt;
}

std::optional<RoutingWireLine> routingWireLine(const Wire& wire, const RoutingPortFrames& frames) {
    const auto ports = routingWirePorts(wire);
    if (!ports) return std::nullopt;
    const auto from = frames.find(ports->first);
    const auto to = frames.find(ports->second);
    if (from == frames.end() || to == frames.end()) return std::nullopt;
    const QPointF start = from->second.center();
    const QPointF end = to->second.center();
    return RoutingWireLine{start, end, (start + end) / 2.0};
}

double routingWireDistance(QPointF point, QPointF start, QPointF end) {
    const RoutingWirePath curve{start, end};
    double nearest = std::numeric_limits<double>::max();
    for (int i = 0; i <= 32; ++i) {
        const QPointF offset = curve.pointAt(i / 32.0) - point;
        nearest = std::min(nearest, std::hypot(offset.x(), offset.y()));
    }
    return nearest;
}

}  // namespace tidewell
