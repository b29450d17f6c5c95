#pragma once
// What the "Add Source" and "Add Monitor" menus list, worked out without any widget: a flat,
// ordered list of section titles, entries, placeholder texts and dividers for one device and the
// model's current lists. The menus turn it into actions; tests read it directly.

#include <TidewellCore/ConfigModel.h>
#include <TidewellCore/InventoryRecords.h>

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace tidewell {

struct AddMenuEntry {
    enum class Kind { sectionTitle, entry, placeholder, divider };
    enum class Action {
        none,
        hardwareInput,        // target: the input's uid
        systemAudio,
        passThru,
        nestedDevice,         // target: the nested device's id
        application,          // candidate set
        refreshSources,
        systemDefaultOutput,  // target: the default output's uid
        output,               // target: the output's uid
        refreshOutputs,
    };

    Kind kind = Kind::entry;
    Action action = Action::none;
    // Unique within one menu; entries keep it while the thing they stand for is listed.
    QString key;
    QString text;
    QString symbol;
    bool enabled = true;
    std::string target;
    std::optional<ApplicationSourceCandidate> candidate;
};

// Presence of a kind of source on the device: the first matching source decides.
bool hasHardwareInputSource(const DeviceConfig& device, const AudioDeviceInfo& input);
bool hasSystemAudioSource(const DeviceConfig& device);
bool hasPassThruSource(const DeviceConfig& device);
bool hasVirtualDeviceSource(const DeviceConfig& device, const DeviceConfig& other);
// By process object when the candidate has one; failing that, by pid (never without a pid).
bool hasApplicationSource(const DeviceConfig& device, const ApplicationSourceCandidate& candidate);
// True when some monitor of the device plays to this output.
bool hasMonitor(const DeviceConfig& device, const AudioDeviceInfo& output);

// The identity of a running-application entry: process object, pid and position together, so
// candidates that lack a process object (or a pid) never share one.
QString applicationEntryKey(const ApplicationSourceCandidate& candidate, std::size_t position);

// "Add Source": inputs, the special sources, the other devices of the saved configuration
// (only when it holds two or more; a nesting that would close a cycle is disabled), the
// capturable applications, a divider and "Refresh Sources".
std::vector<AddMenuEntry> sourceAddMenuEntries(const std::vector<AudioDeviceInfo>& inputs,
                                               const std::vector<ApplicationSourceCandidate>& candidates,
                                               const ConfigSnapshot& savedSnapshot,
                                               const DeviceConfig& device);

// "Add Monitor": "System Default (…)" when there is a default pick, every output, a divider
// and "Refresh Outputs".
std::vector<AddMenuEntry> monitorAddMenuEntries(const std::vector<AudioDeviceInfo>& outputs,
                                                const std::optional<AudioDeviceInfo>& defaultOutput,
                                                const DeviceConfig& device);

}  // namespace tidewell
