#include "TidewellApp/SetupActivity.h"

#include <algorithm>

namespace tidewell {

SetupActivity& SetupActivity::shared() {
  static SetupActivity activity;
  return activity;
}

void SetupActivity::count(int& running, int change) {
  running = std::max(0, running + change);
  emit changed();
}

}  // namespace tidewell
