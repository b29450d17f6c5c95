#pragma once
// The main window: at least 1080 × 680, its content over the dot-grid background. It tells
// when its content is put on screen (at launch, and again when it is shown anew after being
// closed; not when it comes back from being minimised), when it has painted its first frame,
// and when it closes (also when the application quits).

#include <QMainWindow>
#include <QPointer>

class QGridLayout;

namespace tidewell {

class DotGridBackground;

class TidewellMainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int minimumWidth = 1080;
  static constexpr int minimumHeight = 680;

  explicit TidewellMainWindow(QWidget* parent = nullptr);

  DotGridBackground* background() const { return background_; }
  // The central widget: the dot grid with the content over it; overlays (the banner) go here.
  QWidget* contentHost() const { return host_; }
  // Replaces the content (the previous one is deleted).
  void setContent(QWidget* content);
  QWidget* content() const { return content_; }
  // The size at which the content shows whole: its preferred size under the menu bar, read
  // afresh (the content's own preference changes with what it shows).
  QSize fittingSize() const;

 signals:
  void contentShown();
  void firstFramePainted();
  // Closing, at `size`: the size the user left it at (a maximised or full-screen window's
  // size before that).
  void closing(QSize size);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* host_ = nullptr;
  QGridLayout* layout_ = nullptr;
  DotGridBackground* background_ = nullptr;
  QPointer<QWidget> content_;
  bool painted_ = false;
};

}  // namespace tidewell
