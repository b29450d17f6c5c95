#include "TidewellApp/LaunchAgentLocations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <TidewellCore/Branding.h>
#include <TidewellCore/UserDataFolder.h>

#include <cstdlib>

#include "TidewellApp/LaunchAgent.h"

namespace tidewell {
namespace {

QString fromPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

QString xdgFolder(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value != nullptr && value[0] == '/') return QDir::cleanPath(QString::fromLocal8Bit(value));
  return QDir(fromPath(UserDataFolder::homeDirectory())).filePath(fallback);
}

ServiceLocations ServiceLocations::fromEnvironment() {
  const QDir applicationSupport(fromPath(UserDataFolder::applicationSupportDirectory()));
  const QDir agents(QDir(xdgFolder("XDG_CONFIG_HOME", ".config")).filePath("launch-agents"));
  const QString dataName = QString::fromUtf8(Branding::dataDirectoryName.data(),
                                             static_cast<qsizetype>(Branding::dataDirectoryName.size()));
  const QString legacyName = QString::fromUtf8(Branding::legacyDataDirectoryName.data(),
                                               static_cast<qsizetype>(Branding::legacyDataDirectoryName.size()));
  ServiceLocations l;
  l.appSupport = applicationSupport.filePath(dataName);
  l.serviceBin = QDir(l.appSupport).filePath("bin");
  l.serviceLog = QDir(xdgFolder("XDG_STATE_HOME", ".local/state")).filePath(dataName);
  l.servicePlist = agents.filePath(QString(LaunchAgent::serviceLabel) + ".plist");
  l.legacyServicePlist = agents.filePath(QString(LaunchAgent::legacyServiceLabel) + ".plist");
  l.legacyServiceBin = QDir(applicationSupport.filePath(legacyName)).filePath("bin");
  return l;
}

QString launchctlPath() {
  const QString configured = qEnvironmentVariable("TIDEWELL_LAUNCHCTL");
  if (!configured.isEmpty()) return configured;
  if (QCoreApplication::instance() != nullptr) {
    QFileInfo beside(QDir(QCoreApplication::applicationDirPath()).filePath("launchctl"));
    if (beside.isFile() && beside.isExecutable()) return beside.filePath();
  }
  const QString onPath = QStandardPaths::findExecutable("launchctl");
  return onPath.isEmpty() ? QStringLiteral("/bin/launchctl") : onPath;
}

}  // namespace tidewell
