#pragma once
// The left column of the routing canvas: "Sources", the "Add Source" menu, and one card per
// source of the device in the device's order. A device without sources shows the menu alone.
// Cards are kept by source id across edits; a card whose source left the device goes.

#include "TidewellApp/RoutingCanvasView.h"

#include <QPointer>

#include <vector>

class QVBoxLayout;

namespace tidewell {

class RoutingColumn;
class SourceAddMenu;
class SourceRow;

class SourcesColumn : public RoutingCanvasColumn {
    Q_OBJECT
public:
    explicit SourcesColumn(const RoutingCanvasContext& context, QWidget* parent = nullptr);

    // The canvas's factory of this column.
    static RoutingColumnFactory factory();

    void updateRows(const RoutingCanvasContext& context) override;

    RoutingColumn* column() const { return column_; }
    SourceAddMenu* addMenu() const { return menu_; }
    // The cards, in the device's order.
    QList<SourceRow*> rows() const;
    SourceRow* row(const std::string& sourceID) const;

private:
    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    RoutingColumn* column_;
    SourceAddMenu* menu_;
    QWidget* cards_;
    QVBoxLayout* rowsLayout_;
    std::vector<QPointer<SourceRow>> rows_;
};

}  // namespace tidewell
