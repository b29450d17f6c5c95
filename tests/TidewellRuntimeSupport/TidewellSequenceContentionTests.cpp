// The sequence counter under contention: one writer thread rewrites a region as fast as it
// can while several reader threads copy it; no copy the readers accept may mix two writes.
#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kPayloadOffset = 16;
constexpr size_t kPayloadWords = 256;

TEST(TidewellSequenceContention, ReadersNeverAcceptATornCopy)
{
    alignas(64) static TidewellMeterRegion region{};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> torn{0};
    std::atomic<uint64_t> writes{0};

    std::thread writer([&] {
        uint32_t payload[kPayloadWords];
        uint32_t generation = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            ++generation;
            for (size_t k = 0; k < kPayloadWords; ++k) {
                payload[k] = generation * 2654435761u + static_cast<uint32_t>(k);
            }
            uint32_t odd = TidewellSequenceBeginWrite(&region);
            TidewellRegionWriteBytes(&region, kPayloadOffset, payload, sizeof payload);
            TidewellSequenceEndWrite(&region, odd);
            writes.fetch_add(1, std::memory_order_relaxed);
            // Real writers pause between writes; without any pause a slow (sanitized) reader
            // could be overtaken on every attempt and the test would prove nothing.
            if (generation % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
    });

    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            uint32_t copy[kPayloadWords];
            while (!stop.load(std::memory_order_relaxed)) {
                uint32_t begin = TidewellSequenceReadBegin(&region);
                TidewellRegionReadBytes(copy, &region, kPayloadOffset, sizeof copy);
                if (!TidewellSequenceReadValidate(&region, begin) || begin == 0) {
                    continue; // busy, or never written yet
                }
                accepted.fetch_add(1, std::memory_order_relaxed);
                // Every word of one write derives from the same generation.
                bool whole = true;
                for (size_t k = 1; k < kPayloadWords; ++k) {
                    if (copy[k] - static_cast<uint32_t>(k) != copy[0]) {
                        whole = false;
                    }
                }
                if (!whole) {
                    torn.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop.store(true);
    writer.join();
    for (auto &t : readers) {
        t.join();
    }

    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(accepted.load(), 0u);
    EXPECT_GT(writes.load(), 0u);
    EXPECT_EQ(region.header.sequence % 2, 0u);
    EXPECT_EQ(region.header.sequence, static_cast<uint32_t>(writes.load() * 2));
}

} // namespace
