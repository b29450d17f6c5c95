// The installer's pure parts: where the bundles are, what they say about themselves, and the
// command that installs one.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QXmlStreamReader>

#include <TidewellCore/Branding.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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

// ---- the plug-in folder as root's shell meets it --------------------------------------------

QString pathText(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// Whether nobody but root can change what root's shell finds at `path` (absolute, lexically
// normal), following symbolic links as the shell would; else the reason. Every folder on the
// way must belong to root and be writable by nobody else. A folder everyone may write in with
// the sticky bit (/tmp) is passed only on to an entry of root's that already exists: nobody else
// can rename or replace that, but anyone could create a missing one first.
bool onlyRootChanges(const std::filesystem::path& path, int linksFollowed, QString& reason) {
  if (linksFollowed > 40) {
    reason = pathText(path) + QStringLiteral(" passes through too many symbolic links");
    return false;
  }
  std::filesystem::path current = "/";
  struct stat st {};
  if (::lstat("/", &st) != 0) {
    reason = QStringLiteral("/: ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  bool openToAll = false;  // the folder `current` lets anyone create names in it
  auto judge = [&](const std::filesystem::path& folder, bool last) {
    if (st.st_uid != 0) {
      reason = pathText(folder) + QStringLiteral(" belongs to a user other than root");
      return false;
    }
    openToAll = false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    if ((st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0 && !last) {
      openToAll = true;
      return true;
    }
    reason = pathText(folder) + QStringLiteral(" can be written by users other than root");
    return false;
  };
  std::vector<std::filesystem::path> names;
  for (const auto& name : path.relative_path()) names.push_back(name);
  if (!judge(current, names.empty())) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::filesystem::path next = current / names[i];
    if (::lstat(next.c_str(), &st) != 0) {
      const int error = errno;
      if (error != ENOENT) {
        reason = pathText(next) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
        return false;
      }
      // Root's mkdir makes the rest, in a folder only root can change.
      if (!openToAll) return true;
      reason = pathText(current) + QStringLiteral(" lets any user create ") + pathText(next) + QStringLiteral(" first");
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      if (openToAll && st.st_uid != 0) {
        reason = pathText(next) + QStringLiteral(" belongs to a user other than root");
        return false;
      }
      std::error_code ec;
      const std::filesystem::path target = std::filesystem::read_symlink(next, ec);
      if (ec) {
        reason = pathText(next) + QStringLiteral(": ") + QString::fromStdString(ec.message());
        return false;
      }
      // `current` holds no link any more, so a ".." in the target means its real parent.
      std::filesystem::path resolved = target.is_absolute() ? target : current / target;
      for (std::size_t j = i + 1; j < names.size(); ++j) resolved /= names[j];
      return onlyRootChanges(resolved.lexically_normal(), linksFollowed + 1, reason);
    }
    if (!S_ISDIR(st.st_mode)) {
      reason = pathText(next) + QStringLiteral(" is not a folder");
      return false;
    }
    if (!judge(next, i + 1 == names.size())) return false;
    current = next;
  }
  return true;
}

std::optional<QString> textValue(const QVariantMap& map, const QString& key) {
  auto found = map.constFind(key);
  if (found == map.constEnd() || found->typeId() != QMetaType::QString) return std::nullopt;
  return found->toString();
}

}  // namespace

QString driverPlugInFolder() {
  // The variable the server is started with; without it, where the running server looks (a
  // window opened from another shell than the server's), else the server's default folder.
  QString path = qEnvironmentVariable("AUDIOSERVER_PLUGIN_PATH");
  if (path.isEmpty()) {
    if (auto served = CoreAudioDeviceRegistry::audioServerPlugInSearchPath()) path = QString::fromStdString(*served);
  }
  for (const QString& folder : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) return QDir::cleanPath(folder);
  return QStringLiteral("/usr/local/lib/audioserver/Plug-Ins/HAL");
}

std::optional<QString> DriverInstaller::plugInFolderProblem(const QString& folder) {
  // A relative folder would be resolved by root against a working folder of its own, and by
  // the audio server against another.
  if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
    return QStringLiteral("The plug-in folder \"") + folder + QStringLiteral("\" is not an absolute path.");
  // The same cleaned path the command names.
  const QString cleaned = QDir::cleanPath(folder);
  QString reason;
  if (onlyRootChanges(std::filesystem::path(cleaned.toStdString()).lexically_normal(), 0, reason)) return std::nullopt;
  return QStringLiteral("The plug-in folder ") + cleaned +
         QStringLiteral(" is not safe to change as administrator: ") + reason + QLatin1Char('.');
}

QString driverStagingFolder(const QString& plugInFolder) {
  return QDir::cleanPath(plugInFolder) + QStringLiteral("/.") + fromView(Branding::driverBundleBasename) +
         QStringLiteral(".installing");
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
  s.plugInFolderProblem = &DriverInstaller::plugInFolderProblem;
  s.runAsAdministrator = &DriverInstaller::runAsAdministrator;
  s.restartAudioServer = [audioctl = audioctlPath()] { tidewell::restartAudioServer(audioctl); };
  s.serverInstance = [] { return CoreAudioDeviceRegistry::audioServerInstance(); };
  s.loadedPlugIn = [] { return CoreAudioDeviceRegistry::loadedHALPlugIn(); };
  return s;
}

namespace {

// A step that fails, saying why, unless `condition` (a shell test) holds.
QString unless(const QString& condition, const QString& why) {
  return QStringLiteral("{ ") + condition + QStringLiteral(" || { echo ") + shellQuoted(why) +
         QStringLiteral(" >&2; false; }; }");
}

}  // namespace

QString DriverInstaller::adminInstallCommand(const QString& bundledPath, const QString& plugInFolder) {
  const QString folder = QDir::cleanPath(plugInFolder);
  const QString destination = folder + QLatin1Char('/') + bundleName(Branding::driverBundleBasename);
  // The copy is made in a folder of root's alone beside the bundles, where the audio server
  // looks for none, checked there, and renamed into place whole, so that no server meets half a
  // bundle, nobody meets what the copy brought before it was checked, and nothing is copied
  // through a name someone else chose. "--" keeps every path an operand.
  const QString staging = driverStagingFolder(folder);
  const QString copy = staging + QLatin1Char('/') + bundleName(Branding::driverBundleBasename);
  const QString quotedCopy = shellQuoted(copy);
  const QString bundle = QStringLiteral("The plug-in bundle ") + bundledPath;
  QStringList commands;
  for (std::string_view legacy : Branding::legacyDriverBundleBasenames)
    commands << QStringLiteral("rm -rf -- ") + shellQuoted(folder + QLatin1Char('/') + bundleName(legacy));
  commands << QStringLiteral("rm -rf -- ") + shellQuoted(staging);
  commands << QStringLiteral("mkdir -p -- ") + shellQuoted(folder);
  commands << QStringLiteral("mkdir -m 0700 -- ") + shellQuoted(staging);
  commands << QStringLiteral("cp -R -- ") + shellQuoted(bundledPath) + QLatin1Char(' ') + quotedCopy;
  // What the user's folder held is root's to load now: a folder, holding only files, folders
  // and links that stay inside it (a device node, a pipe or a socket is refused, and so is a
  // link that leads out: absolute, or resolving outside), owned by root and writable by root
  // alone, without set-id bits. Checked before the rename.
  commands << unless(QStringLiteral("[ -d ") + quotedCopy + QStringLiteral(" ] && [ ! -h ") + quotedCopy +
                         QStringLiteral(" ]"),
                     bundle + QStringLiteral(" is not a folder."));
  commands << unless(QStringLiteral("[ -z \"$(find ") + quotedCopy +
                         QStringLiteral(" ! -type f ! -type d ! -type l -print)\" ]"),
                     bundle + QStringLiteral(" holds something other than files, folders and links."));
  commands << unless(QStringLiteral("find ") + quotedCopy +
                         QStringLiteral(" -type l -exec sh -c 'for l do case $(readlink -- \"$l\") in /*) exit 1;; "
                                        "esac; case $(readlink -m -- \"$l\") in \"$0\"|\"$0\"/*) ;; *) exit 1;; esac; "
                                        "done' \"$(readlink -f -- ") +
                         quotedCopy + QStringLiteral(")\" {} +"),
                     bundle + QStringLiteral(" holds a link that leads out of it."));
  // Linux has no "wheel" group; the plug-in folder belongs to root alone. A link is changed
  // itself, never what it names.
  commands << QStringLiteral("chown -R -h root:root -- ") + quotedCopy;
  commands << QStringLiteral("chmod -R go-w,ug-s -- ") + quotedCopy;
  commands << unless(QStringLiteral("[ -z \"$(find ") + quotedCopy +
                         QStringLiteral(" \\( ! -user 0 -o ! -group 0 -o \\( ! -type l -perm /6022 \\) \\) -print)\" ]"),
                     QStringLiteral("The copy of the plug-in bundle ") + bundledPath +
                         QStringLiteral(" is not root's alone."));
  // The installed bundle goes only now: a copy that was refused leaves it in place.
  commands << QStringLiteral("rm -rf -- ") + shellQuoted(destination);
  commands << QStringLiteral("mv -T -- ") + quotedCopy + QLatin1Char(' ') + shellQuoted(destination);
  commands << QStringLiteral("rmdir -- ") + shellQuoted(staging);
  // Every step must succeed: a failed copy or check ends the command with its error. The audio
  // server is restarted afterwards by the installer itself, as the user whose server it is.
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
