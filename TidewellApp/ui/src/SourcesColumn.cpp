#include "TidewellApp/SourcesColumn.h"

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/SourceAddMenu.h"
#include "TidewellApp/SourceRow.h"

#include <QVBoxLayout>

#include <algorithm>

namespace tidewell {

namespace {

// Between the menu and the first card (whose widget starts with room for its shadow).
constexpr int contentSpacing = 4;
constexpr int menuSpacing = 8;
// The cards' glass shadows keep their own room around them; this is the gap left beyond it.
constexpr int rowSpacing = 0;

}  // namespace

SourcesColumn::SourcesColumn(const RoutingCanvasContext& context, QWidget* parent)
    : RoutingCanvasColumn(parent), model_(context.model), meters_(context.meters) {
    auto* content = new QWidget;
    auto* pieces = new QVBoxLayout(content);
    pieces->setContentsMargins(0, 0, 0, 0);
    pieces->setSpacing(contentSpacing);

    auto* menuStack = new QVBoxLayout;
    menuStack->setSpacing(menuSpacing);
    // In line with the cards' visible edge (their widgets keep room for the shadow).
    menuStack->setContentsMargins(GlassCard::shadowMargins().left(), 0, 0, 0);
    menu_ = new SourceAddMenu(model_, context.device);
    menuStack->addWidget(menu_, 0, Qt::AlignLeft);
    pieces->addLayout(menuStack);

    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setSpacing(rowSpacing);
    pieces->addLayout(rowsLayout_);

    column_ = new RoutingColumn(tr("Sources"), QStringLiteral("dot.radiowaves.left.and.right"), content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(column_);

    updateRows(context);
}

RoutingColumnFactory SourcesColumn::factory() {
    return [](const RoutingCanvasContext& context) -> RoutingCanvasColumn* { return new SourcesColumn(context); };
}

void SourcesColumn::updateRows(const RoutingCanvasContext& context) {
    const DeviceConfig& device = context.device;
    menu_->setDevice(device);

    std::vector<QPointer<SourceRow>> kept;
    for (const SourceConfig& source : device.sources) {
        // A source id listed twice gets one card.
        const bool listed = std::any_of(kept.begin(), kept.end(), [&](const QPointer<SourceRow>& row) {
            return row && row->source().id == source.id;
        });
        if (listed) continue;
        // A card is bound to its device's source: another device's source of the same id is new.
        auto found = std::find_if(rows_.begin(), rows_.end(), [&](const QPointer<SourceRow>& row) {
            return row && row->source().id == source.id && row->device().id == device.id;
        });
        if (found != rows_.end()) {
            (*found)->setSource(device, source);
            kept.push_back(*found);
            found->clear();
        } else {
            kept.push_back(new SourceRow(model_, meters_, device, source));
        }
    }
    // The update may come from inside a card's own control (its delete button): the cards that
    // go are taken out now and deleted once that control has returned.
    for (const auto& row : rows_) {
        if (!row) continue;
        rowsLayout_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    for (int index = 0; index < int(kept.size()); ++index) {
        SourceRow* row = kept[std::size_t(index)];
        if (rowsLayout_->indexOf(row) == index) continue;
        rowsLayout_->removeWidget(row);
        rowsLayout_->insertWidget(index, row);
    }
    rows_ = std::move(kept);
}

QList<SourceRow*> SourcesColumn::rows() const {
    QList<SourceRow*> list;
    for (const auto& row : rows_)
        if (row) list.append(row);
    return list;
}

SourceRow* SourcesColumn::row(const std::string& sourceID) const {
    for (const auto& row : rows_)
        if (row && row->source().id == sourceID) return row;
    return nullptr;
}

}  // namespace tidewell
