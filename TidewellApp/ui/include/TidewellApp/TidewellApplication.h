#pragma once
// The application: owns its long-lived objects (the model, the meter model, the plug-in
// installer, the update model and the sidebar flag), its two windows (the main window and the
// single uninstall window) and its menu commands, and runs the start-up decisions when the
// main window's content is shown and a health pass each time the application becomes active.
// Everything here lives on the main thread.

#include <QObject>
#include <memory>
#include <optional>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/ShellServiceEntries.h"
#include "TidewellApp/UpdaterModel.h"

class QAction;
class QDialog;
class QWidget;

namespace tidewell {

class AppUninstaller;
class HealthBannerOverlay;
class MainWindowSize;
class SidebarVisibility;
class TidewellAppModel;
class TidewellMainWindow;
class TidewellMeterModel;
class TidewellRootView;

class TidewellApplication : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool showOnboarding READ showOnboarding WRITE setShowOnboarding NOTIFY showOnboardingChanged)

 public:
  // Replacements for tests; what is left empty is the application's own.
  struct Components {
    std::unique_ptr<DriverInstaller> driverInstaller;
    std::unique_ptr<UpdaterModel> updater;
    // Built from the model when absent.
    std::optional<ShellServiceEntries> serviceEntries;
  };

  // The menu commands, in the order they are declared.
  struct MenuCommands {
    QAction* checkForUpdates = nullptr;
    QAction* uninstall = nullptr;
    QAction* newDevice = nullptr;
    QAction* reload = nullptr;
    QAction* toggleSidebar = nullptr;
    QAction* developerMode = nullptr;
  };

  // Builds the model from `environment` at once (it loads the configuration and starts its
  // health checks), then the other objects and the main window, not yet shown but sized for
  // its opening.
  explicit TidewellApplication(AppEnvironment environment = AppEnvironment::shared(),
                               Components components = {}, QObject* parent = nullptr);
  ~TidewellApplication() override;

  TidewellAppModel& model() const { return *model_; }
  TidewellMeterModel& meters() const { return *meters_; }
  DriverInstaller& driverInstaller() const { return *driverInstaller_; }
  UpdaterModel& updater() const { return *updater_; }
  SidebarVisibility& sidebar() const { return *sidebar_; }
  // The main window's size across runs: it opens at it, and keeps the size it closes at.
  MainWindowSize& mainWindowSize() const { return *windowSize_; }
  TidewellMainWindow& mainWindow() const { return *mainWindow_; }
  // The main window's content: the sidebar and the selected device's editor.
  TidewellRootView& rootView() const { return *rootView_; }
  HealthBannerOverlay& healthBanner() const { return *banner_; }
  // The onboarding sheet: on screen while showOnboarding is true.
  QDialog& onboardingSheet() const { return *onboardingSheet_; }
  const MenuCommands& menuCommands() const { return commands_; }

  // Opens the uninstall window: made on the first request, raised on every later one.
  void openUninstallWindow();
  // The uninstall window once it was opened, else null.
  QWidget* uninstallWindow() const { return uninstallWindow_.get(); }

  bool showOnboarding() const { return showOnboarding_; }
  void setShowOnboarding(bool show);

  // Runs when the main window's content is put on screen: starts the meters on the selected
  // device, re-reads the plug-in's state, reinstalls a stale service and decides on onboarding.
  void runStartupStep();
  // Runs each time the application becomes active: re-reads the plug-in's state, then one
  // health pass of the model.
  void applicationBecameActive();

 signals:
  void showOnboardingChanged(bool show);

 private:
  void sizeMainWindowForOpening();
  void buildMenus();
  void buildOnboardingSheet();
  void decideAtStartup();
  void refreshBanner();
  bool bundleMissing() const;

  std::unique_ptr<TidewellAppModel> model_;
  std::unique_ptr<TidewellMeterModel> meters_;
  std::unique_ptr<DriverInstaller> driverInstaller_;
  std::unique_ptr<UpdaterModel> updater_;
  std::unique_ptr<SidebarVisibility> sidebar_;
  std::unique_ptr<MainWindowSize> windowSize_;
  ShellServiceEntries service_;
  bool showOnboarding_ = false;
  bool startupStepRan_ = false;
  std::unique_ptr<TidewellMainWindow> mainWindow_;
  TidewellRootView* rootView_ = nullptr;  // owned by the main window
  std::unique_ptr<HealthBannerOverlay> banner_;
  QDialog* onboardingSheet_ = nullptr;  // a child of the main window
  std::unique_ptr<AppUninstaller> uninstaller_;  // made with the uninstall window
  std::unique_ptr<QWidget> uninstallWindow_;
  MenuCommands commands_;
};

}  // namespace tidewell
