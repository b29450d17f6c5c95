#pragma once
// The device volume at the top of the output-channels card: the volume line bound to the
// device's own volume, which applies on top of every channel's own volume.

#include "TidewellApp/VolumeSliderLine.h"

namespace tidewell {

class DeviceVolumeRow : public VolumeSliderLine {
    Q_OBJECT
public:
    DeviceVolumeRow(TidewellAppModel& model, const DeviceConfig& device, QWidget* parent = nullptr);

    // Binds the line to another copy of the device (its volume is the fallback).
    void setDevice(TidewellAppModel& model, const DeviceConfig& device);
};

}  // namespace tidewell
