#include "SetupSheetParts.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/SymbolProvider.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

namespace tidewell::setupsheet {

namespace {
constexpr qreal headerSymbolPoints = 40;
constexpr qreal rowSymbolPoints = 15;

// The sheets' texts carry names from outside (the plug-in folder, bundle versions): never markup.
QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}
}  // namespace

ColorScheme scheme() { return ColorSchemeSource::instance().scheme(); }
QColor secondary() { return Theme::secondaryText(scheme()); }
QFont calloutFont() { return Theme::font(12); }

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    label->setPalette(palette);
}

Spinner::Spinner(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    setFixedSize(16, 16);
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent*) { timer_->start(); }
void Spinner::hideEvent(QHideEvent*) { timer_->stop(); }

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    painter.rotate(angle_);
    QColor color = Theme::secondaryText(scheme());
    // Twelve spokes, fading behind the leading one.
    for (int i = 0; i < 12; ++i) {
        QColor spoke = color;
        spoke.setAlphaF(color.alphaF() * (0.15 + 0.85 * (i / 11.0)));
        painter.setPen(QPen(spoke, 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -3.5), QPointF(0, -7));
        painter.rotate(30);
    }
}

Header::Header(QString symbol, std::function<QColor()> tint, const QString& title, const QString& subtitle,
               QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), tint_(std::move(tint)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    icon_ = new QLabel(this);
    icon_->setObjectName(QStringLiteral("headerSymbol"));
    row->addWidget(icon_, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    title_ = plainLabel(title, this);
    title_->setObjectName(QStringLiteral("headerTitle"));
    title_->setFont(Theme::font(17, QFont::DemiBold));
    subtitle_ = plainLabel(subtitle, this);
    subtitle_->setObjectName(QStringLiteral("headerSubtitle"));
    subtitle_->setWordWrap(true);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    row->addLayout(texts, 1);
    refreshColors();
}

void Header::refreshColors() {
    icon_->setPixmap(SymbolProvider::pixmap(symbol_, headerSymbolPoints, tint_(), devicePixelRatioF()));
    setTextColor(title_, Theme::primaryText(scheme()));
    setTextColor(subtitle_, secondary());
}

StatusRow::StatusRow(const QString& title, const QString& subtitle, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    // Qt has no first-baseline alignment: the icon sits at the top, level with the title.
    auto* iconBox = new QWidget(this);
    iconBox->setFixedSize(18, 18);
    icon_ = new QLabel(iconBox);
    icon_->setObjectName(QStringLiteral("rowSymbol"));
    icon_->setGeometry(0, 0, 18, 18);
    icon_->setAlignment(Qt::AlignCenter);
    spinner_ = new Spinner(iconBox);
    spinner_->move(1, 1);
    spinner_->hide();
    row->addWidget(iconBox, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* titleLine = new QHBoxLayout;
    title_ = plainLabel(title, this);
    title_->setObjectName(QStringLiteral("rowTitle"));
    title_->setFont(Theme::font(13, QFont::Medium));
    detail_ = plainLabel({}, this);
    detail_->setObjectName(QStringLiteral("rowDetail"));
    detail_->setFont(Theme::font(13));
    detail_->hide();
    titleLine->addWidget(title_);
    titleLine->addStretch(1);
    titleLine->addWidget(detail_);
    subtitle_ = plainLabel(subtitle, this);
    subtitle_->setObjectName(QStringLiteral("rowSubtitle"));
    subtitle_->setFont(calloutFont());
    subtitle_->setWordWrap(true);
    texts->addLayout(titleLine);
    texts->addWidget(subtitle_);
    row->addLayout(texts, 1);
    refreshColors();
}

void StatusRow::setSymbol(const QString& symbol, const QColor& tint) {
    symbol_ = symbol;
    tint_ = tint;
    spinning_ = false;
    spinner_->hide();
    icon_->show();
    icon_->setPixmap(SymbolProvider::pixmap(symbol, rowSymbolPoints, tint, devicePixelRatioF()));
}

void StatusRow::setSpinning() {
    symbol_.clear();
    spinning_ = true;
    icon_->hide();
    spinner_->show();
}

void StatusRow::setDetail(const QString& detail) {
    detail_->setText(detail);
    detail_->setVisible(!detail.isEmpty());
}

void StatusRow::setSubtitle(const QString& subtitle) { subtitle_->setText(subtitle); }

void StatusRow::refreshColors() {
    setTextColor(title_, Theme::primaryText(scheme()));
    setTextColor(detail_, secondary());
    setTextColor(subtitle_, secondary());
}

RowCard::RowCard(QWidget* parent) : QWidget(parent) {
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(14, 14, 14, 14);
    rows_->setSpacing(12);
}

void RowCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The quaternary fill (the primary colour at a tenth) at half opacity.
    QColor fill = Theme::primaryText(scheme());
    fill.setAlphaF(0.10 * 0.5);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 10, 10);
    painter.fillPath(path, fill);
}

QLabel* selectableCallout(QWidget* parent) {
    auto* label = plainLabel({}, parent);
    label->setFont(calloutFont());
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

}  // namespace tidewell::setupsheet
