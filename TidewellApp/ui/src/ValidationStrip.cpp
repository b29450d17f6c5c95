#include "TidewellApp/ValidationStrip.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

namespace tidewell {

namespace {

const QString errorSymbol = QStringLiteral("xmark.octagon.fill");
const QString warningSymbol = QStringLiteral("exclamationmark.triangle.fill");
constexpr qreal textPoints = 12;

}  // namespace

ValidationStrip::ValidationStrip(QWidget* parent) : QWidget(parent) {
  column_ = new QVBoxLayout(this);
  column_->setContentsMargins(10, 10, 10, 10);
  column_->setSpacing(6);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &ValidationStrip::rebuild);
  setVisible(false);
}

void ValidationStrip::setValidation(const ValidationResult& validation) {
  if (validation == validation_) return;
  validation_ = validation;
  rebuild();
}

void ValidationStrip::rebuild() {
  while (QLayoutItem* item = column_->takeAt(0)) {
    if (QLayout* row = item->layout()) {
      while (QLayoutItem* inner = row->takeAt(0)) {
        delete inner->widget();
        delete inner;
      }
    }
    delete item->widget();
    delete item;
  }
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  auto addRow = [&](const ValidationIssue& issue, const QString& symbol, const QColor& colour) {
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    const qreal side = SymbolProvider::sizeForFont(textPoints);
    auto* icon = new QLabel(this);
    icon->setObjectName(symbol);
    icon->setPixmap(SymbolProvider::pixmap(symbol, side, colour, devicePixelRatioF()));
    icon->setFixedSize(qCeil(side), qCeil(side));
    auto* text = new QLabel(this);
    // Messages carry names the user typed: never read them as markup.
    text->setTextFormat(Qt::PlainText);
    text->setText(QString::fromStdString(issue.message));
    text->setWordWrap(true);
    text->setFont(Theme::font(textPoints));
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, colour);
    text->setPalette(palette);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    column_->addLayout(row);
  };
  for (const auto& issue : validation_.errors) addRow(issue, errorSymbol, Theme::red(scheme));
  for (const auto& issue : validation_.warnings) addRow(issue, warningSymbol, Theme::orange(scheme));
  setVisible(!validation_.errors.empty() || !validation_.warnings.empty());
  update();
}

QList<ValidationStrip::Row> ValidationStrip::rows() const {
  QList<Row> result;
  for (int index = 0; index < column_->count(); ++index) {
    QLayout* row = column_->itemAt(index)->layout();
    if (!row || row->count() < 2) continue;
    auto* icon = qobject_cast<QLabel*>(row->itemAt(0)->widget());
    auto* text = qobject_cast<QLabel*>(row->itemAt(1)->widget());
    if (icon && text) result.push_back({icon->objectName(), text->text()});
  }
  return result;
}

void ValidationStrip::paintEvent(QPaintEvent*) {
  // The card itself is painted by the editor behind the strip (its shadow falls outside this
  // widget); the strip adds the outline, the same for errors and for warnings alone.
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor outline = Theme::orange(ColorSchemeSource::instance().scheme());
  outline.setAlphaF(0.35);
  painter.setPen(QPen(outline, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(GlassCardModifier::shape(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5));
}

}  // namespace tidewell
