#include "TidewellApp/MonitorsColumn.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/MonitorAddMenu.h"
#include "TidewellApp/MonitorRow.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QChildEvent>
#include <QPainter>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr int pieceSpacing = 12;  // between the menu, the cards and the empty state
constexpr qreal emptySymbolPoints = 28;
constexpr qreal emptyTextPoints = 12;
constexpr int emptySpacing = 8;

}  // namespace

// The cards, one under the other. Their glass is painted here, behind them, so that each
// card's shadow falls on the space around it rather than being cut off at its own edge.
class MonitorCardStack : public QWidget {
public:
    explicit MonitorCardStack(QWidget* parent = nullptr) : QWidget(parent) {
        layout_ = new QVBoxLayout(this);
        // Room beside the cards and below the last one for their shadows.
        const QMargins shadow = GlassCard::shadowMargins();
        layout_->setContentsMargins(shadow.left(), 0, shadow.right(), shadow.bottom());
        layout_->setSpacing(pieceSpacing);
        connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
                [this] { update(); });
    }
    QVBoxLayout* layout() const { return layout_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const ColorScheme scheme = ColorSchemeSource::instance().scheme();
        for (int index = 0; index < layout_->count(); ++index) {
            QWidget* card = layout_->itemAt(index)->widget();
            if (!card || !card->isVisible()) continue;
            GlassCardModifier::paint(painter, card->geometry(), MonitorRow::cornerRadius, scheme);
        }
    }
    // A card that moves or changes size moves its glass.
    bool event(QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest) update();
        return QWidget::event(event);
    }
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        update();
    }

private:
    QVBoxLayout* layout_;
};

MonitorsColumn::MonitorsColumn(const RoutingCanvasContext& context, QWidget* parent)
    : RoutingCanvasColumn(parent), model_(context.model), meters_(context.meters) {
    auto* content = new QWidget;
    auto* pieces = new QVBoxLayout(content);
    pieces->setContentsMargins(0, 0, 0, 0);
    pieces->setSpacing(pieceSpacing);

    auto* menuStack = new QVBoxLayout;
    menuStack->setSpacing(8);
    // In line with the cards' visible edge (their stack keeps room for the shadows).
    menuStack->setContentsMargins(GlassCard::shadowMargins().left(), 0, 0, 0);
    addMenu_ = new MonitorAddMenu(model_, context.device);
    menuStack->addWidget(addMenu_, 0, Qt::AlignLeft);
    pieces->addLayout(menuStack);

    empty_ = new MonitorsEmptyState;
    pieces->addWidget(empty_);
    cards_ = new MonitorCardStack;
    pieces->addWidget(cards_);

    column_ = new RoutingColumn(QStringLiteral("Monitors"), QStringLiteral("headphones"), content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(column_);

    updateRows(context);
}

void MonitorsColumn::updateRows(const RoutingCanvasContext& context) {
    const DeviceConfig& device = context.device;
    addMenu_->setDevice(device);

    // Cards whose monitor is gone leave first; the event that removed the monitor may have come
    // from inside one of them.
    for (auto it = rows_.begin(); it != rows_.end();) {
        const bool kept = it->second &&
                          std::any_of(device.monitors.begin(), device.monitors.end(),
                                      [&](const MonitorConfig& m) { return m.id == it->first; });
        if (kept) {
            ++it;
            continue;
        }
        if (MonitorRow* gone = it->second) {
            cards_->layout()->removeWidget(gone);
            gone->hide();
            gone->deleteLater();
        }
        it = rows_.erase(it);
    }

    // The rest in the device's order; the first of two monitors sharing an id has the card.
    int position = 0;
    for (const MonitorConfig& monitor : device.monitors) {
        auto found = rows_.find(monitor.id);
        MonitorRow* row = nullptr;
        if (found != rows_.end()) {
            if (cards_->layout()->indexOf(found->second) < position) continue;  // a repeated id
            row = found->second;
            row->setMonitor(device, monitor);
        } else {
            row = new MonitorRow(model_, meters_, device, monitor);
            rows_[monitor.id] = row;
        }
        if (cards_->layout()->indexOf(row) != position) {
            cards_->layout()->removeWidget(row);
            cards_->layout()->insertWidget(position, row);
        }
        ++position;
    }

    empty_->setVisible(rows_.empty());
    cards_->setVisible(!rows_.empty());
    cards_->update();
}

QSize MonitorsColumn::sizeHint() const {
    const QSize content = RoutingCanvasColumn::sizeHint();
    return QSize(std::max(content.width(), preferredWidth), content.height());
}

QList<MonitorRow*> MonitorsColumn::rows() const {
    QList<MonitorRow*> ordered;
    for (int index = 0; index < cards_->layout()->count(); ++index) {
        if (auto* row = qobject_cast<MonitorRow*>(cards_->layout()->itemAt(index)->widget()))
            ordered.append(row);
    }
    return ordered;
}

MonitorRow* MonitorsColumn::row(const std::string& monitorID) const {
    const auto found = rows_.find(monitorID);
    return found == rows_.end() ? nullptr : found->second.data();
}

RoutingColumnFactory monitorsColumnFactory() {
    return [](const RoutingCanvasContext& context) -> RoutingCanvasColumn* {
        return new MonitorsColumn(context);
    };
}

// ---- MonitorsEmptyState ---------------------------------------------------------------------

MonitorsEmptyState::MonitorsEmptyState(QWidget* parent) : QWidget(parent) {
    setFont(Theme::font(emptyTextPoints, QFont::Medium));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { update(); });
}

QString MonitorsEmptyState::text() const { return tr("No Monitors"); }
QString MonitorsEmptyState::symbol() const { return QStringLiteral("headphones.circle"); }

QSize MonitorsEmptyState::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    const int symbolSide = qRound(SymbolProvider::sizeForFont(emptySymbolPoints));
    const int content = symbolSide + emptySpacing + fm.height();
    return QSize(std::max(symbolSide, fm.horizontalAdvance(text())), std::max(content, minimumHeight));
}

QSize MonitorsEmptyState::minimumSizeHint() const { return sizeHint(); }

void MonitorsEmptyState::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor colour = Theme::secondaryText(ColorSchemeSource::instance().scheme());
    const QFontMetrics fm = fontMetrics();
    const qreal symbolSide = SymbolProvider::sizeForFont(emptySymbolPoints);
    const qreal content = symbolSide + emptySpacing + fm.height();
    const qreal top = (height() - content) / 2.0;
    const QPixmap picture = SymbolProvider::pixmap(symbol(), symbolSide, colour, devicePixelRatioF());
    painter.drawPixmap(QPointF((width() - symbolSide) / 2.0, top), picture);
    painter.setPen(colour);
    painter.drawText(QRectF(0, top + symbolSide + emptySpacing, width(), fm.height()),
                     Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, text());
}

}  // namespace tidewell
