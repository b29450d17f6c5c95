// The rate watchdog's switch while the IO queue keeps writing blocks: the swap happens between
// blocks, the new rate takes effect at once, and the old resampler is gone afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "BufferListTestSupport.h"
#include "TapCapture.h"

namespace {

struct Feeder {
    TapCaptureState* state;
    const AudioBufferList* block;
    std::atomic<int>* pending;
};

void WriteOneBlock(void* context) {
    auto* feeder = static_cast<Feeder*>(context);
    TidewellTapRingWrite(feeder->state, feeder->block);
    feeder->pending->fetch_sub(1);
}

TEST(TapResamplerSwitch, SwapsBetweenBlocksWhileTheQueueWrites) {
    TidewellHelperRing* ring = TidewellHelperRingCreate(2, 2, 48000);
    ASSERT_NE(ring, nullptr);
    TapCaptureState state{};
    TidewellTapCaptureInit(&state, ring, 2, true, 192);
    dispatch_queue_t queue = dispatch_queue_create("test.tap.io", DISPATCH_QUEUE_SERIAL);
    TestBufferList block({{2, Interleaved(441, 2, [](uint32_t f, uint32_t c) { return 0.001f * (f % 50) + c; })}});
    std::atomic<int> pending{0};
    Feeder feeder{&state, block.get(), &pending};

    std::atomic<bool> running{true};
    std::thread producer([&] {
        while (running.load()) {
            if (pending.load() < 8) {
                pending.fetch_add(1);
                dispatch_async_f(queue, &feeder, WriteOneBlock);
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::thread consumer([&] {
        std::vector<float> out(256 * 2);
        while (running.load()) {
            RingRead(ring, out.data(), 256);
            std::this_thread::yield();
        }
    });
    for (double rate : {44100.0, 96000.0, 22050.0, 44100.0}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        TidewellResampler* replacement = TidewellResamplerCreate(2, kTidewellHelperRingBlockFrames, rate, 48000);
        ASSERT_NE(replacement, nullptr);
        TidewellTapSwitchResampler(&state, queue, replacement, rate);
        EXPECT_EQ(ring->resampler, replacement);
        EXPECT_EQ(ring->inputRate, rate);
    }
    running.store(false);
    producer.join();
    consumer.join();
    while (pending.load() > 0) {
        std::this_thread::yield();
    }

    // From 44100 Hz each 441-frame block becomes about 480 frames at 48000 Hz.
    const uint64_t before = ring->writePosition.load() + ring->dropped.load();
    for (int i = 0; i < 100; ++i) {
        TidewellTapRingWrite(&state, block.get());
    }
    const uint64_t produced = ring->writePosition.load() + ring->dropped.load() - before;
    EXPECT_NEAR(static_cast<double>(produced), 48000.0, 48000.0 * 0.01);
    EXPECT_GT(ring->captured.load(), 0u);

    dispatch_release(queue);
    TidewellHelperRingDestroy(ring);
}

}  // namespace
