#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "TidewellStream/TidewellHelperRing.h"

namespace {

struct RingDeleter {
    void operator()(TidewellHelperRing* r) const { TidewellHelperRingDestroy(r); }
};

}  // namespace

// A capture thread and a render thread hammer one ring, with overflow and resync both happening.
// Every frame carries its number on channel 0 and the negated number on channel 1: a frame torn
// by a concurrent overwrite, or one from an older or newer lap of the ring, breaks the rising
// sequence. Gaps are fine (frames refused on overflow or skipped by a resync), and the counters
// must account for every frame.
TEST(HelperRingConcurrency, WriterAndReaderNeverSeeTornFramesAndEveryFrameIsAccountedFor) {
    std::unique_ptr<TidewellHelperRing, RingDeleter> ring(TidewellHelperRingCreate(2, 2, 48000));
    ASSERT_NE(ring, nullptr);
    ring->targetFill.store(2048);
    constexpr uint64_t kFrames = 6'000'000;   // stays exact in a float
    std::atomic<bool> writerDone{false};

    std::thread writer([&] {
        std::mt19937 random(1);
        std::uniform_int_distribution<uint32_t> size(1, 1024);
        std::uniform_int_distribution<int> pause(0, 200);
        std::vector<float> block(1024 * 2);
        uint64_t next = 1;
        while (next <= kFrames) {
            const uint64_t count = std::min<uint64_t>(size(random), kFrames - next + 1);
            for (uint64_t i = 0; i < count; ++i) {
                block[i * 2] = static_cast<float>(next + i);
                block[i * 2 + 1] = -static_cast<float>(next + i);
            }
            RingAppend(ring.get(), block.data(), count);
            next += count;
            if (pause(random) == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        writerDone.store(true);
    });

    std::mt19937 random(2);
    std::uniform_int_distribution<uint32_t> size(1, 1024);
    std::uniform_int_distribution<int> pause(0, 100);
    std::vector<float> out(1024 * 2);
    double last = 0.0;
    uint64_t failures = 0;
    for (;;) {
        const bool done = writerDone.load();
        const uint32_t count = size(random);
        const uint64_t before = ring->readPosition.load();
        RingRead(ring.get(), out.data(), count);
        EXPECT_GE(ring->readPosition.load(), before);
        for (uint32_t i = 0; i < count && failures < 10; ++i) {
            const float a = out[i * 2];
            const float b = out[i * 2 + 1];
            if (a == 0.0f) {
                // Silence only after the frames that were there.
                for (uint32_t j = i; j < count; ++j) {
                    if (out[j * 2] != 0.0f || out[j * 2 + 1] != 0.0f) ++failures;
                }
                break;
            }
            if (b != -a || a <= last) {
                ++failures;
                ADD_FAILURE() << "frame " << a << "/" << b << " after " << last;
            }
            last = a;
        }
        if (pause(random) == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (done && ring->writePosition.load() == ring->readPosition.load()) break;
    }
    writer.join();
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(ring->captured.load(), kFrames);
    const uint64_t played = ring->rendered.load() - ring->underrun.load();
    const uint64_t fill = ring->writePosition.load() - ring->readPosition.load();
    EXPECT_EQ(played + ring->dropped.load() + fill, kFrames);
    EXPECT_GT(ring->dropped.load(), 0u) << "the run should have overflowed or resynced at least once";
}

// The capture side runs the whole write path (drift control, resampler, append) while the
// render side reads and the main thread changes the target and the gain, as the helpers do.
TEST(HelperRingConcurrency, ResampleAndAppendAgainstAReaderAndTheMainLoop) {
    std::unique_ptr<TidewellHelperRing, RingDeleter> ring(TidewellHelperRingCreate(2, 2, 44100));
    ASSERT_NE(ring, nullptr);
    ring->targetFill.store(224);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int block = 0; block < 3000 && !stop.load(); ++block) {
            for (uint32_t i = 0; i < 441 * 2; ++i) ring->routedBlock[i] = 0.25f;
            ResampleAndAppend(ring.get(), 441);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        stop.store(true);
    });
    std::thread reader([&] {
        std::vector<float> out(480 * 2);
        while (!stop.load()) {
            OutputBridgeCallback(ring.get(), out.data(), 480, 2);
            for (float v : out) {
                ASSERT_LT(std::fabs(v), 0.6f) << v;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    for (int tick = 0; !stop.load(); ++tick) {
        ring->targetFill.store(tick % 2 ? 224 : 416);
        ring->masterGain.store(tick % 3 ? 1.0f : 2.0f);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writer.join();
    reader.join();
    EXPECT_GT(ring->captured.load(), 0u);
    EXPECT_GT(ring->rendered.load(), 0u);
}
