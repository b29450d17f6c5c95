#include "TidewellApp/RoutingWireOverlay.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QEvent>
#include <QPainter>
#include <QToolButton>

#include <algorithm>

namespace tidewell {

namespace {

constexpr int deleteButtonSize = 24;

QPen wirePen(const QColor& colour, qreal width) {
    QPen pen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setMiterLimit(10);
    return pen;
}

}  // namespace

RoutingWireOverlay::RoutingWireOverlay(QWidget* parent) : QWidget(parent) {
    // With a parent, pointer events fall through to the columns beneath and the button sits
    // beside the overlay; alone, the overlay hosts the button itself.
    if (parent) setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    deleteButton_ = new QToolButton(parent ? parent : this);
    deleteButton_->setObjectName(QStringLiteral("deleteWireButton"));
    deleteButton_->setFixedSize(deleteButtonSize, deleteButtonSize);
    deleteButton_->setToolTip(QStringLiteral("Delete Wire"));
    deleteButton_->setCursor(Qt::ArrowCursor);
    deleteButton_->hide();
    connect(deleteButton_, &QToolButton::clicked, this, &RoutingWireOverlay::deleteSelectedWire);
    styleDeleteButton();
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] {
        styleDeleteButton();
        update();
    });
}

RoutingWireOverlay::~RoutingWireOverlay() {
    // The button may be the one being clicked (a delete action that rebuilds the canvas):
    // let it finish its click first.
    if (deleteButton_ && deleteButton_->parent() != this) {
        deleteButton_->hide();
        deleteButton_->deleteLater();
    }
}

void RoutingWireOverlay::setDevice(const DeviceConfig& device) {
    device_ = device;
    updateDeleteButton();
    update();
}

void RoutingWireOverlay::setPortFrames(const RoutingPortFrames& frames) {
    frames_ = frames;
    updateDeleteButton();
    update();
}

void RoutingWireOverlay::setActiveDrag(const std::optional<ActiveWireDrag>& drag) {
    if (drag_ == drag) return;
    drag_ = drag;
    update();
}

void RoutingWireOverlay::setSelectedWireID(const std::optional<std::string>& id) {
    if (focus_.selectedWireID == id) return;
    focus_.selectedWireID = id;
    updateDeleteButton();
    update();
}

void RoutingWireOverlay::setHoveredWireID(const std::optional<std::string>& id) {
    if (focus_.hoveredWireID == id) return;
    focus_.hoveredWireID = id;
    update();
}

void RoutingWireOverlay::setHoveredPortID(const std::optional<RoutingPortID>& port) {
    if (focus_.hoveredPortID == port) return;
    focus_.hoveredPortID = port;
    update();
}

std::optional<RoutingWireLine> RoutingWireOverlay::selectedWireLine() const {
    if (!focus_.selectedWireID) return std::nullopt;
    const auto& wires = device_.wires;
    const auto wire = std::find_if(wires.begin(), wires.end(),
                                   [&](const Wire& w) { return w.id == *focus_.selectedWireID; });
    if (wire == wires.end()) return std::nullopt;
    return routingWireLine(*wire, frames_);
}

void RoutingWireOverlay::deleteSelectedWire() {
    if (!focus_.selectedWireID) return;
    const std::string wireID = *focus_.selectedWireID;
    const QPointer<RoutingWireOverlay> self(this);
    if (deleteAction_) deleteAction_(wireID);
    if (!self) return;  // the action rebuilt the canvas
    setSelectedWireID(std::nullopt);
    emit selectedWireIDChanged(std::nullopt);
}

void RoutingWireOverlay::updateDeleteButton() {
    if (!deleteButton_) return;
    const auto line = selectedWireLine();
    if (!line || !isVisible()) {
        deleteButton_->hide();
        return;
    }
    const QPoint centre = deleteButton_->parent() == this
                              ? line->midpoint.toPoint()
                              : mapToParent(line->midpoint.toPoint());
    deleteButton_->move(centre - QPoint(deleteButtonSize / 2, deleteButtonSize / 2));
    deleteButton_->show();
    deleteButton_->raise();
}

void RoutingWireOverlay::styleDeleteButton() {
    if (!deleteButton_) return;
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    deleteButton_->setStyleSheet(
        QStringLiteral("QToolButton#deleteWireButton { background-color: %1; border: none; "
                       "border-radius: %2px; padding: 0px; }")
            .arg(Theme::red(scheme).name(QColor::HexArgb))
            .arg(deleteButtonSize / 2));
    const qreal glyph = SymbolProvider::sizeForFont(11);
    deleteButton_->setIcon(SymbolProvider::icon(QStringLiteral("trash.fill"), Qt::white));
    deleteButton_->setIconSize(QSize(qRound(glyph), qRound(glyph)));
}

bool RoutingWireOverlay::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        updateDeleteButton();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void RoutingWireOverlay::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);

    // Dimmed wires under focused ones; within each layer, the device's order.
    const bool hasTarget = focus_.hasFocusTarget();
    for (const bool focusedLayer : {false, true}) {
        for (const Wire& wire : device_.wires) {
            const bool focused = focus_.isFocused(wire);
            if (focused != focusedLayer) continue;
            const auto line = routingWireLine(wire, frames_);
            if (!line) continue;
            const QColor colour =
                wireStrokeColor(wireBaseColor(device_, wire, scheme), focused, hasTarget, scheme);
            painter.setPen(wirePen(colour, focused ? 4.0 : 2.5));
            painter.drawPath(RoutingWirePath{line->start, line->end}.path());
        }
    }

    if (drag_) {
        const auto frame = frames_.find(drag_->port);
        if (frame != frames_.end()) {
            QColor colour = Theme::accent(scheme);
            colour.setAlphaF(0.72f);
            QPen pen = wirePen(colour, 2.0);
            pen.setJoinStyle(Qt::MiterJoin);
            // Qt measures dashes in pen widths: 6 points on, 5 off at width 2.
            pen.setDashPattern({6.0 / 2.0, 5.0 / 2.0});
            pen.setDashOffset(0);
            painter.setPen(pen);
            painter.drawPath(RoutingWirePath{frame->second.center(), drag_->location}.path());
        }
    }
}

}  // namespace tidewell
