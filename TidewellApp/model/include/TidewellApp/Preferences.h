#pragma once
// The application's stored preferences: a few named values that survive restarts.

#include <QString>
#include <memory>
#include <optional>

class QSettings;

namespace tidewell {

namespace PreferenceKeys {
inline constexpr const char* monitorOutputUID = "Tidewell.monitorOutputUID";
inline constexpr const char* hardwareInputUID = "Tidewell.hardwareInputUID";
inline constexpr const char* applicationPID = "Tidewell.applicationPID";
inline constexpr const char* developerMode = "Tidewell.developerMode";
}  // namespace PreferenceKeys

class Preferences {
 public:
  virtual ~Preferences() = default;
  // Nothing when the key is absent or holds no value of that type.
  virtual std::optional<QString> string(const QString& key) const = 0;
  virtual std::optional<bool> boolean(const QString& key) const = 0;
  virtual void setString(const QString& key, const QString& value) = 0;
  virtual void setBoolean(const QString& key, bool value) = 0;
};

// Preferences in an INI file, written through at every change.
class SettingsPreferences final : public Preferences {
 public:
  explicit SettingsPreferences(const QString& filePath);
  ~SettingsPreferences() override;

  // $XDG_CONFIG_HOME/Tidewell/Tidewell.conf, with $HOME/.config standing in for an unset or
  // relative XDG_CONFIG_HOME.
  static QString defaultFilePath();

  std::optional<QString> string(const QString& key) const override;
  std::optional<bool> boolean(const QString& key) const override;
  void setString(const QString& key, const QString& value) override;
  void setBoolean(const QString& key, bool value) override;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace tidewell
