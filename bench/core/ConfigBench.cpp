// JSON encode/decode, validation and saving of configuration documents.
//
// The service decodes the file once per poll (1 s) and the application encodes and saves it once
// per committed edit, so the budget is generous; these benchmarks guard against accidental
// quadratic behaviour. Targets (one core): a 16-device document of everyday size (about 80 kB)
// encodes and decodes in under 2 ms each; the largest document the system allows (16 devices x
// 64 channels, 8 sources and 4 monitors each, about 600 wires per device, 3 MB of JSON) decodes
// in under 100 ms and validates in under 10 ms. Time grows linearly with size.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>

#include "TidewellCore/TidewellCore.h"

namespace {

using namespace tidewell;

// devices x channels, with `sources` capture sources and `monitors` monitors per device, every
// source wired channel for channel and every monitor fed from the device.
ConfigSnapshot makeDocument(int devices, int channels, int sources, int monitors) {
  ConfigSnapshot s = ConfigSnapshot::empty();
  for (int d = 0; d < devices; ++d) {
    DeviceConfig device = DeviceConfig::makeDefault("Device " + std::to_string(d), 48000.0);
    device.channelCount = channels;
    device.channelGains = std::vector<double>(static_cast<std::size_t>(channels), 0.8);
    device.sources.clear();
    device.wires.clear();
    for (int i = 0; i < sources; ++i) {
      SourceConfig src{makeUUIDString(), i == 0 ? SourceType::passThru : SourceType::application,
                       "Source " + std::to_string(i), true, false, 0.9, std::nullopt, channels, false,
                       SourceMetadata{}};
      if (i > 0) {
        src.metadata.bundleIdentifier = "org.example.app" + std::to_string(i);
        src.metadata.pid = 1000 + i;
      }
      for (int c = 1; c <= channels; ++c)
        device.wires.push_back(Wire{makeUUIDString(), {EndpointKind::source, src.id, c},
                                    {EndpointKind::deviceOutput, device.id, c}});
      device.sources.push_back(std::move(src));
    }
    for (int m = 0; m < monitors; ++m) {
      MonitorConfig mon{makeUUIDString(), "Monitor " + std::to_string(m), true, false, 1.0,
                        std::nullopt, "hw:out" + std::to_string(m), 2};
      for (int c = 1; c <= 2; ++c)
        device.wires.push_back(Wire{makeUUIDString(), {EndpointKind::deviceOutput, device.id, c},
                                    {EndpointKind::monitor, mon.id, c}});
      device.monitors.push_back(std::move(mon));
    }
    s.devices.push_back(std::move(device));
  }
  s.ui.selectedDeviceID = s.devices.front().id;
  return s;
}

const ConfigSnapshot& typical() {
  static const ConfigSnapshot doc = makeDocument(16, 2, 3, 1);
  return doc;
}
const ConfigSnapshot& largest() {
  static const ConfigSnapshot doc = makeDocument(16, 64, 8, 4);
  return doc;
}

void encode(benchmark::State& state, const ConfigSnapshot& doc) {
  const auto encoder = JSONEncoder::tidewell();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = encoder.encode(doc);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["json_bytes"] = static_cast<double>(bytes);
}

void decode(benchmark::State& state, const ConfigSnapshot& doc) {
  const std::string text = JSONEncoder::tidewell().encode(doc);
  const auto decoder = JSONDecoder::tidewell();
  for (auto _ : state) {
    ConfigSnapshot back = ConfigMigration::migrate(decoder.decode<ConfigSnapshot>(text));
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_EncodeSixteenDevices(benchmark::State& state) { encode(state, typical()); }
void BM_DecodeSixteenDevices(benchmark::State& state) { decode(state, typical()); }
void BM_EncodeLargestDocument(benchmark::State& state) { encode(state, largest()); }
void BM_DecodeLargestDocument(benchmark::State& state) { decode(state, largest()); }

void BM_ValidateLargestDocument(benchmark::State& state) {
  const ConfigValidator validator;
  for (auto _ : state) benchmark::DoNotOptimize(validator.validate(largest()));
}

void BM_SaveSixteenDevices(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("tidewell-bench-" + std::to_string(::getpid()));
  const ConfigStore store(folder / "config.json");
  for (auto _ : state) store.save(typical());
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_EncodeSixteenDevices)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeSixteenDevices)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeLargestDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLargestDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateLargestDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveSixteenDevices)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
