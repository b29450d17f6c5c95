#include "TidewellApp/DeviceVolumeRow.h"

namespace tidewell {

DeviceVolumeRow::DeviceVolumeRow(TidewellAppModel& model, const DeviceConfig& device, QWidget* parent)
    : VolumeSliderLine(deviceBinding(model, device.id, &DeviceConfig::volume, device.volume), parent) {
    // The line has no label of its own; its parts show this help.
    setToolTip(QStringLiteral("Device Volume \u2014 applies on top of every channel's own volume"));
}

void DeviceVolumeRow::setDevice(TidewellAppModel& model, const DeviceConfig& device) {
    setBinding(deviceBinding(model, device.id, &DeviceConfig::volume, device.volume));
}

}  // namespace tidewell
