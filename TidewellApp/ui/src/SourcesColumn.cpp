#include "TidewellApp/SourcesColumn.h"

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/SourceAddMenu.h"
#include "TidewellApp/SourceRow.h"

#include <QEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace tidewell {

namespace {

// Between the column's pieces and between the cards, as the column lays out its content.
constexpr int pieceSpacing = 12;
constexpr int menuSpacing = 8;

// The cards' stack: paints each card's glass behind it, so that a card's shadow falls into the
// gap below it, and keeps room for the shadows around the stack.
class SourceCards : public QWidget {
public:
    SourceCards() {
        layout_ = new QVBoxLayout(this);
        layout_->setContentsMargins(GlassCard::shadowMargins());
        layout_->setSpacing(pieceSpacing);
        connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] { update(); });
    }
    QVBoxLayout* cardsLayout() const { return layout_; }
    // A card that moves or changes size moves its shadow too.
    void watch(SourceRow* row) { row->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Move:
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::Hide:
                update();
                break;
            default:
                break;
        }
        return QWidget::eventFilter(watched, event);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const ColorScheme scheme = ColorSchemeSource::instance().scheme();
        for (int i = 0; i < layout_->count(); ++i) {
            QWidget* row = layout_->itemAt(i)->widget();
            if (row && row->isVisible()) {
                GlassCardModifier::paint(painter, row->geometry(), SourceRow::cornerRadius, scheme);
            }
        }
    }

private:
    QVBoxLayout* layout_;
};

}  // namespace

SourcesColumn::SourcesColumn(const RoutingCanvasContext& context, QWidget* parent)
    : RoutingCanvasColumn(parent), model_(context.model), meters_(context.meters) {
    auto* content = new QWidget;
    auto* pieces = new QVBoxLayout(content);
    pieces->setContentsMargins(0, 0, 0, 0);
    // The cards' stack starts with room for the first card's shadow.
    pieces->setSpacing(pieceSpacing - GlassCard::shadowMargins().top());

    auto* menuStack = new QVBoxLayout;
    menuStack->setSpacing(menuSpacing);
    // In line with the cards' visible edge (their widgets keep room for the shadow).
    menuStack->setContentsMargins(GlassCard::shadowMargins().left(), 0, 0, 0);
    menu_ = new SourceAddMenu(model_, context.device);
    menuStack->addWidget(menu_, 0, Qt::AlignLeft);
    pieces->addLayout(menuStack);

    cards_ = new SourceCards;
    rowsLayout_ = static_cast<SourceCards*>(cards_)->cardsLayout();
    pieces->addWidget(cards_);

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
            auto* row = new SourceRow(model_, meters_, device, source);
            static_cast<SourceCards*>(cards_)->watch(row);
            kept.push_back(row);
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
