// The rules of the application's own helpers that need no model: status texts, environment
// tables, the verdict on a child's end and the program lookup.

#include "TidewellApp/HelperLaunch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <charconv>
#include <csignal>
#include <limits>

#include "TidewellApp/HelperProcessOutput.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

QString text(std::string_view value) {
  return QString::fromUtf8(value.data(), qsizetype(value.size()));
}

// D's UID and channel count, or the legacy pass-thru device with two channels.
QString deviceUID(const std::optional<DeviceConfig>& device) {
  return device ? text(device->uid) : text(TidewellCore::passThruDeviceUID);
}
QString deviceChannels(const std::optional<DeviceConfig>& device) {
  return device ? QString::number(device->channelCount) : QStringLiteral("2");
}
QString flag(bool value) { return value ? QStringLiteral("1") : QStringLiteral("0"); }

template <class T>
void setOrRemove(QProcessEnvironment& environment, const QString& name, const std::optional<T>& value,
                 QString (*format)(const T&)) {
  if (value) {
    environment.insert(name, format(*value));
  } else {
    environment.remove(name);
  }
}
QString formatText(const std::string& value) { return text(value); }
QString formatGainList(const std::vector<double>& gains) { return HelperLaunch::formatGains(gains); }
QString formatPID(const std::int32_t& pid) { return QString::number(pid); }

}  // namespace

const HelperStatusTexts& helperStatusTexts(HelperKind kind) {
  static const HelperStatusTexts monitor{
      "Install the driver before monitoring", "Selected monitor output is unavailable",
      "Selected monitor is disabled", "Monitor helper is missing",
      "Stop the service before monitoring", "Monitoring to ", "Monitoring muted to ",
      "Could not start monitor: ", "Stopping monitor", "Monitor stopped", "Monitor failed"};
  static const HelperStatusTexts hardwareSource{
      "Install the driver before starting source", "Select a hardware input source",
      "Selected source is disabled", "Hardware source helper is missing",
      "Stop the service before starting source", "Routing from ", "Routing muted from ",
      "Could not start source: ", "Stopping hardware source", "Hardware source stopped",
      "Hardware source failed"};
  static const HelperStatusTexts processTap{
      "Install the driver before starting capture", "Selected application is unavailable",
      "Selected capture source is disabled", "Capture helper is missing",
      "Stop the service before starting capture", "Capturing ", "Capture muted from ",
      "Could not start capture: ", "Stopping capture", "Capture stopped", "Capture failed"};
  switch (kind) {
    case HelperKind::monitor: return monitor;
    case HelperKind::hardwareSource: return hardwareSource;
    case HelperKind::processTap: break;
  }
  return processTap;
}

QString helperProgramName(HelperKind kind) {
  switch (kind) {
    case HelperKind::monitor: return QStringLiteral("tidewell-monitor");
    case HelperKind::hardwareSource: return QStringLiteral("tidewell-hardware-source");
    case HelperKind::processTap: break;
  }
  return QStringLiteral("tidewell-process-tap");
}

namespace HelperLaunch {

QString formatGain(double gain) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, gain);
  std::string written(buffer, error == std::errc() ? end : buffer);
  if (written.find_first_of(".eEna") == std::string::npos) written += ".0";
  return QString::fromStdString(written);
}

QString formatGains(const std::vector<double>& gains) {
  QStringList texts;
  for (double gain : gains) texts.push_back(formatGain(gain));
  return texts.join(',');
}

std::optional<std::int32_t> parseInt32(const QString& value) {
  const std::string bytes = value.toStdString();
  const char* begin = bytes.data();
  const char* end = begin + bytes.size();
  bool negative = false;
  if (begin != end && (*begin == '+' || *begin == '-')) negative = *begin++ == '-';
  if (begin == end) return std::nullopt;
  std::int64_t magnitude = 0;
  for (const char* at = begin; at != end; ++at) {
    if (*at < '0' || *at > '9') return std::nullopt;
    magnitude = magnitude * 10 + (*at - '0');
    if (magnitude > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1) return std::nullopt;
  }
  const std::int64_t result = negative ? -magnitude : magnitude;
  if (result > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return std::int32_t(result);
}

QProcessEnvironment monitorEnvironment(QProcessEnvironment environment,
                                       const MonitorLaunchTarget& target,
                                       const std::optional<DeviceConfig>& device) {
  environment.insert("TIDEWELL_MONITOR_INPUT_UID", deviceUID(device));
  environment.insert("TIDEWELL_MONITOR_INPUT_CHANNELS", deviceChannels(device));
  environment.remove("TIDEWELL_MONITOR_OUTPUT_CHANNELS");
  std::optional<std::string> output = target.uid;
  if (output && output->empty()) output.reset();
  setOrRemove(environment, "TIDEWELL_MONITOR_OUTPUT_UID", output, formatText);
  setOrRemove(environment, "TIDEWELL_MONITOR_ID", target.monitorID, formatText);
  environment.insert("TIDEWELL_MONITOR_GAIN", formatGain(target.gain));
  setOrRemove(environment, "TIDEWELL_MONITOR_CHANNEL_GAINS", target.channelGains, formatGainList);
  environment.insert("TIDEWELL_MONITOR_MUTED", flag(target.muted));
  environment.insert("TIDEWELL_MONITOR_ROUTES", text(target.routes));
  return environment;
}

QProcessEnvironment hardwareSourceEnvironment(QProcessEnvironment environment,
                                              const HardwareSourceLaunchTarget& target,
                                              const std::optional<DeviceConfig>& device) {
  environment.insert("TIDEWELL_SOURCE_INPUT_UID", text(target.uid));
  setOrRemove(environment, "TIDEWELL_SOURCE_ID", target.sourceID, formatText);
  environment.insert("TIDEWELL_SOURCE_OUTPUT_UID", deviceUID(device));
  environment.insert("TIDEWELL_SOURCE_OUTPUT_CHANNELS", deviceChannels(device));
  environment.insert("TIDEWELL_SOURCE_GAIN", formatGain(target.gain));
  setOrRemove(environment, "TIDEWELL_SOURCE_CHANNEL_GAINS", target.channelGains, formatGainList);
  environment.insert("TIDEWELL_SOURCE_MUTED", flag(target.muted));
  environment.insert("TIDEWELL_SOURCE_ROUTES", text(target.routes));
  return environment;
}

QProcessEnvironment processTapEnvironment(QProcessEnvironment environment,
                                          const ProcessTapLaunchTarget& target,
                                          const std::optional<DeviceConfig>& device) {
  environment.insert("TIDEWELL_TAP_OUTPUT_UID", deviceUID(device));
  environment.insert("TIDEWELL_TAP_OUTPUT_CHANNELS", deviceChannels(device));
  setOrRemove(environment, "TIDEWELL_TAP_SOURCE_ID", target.sourceID, formatText);
  environment.insert("TIDEWELL_TAP_MODE", target.mode);
  environment.insert("TIDEWELL_TAP_GAIN", formatGain(target.gain));
  setOrRemove(environment, "TIDEWELL_TAP_CHANNEL_GAINS", target.channelGains, formatGainList);
  environment.insert("TIDEWELL_TAP_MUTED", flag(target.muted));
  environment.insert("TIDEWELL_TAP_MUTE_WHEN_CAPTURING", flag(target.muteWhenCapturing));
  environment.insert("TIDEWELL_TAP_ROUTES", text(target.routes));
  setOrRemove(environment, "TIDEWELL_TAP_PID", target.pid, formatPID);
  return environment;
}

QString endDetail(QProcess::ExitStatus status, int exitCode) {
  return (status == QProcess::CrashExit ? QStringLiteral("signal ") : QStringLiteral("exit ")) +
         QString::number(exitCode);
}

QString helperEndStatus(HelperKind kind, bool wasStopping, QProcess::ExitStatus status,
                        int exitCode, const HelperProcessOutput& output) {
  const HelperStatusTexts& texts = helperStatusTexts(kind);
  if (status == QProcess::NormalExit && exitCode == 0) return texts.stopped;
  if (wasStopping && status == QProcess::CrashExit && (exitCode == SIGTERM || exitCode == SIGINT)) {
    return texts.stopped;
  }
  return texts.failed + ": " + output.lastUsefulLine(endDetail(status, exitCode));
}

QString passThruTestTerminationMessage(QProcess::ExitStatus status, int exitCode,
                                       const HelperProcessOutput& output) {
  if (status == QProcess::NormalExit && exitCode == 0) {
    if (auto line = output.firstLine(QStringLiteral("Captured RMS:"))) {
      return QStringLiteral("Pass-thru test passed, ") + *line;
    }
    return QStringLiteral("Pass-thru test passed");
  }
  return QStringLiteral("Pass-thru test failed: ") + output.lastUsefulLine(endDetail(status, exitCode));
}

QStringList bundleFolders() {
  if (!QCoreApplication::instance()) return {};
  const QString folder = QCoreApplication::applicationDirPath();
  return {folder, QDir::cleanPath(folder + "/../libexec/tidewell")};
}

std::optional<QString> findExecutable(const QString& name, const QStringList& folders) {
  auto executable = [](const QString& path) {
    QFileInfo info(path);
    return info.isFile() && info.isExecutable();
  };
  for (const QString& folder : folders) {
    const QString path = QDir(folder).filePath(name);
    if (executable(path)) return path;
  }
  const QString fallback = QDir::current().filePath(QStringLiteral("build/tools/") + name);
  if (executable(fallback)) return fallback;
  return std::nullopt;
}

}  // namespace HelperLaunch
}  // namespace tidewell
