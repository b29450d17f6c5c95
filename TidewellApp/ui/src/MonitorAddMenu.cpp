#include "TidewellApp/MonitorAddMenu.h"

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

MonitorAddMenu::MonitorAddMenu(TidewellAppModel& model, DeviceConfig device, QWidget* parent)
    : AddMenuButton(tr("Add Monitor"), tr("Add a monitor"), parent), model_(model), device_(std::move(device)) {
    connect(&model_, &TidewellAppModel::monitorOutputDevicesChanged, this, &MonitorAddMenu::contentChanged);
    connect(&model_, &TidewellAppModel::defaultMonitorOutputChanged, this, &MonitorAddMenu::contentChanged);
}

void MonitorAddMenu::setDevice(DeviceConfig device) {
    device_ = std::move(device);
    contentChanged();
}

std::vector<AddMenuEntry> MonitorAddMenu::entries() const {
    return monitorAddMenuEntries(model_.monitorOutputDevices(), model_.defaultMonitorOutput(), device_);
}

void MonitorAddMenu::choose(const AddMenuEntry& entry) {
    using Action = AddMenuEntry::Action;
    switch (entry.action) {
        case Action::systemDefaultOutput:
        case Action::output: {
            // An empty choice means "the default output": the model picks it after re-reading the
            // inventory. It remembers the output, and restarts a running diagnostic monitor,
            // once the monitor is in place; a refused add leaves the remembered pick alone.
            const QString uid =
                entry.action == Action::output ? QString::fromStdString(entry.target) : QString();
            model_.addMonitor(device_.id, uid);
            break;
        }
        case Action::refreshOutputs:
            model_.setAudioDeviceInventory(model_.environment().registry->deviceInventory());
            break;
        default:
            break;
    }
}

}  // namespace tidewell
