// A meter-model pass for a 64-channel device with 16 sources whose plug-in output reading is
// missing, so every pass also derives it: the whole pass must stay far below its 33 ms tick.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>

#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellStream/TidewellMeterWriter.h"

namespace {

using namespace tidewell;

constexpr int channels = 64;
constexpr int sources = 16;

// A device whose first source is its pass-thru (wired straight through, plus a second route
// into every channel) and whose other sources are hardware inputs.
DeviceConfig benchDevice() {
  const std::string prefix = "bench-" + std::to_string(::getpid()) + "-";
  DeviceConfig device;
  device.id = prefix + "device";
  device.uid = prefix + "uid";
  device.name = "Bench";
  device.channelCount = channels;
  device.volume = 0.8;
  device.channelGains = std::vector<double>(channels, 0.9);
  for (int s = 0; s < sources; ++s) {
    SourceConfig source;
    source.id = prefix + "source-" + std::to_string(s);
    source.type = s == 0 ? SourceType::passThru : SourceType::hardwareInput;
    source.name = "Source " + std::to_string(s);
    source.channelCount = channels;
    source.gain = 0.7;
    device.sources.push_back(source);
  }
  const std::string passThru = device.sources[0].id;
  for (int c = 1; c <= channels; ++c) {
    for (int other : {c, channels + 1 - c}) {
      device.wires.push_back(Wire{"w" + std::to_string(c) + "-" + std::to_string(other),
                                  WireEndpoint{EndpointKind::source, passThru, other},
                                  WireEndpoint{EndpointKind::deviceOutput, device.id, c}});
    }
  }
  return device;
}

class BenchClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::system_clock::now(); }
};

// The meter regions of the ring and of every source, as helpers and the plug-in write them.
class MeterRegions {
 public:
  explicit MeterRegions(const DeviceConfig& device) {
    owners_.push_back(RuntimeMeterStore::sourceOwnerID(device.uid));
    for (const auto& source : device.sources) owners_.push_back(source.id);
    std::vector<float> levels(channels), peaks(channels);
    for (int c = 0; c < channels; ++c) {
      levels[std::size_t(c)] = 0.2f + 0.005f * float(c);
      peaks[std::size_t(c)] = 0.4f + 0.005f * float(c);
    }
    for (const auto& owner : owners_) {
      TidewellMeterWriter writer{};
      if (!TidewellMeterWriterOpen(&writer, owner.c_str(), channels)) continue;
      TidewellMeterWriterPublishWithPeaks(&writer, levels.data(), peaks.data(), channels);
      TidewellMeterWriterClose(&writer);
    }
  }
  ~MeterRegions() {
    for (const auto& owner : owners_) {
      char name[32];
      if (TidewellMeterName(TidewellMeterHash(owner.c_str()), name, sizeof name)) shm_unlink(name);
    }
  }

 private:
  std::vector<std::string> owners_;
};

void BM_MeterModelPass16Sources64Channels(benchmark::State& state) {
  const DeviceConfig device = benchDevice();
  MeterRegions regions(device);
  AppEnvironment environment;
  environment.meters = makeRuntimeMeterSource();
  environment.clock = std::make_shared<BenchClock>();
  auto tap = std::make_shared<MeterTap>();
  TidewellMeterModel model(tap, environment);
  model.updateDevice(device);
  const auto out = RuntimeMeterStore::outputOwnerID(device.uid);
  if (!tap->reading(out, TidewellMeterModel::referenceSeconds(environment.clock->now()))) {
    state.SkipWithError("the output reading was not derived");
    return;
  }
  for (auto _ : state) model.refresh();
}
BENCHMARK(BM_MeterModelPass16Sources64Channels)->Unit(benchmark::kMicrosecond);

void BM_DerivedOutputReading64Channels(benchmark::State& state) {
  const DeviceConfig device = benchDevice();
  RuntimeMeterStore::Reading ring{std::vector<double>(channels, 0.3),
                                  std::vector<double>(channels, 0.5)};
  for (auto _ : state) {
    auto reading = TidewellMeterModel::derivedOutputReading(ring, device);
    benchmark::DoNotOptimize(reading);
  }
}
BENCHMARK(BM_DerivedOutputReading64Channels)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
