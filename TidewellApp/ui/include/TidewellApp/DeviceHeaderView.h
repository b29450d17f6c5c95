#pragma once
// The top of the device editor: a show-sidebar button while the sidebar is hidden, the icon
// menu, the device's name (every keystroke a live edit) and its "Enabled" switch. Every edit
// goes through the model's device bindings, so it is published at once and saved after the
// model's pause.

#include <QPointer>
#include <QWidget>

#include "TidewellApp/Bindings.h"
#include "TidewellApp/MainWindowHooks.h"

class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;

namespace tidewell {

class ToggleSwitch;

class DeviceHeaderView : public QWidget {
  Q_OBJECT
 public:
  static constexpr qreal cornerRadius = 12;

  DeviceHeaderView(TidewellAppModel& model, const DeviceConfig& device, bool sidebarVisible,
                   MainWindowHooks hooks, QWidget* parent = nullptr);

  // The device as found in the saved configuration (its icon labels the menu).
  void setDevice(const DeviceConfig& device);
  void setSidebarVisible(bool visible, bool animated = true);

  QToolButton* showSidebarButton() const { return showSidebar_; }
  QToolButton* iconMenuButton() const { return iconButton_; }
  QMenu* iconMenu() const { return iconMenu_; }
  QLineEdit* nameField() const { return nameField_; }
  ToggleSwitch* enabledSwitch() const { return enabledSwitch_; }
  // The symbol the icon menu's label shows.
  QString iconSymbol() const { return iconSymbol_; }

 private:
  void makeBindings();
  // Shows the bindings' values (pending edits included) without disturbing the user's typing.
  void refreshFromModel();
  void refreshIcon();

  QPointer<TidewellAppModel> model_;
  DeviceConfig device_;
  MainWindowHooks hooks_;
  Binding<std::string> iconBinding_;
  Binding<std::string> nameBinding_;
  Binding<bool> enabledBinding_;
  QString iconSymbol_;
  QToolButton* showSidebar_;
  QToolButton* iconButton_;
  QMenu* iconMenu_;
  QLineEdit* nameField_;
  ToggleSwitch* enabledSwitch_;
  QLabel* enabledLabel_;
};

}  // namespace tidewell
