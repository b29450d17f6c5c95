#pragma once
// How wires look: which wires are in focus (selected, hovered, or touching the hovered port),
// the colour each wire takes from its source or monitor, and how strongly it is drawn.

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/RoutingPort.h"
#include "TidewellCore/ConfigModel.h"

#include <QColor>

#include <optional>
#include <string>

namespace tidewell {

// What the pointer and the selection single out on the canvas.
struct RoutingWireFocus {
    std::optional<std::string> selectedWireID;
    std::optional<std::string> hoveredWireID;
    std::optional<RoutingPortID> hoveredPortID;

    // Selected, hovered, or one of its ends is the hovered port's end. The port's role is not
    // compared, so either port of a device channel focuses the wires arriving and leaving.
    bool isFocused(const Wire& wire) const;
    // Anything selected or hovered; the wires out of focus are then dimmed. A selection that
    // names no drawable wire still counts.
    bool hasFocusTarget() const;

    bool operator==(const RoutingWireFocus&) const = default;
};

// The palette index of a wire: its source's index among the device's sources; else, for a
// wire into a monitor, the number of sources plus the monitor's index; else none.
std::optional<int> wireColorIndex(const DeviceConfig& device, const Wire& wire);

// The wire's colour from the theme's wire palette, or the accent colour without an index.
QColor wireBaseColor(const DeviceConfig& device, const Wire& wire, ColorScheme scheme);

// Opaque when focused; dimmed strongly while something else is in focus, lightly otherwise.
QColor wireStrokeColor(const QColor& base, bool focused, bool hasFocusTarget, ColorScheme scheme);

}  // namespace tidewell
