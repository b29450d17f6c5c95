#include "TidewellApp/RoutingCanvasView.h"

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingColumnsLayout.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/RoutingWireOverlay.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/TidewellMeterModel.h"

#include <QEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

namespace tidewell {

RoutingCanvasView::RoutingCanvasView(TidewellAppModel& model, const TidewellMeterModel& meters,
                                     DeviceConfig device, QWidget* parent)
    : QWidget(parent), model_(model), meters_(meters), state_(std::move(device)) {
    // The ports measure their drags in the nearest ancestor of this name.
    setObjectName(QStringLiteral("routingCanvas"));
    setMouseTracking(true);
    factories_[0] = SourcesColumn::factory();
    factories_[1] = OutputChannelsColumn::factory();
    factories_[2] = monitorsColumnFactory();

    row_ = new RoutingColumnsLayout(columnSpacing, overhang(), this);

    overlay_ = new RoutingWireOverlay(this);
    overlay_->setDevice(state_.device());
    overlay_->setDeleteAction([this](const std::string& wireID) {
        model_.deleteWire(state_.device().id, wireID);
    });
    connect(overlay_, &RoutingWireOverlay::selectedWireIDChanged, this,
            [this](const std::optional<std::string>& id) { state_.setSelectedWireID(id); });

    state_.setConnectAction([this](const WireEndpoint& from, const WireEndpoint& to) {
        model_.connectWire(state_.device().id, from, to);
    });

    // The canvas shows the device as saved.
    connect(&model_, &TidewellAppModel::snapshotChanged, this, [this] {
        for (const auto& device : model_.snapshot().devices) {
            if (device.id == state_.device().id) {
                setDevice(device);
                return;
            }
        }
    });
    // A monitor's output device may come or go.
    connect(&model_, &TidewellAppModel::monitorOutputDevicesChanged, this,
            &RoutingCanvasView::updateColumns);

    createColumns();
}

QMargins RoutingCanvasView::overhang() {
    // Each column keeps room beside its cards for their shadows (the same on both sides).
    const QMargins shadow = GlassCard::shadowMargins();
    return {shadow.left(), 0, shadow.right(), 0};
}

RoutingCanvasView::~RoutingCanvasView() {
    if (watched_) watched_->removeEventFilter(this);
}

void RoutingCanvasView::setDevice(const DeviceConfig& device) {
    if (device == state_.device()) return;
    state_.setDevice(device);
    overlay_->setDevice(device);
    updateColumns();
}

void RoutingCanvasView::setColumnFactories(RoutingColumnFactory sources,
                                           RoutingColumnFactory outputs,
                                           RoutingColumnFactory monitors) {
    factories_[0] = std::move(sources);
    factories_[1] = std::move(outputs);
    factories_[2] = std::move(monitors);
    createColumns();
}

QList<RoutingCanvasColumn*> RoutingCanvasView::columns() const {
    QList<RoutingCanvasColumn*> found;
    for (const auto& column : columns_)
        if (column) found.append(column);
    return found;
}

void RoutingCanvasView::createColumns() {
    // Replacing the columns may come from inside a port's own drag report: the old ones go
    // once that report has returned.
    for (const auto& column : columns_) {
        if (!column) continue;
        row_->removeWidget(column);
        column->hide();
        column->deleteLater();
    }
    columns_.clear();
    const RoutingCanvasContext context{model_, meters_, state_.device()};
    for (const auto& factory : factories_) {
        if (!factory) continue;
        RoutingCanvasColumn* column = factory(context);
        if (!column) continue;
        column->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        row_->addWidget(column);
        columns_.append(column);
    }
    overlay_->raise();
    if (overlay_->deleteButton()) overlay_->deleteButton()->raise();
    afterRowsChanged();
}

void RoutingCanvasView::updateColumns() {
    const RoutingCanvasContext context{model_, meters_, state_.device()};
    for (const auto& column : columns_)
        if (column) column->updateRows(context);
    afterRowsChanged();
}

void RoutingCanvasView::afterRowsChanged() {
    // Rows that a column kept may show meters of an item whose record changed.
    retargetMeters();
    connectPorts();
    highlightDropTargets();
    schedulePortFrames();
}

void RoutingCanvasView::retargetMeters() {
    const DeviceConfig& device = state_.device();
    for (auto* meter : findChildren<RoutingMeterView*>()) {
        RoutingMeterTarget target = meter->target();
        if (auto* source = std::get_if<RoutingSourceMeterTarget>(&target)) {
            for (const auto& candidate : device.sources)
                if (candidate.id == source->source.id) source->source = candidate;
        } else if (auto* monitor = std::get_if<RoutingMonitorMeterTarget>(&target)) {
            for (const auto& candidate : device.monitors)
                if (candidate.id == monitor->monitor.id) monitor->monitor = candidate;
            monitor->available = model_.monitorIsAvailable(monitor->monitor);
        }
        meter->setTarget(device, std::move(target));
    }
}

QList<RoutingChannelPort*> RoutingCanvasView::ports() const {
    QList<RoutingChannelPort*> found;
    for (const auto& column : columns_) {
        if (column) found += column->findChildren<RoutingChannelPort*>();
    }
    return found;
}

RoutingChannelPort* RoutingCanvasView::port(const RoutingPortID& id) const {
    for (auto* candidate : ports()) {
        if (candidate->port() == id) return candidate;
    }
    return nullptr;
}

void RoutingCanvasView::connectPorts() {
    for (auto* port : ports()) {
        // Kept rows keep their connections.
        if (port->property("routingCanvasConnected").toBool()) continue;
        port->setProperty("routingCanvasConnected", true);
        connect(port, &RoutingChannelPort::hoverChanged, this,
                [this](const RoutingPortID& id, bool hovering) {
                    state_.portHover(id, hovering);
                    showState();
                });
        connect(port, &RoutingChannelPort::dragChanged, this,
                [this](const RoutingPortID& id, QPointF location) {
                    state_.beginDrag(id, location);
                    highlightDropTargets();
                    showState();
                });
        connect(port, &RoutingChannelPort::dragEnded, this,
                [this](const RoutingPortID& id, QPointF location) {
                    const QPointer<RoutingCanvasView> self(this);
                    // A drop over something drawn over the canvas, or over a part of it out
                    // of sight, finds no port there.
                    if (pointerReaches(this, mapToGlobal(location))) state_.finishDrag(id, location);
                    else state_.cancelDrag();
                    if (!self) return;
                    highlightDropTargets();
                    showState();
                });
        // A port moves when any row above it changes size.
        for (QWidget* w = port; w && w != this; w = w->parentWidget()) w->installEventFilter(this);
    }
}

void RoutingCanvasView::highlightDropTargets() {
    const auto& drag = state_.activeDrag();
    const auto role = drag ? RoutingCanvasState::targetRole(drag->port.role) : std::nullopt;
    for (auto* port : ports()) port->setHighlighted(role && port->port().role == *role);
}

void RoutingCanvasView::showState() {
    overlay_->setActiveDrag(state_.activeDrag());
    overlay_->setHoveredPortID(state_.hoveredPortID());
    overlay_->setHoveredWireID(state_.hoveredWireID());
    overlay_->setSelectedWireID(state_.selectedWireID());
}

void RoutingCanvasView::schedulePortFrames() {
    if (framesScheduled_) return;
    framesScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        framesScheduled_ = false;
        refreshPortFrames();
    });
}

void RoutingCanvasView::refreshPortFrames() {
    RoutingPortFrames frames;
    for (auto* port : ports()) {
        if (port->isVisibleTo(this)) frames[port->port()] = port->canvasFrame();
    }
    if (frames == state_.portFrames()) return;
    state_.setPortFrames(frames);
    overlay_->setPortFrames(frames);
}

bool RoutingCanvasView::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
        watchWindow();
        schedulePortFrames();
        break;
    case QEvent::LayoutRequest:
        schedulePortFrames();
        break;
    case QEvent::Leave:
        if (state_.pointerLeft()) showState();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void RoutingCanvasView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    overlay_->setGeometry(rect());
    schedulePortFrames();
}

bool RoutingCanvasView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_) return handleWindowPointer(event);
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        schedulePortFrames();
        break;
    default:
        break;
    }
    return false;
}

void RoutingCanvasView::watchWindow() {
    QWindow* handle = window()->windowHandle();
    if (handle == watched_) return;
    if (watched_) watched_->removeEventFilter(this);
    watched_ = handle;
    if (watched_) watched_->installEventFilter(this);
}

// The window's pointer events, before any widget sees them: hover over wires anywhere on the
// canvas (over rows and ports too), and a click on a hovered wire, which no row may take. Only
// where the pointer reaches the canvas: over a widget drawn above it, or over a part of it
// that the scroll view does not show, the pointer has left it.
bool RoutingCanvasView::handleWindowPointer(QEvent* event) {
    const auto type = event->type();
    if (type == QEvent::Leave) {
        if (state_.pointerLeft()) showState();
        return false;
    }
    if (type != QEvent::MouseMove && type != QEvent::MouseButtonPress &&
        type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonDblClick)
        return false;
    if (!isVisible()) return false;
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPointF global = mouse->globalPosition();
    const QPointF point = mapFromGlobal(global);
    const bool inside = containsHalfOpen(QRectF(rect()), point) && pointerReaches(this, global);
    if (type == QEvent::MouseMove) {
        if (inside ? state_.hover(point) : state_.pointerLeft()) showState();
        return false;
    }
    if (type == QEvent::MouseButtonRelease) {
        return std::exchange(swallowRelease_, false);
    }
    if (!inside || !state_.hoveredWireID()) return false;
    // The delete button sits on its wire; it takes its own clicks.
    QToolButton* button = overlay_->deleteButton();
    if (button && button->isVisible() &&
        button->rect().contains(button->mapFromGlobal(global).toPoint()))
        return false;
    if (type == QEvent::MouseButtonPress) {
        state_.tap();
        showState();
    }
    swallowRelease_ = true;
    return true;
}

// A click that nothing on the canvas took: over no wire, it clears the selection.
void RoutingCanvasView::mousePressEvent(QMouseEvent* event) {
    state_.tap();
    showState();
    event->accept();
}

}  // namespace tidewell
