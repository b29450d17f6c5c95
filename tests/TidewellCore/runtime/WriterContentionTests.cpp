// Two writer processes (standing in for the application and the service) publish different
// configurations into the same runtime region and control region as fast as they can, while
// reader threads copy both regions under the sequence-counter rule. A copy the readers accept
// must come entirely from one publish.
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/SourceControlStore.h"

#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace tidewell;
using namespace tidewell::testing_support;

// The writers run at least this long, and on until the readers have seen both of them in both
// regions (a loaded machine may not schedule a reader between one writer's turns for a while),
// but never longer than the limit.
constexpr auto kRunTime = std::chrono::milliseconds(2500);
constexpr auto kRunLimit = std::chrono::seconds(30);
const char *const kControlOwner = "contended-owner";

struct Writer {
    char letter;
    int devices;
    double gain;
    int64_t channels;
    float controlGain;
    int64_t controlChannels;
    float controlChannelGain;
};
const Writer kA{'A', 3, 0.25, 4, 0.25f, 2, 0.5f};
const Writer kB{'B', 5, 0.75, 8, 0.75f, 6, 1.5f};

ConfigSnapshot SnapshotOf(const Writer &w)
{
    std::vector<DeviceConfig> devices;
    for (int i = 0; i < w.devices; ++i) {
        DeviceConfig device = makeDevice(std::string(1, w.letter) + std::to_string(i), w.channels);
        device.name = std::string(1, w.letter) + "-device-" + std::to_string(i);
        device.uid = std::string(1, w.letter) + "-uid-" + std::to_string(i);
        device.volume = w.gain;
        device.channelGains = std::vector<double>(64, w.gain);
        devices.push_back(device);
    }
    return makeSnapshot(devices);
}

SourceControlStore::Values ControlOf(const Writer &w)
{
    return SourceControlStore::Values(false, w.controlGain, std::vector<float>(64, w.controlChannelGain),
                                      w.controlChannels);
}

pid_t StartWriter(const Writer &w, const std::atomic<bool> &stop)
{
    pid_t child = fork();
    if (child != 0) {
        return child;
    }
    const auto controls = RuntimeControlStoreV3::controls(SnapshotOf(w));
    const auto values = ControlOf(w);
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    try {
        while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
            RuntimeControlStoreV3::publish(controls, false);
            SourceControlStore::write(values, kControlOwner);
        }
    } catch (...) {
        _exit(1);
    }
    _exit(0);
}

const void *MapReadOnly(const std::string &name, size_t size)
{
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return nullptr;
    }
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    return map == MAP_FAILED ? nullptr : map;
}

// Which writer produced this runtime image, or 0 when it mixes both.
char RuntimeAuthor(const std::vector<unsigned char> &b)
{
    const uint32_t count = u32At(b, 16);
    const Writer *w = count == 3 ? &kA : count == 5 ? &kB : nullptr;
    if (w == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < 16; ++i) {
        const size_t slot = TidewellRuntimeSlotOffset(i);
        if (i >= count) {
            if (u32At(b, slot) != 0) {
                return 0;
            }
            continue;
        }
        const std::string suffix = std::to_string(i);
        if (u32At(b, slot) != 0x7u || u32At(b, slot + 4) != static_cast<uint32_t>(w->channels) ||
            f32At(b, slot + 8) != static_cast<float>(w->gain) ||
            u32At(b, slot + 16) != static_cast<uint32_t>(w->channels) ||
            textAt(b, slot + 32) != std::string(1, w->letter) + "-uid-" + suffix ||
            textAt(b, slot + 160) != std::string(1, w->letter) + "-device-" + suffix) {
            return 0;
        }
        for (size_t k = 0; k < 64; ++k) {
            if (f32At(b, slot + 320 + 4 * k) != static_cast<float>(w->gain)) {
                return 0;
            }
        }
        for (uint32_t r = 0; r < 128; ++r) {
            const uint32_t expected = r < w->channels ? r + 1 : 0;
            if (u32At(b, slot + 576 + 8 * r) != expected || u32At(b, slot + 580 + 8 * r) != expected) {
                return 0;
            }
        }
    }
    return w->letter;
}

char ControlAuthor(const std::vector<unsigned char> &b)
{
    for (const Writer *w : {&kA, &kB}) {
        if (f32At(b, 20) != w->controlGain) {
            continue;
        }
        if (u32At(b, 24) != static_cast<uint32_t>(w->controlChannels)) {
            return 0;
        }
        for (size_t k = 0; k < 64; ++k) {
            if (f32At(b, 32 + 4 * k) != w->controlChannelGain) {
                return 0;
            }
        }
        return w->letter;
    }
    return 0;
}

struct Tally {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> mixed{0};
    std::atomic<uint64_t> fromA{0};
    std::atomic<uint64_t> fromB{0};
};

void ReadLoop(const void *region, size_t bytes, char (*author)(const std::vector<unsigned char> &),
              const std::atomic<bool> &stop, Tally &tally)
{
    std::vector<unsigned char> copy(bytes);
    while (!stop.load(std::memory_order_relaxed)) {
        const uint32_t begin = TidewellSequenceReadBegin(region);
        TidewellRegionReadBytes(copy.data(), region, 0, bytes);
        if (!TidewellSequenceReadValidate(region, begin)) {
            continue;
        }
        tally.accepted.fetch_add(1, std::memory_order_relaxed);
        switch (author(copy)) {
        case 'A':
            tally.fromA.fetch_add(1, std::memory_order_relaxed);
            break;
        case 'B':
            tally.fromB.fetch_add(1, std::memory_order_relaxed);
            break;
        default:
            tally.mixed.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

TEST(WriterContention, TwoWriterProcessesNeverLetAReaderAcceptAMixture)
{
    // Both regions exist before the readers map them.
    RuntimeControlStoreV3::publish(RuntimeControlStoreV3::controls(SnapshotOf(kA)), false);
    SourceControlStore::write(ControlOf(kA), kControlOwner);

    // Shared with the writer processes: set once the readers have seen enough.
    void *page = mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *stopWriters = new (page) std::atomic<bool>(false);
    const pid_t first = StartWriter(kA, *stopWriters);
    const pid_t second = StartWriter(kB, *stopWriters);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);

    constexpr size_t runtimeBytes = 64 + 2048 * 16;
    const void *runtime = MapReadOnly("/twruntime3", TidewellRuntimeSize);
    const void *control = MapReadOnly(SourceControlStore::sharedMemoryName(kControlOwner), TidewellControlSize);
    ASSERT_NE(runtime, nullptr);
    ASSERT_NE(control, nullptr);

    std::atomic<bool> stop{false};
    Tally runtimeTally;
    Tally controlTally;
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back(ReadLoop, runtime, runtimeBytes, RuntimeAuthor, std::cref(stop), std::ref(runtimeTally));
    }
    readers.emplace_back(ReadLoop, control, size_t{288}, ControlAuthor, std::cref(stop), std::ref(controlTally));

    const auto started = std::chrono::steady_clock::now();
    const auto seenBoth = [&] {
        return runtimeTally.fromA.load() > 0 && runtimeTally.fromB.load() > 0 && controlTally.fromA.load() > 0 &&
               controlTally.fromB.load() > 0;
    };
    while (std::chrono::steady_clock::now() - started < kRunLimit &&
           (std::chrono::steady_clock::now() - started < kRunTime || !seenBoth())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopWriters->store(true);

    int status = 0;
    waitpid(first, &status, 0);
    const int firstStatus = status;
    waitpid(second, &status, 0);
    const int secondStatus = status;
    stop.store(true);
    for (auto &t : readers) {
        t.join();
    }

    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0);
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0);
    EXPECT_EQ(runtimeTally.mixed.load(), 0u);
    EXPECT_EQ(controlTally.mixed.load(), 0u);
    // Both writers were seen, so the readers really ran against both.
    EXPECT_GT(runtimeTally.fromA.load(), 0u);
    EXPECT_GT(runtimeTally.fromB.load(), 0u);
    EXPECT_GT(controlTally.fromA.load(), 0u);
    EXPECT_GT(controlTally.fromB.load(), 0u);
    // The counters end even.
    EXPECT_EQ(TidewellSequenceReadBegin(runtime) % 2, 0u);
    EXPECT_EQ(TidewellSequenceReadBegin(control) % 2, 0u);
    munmap(page, sizeof(std::atomic<bool>));
    RecordProperty("runtimeCopiesAccepted", std::to_string(runtimeTally.accepted.load()));
    RecordProperty("controlCopiesAccepted", std::to_string(controlTally.accepted.load()));
}

} // namespace
