// Changing a virtual device's channel count.

#include <algorithm>

#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/ConfigEditor.h"

namespace tidewell {
namespace {

// A per-channel gain list cut to the new count; none once every remaining channel is at unity.
void cutChannelGains(std::optional<std::vector<double>>& gains, std::int64_t channelCount) {
  if (!gains || std::int64_t(gains->size()) <= channelCount) return;
  gains->resize(std::size_t(channelCount));
  if (std::all_of(gains->begin(), gains->end(), [](double gain) { return gain == 1.0; })) {
    gains.reset();
  }
}

}  // namespace

void TidewellAppModel::setChannelCount(const std::string& deviceID, std::int64_t channelCount) {
  // The pass-thru source is rewired straight through, which needs at least one channel.
  if (channelCount < 1) {
    setStatusMessage(QStringLiteral("A device needs at least one channel"));
    return;
  }
  ConfigSnapshot edited = workingCopy();
  try {
    // Sets the count, gives the first pass-thru source the same width and rewires it 1:1.
    ConfigEditor::setDeviceChannelCount(deviceID, channelCount, edited, newItemID);
  } catch (const ConfigEditError&) {
    // No such device: not reported as updated, and nothing is saved; a pending live edit
    // commits on its own schedule.
    setStatusMessage(QStringLiteral("Nothing was changed: the device no longer exists"));
    return;
  }
  for (auto& device : edited.devices) {
    if (device.id != deviceID) continue;
    // Gains of channels that no longer exist would make the device invalid, so a lower count
    // could never be chosen once any channel gain had been set.
    cutChannelGains(device.channelGains, channelCount);
    for (auto& source : device.sources) {
      if (source.type != SourceType::passThru) continue;
      cutChannelGains(source.channelGains, channelCount);
      break;
    }
    break;
  }
  saveEditedSnapshot(edited, QStringLiteral("Updated channel count"));
}

}  // namespace tidewell
