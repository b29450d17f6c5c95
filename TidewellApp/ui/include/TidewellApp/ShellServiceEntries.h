#pragma once
// What the application shell calls of the model's service installation and health checks,
// gathered in one record: the current health issue and when it may have changed, the health
// pass run when the application becomes active, and the two service operations. The
// application wires it to its model with `of`; tests record the calls instead.

#include <QObject>
#include <functional>
#include <optional>

#include "TidewellApp/HealthIssue.h"

namespace tidewell {

class TidewellAppModel;

struct ShellServiceEntries {
  std::function<std::optional<HealthIssue>()> primaryHealthIssue;
  // Calls `changed` (while `context` lives) whenever the primary issue may have changed.
  std::function<void(QObject* context, std::function<void()> changed)> watchPrimaryHealthIssue;
  std::function<void()> healthTick;
  std::function<void()> reinstallServiceIfStale;
  std::function<void()> installOrRestartService;

  // The model's own health and service entries.
  static ShellServiceEntries of(TidewellAppModel& model);
};

}  // namespace tidewell
