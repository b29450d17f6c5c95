#include "TidewellApp/SourceAddMenu.h"

#include "TidewellApp/ApplicationIcon.h"
#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

SourceAddMenu::SourceAddMenu(TidewellAppModel& model, DeviceConfig device, QWidget* parent)
    : AddMenuButton(tr("Add Source"), tr("Add a source"), parent), model_(model), device_(std::move(device)) {
    connect(&model_, &TidewellAppModel::hardwareInputDevicesChanged, this, &SourceAddMenu::contentChanged);
    connect(&model_, &TidewellAppModel::applicationSourceCandidatesChanged, this, &SourceAddMenu::contentChanged);
    connect(&model_, &TidewellAppModel::snapshotChanged, this, &SourceAddMenu::contentChanged);
}

void SourceAddMenu::setDevice(DeviceConfig device) {
    device_ = std::move(device);
    contentChanged();
}

std::vector<AddMenuEntry> SourceAddMenu::entries() const {
    return sourceAddMenuEntries(model_.hardwareInputDevices(), model_.applicationSourceCandidates(),
                                model_.snapshot(), device_);
}

QIcon SourceAddMenu::iconFor(const AddMenuEntry& entry) const {
    if (entry.action == AddMenuEntry::Action::application && entry.candidate) {
        return ApplicationIcon::menuIcon(entry.candidate->bundleIdentifier, entry.candidate->pid, 15);
    }
    return AddMenuButton::iconFor(entry);
}

void SourceAddMenu::choose(const AddMenuEntry& entry) {
    using Action = AddMenuEntry::Action;
    const std::string deviceID = device_.id;
    switch (entry.action) {
        case Action::hardwareInput: {
            // The add remembers the input, and restarts a running diagnostic helper, once the
            // source is in place.
            model_.addHardwareInputSource(deviceID, QString::fromStdString(entry.target));
            break;
        }
        case Action::systemAudio:
            model_.addSystemAudioSource(deviceID);
            break;
        case Action::passThru:
            // Works on the edited copy when there is one and saves with "Added pass-thru".
            model_.addPassThruSource(deviceID);
            break;
        case Action::nestedDevice:
            model_.addVirtualDeviceSource(deviceID, entry.target);
            break;
        case Action::application: {
            if (!entry.candidate || !entry.candidate->pid) return;
            model_.addApplicationSource(deviceID, QString::number(*entry.candidate->pid));
            break;
        }
        case Action::refreshSources:
            model_.refreshApplicationSourceCandidates();
            model_.setAudioDeviceInventory(model_.environment().registry->deviceInventory());
            break;
        default:
            break;
    }
}

}  // namespace tidewell
