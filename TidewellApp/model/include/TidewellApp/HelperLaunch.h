#pragma once
// What the application needs to run its own diagnostic helpers (monitor, hardware source,
// process tap) and the pass-thru self-test: the launch targets, the status texts, the child's
// environment, the verdict on a child's end and where the programs are found. Pure functions
// over values, so each rule is testable without starting anything.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "TidewellCore/ConfigModel.h"

namespace tidewell {

class HelperProcessOutput;

enum class HelperKind { monitor, hardwareSource, processTap };

struct MonitorLaunchTarget {
  std::optional<std::string> uid;  // hardware output; none: the system default output
  QString name;
  std::optional<std::string> monitorID;
  bool enabled = true;
  bool muted = false;
  double gain = 1.0;
  std::optional<std::vector<double>> channelGains;
  std::string routes;
  bool operator==(const MonitorLaunchTarget&) const = default;
};

struct HardwareSourceLaunchTarget {
  std::string uid;  // hardware input
  QString name;
  std::optional<std::string> sourceID;
  bool enabled = true;
  bool muted = false;
  double gain = 1.0;
  std::optional<std::vector<double>> channelGains;
  std::string routes;
  bool operator==(const HardwareSourceLaunchTarget&) const = default;
};

struct ProcessTapLaunchTarget {
  QString mode;  // "system" or "application"
  std::optional<std::int32_t> pid;
  QString name;
  std::optional<std::string> sourceID;
  bool enabled = true;
  bool muted = false;
  bool muteWhenCapturing = false;
  double gain = 1.0;
  std::optional<std::vector<double>> channelGains;
  std::string routes;
  bool operator==(const ProcessTapLaunchTarget&) const = default;
};

// The status texts of one kind of helper. `started` and `startedMuted` are followed by the
// target's name, `launchFailed` by the error.
struct HelperStatusTexts {
  QString driver, noTarget, disabled, missing, serviceRunning, started, startedMuted,
      launchFailed, stopping, stopped, failed;
};
const HelperStatusTexts& helperStatusTexts(HelperKind kind);
// "tidewell-monitor", "tidewell-hardware-source", "tidewell-process-tap".
QString helperProgramName(HelperKind kind);
inline const QString passThruTestProgramName = QStringLiteral("tidewell-hal-smoke");

namespace HelperLaunch {

// The shortest decimal text that reads back as the same double, with ".0" on whole numbers
// ("1.0", "0.5", "0.1").
QString formatGain(double gain);
// Gains joined by ",".
QString formatGains(const std::vector<double>& gains);
// A whole text as a 32-bit signed decimal number: an optional "+" or "-", then digits only,
// no overflow; nothing otherwise.
std::optional<std::int32_t> parseInt32(const QString& text);

// The child's environment: `base` (the application's own) with the edits of the kind's table.
// `device` is the device the window shows, read at the start.
QProcessEnvironment monitorEnvironment(QProcessEnvironment base, const MonitorLaunchTarget& target,
                                       const std::optional<DeviceConfig>& device);
QProcessEnvironment hardwareSourceEnvironment(QProcessEnvironment base,
                                              const HardwareSourceLaunchTarget& target,
                                              const std::optional<DeviceConfig>& device);
QProcessEnvironment processTapEnvironment(QProcessEnvironment base,
                                          const ProcessTapLaunchTarget& target,
                                          const std::optional<DeviceConfig>& device);

// "signal N" for a child ended by a signal, else "exit N".
QString endDetail(QProcess::ExitStatus status, int exitCode);
// The kind's status after its child ended: stopped after a clean exit, or after SIGTERM or
// SIGINT that followed a stop request; else the failed text, ": " and the child's last line
// (or the end detail when it wrote none).
QString helperEndStatus(HelperKind kind, bool wasStopping, QProcess::ExitStatus status,
                        int exitCode, const HelperProcessOutput& output);
// The self-test's verdict from how its child ended and what it wrote.
QString passThruTestTerminationMessage(QProcess::ExitStatus status, int exitCode,
                                       const HelperProcessOutput& output);

// The folders of the application's bundle that hold the helpers: the executable's folder and
// ../libexec/tidewell/ beside it (empty without an application object).
QStringList bundleFolders();
// The first executable regular file of this name in `folders`, else "build/tools/<name>" under
// the current working directory when that is one; nothing otherwise.
std::optional<QString> findExecutable(const QString& name, const QStringList& folders);

}  // namespace HelperLaunch
}  // namespace tidewell
