#include "TidewellApp/Preferences.h"

#include <QDir>
#include <QSettings>

#include "TidewellCore/Branding.h"
#include "TidewellApp/LaunchAgentLocations.h"

namespace tidewell {

SettingsPreferences::SettingsPreferences(const QString& filePath)
    : settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

SettingsPreferences::~SettingsPreferences() = default;

QString SettingsPreferences::defaultFilePath() {
  // The home folder as every other per-user path resolves it: a relative HOME is not used.
  const QString base = xdgFolder("XDG_CONFIG_HOME", ".config");
  const QString product = QString::fromUtf8(Branding::dataDirectoryName.data(),
                                            qsizetype(Branding::dataDirectoryName.size()));
  return base + '/' + product + '/' + product + QStringLiteral(".conf");
}

std::optional<QString> SettingsPreferences::string(const QString& key) const {
  QVariant value = settings_->value(key);
  if (!value.isValid()) return std::nullopt;
  return value.toString();
}

std::optional<bool> SettingsPreferences::boolean(const QString& key) const {
  QVariant value = settings_->value(key);
  if (!value.isValid()) return std::nullopt;
  // INI files hold text: "true"/"false" as written, and 1/0 from hand edits.
  const QString text = value.toString().trimmed().toLower();
  if (text == QLatin1String("true") || text == QLatin1String("1")) return true;
  if (text == QLatin1String("false") || text == QLatin1String("0")) return false;
  return std::nullopt;
}

void SettingsPreferences::setString(const QString& key, const QString& value) {
  settings_->setValue(key, value);
  settings_->sync();
}

void SettingsPreferences::setBoolean(const QString& key, bool value) {
  settings_->setValue(key, value);
  settings_->sync();
}

}  // namespace tidewell
