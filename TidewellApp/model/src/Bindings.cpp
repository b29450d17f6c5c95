#include "TidewellApp/Bindings.h"

#include "TidewellCore/ConfigEditor.h"

namespace tidewell {
namespace {

const QString savedStatus = QStringLiteral("Saved");

template <class Item>
Item* firstWithID(std::vector<Item>& items, const std::string& id) {
  for (auto& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

template <class Item>
const Item* firstWithID(const std::vector<Item>& items, const std::string& id) {
  for (const auto& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

// Where a binding's value lives: the device, or a source or monitor of it. Locate returns the
// owner within a configuration, or null when any step of the path is missing.
struct DevicePath {
  std::string deviceID;
  using Owner = DeviceConfig;
  const DeviceConfig* locate(const ConfigSnapshot& snapshot) const {
    return firstWithID(snapshot.devices, deviceID);
  }
  DeviceConfig* locate(ConfigSnapshot& snapshot) const {
    return firstWithID(snapshot.devices, deviceID);
  }
};

template <class Item, std::vector<Item> DeviceConfig::*list>
struct ItemPath {
  std::string deviceID;
  std::string itemID;
  using Owner = Item;
  const Item* locate(const ConfigSnapshot& snapshot) const {
    const DeviceConfig* device = firstWithID(snapshot.devices, deviceID);
    return device ? firstWithID(device->*list, itemID) : nullptr;
  }
  Item* locate(ConfigSnapshot& snapshot) const {
    DeviceConfig* device = firstWithID(snapshot.devices, deviceID);
    return device ? firstWithID(device->*list, itemID) : nullptr;
  }
};
using SourcePath = ItemPath<SourceConfig, &DeviceConfig::sources>;
using MonitorPath = ItemPath<MonitorConfig, &DeviceConfig::monitors>;

// `afterEdit` runs after each live edit while the model exists.
template <class T, class Path>
Binding<T> fieldBinding(TidewellAppModel& model, Path path, T Path::Owner::*field, T fallback,
                        std::function<void(TidewellAppModel&)> afterEdit = {}) {
  QPointer<TidewellAppModel> weak(&model);
  Binding<T> binding;
  binding.get = [weak, path, field, fallback]() -> T {
    if (!weak) return fallback;
    const auto* owner = path.locate(weak->workingCopy());
    return owner ? owner->*field : fallback;
  };
  binding.set = [weak, path, field, afterEdit](const T& value) {
    if (!weak) return;
    weak->updateSnapshotLive(savedStatus, [&](ConfigSnapshot& snapshot) {
      if (auto* owner = path.locate(snapshot)) owner->*field = value;
    });
    if (afterEdit && weak) afterEdit(*weak);
  };
  return binding;
}

template <class Path>
Binding<double> channelGainBinding(TidewellAppModel& model, Path path, std::int64_t channel) {
  QPointer<TidewellAppModel> weak(&model);
  Binding<double> binding;
  binding.get = [weak, path, channel]() -> double {
    if (!weak) return 1.0;
    const auto* owner = path.locate(weak->workingCopy());
    if (!owner || !owner->channelGains) return 1.0;
    const auto& gains = *owner->channelGains;
    if (channel < 1 || channel > std::int64_t(gains.size())) return 1.0;
    return gains[std::size_t(channel - 1)];
  };
  binding.set = [weak, path, channel](const double& value) {
    if (!weak) return;
    weak->updateSnapshotLive(savedStatus, [&](ConfigSnapshot& snapshot) {
      if (auto* owner = path.locate(snapshot)) {
        owner->channelGains = ConfigEditor::updatedChannelGains(
            owner->channelGains, owner->channelCount, channel, value);
      }
    });
  };
  return binding;
}

// Gain and mute of sources and monitors stay live; every other field of theirs changes which
// helpers run or how, so it is committed at once.
template <class T, class Owner>
bool isLiveField(T Owner::*field) {
  if constexpr (std::is_same_v<T, double>) return field == &Owner::gain;
  if constexpr (std::is_same_v<T, bool>) return field == &Owner::muted;
  return false;
}

}  // namespace

template <class T>
Binding<T> deviceBinding(TidewellAppModel& model, const std::string& deviceID,
                         T DeviceConfig::*field, T fallback) {
  return fieldBinding(model, DevicePath{deviceID}, field, std::move(fallback));
}

template <class T>
Binding<T> sourceBinding(TidewellAppModel& model, const std::string& deviceID,
                         const std::string& sourceID, T SourceConfig::*field, T fallback) {
  std::function<void(TidewellAppModel&)> afterEdit;
  if (!isLiveField(field)) {
    afterEdit = [sourceID](TidewellAppModel& target) {
      // A refused save (invalid, unwritable, conflicting) has said why; nothing plays the edit.
      if (!target.flushLiveEdits()) return;
      HelperLauncher& launcher = *target.environment().helperLauncher;
      launcher.restartHardwareSourceIfRunning(target, sourceID);
      launcher.restartProcessTapIfRunning(target, sourceID);
    };
  }
  return fieldBinding(model, SourcePath{deviceID, sourceID}, field, fallback, afterEdit);
}

template <class T>
Binding<T> monitorBinding(TidewellAppModel& model, const std::string& deviceID,
                          const std::string& monitorID, T MonitorConfig::*field, T fallback) {
  std::function<void(TidewellAppModel&)> afterEdit;
  if (!isLiveField(field)) {
    afterEdit = [monitorID](TidewellAppModel& target) {
      if (!target.flushLiveEdits()) return;
      target.environment().helperLauncher->restartMonitorIfRunning(target, monitorID);
    };
  }
  return fieldBinding(model, MonitorPath{deviceID, monitorID}, field, fallback, afterEdit);
}

Binding<double> deviceChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                         std::int64_t channel) {
  return channelGainBinding(model, DevicePath{deviceID}, channel);
}

Binding<double> sourceChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                         const std::string& sourceID, std::int64_t channel) {
  return channelGainBinding(model, SourcePath{deviceID, sourceID}, channel);
}

Binding<double> monitorChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                          const std::string& monitorID, std::int64_t channel) {
  return channelGainBinding(model, MonitorPath{deviceID, monitorID}, channel);
}

template Binding<std::string> deviceBinding(TidewellAppModel&, const std::string&,
                                            std::string DeviceConfig::*, std::string);
template Binding<bool> deviceBinding(TidewellAppModel&, const std::string&, bool DeviceConfig::*,
                                     bool);
template Binding<double> deviceBinding(TidewellAppModel&, const std::string&,
                                       double DeviceConfig::*, double);
template Binding<bool> sourceBinding(TidewellAppModel&, const std::string&, const std::string&,
                                     bool SourceConfig::*, bool);
template Binding<double> sourceBinding(TidewellAppModel&, const std::string&, const std::string&,
                                       double SourceConfig::*, double);
template Binding<bool> monitorBinding(TidewellAppModel&, const std::string&, const std::string&,
                                      bool MonitorConfig::*, bool);
template Binding<double> monitorBinding(TidewellAppModel&, const std::string&, const std::string&,
                                        double MonitorConfig::*, double);

}  // namespace tidewell
