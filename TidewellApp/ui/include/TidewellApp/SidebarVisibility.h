#pragma once
// Whether the main window shows its device sidebar: one flag kept in the user's preferences
// under "sidebarVisible" (default true). The application holds the one instance; every view
// and command that shows or hides the sidebar reads and flips that instance, so a change made
// by one is seen by all and survives a relaunch.

#include <QKeySequence>
#include <QObject>
#include <memory>

#include "TidewellApp/Preferences.h"

namespace tidewell {

class SidebarVisibility : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool visible READ visible WRITE setVisible NOTIFY visibleChanged)

 public:
  static constexpr const char* preferenceKey = "sidebarVisible";
  // The spring the views animate a change with.
  static constexpr double springResponseSeconds = 0.3;
  static constexpr double springDampingFraction = 0.9;

  explicit SidebarVisibility(std::shared_ptr<Preferences> preferences, QObject* parent = nullptr);

  bool visible() const { return visible_; }
  // Stores the flag; signals only a change.
  void setVisible(bool visible);
  // From now on a change holds for this run only: the uninstaller removes the preferences file,
  // and a toggle must not bring it back.
  void stopStoring() { preferences_.reset(); }

  // The shortcut of the "Hide Sidebar"/"Show Sidebar" command.
  static QKeySequence shortcut();

 signals:
  void visibleChanged(bool visible);

 private:
  std::shared_ptr<Preferences> preferences_;
  bool visible_ = true;
};

// Flips the flag; the views that show the sidebar animate the change with the spring above.
void toggleSidebar(SidebarVisibility& sidebar);

}  // namespace tidewell
