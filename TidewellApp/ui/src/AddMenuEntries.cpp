#include "TidewellApp/AddMenuEntries.h"

#include <TidewellCore/Branding.h>
#include <TidewellCore/ConfigEditor.h>

#include <QObject>

namespace tidewell {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

// A line that is only text: a section title or the stand-in for an empty list.
AddMenuEntry textLine(AddMenuEntry::Kind kind, const QString& key, const QString& text) {
    AddMenuEntry e;
    e.kind = kind;
    e.key = (kind == AddMenuEntry::Kind::sectionTitle ? QStringLiteral("section:") : QStringLiteral("empty:")) + key;
    e.text = text;
    e.enabled = false;
    return e;
}

AddMenuEntry title(const QString& key, const QString& text) {
    return textLine(AddMenuEntry::Kind::sectionTitle, key, text);
}

AddMenuEntry placeholder(const QString& key, const QString& text) {
    return textLine(AddMenuEntry::Kind::placeholder, key, text);
}

AddMenuEntry divider() {
    AddMenuEntry e;
    e.kind = AddMenuEntry::Kind::divider;
    e.key = QStringLiteral("divider");
    e.enabled = false;
    return e;
}

AddMenuEntry entry(AddMenuEntry::Action action, QString key, QString label, QString symbol,
                   bool enabled, std::string target = {}) {
    AddMenuEntry e;
    e.action = action;
    e.key = std::move(key);
    e.text = std::move(label);
    e.symbol = std::move(symbol);
    e.enabled = enabled;
    e.target = std::move(target);
    return e;
}

QString withDefaultMark(const AudioDeviceInfo& device) {
    return device.isDefault ? text(device.name) + QObject::tr(" (Default)") : text(device.name);
}

}  // namespace

bool hasHardwareInputSource(const DeviceConfig& device, const AudioDeviceInfo& input) {
    for (const auto& source : device.sources) {
        if (source.type == SourceType::hardwareInput && source.metadata.deviceUID == input.uid) return true;
    }
    return false;
}

static bool hasSourceOfType(const DeviceConfig& device, SourceType type) {
    for (const auto& source : device.sources) {
        if (source.type == type) return true;
    }
    return false;
}

bool hasSystemAudioSource(const DeviceConfig& device) { return hasSourceOfType(device, SourceType::system); }

bool hasPassThruSource(const DeviceConfig& device) { return hasSourceOfType(device, SourceType::passThru); }

bool hasVirtualDeviceSource(const DeviceConfig& device, const DeviceConfig& other) {
    for (const auto& source : device.sources) {
        if (source.type == SourceType::virtualDevice && source.metadata.sourceDeviceID == other.id) return true;
    }
    return false;
}

bool hasApplicationSource(const DeviceConfig& device, const ApplicationSourceCandidate& candidate) {
    if (candidate.processObjectID) {
        for (const auto& source : device.sources) {
            if (source.type == SourceType::application &&
                source.metadata.processObjectID == candidate.processObjectID) {
                return true;
            }
        }
    }
    if (!candidate.pid) return false;
    for (const auto& source : device.sources) {
        if (source.type == SourceType::application && source.metadata.pid == candidate.pid) return true;
    }
    return false;
}

bool hasMonitor(const DeviceConfig& device, const AudioDeviceInfo& output) {
    for (const auto& monitor : device.monitors) {
        if (monitor.deviceUID == output.uid) return true;
    }
    return false;
}

QString applicationEntryKey(const ApplicationSourceCandidate& candidate, std::size_t position) {
    auto part = [](const auto& value) {
        return value ? QString::number(*value) : QStringLiteral("-");
    };
    return QStringLiteral("application:%1:%2:%3")
        .arg(part(candidate.processObjectID), part(candidate.pid), QString::number(position));
}

std::vector<AddMenuEntry> sourceAddMenuEntries(const std::vector<AudioDeviceInfo>& inputs,
                                               const std::vector<ApplicationSourceCandidate>& candidates,
                                               const ConfigSnapshot& savedSnapshot,
                                               const DeviceConfig& device) {
    using Action = AddMenuEntry::Action;
    std::vector<AddMenuEntry> list;

    list.push_back(title(QStringLiteral("inputs"), QObject::tr("Audio Devices")));
    if (inputs.empty()) list.push_back(placeholder(QStringLiteral("inputs"), QObject::tr("No Input Devices")));
    for (const auto& input : inputs) {
        list.push_back(entry(Action::hardwareInput, QStringLiteral("input:") + text(input.uid),
                             withDefaultMark(input), QStringLiteral("mic"),
                             !hasHardwareInputSource(device, input), input.uid));
    }

    list.push_back(title(QStringLiteral("special"), QObject::tr("Special Sources")));
    list.push_back(entry(Action::systemAudio, QStringLiteral("system"), QObject::tr("System Audio"),
                         QStringLiteral("speaker.wave.2"), !hasSystemAudioSource(device)));
    list.push_back(entry(Action::passThru, QStringLiteral("passThru"), QObject::tr("Virtual Pass-Thru"),
                         QStringLiteral("arrow.left.arrow.right.circle"), !hasPassThruSource(device)));

    if (savedSnapshot.devices.size() >= 2) {
        list.push_back(title(QStringLiteral("devices"),
                             QString::fromUtf8(Branding::productName.data(),
                                               qsizetype(Branding::productName.size())) +
                                 QObject::tr(" Devices")));
        for (const auto& other : savedSnapshot.devices) {
            if (other.id == device.id) continue;
            // Only the saved configuration counts: the unsaved edit is not consulted.
            const bool enabled = !hasVirtualDeviceSource(device, other) &&
                                 !ConfigEditor::wouldCreateNestedDeviceCycle(device.id, other.id, savedSnapshot);
            list.push_back(entry(Action::nestedDevice, QStringLiteral("device:") + text(other.id),
                                 text(other.name), QStringLiteral("square.stack.3d.down.right"), enabled,
                                 other.id));
        }
    }

    list.push_back(title(QStringLiteral("applications"), QObject::tr("Running Applications")));
    if (candidates.empty()) {
        list.push_back(placeholder(QStringLiteral("applications"), QObject::tr("No Applications")));
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto& candidate = candidates[i];
        AddMenuEntry e = entry(Action::application, applicationEntryKey(candidate, i),
                               text(candidate.displayName), QString(),
                               candidate.pid.has_value() && !hasApplicationSource(device, candidate));
        e.candidate = candidate;
        list.push_back(std::move(e));
    }

    list.push_back(divider());
    list.push_back(entry(Action::refreshSources, QStringLiteral("refresh"), QObject::tr("Refresh Sources"),
                         QStringLiteral("arrow.triangle.2.circlepath"), true));
    return list;
}

std::vector<AddMenuEntry> monitorAddMenuEntries(const std::vector<AudioDeviceInfo>& outputs,
                                                const std::optional<AudioDeviceInfo>& defaultOutput,
                                                const DeviceConfig& device) {
    using Action = AddMenuEntry::Action;
    std::vector<AddMenuEntry> list;
    list.push_back(title(QStringLiteral("outputs"), QObject::tr("Monitor Outputs")));
    if (defaultOutput) {
        list.push_back(entry(Action::systemDefaultOutput, QStringLiteral("systemDefault"),
                             QObject::tr("System Default (") + text(defaultOutput->name) + QStringLiteral(")"),
                             QStringLiteral("speaker.wave.2"), !hasMonitor(device, *defaultOutput),
                             defaultOutput->uid));
    }
    if (outputs.empty()) list.push_back(placeholder(QStringLiteral("outputs"), QObject::tr("No Output Devices")));
    for (const auto& output : outputs) {
        list.push_back(entry(Action::output, QStringLiteral("output:") + text(output.uid), withDefaultMark(output),
                             QStringLiteral("speaker.wave.2"), !hasMonitor(device, output), output.uid));
    }
    list.push_back(divider());
    list.push_back(entry(Action::refreshOutputs, QStringLiteral("refresh"), QObject::tr("Refresh Outputs"),
                         QStringLiteral("arrow.triangle.2.circlepath"), true));
    return list;
}

}  // namespace tidewell
