#include "TidewellApp/MainWindowSize.h"

#include <QRegularExpression>

namespace tidewell {

namespace {

// Larger than any screen; a hand-edited number beyond it is not a size.
constexpr int largestSide = 32768;

std::optional<QSize> parsed(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,5})\\s*x\\s*(\\d{1,5})\\s*$"));
  const QRegularExpressionMatch match = form.match(text);
  if (!match.hasMatch()) return std::nullopt;
  const QSize size(match.captured(1).toInt(), match.captured(2).toInt());
  if (size.isEmpty() || size.width() > largestSide || size.height() > largestSide) return std::nullopt;
  return size;
}

QString written(QSize size) {
  return QString::number(size.width()) + QLatin1Char('x') + QString::number(size.height());
}

}  // namespace

MainWindowSize::MainWindowSize(std::shared_ptr<Preferences> preferences)
    : preferences_(std::move(preferences)) {
  // Read once: the window opens once per run.
  if (preferences_) {
    if (const auto text = preferences_->string(QString::fromLatin1(preferenceKey))) remembered_ = parsed(*text);
  }
}

std::optional<QSize> MainWindowSize::remembered() const { return remembered_; }

QSize MainWindowSize::openingSize(QSize fitting, QSize available, QSize minimum) const {
  QSize size = remembered_.value_or(fitting);
  if (available.isValid() && !available.isEmpty()) size = size.boundedTo(available);
  return size.expandedTo(minimum);
}

void MainWindowSize::remember(QSize size) {
  if (!preferences_ || size.isEmpty() || size == remembered_) return;
  remembered_ = size;
  preferences_->setString(QString::fromLatin1(preferenceKey), written(size));
}

}  // namespace tidewell
