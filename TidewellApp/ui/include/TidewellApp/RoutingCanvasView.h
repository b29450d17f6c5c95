#pragma once
// The routing editor of one virtual device: the sources, the device's output channels and the
// monitors side by side, with the device's wires drawn over them. The user drags from a port
// to connect, hovers a wire to highlight it, clicks it to select it and deletes it with the
// button on it.
//
// The rules live in RoutingCanvasState; this widget feeds it pointer, port and drag reports in
// its own coordinates (it is the "routingCanvas" its ports measure in), collects the ports'
// frames after layout, and hands connect and delete to the application model. The three
// columns live as long as the canvas: each edit of the device is handed to them, and each
// keeps the rows whose items still exist, so an open volume control or a hovered port
// survives an edit elsewhere.
//
// The columns share the canvas's width equally, `columnSpacing` apart. The canvas reaches
// `overhang()` past the columns' outer visible edges, where the outer cards' shadows fall:
// whoever places the canvas puts that much of it into the padding around it.

#include "TidewellApp/RoutingCanvasState.h"
#include "TidewellCore/ConfigModel.h"

#include <QMargins>
#include <QPointer>
#include <QWidget>

#include <functional>

class QWindow;

namespace tidewell {

class RoutingChannelPort;
class RoutingColumnsLayout;
class RoutingWireOverlay;
class TidewellAppModel;
class TidewellMeterModel;

// What a column builder is given.
struct RoutingCanvasContext {
    TidewellAppModel& model;
    const TidewellMeterModel& meters;
    const DeviceConfig& device;
};

// One column of the canvas. `updateRows` is called with every new copy of the device (and when
// the model's monitor outputs change); the column reconciles its rows with it. A row that goes
// away must be removed with deleteLater: the update can come from inside that row's own port
// report (a connect saved the device).
class RoutingCanvasColumn : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void updateRows(const RoutingCanvasContext& context) = 0;
};
using RoutingColumnFactory = std::function<RoutingCanvasColumn*(const RoutingCanvasContext&)>;

class RoutingCanvasView : public QWidget {
    Q_OBJECT
public:
    static constexpr int columnSpacing = 14;
    // How far the canvas reaches past its columns' visible edges, left and right.
    static QMargins overhang();

    RoutingCanvasView(TidewellAppModel& model, const TidewellMeterModel& meters,
                      DeviceConfig device, QWidget* parent = nullptr);
    ~RoutingCanvasView() override;

    // A new copy of the device (the canvas also follows the model's saved configuration). The
    // rows are rebuilt when its ports change; the interaction state stays.
    void setDevice(const DeviceConfig& device);
    const DeviceConfig& device() const { return state_.device(); }

    // Replaces the three columns, left to right, with ones made by these factories.
    void setColumnFactories(RoutingColumnFactory sources, RoutingColumnFactory outputs,
                            RoutingColumnFactory monitors);
    // The columns, left to right.
    QList<RoutingCanvasColumn*> columns() const;

    const RoutingCanvasState& state() const { return state_; }
    RoutingWireOverlay* overlay() const { return overlay_; }
    // The ports of the current rows.
    QList<RoutingChannelPort*> ports() const;
    RoutingChannelPort* port(const RoutingPortID& id) const;
    // Reads every port's frame now (normally done after each layout pass).
    void refreshPortFrames();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createColumns();
    void updateColumns();
    void afterRowsChanged();
    void retargetMeters();
    void connectPorts();
    void schedulePortFrames();
    void watchWindow();
    void showState();
    void highlightDropTargets();
    bool handleWindowPointer(QEvent* event);

    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    RoutingCanvasState state_;
    RoutingColumnFactory factories_[3];
    RoutingColumnsLayout* row_;
    QList<QPointer<RoutingCanvasColumn>> columns_;
    RoutingWireOverlay* overlay_;
    QPointer<QWindow> watched_;
    bool framesScheduled_ = false;
    bool swallowRelease_ = false;
};

}  // namespace tidewell
