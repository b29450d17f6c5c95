#include "TidewellApp/RoutingColumn.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr int symbolFrameWidth = 18;
constexpr qreal symbolPoints = 13;  // the body text size the symbol sits beside
constexpr qreal titlePoints = 14;

}  // namespace

RoutingColumn::RoutingColumn(const QString& title, const QString& systemImage, QWidget* content,
                             QWidget* parent)
    : QWidget(parent), systemImage_(systemImage), content_(content) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    // The header starts at the cards' visible edge: below it the content keeps room at both
    // sides for the cards' shadows.
    const QMargins shadow = GlassCard::shadowMargins();
    header->setContentsMargins(shadow.left(), 0, shadow.right(), 0);
    symbol_ = new QLabel(this);
    symbol_->setFixedWidth(symbolFrameWidth);
    symbol_->setAlignment(Qt::AlignCenter);
    title_ = new ElidingLabel(title, this);
    title_->setFont(Theme::font(titlePoints, QFont::DemiBold));
    header->addWidget(symbol_, 0, Qt::AlignVCenter);
    header->addWidget(title_, 0, Qt::AlignVCenter);
    header->addStretch(1);
    column->addLayout(header);

    if (content_) column->addWidget(content_, 0, Qt::AlignTop);
    column->addStretch(1);  // rows stay at the top
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    refreshSymbol();
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            &RoutingColumn::refreshSymbol);
}

QString RoutingColumn::title() const { return title_->text(); }

void RoutingColumn::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshSymbol();  // the screen, and with it the pixel ratio, is known now
}

void RoutingColumn::refreshSymbol() {
    const qreal size = SymbolProvider::sizeForFont(symbolPoints);
    symbol_->setPixmap(SymbolProvider::pixmap(systemImage_, size,
                                              Theme::accent(ColorSchemeSource::instance().scheme()),
                                              devicePixelRatioF()));
}

}  // namespace tidewell
