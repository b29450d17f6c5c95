#pragma once
// The main window's left column: the title row (hide sidebar, product name, new and delete
// device), the list of the configuration's virtual devices, and the health footer. A click on
// a device selects it and saves the selection; moving through the list with the keyboard only
// selects.

#include <QAbstractListModel>
#include <QListView>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QWidget>

#include "TidewellApp/MainWindowHooks.h"
#include "TidewellCore/ConfigModel.h"

class QToolButton;

namespace tidewell {

class DriverHealthView;
class TidewellAppModel;

// The saved configuration's devices, in stored order; each row carries its DeviceConfig.
class DeviceListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  static constexpr int deviceIDRole = Qt::UserRole + 1;

  explicit DeviceListModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}
  void setDevices(std::vector<DeviceConfig> devices);
  const std::vector<DeviceConfig>& devices() const { return devices_; }
  // The row of the device with this id, or -1.
  int rowOf(const std::string& deviceID) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  std::vector<DeviceConfig> devices_;
};

// Draws one device: its icon (filled and in the accent colour while enabled), its name on one
// line and the subtitle of channel count and rate.
class DeviceSidebarRow : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static QString subtitle(const DeviceConfig& device);
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The device list. Only a key press moves its selection for the user: the current row that a
// list gains with the keyboard focus is not the user's choice.
class DeviceListView : public QListView {
  Q_OBJECT
 public:
  using QListView::QListView;
  bool handlingKey() const { return handlingKey_; }

 signals:
  // After a mouse release and whatever click it made.
  void mouseReleased();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool handlingKey_ = false;
};

class SidebarView : public QWidget {
  Q_OBJECT
 public:
  SidebarView(TidewellAppModel& model, MainWindowHooks hooks, QWidget* parent = nullptr);

  DeviceListView* deviceList() const { return list_; }
  DeviceListModel* deviceListModel() const { return devices_; }
  QToolButton* hideSidebarButton() const { return hideButton_; }
  QToolButton* newDeviceButton() const { return newButton_; }
  QToolButton* deleteDeviceButton() const { return deleteButton_; }
  DriverHealthView* healthView() const { return health_; }

 private:
  void reloadDevices();
  void showSelection();
  void keyboardMovedTo(const QModelIndex& current);
  void rowTapped(const QModelIndex& index);

  QPointer<TidewellAppModel> model_;
  MainWindowHooks hooks_;
  DeviceListModel* devices_;
  DeviceListView* list_;
  QToolButton* hideButton_;
  QToolButton* newButton_;
  QToolButton* deleteButton_;
  DriverHealthView* health_;
};

}  // namespace tidewell
