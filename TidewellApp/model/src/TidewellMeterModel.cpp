#include "TidewellApp/TidewellMeterModel.h"

#include <QTimer>
#include <algorithm>
#include <cmath>
#include <set>

#include "TidewellCore/RuntimeRouteMap.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

// 2001-01-01T00:00:00Z in Unix seconds.
constexpr double referenceDateUnixSeconds = 978307200.0;

double clampedGain(double value) {
  if (!std::isfinite(value)) return 1.0;
  if (value <= 0.0) return 0.0;
  return std::min(value, 2.0);
}

}  // namespace

TidewellMeterModel::TidewellMeterModel(std::shared_ptr<MeterTap> tap,
                                       const AppEnvironment& environment, QObject* parent)
    : QObject(parent), tap_(std::move(tap)), meters_(environment.meters), clock_(environment.clock) {}

TidewellMeterModel::~TidewellMeterModel() = default;

double TidewellMeterModel::referenceSeconds(Clock::TimePoint time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count() - referenceDateUnixSeconds;
}

void TidewellMeterModel::start() {
  if (refreshTimer_) return;
  refreshTimer_ = new QTimer(this);
  refreshTimer_->setSingleShot(true);
  refreshTimer_->setTimerType(Qt::PreciseTimer);
  connect(refreshTimer_, &QTimer::timeout, this, [this] {
    refresh();
    scheduleNextPass();
  });
  scheduleNextPass();
}

void TidewellMeterModel::scheduleNextPass() {
  // The next deadline is taken after the pass, so a slow pass never queues passes up.
  refreshTimer_->start(pollIntervalMilliseconds);
}

void TidewellMeterModel::updateDevice(const std::optional<DeviceConfig>& device) {
  if (device == device_) return;
  device_ = device;
  refresh();
}

void TidewellMeterModel::refresh() {
  const double now = referenceSeconds(clock_->now());
  if (!device_) {
    tap_->update({}, now);
    return;
  }
  const DeviceConfig& device = *device_;
  std::set<std::string> owners{RuntimeMeterStore::sourceOwnerID(device.uid),
                               RuntimeMeterStore::outputOwnerID(device.uid)};
  for (const auto& source : device.sources) owners.insert(source.id);
  for (const auto& monitor : device.monitors) owners.insert(monitor.id);
  Readings readings;
  for (const auto& owner : owners) {
    if (auto reading = meters_->reading(owner)) readings.emplace(owner, std::move(*reading));
  }
  substituteDerivedOutputReading(readings, device, now);
  tap_->update(readings, now);
}

void TidewellMeterModel::substituteDerivedOutputReading(Readings& readings,
                                                        const DeviceConfig& device, double now) {
  const std::string out = RuntimeMeterStore::outputOwnerID(device.uid);
  auto measured = readings.find(out);
  if (measured != readings.end()) {
    if (!lastMeasuredOutputReading_ || *lastMeasuredOutputReading_ != measured->second) {
      lastMeasuredOutputReading_ = measured->second;
      lastMeasuredOutputChange_ = now;
      return;
    }
    if (now - lastMeasuredOutputChange_ < frozenAfterSeconds) return;
  } else if (lastMeasuredOutputReading_) {
    lastMeasuredOutputReading_.reset();
    lastMeasuredOutputChange_ = now;
  }
  auto ring = readings.find(RuntimeMeterStore::sourceOwnerID(device.uid));
  if (ring == readings.end()) return;
  if (auto derived = derivedOutputReading(ring->second, device)) {
    readings.insert_or_assign(out, std::move(*derived));
  }
}

std::optional<TidewellMeterModel::Reading> TidewellMeterModel::derivedOutputReading(
    const Reading& ring, const DeviceConfig& device) {
  if (!device.enabled) return std::nullopt;
  const SourceConfig* passThru = nullptr;
  for (const auto& source : device.sources) {
    if (source.type == SourceType::passThru) {
      passThru = &source;
      break;
    }
  }
  if (passThru && (!passThru->enabled || passThru->muted)) return std::nullopt;

  double factor = clampedGain(device.volume);
  if (passThru && std::isfinite(passThru->gain)) {
    if (passThru->gain <= 0.0) return std::nullopt;
    factor *= std::min(passThru->gain, 2.0);
  }
  if (factor <= 0.0) return std::nullopt;

  // A count from a damaged file is bounded as a stream is: nothing here grows with it.
  const std::int64_t channelCount = std::clamp<std::int64_t>(device.channelCount, 0, TidewellCore::maximumChannelCount);
  const auto routes = passThru ? RuntimeRouteMap::sourceRoutes(passThru->id, device, channelCount)
                               : RuntimeRouteMap::identityRoutes(channelCount);
  const std::vector<double> noGains;
  const std::vector<double>& gains = device.channelGains ? *device.channelGains : noGains;
  auto outputGain = [&](std::int64_t channel) {
    return channel <= std::int64_t(gains.size()) ? clampedGain(gains[std::size_t(channel - 1)])
                                                 : 1.0;
  };

  const std::size_t channels = std::size_t(channelCount);
  Reading result{std::vector<double>(channels, 0.0), std::vector<double>(channels, 0.0)};
  for (const auto& route : routes) {
    const std::int64_t s = route.sourceChannel;
    const std::int64_t o = route.outputChannel;
    if (o < 1 || o > channelCount || s < 1 || s > std::int64_t(ring.levels.size())) continue;
    const double gain = outputGain(o);
    auto& level = result.levels[std::size_t(o - 1)];
    level = std::min(1.0, level + gain * (factor * ring.levels[std::size_t(s - 1)]));
    if (s <= std::int64_t(ring.peaks.size())) {
      auto& peak = result.peaks[std::size_t(o - 1)];
      peak = std::min(1.0, peak + gain * (factor * ring.peaks[std::size_t(s - 1)]));
    }
  }
  return result;
}

}  // namespace tidewell
