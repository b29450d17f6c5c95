#pragma once
// Small pieces shared by the main window's views: borderless symbol buttons, the thin divider
// and the tooltips that name the sidebar shortcut.

#include <QFrame>
#include <QKeySequence>
#include <QToolButton>

namespace tidewell {

// An icon-only borderless button drawing `symbol` in the primary foreground at 15 points.
QToolButton* makeSymbolButton(const QString& symbol, const QString& help, QWidget* parent, qreal points = 15);
// "Hide Sidebar (Meta+Ctrl+S)" and the like: the action and the shortcut as the platform
// writes it.
QString sidebarShortcutHelp(const QString& action, const QKeySequence& shortcut);

// Shows or hides `widget` with an opacity fade; a hidden widget ends invisible (no space, no
// clicks). Without `animated` the change is immediate.
void fadeWidget(QWidget* widget, bool visible, bool animated = true);
// The duration of the fade.
inline constexpr int fadeMilliseconds = 200;

// A filled 8 x 8 circle: the health dots of the sidebar footer.
class StatusDot : public QWidget {
  Q_OBJECT
 public:
  explicit StatusDot(QWidget* parent = nullptr);
  QColor colour() const { return colour_; }
  void setColour(const QColor& colour);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor colour_;
};

// A one-pixel separator line in the scheme's hairline colour.
class Divider : public QFrame {
  Q_OBJECT
 public:
  explicit Divider(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tidewell
