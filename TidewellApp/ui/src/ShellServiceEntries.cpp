#include "TidewellApp/ShellServiceEntries.h"

#include <QPointer>

#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

std::optional<HealthIssue> primaryHealthIssue(const TidewellAppModel& model) {
  if (!model.halDriverLoaded()) return HealthIssue::driverNotLoaded;
  if (!model.serviceInstalled()) return HealthIssue::serviceNotInstalled;
  if (!model.serviceBinariesInstalled()) return HealthIssue::serviceBinariesMissing;
  if (!model.serviceRunning()) return HealthIssue::serviceNotRunning;
  if (!model.serviceResponsive()) return HealthIssue::serviceUnresponsive;
  if (model.runtimePublishFailed()) return HealthIssue::runtimePublishFailed;
  return std::nullopt;
}

ShellServiceEntries ShellServiceEntries::of(TidewellAppModel& model) {
  QPointer<TidewellAppModel> weak(&model);
  ShellServiceEntries entries;
  entries.primaryHealthIssue = [weak]() -> std::optional<HealthIssue> {
    return weak ? ::tidewell::primaryHealthIssue(*weak) : std::nullopt;
  };
  entries.watchPrimaryHealthIssue = [weak](QObject* context, std::function<void()> changed) {
    if (!weak) return;
    for (auto signal : {&TidewellAppModel::halDriverLoadedChanged,
                        &TidewellAppModel::serviceInstalledChanged,
                        &TidewellAppModel::serviceBinariesInstalledChanged,
                        &TidewellAppModel::serviceRunningChanged,
                        &TidewellAppModel::serviceResponsiveChanged,
                        &TidewellAppModel::runtimePublishFailedChanged}) {
      QObject::connect(weak.data(), signal, context, changed);
    }
  };
  entries.healthTick = [weak] {
    if (!weak || weak->isUninstalling() || weak->serviceActionRunning()) return;
    DeviceRegistry& registry = *weak->environment().registry;
    weak->setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
    weak->environment().serviceController->refreshServiceStatus(*weak);
  };
  entries.reinstallServiceIfStale = [weak] {
    if (weak) weak->environment().serviceController->reinstallServiceIfStale(*weak);
  };
  entries.installOrRestartService = [weak] {
    if (weak) weak->environment().serviceController->installOrRestartService(*weak);
  };
  return entries;
}

}  // namespace tidewell
