#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

IdFactory prefixedFactory(std::string prefix) {
  auto counter = std::make_shared<int>(0);
  return [counter, prefix] { return prefix + std::to_string(++*counter); };
}

DeviceConfig device(const std::string& id, std::int64_t channels = 2) {
  DeviceConfig d = DeviceConfig::makeDefault("Device " + id, 48000.0, prefixedFactory(id + "-"));
  d.id = id;
  d.uid = TidewellCore::derivedDeviceUID(id);
  d.channelCount = channels;
  d.sources[0].channelCount = channels;
  for (auto& w : d.wires) w.to.ownerID = id;
  return d;
}

ConfigSnapshot document(std::vector<DeviceConfig> devices) {
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices = std::move(devices);
  return s;
}

SourceConfig source(const std::string& id, SourceType type, std::int64_t channels = 2) {
  return SourceConfig{id, type, "Source " + id, true, false, 1.0, std::nullopt, channels, false,
                      SourceMetadata{}};
}

MonitorConfig monitor(const std::string& id, std::int64_t channels = 2) {
  return MonitorConfig{id, "Monitor " + id, true, false, 1.0, std::nullopt, "out-uid", channels};
}

SourceConfig nestedSource(const std::string& id, const std::string& target) {
  SourceConfig s = source(id, SourceType::virtualDevice);
  s.metadata.sourceDeviceID = target;
  return s;
}

using Issues = std::vector<ValidationIssue>;
using CodePath = std::vector<std::pair<std::string, std::string>>;

CodePath codes(const Issues& issues) {
  CodePath out;
  for (const auto& i : issues) out.emplace_back(i.code, i.path);
  return out;
}

ValidationResult validate(const ConfigSnapshot& s) { return ConfigValidator().validate(s); }

TEST(ConfigValidator, EmptyAndDefaultDocumentsHaveNoIssues) {
  EXPECT_EQ(validate(ConfigSnapshot::empty()), ValidationResult{});
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices.push_back(DeviceConfig::makeDefault("Tidewell", 48000.0));
  s.ui.selectedDeviceID = s.devices[0].id;
  ValidationResult r = validate(s);
  EXPECT_TRUE(r.isValid());
  EXPECT_TRUE(r.warnings.empty());
}

TEST(ConfigValidator, SchemaVersionIsCheckedAndDevicesStillExamined) {
  for (std::int64_t version : {0, 3, -3}) {
    ConfigSnapshot s = document({device("a")});
    s.schemaVersion = version;
    s.devices[0].name = "";
    ValidationResult r = validate(s);
    ASSERT_EQ(r.errors.size(), 2u);
    EXPECT_EQ(r.errors[0], (ValidationIssue{"schema.unsupported",
                                            "Unsupported schema version " + std::to_string(version) + ".",
                                            "schemaVersion"}));
    EXPECT_EQ(r.errors[1].code, "device.emptyName");
  }
  ConfigSnapshot v1 = document({device("a")});
  v1.schemaVersion = 1;
  EXPECT_TRUE(validate(v1).isValid());
}

TEST(ConfigValidator, DuplicateDeviceIDsAndUIDs) {
  ConfigSnapshot s = document({device("a"), device("a"), device("a")});
  s.devices[1].uid = "u1";
  s.devices[2].uid = "u1";
  ValidationResult r = validate(s);
  CodePath expected = {{"device.duplicateID", "devices"},
                       {"device.duplicateID", "devices"},
                       {"device.duplicateUID", "devices"}};
  CodePath found = codes(r.errors);
  ASSERT_GE(found.size(), 3u);
  found.resize(3);
  EXPECT_EQ(found, expected);
  EXPECT_EQ(r.errors[0].message, "Duplicate ID 'a' found.");
  EXPECT_EQ(r.errors[2].message, "Duplicate ID 'u1' found.");

  ConfigSnapshot empties = document({device(""), device("")});
  empties.devices[0].uid = "x";
  empties.devices[1].uid = "y";
  ValidationResult e = validate(empties);
  int emptyIDs = 0;
  for (const auto& i : e.errors) {
    EXPECT_NE(i.code, "device.duplicateID");
    emptyIDs += i.code == "device.emptyID";
  }
  EXPECT_EQ(emptyIDs, 2);
}

TEST(ConfigValidator, DeviceFieldChecksInTableOrder) {
  DeviceConfig d = device("d");
  d.id = " ";  // not empty: identifiers are not trimmed
  for (auto& w : d.wires) w.to.ownerID = " ";
  d.name = " \n\t\u3000";
  d.uid = "\u2028";
  d.sampleRate = 0;
  d.volume = std::nan("");
  d.channelCount = 2;
  d.channelGains = std::vector<double>{1.0, 1.0, 3.0};
  ValidationResult r = validate(document({d}));
  EXPECT_EQ(codes(r.errors), (CodePath{{"device.emptyName", "devices[0].name"},
                                       {"device.emptyUID", "devices[0].uid"},
                                       {"device.invalidSampleRate", "devices[0].sampleRate"},
                                       {"device.invalidVolume", "devices[0].volume"},
                                       {"device.tooManyChannelGains", "devices[0].channelGains"},
                                       {"device.invalidChannelGain", "devices[0].channelGains[2]"}}));
  EXPECT_EQ(r.errors[0].message, "Device name must not be empty.");
  EXPECT_EQ(r.errors[3].message, "Device volume must be finite and between 0.0 and 2.0.");
  EXPECT_EQ(r.errors[4].message, "Channel gain count must not exceed the channel count.");
  EXPECT_EQ(r.errors[5].message, "Channel gain must be finite and between 0.0 and 2.0.");
}

TEST(ConfigValidator, SampleRateRules) {
  auto issuesFor = [](double rate) {
    DeviceConfig d = device("d");
    d.sampleRate = rate;
    ValidationResult r = validate(document({d}));
    return std::make_pair(codes(r.errors), codes(r.warnings));
  };
  const CodePath none;
  const CodePath unsupported{{"device.unsupportedSampleRate", "devices[0].sampleRate"}};
  const CodePath invalid{{"device.invalidSampleRate", "devices[0].sampleRate"}};
  EXPECT_EQ(issuesFor(44100), std::make_pair(none, unsupported));
  EXPECT_EQ(issuesFor(0), std::make_pair(invalid, none));
  EXPECT_EQ(issuesFor(-48000), std::make_pair(invalid, none));
  // A NaN is not <= 0, so it is only "unsupported"; the encoder refuses it at save time.
  EXPECT_EQ(issuesFor(std::nan("")), std::make_pair(none, unsupported));
  EXPECT_EQ(issuesFor(std::numeric_limits<double>::infinity()), std::make_pair(none, unsupported));
  EXPECT_EQ(issuesFor(48000), std::make_pair(none, none));
  DeviceConfig d = device("d");
  d.sampleRate = 44100;
  EXPECT_EQ(validate(document({d})).warnings[0].message,
            "The engine runs at 48 kHz; this sample rate is ignored.");
}

TEST(ConfigValidator, VolumeAndChannelCountBounds) {
  for (double ok : {2.0, -0.0, 0.0, 1.0}) {
    DeviceConfig d = device("d");
    d.volume = ok;
    EXPECT_TRUE(validate(document({d})).isValid()) << ok;
  }
  for (double bad : {2.0000001, -0.1, std::numeric_limits<double>::infinity(), std::nan("")}) {
    DeviceConfig d = device("d");
    d.volume = bad;
    EXPECT_EQ(codes(validate(document({d})).errors),
              (CodePath{{"device.invalidVolume", "devices[0].volume"}}))
        << bad;
  }
  for (std::int64_t ok : {2, 64}) EXPECT_TRUE(validate(document({device("d", ok)})).isValid());
  for (std::int64_t bad : std::vector<std::int64_t>{0, 1, 3, 63, 66, -2,
                                                   std::numeric_limits<std::int64_t>::min(),
                                                   std::numeric_limits<std::int64_t>::max()}) {
    DeviceConfig d = device("d", 2);
    d.channelCount = bad;
    auto errors = validate(document({d})).errors;
    ASSERT_EQ(errors.size(), 1u) << bad;
    EXPECT_EQ(errors[0], (ValidationIssue{"device.invalidChannelCount",
                                          "Channel count must be even and between 2 and 64.",
                                          "devices[0].channelCount"}));
  }
}

TEST(ConfigValidator, DeviceUIDMustFitTheRuntimeRegion) {
  DeviceConfig longUID = device("a");
  longUID.uid = std::string(127, 'x');
  EXPECT_TRUE(validate(document({longUID})).isValid());
  longUID.uid = std::string(128, 'x');
  DeviceConfig withNul = device("b");
  withNul.uid = std::string("abc\0def", 7);
  DeviceConfig multiByte = device("c");
  multiByte.uid = std::string(43, 'y');
  for (int i = 0; i < 43; ++i) multiByte.uid += "\u00E9";  // 43 + 86 = 129 bytes, 86 characters
  ValidationResult r = validate(document({longUID, withNul, multiByte}));
  EXPECT_EQ(codes(r.errors), (CodePath{{"device.invalidUID", "devices[0].uid"},
                                       {"device.invalidUID", "devices[1].uid"},
                                       {"device.invalidUID", "devices[2].uid"}}));
  EXPECT_EQ(r.errors[0].message,
            "Device UID must be at most 127 bytes of UTF-8 and must not contain a NUL character.");
}

TEST(ConfigValidator, SourceChecks) {
  DeviceConfig d = device("d");
  SourceConfig blank = source("", SourceType::system, 0);
  blank.name = "  ";
  blank.gain = 2.5;
  blank.channelGains = std::vector<double>{-1.0};
  SourceConfig wide = source("pt", SourceType::passThru, 4);
  SourceConfig hw = source("hw", SourceType::hardwareInput, 3);
  hw.muteWhenCapturing = true;
  SourceConfig app = source("app", SourceType::application);
  SourceConfig appEmptyBundle = source("app2", SourceType::application);
  appEmptyBundle.metadata.bundleIdentifier = "";
  appEmptyBundle.muteWhenCapturing = true;
  SourceConfig appPid = source("app3", SourceType::application);
  appPid.metadata.pid = 0;
  SourceConfig sysMute = source("sys", SourceType::system);
  sysMute.muteWhenCapturing = true;
  SourceConfig nestedEmpty = nestedSource("v", "");
  d.sources = {blank, wide, hw, app, appEmptyBundle, appPid, sysMute, nestedEmpty};
  d.wires.clear();
  ValidationResult r = validate(document({d}));
  EXPECT_EQ(codes(r.errors),
            (CodePath{{"source.emptyID", "devices[0].sources[0].id"},
                      {"source.emptyName", "devices[0].sources[0].name"},
                      {"source.invalidChannelCount", "devices[0].sources[0].channelCount"},
                      {"source.invalidGain", "devices[0].sources[0].gain"},
                      {"source.tooManyChannelGains", "devices[0].sources[0].channelGains"},
                      {"source.invalidChannelGain", "devices[0].sources[0].channelGains[0]"}}));
  EXPECT_EQ(codes(r.warnings),
            (CodePath{
                {"source.passThruChannelMismatch", "devices[0].sources[1].channelCount"},
                {"source.muteWhenCapturingUnsupported", "devices[0].sources[2].muteWhenCapturing"},
                {"source.hardwareInputMissingDevice", "devices[0].sources[2].metadata.deviceUID"},
                {"source.applicationMissingIdentity", "devices[0].sources[3].metadata"},
                {"source.virtualDeviceMissingDevice", "devices[0].sources[7].metadata.sourceDeviceID"}}));
  EXPECT_EQ(r.warnings[0].message,
            "Pass-Thru source channel count should match the virtual device channel count.");
  EXPECT_EQ(r.warnings[1].message,
            "Mute-when-capturing only applies to application and system audio sources.");
  EXPECT_EQ(r.warnings[2].message, "Hardware input source has no Core Audio device UID.");
  EXPECT_EQ(r.warnings[3].message,
            "Application source has no bundle identifier, PID, or process object ID.");
  EXPECT_EQ(r.warnings[4].message, "Nested device source has no source device ID.");
  EXPECT_EQ(r.errors[2].message, "Source channel count must be positive.");
  EXPECT_EQ(r.errors[3].message, "Gain must be finite and between 0.0 and 2.0.");
}

TEST(ConfigValidator, MonitorChecks) {
  DeviceConfig d = device("d");
  MonitorConfig m = monitor("", 0);
  m.name = "\n";
  m.deviceUID = " ";
  m.gain = -1;
  m.channelGains = std::vector<double>{1.0, std::nan("")};
  d.monitors = {m, monitor("ok", 3)};
  ValidationResult r = validate(document({d}));
  EXPECT_EQ(codes(r.errors),
            (CodePath{{"monitor.emptyID", "devices[0].monitors[0].id"},
                      {"monitor.emptyName", "devices[0].monitors[0].name"},
                      {"monitor.invalidChannelCount", "devices[0].monitors[0].channelCount"},
                      {"monitor.invalidGain", "devices[0].monitors[0].gain"},
                      {"monitor.tooManyChannelGains", "devices[0].monitors[0].channelGains"},
                      {"monitor.invalidChannelGain", "devices[0].monitors[0].channelGains[1]"}}));
  EXPECT_EQ(codes(r.warnings),
            (CodePath{{"monitor.missingDeviceUID", "devices[0].monitors[0].deviceUID"}}));
  EXPECT_EQ(r.warnings[0].message, "Monitor has no Core Audio output device UID.");
  EXPECT_EQ(r.errors[0].message, "Monitor ID must not be empty.");
}

// Every channel becomes a row in the editor and a channel in a stream of at most 64: a count
// beyond that, from a hand edit or a device that reports thousands, must not be taken.
TEST(ConfigValidator, SourceAndMonitorChannelCountsStopAtTheDeviceLimit) {
  for (std::int64_t ok : {1, 3, 64}) {
    DeviceConfig d = device("d");
    d.sources = {source("s", SourceType::hardwareInput, ok)};
    d.sources[0].metadata.deviceUID = "in";
    d.monitors = {monitor("m", ok)};
    d.wires.clear();
    EXPECT_TRUE(validate(document({d})).isValid()) << ok;
  }
  for (std::int64_t bad : std::vector<std::int64_t>{65, 2000, 8000,
                                                   std::numeric_limits<std::int64_t>::max()}) {
    DeviceConfig d = device("d");
    d.sources = {source("s", SourceType::hardwareInput, bad)};
    d.sources[0].metadata.deviceUID = "in";
    d.monitors = {monitor("m", bad)};
    d.wires.clear();
    ValidationResult r = validate(document({d}));
    EXPECT_EQ(r.errors,
              (std::vector<ValidationIssue>{
                  {"source.invalidChannelCount", "Source channel count must not exceed 64.",
                   "devices[0].sources[0].channelCount"},
                  {"monitor.invalidChannelCount", "Monitor channel count must not exceed 64.",
                   "devices[0].monitors[0].channelCount"}}))
        << bad;
  }
}

TEST(ConfigValidator, DuplicateItemIDsUseTheFirstForWireEnds) {
  DeviceConfig d = device("d", 4);
  d.sources = {source("s", SourceType::system, 4), source("s", SourceType::system, 1)};
  d.monitors = {monitor("m"), monitor("m")};
  d.wires = {Wire{"w", {EndpointKind::source, "s", 3}, {EndpointKind::deviceOutput, "d", 1}},
             Wire{"w", {EndpointKind::source, "s", 4}, {EndpointKind::deviceOutput, "d", 2}}};
  ValidationResult r = validate(document({d}));
  EXPECT_EQ(codes(r.errors), (CodePath{{"source.duplicateID", "devices[0].sources"},
                                       {"monitor.duplicateID", "devices[0].monitors"},
                                       {"wire.duplicateID", "devices[0].wires"}}));
  EXPECT_EQ(r.errors[0].message, "Duplicate ID 's' found.");
  EXPECT_TRUE(r.warnings.empty()) << "channels 3 and 4 fit the first source's 4 channels";

  // Two devices may each hold a source with the same id.
  DeviceConfig a = device("a");
  DeviceConfig b = device("b");
  b.sources[0].id = a.sources[0].id;
  for (auto& w : b.wires) w.from.ownerID = a.sources[0].id;
  EXPECT_TRUE(validate(document({a, b})).isValid());
}

TEST(ConfigValidator, WireDirectionAndEnds) {
  DeviceConfig d = device("d", 8);
  d.sources = {source("s", SourceType::system, 2)};
  d.monitors = {monitor("m", 2)};
  d.wires = {
      Wire{"w0", {EndpointKind::source, "nobody", 0}, {EndpointKind::deviceOutput, "d", 1}},
      Wire{"w1", {EndpointKind::source, "s", 1}, {EndpointKind::deviceOutput, "other", 9}},
      Wire{"w2", {EndpointKind::monitor, "m", 3}, {EndpointKind::source, "ghost", 1}},
      Wire{"", {EndpointKind::deviceOutput, "d", 1}, {EndpointKind::monitor, "zz", 1}},
      Wire{"w4", {EndpointKind::source, "s", 3}, {EndpointKind::deviceOutput, "d", 8}},
  };
  ValidationResult r = validate(document({d}));
  EXPECT_EQ(codes(r.errors), (CodePath{{"wire.emptyID", "devices[0].wires[3].id"}}));
  EXPECT_EQ(codes(r.warnings),
            (CodePath{{"wire.from.invalidChannel", "devices[0].wires[0].from.channel"},
                      {"wire.to.wrongDeviceOutputOwner", "devices[0].wires[1].to.ownerID"},
                      {"wire.to.deviceChannelOutOfRange", "devices[0].wires[1].to.channel"},
                      {"wire.invalidDirection", "devices[0].wires[2]"},
                      {"wire.from.monitorChannelOutOfRange", "devices[0].wires[2].from.channel"},
                      {"wire.to.missingSource", "devices[0].wires[2].to.ownerID"},
                      {"wire.to.missingMonitor", "devices[0].wires[3].to.ownerID"},
                      {"wire.from.sourceChannelOutOfRange", "devices[0].wires[4].from.channel"}}));
  const std::vector<std::string> messages = {
      "Wire endpoint channels are one-based and must be positive.",
      "Device output endpoint must refer to the containing device.",
      "Wire endpoint channel exceeds the device channel count.",
      "Wire direction must be source-to-deviceOutput or deviceOutput-to-monitor.",
      "Wire endpoint channel exceeds the monitor channel count.",
      "Wire endpoint refers to a missing source.",
      "Wire endpoint refers to a missing monitor.",
      "Wire endpoint channel exceeds the source channel count."};
  for (std::size_t i = 0; i < messages.size(); ++i) EXPECT_EQ(r.warnings[i].message, messages[i]);
}

TEST(ConfigValidator, SelectedDeviceWarningComesAfterDevicesAndBeforeTheGraph) {
  DeviceConfig a = device("a");
  a.sources.push_back(nestedSource("v", "nowhere"));
  a.sources.back().name = " Spaced ";
  a.monitors = {monitor("m")};
  a.monitors[0].deviceUID = "";
  ConfigSnapshot s = document({a});
  s.ui.selectedDeviceID = "gone";
  ValidationResult r = validate(s);
  EXPECT_EQ(codes(r.warnings), (CodePath{{"monitor.missingDeviceUID", "devices[0].monitors[0].deviceUID"},
                                         {"ui.selectedDeviceMissing", "ui.selectedDeviceID"},
                                         {"source.virtualDeviceUnknownDevice", "devices[0]"}}));
  EXPECT_EQ(r.warnings[1].message, "Selected device ID does not refer to a configured device.");
  EXPECT_EQ(r.warnings[2].message, "Nested device source ' Spaced ' refers to a device that does not exist.");

  s.ui.selectedDeviceID = "";
  EXPECT_EQ(validate(s).warnings[1].code, "ui.selectedDeviceMissing");
  s.ui.selectedDeviceID.reset();
  EXPECT_EQ(validate(s).warnings.size(), 2u);
}

TEST(ConfigValidator, NestedDeviceCycles) {
  auto cycleErrors = [](const ConfigSnapshot& s) {
    Issues out;
    for (const auto& e : validate(s).errors)
      if (e.code == "device.nestedDeviceCycle") out.push_back(e);
    return out;
  };
  DeviceConfig self = device("self");
  self.sources.push_back(nestedSource("n", "self"));
  auto selfCycle = cycleErrors(document({self}));
  ASSERT_EQ(selfCycle.size(), 1u);
  EXPECT_EQ(selfCycle[0], (ValidationIssue{"device.nestedDeviceCycle",
                                           "Nested device sources form a cycle involving device 'self'.",
                                           "devices"}));

  DeviceConfig a = device("A"), b = device("B");
  a.sources.push_back(nestedSource("na", "B"));
  b.sources.push_back(nestedSource("nb", "A"));
  auto mutual = cycleErrors(document({a, b}));
  ASSERT_EQ(mutual.size(), 1u);
  EXPECT_EQ(mutual[0].message, "Nested device sources form a cycle involving device 'A'.");

  // A chain and a diamond have no cycle.
  DeviceConfig c = device("C"), d = device("D"), e = device("E");
  c.sources.push_back(nestedSource("1", "D"));
  c.sources.push_back(nestedSource("2", "E"));
  d.sources.push_back(nestedSource("3", "E"));
  EXPECT_TRUE(cycleErrors(document({c, d, e})).empty());

  // A long chain closing on itself is found without deep recursion.
  std::vector<DeviceConfig> chain;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    DeviceConfig x = device("c" + std::to_string(i));
    x.sources.push_back(nestedSource("n", "c" + std::to_string((i + 1) % n)));
    chain.push_back(std::move(x));
  }
  EXPECT_EQ(cycleErrors(document(std::move(chain))).size(), 1u);
}

}  // namespace
}  // namespace tidewell
