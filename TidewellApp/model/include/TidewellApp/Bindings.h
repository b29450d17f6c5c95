#pragma once
// Two-way bindings of editor controls to one value of the configuration being edited. A getter
// reads the working copy (so a control shows its pending value); a setter edits live, through
// TidewellAppModel::updateSnapshotLive, with the status "Saved". Every binding holds the model
// weakly: once it is gone a getter gives its fallback and a setter does nothing.

#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>

#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

template <class T>
struct Binding {
  std::function<T()> get;
  std::function<void(const T&)> set;
};

// A field of the device with this id: name and icon (text), enabled (Boolean), volume (number).
template <class T>
Binding<T> deviceBinding(TidewellAppModel& model, const std::string& deviceID,
                         T DeviceConfig::*field, T fallback);
// A field of one source: enabled, muted, muteWhenCapturing (Boolean), gain (number). Changing
// anything but gain or mute commits at once and restarts the application's helpers of it.
template <class T>
Binding<T> sourceBinding(TidewellAppModel& model, const std::string& deviceID,
                         const std::string& sourceID, T SourceConfig::*field, T fallback);
// A field of one monitor: enabled, muted (Boolean), gain (number); as for sources.
template <class T>
Binding<T> monitorBinding(TidewellAppModel& model, const std::string& deviceID,
                          const std::string& monitorID, T MonitorConfig::*field, T fallback);

// One entry (channel counted from 1) of an owner's per-channel gains; 1.0 where there is none.
Binding<double> deviceChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                         std::int64_t channel);
Binding<double> sourceChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                         const std::string& sourceID, std::int64_t channel);
Binding<double> monitorChannelGainBinding(TidewellAppModel& model, const std::string& deviceID,
                                          const std::string& monitorID, std::int64_t channel);

extern template Binding<std::string> deviceBinding(TidewellAppModel&, const std::string&,
                                                   std::string DeviceConfig::*, std::string);
extern template Binding<bool> deviceBinding(TidewellAppModel&, const std::string&,
                                            bool DeviceConfig::*, bool);
extern template Binding<double> deviceBinding(TidewellAppModel&, const std::string&,
                                              double DeviceConfig::*, double);
extern template Binding<bool> sourceBinding(TidewellAppModel&, const std::string&,
                                            const std::string&, bool SourceConfig::*, bool);
extern template Binding<double> sourceBinding(TidewellAppModel&, const std::string&,
                                              const std::string&, double SourceConfig::*, double);
extern template Binding<bool> monitorBinding(TidewellAppModel&, const std::string&,
                                             const std::string&, bool MonitorConfig::*, bool);
extern template Binding<double> monitorBinding(TidewellAppModel&, const std::string&,
                                               const std::string&, double MonitorConfig::*,
                                               double);

}  // namespace tidewell
