// The service's health as the application sees it without talking to it: the agent
// definition, the four executables, the age of the heartbeat file and launchd's view of the
// job, refreshed every 5 s into the model's flags, and the banner's issue and the compact
// summary derived from them.

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <memory>

#include "TidewellApp/LaunchAgent.h"
#include "TidewellApp/RunCommand.h"
#include "TidewellApp/ServiceInstallation.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ServiceFiles.h"

namespace tidewell {
namespace {

bool isExecutableFile(const QString& path) {
  const QFileInfo info(path);
  return info.isFile() && info.isExecutable();
}

std::chrono::duration<double> distance(Clock::TimePoint a, Clock::TimePoint b) {
  return a > b ? a - b : b - a;
}

}  // namespace

// ---- the model's entries ---------------------------------------------------------------------

void TidewellAppModel::refreshServiceStatus() {
  environment_.serviceController->refreshServiceStatus(*this);
}

void TidewellAppModel::whenServiceSettled(QObject* context, std::function<void()> then) {
  if (!serviceActionRunning_ && !serviceStatusPending_) return then();
  // One connection for both signals, dropped after the one call.
  auto connections = std::make_shared<std::pair<QMetaObject::Connection, QMetaObject::Connection>>();
  auto check = [this, connections, then = std::move(then)] {
    if (serviceActionRunning_ || serviceStatusPending_) return;
    disconnect(connections->first);
    disconnect(connections->second);
    then();
  };
  connections->first = connect(this, &TidewellAppModel::serviceActionRunningChanged, context, check);
  connections->second = connect(this, &TidewellAppModel::serviceStatusPendingChanged, context, check);
}

void TidewellAppModel::healthTick() {
  if (isUninstalling_ || serviceActionRunning_) return;
  DeviceRegistry& registry = *environment_.registry;
  setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
  refreshServiceStatus();
  // The committed configuration, never a pending live copy: that one publishes on its own.
  if (runtimePublishFailed_) publish(snapshot_);
}

std::optional<HealthIssue> TidewellAppModel::primaryHealthIssue() const {
  if (!halDriverLoaded_) return HealthIssue::driverNotLoaded;
  if (!serviceInstalled_) return HealthIssue::serviceNotInstalled;
  if (!serviceBinariesInstalled_) return HealthIssue::serviceBinariesMissing;
  if (!serviceRunning_) return HealthIssue::serviceNotRunning;
  if (!serviceResponsive_) return HealthIssue::serviceUnresponsive;
  if (runtimePublishFailed_) return HealthIssue::runtimePublishFailed;
  return std::nullopt;
}

QString TidewellAppModel::compactHealthSummary() const {
  QString summary = halDriverLoaded_ ? QStringLiteral("Driver Loaded") : QStringLiteral("Driver Missing");
  summary += QStringLiteral(" \u2022 Service ");
  if (!serviceRunning_) return summary + QStringLiteral("Off");
  return summary + (serviceResponsive_ ? QStringLiteral("On") : QStringLiteral("Stalled"));
}

TidewellAppModel::HealthColor TidewellAppModel::compactHealthColor() const {
  // A failed publish alone is the banner's business, not the dot's.
  return halDriverLoaded_ && serviceRunning_ && serviceResponsive_ ? HealthColor::green
                                                                   : HealthColor::orange;
}

void TidewellAppModel::healthInputsChanged(const HealthView& before) {
  const HealthView now = healthView();
  if (now.issue != before.issue) emit primaryHealthIssueChanged();
  if (now.summary != before.summary) emit compactHealthSummaryChanged();
  if (now.color != before.color) emit compactHealthColorChanged();
}

// ---- the launch agent's view ---------------------------------------------------------------

bool LaunchAgentServiceController::readServiceFiles(TidewellAppModel& model) {
  const ServiceLocations& at = settings_.locations;
  const bool installed = QFileInfo::exists(at.servicePlist);
  model.setServiceInstalled(installed);
  bool binaries = true;
  if (installed) {
    const QDir bin(at.serviceBin);
    for (const QString& name : LaunchAgent::serviceExecutableNames()) {
      if (!isExecutableFile(bin.filePath(name))) {
        binaries = false;
        break;
      }
    }
  }
  model.setServiceBinariesInstalled(binaries);
  if (!installed) return false;
  const auto beat = ServiceHeartbeat::lastBeat(heartbeatFile().toStdString());
  const Clock::TimePoint now = model.environment().clock->now();
  // A beat far in the future (a clock stepped back, a bogus date) says nothing about a
  // service alive now; the stamp left from before the last install is the previous instance's.
  const bool previousInstances = previousInstanceBeatKnown_ && beat == previousInstanceBeat_;
  if (!beat || distance(now, *beat) > heartbeatFreshness || previousInstances) return false;
  model.setHeartbeatStaleSince(std::nullopt);
  model.setServiceRunning(true);
  model.setServiceResponsive(true);
  model.setServiceStatusMessage(QStringLiteral("Service running"));
  return true;
}

void LaunchAgentServiceController::refreshServiceStatus(TidewellAppModel& model) {
  StatusQuery& query = statusQueries_[&model];
  if (readServiceFiles(model)) {
    // An answer still on its way finds the fresh heartbeat too and changes nothing.
    if (!query.process) model.setServiceStatusPending(false);
    return;
  }
  // One question at a time; one asked before this refresh may describe an older state, so
  // its answer is followed by a new question.
  if (query.process) {
    query.askAgain = true;
    return;
  }
  model.setServiceStatusPending(true);
  query.askAgain = false;
  TidewellAppModel* asker = &model;
  query.process = startCommand(settings_.launchctl, {"print", serviceTarget()}, &model,
                               [this, asker](const std::optional<CommandResult>& result) {
    // The process belongs to the model: this runs only while the model exists.
    StatusQuery& answered = statusQueries_[asker];
    answered.process = nullptr;
    const bool again = answered.askAgain;
    // A launchctl that cannot be started, hangs or fails counts as not running.
    const bool running = result && result->status == 0 && result->output.contains(QStringLiteral("state = running"));
    if (!readServiceFiles(*asker)) applyLaunchdAnswer(*asker, running);
    // Shown all the same, so frequent refreshes never keep every answer from view; the newer
    // question still follows, and the status is pending until it is answered.
    if (again) return refreshServiceStatus(*asker);
    asker->setServiceStatusPending(false);
  });
}

void LaunchAgentServiceController::applyLaunchdAnswer(TidewellAppModel& model, bool running) {
  model.setServiceRunning(running);
  bool responsive = true;
  if (!running) {
    model.setHeartbeatStaleSince(std::nullopt);
  } else {
    const Clock::TimePoint now = model.environment().clock->now();
    if (!model.heartbeatStaleSince()) {
      model.setHeartbeatStaleSince(QDateTime::fromMSecsSinceEpoch(
          std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count(),
          Qt::UTC));
    }
    const Clock::TimePoint since{std::chrono::milliseconds(model.heartbeatStaleSince()->toMSecsSinceEpoch())};
    responsive = now - since < staleHeartbeatGrace;
  }
  model.setServiceResponsive(responsive);

  if (running) {
    model.setServiceStatusMessage(responsive ? QStringLiteral("Service running")
                                             : QStringLiteral("Service running but not responding"));
  } else {
    model.setServiceStatusMessage(model.serviceInstalled() ? QStringLiteral("Service installed, stopped")
                                                           : QStringLiteral("Service not installed"));
  }
}

void LaunchAgentServiceController::startHealthMonitor(TidewellAppModel& model) {
  auto* timer = new QTimer(&model);
  timer->setInterval(int(settings_.healthInterval.count()));
  QPointer<TidewellAppModel> weak(&model);
  QObject::connect(timer, &QTimer::timeout, &model, [weak] {
    if (!weak) return;
    // A tick of its own on the main thread, so a menu or dialog that is open meanwhile never
    // runs it inside its own handling.
    QMetaObject::invokeMethod(weak.data(), [weak] { if (weak) weak->healthTick(); }, Qt::QueuedConnection);
  });
  timer->start();
  model.setHealthTimer(timer);
}

}  // namespace tidewell
