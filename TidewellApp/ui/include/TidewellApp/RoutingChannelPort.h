#pragma once
// The round connector at the edge of a channel row. The user starts a wire by dragging from a
// port that can start one and ends it over a port that accepts it. The port reports hovering
// and its drag as signals, in the coordinates of the canvas it sits on: the nearest ancestor
// named "routingCanvas", else its window.
//
// The circle is 14 × 14, yet the port reacts within a 34 × 34 square centred on it. Pointer
// events inside that square go to whatever lies there, so the port watches its window's
// pointer events rather than its own. It takes only those that reach its canvas: a widget
// over the port (a banner, the sidebar, a scroll bar) keeps its presses, and a port that the
// editor has scrolled out of view reacts to nothing.

#include "TidewellApp/RoutingPort.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <optional>
#include <vector>

class QWindow;

namespace tidewell {

// The channel numbers 1 through n, and never beyond the device limit (64): a larger count is a
// validation error, and a corrupt one must not build thousands of rows. None when n < 1.
std::vector<std::int64_t> channelNumbers(std::int64_t n);

// True when the pointer at this point of the screen is over `area`: in the area's window the
// widget under it, the one Qt hands a press to, is the area or lies inside it. So a widget
// drawn over the area takes the pointer from it, and so do the parts of the area that a
// scroll view leaves out of sight.
bool pointerReaches(const QWidget* area, QPointF globalPoint);

// A press that becomes a drag once the pointer has moved 2 points from where it went down.
// Points are in canvas coordinates.
class RoutingPortDragTracker {
public:
    static constexpr double minimumDistance = 2.0;

    void press(QPointF point);
    // True when the move is (still) part of a drag: report it.
    bool move(QPointF point);
    // True when a drag ends here: report it. A press that never moved far enough ends nothing.
    bool release(QPointF point);
    void cancel();

    bool isPressed() const { return pressed_; }
    bool isDragging() const { return dragging_; }

private:
    bool pressed_ = false;
    bool dragging_ = false;
    QPointF start_;
};

class RoutingChannelPort : public QWidget {
    Q_OBJECT
public:
    static constexpr double diameter = 14.0;
    static constexpr double hitMargin = 10.0;
    static constexpr double strokeWidth = 2.0;

    RoutingChannelPort(RoutingPortID port, bool canStartDrag, QWidget* parent = nullptr);
    ~RoutingChannelPort() override;

    const RoutingPortID& port() const { return port_; }
    bool canStartDrag() const { return canStartDrag_; }

    // Drawn in the accent colour, tint ignored (set by the row while a compatible drag runs).
    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return highlighted_; }
    // The ring's colour while idle; none uses the secondary foreground colour.
    void setTint(std::optional<QColor> tint);

    // The circle in the widget (the stroke reaches 1 point beyond it), and the square the
    // port reacts in.
    QRectF circleRect() const;
    QRectF hitArea() const;
    // The circle's frame in canvas coordinates, as the canvas collects it.
    QRectF canvasFrame() const;
    bool isHovered() const { return hovered_; }

    // The colours the port is drawn in now.
    QColor fillColor() const;
    QColor strokeColor() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void hoverChanged(const tidewell::RoutingPortID& port, bool hovering);
    void dragChanged(const tidewell::RoutingPortID& port, QPointF canvasLocation);
    void dragEnded(const tidewell::RoutingPortID& port, QPointF canvasLocation);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* canvas() const;
    QPointF toCanvas(QPointF globalPoint) const;
    void watchWindow();
    void setHovered(bool hovered);
    bool handlePointer(QEvent* event);

    RoutingPortID port_;
    bool canStartDrag_;
    bool highlighted_ = false;
    std::optional<QColor> tint_;
    bool hovered_ = false;
    RoutingPortDragTracker tracker_;
    QPointer<QWindow> watched_;
};

}  // namespace tidewell
