#pragma once
// The detail area of the main window: the editor of one device (header, problems, routing
// canvas in a vertical scroll view), or the empty state when no device is selected.

#include <QPointer>
#include <QWidget>
#include <string>

#include "TidewellApp/MainWindowHooks.h"

class QLabel;
class QPushButton;
class QScrollArea;

namespace tidewell {

class DeviceHeaderView;
class RoutingCanvasView;
class TidewellAppModel;
class TidewellMeterModel;
class ValidationStrip;

// Shown when no device is selected: a symbol, "No Devices" and a button that creates one.
class EmptyDeviceView : public QWidget {
  Q_OBJECT
 public:
  explicit EmptyDeviceView(TidewellAppModel& model, QWidget* parent = nullptr);
  QPushButton* newDeviceButton() const { return button_; }

 private:
  void refreshSymbol();
  QPointer<TidewellAppModel> model_;
  QLabel* symbol_;
  QPushButton* button_;
};

class DeviceEditorView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int padding = 18;
  static constexpr int spacing = 16;

  DeviceEditorView(TidewellAppModel& model, TidewellMeterModel* meters, std::string deviceID,
                   bool sidebarVisible, MainWindowHooks hooks, QWidget* parent = nullptr);

  const std::string& deviceID() const { return deviceID_; }
  // Shows another device (the editor looks it up by id in the saved configuration).
  void setDeviceID(std::string deviceID);
  void setSidebarVisible(bool visible, bool animated = true);

  // What the editor asks for to show everything without scrolling and every name whole:
  // its content's preferred size. Empty while no device is shown.
  QSize fittingSize() const;

  // Present while the device is in the saved configuration.
  QScrollArea* scrollArea() const { return scroll_; }
  DeviceHeaderView* header() const { return header_; }
  ValidationStrip* validationStrip() const { return strip_; }
  RoutingCanvasView* canvas() const { return canvas_; }

 private:
  class Content;
  void rebuild();

  QPointer<TidewellAppModel> model_;
  TidewellMeterModel* meters_;
  std::string deviceID_;
  bool sidebarVisible_;
  MainWindowHooks hooks_;
  QScrollArea* scroll_ = nullptr;
  DeviceHeaderView* header_ = nullptr;
  ValidationStrip* strip_ = nullptr;
  RoutingCanvasView* canvas_ = nullptr;
};

}  // namespace tidewell
