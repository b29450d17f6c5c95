#pragma once
// The right-hand column of the routing canvas: "Add Monitor" above one card per monitor of the
// shown device, in the device's order, or "No Monitors" while it has none. Cards are kept by
// monitor id across edits, so a card's open channel volume or hovered port survives an edit
// elsewhere; a card whose monitor is gone is removed once the event that removed it is over.

#include "TidewellApp/RoutingCanvasView.h"

#include <QPointer>

#include <map>
#include <string>

class QVBoxLayout;

namespace tidewell {

class MonitorAddMenu;
class MonitorCardStack;
class MonitorRow;
class MonitorsEmptyState;
class RoutingColumn;

class MonitorsColumn : public RoutingCanvasColumn {
    Q_OBJECT
public:
    // The width the column asks for at least, so that it keeps its width when the last card
    // goes and the narrower empty state remains.
    static constexpr int preferredWidth = 300;

    explicit MonitorsColumn(const RoutingCanvasContext& context, QWidget* parent = nullptr);

    void updateRows(const RoutingCanvasContext& context) override;
    QSize sizeHint() const override;

    RoutingColumn* column() const { return column_; }
    MonitorAddMenu* addMenu() const { return addMenu_; }
    MonitorsEmptyState* emptyState() const { return empty_; }
    // The cards, top to bottom.
    QList<MonitorRow*> rows() const;
    MonitorRow* row(const std::string& monitorID) const;

private:
    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    RoutingColumn* column_;
    MonitorAddMenu* addMenu_;
    MonitorsEmptyState* empty_;
    MonitorCardStack* cards_;
    std::map<std::string, QPointer<MonitorRow>> rows_;
};

// The monitors column as the canvas builds it.
RoutingColumnFactory monitorsColumnFactory();

// What the column shows while the device has no monitor: the headphones symbol over
// "No Monitors", centred, at least 110 points high.
class MonitorsEmptyState : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumHeight = 110;

    explicit MonitorsEmptyState(QWidget* parent = nullptr);
    QString text() const;
    QString symbol() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tidewell
