#pragma once
// "Add Monitor" above the monitors column: the system default output and every output that
// can take a monitor of the device; outputs that already carry one show disabled. Choosing one
// remembers the pick and has the model add it (the model restarts a running diagnostic monitor).

#include "TidewellApp/AddMenuButton.h"

namespace tidewell {

class TidewellAppModel;

class MonitorAddMenu : public AddMenuButton {
    Q_OBJECT
public:
    MonitorAddMenu(TidewellAppModel& model, DeviceConfig device, QWidget* parent = nullptr);

    void setDevice(DeviceConfig device);
    const DeviceConfig& device() const { return device_; }

    std::vector<AddMenuEntry> entries() const override;
    void choose(const AddMenuEntry& entry) override;

private:
    TidewellAppModel& model_;
    DeviceConfig device_;
};

}  // namespace tidewell
