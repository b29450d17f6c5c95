// The installer's pure parts: where the bundles are, what they say about themselves, and the
// command that installs one.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QXmlStreamReader>

#include <TidewellCore/Branding.h>

#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/RunCommand.h"

namespace tidewell {
namespace {

QString fromView(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString bundleName(std::string_view basename) { return fromView(basename) + QStringLiteral(".driver"); }

// ---- a reader for XML property lists ---------------------------------------------------

std::optional<QVariant> readValue(QXmlStreamReader& xml);

// Called on the start of a <dict>; leaves the reader on its end.
std::optional<QVariant> readDict(QXmlStreamReader& xml) {
  QVariantMap map;
  while (xml.readNextStartElement()) {
    if (xml.name() != QLatin1String("key")) return std::nullopt;
    QString key = xml.readElementText();
    if (xml.hasError() || !xml.readNextStartElement()) return std::nullopt;
    auto value = readValue(xml);
    if (!value) return std::nullopt;
    map.insert(key, *value);
  }
  if (xml.hasError()) return std::nullopt;
  return QVariant(map);
}

std::optional<QVariant> readValue(QXmlStreamReader& xml) {
  const auto name = xml.name();
  if (name == QLatin1String("dict")) return readDict(xml);
  if (name == QLatin1String("array")) {
    QVariantList list;
    while (xml.readNextStartElement()) {
      auto value = readValue(xml);
      if (!value) return std::nullopt;
      list.append(*value);
    }
    if (xml.hasError()) return std::nullopt;
    return QVariant(list);
  }
  if (name == QLatin1String("true") || name == QLatin1String("false")) {
    bool value = name == QLatin1String("true");
    xml.skipCurrentElement();
    return QVariant(value);
  }
  if (name == QLatin1String("string") || name == QLatin1String("date")) {
    QString text = xml.readElementText();
    if (xml.hasError()) return std::nullopt;
    return QVariant(text);
  }
  if (name == QLatin1String("integer")) {
    bool ok = false;
    qlonglong value = xml.readElementText().trimmed().toLongLong(&ok);
    if (!ok) return std::nullopt;
    return QVariant(value);
  }
  if (name == QLatin1String("real")) {
    bool ok = false;
    double value = xml.readElementText().trimmed().toDouble(&ok);
    if (!ok) return std::nullopt;
    return QVariant(value);
  }
  if (name == QLatin1String("data")) {
    QByteArray text = xml.readElementText().toLatin1();
    if (xml.hasError()) return std::nullopt;
    return QVariant(QByteArray::fromBase64(text.simplified().replace(' ', "")));
  }
  return std::nullopt;
}

std::optional<QString> textValue(const QVariantMap& map, const QString& key) {
  auto found = map.constFind(key);
  if (found == map.constEnd() || found->typeId() != QMetaType::QString) return std::nullopt;
  return found->toString();
}

}  // namespace

QString driverPlugInFolder() {
  for (const QString& folder : qEnvironmentVariable("AUDIOSERVER_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
    return QDir::cleanPath(folder);
  return QStringLiteral("/usr/local/lib/audioserver/Plug-Ins/HAL");
}

QString audioctlPath() {
  if (QCoreApplication::instance() != nullptr) {
    QFileInfo beside(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("audioctl")));
    if (beside.isFile() && beside.isExecutable()) return beside.filePath();
  }
  return QStandardPaths::findExecutable(QStringLiteral("audioctl"));
}

void restartAudioServer(const QString& audioctl) {
  if (audioctl.isEmpty()) return;
  try {
    runCommand(audioctl, {QStringLiteral("restart")}, std::chrono::seconds(30));
  } catch (const CommandError&) {
    // A server that does not come back shows as a plug-in that does not load.
  }
}

DriverInstallerSetup DriverInstallerSetup::standard() {
  DriverInstallerSetup s;
  if (QCoreApplication::instance() != nullptr) {
    // The application's share folder beside its bin folder, in an installation as in a build tree.
    s.carriedBundle = QDir(QCoreApplication::applicationDirPath())
                          .filePath(QStringLiteral("../share/tidewell/") + bundleName(Branding::driverBundleBasename));
    s.carriedBundle = QDir::cleanPath(s.carriedBundle);
  }
  s.plugInFolder = driverPlugInFolder();
  s.runAsAdministrator = &DriverInstaller::runAsAdministrator;
  s.restartAudioServer = [audioctl = audioctlPath()] { tidewell::restartAudioServer(audioctl); };
  s.serverInstance = [] { return CoreAudioDeviceRegistry::audioServerInstance(); };
  s.loadedPlugIn = [] { return CoreAudioDeviceRegistry::loadedHALPlugIn(); };
  return s;
}

QString DriverInstaller::adminInstallCommand(const QString& bundledPath, const QString& plugInFolder) {
  const QString folder = QDir::cleanPath(plugInFolder);
  const QString destination = folder + QLatin1Char('/') + bundleName(Branding::driverBundleBasename);
  QStringList commands;
  for (std::string_view legacy : Branding::legacyDriverBundleBasenames)
    commands << QStringLiteral("rm -rf ") + shellQuoted(folder + QLatin1Char('/') + bundleName(legacy));
  commands << QStringLiteral("rm -rf ") + shellQuoted(destination);
  commands << QStringLiteral("mkdir -p ") + shellQuoted(folder);
  commands << QStringLiteral("cp -R ") + shellQuoted(bundledPath) + QLatin1Char(' ') + shellQuoted(destination);
  // Linux has no "wheel" group; the plug-in folder belongs to root alone.
  commands << QStringLiteral("chown -R root:root ") + shellQuoted(destination);
  // Every step must succeed: a failed copy ends the command with its error. The audio server is
  // restarted afterwards by the installer itself, as the user whose server it is.
  return commands.join(QStringLiteral(" && "));
}

std::optional<QVariantMap> DriverInstaller::infoPlist(const QString& bundlePath) {
  QFile file(QDir(bundlePath).filePath(QStringLiteral("Contents/Info.plist")));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QXmlStreamReader xml(&file);
  if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist")) return std::nullopt;
  if (!xml.readNextStartElement() || xml.name() != QLatin1String("dict")) return std::nullopt;
  auto value = readDict(xml);
  if (!value) return std::nullopt;
  return value->toMap();
}

std::optional<QString> DriverInstaller::version(const QString& bundlePath) {
  auto info = infoPlist(bundlePath);
  if (!info) return std::nullopt;
  auto shortVersion = textValue(*info, QStringLiteral("CFBundleShortVersionString"));
  auto build = textValue(*info, QStringLiteral("CFBundleVersion"));
  if (!shortVersion || !build) return std::nullopt;
  return *shortVersion + QStringLiteral(" (") + *build + QLatin1Char(')');
}

std::optional<QString> DriverInstaller::contentHash(const QString& bundlePath) {
  auto info = infoPlist(bundlePath);
  if (!info) return std::nullopt;
  return textValue(*info, QStringLiteral("TWDriverContentHash"));
}

void DriverInstaller::runAsAdministrator(const QString& command, const QString& prompt) {
  PrivilegedCommand::run(command, prompt);
}

}  // namespace tidewell
