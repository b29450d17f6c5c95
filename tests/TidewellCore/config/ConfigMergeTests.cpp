// An edit carried over onto a document another writer saved meanwhile.

#include <gtest/gtest.h>

#include "TidewellCore/ConfigMerge.h"
#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

IdFactory counting(std::string prefix) {
  auto counter = std::make_shared<int>(0);
  return [counter, prefix] { return prefix + std::to_string(++*counter); };
}

SourceConfig source(const std::string& id, const std::string& name) {
  return SourceConfig{id, SourceType::system, name, true, false, 1.0, std::nullopt, 2, false,
                      SourceMetadata{}};
}

// Two devices, "a-1" and "b-1"; the first has a pass-thru source "a-2" and a system source "s".
ConfigSnapshot base() {
  ConfigSnapshot snapshot = ConfigSnapshot::empty();
  snapshot.devices.push_back(DeviceConfig::makeDefault("Desk", 48000.0, counting("a-")));
  snapshot.devices.push_back(DeviceConfig::makeDefault("Game", 48000.0, counting("b-")));
  snapshot.devices[0].sources.push_back(source("s", "Everything"));
  return snapshot;
}

std::vector<std::string> sourceIDs(const DeviceConfig& device) {
  std::vector<std::string> ids;
  for (const auto& s : device.sources) ids.push_back(s.id);
  return ids;
}

TEST(ConfigMerge, ChangesToDifferentValuesAreBothKept) {
  ConfigSnapshot theirs = base();
  theirs.devices[0].sources[1].gain = 0.25;
  theirs.devices[1].enabled = false;
  ConfigSnapshot mine = base();
  mine.devices[0].name = "Podcast";
  mine.ui.selectedDeviceID = mine.devices[1].id;

  auto merged = ConfigMerge::applyEdit(base(), mine, theirs);
  ASSERT_TRUE(merged);
  ConfigSnapshot expected = theirs;
  expected.devices[0].name = "Podcast";
  expected.ui.selectedDeviceID = mine.devices[1].id;
  EXPECT_EQ(*merged, expected);
  // Nothing changed on either side: the edit as it is.
  EXPECT_EQ(ConfigMerge::applyEdit(base(), mine, base()), mine);
  EXPECT_EQ(ConfigMerge::applyEdit(base(), base(), theirs), theirs);
}

TEST(ConfigMerge, TheEditWinsWhereBothChangedTheSameValue) {
  ConfigSnapshot theirs = base();
  theirs.devices[0].volume = 0.5;
  theirs.devices[0].channelGains = std::vector<double>{1.0, 0.5};
  ConfigSnapshot mine = base();
  mine.devices[0].volume = 1.5;
  mine.devices[0].channelGains = std::vector<double>{0.1};
  auto merged = ConfigMerge::applyEdit(base(), mine, theirs);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->devices[0].volume, 1.5);
  EXPECT_EQ(merged->devices[0].channelGains, (std::vector<double>{0.1}));
}

TEST(ConfigMerge, ItemsAddedOrRemovedOnEitherSideAreMatchedByID) {
  ConfigSnapshot theirs = base();
  theirs.devices[0].sources.push_back(source("t", "Theirs"));
  theirs.devices.erase(theirs.devices.begin() + 1);  // they deleted "Game", which the edit left alone
  ConfigSnapshot mine = base();
  // A pass-thru source goes first; a new one at the end; and the edit deletes "s".
  mine.devices[0].sources.insert(mine.devices[0].sources.begin(), source("first", "First"));
  mine.devices[0].sources.push_back(source("last", "Last"));
  mine.devices[0].sources.erase(mine.devices[0].sources.begin() + 2);  // "s"
  auto merged = ConfigMerge::applyEdit(base(), mine, theirs);
  ASSERT_TRUE(merged);
  ASSERT_EQ(merged->devices.size(), 1u);
  EXPECT_EQ(sourceIDs(merged->devices[0]), (std::vector<std::string>{"first", "a-2", "last", "t"}));
}

TEST(ConfigMerge, AnEditOfAnItemTheOtherWriterRemovedHasNowhereToGo) {
  ConfigSnapshot theirs = base();
  theirs.devices[0].sources.pop_back();  // "s"
  ConfigSnapshot mine = base();
  mine.devices[0].sources[1].gain = 0.5;
  EXPECT_FALSE(ConfigMerge::applyEdit(base(), mine, theirs));

  ConfigSnapshot gone = base();
  gone.devices.pop_back();
  ConfigSnapshot renamed = base();
  renamed.devices[1].name = "Chat";
  EXPECT_FALSE(ConfigMerge::applyEdit(base(), renamed, gone));

  // The edit removed an item the other writer changed: the removal stands.
  ConfigSnapshot changed = base();
  changed.devices[1].name = "Chat";
  auto merged = ConfigMerge::applyEdit(base(), gone, changed);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->devices.size(), 1u);
}

}  // namespace
}  // namespace tidewell
