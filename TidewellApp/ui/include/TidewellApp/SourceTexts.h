#pragma once
// What a source's card says about it: the status line under its name (kind, or what is
// missing, and the channel count), whether that line warns, the titles of its channel rows and
// the colour its ports and wires share. Pure functions of the model's lists and the source.

#include "TidewellApp/ColorScheme.h"
#include "TidewellCore/ConfigModel.h"

#include <QColor>
#include <QString>

#include <cstdint>
#include <optional>

namespace tidewell {

class TidewellAppModel;

// "System audio  2ch", "Application  not running", "Offline  1ch", ...
QString sourceSubtitle(const TidewellAppModel& model, const SourceConfig& source);
// True when the line reports a missing application or input device (drawn in orange).
bool sourceSubtitleWarns(const TidewellAppModel& model, const SourceConfig& source);
QColor sourceSubtitleColor(const TidewellAppModel& model, const SourceConfig& source, ColorScheme scheme);

// "1 · Mic L" when the input device names the channel, else "1 (L)", "2 (R)", "3", ...
QString sourceChannelTitle(const TidewellAppModel& model, const SourceConfig& source, std::int64_t channel);

// The palette colour of the first source of the device with this id; none when it has none.
std::optional<QColor> sourcePortTint(const DeviceConfig& device, const std::string& sourceID,
                                     ColorScheme scheme);

// The symbol of a source's icon; empty for an application source, which shows the
// application's own icon.
QString sourceSymbol(SourceType type);

}  // namespace tidewell
