#include "TidewellApp/RoutingColumnsLayout.h"

#include <QWidget>

#include <algorithm>

namespace tidewell {

RoutingColumnsLayout::RoutingColumnsLayout(int spacing, QMargins overhang, QWidget* parent)
    : QLayout(parent), columnSpacing_(spacing), overhang_(overhang) {
    setContentsMargins(0, 0, 0, 0);
}

RoutingColumnsLayout::~RoutingColumnsLayout() {
    while (!items_.isEmpty()) delete items_.takeLast();
}

QList<int> RoutingColumnsLayout::shares(int width, const QList<int>& minimums, int spacing,
                                        QMargins overhang) {
    const int n = int(minimums.size());
    QList<int> widths(n, 0);
    if (n == 0) return widths;
    int remaining = width - overhang.left() - overhang.right() - spacing * (n - 1);
    QList<bool> fixed(n, false);
    int open = n;
    // Columns whose minimum exceeds an equal share of what is left keep their minimum; until
    // none does, the others share again.
    for (bool changed = true; changed && open > 0;) {
        changed = false;
        const int share = remaining / open;
        for (int i = 0; i < n; ++i) {
            if (fixed[i] || minimums[i] <= share) continue;
            fixed[i] = true;
            widths[i] = minimums[i];
            remaining -= minimums[i];
            --open;
            changed = true;
        }
    }
    if (open == 0) return widths;
    // The pixels an equal division leaves over go to the first columns, one each.
    const int share = std::max(0, remaining) / open;
    int extra = std::max(0, remaining) - share * open;
    for (int i = 0; i < n; ++i) {
        if (fixed[i]) continue;
        widths[i] = share + (extra > 0 ? 1 : 0);
        if (extra > 0) --extra;
    }
    return widths;
}

void RoutingColumnsLayout::addItem(QLayoutItem* item) { items_.append(item); }

QLayoutItem* RoutingColumnsLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* RoutingColumnsLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) return nullptr;
    return items_.takeAt(index);
}

QList<QLayoutItem*> RoutingColumnsLayout::shown() const {
    QList<QLayoutItem*> list;
    for (QLayoutItem* item : items_)
        if (!item->isEmpty()) list.append(item);
    return list;
}

QSize RoutingColumnsLayout::total(bool minimum) const {
    const QList<QLayoutItem*> columns = shown();
    if (columns.isEmpty()) return {0, 0};
    const int n = int(columns.size());
    int sum = 0;
    int widest = 0;
    int height = 0;
    for (QLayoutItem* item : columns) {
        const QSize size = minimum ? item->minimumSize() : item->sizeHint();
        const int width = std::max(0, visible(size.width()));
        sum += width;
        widest = std::max(widest, width);
        height = std::max(height, size.height());
    }
    // No column goes below its minimum; with equal shares, each column has what it asks for
    // once every one has what the widest asks for.
    const int columnsWidth = minimum ? sum : widest * n;
    return {overhang_.left() + overhang_.right() + columnSpacing_ * (n - 1) + columnsWidth, height};
}

QSize RoutingColumnsLayout::sizeHint() const { return total(false); }

QSize RoutingColumnsLayout::minimumSize() const { return total(true); }

void RoutingColumnsLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const QList<QLayoutItem*> columns = shown();
    QList<int> minimums;
    for (QLayoutItem* item : columns) minimums.append(std::max(0, visible(item->minimumSize().width())));
    const QList<int> widths = shares(rect.width(), minimums, columnSpacing_, overhang_);
    int x = rect.left() + overhang_.left();
    for (int i = 0; i < columns.size(); ++i) {
        QLayoutItem* item = columns[i];
        const int width = widths[i] + overhang_.left() + overhang_.right();
        const int wanted = item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
        const int height = std::min(rect.height(), std::max(wanted, item->minimumSize().height()));
        item->setGeometry(QRect(x - overhang_.left(), rect.top(), width, height));
        x += widths[i] + columnSpacing_;
    }
}

}  // namespace tidewell
