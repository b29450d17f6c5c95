#pragma once
// Feeds the level meters of the device the main window shows: about every 33 ms it reads that
// device's meter regions (each side of the device, each source, each monitor) into a MeterTap.
// When the plug-in's reading of the device's output side is missing or frozen, it derives one
// from the device's ring reading through its pass-thru routes and gains.

#include <QObject>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/RuntimeMeterStore.h"

class QTimer;

namespace tidewell {

class TidewellMeterModel : public QObject {
  Q_OBJECT

 public:
  using Reading = RuntimeMeterStore::Reading;
  using Readings = std::map<std::string, Reading, std::less<>>;

  static constexpr int pollIntervalMilliseconds = 33;
  // An output-side reading unchanged for this long counts as frozen.
  static constexpr double frozenAfterSeconds = 0.3;

  explicit TidewellMeterModel(std::shared_ptr<MeterTap> tap,
                              const AppEnvironment& environment = AppEnvironment::shared(),
                              QObject* parent = nullptr);
  ~TidewellMeterModel() override;

  const std::shared_ptr<MeterTap>& tap() const { return tap_; }
  // Starts polling; a second call does nothing.
  void start();
  // Changes the device whose meters are polled; a different device is read at once.
  void updateDevice(const std::optional<DeviceConfig>& device);
  // One polling pass.
  void refresh();

  // The output side of a device computed from its ring reading: nothing when the device, or its
  // pass-thru source, is off, muted or at zero gain.
  static std::optional<Reading> derivedOutputReading(const Reading& ring,
                                                     const DeviceConfig& device);
  // Seconds since 2001-01-01 UTC, the time base of the tap.
  static double referenceSeconds(Clock::TimePoint time);

 private:
  void substituteDerivedOutputReading(Readings& readings, const DeviceConfig& device, double now);
  void scheduleNextPass();

  std::shared_ptr<MeterTap> tap_;
  std::shared_ptr<MeterSource> meters_;
  std::shared_ptr<Clock> clock_;
  std::optional<DeviceConfig> device_;
  QTimer* refreshTimer_ = nullptr;
  std::optional<Reading> lastMeasuredOutputReading_;
  double lastMeasuredOutputChange_ = 0;
};

}  // namespace tidewell
