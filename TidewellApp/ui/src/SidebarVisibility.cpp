#include "TidewellApp/SidebarVisibility.h"

namespace tidewell {

SidebarVisibility::SidebarVisibility(std::shared_ptr<Preferences> preferences, QObject* parent)
    : QObject(parent), preferences_(std::move(preferences)) {
  if (preferences_) visible_ = preferences_->boolean(QString::fromLatin1(preferenceKey)).value_or(true);
}

void SidebarVisibility::setVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  if (preferences_) preferences_->setBoolean(QString::fromLatin1(preferenceKey), visible);
  emit visibleChanged(visible);
}

QKeySequence SidebarVisibility::shortcut() {
  // Control-Command elsewhere; Super combinations belong to the desktop on most Linux ones.
  return QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S);
}

void toggleSidebar(SidebarVisibility& sidebar) { sidebar.setVisible(!sidebar.visible()); }

}  // namespace tidewell
