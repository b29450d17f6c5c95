#pragma once
// "Add Source" above the sources column: the device's inputs, the special sources, the other
// virtual devices that may be nested, and the capturable applications; entries the device
// already has (and nestings that would close a cycle) show disabled. Choosing one remembers
// the pick and has the model add it (the model restarts the matching running diagnostic helper).

#include "TidewellApp/AddMenuButton.h"


namespace tidewell {

class TidewellAppModel;

class SourceAddMenu : public AddMenuButton {
    Q_OBJECT
public:
    SourceAddMenu(TidewellAppModel& model, DeviceConfig device, QWidget* parent = nullptr);

    // The column passes the device again whenever its copy changes.
    void setDevice(DeviceConfig device);
    const DeviceConfig& device() const { return device_; }

    std::vector<AddMenuEntry> entries() const override;
    void choose(const AddMenuEntry& entry) override;

protected:
    QIcon iconFor(const AddMenuEntry& entry) const override;

private:
    TidewellAppModel& model_;
    DeviceConfig device_;
};

}  // namespace tidewell
