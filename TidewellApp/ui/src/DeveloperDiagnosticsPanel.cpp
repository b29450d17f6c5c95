#include "TidewellApp/DeveloperDiagnosticsPanel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include "SidebarParts.h"
#include "TidewellApp/ApplicationIcon.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/LineLimitedLabel.h"
#include "TidewellApp/PlainText.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

namespace {

ColorScheme scheme() { return ColorSchemeSource::instance().scheme(); }

void setSymbol(QToolButton* button, const QString& symbol) {
  button->setIcon(SymbolProvider::icon(symbol, Theme::primaryText(scheme())));
}

void setRowIcon(QLabel* label, const QString& symbol, bool running) {
  const qreal side = SymbolProvider::sizeForFont(13);
  label->setPixmap(SymbolProvider::pixmap(symbol, side, running ? Theme::accent(scheme()) : Theme::secondaryText(scheme()),
                                          label->devicePixelRatioF()));
}

QLabel* makeRowIcon(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFixedWidth(18);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

QLabel* makeTitle(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setFont(Theme::font(12, QFont::Medium));
  return label;
}

LineLimitedLabel* makeStatus(QWidget* parent, qreal points) {
  auto* label = new LineLimitedLabel({}, 2, parent);
  label->setFont(Theme::font(points));
  label->setForeground(Theme::Foreground::secondary);
  return label;
}

void setStatusText(LineLimitedLabel* label, const QString& text) {
  label->setText(text);
  label->setToolTip(plainToolTip(text));
}

// A title over a status text, 2 apart.
QVBoxLayout* titleAndStatus(QLabel* title, LineLimitedLabel* status) {
  auto* block = new QVBoxLayout;
  block->setSpacing(2);
  block->addWidget(title);
  block->addWidget(status);
  return block;
}

QHBoxLayout* statusRow() {
  auto* row = new QHBoxLayout;
  row->setSpacing(8);
  row->setAlignment(Qt::AlignVCenter);
  return row;
}

}  // namespace

struct DeveloperDiagnosticsPanel::HelperKind {
  bool (TidewellAppModel::*running)() const;
  const QString& (TidewellAppModel::*status)() const;
  const QString& (TidewellAppModel::*selection)() const;
  // Sets the pick and writes its preference, through the model.
  void (TidewellAppModel::*remember)(const QString&);
  void (TidewellAppModel::*runningChanged)();
  void (TidewellAppModel::*statusChanged)();
  void (TidewellAppModel::*selectionChanged)();
  const char* iconStopped;
  const char* iconRunning;
  const char* titleStopped;
  const char* titleRunning;
  const char* helpWhileServiceRuns;
  const char* helpStopped;
  const char* helpRunning;
  std::function<void()> Operations::*start;
  std::function<void()> Operations::*stop;
  std::function<void()> Operations::*restart;
  const char* pickerTitle;
  const char* firstOption;
  const char* refreshHelp;
};

static const DeveloperDiagnosticsPanel::HelperKind* helperKinds() {
  using M = TidewellAppModel;
  using O = MainWindowHooks::Diagnostics;
  static const DeveloperDiagnosticsPanel::HelperKind kinds[3] = {
      {&M::monitorRunning, &M::monitorStatusMessage, &M::selectedMonitorOutputUID, &M::rememberMonitorOutput,
       &M::monitorRunningChanged, &M::monitorStatusMessageChanged, &M::selectedMonitorOutputUIDChanged,
       "headphones.circle", "headphones.circle.fill", "Monitor Off", "Monitor On", "Service controls saved monitors",
       "Start Monitor", "Stop Monitor", &O::startMonitor, &O::stopMonitor, &O::restartMonitor, "Monitor Output",
       "System Default", "Refresh Audio Devices"},
      {&M::hardwareSourceRunning, &M::hardwareSourceStatusMessage, &M::selectedHardwareInputUID,
       &M::rememberHardwareInput, &M::hardwareSourceRunningChanged, &M::hardwareSourceStatusMessageChanged,
       &M::selectedHardwareInputUIDChanged, "mic.circle", "mic.circle.fill", "Input Off", "Input On",
       "Service controls saved hardware inputs", "Start Hardware Input", "Stop Hardware Input",
       &O::startHardwareSource, &O::stopHardwareSource, &O::restartHardwareSource, "Hardware Input", "Select Input",
       "Refresh Audio Devices"},
      {&M::processTapRunning, &M::processTapStatusMessage, &M::selectedApplicationPID, &M::rememberApplication,
       &M::processTapRunningChanged, &M::processTapStatusMessageChanged, &M::selectedApplicationPIDChanged,
       "desktopcomputer.and.arrow.down", "desktopcomputer.and.arrow.down.circle.fill", "Capture Off", "Capture On",
       "Service controls saved capture sources", "Start Capture", "Stop Capture", &O::startProcessTap,
       &O::stopProcessTap, &O::restartProcessTap, "Audio Capture", "System Audio",
       "Refresh Applications"},
  };
  return kinds;
}

DeveloperDiagnosticsPanel::DeveloperDiagnosticsPanel(TidewellAppModel& model, Operations operations, QWidget* parent)
    : QWidget(parent), model_(&model), operations_(std::move(operations)) {
  setObjectName(QStringLiteral("developerDiagnostics"));
  build();
  using M = TidewellAppModel;
  for (auto signal : {&M::halDriverLoadedChanged, &M::passThruTestRunningChanged, &M::statusMessageChanged,
                      &M::serviceInstalledChanged, &M::serviceRunningChanged, &M::serviceActionRunningChanged,
                      &M::serviceStatusMessageChanged, &M::monitorOutputDevicesChanged,
                      &M::hardwareInputDevicesChanged, &M::applicationSourceCandidatesChanged}) {
    connect(&model, signal, this, &DeveloperDiagnosticsPanel::refresh);
  }
  for (int index = 0; index < 3; ++index) {
    const HelperKind& kind = helperKinds()[index];
    for (auto signal : {kind.runningChanged, kind.statusChanged, kind.selectionChanged}) {
      connect(&model, signal, this, &DeveloperDiagnosticsPanel::refresh);
    }
  }
  connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &DeveloperDiagnosticsPanel::refresh);
  refresh();
}

void DeveloperDiagnosticsPanel::build() {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  // 1. Driver row.
  auto* driver = statusRow();
  driverDot_ = new StatusDot(this);
  driverTitle_ = makeTitle(this);
  passThruTest_ = makeSymbolButton(QStringLiteral("waveform.path.ecg.rectangle"), {}, this, 13);
  driverRefresh_ = makeSymbolButton(QStringLiteral("arrow.clockwise"), QStringLiteral("Refresh"), this, 13);
  driver->addWidget(driverDot_);
  driver->addWidget(driverTitle_);
  driver->addStretch(1);
  driver->addWidget(passThruTest_);
  driver->addWidget(driverRefresh_);
  column->addLayout(driver);
  connect(passThruTest_, &QToolButton::clicked, this, [this] {
    if (operations_.runPassThruSelfTest) operations_.runPassThruSelfTest();
  });
  connect(driverRefresh_, &QToolButton::clicked, this, [this] {
    if (!model_) return;
    DeviceRegistry& registry = *model_->environment().registry;
    // A failing plug-in query counts as not loaded; the pass-thru device alone also counts.
    auto query = [](auto&& ask) {
      try {
        return bool(ask());
      } catch (...) {
        return false;
      }
    };
    model_->setHalDriverLoaded(query([&] { return registry.halPlugInIsLoaded(); }) ||
                               query([&] { return registry.passThruDeviceIsLoaded(); }));
  });

  // 2. Last status line.
  statusLine_ = makeStatus(this, 11);
  column->addWidget(statusLine_);
  column->addWidget(new Divider(this));

  // 4. Service row.
  auto* service = statusRow();
  serviceIcon_ = makeRowIcon(this);
  serviceTitle_ = makeTitle(this);
  serviceStatus_ = makeStatus(this, 10);
  serviceInstall_ = makeSymbolButton(QStringLiteral("arrow.down.circle"), {}, this, 13);
  serviceStop_ = makeSymbolButton(QStringLiteral("stop.fill"), QStringLiteral("Stop Service"), this, 13);
  serviceRefresh_ = makeSymbolButton(QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("Refresh Service"), this, 13);
  service->addWidget(serviceIcon_);
  service->addLayout(titleAndStatus(serviceTitle_, serviceStatus_), 1);
  service->addWidget(serviceInstall_);
  service->addWidget(serviceStop_);
  service->addWidget(serviceRefresh_);
  column->addLayout(service);
  auto call = [this](std::function<void()> Operations::*operation) {
    return [this, operation] {
      if (operations_.*operation) (operations_.*operation)();
    };
  };
  connect(serviceInstall_, &QToolButton::clicked, this, call(&Operations::installOrRestartService));
  connect(serviceStop_, &QToolButton::clicked, this, call(&Operations::uninstallService));
  connect(serviceRefresh_, &QToolButton::clicked, this, call(&Operations::refreshServiceStatus));

  for (int index = 0; index < 3; ++index) {
    column->addWidget(new Divider(this));
    buildHelper(index, column);
  }

  // 14. Configuration path.
  configurationPath_ = new PathLabel(this);
  configurationPath_->setFont(Theme::monospacedFont(10));
  configurationPath_->setPath(QString::fromStdString(model_->store().url.string()));
  column->addWidget(configurationPath_);
}

void DeveloperDiagnosticsPanel::buildHelper(int index, QVBoxLayout* column) {
  const HelperKind& kind = helperKinds()[index];
  HelperControls& controls = helpers_[index];
  auto* row = statusRow();
  controls.icon = makeRowIcon(this);
  controls.title = makeTitle(this);
  controls.status = makeStatus(this, 10);
  controls.startStop = makeSymbolButton(QStringLiteral("play.fill"), {}, this, 13);
  row->addWidget(controls.icon);
  row->addLayout(titleAndStatus(controls.title, controls.status), 1);
  row->addWidget(controls.startStop);
  column->addLayout(row);
  connect(controls.startStop, &QToolButton::clicked, this, [this, index] {
    if (!model_) return;
    const HelperKind& kind = helperKinds()[index];
    auto operation = (model_->*kind.running)() ? kind.stop : kind.start;
    if (operations_.*operation) (operations_.*operation)();
  });

  auto* picker = new QVBoxLayout;
  picker->setSpacing(6);
  auto* header = new QHBoxLayout;
  auto* title = new ElidingLabel(QString::fromLatin1(kind.pickerTitle), this);
  title->setFont(Theme::font(11, QFont::Medium));
  title->setForeground(Theme::Foreground::secondary);
  controls.pickerRefresh = makeSymbolButton(QStringLiteral("arrow.triangle.2.circlepath"),
                                            QString::fromLatin1(kind.refreshHelp), this, 11);
  header->addWidget(title);
  header->addStretch(1);
  header->addWidget(controls.pickerRefresh);
  controls.picker = new QComboBox(this);
  controls.picker->setAccessibleName(QString::fromLatin1(kind.pickerTitle));
  controls.picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  controls.picker->setMinimumContentsLength(8);
  picker->addLayout(header);
  picker->addWidget(controls.picker);
  column->addLayout(picker);
  connect(controls.picker, qOverload<int>(&QComboBox::activated), this,
          [this, index](int option) { choose(index, option); });
  connect(controls.pickerRefresh, &QToolButton::clicked, this, [this, index] {
    if (!model_) return;
    DeviceRegistry& registry = *model_->environment().registry;
    if (index < 2) {
      model_->setAudioDeviceInventory(registry.deviceInventory());
    } else {
      model_->setApplicationSourceCandidates(registry.applicationSourceCandidates());
      model_->followRelaunchedApplicationSources();
    }
  });
}

QColor DeveloperDiagnosticsPanel::driverDotColor() const { return driverDot_->colour(); }

void DeveloperDiagnosticsPanel::refresh() {
  if (!model_) return;
  const TidewellAppModel& model = *model_;
  driverDot_->setColour(model.halDriverLoaded() ? Theme::green(scheme()) : Theme::red(scheme()));
  driverTitle_->setText(model.halDriverLoaded() ? QStringLiteral("Driver Loaded") : QStringLiteral("Driver Missing"));
  passThruSymbol_ = model.passThruTestRunning() ? QStringLiteral("waveform.path.ecg.rectangle.fill")
                                                : QStringLiteral("waveform.path.ecg.rectangle");
  setSymbol(passThruTest_, passThruSymbol_);
  passThruTest_->setToolTip(model.passThruTestRunning() ? QStringLiteral("Pass-Thru Test Running")
                                                        : QStringLiteral("Run Pass-Thru Test"));
  passThruTest_->setEnabled(model.halDriverLoaded() && !model.passThruTestRunning());
  setStatusText(statusLine_, model.statusMessage());
  QPalette pathPalette = configurationPath_->palette();
  pathPalette.setColor(QPalette::WindowText, Theme::tertiaryText(scheme()));
  configurationPath_->setPalette(pathPalette);

  serviceIconSymbol_ = model.serviceRunning() ? QStringLiteral("gearshape.2.fill") : QStringLiteral("gearshape.2");
  setRowIcon(serviceIcon_, serviceIconSymbol_, model.serviceRunning());
  serviceTitle_->setText(model.serviceRunning() ? QStringLiteral("Service On") : QStringLiteral("Service Off"));
  setStatusText(serviceStatus_, model.serviceStatusMessage());
  serviceInstallSymbol_ = model.serviceInstalled() ? QStringLiteral("arrow.clockwise") : QStringLiteral("arrow.down.circle");
  setSymbol(serviceInstall_, serviceInstallSymbol_);
  serviceInstall_->setToolTip(model.serviceInstalled() ? QStringLiteral("Restart Service") : QStringLiteral("Install Service"));
  serviceInstall_->setEnabled(!model.serviceActionRunning());
  serviceStop_->setEnabled(model.serviceInstalled() && !model.serviceActionRunning());
  serviceRefresh_->setEnabled(!model.serviceActionRunning());

  for (int index = 0; index < 3; ++index) {
    refreshHelper(index);
    refreshPicker(index);
  }
}

void DeveloperDiagnosticsPanel::refreshHelper(int index) {
  const TidewellAppModel& model = *model_;
  const HelperKind& kind = helperKinds()[index];
  HelperControls& controls = helpers_[index];
  const bool running = (model.*kind.running)();
  controls.iconSymbol = QString::fromLatin1(running ? kind.iconRunning : kind.iconStopped);
  setRowIcon(controls.icon, controls.iconSymbol, running);
  controls.title->setText(QString::fromLatin1(running ? kind.titleRunning : kind.titleStopped));
  setStatusText(controls.status, (model.*kind.status)());
  controls.buttonSymbol = running ? QStringLiteral("stop.fill") : QStringLiteral("play.fill");
  setSymbol(controls.startStop, controls.buttonSymbol);
  // A running helper can always be stopped; a stopped one starts only with the plug-in loaded
  // and the service (which runs the saved helpers itself) not running.
  controls.startStop->setEnabled(running || (model.halDriverLoaded() && !model.serviceRunning()));
  controls.startStop->setToolTip(QString::fromLatin1(model.serviceRunning() ? kind.helpWhileServiceRuns
                                                     : running              ? kind.helpRunning
                                                                            : kind.helpStopped));
}

void DeveloperDiagnosticsPanel::refreshPicker(int index) {
  const TidewellAppModel& model = *model_;
  const HelperKind& kind = helperKinds()[index];
  QComboBox* picker = helpers_[index].picker;
  fillingPicker_ = true;
  picker->clear();
  picker->addItem(QString::fromLatin1(kind.firstOption), QString());
  if (index < 2) {
    const auto devices = index == 0 ? model.monitorOutputDevices() : model.hardwareInputDevices();
    for (const auto& device : devices) {
      const QString uid = QString::fromStdString(device.uid);
      picker->addItem(QString::fromStdString(device.name) + (device.isDefault ? QStringLiteral(" (Default)") : QString()), uid);
      picker->setItemData(picker->count() - 1, uid, Qt::UserRole + 1);
    }
    picker->setEnabled(!devices.empty());
  } else {
    QHash<QString, QIcon> icons;
    for (const auto& candidate : model.applicationSourceCandidates()) {
      const QString key = QString::fromStdString(candidate.bundleIdentifier.value_or(std::string())) +
                          QLatin1Char('\n') + QString::number(candidate.pid.value_or(0));
      auto known = captureIcons_.constFind(key);
      const QIcon icon = known != captureIcons_.constEnd()
                             ? *known
                             : ApplicationIcon::menuIcon(candidate.bundleIdentifier, candidate.pid, 15);
      icons.insert(key, icon);
      picker->addItem(icon, QString::fromStdString(candidate.displayName),
                      QString::number(candidate.pid.value_or(0)));
      picker->setItemData(picker->count() - 1,
                          candidate.processObjectID ? QString::number(*candidate.processObjectID) : QString(),
                          Qt::UserRole + 1);
    }
    captureIcons_ = std::move(icons);
    picker->setEnabled(true);
  }
  // Show the entry whose tag is the model's selection; among entries sharing that tag, the one
  // the user chose. A selection that matches nothing shows no entry and stays as it is.
  const QString selection = (model.*kind.selection)();
  int shown = -1;
  for (int option = 0; option < picker->count(); ++option) {
    if (picker->itemData(option).toString() != selection) continue;
    if (shown < 0) shown = option;
    if (!chosenIdentity_[index].isEmpty() && picker->itemData(option, Qt::UserRole + 1).toString() == chosenIdentity_[index]) {
      shown = option;
      break;
    }
  }
  picker->setCurrentIndex(shown);
  fillingPicker_ = false;
}

void DeveloperDiagnosticsPanel::choose(int index, int option) {
  if (!model_ || fillingPicker_ || option < 0) return;
  const HelperKind& kind = helperKinds()[index];
  QComboBox* picker = helpers_[index].picker;
  const QString tag = picker->itemData(option).toString();
  chosenIdentity_[index] = picker->itemData(option, Qt::UserRole + 1).toString();
  // Written on every choice, also when the text did not change.
  (model_->*kind.remember)(tag);
  if ((model_->*kind.running)() && operations_.*kind.restart) (operations_.*kind.restart)();
  refreshPicker(index);
}

MainWindowHooks::Diagnostics diagnosticsOf(TidewellAppModel& model) {
  auto call = [m = &model](void (TidewellAppModel::*operation)()) { return [m, operation] { (m->*operation)(); }; };
  MainWindowHooks::Diagnostics d;
  d.runPassThruSelfTest = call(&TidewellAppModel::runPassThruSelfTest);
  d.installOrRestartService = call(&TidewellAppModel::installOrRestartService);
  d.uninstallService = call(&TidewellAppModel::uninstallService);
  d.refreshServiceStatus = call(&TidewellAppModel::refreshServiceStatus);
  d.startMonitor = call(&TidewellAppModel::startMonitor);
  d.stopMonitor = call(&TidewellAppModel::stopMonitor);
  d.restartMonitor = call(&TidewellAppModel::restartMonitor);
  d.startHardwareSource = call(&TidewellAppModel::startHardwareSource);
  d.stopHardwareSource = call(&TidewellAppModel::stopHardwareSource);
  d.restartHardwareSource = call(&TidewellAppModel::restartHardwareSource);
  d.startProcessTap = call(&TidewellAppModel::startProcessTap);
  d.stopProcessTap = call(&TidewellAppModel::stopProcessTap);
  d.restartProcessTap = call(&TidewellAppModel::restartProcessTap);
  return d;
}

}  // namespace tidewell
