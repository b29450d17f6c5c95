#pragma once
// What the main window's views call besides the model's own members: the shared sidebar
// toggle of the application, and the diagnostics panel's operations (handed in so the panel
// can be driven without starting helpers or services). An empty hook leaves its control inert
// (a button stays disabled).

#include <QKeySequence>
#include <functional>

#include "TidewellApp/SidebarVisibility.h"

namespace tidewell {

struct MainWindowHooks {
  // Flips the stored "sidebarVisible" flag; the application then calls setSidebarVisible on
  // the frame.
  std::function<void()> toggleSidebar;
  // The menu command's shortcut, named in the tooltips of the sidebar buttons.
  QKeySequence sidebarShortcut = SidebarVisibility::shortcut();
  // The operations of the developer diagnostics panel (shown in the sidebar footer in
  // developer mode).
  struct Diagnostics {
    std::function<void()> runPassThruSelfTest;
    std::function<void()> installOrRestartService;
    std::function<void()> uninstallService;
    std::function<void()> refreshServiceStatus;
    std::function<void()> startMonitor, stopMonitor, restartMonitor;
    std::function<void()> startHardwareSource, stopHardwareSource, restartHardwareSource;
    std::function<void()> startProcessTap, stopProcessTap, restartProcessTap;
  } diagnostics;
};

class TidewellAppModel;
// The diagnostics operations as the model performs them.
MainWindowHooks::Diagnostics diagnosticsOf(TidewellAppModel& model);

}  // namespace tidewell
