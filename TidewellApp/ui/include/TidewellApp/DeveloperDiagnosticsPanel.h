#pragma once
// The developer's control board in the sidebar footer: the plug-in and the service with their
// checks and actions, the application's own monitor, hardware-input and capture helpers with
// the output, input or application each uses, and the configuration file's path. Every
// indicator is a model field; every control calls a model operation or writes a field.

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QWidget>

#include "TidewellApp/MainWindowHooks.h"
#include "TidewellApp/PathLabel.h"

class QComboBox;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace tidewell {

class LineLimitedLabel;
class StatusDot;
class TidewellAppModel;

class DeveloperDiagnosticsPanel : public QWidget {
  Q_OBJECT
 public:
  using Operations = MainWindowHooks::Diagnostics;

  DeveloperDiagnosticsPanel(TidewellAppModel& model, Operations operations, QWidget* parent = nullptr);

  // One helper's row and picker.
  struct HelperControls {
    QLabel* icon = nullptr;
    QLabel* title = nullptr;
    LineLimitedLabel* status = nullptr;
    QToolButton* startStop = nullptr;
    QComboBox* picker = nullptr;
    QToolButton* pickerRefresh = nullptr;
    QString iconSymbol;
    QString buttonSymbol;
  };

  QLabel* driverTitle() const { return driverTitle_; }
  QColor driverDotColor() const;
  QToolButton* passThruTestButton() const { return passThruTest_; }
  QString passThruTestSymbol() const { return passThruSymbol_; }
  QToolButton* driverRefreshButton() const { return driverRefresh_; }
  LineLimitedLabel* statusLine() const { return statusLine_; }
  QLabel* serviceTitle() const { return serviceTitle_; }
  LineLimitedLabel* serviceStatusLine() const { return serviceStatus_; }
  QString serviceIconSymbol() const { return serviceIconSymbol_; }
  QToolButton* serviceInstallButton() const { return serviceInstall_; }
  QString serviceInstallSymbol() const { return serviceInstallSymbol_; }
  QToolButton* serviceStopButton() const { return serviceStop_; }
  QToolButton* serviceRefreshButton() const { return serviceRefresh_; }
  const HelperControls& monitor() const { return helpers_[0]; }
  const HelperControls& hardwareInput() const { return helpers_[1]; }
  const HelperControls& capture() const { return helpers_[2]; }
  PathLabel* configurationPath() const { return configurationPath_; }

  // Re-reads every indicator and enable state from the model.
  void refresh();

  // The values in which the three helper rows differ.
  struct HelperKind;

 private:
  void build();
  void buildHelper(int index, QVBoxLayout* column);
  void refreshHelper(int index);
  void refreshPicker(int index);
  void choose(int index, int option);

  QPointer<TidewellAppModel> model_;
  Operations operations_;
  StatusDot* driverDot_ = nullptr;
  QLabel* driverTitle_ = nullptr;
  QToolButton* passThruTest_ = nullptr;
  QString passThruSymbol_;
  QToolButton* driverRefresh_ = nullptr;
  LineLimitedLabel* statusLine_ = nullptr;
  QLabel* serviceIcon_ = nullptr;
  QString serviceIconSymbol_;
  QLabel* serviceTitle_ = nullptr;
  LineLimitedLabel* serviceStatus_ = nullptr;
  QToolButton* serviceInstall_ = nullptr;
  QString serviceInstallSymbol_;
  QToolButton* serviceStop_ = nullptr;
  QToolButton* serviceRefresh_ = nullptr;
  HelperControls helpers_[3];
  // Which entry of each picker the user chose last (a device uid, or an application's process
  // object): entries may share a tag (applications without a process id all read "0"), and the
  // one chosen stays shown.
  QString chosenIdentity_[3];
  // The capture picker's application icons, by bundle identifier and process id: looking one
  // up reads desktop entries, so it is done once per running application, not at every refresh.
  QHash<QString, QIcon> captureIcons_;
  bool fillingPicker_ = false;
  PathLabel* configurationPath_ = nullptr;
};

}  // namespace tidewell
