// The taps' IO path on its own: which clients a tap takes and mutes, the mixdown it is fed,
// and how an aggregate reads the rings (priming, rate conversion, running dry, overflow).
#include "Engine.h"
#include "Taps.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace audioserver;

namespace {

// A client whose output streams hold constant values, channel by channel.
std::shared_ptr<EngineClient> Client(pid_t pid, std::vector<StreamSpec> outputs, std::vector<float> values, uint32_t frames) {
    EngineDevice dev;
    dev.outputs = outputs;
    auto c = CreateEngineClient(dev, 1, pid);
    auto* block = static_cast<uint8_t*>(c->mapping);
    size_t v = 0;
    for (uint32_t s = 0; s < c->header->outputStreamCount; ++s) {
        auto* out = reinterpret_cast<float*>(block + c->header->outputs[s].offset);
        uint32_t ch = c->header->outputs[s].channels;
        for (uint32_t k = 0; k < ch; ++k, ++v)
            for (uint32_t i = 0; i < frames; ++i) out[i * ch + k] = values.at(v);
    }
    c->pending = true;
    return c;
}

std::shared_ptr<TapState> Tap(std::vector<pid_t> pids, bool exclusive = false, uint32_t channels = 2,
                              AudioTapMuteBehavior mute = kAudioTapMuteBehaviorUnmuted) {
    auto t = std::make_shared<TapState>();
    t->pids = pids;
    t->exclusive = exclusive;
    t->channels = channels;
    t->mute = mute;
    return t;
}

// The frames a ring holds, from its read position.
std::vector<float> Held(const TapRing& r) {
    std::vector<float> v;
    for (uint64_t p = r.readPos.load(); p < r.writePos.load(); ++p)
        for (uint32_t k = 0; k < r.channels; ++k) v.push_back(r.data[(p % TapRing::kFrames) * r.channels + k]);
    return v;
}

std::vector<float> Feed(const std::shared_ptr<TapState>& tap, const std::vector<std::shared_ptr<EngineClient>>& clients,
                        uint32_t frames = 2) {
    TapFeedSet set;
    auto ring = std::make_shared<TapRing>(tap->channels);
    set.taps.push_back({tap, ring});
    std::vector<EngineClient*> raw;
    for (auto& c : clients) raw.push_back(c.get());
    std::vector<float> scratch(2 * 4096);
    TapsFeed(set, raw, frames, 48000, 48000, scratch.data());
    return Held(*ring);
}

}  // namespace

TEST(TapFeed, TakesItsProcessesMixedDownToTwoSidesOnlyWhileRunning) {
    auto stereo = Client(10, {{2}}, {0.5f, -0.25f}, 2);
    auto mono = Client(20, {{1}}, {0.125f}, 2);
    auto wide = Client(30, {{1}, {3}}, {0.01f, 0.02f, 0.04f, 0.08f}, 2);  // channels 3 and 4 not taken

    auto tap = Tap({10});
    EXPECT_TRUE(Feed(tap, {stereo, mono}).empty());  // not running: nothing fed
    tap->runCount = 1;
    EXPECT_EQ(Feed(tap, {stereo, mono}), (std::vector<float>{0.5f, -0.25f, 0.5f, -0.25f}));

    auto others = Tap({10}, true);
    others->runCount = 1;
    EXPECT_EQ(Feed(others, {stereo, mono, wide}),
              (std::vector<float>{0.125f + 0.01f, 0.125f + 0.02f, 0.125f + 0.01f, 0.125f + 0.02f}));

    auto one = Tap({10, 20}, false, 1);
    one->runCount = 1;
    EXPECT_EQ(Feed(one, {stereo, mono}, 1), (std::vector<float>{0.5f * (0.5f - 0.25f) + 0.125f}));

    stereo->pending = false;  // late this cycle: its output is not there to take
    EXPECT_EQ(Feed(tap, {stereo}, 1), (std::vector<float>{0.0f, 0.0f}));
}

TEST(TapFeed, AClientsLayoutThatReachesOutsideItsBlockIsLeftOut) {
    // The client can write its block's header; the server must not follow it out of the block.
    auto good = Client(10, {{2}}, {0.5f, -0.25f}, 2);
    auto bad = Client(11, {{2}, {2}}, {0.1f, 0.2f, 0.3f, 0.4f}, 2);
    auto* header = const_cast<audioproto::IOBlockHeader*>(bad->header);
    header->outputs[0].channels = 0x40000000;  // an absurd width: strides far past the block
    header->outputs[1].offset = bad->size - 4;  // runs past the end
    auto tap = Tap({10, 11});
    tap->runCount = 1;
    EXPECT_EQ(Feed(tap, {good, bad}), (std::vector<float>{0.5f, -0.25f, 0.5f, -0.25f}));

    header->outputStreamCount = 1000;  // more streams than a block can describe
    header->outputs[0].offset = 3;     // misaligned
    EXPECT_EQ(Feed(tap, {good, bad}), (std::vector<float>{0.5f, -0.25f, 0.5f, -0.25f}));
}

TEST(TapFeed, MutesByBehaviourAndRunningState) {
    auto whenTapped = Tap({10}, false, 2, kAudioTapMuteBehaviorMutedWhenTapped);
    auto always = Tap({20}, false, 2, kAudioTapMuteBehaviorMuted);
    auto never = Tap({30}, true, 2, kAudioTapMuteBehaviorUnmuted);
    TapFeedSet set;
    for (auto& t : {whenTapped, always, never}) set.taps.push_back({t, std::make_shared<TapRing>(2)});
    EXPECT_FALSE(TapsMute(set, 10));
    EXPECT_TRUE(TapsMute(set, 20));
    EXPECT_FALSE(TapsMute(set, 40));
    whenTapped->runCount = 1;
    never->runCount = 1;
    EXPECT_TRUE(TapsMute(set, 10));
    EXPECT_FALSE(TapsMute(set, 40));
    auto global = Tap({10}, true, 2, kAudioTapMuteBehaviorMutedWhenTapped);
    global->runCount = 1;
    set.taps.push_back({global, std::make_shared<TapRing>(2)});
    EXPECT_TRUE(TapsMute(set, 40));
}

namespace {

struct Reader {
    std::shared_ptr<TapRing> ring = std::make_shared<TapRing>(1);
    TapInputSet set;
    std::vector<std::vector<uint8_t>> streams{std::vector<uint8_t>(4096 * 4)};
    float next = 1.0f;  // the ramp the producer writes

    explicit Reader(double producerRate) {
        auto tap = Tap({}, true, 1);
        set.streams.push_back({tap, {ring}});
        set.startGeneration = std::make_shared<std::atomic<uint32_t>>(0);
        ring->rate = producerRate;
        ring->effectiveRate = producerRate;
    }
    void produce(uint32_t frames) {
        ring->blockFrames = frames;
        uint64_t w = ring->writePos;
        for (uint32_t i = 0; i < frames; ++i) ring->data[(w + i) % TapRing::kFrames] = next++;
        ring->writePos = w + frames;
    }
    std::vector<float> consume(uint32_t frames, double rate = 48000, double effRate = 0) {
        TapsProduceInput(set, streams, frames, rate, effRate > 0 ? effRate : rate);
        auto* p = reinterpret_cast<const float*>(streams[0].data());
        return std::vector<float>(p, p + frames);
    }
};

}  // namespace

TEST(TapInput, PrimesThenCopiesAtEqualRatesAndReprimesWhenDry) {
    Reader r(48000);
    r.produce(64);
    EXPECT_EQ(r.consume(64), std::vector<float>(64, 0.0f));  // below the priming fill
    for (int i = 0; i < 6; ++i) r.produce(64);
    auto out = r.consume(64);
    // Starts one priming fill (64 + 1 + 64 + margin frames: this cycle, one for
    // interpolation, the producer's cycle, a margin) behind the newest frame, then follows
    // the producer.
    const float first = 448 - (64 + 1 + 64 + kTapMarginFrames) + 1;
    for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(out[i], first + float(i)) << i;
    out = r.consume(64);
    EXPECT_EQ(out[0], first + 64);
    // The producer stops: the reader uses what is left, then goes silent and waits for a
    // full priming fill again.
    while (r.ring->writePos - r.ring->readPos >= 65) r.consume(64);
    EXPECT_EQ(r.consume(64), std::vector<float>(64, 0.0f));
    EXPECT_FALSE(r.ring->primed);
    r.produce(64);
    EXPECT_EQ(r.consume(64), std::vector<float>(64, 0.0f));
}

TEST(TapInput, ConvertsTheProducersRateByInterpolation) {
    Reader r(96000);
    r.produce(2048);
    r.produce(2048);
    auto out = r.consume(128);
    for (uint32_t i = 1; i < 128; ++i) ASSERT_FLOAT_EQ(out[i] - out[i - 1], 2.0f) << i;  // every second frame
    Reader slow(24000);
    slow.produce(2048);
    slow.produce(2048);
    out = slow.consume(128);
    for (uint32_t i = 1; i < 128; ++i) ASSERT_FLOAT_EQ(out[i] - out[i - 1], 0.5f) << i;  // halfway frames
}

TEST(TapInput, DriftCompensationConvertsByTheClocksRealRates) {
    Reader r(48000);
    r.ring->effectiveRate = 48000 * 1.002;  // the producer's clock runs 2000 ppm fast
    r.produce(2048);
    r.produce(2048);
    auto out = r.consume(128, 48000, 48000 * 0.999);
    for (uint32_t i = 1; i < 128; ++i) ASSERT_FLOAT_EQ(out[i] - out[i - 1], 1.0f) << i;  // not asked for
    r.set.streams[0].driftCompensation = true;
    out = r.consume(128, 48000, 48000 * 0.999);
    for (uint32_t i = 1; i < 128; ++i) ASSERT_NEAR(out[i] - out[i - 1], 1.002 / 0.999, 5e-4) << i;
}

TEST(TapInput, BoundsItsLatencyAndDropsWhatDoesNotFit) {
    Reader r(48000);
    r.produce(512);
    r.produce(512);
    EXPECT_NE(r.consume(64)[0], 0.0f);
    // A producer far ahead: the reader skips to one priming fill behind it.
    for (int i = 0; i < 20; ++i) r.produce(512);
    r.consume(64);
    EXPECT_EQ(r.ring->writePos - r.ring->readPos, 64u + 1 + 512 + kTapMarginFrames);

    // A full ring refuses a block whole and counts it.
    TapFeedSet set;
    auto tap = Tap({7}, false, 2);
    tap->runCount = 1;
    auto ring = std::make_shared<TapRing>(2);
    set.taps.push_back({tap, ring});
    auto c = Client(7, {{2}}, {0.1f, 0.2f}, 4096);
    std::vector<EngineClient*> clients{c.get()};
    std::vector<float> scratch(2 * 4096);
    for (int i = 0; i < 4; ++i) TapsFeed(set, clients, 4096, 48000, 48000, scratch.data());
    EXPECT_EQ(ring->writePos.load(), 4u * 4096);
    TapsFeed(set, clients, 4096, 48000, 48000, scratch.data());
    EXPECT_EQ(ring->writePos.load(), 4u * 4096);
    EXPECT_EQ(ring->dropped.load(), 4096u);
}

TEST(TapInput, ANewRunStartsFromFreshAudio) {
    Reader r(48000);
    r.produce(1024);
    r.produce(1024);
    EXPECT_EQ(r.consume(64)[0], 2048 - (64 + 1 + 1024 + kTapMarginFrames) + 1);
    r.produce(64);
    r.set.startGeneration->fetch_add(1);  // the aggregate stopped and started again
    r.produce(1024);
    auto out = r.consume(64);
    const float newest = r.next - 1;
    EXPECT_EQ(out[0], newest - (64 + 1 + 1024 + kTapMarginFrames) + 1);
}

// A server held up past several cycles: the producing device and the aggregate both lose the
// cycles of the stall on their own clocks, and resume in either order. The producer writes its
// device's sample time (plus one), so that every frame the aggregate reads tells how late it is:
// the tap keeps one latency across the stall, with silence for what the device never played.
TEST(TapInput, AStallOfBothDevicesKeepsTheTapOnTheDevicesClock) {
    for (const bool readerFirst : {false, true}) {
        SCOPED_TRACE(readerFirst ? "the aggregate resumes first" : "the producing device resumes first");
        Reader r(48000);
        TapFeedSet feed;
        auto tap = Tap({}, true, 1);
        tap->runCount = 1;
        feed.taps.push_back({tap, r.ring});
        constexpr uint64_t kProducerFrames = 512, kReaderFrames = 192, kReaderPhase = 100;
        constexpr uint64_t kStallFrom = 48000, kStallUntil = 48000 + 9600;   // 200 ms
        std::set<int64_t> before, after;
        uint64_t silent = 0, producerCycle = 0, readerCycle = 0;
        auto produce = [&] {
            const uint64_t at = producerCycle++ * kProducerFrames;
            r.next = static_cast<float>(at + 1);
            r.produce(kProducerFrames);
        };
        auto consume = [&] {
            const uint64_t at = readerCycle++ * kReaderFrames + kReaderPhase;
            const auto out = r.consume(kReaderFrames);
            for (uint64_t i = 0; i < kReaderFrames; ++i) {
                if (out[i] == 0.0f) {
                    silent += at >= kStallUntil ? 1 : 0;
                    continue;
                }
                const auto late = static_cast<int64_t>(at + i) - static_cast<int64_t>(out[i] - 1);
                (at < kStallFrom ? before : after).insert(late);
            }
        };
        // Each side's cycles that begin within the stall are lost; a side skips them on its grid.
        auto lost = [&](uint64_t cycle, uint64_t frames, uint64_t phase) {
            uint64_t n = 0;
            while ((cycle + n) * frames + phase >= kStallFrom && (cycle + n) * frames + phase < kStallUntil) ++n;
            return n;
        };
        bool stalled = false;
        while (readerCycle * kReaderFrames + kReaderPhase < 2 * 48000) {
            const uint64_t producerAt = producerCycle * kProducerFrames;
            const uint64_t readerAt = readerCycle * kReaderFrames + kReaderPhase;
            if (!stalled && producerAt >= kStallFrom && readerAt >= kStallFrom) {
                stalled = true;
                const uint64_t producerLost = lost(producerCycle, kProducerFrames, 0);
                const uint64_t readerLost = lost(readerCycle, kReaderFrames, kReaderPhase);
                auto resumeProducer = [&] {
                    producerCycle += producerLost;
                    TapsSkipFeed(feed, producerLost * kProducerFrames);
                    produce();
                };
                auto resumeReader = [&] {
                    readerCycle += readerLost;
                    TapsSkipInput(r.set, readerLost * kReaderFrames, 48000, 48000);
                    consume();
                };
                if (readerFirst) {
                    resumeReader();
                    resumeProducer();
                } else {
                    resumeProducer();
                    resumeReader();
                }
                continue;
            }
            if (!stalled && (producerAt >= kStallFrom || readerAt >= kStallFrom)) {
                // One side has reached the stall: the other goes on up to it.
                if (producerAt < kStallFrom) produce();
                else consume();
                continue;
            }
            if (producerAt <= readerAt) produce();
            else consume();
        }
        ASSERT_EQ(before.size(), 1u) << "the tap's latency before the stall varies";
        EXPECT_EQ(after, before) << "after the stall";
        // Silence where the device played nothing, and no more than the stall and a cycle.
        EXPECT_LE(silent, kStallUntil - kStallFrom + kProducerFrames);
    }
}
