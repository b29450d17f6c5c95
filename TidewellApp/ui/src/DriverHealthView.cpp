#include "TidewellApp/DriverHealthView.h"

#include <QHBoxLayout>
#include <QStackedLayout>

#include "SidebarParts.h"
#include "TidewellApp/DeveloperDiagnosticsPanel.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/PlainText.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

CompactHealthView::CompactHealthView(TidewellAppModel& model, QWidget* parent)
    : QWidget(parent), model_(&model) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  dot_ = new StatusDot(this);
  summary_ = new ElidingLabel({}, this);
  summary_->setFont(Theme::font(11, QFont::Medium));
  summary_->setForeground(Theme::Foreground::secondary);
  row->addWidget(dot_, 0, Qt::AlignVCenter);
  row->addWidget(summary_, 1, Qt::AlignVCenter);

  for (auto signal : {&TidewellAppModel::compactHealthSummaryChanged, &TidewellAppModel::compactHealthColorChanged,
                      &TidewellAppModel::statusMessageChanged,
                      &TidewellAppModel::serviceStatusMessageChanged}) {
    connect(&model, signal, this, &CompactHealthView::refresh);
  }
  connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &CompactHealthView::refresh);
  refresh();
}

void CompactHealthView::refresh() {
  if (!model_) return;
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  dot_->setColour(model_->compactHealthColor() == TidewellAppModel::HealthColor::green ? Theme::green(scheme)
                                                                                        : Theme::orange(scheme));
  summary_->setText(model_->compactHealthSummary());
  // Two lines, even when the status message is empty.
  summary_->setToolTip(plainToolTip(model_->statusMessage() + QLatin1Char('\n') + model_->serviceStatusMessage()));
}

QColor CompactHealthView::dotColor() const { return dot_->colour(); }

DriverHealthView::DriverHealthView(TidewellAppModel& model, MainWindowHooks hooks, QWidget* parent)
    : QWidget(parent), model_(&model), hooks_(std::move(hooks)) {
  stack_ = new QStackedLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  compact_ = new CompactHealthView(model, this);
  stack_->addWidget(compact_);
  connect(&model, &TidewellAppModel::developerModeChanged, this, &DriverHealthView::showForDeveloperMode);
  showForDeveloperMode();
}

void DriverHealthView::showForDeveloperMode() {
  if (!model_) return;
  if (model_->developerMode()) {
    if (!diagnostics_) {
      diagnostics_ = new DeveloperDiagnosticsPanel(*model_, hooks_.diagnostics, this);

      stack_->addWidget(diagnostics_);
    }
    stack_->setCurrentWidget(diagnostics_);
  } else {
    stack_->setCurrentWidget(compact_);
    if (diagnostics_) {
      // Rebuilt when developer mode comes back, so nothing of it runs meanwhile.
      stack_->removeWidget(diagnostics_);
      diagnostics_->deleteLater();
      diagnostics_ = nullptr;
    }
  }
  updateGeometry();
}

}  // namespace tidewell
