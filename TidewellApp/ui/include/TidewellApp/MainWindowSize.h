#pragma once
// The main window's size from one run to the next. The size the user leaves the window at is
// kept in the preferences under "mainWindowSize" ("1280x800"); the next opening takes it. The
// first opening (or one after a value that makes no sense) takes the size at which the editor
// shows its names whole. Either way the screen's free area bounds it and the window's minimum
// holds.

#include <QSize>
#include <memory>
#include <optional>

#include "TidewellApp/Preferences.h"

namespace tidewell {

class MainWindowSize {
 public:
  static constexpr const char* preferenceKey = "mainWindowSize";

  explicit MainWindowSize(std::shared_ptr<Preferences> preferences);

  // The remembered size, when the preference holds two positive numbers.
  std::optional<QSize> remembered() const;
  // The size to open at: the remembered one, else `fitting` (what the window asks for to show
  // its content whole); no larger than `available` and no smaller than `minimum`.
  QSize openingSize(QSize fitting, QSize available, QSize minimum) const;
  // Keeps the size for the next opening.
  void remember(QSize size);
  // From now on nothing is kept: the uninstaller removes the preferences file, and a window
  // closed afterwards must not bring it back; a window sized for a picture is not the user's.
  void stopStoring() { preferences_.reset(); }

 private:
  std::shared_ptr<Preferences> preferences_;
  std::optional<QSize> remembered_;
};

}  // namespace tidewell
