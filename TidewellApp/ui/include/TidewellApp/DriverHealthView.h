#pragma once
// The sidebar's footer: the state of the plug-in and the service. One line (a coloured dot and
// a summary, the last status lines as its tooltip) for ordinary use; the developer diagnostics
// panel instead while developer mode is on. Neither decides anything: the model does.

#include <QPointer>
#include <QWidget>

#include "TidewellApp/MainWindowHooks.h"

class QStackedLayout;

namespace tidewell {

class ElidingLabel;
class StatusDot;
class TidewellAppModel;

class CompactHealthView : public QWidget {
  Q_OBJECT
 public:
  explicit CompactHealthView(TidewellAppModel& model, QWidget* parent = nullptr);

  QColor dotColor() const;
  ElidingLabel* summaryLabel() const { return summary_; }
  // Re-reads the summary, the dot colour and the tooltip from the model.
  void refresh();

 private:
  QPointer<TidewellAppModel> model_;
  StatusDot* dot_;
  ElidingLabel* summary_;
};

class DriverHealthView : public QWidget {
  Q_OBJECT
 public:
  DriverHealthView(TidewellAppModel& model, MainWindowHooks hooks, QWidget* parent = nullptr);

  CompactHealthView* compactView() const { return compact_; }
  // The diagnostics panel while developer mode is on, else none.
  QWidget* diagnosticsPanel() const { return diagnostics_; }

 private:
  void showForDeveloperMode();

  QPointer<TidewellAppModel> model_;
  MainWindowHooks hooks_;
  QStackedLayout* stack_;
  CompactHealthView* compact_;
  QWidget* diagnostics_ = nullptr;
};

}  // namespace tidewell
