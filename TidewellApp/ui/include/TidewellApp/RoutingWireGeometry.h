#pragma once
// The curve of a wire, shared by drawing and hit-testing: one cubic Bézier segment that leaves
// its start towards larger x and enters its end from smaller x, so wires read left to right
// even between ports one above the other. All points are in canvas coordinates.

#include "TidewellApp/RoutingPort.h"
#include "TidewellCore/ConfigModel.h"

#include <QPainterPath>
#include <QPointF>

#include <optional>

namespace tidewell {

// How far the control points stand out from the ends: 0.45 of the horizontal span, at least
// 42 and at most 120 points.
double routingWireControlDistance(QPointF start, QPointF end);

// The curve from `start` to `end`. Its points are absolute, whatever it is drawn into.
struct RoutingWirePath {
    QPointF start;
    QPointF end;

    QPointF firstControl() const;
    QPointF secondControl() const;
    // The curve's point at parameter t in [0, 1].
    QPointF pointAt(double t) const;
    QPainterPath path() const;
};

// A wire's drawable line: from the centre of its from port's frame to the centre of its to
// port's frame, and the midpoint between them (which is also the curve's point at t = 0.5).
struct RoutingWireLine {
    QPointF start;
    QPointF end;
    QPointF midpoint;
};

// The two ports a wire joins: source channel to the device channel's left port, or the device
// channel's right port to a monitor channel. Any other pair of kinds joins no ports.
std::optional<std::pair<RoutingPortID, RoutingPortID>> routingWirePorts(const Wire& wire);

// The wire's line, or none when its ends are not source → deviceOutput or deviceOutput →
// monitor, or when either port has no frame.
std::optional<RoutingWireLine> routingWireLine(const Wire& wire, const RoutingPortFrames& frames);

// The distance from `point` to the curve from `start` to `end`, sampled at 33 evenly spaced
// parameters (cheap enough to run for every wire on every pointer move).
double routingWireDistance(QPointF point, QPointF start, QPointF end);

}  // namespace tidewell
