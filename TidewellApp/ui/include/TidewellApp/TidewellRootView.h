#pragma once
// The content of the main window: over the dotted background, a floating sidebar card at the
// left that slides out and back, and the detail column (the selected device's editor or the
// empty state). While the sidebar is hidden and no device is selected, a small floating button
// at the top left of the detail column brings it back.
//
// The "sidebarVisible" flag is the application's: the root takes its value and is told of
// every change through setSidebarVisible; its buttons ask the application through the
// toggleSidebar hook (or flip the root directly when no hook is given).

#include <QPointer>
#include <QWidget>

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/MainWindowHooks.h"

class QStackedLayout;
class QToolButton;
class QVariantAnimation;
class QGraphicsOpacityEffect;

namespace tidewell {

class DeviceEditorView;
class DotGridBackground;
class EmptyDeviceView;
class SidebarView;
class TidewellAppModel;
class TidewellMeterModel;

// The floating button that shows a hidden sidebar: the sidebar symbol in a small glass card.
class SidebarToggleButton : public GlassCard {
  Q_OBJECT
 public:
  static constexpr int side = 30;
  SidebarToggleButton(const QKeySequence& shortcut, QWidget* parent = nullptr);
  QToolButton* button() const { return button_; }

 signals:
  void clicked();

 private:
  QToolButton* button_;
};

class TidewellRootView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int cardWidth = 270;
  static constexpr int slotWidth = 282;  // the card and its leading padding
  static constexpr int maskOverhang = 24;
  static constexpr int cardTopPadding = 18;
  static constexpr int cardBottomPadding = 12;
  static constexpr qreal cardCornerRadius = 16;
  static constexpr int detailMinimumWidth = 760;
  // Long enough for the spring (response 0.3 s, damping 0.9) to settle.
  static constexpr int springMilliseconds = 500;

  TidewellRootView(TidewellAppModel& model, TidewellMeterModel* meters, bool sidebarVisible,
                   MainWindowHooks hooks = {}, QWidget* parent = nullptr);

  bool sidebarVisible() const { return sidebarVisible_; }
  // Shows or hides the sidebar, with the spring unless `animated` is false.
  void setSidebarVisible(bool visible, bool animated = true);

  // The sidebar slot's current width (282 shown, 0 hidden, in between while it moves).
  qreal sidebarSlotWidth() const { return slotWidth * progress_; }
  qreal sidebarOpacity() const;
  bool sidebarAnimating() const;
  // Whether the sidebar card takes clicks.
  bool sidebarTakesClicks() const;
  // The visible card's rectangle in this widget.
  QRectF sidebarCardRect() const;

  SidebarView* sidebar() const { return sidebar_; }
  QWidget* detailColumn() const { return detail_; }
  EmptyDeviceView* emptyState() const { return empty_; }
  // The editor while a device is selected.
  DeviceEditorView* editor() const { return editor_; }
  SidebarToggleButton* floatingToggle() const { return floating_; }

  // The size at which the shown editor needs no scrolling and cuts no name, beside the
  // sidebar's slot while the sidebar is shown; the minimum size when no editor is shown.
  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  class CardLayer;
  void setProgress(qreal progress);
  void layoutChildren();
  void showSelectedDevice();
  void updateFloatingToggle(bool animated);

  QPointer<TidewellAppModel> model_;
  TidewellMeterModel* meters_;
  MainWindowHooks hooks_;
  bool sidebarVisible_;
  qreal progress_;  // 1 shown, 0 hidden
  QVariantAnimation* spring_;
  DotGridBackground* background_;
  CardLayer* cardLayer_;
  SidebarView* sidebar_;
  QGraphicsOpacityEffect* sidebarOpacity_;
  QWidget* detail_;
  QStackedLayout* detailStack_;
  EmptyDeviceView* empty_;
  DeviceEditorView* editor_ = nullptr;
  SidebarToggleButton* floating_;
};

}  // namespace tidewell
