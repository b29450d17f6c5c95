#include "TidewellApp/ShellServiceEntries.h"

#include <QPointer>

#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

ShellServiceEntries ShellServiceEntries::of(TidewellAppModel& model) {
  QPointer<TidewellAppModel> weak(&model);
  ShellServiceEntries entries;
  entries.primaryHealthIssue = [weak]() -> std::optional<HealthIssue> {
    return weak ? weak->primaryHealthIssue() : std::nullopt;
  };
  entries.watchPrimaryHealthIssue = [weak](QObject* context, std::function<void()> changed) {
    if (weak) QObject::connect(weak.data(), &TidewellAppModel::primaryHealthIssueChanged, context, changed);
  };
  entries.healthTick = [weak] {
    if (weak) weak->healthTick();
  };
  entries.reinstallServiceIfStale = [weak] {
    if (weak) weak->reinstallServiceIfStale();
  };
  entries.installOrRestartService = [weak] {
    if (weak) weak->installOrRestartService();
  };
  return entries;
}

}  // namespace tidewell
