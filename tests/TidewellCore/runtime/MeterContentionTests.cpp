// A meter writer publishing as fast as it can while readers copy the region: every reading
// the reader accepts comes from one publish.
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellStream/TidewellMeterWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tidewell;

TEST(MeterContention, ReadingsNeverMixTwoPublishes)
{
    const std::string owner = "meter-contention-" + std::to_string(getpid());
    char name[32];
    TidewellMeterName(TidewellMeterHash(owner.c_str()), name, sizeof name);
    shm_unlink(name);

    TidewellMeterWriter writer{};
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 64));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> mixed{0};

    std::thread publisher([&] {
        float levels[64];
        uint32_t k = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            // Every channel gets the same value, so every channel's stored level is the same
            // function of the same history: a copy that mixes publishes shows unequal levels.
            const float value = static_cast<float>(++k % 997) / 997.0f;
            for (float &l : levels) {
                l = value;
            }
            TidewellMeterWriterPublishWithPeaks(&writer, levels, nullptr, 64);
            // Audio threads publish once per block; leave the readers some quiet moments.
            if (k % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                auto reading = RuntimeMeterStore::reading(owner);
                if (!reading || reading->levels.size() != 64) {
                    continue;
                }
                accepted.fetch_add(1, std::memory_order_relaxed);
                for (size_t i = 1; i < 64; ++i) {
                    if (reading->levels[i] != reading->levels[0] || reading->peaks[i] != reading->peaks[0]) {
                        mixed.fetch_add(1, std::memory_order_relaxed);
                        break;
                    }
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop.store(true);
    publisher.join();
    for (auto &t : readers) {
        t.join();
    }
    TidewellMeterWriterClose(&writer);
    shm_unlink(name);

    EXPECT_EQ(mixed.load(), 0u);
    EXPECT_GT(accepted.load(), 0u);
}

} // namespace
