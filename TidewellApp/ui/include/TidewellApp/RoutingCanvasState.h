#pragma once
// What the routing canvas knows between events, and how pointer, tap and drag change it: the
// drag in progress, the selected and hovered wires, the hovered port and every port's frame.
// No widget in here: the canvas widget feeds it points in its own coordinates and draws what
// it holds, so the rules can be checked without events.

#include "TidewellApp/RoutingPort.h"
#include "TidewellCore/ConfigModel.h"

#include <QPointF>
#include <QRectF>

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace tidewell {

// True when the point lies at or past the rectangle's minimum edges and before its maximum
// edges (QRectF::contains takes the far edges in too).
bool containsHalfOpen(const QRectF& rect, QPointF point);

class RoutingCanvasState {
public:
    // Around a port this far, the pointer finds the port rather than a wire, and a drop finds it.
    static constexpr double portReach = 12.0;
    // A wire is under the pointer up to this distance from its curve.
    static constexpr double wireReach = 10.0;

    // Joins the two ends in the configuration (the canvas hands it to the model).
    using ConnectAction = std::function<void(const WireEndpoint& from, const WireEndpoint& to)>;

    explicit RoutingCanvasState(DeviceConfig device = {});

    const DeviceConfig& device() const { return device_; }
    // A new copy of the device; the interaction state stays.
    void setDevice(DeviceConfig device) { device_ = std::move(device); }
    void setConnectAction(ConnectAction action) { connect_ = std::move(action); }

    const std::optional<ActiveWireDrag>& activeDrag() const { return activeDrag_; }
    const std::optional<std::string>& selectedWireID() const { return selectedWireID_; }
    const std::optional<std::string>& hoveredWireID() const { return hoveredWireID_; }
    const std::optional<RoutingPortID>& hoveredPortID() const { return hoveredPortID_; }
    const RoutingPortFrames& portFrames() const { return portFrames_; }

    void setPortFrames(RoutingPortFrames frames) { portFrames_ = std::move(frames); }
    // The delete button clears the selection through here.
    void setSelectedWireID(std::optional<std::string> id) { selectedWireID_ = std::move(id); }

    // The wire under the point: none near any port; else the nearest wire within reach, the
    // earlier one in the device's list on equal distances.
    std::optional<std::string> wireID(QPointF point) const;

    // The pointer moved to `point` over the canvas; true when the hovered wire changed.
    bool hover(QPointF point);
    // The pointer left the canvas; true when a hovered wire was cleared.
    bool pointerLeft();
    // A click on the canvas: selects the hovered wire, or clears the selection.
    void tap();
    // A port reports the pointer entering (true) or leaving (false). A late leave from one
    // port does not clear a port entered since.
    void portHover(const RoutingPortID& port, bool hovering);

    // Every move of a drag from a port that starts wires.
    void beginDrag(const RoutingPortID& port, QPointF point);
    // The port of the role the dragged port connects to, whose frame grown by `portReach`
    // holds the point; where several do, the one whose centre is nearest the point (then the
    // lower id, so the answer never depends on table order).
    std::optional<RoutingPortID> destinationPort(const RoutingPortID& from, QPointF point) const;
    // The drag ends at `point`: connects to the destination when there is one. The drag is
    // over either way; returns whether a connection was asked for.
    bool finishDrag(const RoutingPortID& port, QPointF point);
    // The drag ends where no port can be dropped on: no connection.
    void cancelDrag() { activeDrag_.reset(); }

    // The role of the ports a drag from `role` may end on.
    static std::optional<RoutingPortRole> targetRole(RoutingPortRole role);

private:
    DeviceConfig device_;
    ConnectAction connect_;
    std::optional<ActiveWireDrag> activeDrag_;
    std::optional<std::string> selectedWireID_;
    std::optional<std::string> hoveredWireID_;
    std::optional<RoutingPortID> hoveredPortID_;
    RoutingPortFrames portFrames_;
};

}  // namespace tidewell
