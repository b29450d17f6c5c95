#include "TidewellApp/TidewellApplication.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QVBoxLayout>

#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/MainWindowSize.h"
#include "TidewellApp/OnboardingView.h"
#include "TidewellApp/SidebarVisibility.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/TidewellRootView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellApp/UninstallView.h"
#include "TidewellApp/UpdaterModel.h"
#include "TidewellApp/AppUninstaller.h"
#include "TidewellCore/Branding.h"

namespace tidewell {
namespace {

QString productName() {
  return QString::fromUtf8(Branding::productName.data(), int(Branding::productName.size()));
}

// The onboarding sheet has no dismiss action of its own: Escape and the window's close button
// leave it open; its content closes it by clearing the application's flag. A close that does
// not come from the user (the application quitting) goes through, or it would cancel the quit.
class OnboardingSheet final : public QDialog {
 public:
  explicit OnboardingSheet(QWidget* parent) : QDialog(parent, Qt::Sheet) {
    setObjectName(QStringLiteral("onboardingSheet"));
    setWindowModality(Qt::WindowModal);
  }
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (event->spontaneous()) event->ignore();
    else event->accept();
  }
};

}  // namespace

TidewellApplication::TidewellApplication(AppEnvironment environment, Components components, QObject* parent)
    : QObject(parent),
      model_(std::make_unique<TidewellAppModel>(environment)),
      meters_(std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment)),
      driverInstaller_(components.driverInstaller ? std::move(components.driverInstaller)
                                             : std::make_unique<DriverInstaller>()),
      updater_(components.updater ? std::move(components.updater) : std::make_unique<UpdaterModel>()),
      sidebar_(std::make_unique<SidebarVisibility>(environment.preferences)),
      windowSize_(std::make_unique<MainWindowSize>(environment.preferences)),
      service_(components.serviceEntries ? std::move(*components.serviceEntries)
                                    : ShellServiceEntries::of(*model_)),
      mainWindow_(std::make_unique<TidewellMainWindow>()) {
  MainWindowHooks hooks;
  hooks.toggleSidebar = [this] { toggleSidebar(*sidebar_); };
  hooks.diagnostics = diagnosticsOf(*model_);
  rootView_ = new TidewellRootView(*model_, meters_.get(), sidebar_->visible(), std::move(hooks));
  mainWindow_->setContent(rootView_);
  connect(sidebar_.get(), &SidebarVisibility::visibleChanged, rootView_,
          [root = rootView_](bool visible) { root->setSidebarVisible(visible); });
  connect(mainWindow_.get(), &TidewellMainWindow::contentShown, this,
          &TidewellApplication::runStartupStep);

  // The model signals the selection only when the device differs from the last one.
  connect(model_.get(), &TidewellAppModel::selectedDeviceChanged, this,
          [this] { meters_->updateDevice(model_->selectedDevice()); });

  connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) applicationBecameActive();
  });

  banner_ = std::make_unique<HealthBannerOverlay>(
      mainWindow_->contentHost(),
      HealthBannerCommands{[this] { setShowOnboarding(true); },
                           [this] { if (service_.installOrRestartService) service_.installOrRestartService(); },
                           [this] { model_->reload(); }});
  if (service_.watchPrimaryHealthIssue) service_.watchPrimaryHealthIssue(this, [this] { refreshBanner(); });
  connect(model_.get(), &TidewellAppModel::serviceActionRunningChanged, this, &TidewellApplication::refreshBanner);
  connect(driverInstaller_.get(), &DriverInstaller::statusChanged, this, &TidewellApplication::refreshBanner);
  connect(driverInstaller_.get(), &DriverInstaller::installingChanged, this, &TidewellApplication::refreshBanner);
  connect(this, &TidewellApplication::showOnboardingChanged, this, &TidewellApplication::refreshBanner);

  buildOnboardingSheet();
  buildMenus();
  sizeMainWindowForOpening();
  connect(mainWindow_.get(), &TidewellMainWindow::closing, this,
          [this](QSize size) { windowSize_->remember(size); });
  connect(model_.get(), &TidewellAppModel::isUninstallingChanged, this, [this] {
    if (model_->isUninstalling()) windowSize_->stopStoring();
  });
}

void TidewellApplication::sizeMainWindowForOpening() {
  TidewellMainWindow& window = *mainWindow_;
  // The size hints of a widget not yet shown follow its style once it is polished.
  window.ensurePolished();
  const QScreen* screen = window.screen();
  const QSize available = screen ? screen->availableGeometry().size() : QSize();
  window.resize(windowSize_->openingSize(window.fittingSize(), available, window.minimumSize()));
}

TidewellApplication::~TidewellApplication() {
  // The windows and the banner go before the objects they show.
  uninstallWindow_.reset();
  banner_.reset();
  mainWindow_.reset();
}

void TidewellApplication::setShowOnboarding(bool show) {
  if (show == showOnboarding_) return;
  showOnboarding_ = show;
  emit showOnboardingChanged(show);
}

bool TidewellApplication::bundleMissing() const {
  return driverInstaller_->status().kind == DriverInstallStatus::Kind::bundleMissing;
}

void TidewellApplication::runStartupStep() {
  decideAtStartup();
  // The banner waits for the same answer as the onboarding decision.
  model_->whenServiceSettled(this, [this] {
    startupStepRan_ = true;
    refreshBanner();
  });
}

void TidewellApplication::decideAtStartup() {
  meters_->start();
  meters_->updateDevice(model_->selectedDevice());
  driverInstaller_->refresh();
  using Kind = DriverInstallStatus::Kind;
  const Kind kind = driverInstaller_->status().kind;
  if (kind == Kind::bundleMissing) return;
  if (service_.reinstallServiceIfStale) service_.reinstallServiceIfStale();
  switch (kind) {
    case Kind::notInstalled:
    case Kind::outdated:
      setShowOnboarding(true);
      break;
    case Kind::unknown:
    case Kind::upToDate:
      // Whether the service runs may still be on its way from launchd (or a reinstall may run):
      // the sheet is decided once it is known, not on the state before.
      model_->whenServiceSettled(this, [this] {
        if (!(model_->halDriverLoaded() && model_->serviceInstalled() && model_->serviceRunning()))
          setShowOnboarding(true);
      });
      break;
    case Kind::bundleMissing:
      break;
  }
}

void TidewellApplication::applicationBecameActive() {
  driverInstaller_->refresh();
  if (service_.healthTick) service_.healthTick();
}

void TidewellApplication::refreshBanner() {
  // Until the start-up step has decided on onboarding, a banner would only flash up.
  if (!startupStepRan_) return;
  HealthBannerInputs inputs;
  inputs.primaryIssue = service_.primaryHealthIssue ? service_.primaryHealthIssue() : std::nullopt;
  inputs.onboardingShown = showOnboarding_;
  inputs.bundleMissing = bundleMissing();
  inputs.actionDisabled = model_->serviceActionRunning() || driverInstaller_->installing();
  banner_->setInputs(inputs);
}

void TidewellApplication::buildOnboardingSheet() {
  onboardingSheet_ = new OnboardingSheet(mainWindow_.get());
  auto* layout = new QVBoxLayout(onboardingSheet_);
  layout->addWidget(new OnboardingView(*model_, *driverInstaller_, [this] { setShowOnboarding(false); }));
  connect(this, &TidewellApplication::showOnboardingChanged, onboardingSheet_,
          [sheet = onboardingSheet_](bool show) { sheet->setVisible(show); });
}

void TidewellApplication::openUninstallWindow() {
  if (!uninstallWindow_) {
    uninstallWindow_ = std::make_unique<QWidget>(nullptr, Qt::Window);
    uninstallWindow_->setObjectName(QStringLiteral("uninstall"));
    uninstallWindow_->setWindowTitle(QStringLiteral("Uninstall ") + productName());
    auto* layout = new QVBoxLayout(uninstallWindow_.get());
    // The window follows its content's size; the user cannot resize it past that.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    if (!uninstaller_) uninstaller_ = std::make_unique<AppUninstaller>();
    layout->addWidget(new UninstallView(*model_, *uninstaller_));
  }
  uninstallWindow_->show();
  uninstallWindow_->raise();
  uninstallWindow_->activateWindow();
}

void TidewellApplication::buildMenus() {
  QMenuBar* bar = mainWindow_->menuBar();
  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
  QMenu* view = bar->addMenu(QStringLiteral("&View"));
  // On Linux the product's own items sit in the Help menu, where its about item would be.
  QMenu* help = bar->addMenu(QStringLiteral("&Help"));

  commands_.checkForUpdates = help->addAction(QStringLiteral("Check for Updates\u2026"));
  commands_.checkForUpdates->setEnabled(updater_->canCheckForUpdates());
  connect(updater_.get(), &UpdaterModel::canCheckForUpdatesChanged, commands_.checkForUpdates, &QAction::setEnabled);
  connect(commands_.checkForUpdates, &QAction::triggered, updater_.get(), [this] { updater_->checkForUpdates(); });

  commands_.uninstall = help->addAction(QStringLiteral("Uninstall ") + productName() + QStringLiteral("\u2026"));
  auto uninstallPresence = [this] { commands_.uninstall->setVisible(!bundleMissing()); };
  uninstallPresence();
  connect(driverInstaller_.get(), &DriverInstaller::statusChanged, commands_.uninstall, uninstallPresence);
  connect(commands_.uninstall, &QAction::triggered, this, &TidewellApplication::openUninstallWindow);

  commands_.newDevice = file->addAction(QStringLiteral("New Device"));
  commands_.newDevice->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  connect(commands_.newDevice, &QAction::triggered, model_.get(), [this] { model_->createDevice(); });

  commands_.reload = file->addAction(QStringLiteral("Reload"));
  commands_.reload->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  connect(commands_.reload, &QAction::triggered, model_.get(), [this] { model_->reload(); });

  file->addSeparator();
  QAction* quit = file->addAction(QStringLiteral("Quit"));
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

  commands_.toggleSidebar = view->addAction(QString());
  commands_.toggleSidebar->setShortcut(SidebarVisibility::shortcut());
  auto sidebarTitle = [this] {
    commands_.toggleSidebar->setText(sidebar_->visible() ? QStringLiteral("Hide Sidebar")
                                                         : QStringLiteral("Show Sidebar"));
  };
  sidebarTitle();
  connect(sidebar_.get(), &SidebarVisibility::visibleChanged, commands_.toggleSidebar, sidebarTitle);
  connect(model_.get(), &TidewellAppModel::isUninstallingChanged, sidebar_.get(), [this] {
    if (model_->isUninstalling()) sidebar_->stopStoring();
  });
  connect(commands_.toggleSidebar, &QAction::triggered, sidebar_.get(), [this] { toggleSidebar(*sidebar_); });

  edit->addSeparator();
  commands_.developerMode = edit->addAction(QStringLiteral("Developer Mode"));
  commands_.developerMode->setCheckable(true);
  commands_.developerMode->setChecked(model_->developerMode());
  commands_.developerMode->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
  // `triggered` comes only from the user, so following the model never writes back.
  connect(model_.get(), &TidewellAppModel::developerModeChanged, commands_.developerMode,
          [this] { commands_.developerMode->setChecked(model_->developerMode()); });
  connect(commands_.developerMode, &QAction::triggered, model_.get(),
          [this](bool checked) { model_->setDeveloperMode(checked); });
}

}  // namespace tidewell
