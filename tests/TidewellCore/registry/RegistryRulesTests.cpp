// The registry's rules against a scripted audio server: object lists, failures, channel counts
// and names, defaults and ordering, and which processes are offered as applications.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "TidewellCore/TidewellConstants.h"
#include "registry/AudioPropertyAccess.h"

namespace tidewell {
namespace {

using ::testing::ElementsAre;

// A scripted audio server: each property of each object holds bytes, a text, or a failure.
class ScriptedServer final : public registry_detail::AudioPropertyAccess {
 public:
  using Key = std::tuple<AudioObjectID, AudioObjectPropertySelector, AudioObjectPropertyScope, UInt32>;
  struct Value {
    OSStatus status = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<std::string> text;  // a string property (null reference when absent)
    bool isText = false;
    std::optional<UInt32> reportedSize;  // a size answer that differs from the data
  };
  std::map<Key, Value> values;
  std::set<std::int32_t> alive;
  std::string lastQualifier;

  static Key key(AudioObjectID object, AudioObjectPropertySelector selector,
                 AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal, UInt32 element = 0) {
    return {object, selector, scope, element};
  }
  template <class T>
  void setPlain(Key k, const std::vector<T>& items) {
    Value value;
    value.bytes.resize(items.size() * sizeof(T));
    if (!items.empty()) std::memcpy(value.bytes.data(), items.data(), value.bytes.size());
    values[k] = value;
  }
  void setText(Key k, std::optional<std::string> text) {
    Value value;
    value.isText = true;
    value.text = std::move(text);
    values[k] = value;
  }
  void fail(Key k) { values[k] = Value{static_cast<OSStatus>(kAudioHardwareUnspecifiedError), {}, {}, false, {}}; }

  void addDevice(AudioObjectID id, std::string uid, std::string name, std::vector<UInt32> inputBuffers,
                 std::vector<UInt32> outputBuffers) {
    devices.push_back(id);
    setPlain(key(1, kAudioHardwarePropertyDevices), devices);
    setText(key(id, kAudioDevicePropertyDeviceUID), std::move(uid));
    setText(key(id, kAudioObjectPropertyName), std::move(name));
    setBuffers(id, kAudioObjectPropertyScopeInput, inputBuffers);
    setBuffers(id, kAudioObjectPropertyScopeOutput, outputBuffers);
  }
  void setBuffers(AudioObjectID id, AudioObjectPropertyScope scope, const std::vector<UInt32>& channels) {
    Value value;
    value.bytes.assign(AUDIO_BUFFER_LIST_SIZE(channels.size()), 0);
    auto count = static_cast<UInt32>(channels.size());
    std::memcpy(value.bytes.data(), &count, 4);
    for (size_t i = 0; i < channels.size(); ++i) {
      AudioBuffer buffer{channels[i], 0, nullptr};
      std::memcpy(value.bytes.data() + AUDIO_BUFFER_LIST_SIZE(i), &buffer, sizeof buffer);
    }
    values[key(id, kAudioDevicePropertyStreamConfiguration, scope)] = value;
  }
  void addProcess(AudioObjectID id, std::int32_t pid, std::optional<std::string> bundle) {
    processes.push_back(id);
    setPlain(key(1, kAudioHardwarePropertyProcessObjectList), processes);
    setPlain(key(id, kAudioProcessPropertyPID), std::vector<std::int32_t>{pid});
    setText(key(id, kAudioProcessPropertyBundleID), std::move(bundle));
    alive.insert(pid);
  }

  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& a) override {
    return values.count(key(object, a.mSelector, a.mScope, a.mElement)) > 0;
  }
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& a, UInt32,
                               const void*, UInt32* size) override {
    auto it = values.find(key(object, a.mSelector, a.mScope, a.mElement));
    if (it == values.end()) return kAudioHardwareUnknownPropertyError;
    if (it->second.status != 0) return it->second.status;
    *size = it->second.reportedSize.value_or(
        it->second.isText ? sizeof(CFStringRef) : static_cast<UInt32>(it->second.bytes.size()));
    return 0;
  }
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a, UInt32 qualifierSize,
                           const void* qualifier, UInt32* ioSize, void* data) override {
    if (qualifierSize == sizeof(CFStringRef) && qualifier) {
      char text[256] = {};
      CFStringGetCString(*static_cast<const CFStringRef*>(qualifier), text, sizeof text,
                         kCFStringEncodingUTF8);
      lastQualifier = text;
    }
    auto it = values.find(key(object, a.mSelector, a.mScope, a.mElement));
    if (it == values.end()) return kAudioHardwareUnknownPropertyError;
    const Value& value = it->second;
    if (value.status != 0) return value.status;
    if (value.isText) {
      if (*ioSize < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
      CFStringRef string =
          value.text ? CFStringCreateWithCString(nullptr, value.text->c_str(), kCFStringEncodingUTF8) : nullptr;
      std::memcpy(data, &string, sizeof string);
      *ioSize = sizeof string;
      return 0;
    }
    UInt32 size = std::min<UInt32>(*ioSize, static_cast<UInt32>(value.bytes.size()));
    if (size) std::memcpy(data, value.bytes.data(), size);
    *ioSize = size;
    return 0;
  }
  bool processIsAlive(std::int32_t pid) override { return alive.count(pid) > 0; }

 private:
  std::vector<AudioObjectID> devices;
  std::vector<AudioObjectID> processes;
};

std::vector<std::string> uids(const std::vector<AudioDeviceInfo>& list) {
  std::vector<std::string> result;
  for (const auto& info : list) result.push_back(info.uid);
  return result;
}

TEST(RegistryRulesTest, FailedOrShortObjectListsGiveNothing) {
  ScriptedServer server;
  server.addDevice(10, "mic", "Mic", {2}, {});
  server.addProcess(50, 100, "org.example.app");
  server.values[ScriptedServer::key(1, kAudioHardwarePropertyDevices)].reportedSize = 3;
  server.values[ScriptedServer::key(1, kAudioHardwarePropertyProcessObjectList)].reportedSize = 2;
  EXPECT_EQ(registry_detail::deviceInventory(server), AudioDeviceInventory{});
  EXPECT_TRUE(registry_detail::applicationSourceCandidates(server).empty());

  server.fail(ScriptedServer::key(1, kAudioHardwarePropertyDevices));
  EXPECT_EQ(registry_detail::deviceInventory(server), AudioDeviceInventory{});
  EXPECT_TRUE(registry_detail::allDeviceUIDs(server).empty());
}

TEST(RegistryRulesTest, DevicesGoIntoTheListsOfTheirDirections) {
  ScriptedServer server;
  server.addDevice(10, "both", "Interface", {2, 2}, {4});
  server.addDevice(11, "silent", "Nothing", {}, {});
  server.addDevice(12, "nameless", "Unnamed", {2}, {2});
  server.setText(ScriptedServer::key(12, kAudioObjectPropertyName), std::nullopt);
  server.addDevice(13, "broken", "Broken", {2}, {2});
  server.fail(ScriptedServer::key(13, kAudioDevicePropertyDeviceUID));
  server.addDevice(14, "badlayout", "Bad layout", {2}, {2});
  server.fail(ScriptedServer::key(14, kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput));
  server.setPlain(ScriptedServer::key(1, kAudioHardwarePropertyDefaultOutputDevice), std::vector<AudioObjectID>{10});
  server.setPlain(ScriptedServer::key(1, kAudioHardwarePropertyDefaultInputDevice), std::vector<AudioObjectID>{99});

  auto inventory = registry_detail::deviceInventory(server);
  EXPECT_THAT(uids(inventory.inputs), ElementsAre("both"));
  EXPECT_THAT(uids(inventory.outputs), ElementsAre("both", "badlayout"));
  EXPECT_EQ(inventory.inputs[0].channelCount, 4);
  EXPECT_FALSE(inventory.inputs[0].isDefault);  // the default input is another device
  EXPECT_TRUE(inventory.outputs[0].isDefault);
  EXPECT_EQ(inventory.outputs[0].channelCount, 4);
  EXPECT_EQ(inventory.outputs[0].name, "Interface");
  EXPECT_FALSE(inventory.outputs[0].channelNames.has_value());
  EXPECT_THAT(registry_detail::allDeviceUIDs(server), ElementsAre("both", "silent", "nameless", "badlayout"));
}

TEST(RegistryRulesTest, DefaultFirstThenNamesInFileBrowserOrder) {
  ScriptedServer server;
  server.addDevice(10, "a", "Mic 10", {1}, {});
  server.addDevice(11, "b", "mic 2", {1}, {});
  server.addDevice(12, "c", "Zed", {1}, {});
  server.addDevice(13, "d", "Mic 2", {1}, {});
  server.setPlain(ScriptedServer::key(1, kAudioHardwarePropertyDefaultInputDevice), std::vector<AudioObjectID>{12});
  EXPECT_THAT(uids(registry_detail::deviceInventory(server).inputs), ElementsAre("c", "b", "d", "a"));

  // Without a default the names alone decide; equal names keep the server's order.
  server.fail(ScriptedServer::key(1, kAudioHardwarePropertyDefaultInputDevice));
  EXPECT_THAT(uids(registry_detail::deviceInventory(server).inputs), ElementsAre("b", "d", "a", "c"));
}

TEST(RegistryRulesTest, ChannelNamesOnlyWhenSomeChannelHasARealName) {
  ScriptedServer server;
  server.addDevice(10, "named", "Named", {4}, {2});
  auto name = [&](UInt32 channel, const char* text) {
    server.setText(ScriptedServer::key(10, kAudioObjectPropertyElementName, kAudioObjectPropertyScopeInput, channel),
                   std::string(text));
  };
  name(1, "Channel 1");
  name(2, " 2 ");
  name(3, " Left\n");
  name(4, "Channel 1");
  server.setText(ScriptedServer::key(10, kAudioObjectPropertyElementName, kAudioObjectPropertyScopeOutput, 1),
                 std::string("1"));
  auto inventory = registry_detail::deviceInventory(server);
  ASSERT_TRUE(inventory.inputs[0].channelNames.has_value());
  EXPECT_THAT(*inventory.inputs[0].channelNames, ElementsAre("", "", "Left", "Channel 1"));
  EXPECT_FALSE(inventory.outputs[0].channelNames.has_value());
}

TEST(RegistryRulesTest, OnlyOrdinaryRunningApplicationsAreOffered) {
  ScriptedServer server;
  server.addProcess(50, 300, "org.example.zebra");
  server.addProcess(51, 0, "org.example.zero");
  server.addProcess(52, -4, "org.example.negative");
  server.addProcess(53, 301, "org.example.Player.helper");
  server.addProcess(54, 302, "com.example.widget.appex");
  server.addProcess(55, 303, std::nullopt);
  server.addProcess(56, 304, "");
  server.addProcess(57, 305, "tidewell-monitor");   // one of our own helpers
  server.addProcess(58, 306, "org.example.gone");
  server.alive.erase(306);
  server.addProcess(59, 307, "org.example.Alpha");
  server.addProcess(60, 308, "Foo Agent");
  auto candidates = registry_detail::applicationSourceCandidates(server);
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[0], (ApplicationSourceCandidate{"org.example.Alpha", "org.example.Alpha", 307, 59}));
  EXPECT_EQ(candidates[1].displayName, "org.example.zebra");
  EXPECT_EQ(candidates[1].processObjectID, 50u);
}

TEST(RegistryRulesTest, SuppressionFragments) {
  for (const char* name : {"Foo Helper", "Foo Helper (GPU)", "Foo.helper", "Foo Extension", "Foo Agent",
                           "PID 12", "pid 7", "x.daemon", "Some ServiceExtension"}) {
    EXPECT_TRUE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceName(name)) << name;
  }
  for (const char* name : {"Helpers Hub", "Agentur", "Player", "Pidgin"}) {
    EXPECT_FALSE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceName(name)) << name;
  }
  EXPECT_TRUE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(std::nullopt));
  EXPECT_TRUE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(std::string("")));
  EXPECT_TRUE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(std::string("a.b.APPEX")));
  EXPECT_TRUE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(std::string("a.daemon.b")));
  EXPECT_FALSE(CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(std::string("org.helpdesk")));
}

TEST(RegistryRulesTest, OwnDevicesAndThePlugIn) {
  EXPECT_TRUE(CoreAudioDeviceRegistry::isTidewellDeviceUID(TidewellCore::passThruDeviceUID));
  EXPECT_TRUE(CoreAudioDeviceRegistry::isTidewellDeviceUID("app.tidewell.devices.X"));
  EXPECT_TRUE(CoreAudioDeviceRegistry::isTidewellDeviceUID("app.zellvane.devices.X"));
  EXPECT_FALSE(CoreAudioDeviceRegistry::isTidewellDeviceUID(""));
  EXPECT_FALSE(CoreAudioDeviceRegistry::isTidewellDeviceUID("APP.tidewell.devices.X"));

  ScriptedServer server;
  EXPECT_FALSE(registry_detail::halPlugInIsLoaded(server));
  server.setPlain(ScriptedServer::key(1, kAudioHardwarePropertyTranslateBundleIDToPlugIn),
                  std::vector<AudioObjectID>{0});
  EXPECT_FALSE(registry_detail::halPlugInIsLoaded(server));
  server.setPlain(ScriptedServer::key(1, kAudioHardwarePropertyTranslateBundleIDToPlugIn),
                  std::vector<AudioObjectID>{77});
  EXPECT_TRUE(registry_detail::halPlugInIsLoaded(server));
  EXPECT_EQ(server.lastQualifier, TidewellCore::halBundleID);

  server.addDevice(10, "app.tidewell.devices.B", "Bee", {2}, {2});
  server.addDevice(11, "hw", "Hardware", {2}, {2});
  server.addDevice(12, "app.tidewell.devices.A", "Ay", {}, {6});
  EXPECT_THAT(registry_detail::tidewellDeviceSummaries(server),
              ElementsAre(HALDeviceSummary{"app.tidewell.devices.A", "Ay", 0, 6},
                          HALDeviceSummary{"app.tidewell.devices.B", "Bee", 2, 2}));
}

TEST(ApplicationProcessResolverTest, StoredProcessThenBundleIdentifier) {
  std::map<std::int32_t, std::string> running{{123, "org.a"}, {900, "org.b"}, {450, "org.b"}, {5, "org.c"}};
  auto resolve = [&](std::optional<std::int32_t> pid, std::optional<std::string> bundle) {
    return ApplicationProcessResolver::resolvePID(
        pid, bundle, [&](std::int32_t p) { return running.count(p) > 0; },
        [&](std::int32_t p) -> std::optional<std::string> {
          auto it = running.find(p);
          return it == running.end() ? std::nullopt : std::optional<std::string>(it->second);
        },
        [&](const std::string& id) {
          std::vector<std::int32_t> pids{-1, 0};
          for (auto& [p, b] : running) {
            if (b == id) pids.push_back(p);
          }
          return pids;
        });
  };
  EXPECT_EQ(resolve(123, "org.a"), 123);
  EXPECT_EQ(resolve(123, "org.b"), 450);
  EXPECT_EQ(resolve(123, std::nullopt), 123);
  EXPECT_EQ(resolve(std::nullopt, ""), std::nullopt);
  EXPECT_EQ(resolve(0, "org.x"), std::nullopt);
  EXPECT_EQ(resolve(77, std::nullopt), std::nullopt);
  EXPECT_EQ(resolve(77, "org.c"), 5);
}

}  // namespace
}  // namespace tidewell
