#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

using Gains = std::optional<std::vector<double>>;

Gains G(std::initializer_list<double> values) { return std::vector<double>(values); }

IdFactory counting(const std::string& prefix) {
  auto counter = std::make_shared<int>(0);
  return [counter, prefix] { return prefix + std::to_string(++*counter); };
}

ConfigSnapshot oneDevice() {
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices.push_back(DeviceConfig::makeDefault("Main", 48000.0, counting("d")));
  return s;
}

// Runs op, expects it to throw `expected`, and checks the document did not change.
template <class Op>
void expectEditError(ConfigSnapshot& doc, Op op, const ConfigEditError& expected) {
  const ConfigSnapshot before = doc;
  try {
    op(doc);
    ADD_FAILURE() << "expected: " << expected.what();
  } catch (const ConfigEditError& e) {
    EXPECT_EQ(e, expected) << e.what();
    EXPECT_EQ(std::string(e.what()), expected.description());
  }
  EXPECT_EQ(doc, before);
}

TEST(ConfigEditor, ErrorDescriptions) {
  EXPECT_STREQ(ConfigEditError::deviceNotFound("x").what(), "No device exists with ID 'x'.");
  EXPECT_STREQ(ConfigEditError::sourceNotFound("s").what(), "No source exists with ID 's'.");
  EXPECT_STREQ(ConfigEditError::monitorNotFound("m").what(), "No monitor exists with ID 'm'.");
  EXPECT_STREQ(ConfigEditError::wireNotFound("w").what(), "No wire exists with ID 'w'.");
  EXPECT_STREQ(ConfigEditError::invalidBenchmarkInput("input UID must not be empty").what(),
               "Invalid benchmark input: input UID must not be empty.");
  EXPECT_STREQ(ConfigEditError::invalidWireEndpoint({EndpointKind::deviceOutput, "d", -3}).what(),
               "Wire endpoint deviceOutput:d:-3 is not valid for the device.");
  EXPECT_STREQ(ConfigEditError::nestedDeviceCycle("A").what(),
               "Adding device 'A' as a source would create a nested-device cycle.");
  EXPECT_STREQ(ConfigEditError::invalidWireDirection().what(),
               "Wire direction must be source-to-deviceOutput or deviceOutput-to-monitor.");
  EXPECT_NE(ConfigEditError::deviceNotFound("x"), ConfigEditError::sourceNotFound("x"));
}

TEST(ConfigEditor, SimpleDeviceEditsAndLookupErrors) {
  ConfigSnapshot doc = oneDevice();
  EXPECT_EQ(ConfigEditor::selectDevice("d1", doc).id, "d1");
  EXPECT_EQ(doc.ui.selectedDeviceID, std::optional<std::string>("d1"));
  EXPECT_EQ(ConfigEditor::renameDevice("d1", "  ", doc).name, "  ");
  EXPECT_FALSE(ConfigEditor::setDeviceEnabled("d1", false, doc).enabled);
  EXPECT_EQ(ConfigEditor::setDeviceVolume("d1", 7.5, doc).volume, 7.5);
  EXPECT_EQ(ConfigEditor::setDeviceIcon("d1", "speaker", doc).icon, "speaker");
  EXPECT_EQ(doc.devices[0].name, "  ");
  EXPECT_EQ(doc.devices[0].volume, 7.5);

  auto missing = ConfigEditError::deviceNotFound("nope");
  expectEditError(doc, [](auto& d) { ConfigEditor::selectDevice("nope", d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::renameDevice("nope", "x", d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setDeviceEnabled("nope", true, d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setDeviceChannelCount("nope", 4, d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setDeviceVolume("nope", 1, d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setDeviceIcon("nope", "i", d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setDeviceChannelGain("nope", 1, 0.5, d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::deleteWire("nope", "d3", d); }, missing);
  expectEditError(doc, [](auto& d) { ConfigEditor::setSourceControls("nope", "d2", true, false, 1, d); },
                  missing);
}

TEST(ConfigEditor, SourceAndMonitorControls) {
  ConfigSnapshot doc = oneDevice();
  doc.devices[0].monitors.push_back(MonitorConfig{"m", "Out", true, false, 1.0, std::nullopt, "hw", 2});
  SourceConfig s = ConfigEditor::setSourceControls("d1", "d2", false, true, 3.0, doc);
  EXPECT_EQ(s, doc.devices[0].sources[0]);
  EXPECT_FALSE(s.enabled);
  EXPECT_TRUE(s.muted);
  EXPECT_EQ(s.gain, 3.0);
  EXPECT_TRUE(ConfigEditor::setSourceMuteWhenCapturing("d1", "d2", true, doc).muteWhenCapturing)
      << "allowed whatever the source type";
  MonitorConfig m = ConfigEditor::setMonitorControls("d1", "m", false, true, 0.25, doc);
  EXPECT_EQ(m, doc.devices[0].monitors[0]);
  EXPECT_EQ(m.gain, 0.25);

  expectEditError(doc, [](auto& d) { ConfigEditor::setSourceControls("d1", "zz", true, false, 1, d); },
                  ConfigEditError::sourceNotFound("zz"));
  expectEditError(doc, [](auto& d) { ConfigEditor::setSourceMuteWhenCapturing("d1", "zz", true, d); },
                  ConfigEditError::sourceNotFound("zz"));
  expectEditError(doc, [](auto& d) { ConfigEditor::setMonitorControls("d1", "zz", true, false, 1, d); },
                  ConfigEditError::monitorNotFound("zz"));
  expectEditError(doc, [](auto& d) { ConfigEditor::setSourceChannelGain("d1", "zz", 1, 0.5, d); },
                  ConfigEditError::sourceNotFound("zz"));
  expectEditError(doc, [](auto& d) { ConfigEditor::setMonitorChannelGain("d1", "zz", 1, 0.5, d); },
                  ConfigEditError::monitorNotFound("zz"));
}

TEST(ConfigEditor, UpdatedChannelGains) {
  using ConfigEditor::updatedChannelGains;
  EXPECT_EQ(updatedChannelGains(std::nullopt, 4, 2, 0.5), G({1.0, 0.5, 1.0, 1.0}));
  EXPECT_EQ(updatedChannelGains(G({1.0, 0.5, 1.0, 1.0}), 4, 2, 1.0), std::nullopt);
  EXPECT_EQ(updatedChannelGains(G({0.5}), 2, 3, 0.2), G({0.5}));
  EXPECT_EQ(updatedChannelGains(G({0.5}), 2, 0, 0.2), G({0.5}));
  EXPECT_EQ(updatedChannelGains(std::nullopt, 2, 3, 0.2), std::nullopt);
  EXPECT_EQ(updatedChannelGains(G({1, 1, 1, 1}), 2, 4, 0.3), G({1, 1, 1, 0.3}));
  EXPECT_EQ(updatedChannelGains(std::nullopt, 0, 1, 0.5), std::nullopt);
  EXPECT_EQ(updatedChannelGains(std::nullopt, -5, 1, 0.5), std::nullopt);
  EXPECT_EQ(updatedChannelGains(G({0.5}), 2, 2, 0.7), G({0.5, 0.7}));
  auto withNaN = updatedChannelGains(std::nullopt, 2, 1, std::nan(""));
  ASSERT_TRUE(withNaN);
  EXPECT_TRUE(std::isnan((*withNaN)[0]));
  EXPECT_EQ(updatedChannelGains(std::nullopt, 2, std::numeric_limits<std::int64_t>::max(), 0.5),
            std::nullopt);
  EXPECT_EQ(updatedChannelGains(std::nullopt, 2, std::numeric_limits<std::int64_t>::min(), 0.5),
            std::nullopt);
}

TEST(ConfigEditor, AbsurdCountsAreCappedInsteadOfExhaustingMemory) {
  using ConfigEditor::updatedChannelGains;
  const std::int64_t huge = 1'000'000'000'000;
  const std::int64_t cap = ConfigEditor::maximumGeneratedChannels;
  auto gains = updatedChannelGains(std::nullopt, huge, 3, 0.5);
  ASSERT_TRUE(gains);
  EXPECT_EQ(gains->size(), static_cast<std::size_t>(cap));
  EXPECT_EQ(updatedChannelGains(std::nullopt, huge, cap + 1, 0.5), std::nullopt);

  ConfigSnapshot doc = oneDevice();
  DeviceConfig d = ConfigEditor::setDeviceChannelCount("d1", huge, doc);
  EXPECT_EQ(d.channelCount, huge) << "the count itself is stored as given";
  EXPECT_EQ(d.sources[0].channelCount, huge);
  EXPECT_EQ(d.wires.size(), static_cast<std::size_t>(cap));
  d = ConfigEditor::setDeviceChannelCount("d1", std::numeric_limits<std::int64_t>::max(), doc);
  EXPECT_EQ(d.wires.size(), static_cast<std::size_t>(cap));

  doc.devices.push_back(DeviceConfig::makeDefault("Big", 48000.0, counting("b")));
  doc.devices[1].channelCount = huge;
  SourceConfig nested = ConfigEditor::addVirtualDeviceSource("d1", "b1", doc, counting("n"));
  EXPECT_EQ(nested.channelCount, huge);
  EXPECT_EQ(doc.devices[0].wires.size(), static_cast<std::size_t>(2 * cap));
}

TEST(ConfigEditor, ChannelGainOperationsUseTheirOwnChannelCounts) {
  ConfigSnapshot doc = oneDevice();
  doc.devices[0].channelCount = 4;
  doc.devices[0].sources[0].channelCount = 1;
  doc.devices[0].monitors.push_back(MonitorConfig{"m", "Out", true, false, 1.0, std::nullopt, "hw", 3});
  EXPECT_EQ(ConfigEditor::setDeviceChannelGain("d1", 4, 0.1, doc).channelGains, G({1, 1, 1, 0.1}));
  EXPECT_EQ(ConfigEditor::setSourceChannelGain("d1", "d2", 2, 0.1, doc).channelGains, std::nullopt);
  EXPECT_EQ(ConfigEditor::setSourceChannelGain("d1", "d2", 1, 0.1, doc).channelGains, G({0.1}));
  EXPECT_EQ(ConfigEditor::setMonitorChannelGain("d1", "m", 3, 0.2, doc).channelGains,
            G({1, 1, 0.2}));
  EXPECT_EQ(doc.devices[0].monitors[0].channelGains, G({1, 1, 0.2}));
}

TEST(ConfigEditor, ChannelCountRewiresThePassThruSource) {
  ConfigSnapshot doc = oneDevice();
  DeviceConfig& dev = doc.devices[0];
  dev.sources.push_back(SourceConfig{"other", SourceType::system, "Sys", true, false, 1, std::nullopt, 2,
                                     false, {}});
  dev.monitors.push_back(MonitorConfig{"m", "Out", true, false, 1.0, std::nullopt, "hw", 2});
  dev.wires.insert(dev.wires.begin(), Wire{"keep1", {EndpointKind::source, "other", 1},
                                           {EndpointKind::deviceOutput, "d1", 2}});
  dev.wires.push_back(Wire{"keep2", {EndpointKind::deviceOutput, "d1", 2}, {EndpointKind::monitor, "m", 1}});

  DeviceConfig four = ConfigEditor::setDeviceChannelCount("d1", 4, doc, counting("w"));
  EXPECT_EQ(four.channelCount, 4);
  EXPECT_EQ(four.sources[0].channelCount, 4);
  EXPECT_EQ(four.sources[1].channelCount, 2);
  ASSERT_EQ(four.wires.size(), 6u);
  EXPECT_EQ(four.wires[0].id, "keep1");
  EXPECT_EQ(four.wires[1].id, "keep2");
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(four.wires[1 + n], (Wire{"w" + std::to_string(n), {EndpointKind::source, "d2", n},
                                       {EndpointKind::deviceOutput, "d1", n}}));
  }
  EXPECT_EQ(doc.devices[0], four);

  DeviceConfig zero = ConfigEditor::setDeviceChannelCount("d1", 0, doc);
  EXPECT_EQ(zero.wires.size(), 2u);
  EXPECT_EQ(zero.sources[0].channelCount, 0);

  // Fresh random ids by default.
  DeviceConfig two = ConfigEditor::setDeviceChannelCount("d1", 2, doc);
  EXPECT_EQ(two.wires[2].id.size(), 36u);
  EXPECT_NE(two.wires[2].id, two.wires[3].id);

  ConfigSnapshot noPassThru = oneDevice();
  noPassThru.devices[0].sources[0].type = SourceType::system;
  DeviceConfig before = noPassThru.devices[0];
  DeviceConfig after = ConfigEditor::setDeviceChannelCount("d1", 8, noPassThru);
  before.channelCount = 8;
  EXPECT_EQ(after, before);
}

TEST(ConfigEditor, ConnectWire) {
  ConfigSnapshot doc = oneDevice();
  doc.devices.push_back(DeviceConfig::makeDefault("Other", 48000.0, counting("o")));
  doc.devices[0].monitors.push_back(MonitorConfig{"m", "Out", true, false, 1.0, std::nullopt, "hw", 1});
  const WireEndpoint src1{EndpointKind::source, "d2", 1};
  const WireEndpoint out2{EndpointKind::deviceOutput, "d1", 2};
  const WireEndpoint mon1{EndpointKind::monitor, "m", 1};

  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("zz", src1, out2, d); },
                  ConfigEditError::deviceNotFound("zz"));
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", src1, mon1, d); },
                  ConfigEditError::invalidWireDirection());
  // Direction is checked before either end.
  expectEditError(doc,
                  [&](auto& d) {
                    ConfigEditor::connectWire("d1", {EndpointKind::monitor, "nope", 0}, src1, d);
                  },
                  ConfigEditError::invalidWireDirection());
  const WireEndpoint src3{EndpointKind::source, "d2", 3};
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", src3, out2, d); },
                  ConfigEditError::invalidWireEndpoint(src3));
  const WireEndpoint foreign{EndpointKind::deviceOutput, "o1", 1};
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", src1, foreign, d); },
                  ConfigEditError::invalidWireEndpoint(foreign));
  const WireEndpoint out3{EndpointKind::deviceOutput, "d1", 3};
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", src1, out3, d); },
                  ConfigEditError::invalidWireEndpoint(out3));
  const WireEndpoint mon2{EndpointKind::monitor, "m", 2};
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", out2, mon2, d); },
                  ConfigEditError::invalidWireEndpoint(mon2));
  const WireEndpoint src0{EndpointKind::source, "d2", 0};
  expectEditError(doc, [&](auto& d) { ConfigEditor::connectWire("d1", src0, out3, d); },
                  ConfigEditError::invalidWireEndpoint(src0));  // the from end fails first

  const std::size_t wiresBefore = doc.devices[0].wires.size();
  Wire first = ConfigEditor::connectWire("d1", src1, out2, doc, counting("x"));
  EXPECT_EQ(first, (Wire{"x1", src1, out2}));
  Wire again = ConfigEditor::connectWire("d1", src1, out2, doc, counting("y"));
  EXPECT_EQ(again, first);
  EXPECT_EQ(doc.devices[0].wires.size(), wiresBefore + 1);
  Wire monitorWire = ConfigEditor::connectWire("d1", out2, mon1, doc);
  EXPECT_EQ(monitorWire.id.size(), 36u);
  EXPECT_EQ(doc.devices[0].wires.back(), monitorWire);
  // An identical existing wire (the default's identity wire) is returned, not duplicated.
  EXPECT_EQ(ConfigEditor::connectWire("d1", src1, {EndpointKind::deviceOutput, "d1", 1}, doc).id, "d3");
}

TEST(ConfigEditor, DeleteWireAndDevice) {
  ConfigSnapshot doc = oneDevice();
  doc.devices[0].wires.push_back(Wire{"d3", {EndpointKind::source, "d2", 2}, {EndpointKind::deviceOutput, "d1", 1}});
  expectEditError(doc, [](auto& d) { ConfigEditor::deleteWire("d1", "none", d); },
                  ConfigEditError::wireNotFound("none"));
  DeviceConfig after = ConfigEditor::deleteWire("d1", "d3", doc);
  ASSERT_EQ(after.wires.size(), 1u);
  EXPECT_EQ(after.wires[0].id, "d4");

  ConfigSnapshot many = ConfigSnapshot::empty();
  for (std::string id : {"a", "b", "a", "c"}) {
    DeviceConfig d = DeviceConfig::makeDefault(id, 48000.0);
    d.id = id;
    many.devices.push_back(d);
  }
  many.ui.selectedDeviceID = "c";
  ConfigSnapshot result = ConfigEditor::deleteDevice("a", many);
  EXPECT_EQ(result, many);
  ASSERT_EQ(many.devices.size(), 2u);
  EXPECT_EQ(many.devices[0].id, "b");
  EXPECT_EQ(many.ui.selectedDeviceID, std::optional<std::string>("c"));
  ConfigEditor::deleteDevice("c", many);
  EXPECT_EQ(many.ui.selectedDeviceID, std::optional<std::string>("b"));
  ConfigEditor::deleteDevice("b", many);
  EXPECT_FALSE(many.ui.selectedDeviceID);
  expectEditError(many, [](auto& d) { ConfigEditor::deleteDevice("b", d); },
                  ConfigEditError::deviceNotFound("b"));
}

TEST(ConfigEditor, NestedDevices) {
  ConfigSnapshot doc = ConfigSnapshot::empty();
  for (auto [id, channels] : std::vector<std::pair<std::string, std::int64_t>>{{"A", 2}, {"B", 6}, {"Z", 0}}) {
    DeviceConfig d = DeviceConfig::makeDefault("Dev " + id, 48000.0);
    d.id = id;
    d.channelCount = channels;
    doc.devices.push_back(d);
  }
  expectEditError(doc, [](auto& d) { ConfigEditor::addVirtualDeviceSource("nope", "A", d); },
                  ConfigEditError::deviceNotFound("nope"));
  expectEditError(doc, [](auto& d) { ConfigEditor::addVirtualDeviceSource("A", "nope", d); },
                  ConfigEditError::deviceNotFound("nope"));
  expectEditError(doc, [](auto& d) { ConfigEditor::addVirtualDeviceSource("A", "A", d); },
                  ConfigEditError::nestedDeviceCycle("A"));

  SourceConfig b = ConfigEditor::addVirtualDeviceSource("A", "B", doc, counting("f"));
  EXPECT_EQ(b.id, "f1");
  EXPECT_EQ(b.type, SourceType::virtualDevice);
  EXPECT_EQ(b.name, "Dev B");
  EXPECT_EQ(b.channelCount, 6);
  EXPECT_EQ(b.metadata.sourceDeviceID, std::optional<std::string>("B"));
  EXPECT_EQ(doc.devices[0].sources.back(), b);
  const auto& wiresA = doc.devices[0].wires;
  ASSERT_EQ(wiresA.size(), 4u);
  EXPECT_EQ(wiresA[2], (Wire{"f2", {EndpointKind::source, "f1", 1}, {EndpointKind::deviceOutput, "A", 1}}));
  EXPECT_EQ(wiresA[3], (Wire{"f3", {EndpointKind::source, "f1", 2}, {EndpointKind::deviceOutput, "A", 2}}));

  expectEditError(doc, [](auto& d) { ConfigEditor::addVirtualDeviceSource("B", "A", d); },
                  ConfigEditError::nestedDeviceCycle("A"));
  ConfigEditor::renameDevice("B", "Renamed", doc);
  EXPECT_EQ(doc.devices[0].sources.back().name, "Dev B") << "the name is a copy";

  SourceConfig z = ConfigEditor::addVirtualDeviceSource("A", "Z", doc, counting("z"));
  EXPECT_EQ(doc.devices[0].wires.back(),
            (Wire{"z2", {EndpointKind::source, z.id, 1}, {EndpointKind::deviceOutput, "A", 1}}));
  // Nesting the same device twice is allowed.
  ConfigEditor::addVirtualDeviceSource("A", "B", doc);
  EXPECT_EQ(doc.devices[0].sources.size(), 4u);
}

TEST(ConfigEditor, WouldCreateNestedDeviceCycle) {
  auto nestedSource = [](const std::string& target) {
    SourceConfig s{"n-" + target, SourceType::virtualDevice, "N", true, false, 1, std::nullopt, 2, false, {}};
    s.metadata.sourceDeviceID = target;
    return s;
  };
  ConfigSnapshot doc = ConfigSnapshot::empty();
  for (std::string id : {"P", "N", "M"}) {
    DeviceConfig d = DeviceConfig::makeDefault(id, 48000.0);
    d.id = id;
    doc.devices.push_back(d);
  }
  EXPECT_TRUE(ConfigEditor::wouldCreateNestedDeviceCycle("X", "X", doc));
  EXPECT_FALSE(ConfigEditor::wouldCreateNestedDeviceCycle("P", "N", doc));
  doc.devices[1].sources.push_back(nestedSource("M"));   // N -> M
  doc.devices[2].sources.push_back(nestedSource("P"));   // M -> P
  EXPECT_TRUE(ConfigEditor::wouldCreateNestedDeviceCycle("P", "N", doc));
  EXPECT_FALSE(ConfigEditor::wouldCreateNestedDeviceCycle("N", "P", doc));
  // An empty target is ignored; one naming no device is followed without effect.
  doc.devices[0].sources.push_back(nestedSource(""));
  doc.devices[0].sources.push_back(nestedSource("ghost"));
  EXPECT_FALSE(ConfigEditor::wouldCreateNestedDeviceCycle("", "P", doc));
  EXPECT_FALSE(ConfigEditor::wouldCreateNestedDeviceCycle("N", "P", doc));
  EXPECT_TRUE(ConfigEditor::wouldCreateNestedDeviceCycle("ghost", "P", doc));
}

TEST(ConfigEditor, HardwareInputBenchmarkDevice) {
  ConfigSnapshot doc = oneDevice();
  auto reason = [](const char* text) { return ConfigEditError::invalidBenchmarkInput(text); };
  expectEditError(doc, [](auto& d) { ConfigEditor::prepareHardwareInputBenchmarkDevice(" \n", "Mic", 2, 1, d); },
                  reason("input UID must not be empty"));
  expectEditError(doc, [](auto& d) { ConfigEditor::prepareHardwareInputBenchmarkDevice("uid", "   ", 2, 1, d); },
                  reason("input name must not be empty"));
  expectEditError(doc, [](auto& d) { ConfigEditor::prepareHardwareInputBenchmarkDevice("uid", "Mic", 0, 1, d); },
                  reason("input channel count must be positive"));
  expectEditError(doc, [](auto& d) { ConfigEditor::prepareHardwareInputBenchmarkDevice("uid", "Mic", 8, 9, d); },
                  reason("source first channel must be within the input channel count"));
  expectEditError(doc, [](auto& d) { ConfigEditor::prepareHardwareInputBenchmarkDevice("uid", "Mic", 8, 0, d); },
                  reason("source first channel must be within the input channel count"));

  DeviceConfig bench = ConfigEditor::prepareHardwareInputBenchmarkDevice(" in-uid ", "\tMic\n", 8, 8, doc);
  EXPECT_EQ(bench.id, "tidewell-benchmark-device");
  EXPECT_EQ(bench.name, "Tidewell Benchmark");
  EXPECT_EQ(bench.uid, TidewellCore::derivedDeviceUID("tidewell-benchmark-device"));
  EXPECT_EQ(bench.channelCount, 2);
  EXPECT_EQ(bench.sampleRate, 48000.0);
  EXPECT_EQ(bench.icon, "waveform.circle");
  ASSERT_EQ(bench.sources.size(), 1u);
  EXPECT_EQ(bench.sources[0].id, "tidewell-benchmark-source");
  EXPECT_EQ(bench.sources[0].type, SourceType::hardwareInput);
  EXPECT_EQ(bench.sources[0].name, "Mic");
  EXPECT_EQ(bench.sources[0].channelCount, 8);
  EXPECT_EQ(bench.sources[0].metadata.deviceUID, std::optional<std::string>("in-uid"));
  EXPECT_FALSE(bench.sources[0].metadata.inputBackend);
  EXPECT_TRUE(bench.monitors.empty());
  ASSERT_EQ(bench.wires.size(), 2u);
  EXPECT_EQ(bench.wires[0], (Wire{"tidewell-benchmark-wire-1", {EndpointKind::source, "tidewell-benchmark-source", 8},
                                  {EndpointKind::deviceOutput, "tidewell-benchmark-device", 1}}));
  EXPECT_EQ(bench.wires[1].from.channel, 8);
  EXPECT_EQ(bench.wires[1].to.channel, 2);
  EXPECT_EQ(doc.devices.back(), bench);
  EXPECT_EQ(doc.ui.selectedDeviceID, std::optional<std::string>("tidewell-benchmark-device"));
  EXPECT_TRUE(ConfigValidator().validate(doc).isValid());

  // Again: still one benchmark device, at the end; neighbouring channels from the first one.
  doc.devices.push_back(DeviceConfig::makeDefault("After", 48000.0));
  DeviceConfig again = ConfigEditor::prepareHardwareInputBenchmarkDevice("u", "Mic", 8, 3, doc);
  EXPECT_EQ(again.wires[0].from.channel, 3);
  EXPECT_EQ(again.wires[1].from.channel, 4);
  int count = 0;
  for (const auto& d : doc.devices) count += d.id == "tidewell-benchmark-device";
  EXPECT_EQ(count, 1);
  EXPECT_EQ(doc.devices.back().id, "tidewell-benchmark-device");
  EXPECT_EQ(doc.devices.size(), 3u);

  // The largest counts do not overflow.
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  DeviceConfig big = ConfigEditor::prepareHardwareInputBenchmarkDevice("u", "Mic", max, max, doc);
  EXPECT_EQ(big.wires[0].from.channel, max);
  EXPECT_EQ(big.wires[1].from.channel, max);
  DeviceConfig mono = ConfigEditor::prepareHardwareInputBenchmarkDevice("u", "Mic", 1, 1, doc);
  EXPECT_EQ(mono.wires[0].from.channel, 1);
  EXPECT_EQ(mono.wires[1].from.channel, 1);
}

TEST(ConfigEditor, HardwareInputMonitorBenchmarkDevice) {
  ConfigSnapshot doc = ConfigSnapshot::empty();
  auto reason = [](const char* text) { return ConfigEditError::invalidBenchmarkInput(text); };
  expectEditError(doc,
                  [](auto& d) {
                    ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice("in", "Mic", 2, " ", "Out", 2, 1,
                                                                             std::nullopt, d);
                  },
                  reason("monitor UID must not be empty"));
  expectEditError(doc,
                  [](auto& d) {
                    ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice("in", "Mic", 2, "out", "", 2, 1,
                                                                             std::nullopt, d);
                  },
                  reason("monitor name must not be empty"));
  expectEditError(doc,
                  [](auto& d) {
                    ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice("in", "Mic", 2, "out", "Out", 0, 1,
                                                                             std::nullopt, d);
                  },
                  reason("monitor channel count must be positive"));
  // Input checks come first.
  expectEditError(doc,
                  [](auto& d) {
                    ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice("", "Mic", 2, "", "", 0, 1,
                                                                             std::nullopt, d);
                  },
                  reason("input UID must not be empty"));

  DeviceConfig mono = ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice(
      "in", "Mic", 2, " out ", " Speakers ", 1, 1, std::string("  "), doc);
  ASSERT_EQ(mono.monitors.size(), 1u);
  EXPECT_EQ(mono.monitors[0], (MonitorConfig{"tidewell-benchmark-monitor", "Speakers", true, false, 1.0,
                                             std::nullopt, "out", 1}));
  EXPECT_FALSE(mono.sources[0].metadata.inputBackend);
  ASSERT_EQ(mono.wires.size(), 4u);
  EXPECT_EQ(mono.wires[2], (Wire{"tidewell-benchmark-monitor-wire-1",
                                 {EndpointKind::deviceOutput, "tidewell-benchmark-device", 1},
                                 {EndpointKind::monitor, "tidewell-benchmark-monitor", 1}}));
  EXPECT_EQ(mono.wires[3].id, "tidewell-benchmark-monitor-wire-2");
  EXPECT_EQ(mono.wires[3].from.channel, 2);
  EXPECT_EQ(mono.wires[3].to.channel, 1);

  DeviceConfig stereo = ConfigEditor::prepareHardwareInputMonitorBenchmarkDevice(
      "in", "Mic", 2, "out", "Speakers", 6, 1, std::string(" queue\n"), doc);
  EXPECT_EQ(stereo.sources[0].metadata.inputBackend, std::optional<std::string>("queue"));
  EXPECT_EQ(stereo.wires[3].to.channel, 2);
  EXPECT_EQ(doc.devices.size(), 1u);
}

}  // namespace
}  // namespace tidewell
