#include "TidewellApp/ShellPlaceholders.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "TidewellApp/Theme.h"
#include "TidewellCore/Branding.h"

namespace tidewell {
namespace {

QString productName() { return QString::fromUtf8(Branding::productName.data(), int(Branding::productName.size())); }

QLabel* caption(const QString& text, qreal points, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(Theme::font(points, QFont::DemiBold));
  label->setAlignment(Qt::AlignCenter);
  return label;
}

}  // namespace

OnboardingViewPlaceholder::OnboardingViewPlaceholder(std::function<void()> close, QWidget* parent)
    : QWidget(parent) {
  setObjectName(QStringLiteral("OnboardingViewPlaceholder"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption(QStringLiteral("Set up ") + productName(), 17, this));
  auto* done = new QPushButton(QStringLiteral("Close"), this);
  done->setObjectName(QStringLiteral("closeOnboarding"));
  connect(done, &QPushButton::clicked, this, [close = std::move(close)] { if (close) close(); });
  layout->addWidget(done, 0, Qt::AlignCenter);
}

UninstallViewPlaceholder::UninstallViewPlaceholder(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("UninstallViewPlaceholder"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption(QStringLiteral("Uninstall ") + productName(), 17, this));
}

}  // namespace tidewell
