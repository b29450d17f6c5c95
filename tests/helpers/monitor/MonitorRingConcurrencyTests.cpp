#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
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

// The reader-controlled ring's whole render path (pulls, conversion, the control step that may skip
// frames or hold silence) against the input side's cycles and the main loop changing the target
// and the gains, as the monitor runs them.
TEST(MonitorRingConcurrency, RenderWithDriftControlAgainstTheInputAndTheMainLoop) {
    TidewellHelperRing* ring = TidewellHelperRingCreateReaderControlled(2, 2);
    ASSERT_NE(ring, nullptr);
    ASSERT_TRUE(TidewellHelperRingCreateOutputConverter(ring, 44100));
    for (uint32_t c = 0; c < 2; ++c) {
        ring->routes[c][0] = c + 1;
        ring->routes[c][1] = c + 1;
    }
    ring->routeCount = 2;
    ring->targetFill.store(224);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<float> block(256 * 2, 0.25f);
        for (int i = 0; i < 2000 && !stop.load(); ++i) {
            TidewellMonitorWrite(ring, block.data(), 256);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        stop.store(true);
    });
    std::thread reader([&] {
        std::vector<float> out(235 * 2);
        while (!stop.load()) {
            OutputBridgeCallback(ring, out.data(), 235, 2);
            for (float v : out) {
                ASSERT_LT(std::fabs(v), 1.1f) << v;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int tick = 0; !stop.load(); ++tick) {
        ring->targetFill.store(tick % 2 ? 224 : 416);
        ring->masterGain.store(tick % 3 ? 1.0f : 2.0f);
        TidewellStoreGain(ring->channelGains[1], tick % 2 ? 1.0f : 0.5f);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writer.join();
    reader.join();
    EXPECT_GT(ring->captured.load(), 0u);
    EXPECT_GT(ring->rendered.load(), 0u);
    TidewellHelperRingDestroy(ring);
}

}  // namespace
