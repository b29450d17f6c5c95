#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "MonitorCapture.h"

namespace {

// The input side writes frames whose channels all hold the frame's number while the render side
// reads: every frame read must be whole, and numbers must only grow.
TEST(MonitorRingConcurrency, ReaderSeesWholeFramesInOrder) {
    TidewellHelperRing* ring = TidewellHelperRingCreateReaderControlled(4, 4);
    ASSERT_NE(ring, nullptr);
    for (uint32_t c = 0; c < 4; ++c) {
        ring->routes[c][0] = c + 1;
        ring->routes[c][1] = c + 1;
    }
    ring->routeCount = 4;
    ring->targetFill.store(2048);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<float> block(256 * 4);
        float next = 1.0f;
        for (int i = 0; i < 4000; ++i) {
            for (uint32_t f = 0; f < 256; ++f, next += 1.0f) {
                for (uint32_t c = 0; c < 4; ++c) {
                    block[f * 4 + c] = next;
                }
            }
            TidewellMonitorWrite(ring, block.data(), 256);
            std::this_thread::yield();
        }
        done = true;
    });
    std::vector<float> out(200 * 4);
    float last = 0.0f;
    bool whole = true;
    bool ordered = true;
    while (!done.load()) {
        RingRead(ring, out.data(), 200);
        for (uint32_t f = 0; f < 200; ++f) {
            const float v = out[f * 4];
            if (v == 0.0f) {
                continue;   // silence of an underrun
            }
            for (uint32_t c = 1; c < 4; ++c) {
                whole = whole && out[f * 4 + c] == v;
            }
            ordered = ordered && v > last;
            last = v;
        }
    }
    writer.join();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(ordered);
    EXPECT_GT(last, 0.0f);
    TidewellHelperRingDestroy(ring);
}

}  // namespace
