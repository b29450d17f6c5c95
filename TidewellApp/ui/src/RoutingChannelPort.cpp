#include "TidewellApp/RoutingChannelPort.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/Theme.h"
#include "TidewellCore/TidewellConstants.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace tidewell {

namespace {

// The widget leaves room for the half of the stroke that lies outside the circle.
constexpr double inset = RoutingChannelPort::strokeWidth / 2;

QColor faded(QColor colour, double opacity) {
    colour.setAlphaF(float(colour.alphaF() * opacity));
    return colour;
}

}  // namespace

std::vector<std::int64_t> channelNumbers(std::int64_t n) {
    std::vector<std::int64_t> numbers;
    const std::int64_t shown = std::min(n, TidewellCore::maximumChannelCount);
    for (std::int64_t c = 1; c <= shown; ++c) numbers.push_back(c);
    return numbers;
}

bool pointerReaches(const QWidget* area, QPointF globalPoint) {
    if (!area || !area->isVisible()) return false;
    QWidget* window = area->window();
    const QPoint point = window->mapFromGlobal(globalPoint).toPoint();
    if (!window->rect().contains(point)) return false;
    const QWidget* under = window->childAt(point);
    if (!under) under = window;
    return under == area || area->isAncestorOf(under);
}

void RoutingPortDragTracker::press(QPointF point) {
    pressed_ = true;
    dragging_ = false;
    start_ = point;
}

bool RoutingPortDragTracker::move(QPointF point) {
    if (!pressed_) return false;
    if (!dragging_) {
        const QPointF moved = point - start_;
        dragging_ = std::hypot(moved.x(), moved.y()) >= minimumDistance;
    }
    return dragging_;
}

bool RoutingPortDragTracker::release(QPointF point) {
    const bool ended = move(point);
    cancel();
    return ended;
}

void RoutingPortDragTracker::cancel() {
    pressed_ = false;
    dragging_ = false;
}

RoutingChannelPort::RoutingChannelPort(RoutingPortID port, bool canStartDrag, QWidget* parent)
    : QWidget(parent), port_(std::move(port)), canStartDrag_(canStartDrag) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    resize(sizeHint());
    setToolTip(canStartDrag_ ? QStringLiteral("Drag to connect this channel")
                             : QStringLiteral("Drop a wire on this channel"));
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            qOverload<>(&QWidget::update));
}

RoutingChannelPort::~RoutingChannelPort() {
    if (watched_) watched_->removeEventFilter(this);
}

void RoutingChannelPort::setHighlighted(bool highlighted) {
    if (highlighted_ == highlighted) return;
    highlighted_ = highlighted;
    update();
}

void RoutingChannelPort::setTint(std::optional<QColor> tint) {
    tint_ = std::move(tint);
    update();
}

QSize RoutingChannelPort::sizeHint() const {
    const int side = int(std::ceil(diameter + 2 * inset));
    return {side, side};
}

QRectF RoutingChannelPort::circleRect() const { return {inset, inset, diameter, diameter}; }

QRectF RoutingChannelPort::hitArea() const {
    return circleRect().adjusted(-hitMargin, -hitMargin, hitMargin, hitMargin);
}

QWidget* RoutingChannelPort::canvas() const {
    for (QWidget* w = parentWidget(); w; w = w->parentWidget())
        if (w->objectName() == QLatin1String("routingCanvas")) return w;
    return window();
}

QPointF RoutingChannelPort::toCanvas(QPointF globalPoint) const {
    return canvas()->mapFromGlobal(globalPoint);
}

QRectF RoutingChannelPort::canvasFrame() const {
    const QPointF origin = mapTo(canvas(), QPoint(0, 0));
    return circleRect().translated(origin);
}

QColor RoutingChannelPort::fillColor() const {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    if (highlighted_) return Theme::accent(scheme);
    return scheme == ColorScheme::dark ? QColor::fromRgbF(1, 1, 1, 0.14f)
                                       : QColor::fromRgbF(0, 0, 0, 0.12f);
}

QColor RoutingChannelPort::strokeColor() const {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    if (highlighted_) return Theme::accent(scheme);
    if (tint_) return *tint_;
    return faded(Theme::secondaryText(scheme), scheme == ColorScheme::dark ? 0.55 : 0.75);
}

void RoutingChannelPort::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(fillColor());
    QPen pen(strokeColor(), strokeWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.drawEllipse(circleRect());
}

bool RoutingChannelPort::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::ParentChange:
        watchWindow();
        break;
    case QEvent::Hide:
        tracker_.cancel();
        setHovered(false);
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void RoutingChannelPort::watchWindow() {
    QWindow* handle = window()->windowHandle();
    if (handle == watched_) return;
    if (watched_) watched_->removeEventFilter(this);
    watched_ = handle;
    if (watched_) watched_->installEventFilter(this);
}

void RoutingChannelPort::setHovered(bool hovered) {
    if (hovered_ == hovered) return;
    hovered_ = hovered;
    const RoutingPortID port = port_;
    emit hoverChanged(port, hovered);
}

bool RoutingChannelPort::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_ && isVisible() && isEnabled()) return handlePointer(event);
    return false;
}

bool RoutingChannelPort::handlePointer(QEvent* event) {
    if (event->type() == QEvent::Leave) {
        setHovered(false);
        return false;
    }
    if (event->type() != QEvent::MouseMove && event->type() != QEvent::MouseButtonPress &&
        event->type() != QEvent::MouseButtonRelease)
        return false;
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPointF global = mouse->globalPosition();
    const bool inside = hitArea().contains(mapFromGlobal(global)) && pointerReaches(canvas(), global);
    // A receiver may rebuild the rows and this port with them: hand out copies, and stop
    // once the port is gone.
    const QPointer<RoutingChannelPort> self(this);
    const RoutingPortID port = port_;
    setHovered(inside);
    if (!self || !canStartDrag_) return false;

    const QPointF location = toCanvas(global);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (!inside || mouse->button() != Qt::LeftButton) return false;
        tracker_.press(location);
        return true;  // the drag is the port's, not the row's beneath
    case QEvent::MouseMove:
        // Moves go on to the other ports of the window, so the port under a drag sees hover.
        if (tracker_.isPressed() && tracker_.move(location)) emit dragChanged(port, location);
        return false;
    case QEvent::MouseButtonRelease:
        if (!tracker_.isPressed() || mouse->button() != Qt::LeftButton) return false;
        if (tracker_.release(location)) emit dragEnded(port, location);
        return true;
    default:
        return false;
    }
}

}  // namespace tidewell
