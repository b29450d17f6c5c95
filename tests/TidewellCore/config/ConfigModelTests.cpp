#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <set>

#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

IdFactory countingFactory() {
  auto counter = std::make_shared<int>(0);
  return [counter] { return std::to_string(++*counter); };
}

TEST(ConfigModel, MakeDefaultCallsTheFactoryFourTimesInOrder) {
  DeviceConfig device = DeviceConfig::makeDefault("Tidewell", 48000.0, countingFactory());
  EXPECT_EQ(device.id, "1");
  EXPECT_EQ(device.name, "Tidewell");
  EXPECT_TRUE(device.enabled);
  EXPECT_EQ(device.sampleRate, 48000.0);
  EXPECT_EQ(device.channelCount, 2);
  EXPECT_EQ(device.volume, 1.0);
  EXPECT_FALSE(device.channelGains.has_value());
  EXPECT_EQ(device.uid, "app.tidewell.devices.1");
  EXPECT_EQ(device.icon, "waveform.circle");
  EXPECT_TRUE(device.monitors.empty());

  ASSERT_EQ(device.sources.size(), 1u);
  const SourceConfig& source = device.sources[0];
  EXPECT_EQ(source.id, "2");
  EXPECT_EQ(source.type, SourceType::passThru);
  EXPECT_EQ(source.name, "Pass-Thru");
  EXPECT_TRUE(source.enabled);
  EXPECT_FALSE(source.muted);
  EXPECT_EQ(source.gain, 1.0);
  EXPECT_EQ(source.channelCount, 2);
  EXPECT_FALSE(source.muteWhenCapturing);
  EXPECT_EQ(source.metadata, SourceMetadata{});

  ASSERT_EQ(device.wires.size(), 2u);
  EXPECT_EQ(device.wires[0], (Wire{"3", {EndpointKind::source, "2", 1},
                                   {EndpointKind::deviceOutput, "1", 1}}));
  EXPECT_EQ(device.wires[1], (Wire{"4", {EndpointKind::source, "2", 2},
                                   {EndpointKind::deviceOutput, "1", 2}}));
}

TEST(ConfigModel, DefaultFactoryGivesDistinctUpperCaseVersion4UUIDs) {
  std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = makeUUIDString();
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);

  DeviceConfig device = DeviceConfig::makeDefault("X", 48000.0);
  std::set<std::string> ids{device.id, device.sources[0].id, device.wires[0].id, device.wires[1].id};
  EXPECT_EQ(ids.size(), 4u);
}

TEST(ConfigModel, DeviceConstructorDerivesAMissingUIDButKeepsAGivenOne) {
  DeviceConfig derived("abc", "n", true, 48000, 2, 1.0, std::nullopt, std::nullopt,
                       "waveform.circle", {}, {}, {});
  EXPECT_EQ(derived.uid, TidewellCore::derivedDeviceUID("abc"));
  DeviceConfig emptyUID("abc", "n", true, 48000, 2, 1.0, std::nullopt, std::string(),
                        "waveform.circle", {}, {}, {});
  EXPECT_EQ(emptyUID.uid, "");
}

TEST(ConfigModel, EqualityIsMemberWiseAndNaNIsNeverEqual) {
  DeviceConfig a = DeviceConfig::makeDefault("A", 48000.0, countingFactory());
  DeviceConfig b = DeviceConfig::makeDefault("A", 48000.0, countingFactory());
  EXPECT_EQ(a, b);
  b.sources[0].metadata.pid = 0;
  EXPECT_NE(a, b);
  b = a;
  b.channelGains = std::vector<double>{};
  EXPECT_NE(a, b) << "an empty list differs from an absent one";

  a.volume = std::nan("");
  DeviceConfig copy = a;
  EXPECT_NE(a, copy);
  EXPECT_NE(a, a);
}

TEST(ConfigModel, EmptySnapshotHasCurrentSchemaNoDevicesNoSelection) {
  ConfigSnapshot empty = ConfigSnapshot::empty();
  EXPECT_EQ(empty.schemaVersion, 2);
  EXPECT_TRUE(empty.devices.empty());
  EXPECT_FALSE(empty.ui.selectedDeviceID.has_value());
  EXPECT_EQ(empty.ui.appearance, Appearance::system);
}

TEST(ConfigModel, EnumerationRawValuesRoundTripInDeclarationOrder) {
  std::vector<std::string> appearances, types, kinds;
  for (auto a : allAppearances) {
    appearances.emplace_back(rawValue(a));
    EXPECT_EQ(appearanceFromRawValue(rawValue(a)), a);
  }
  for (auto t : allSourceTypes) {
    types.emplace_back(rawValue(t));
    EXPECT_EQ(sourceTypeFromRawValue(rawValue(t)), t);
  }
  for (auto k : allEndpointKinds) {
    kinds.emplace_back(rawValue(k));
    EXPECT_EQ(endpointKindFromRawValue(rawValue(k)), k);
  }
  EXPECT_EQ(appearances, (std::vector<std::string>{"system", "light", "dark"}));
  EXPECT_EQ(types, (std::vector<std::string>{"passThru", "application", "system",
                                             "hardwareInput", "virtualDevice"}));
  EXPECT_EQ(kinds, (std::vector<std::string>{"source", "deviceOutput", "monitor"}));
  EXPECT_FALSE(appearanceFromRawValue("Dark"));
  EXPECT_FALSE(sourceTypeFromRawValue(""));
}

}  // namespace
}  // namespace tidewell
