#pragma once
// What the main window's views call besides the model's own members: the shared sidebar
// toggle of the application, and model operations that the application hands in. An empty
// hook leaves its control inert (a button stays disabled, a text stays empty).

#include <QColor>
#include <QKeySequence>
#include <QString>
#include <functional>

namespace tidewell {

struct MainWindowHooks {
  // Flips the stored "sidebarVisible" flag; the application then calls setSidebarVisible on
  // the frame.
  std::function<void()> toggleSidebar;
  // The menu command's shortcut, named in the tooltips of the sidebar buttons.
  QKeySequence sidebarShortcut{Qt::META | Qt::CTRL | Qt::Key_S};
  // Deletes the selected device and chooses the next selection.
  std::function<void()> deleteSelectedDevice;
  // The one-line health of the plug-in and the service, and its dot colour.
  std::function<QString()> compactHealthSummary;
  std::function<QColor()> compactHealthColor;
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

}  // namespace tidewell
