// DoIOOperation cost on the audio thread, next to a plain memcpy of the same bytes.
//
//   writ/C/N   one write of a 512-frame block of C channels
//   cycle/C/N  one write and one read per client (N clients), as the server's cycle does
//
// Each iteration also copies the bytes those operations move with memcpy and reports the
// ratio (ratio_to_memcpy), so the figure does not depend on the machine's memory speed.

#include <TidewellHAL/TWDriver.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFrames = 512;

AudioServerPlugInDriverRef Driver() {
    static auto ref = static_cast<AudioServerPlugInDriverRef>(TidewellHALFactory(nullptr, kAudioServerPlugInTypeUUID));
    return ref;
}

OSStatus IgnoreChange(AudioServerPlugInHostRef, AudioObjectID, UInt32, const AudioObjectPropertyAddress*) { return 0; }
OSStatus IgnoreRequest(AudioServerPlugInHostRef, AudioObjectID, UInt64, void*) { return 0; }

// One runtime region holding a device of each benchmarked width, every channel routed to
// itself at unity gain.
class Bench {
public:
    static Bench& shared() {
        static Bench* b = new Bench();
        return *b;
    }
    AudioObjectID device(uint32_t channels) { return devices_.at(channels); }
    ~Bench() = delete;

private:
    Bench() : name_("/twbench-" + std::to_string(getpid())) {
        int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ftruncate(fd, TidewellRuntimeSize) != 0) std::abort();
        auto* base = static_cast<unsigned char*>(
            mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        TidewellRegionStoreWord(base, TidewellRegionMagicOffset, TidewellRuntimeMagic);
        TidewellRegionStoreWord(base, TidewellRegionVersionOffset, TidewellRuntimeVersion);
        TidewellRegionStoreWord(base, TidewellRegionSizeOffset, TidewellRuntimeSize);
        const uint32_t widths[] = {2, 16, 64};
        uint32_t odd = TidewellSequenceBeginWrite(base);
        TidewellRegionStoreWord(base, offsetof(TidewellRuntimeRegion, deviceCount), 3);
        for (uint32_t i = 0; i < 3; ++i) {
            TidewellRuntimeDeviceSlot slot;
            std::memset(&slot, 0, sizeof slot);
            slot.flags = TidewellSlotFlagPresent | TidewellSlotFlagDeviceEnabled | TidewellSlotFlagSourceEnabled;
            slot.channelCount = widths[i];
            slot.deviceGain = 1.0f;
            slot.sourceGain = 1.0f;
            slot.routeCount = widths[i];
            std::snprintf(slot.uid, sizeof slot.uid, "bench.%u.%d", widths[i], getpid());
            std::snprintf(slot.name, sizeof slot.name, "Bench %u", widths[i]);
            for (uint32_t c = 0; c < 64; ++c) slot.channelGains[c] = 1.0f;
            for (uint32_t c = 0; c < widths[i]; ++c) slot.routes[c] = {c + 1, c + 1};
            TidewellRegionWriteBytes(base, TidewellRuntimeSlotOffset(i), &slot, sizeof slot);
            uids_.push_back(slot.uid);
        }
        TidewellSequenceEndWrite(base, odd);

        std::memset(&host_, 0, sizeof host_);
        host_.PropertiesChanged = IgnoreChange;
        host_.RequestDeviceConfigurationChange = IgnoreRequest;
        TWSetReconcileTimerEnabled(false);
        TWSetRuntimeSharedMemoryName(name_.c_str());
        (**Driver()).Initialize(Driver(), &host_);
        for (uint32_t i = 0; i < 3; ++i) {
            TWDevice* d = TWActiveDeviceForUID(uids_[i].c_str());
            if (d == nullptr) std::abort();
            devices_[widths[i]] = d->deviceID.load();
        }
        shm_unlink(name_.c_str());
        // The devices' meter regions are not needed after the run.
        for (const auto& uid : uids_) {
            for (const char* side : {".source", ".output"}) {
                std::string owner = "tidewell.device." + uid + side;
                char region[32];
                TidewellRegionFormatName(TidewellMeterNamePrefix, TidewellOwnerHash(owner.c_str()), region,
                                         sizeof region);
                shm_unlink(region);
            }
        }
    }

    std::string name_;
    std::vector<std::string> uids_;
    std::map<uint32_t, AudioObjectID> devices_;
    AudioServerPlugInHostInterface host_;
};

void Run(benchmark::State& state, bool withReads) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    const uint32_t clients = static_cast<uint32_t>(state.range(1));
    const AudioObjectID device = Bench::shared().device(channels);
    auto& table = **Driver();
    for (uint32_t c = 1; c <= clients; ++c) table.StartIO(Driver(), device, c);
    std::vector<float> in(size_t(kFrames) * channels, 0.25f), out(in.size()), copy(in.size());
    const size_t blockBytes = in.size() * sizeof(float);
    const uint32_t blocks = withReads ? 1 + clients : 1;

    // The driver's operations and a memcpy of the same bytes alternate in every iteration,
    // so both see the same machine load.
    using Clock = std::chrono::steady_clock;
    double ioNs = 0, memcpyNs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        table.DoIOOperation(Driver(), device, device + 2, 0, kAudioServerPlugInIOOperationWriteMix, kFrames, nullptr,
                            in.data(), nullptr);
        if (withReads) {
            for (uint32_t c = 1; c <= clients; ++c) {
                table.DoIOOperation(Driver(), device, device + 1, c, kAudioServerPlugInIOOperationReadInput, kFrames,
                                    nullptr, out.data(), nullptr);
                benchmark::DoNotOptimize(out.data());
            }
        }
        auto t1 = Clock::now();
        for (uint32_t b = 0; b < blocks; ++b) {
            std::memcpy(copy.data(), in.data(), blockBytes);
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        }
        auto t2 = Clock::now();
        ioNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        memcpyNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    for (uint32_t c = 1; c <= clients; ++c) table.StopIO(Driver(), device, c);
    const double n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * blockBytes * blocks));
    state.counters["io_ns"] = ioNs / n;
    state.counters["memcpy_ns"] = memcpyNs / n;
    state.counters["ratio_to_memcpy"] = memcpyNs > 0 ? ioNs / memcpyNs : 0;
}

void BM_Write(benchmark::State& state) { Run(state, false); }
void BM_Cycle(benchmark::State& state) { Run(state, true); }

void Shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"channels", "clients"});
    for (int channels : {2, 16, 64}) {
        for (int clients : {1, 16}) b->Args({channels, clients});
    }
}

BENCHMARK(BM_Write)->Apply(Shapes);
BENCHMARK(BM_Cycle)->Apply(Shapes);

}  // namespace

BENCHMARK_MAIN();
