#include "TidewellApp/DeviceIcon.h"

#include "TidewellApp/SymbolProvider.h"

namespace tidewell {

namespace {

struct Entry {
  const char* rawValue;
  const char* title;
};

constexpr std::array<Entry, 8> entries{{
    {"waveform.circle", "Waveform"},
    {"speaker.circle", "Speaker"},
    {"mic.circle", "Microphone"},
    {"music.note", "Music"},
    {"gamecontroller.circle", "Game"},
    {"bubble.left.circle", "Chat"},
    {"video.circle", "Video"},
    {"globe", "Globe"},
}};

}  // namespace

const std::array<DeviceIcon, 8>& DeviceIcon::allCases() {
  static const std::array<DeviceIcon, 8> cases{waveform, speaker, microphone, music,
                                               gameController, chat, video, globe};
  return cases;
}

std::optional<DeviceIcon> DeviceIcon::fromRawValue(const QString& rawValue) {
  for (const DeviceIcon icon : allCases()) {
    if (icon.rawValue() == rawValue) return icon;
  }
  return std::nullopt;
}

QString DeviceIcon::rawValue() const { return QString::fromLatin1(entries[std::size_t(value_)].rawValue); }

QString DeviceIcon::title() const { return QString::fromLatin1(entries[std::size_t(value_)].title); }

QString DeviceIcon::symbolName(const QString& stored, bool filled) {
  const QString base = fromRawValue(stored).value_or(DeviceIcon(waveform)).rawValue();
  if (!filled || base.endsWith(QLatin1String(".fill"))) return base;
  const QString filledName = base + QLatin1String(".fill");
  return SymbolProvider::exists(filledName) ? filledName : base;
}

}  // namespace tidewell
