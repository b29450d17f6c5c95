#pragma once
// Drawn over the routing canvas's three columns: every wire of the device as a curve from port
// to port, the wire being dragged (dashed, in the accent colour), and a round red
// "Delete Wire" button on the selected wire's midpoint.
//
// The overlay lets every pointer event through to the columns beneath. The delete button
// therefore lives beside it, in the overlay's parent, kept above it and placed in the parent's
// coordinates. The overlay covers its parent, so canvas coordinates are its own.

#include "TidewellApp/RoutingPort.h"
#include "TidewellApp/RoutingWireGeometry.h"
#include "TidewellApp/RoutingWireStyle.h"
#include "TidewellCore/ConfigModel.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include <QToolButton>

namespace tidewell {

class RoutingWireOverlay : public QWidget {
    Q_OBJECT
public:
    // Deletes the wire with this id from the device. The overlay clears the selection after it
    // returns, whether or not the deletion succeeded.
    using DeleteAction = std::function<void(const std::string& wireID)>;

    explicit RoutingWireOverlay(QWidget* parent = nullptr);
    ~RoutingWireOverlay() override;

    void setDevice(const DeviceConfig& device);
    const DeviceConfig& device() const { return device_; }
    void setPortFrames(const RoutingPortFrames& frames);
    const RoutingPortFrames& portFrames() const { return frames_; }
    void setActiveDrag(const std::optional<ActiveWireDrag>& drag);
    const std::optional<ActiveWireDrag>& activeDrag() const { return drag_; }

    void setSelectedWireID(const std::optional<std::string>& id);
    void setHoveredWireID(const std::optional<std::string>& id);
    void setHoveredPortID(const std::optional<RoutingPortID>& port);
    const RoutingWireFocus& focus() const { return focus_; }

    void setDeleteAction(DeleteAction action) { deleteAction_ = std::move(action); }

    // The selected wire's line when it is drawable: where the delete button sits.
    std::optional<RoutingWireLine> selectedWireLine() const;
    // The delete button, or null once its parent is gone.
    QToolButton* deleteButton() const { return deleteButton_; }
    // Runs the delete action for the selected wire and clears the selection.
    void deleteSelectedWire();

signals:
    // The selection changed here (the delete button clears it); the canvas mirrors it.
    void selectedWireIDChanged(const std::optional<std::string>& id);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void updateDeleteButton();
    void styleDeleteButton();

    DeviceConfig device_;
    RoutingPortFrames frames_;
    std::optional<ActiveWireDrag> drag_;
    RoutingWireFocus focus_;
    DeleteAction deleteAction_;
    QPointer<QToolButton> deleteButton_;
};

}  // namespace tidewell
