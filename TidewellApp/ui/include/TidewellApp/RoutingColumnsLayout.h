#pragma once
// The routing canvas's row of columns: the columns share the width equally, a fixed spacing
// apart, and keep to the top at their own height. A column that cannot shrink to its share
// keeps its minimum, and the others share what is left. So the row's preferred width gives
// every column what the widest one asks for.
//
// Each column widget reaches `overhang` past its visible edges, for the shadows of the cards
// it holds: the share and the spacing are measured between visible edges, so neighbours'
// widgets overlap by their overhangs, and the layout itself keeps the outer overhangs inside
// its rectangle (place it that far into the padding around it).

#include <QLayout>
#include <QList>
#include <QMargins>

namespace tidewell {

class RoutingColumnsLayout : public QLayout {
public:
    RoutingColumnsLayout(int spacing, QMargins overhang, QWidget* parent = nullptr);
    ~RoutingColumnsLayout() override;

    // The visible widths the columns get in `width` (the layout's whole width) when their
    // visible minimums are these: equal shares, except that none goes below its minimum.
    static QList<int> shares(int width, const QList<int>& minimums, int spacing, QMargins overhang);

    void addItem(QLayoutItem* item) override;
    int count() const override { return int(items_.size()); }
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    QList<QLayoutItem*> shown() const;
    // A column's visible width when its widget is `width` wide.
    int visible(int width) const { return width - overhang_.left() - overhang_.right(); }
    QSize total(bool minimum) const;

    QList<QLayoutItem*> items_;
    int columnSpacing_;
    QMargins overhang_;
};

}  // namespace tidewell
