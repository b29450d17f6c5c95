#pragma once
// The routing service as the application installs and watches it: a per-user launch agent
// whose four executables are copied out of the application's bundle, loaded, enabled and
// started through launchctl, and whose health is read from its heartbeat file and launchctl's
// view of the job. It lives on the main thread, which never waits for launchctl: the status
// question is answered through the event loop, installs and removals run on a worker thread.

#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <sys/types.h>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/LaunchAgentLocations.h"

namespace tidewell {

// An install step failed; what() is the text the status line shows after "Service install
// failed: ".
class ServiceInstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  static ServiceInstallError missingBundledResource(const QString& name);
  // launchctl's own output, or a fixed text when it printed nothing.
  static ServiceInstallError launchctlFailed(const QString& output);
};

// Where the application finds what it installs, and which build it is.
struct ServiceBundle {
  // Searched in order for an executable of the exact name: the application's folder and
  // ../libexec/tidewell beside it. A build tree has everything in its bin folder.
  QStringList resourceFolders;
  // The application's build number; nothing when it has none.
  std::optional<QString> buildNumber;
  QString bundleIdentifier;

  static ServiceBundle ofRunningApplication();
};

// Copies `source` to a temporary name in the destination's folder, gives it mode 0755 and
// renames it over `destination`: a program that runs the destination meanwhile finds the old
// file or the new one, never none or a part. Throws ServiceInstallError with the system's text.
void replaceExecutableAtomically(const QString& source, const QString& destination);

enum class ServiceLogLevel { standard, error };
using ServiceLogSink = std::function<void(ServiceLogLevel, const QString&)>;
// The system log, tagged with the bundle identifier and the "service-install" category.
ServiceLogSink systemServiceLog(const QString& bundleIdentifier);

class LaunchAgentServiceController final : public ServiceController {
 public:
  struct Settings {
    ServiceLocations locations;
    QString launchctl;  // the program run for every launchctl verb
    ServiceBundle bundle;
    uid_t uid = 0;
    ServiceLogSink log;
    std::chrono::milliseconds healthInterval{5000};

    // The user's folders, the configured launchctl, the running application's bundle.
    static Settings live();
  };

  // A heartbeat this close to now, in either direction, is fresh.
  static constexpr std::chrono::duration<double> heartbeatFreshness{10.0};
  // A running job whose heartbeat is stale counts as responsive for this long.
  static constexpr std::chrono::duration<double> staleHeartbeatGrace{10.0};

  explicit LaunchAgentServiceController(Settings settings = Settings::live());

  void refreshServiceStatus(TidewellAppModel& model) override;
  void startHealthMonitor(TidewellAppModel& model) override;
  void installOrRestartService(TidewellAppModel& model) override;
  void reinstallServiceIfStale(TidewellAppModel& model) override;
  void uninstallService(TidewellAppModel& model) override;

  const Settings& settings() const { return settings_; }
  QString serviceTarget() const;
  QString domainTarget() const;
  QString heartbeatFile() const;
  QString installMarkerFile() const;
  // The bundled executable of that name; nothing when absent or not executable.
  std::optional<QString> serviceResourceURL(const QString& name) const;
  // The install itself, without a model to report to (the application's command line uses
  // it): copies the executables, writes the agent definition, (re)loads and starts the agent
  // and records the build. Blocks; throws ServiceInstallError.
  void installService();

 private:
  struct InstallOutcome {
    std::optional<QString> failure;
    // The heartbeat's stamp once the previous instance was booted out (nothing inside when it
    // had none); nothing when the install stopped before.
    std::optional<std::optional<Clock::TimePoint>> previousInstanceBeat;
  };
  // The install's and the removal's steps; they read the settings and nothing else, so they
  // may run on any thread.
  InstallOutcome runInstall() const;
  // Why the agent's definition could not be removed, or nothing.
  std::optional<QString> runRemoval() const;
  void adopt(const InstallOutcome& outcome);
  void copyBundledServiceResource(const QString& name) const;
  void writeServicePlist() const;
  void removeLegacyServiceInstall() const;
  // Runs launchctl; a start failure or a non-zero status is thrown when `checked`.
  void launchctl(const QStringList& arguments, bool checked) const;
  // The agent definition, the executables and the heartbeat into the model's fields; true when
  // a fresh heartbeat settles the status (launchd need not be asked).
  bool readServiceFiles(TidewellAppModel& model);
  // The rest of the status from launchd's answer.
  void applyLaunchdAnswer(TidewellAppModel& model, bool running);

  Settings settings_;
  // The "launchctl print" under way for a model; a refresh meanwhile asks again on its answer.
  struct StatusQuery {
    QPointer<QProcess> process;
    bool askAgain = false;
  };
  std::map<const TidewellAppModel*, StatusQuery> statusQueries_;
  // The heartbeat's stamp when the last install booted the previous instance out (nothing when
  // it had none): until the stamp changes, the beat is that instance's, not the new one's.
  std::optional<Clock::TimePoint> previousInstanceBeat_;
  bool previousInstanceBeatKnown_ = false;
};

}  // namespace tidewell
