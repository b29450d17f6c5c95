// What the add-source and add-monitor menus list for crafted devices, inventories and
// candidates: sections, placeholder texts, disabled entries, the nested-device cycle rule and
// the identity of each entry. No widget is involved.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/AddMenuEntries.h"

#include <set>

namespace tidewell::testing {
namespace {

AudioDeviceInfo info(std::string uid, std::string name, bool isDefault = false) {
    return AudioDeviceInfo{std::move(uid), std::move(name), 2, isDefault, std::nullopt};
}

// "# title", "name", "name (off)", "- placeholder", "---".
std::vector<std::string> lines(const std::vector<AddMenuEntry>& entries) {
    std::vector<std::string> result;
    for (const auto& e : entries) {
        const std::string text = e.text.toStdString();
        switch (e.kind) {
            case AddMenuEntry::Kind::sectionTitle: result.push_back("# " + text); break;
            case AddMenuEntry::Kind::placeholder: result.push_back("- " + text); break;
            case AddMenuEntry::Kind::divider: result.push_back("---"); break;
            case AddMenuEntry::Kind::entry: result.push_back(e.enabled ? text : text + " (off)"); break;
        }
    }
    return result;
}

SourceConfig nested(const std::string& id, const std::string& sourceDeviceID) {
    SourceConfig source = makeSource(id, SourceType::virtualDevice, "Nested");
    source.metadata.sourceDeviceID = sourceDeviceID;
    return source;
}

ConfigSnapshot snapshotOf(std::vector<DeviceConfig> devices) {
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    snapshot.devices = std::move(devices);
    return snapshot;
}

TEST(SourceAddMenuEntries, ListsEverySectionInOrderWithTheDefaultMarkedAndSymbols) {
    DeviceConfig desk = makeDevice("D", "Desk");
    DeviceConfig stream = makeDevice("E", "Stream");
    std::vector<ApplicationSourceCandidate> candidates = {{"Player", "org.example.Player", 41, 410},
                                                          {"Browser", std::nullopt, 42, std::nullopt}};
    const auto entries = sourceAddMenuEntries({info("in-mic", "Built-in Microphone", true), info("in-usb", "USB Audio")},
                                              candidates, snapshotOf({desk, stream}), desk);
    EXPECT_EQ(lines(entries), (std::vector<std::string>{
                                  "# Audio Devices", "Built-in Microphone (Default)", "USB Audio",
                                  "# Special Sources", "System Audio", "Virtual Pass-Thru (off)",
                                  "# Tidewell Devices", "Stream",
                                  "# Running Applications", "Player", "Browser",
                                  "---", "Refresh Sources"}));
    std::vector<std::string> symbols;
    for (const auto& e : entries) {
        if (e.kind == AddMenuEntry::Kind::entry) symbols.push_back(e.symbol.toStdString());
    }
    EXPECT_EQ(symbols, (std::vector<std::string>{"mic", "mic", "speaker.wave.2", "arrow.left.arrow.right.circle",
                                                 "square.stack.3d.down.right", "", "",
                                                 "arrow.triangle.2.circlepath"}));
    EXPECT_EQ(entries[1].target, "in-mic");
    EXPECT_EQ(entries[7].target, "E");
    ASSERT_TRUE(entries[9].candidate.has_value());
    EXPECT_EQ(*entries[9].candidate, candidates[0]);
}

TEST(SourceAddMenuEntries, EmptyListsShowTheirTextAndOneDeviceShowsNoNestedSection) {
    DeviceConfig desk = makeDevice("D", "Desk");
    desk.sources.clear();
    EXPECT_EQ(lines(sourceAddMenuEntries({}, {}, snapshotOf({desk}), desk)),
              (std::vector<std::string>{"# Audio Devices", "- No Input Devices", "# Special Sources", "System Audio",
                                        "Virtual Pass-Thru", "# Running Applications", "- No Applications", "---",
                                        "Refresh Sources"}));
}

TEST(SourceAddMenuEntries, WhatTheDeviceAlreadyHasIsDisabledAndTheOtherSpecialEntryStaysEnabled) {
    DeviceConfig desk = makeDevice("D", "Desk");
    desk.sources.clear();
    SourceConfig input = makeSource("S1", SourceType::hardwareInput, "USB");
    input.metadata.deviceUID = "in-usb";
    desk.sources.push_back(input);
    desk.sources.push_back(makeSource("S2", SourceType::system, "System"));
    // The same input on another device does not count here.
    DeviceConfig other = makeDevice("E", "Stream");
    SourceConfig otherInput = input;
    otherInput.metadata.deviceUID = "in-mic";
    other.sources.push_back(otherInput);

    const auto entries = sourceAddMenuEntries({info("in-mic", "Mic", true), info("in-usb", "USB")}, {},
                                              snapshotOf({desk, other}), desk);
    EXPECT_EQ(lines(entries), (std::vector<std::string>{"# Audio Devices", "Mic (Default)", "USB (off)",
                                                        "# Special Sources", "System Audio (off)", "Virtual Pass-Thru",
                                                        "# Tidewell Devices", "Stream", "# Running Applications",
                                                        "- No Applications", "---", "Refresh Sources"}));
    // A source without a device uid matches no input.
    EXPECT_FALSE(hasHardwareInputSource(other, info("", "Nameless")));
}

TEST(SourceAddMenuEntries, ApplicationsMatchByProcessObjectThenByPidAndNeedAPid) {
    DeviceConfig desk = makeDevice("D", "Desk");
    desk.sources.push_back(makeApplicationSource("A", "org.example.Player", 7));  // object 70
    std::vector<ApplicationSourceCandidate> candidates = {
        {"Same object", std::nullopt, 8, 70},            // object matches, pid differs
        {"Same pid, no object", std::nullopt, 7, std::nullopt},
        {"Same pid, other object", std::nullopt, 7, 99},  // object finds none, pid matches
        {"No pid", std::nullopt, std::nullopt, 71},
        {"Free", std::nullopt, 9, 90},
    };
    const auto entries = sourceAddMenuEntries({}, candidates, snapshotOf({desk}), desk);
    const std::vector<std::string> all = lines(entries);
    std::vector<std::string> apps(all.begin() + 6, all.end() - 2);
    EXPECT_EQ(apps, (std::vector<std::string>{"Same object (off)", "Same pid, no object (off)",
                                              "Same pid, other object (off)", "No pid (off)", "Free"}));
    // A source without a process object or pid matches nothing.
    DeviceConfig bare = makeDevice("B", "Bare");
    bare.sources.push_back(makeSource("X", SourceType::application, "Unknown"));
    EXPECT_FALSE(hasApplicationSource(bare, {"Nothing", std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_FALSE(hasApplicationSource(bare, {"Pid", std::nullopt, 5, 50}));
}

TEST(SourceAddMenuEntries, NestedDevicesAlreadyPresentOrClosingACycleAreDisabled) {
    DeviceConfig desk = makeDevice("D", "Desk");
    DeviceConfig game = makeDevice("F", "Game");
    desk.sources.push_back(nested("N1", "F"));  // already nested in the shown device
    DeviceConfig stream = makeDevice("E", "Stream");
    stream.sources.push_back(nested("N2", "D"));  // has the shown device directly
    DeviceConfig record = makeDevice("G", "Record");
    record.sources.push_back(nested("N3", "E"));  // has it through Stream
    DeviceConfig free = makeDevice("H", "Free");
    const auto entries =
        sourceAddMenuEntries({}, {}, snapshotOf({stream, desk, game, record, free}), desk);
    std::vector<std::string> devices;
    bool inSection = false;
    for (const auto& line : lines(entries)) {
        if (line.starts_with("# ")) inSection = line == "# Tidewell Devices";
        else if (inSection) devices.push_back(line);
    }
    // Configuration order, the shown device left out.
    EXPECT_EQ(devices, (std::vector<std::string>{"Stream (off)", "Game (off)", "Record (off)", "Free"}));
}

TEST(SourceAddMenuEntries, EveryEntryHasItsOwnKeyEvenForCandidatesWithoutProcessObjectOrPid) {
    DeviceConfig desk = makeDevice("D", "Desk");
    std::vector<ApplicationSourceCandidate> candidates = {
        {"Helper", std::nullopt, std::nullopt, std::nullopt}, {"Helper", std::nullopt, std::nullopt, std::nullopt},
        {"Tool", std::nullopt, 5, std::nullopt},               {"Tool", std::nullopt, 6, std::nullopt},
        {"Shared", std::nullopt, 5, 50},                       {"Shared", std::nullopt, 5, 50}};
    const auto entries = sourceAddMenuEntries({info("in", "In")}, candidates,
                                              snapshotOf({desk, makeDevice("E", "E")}), desk);
    std::set<QString> keys;
    for (const auto& e : entries) EXPECT_TRUE(keys.insert(e.key).second) << e.key.toStdString();
    EXPECT_NE(applicationEntryKey(candidates[0], 0), applicationEntryKey(candidates[1], 1));
    // The same candidate at the same place keeps its key.
    EXPECT_EQ(applicationEntryKey(candidates[4], 4), applicationEntryKey(candidates[4], 4));
    EXPECT_NE(applicationEntryKey({"A", std::nullopt, 5, std::nullopt}, 0),
              applicationEntryKey({"A", std::nullopt, std::nullopt, 5}, 0));
}

TEST(MonitorAddMenuEntries, NoOutputsShowOnlyTheirText) {
    DeviceConfig desk = makeDevice("D", "Desk");
    EXPECT_EQ(lines(monitorAddMenuEntries({}, std::nullopt, desk)),
              (std::vector<std::string>{"# Monitor Outputs", "- No Output Devices", "---", "Refresh Outputs"}));
}

TEST(MonitorAddMenuEntries, TheDefaultPickIsListedTwiceAndAnOutputInUseIsDisabledInBothPlaces) {
    DeviceConfig desk = makeDevice("D", "Desk");
    // One output, not flagged default: the default pick names it, the list has no mark.
    const AudioDeviceInfo only = info("out-usb", "USB Out");
    EXPECT_EQ(lines(monitorAddMenuEntries({only}, only, desk)),
              (std::vector<std::string>{"# Monitor Outputs", "System Default (USB Out)", "USB Out", "---",
                                        "Refresh Outputs"}));

    const AudioDeviceInfo builtIn = info("out-builtin", "Built-in Output", true);
    MonitorConfig monitor = makeMonitor("M", "Built-in Output");
    monitor.deviceUID = "out-builtin";
    desk.monitors.push_back(monitor);
    // A monitor of another device does not count.
    DeviceConfig other = makeDevice("E", "Stream");
    monitor.deviceUID = "out-usb";
    other.monitors.push_back(monitor);
    const auto entries = monitorAddMenuEntries({only, builtIn}, builtIn, desk);
    EXPECT_EQ(lines(entries),
              (std::vector<std::string>{"# Monitor Outputs", "System Default (Built-in Output) (off)", "USB Out",
                                        "Built-in Output (Default) (off)", "---", "Refresh Outputs"}));
    EXPECT_EQ(entries[1].target, "out-builtin");
    EXPECT_EQ(entries[1].action, AddMenuEntry::Action::systemDefaultOutput);
    EXPECT_EQ(entries[2].action, AddMenuEntry::Action::output);
}

}  // namespace
}  // namespace tidewell::testing
