#pragma once
// The symbols a virtual device can carry. A device stores the symbol name as plain text, so a
// configuration may hold a name that is none of these; it is drawn as the waveform.

#include <QString>
#include <array>
#include <optional>

namespace tidewell {

class DeviceIcon {
 public:
  enum Case { waveform, speaker, microphone, music, gameController, chat, video, globe };

  // Every case, in menu order.
  static const std::array<DeviceIcon, 8>& allCases();
  // The case whose symbol name equals the text exactly.
  static std::optional<DeviceIcon> fromRawValue(const QString& rawValue);
  // The symbol to draw for a stored icon text: the case's name, or its ".fill" form when
  // `filled` and the symbol provider has one.
  static QString symbolName(const QString& stored, bool filled);

  constexpr DeviceIcon(Case value) : value_(value) {}  // NOLINT: a case is a DeviceIcon
  Case value() const { return value_; }
  QString rawValue() const;
  QString title() const;
  bool operator==(const DeviceIcon&) const = default;

 private:
  Case value_;
};

}  // namespace tidewell
