// Publish and read costs of the runtime shared-memory layer. Regions here use names of
// their own, so a running system's regions are never touched, and are removed at the end.
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellCore/SourceControlStore.h"
#include "runtime/RuntimeRegionImage.h"

#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tidewell;

std::string BenchName(const char *tag)
{
    return std::string("/twbench-") + tag + "-" + std::to_string(getpid());
}

// 16 devices, 64 channels, 128 routes each, names long enough to need cutting.
std::vector<RuntimeDeviceControls> FullControls()
{
    std::vector<RuntimeDeviceControls> controls;
    for (int d = 0; d < 16; ++d) {
        std::vector<RuntimeChannelRoute> routes;
        for (int r = 0; r < 128; ++r) {
            routes.emplace_back(1 + r % 64, 1 + (r * 7) % 64);
        }
        controls.emplace_back("app.tidewell.devices." + std::string(150, 'u') + std::to_string(d),
                              "Device " + std::string(140, 'n'), "waveform.circle.fill.and.more.letters", 64, true,
                              0.8, std::vector<double>(64, 0.9), true, false, 0.7, routes);
    }
    return controls;
}

void BM_PublishRuntimeRegion16x128(benchmark::State &state)
{
    const std::string name = BenchName("runtime");
    const auto controls = FullControls();
    for (auto _ : state) {
        runtime_region::publishRuntimeRegion(name.c_str(), controls, false);
    }
    shm_unlink(name.c_str());
}
BENCHMARK(BM_PublishRuntimeRegion16x128)->Unit(benchmark::kMicrosecond);

void BM_PublishRuntimeRegion16x128ShortNames(benchmark::State &state)
{
    const std::string name = BenchName("runtime-short");
    auto controls = FullControls();
    for (auto &c : controls) {
        c.uid = c.uid.substr(0, 40);
        c.name = c.name.substr(0, 20);
        c.icon = "waveform.circle";
    }
    for (auto _ : state) {
        runtime_region::publishRuntimeRegion(name.c_str(), controls, false);
    }
    shm_unlink(name.c_str());
}
BENCHMARK(BM_PublishRuntimeRegion16x128ShortNames)->Unit(benchmark::kMicrosecond);

void BM_RuntimeRegionStoreOnly(benchmark::State &state)
{
    // The part of a publish inside the odd window: the copy of a prepared image.
    auto image = std::make_unique<runtime_region::RuntimeImage>();
    image->build(FullControls(), false);
    std::vector<uint32_t> region(TidewellRuntimeSize / 4);
    for (auto _ : state) {
        image->store(region.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RuntimeRegionStoreOnly)->Unit(benchmark::kMicrosecond);

void BM_ReaderCopyRuntimeRegion(benchmark::State &state)
{
    const std::string name = BenchName("runtime-read");
    runtime_region::publishRuntimeRegion(name.c_str(), FullControls(), false);
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    void *map = mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    std::vector<unsigned char> copy(64 + 2048 * 16);
    uint64_t accepted = 0;
    for (auto _ : state) {
        const uint32_t begin = TidewellSequenceReadBegin(map);
        TidewellRegionReadBytes(copy.data(), map, 0, copy.size());
        accepted += TidewellSequenceReadValidate(map, begin) ? 1 : 0;
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["accepted"] = static_cast<double>(accepted);
    munmap(map, TidewellRuntimeSize);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_ReaderCopyRuntimeRegion)->Unit(benchmark::kMicrosecond);

void BM_MeterReading(benchmark::State &state)
{
    // One meter region written by hand, then read the way the application's meters do.
    const std::string owner = "bench-meter-" + std::to_string(getpid());
    char name[32];
    TidewellRegionFormatName(TidewellMeterNamePrefix, RuntimeMeterStore::ownerHash(owner), name, sizeof name);
    int fd = shm_open(name, O_RDWR | O_CREAT, 0644);
    if (ftruncate(fd, TidewellMeterSize) != 0) {
        state.SkipWithError("could not size the meter region");
        close(fd);
        return;
    }
    void *map = mmap(nullptr, TidewellMeterSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    TidewellRegionStoreWord(map, 0, TidewellMeterMagic);
    TidewellRegionStoreWord(map, 4, TidewellMeterVersion);
    TidewellRegionStoreWord(map, 8, TidewellMeterSize);
    TidewellRegionStoreWord(map, 12, 2);
    TidewellRegionStoreWord(map, 16, 64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(RuntimeMeterStore::reading(owner));
    }
    munmap(map, TidewellMeterSize);
    shm_unlink(name);
}
BENCHMARK(BM_MeterReading)->Unit(benchmark::kMicrosecond);

void BM_ControlPublishUnchanged100(benchmark::State &state)
{
    // After the first publish every owner is cached: no system call at all.
    DeviceConfig device;
    device.id = "bench-device";
    const std::string prefix = "bench-source-" + std::to_string(getpid()) + "-";
    for (int i = 0; i < 100; ++i) {
        SourceConfig source;
        source.id = prefix + std::to_string(i);
        source.type = SourceType::application;
        source.channelCount = 2;
        device.sources.push_back(source);
    }
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    snapshot.devices = {device};
    SourceControlStore::publish(snapshot);
    for (auto _ : state) {
        SourceControlStore::publish(snapshot);
    }
    for (int i = 0; i < 100; ++i) {
        shm_unlink(SourceControlStore::sharedMemoryName(prefix + std::to_string(i)).c_str());
    }
}
BENCHMARK(BM_ControlPublishUnchanged100)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
