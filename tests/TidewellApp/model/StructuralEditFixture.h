#pragma once
// A model over one 2-channel device "D" (pass-thru "D-pt"), a few hardware devices and numbered
// ids for new items, for the tests of adding and deleting items and of the channel count.

#include "ModelTestSupport.h"
#include "TidewellCore/ConfigEditor.h"

namespace tidewell::testing {

// Saves fail on request, as a full disk would; and are counted.
class FailableFileManager : public FileManager {
 public:
  bool failing = false;
  int configurationWrites = 0;
  void writeNewFile(const std::filesystem::path& path, std::string_view bytes) override {
    if (failing) throw FileSystemError("write", path, ENOSPC);
    ++configurationWrites;
    FileManager::writeNewFile(path, bytes);
  }
};

inline AudioDeviceInfo hardware(std::string uid, std::string name, std::int64_t channels,
                                bool isDefault = false) {
  return AudioDeviceInfo{std::move(uid), std::move(name), channels, isDefault, std::nullopt};
}

inline Wire makeWire(const std::string& id, EndpointKind fromKind, const std::string& fromOwner,
                     std::int64_t fromChannel, EndpointKind toKind, const std::string& toOwner,
                     std::int64_t toChannel) {
  return Wire{id, {fromKind, fromOwner, fromChannel}, {toKind, toOwner, toChannel}};
}

// "source D-pt:1 -> deviceOutput D:1": a wire without its id, for readable comparisons.
inline std::string route(const Wire& wire) {
  auto end = [](const WireEndpoint& e) {
    return std::string(rawValue(e.kind)) + " " + e.ownerID + ":" + std::to_string(e.channel);
  };
  return end(wire.from) + " -> " + end(wire.to);
}

inline std::vector<std::string> routes(const DeviceConfig& device) {
  std::vector<std::string> result;
  for (const auto& wire : device.wires) result.push_back(route(wire));
  return result;
}

// The routes of the device's wires from position `first` on.
inline std::vector<std::string> routesFrom(const DeviceConfig& device, std::size_t first) {
  std::vector<std::string> all = routes(device);
  return std::vector<std::string>(all.begin() + long(std::min(first, all.size())), all.end());
}

inline std::vector<std::string> wireIDs(const DeviceConfig& device) {
  std::vector<std::string> result;
  for (const auto& wire : device.wires) result.push_back(wire.id);
  return result;
}

class StructuralEditTest : public ModelTest {
 protected:
  std::shared_ptr<FailableFileManager> files = std::make_shared<FailableFileManager>();
  std::unique_ptr<TidewellAppModel> model;
  DeviceConfig device = makeDevice("D", "Desk");
  int nextID = 0;

  StructuralEditTest() {
    store = std::make_shared<ConfigStore>(configFile, files);
    registry->inventory.outputs = {hardware("out-usb", "USB Audio Interface", 8),
                                   hardware("out-builtin", "Built-in Output", 2, true)};
    registry->inventory.inputs = {hardware("in-mic", "Built-in Microphone", 1, true),
                                  hardware("in-usb", "USB Audio Interface", 2)};
  }

  // Builds the model over the devices given (device "D" by default).
  void start(const std::vector<DeviceConfig>& devices = {}) {
    writeConfig(devices.empty() ? std::vector<DeviceConfig>{device} : devices);
    model = makeModel();
    model->newItemID = [this] { return "id" + std::to_string(++nextID); };
  }
  DeviceConfig saved(std::size_t index = 0) { return savedConfig().devices.at(index); }
  // A live edit of the device's volume, waiting for its commit.
  void pendingVolume(double volume, const std::string& deviceID = "D") {
    model->updateDevice(deviceID, "Saved", true, [volume](DeviceConfig& d) { d.volume = volume; });
    ASSERT_TRUE(model->liveSnapshot());
  }
  QString preference(const char* key) {
    return SettingsPreferences(preferencesFile).string(key).value_or("(absent)");
  }
};

}  // namespace tidewell::testing
