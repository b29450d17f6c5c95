#include "Taps.h"

#include "Engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audioserver {

bool TapState::takes(pid_t pid) const {
    bool listed = std::binary_search(pids.begin(), pids.end(), pid);
    return exclusive ? !listed : listed;
}

TapRing::TapRing(uint32_t ch) : channels(ch), data(new float[size_t(kFrames) * ch]()) {}

bool TapsMute(const TapFeedSet& set, pid_t pid) {
    for (const TapFeed& f : set.taps) {
        const TapState& t = *f.tap;
        bool muting = t.mute == kAudioTapMuteBehaviorMuted ||
                      (t.mute == kAudioTapMuteBehaviorMutedWhenTapped && t.running());
        if (muting && t.takes(pid)) return true;
    }
    return false;
}

namespace {

// Adds one client's output, mixed down to two sides, into scratch (interleaved L/R). The
// stream layout is read from the client's block, which the client can write: each value is
// read once and a stream that would reach outside the block is left out, so a confused or
// hostile client can never make the server read beyond its mapping.
void AddMixdown(const EngineClient& c, uint32_t frames, float* scratch) {
    const audioproto::IOBlockHeader* h = c.header;
    const auto* block = static_cast<const uint8_t*>(c.mapping);
    struct Stream {
        uint32_t offset, channels;
    } streams[audioproto::kMaxIOStreams];
    const uint32_t count = std::min<uint32_t>(__atomic_load_n(&h->outputStreamCount, __ATOMIC_RELAXED),
                                              audioproto::kMaxIOStreams);
    uint32_t total = 0;
    for (uint32_t s = 0; s < count; ++s) {
        uint32_t offset = __atomic_load_n(&h->outputs[s].offset, __ATOMIC_RELAXED);
        uint32_t channels = __atomic_load_n(&h->outputs[s].channels, __ATOMIC_RELAXED);
        const uint64_t bytes = uint64_t(frames) * channels * sizeof(float);
        if (offset % alignof(float) != 0 || offset > c.size || bytes > c.size - offset) channels = 0;
        streams[s] = {offset, channels};
        total += channels;
    }
    uint32_t first = 0;
    for (uint32_t s = 0; s < count && first < 2; ++s) {
        const auto* src = reinterpret_cast<const float*>(block + streams[s].offset);
        const uint32_t sc = streams[s].channels;
        for (uint32_t k = 0; k < sc && first + k < 2; ++k) {
            const uint32_t side = first + k;
            for (uint32_t i = 0; i < frames; ++i) {
                float v = src[size_t(i) * sc + k];
                if (total == 1) {
                    scratch[2 * i] += v;
                    scratch[2 * i + 1] += v;
                } else {
                    scratch[2 * i + side] += v;
                }
            }
        }
        first += sc;
    }
}

void Push(TapRing& ring, const float* stereo, uint32_t frames, double rate, double effRate) {
    ring.rate.store(rate, std::memory_order_relaxed);
    ring.effectiveRate.store(effRate, std::memory_order_relaxed);
    ring.blockFrames.store(frames, std::memory_order_relaxed);
    const uint64_t w = ring.writePos.load(std::memory_order_relaxed);
    const uint64_t r = ring.readPos.load(std::memory_order_acquire);
    if (TapRing::kFrames - (w - r) < frames) {
        ring.dropped.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    const uint32_t ch = ring.channels;
    for (uint32_t i = 0; i < frames; ++i) {
        float* dst = ring.data.get() + size_t((w + i) % TapRing::kFrames) * ch;
        if (ch == 1) dst[0] = 0.5f * (stereo[2 * i] + stereo[2 * i + 1]);
        else {
            dst[0] = stereo[2 * i];
            dst[1] = stereo[2 * i + 1];
        }
    }
    ring.writePos.store(w + frames, std::memory_order_release);
}

}  // namespace

void TapsFeed(const TapFeedSet& set, const std::vector<EngineClient*>& clients, uint32_t frames, double rate,
              double effRate, float* scratch) {
    frames = std::min(frames, audioproto::kMaxIOFrames);
    for (const TapFeed& f : set.taps) {
        const TapState& t = *f.tap;
        if (!t.running()) continue;
        std::fill(scratch, scratch + size_t(frames) * 2, 0.0f);
        for (const EngineClient* c : clients)
            if (c->pending && t.takes(c->pid)) AddMixdown(*c, frames, scratch);
        Push(*f.ring, scratch, frames, rate, effRate);
    }
}

void TapsSkipFeed(const TapFeedSet& set, uint64_t frames) {
    for (const TapFeed& f : set.taps) {
        if (!f.tap->running()) continue;
        TapRing& ring = *f.ring;
        const uint64_t w = ring.writePos.load(std::memory_order_relaxed);
        const uint64_t r = ring.readPos.load(std::memory_order_acquire);
        const uint64_t n = std::min<uint64_t>(frames, TapRing::kFrames - std::min<uint64_t>(w - r, TapRing::kFrames));
        for (uint64_t i = 0; i < n; ++i)
            std::fill_n(ring.data.get() + size_t((w + i) % TapRing::kFrames) * ring.channels, ring.channels, 0.0f);
        ring.writePos.store(w + n, std::memory_order_release);
    }
}

namespace {

// Cycles a reader waits for the producer's silence for a stall before it gives up on it.
constexpr uint32_t kOwingCyclesLimit = 64;

// The ring frames `frames` frames of this device stand for.
double ProducerFrames(const TapRing& ring, uint64_t frames, double rate, double effRate, bool compensate) {
    const double srcRate = compensate ? ring.effectiveRate.load(std::memory_order_relaxed)
                                      : ring.rate.load(std::memory_order_relaxed);
    if (compensate) rate = effRate;
    return srcRate > 0 && rate > 0 ? static_cast<double>(frames) * srcRate / rate : 0.0;
}

}  // namespace

void TapsSkipInput(TapInputSet& set, uint64_t frames, double rate, double effRate) {
    for (auto& stream : set.streams) {
        for (const auto& ring : stream.rings) {
            // A ring not yet primed starts from the priming fill anyway.
            if (!ring->primed) continue;
            ring->skipOwed += static_cast<uint64_t>(
                std::llround(ProducerFrames(*ring, frames, rate, effRate, stream.driftCompensation)));
        }
    }
}

namespace {

// Adds `frames` frames at `rate` (really running at `effRate`) from one ring into out
// (interleaved, outCh wide). With drift compensation the two devices' real rates set the
// step, so a ring's fill holds however their clocks drift; without it the nominal rates
// do, and the fill is kept only by skipping ahead or waiting for a new priming fill.
void Pull(TapRing& ring, float* out, uint32_t outCh, uint32_t frames, double rate, double effRate, bool compensate) {
    const double srcRate = compensate ? ring.effectiveRate.load(std::memory_order_relaxed)
                                      : ring.rate.load(std::memory_order_relaxed);
    if (compensate) rate = effRate;
    if (!(srcRate > 0) || !(rate > 0)) return;
    const uint32_t block = ring.blockFrames.load(std::memory_order_relaxed);
    uint64_t r = ring.readPos.load(std::memory_order_relaxed);
    const uint64_t w = ring.writePos.load(std::memory_order_acquire);
    const double step = srcRate / rate;
    // Frames the interpolation touches this cycle: up to one beyond the last position.
    const auto need = static_cast<uint64_t>(ring.fraction + (frames - 1) * step) + 2;
    // Enough to ride out the two devices' cycles landing in either order, and a few
    // milliseconds of lateness on a loaded machine.
    const uint64_t prime = need + block + kTapMarginFrames;
    const uint64_t ceiling = std::min<uint64_t>(4 * prime + 1024, TapRing::kFrames / 2);
    if (!ring.primed) {
        if (w - r < prime) return;
        ring.primed = true;
        ring.fraction = 0.0;
        // Start at the priming fill, whatever waited before.
        ring.readPos.store(w - prime, std::memory_order_release);
        Pull(ring, out, outCh, frames, rate, effRate, compensate);
        return;
    }
    uint64_t avail = w - r;
    if (ring.skipOwed > 0) {
        const uint64_t skipped = std::min(ring.skipOwed, avail);
        ring.skipOwed -= skipped;
        r += skipped;
        avail -= skipped;
        ring.readPos.store(r, std::memory_order_release);
        if (ring.skipOwed > 0) {
            // The producer's silence for the same time has not come yet: this cycle is owed too,
            // and plays nothing meanwhile. A producer that never brings it has stopped; the
            // ring then waits for a new priming fill.
            const double want = ring.fraction + frames * step;
            const auto whole = static_cast<uint64_t>(std::floor(want));
            ring.fraction = want - static_cast<double>(whole);
            ring.skipOwed += whole;
            if (++ring.owingCycles > kOwingCyclesLimit) {
                ring.skipOwed = 0;
                ring.primed = false;
            }
            return;
        }
    }
    ring.owingCycles = 0;
    const double want = ring.fraction + frames * step;
    if (avail < need) {
        ring.primed = false;  // ran dry: wait for the fill again
        return;
    }
    const uint32_t ch = ring.channels;
    const float* data = ring.data.get();
    for (uint32_t i = 0; i < frames; ++i) {
        const double pos = ring.fraction + i * step;
        const auto i0 = static_cast<uint64_t>(pos);
        const auto t = static_cast<float>(pos - static_cast<double>(i0));
        const float* a = data + size_t((r + i0) % TapRing::kFrames) * ch;
        const float* b = data + size_t((r + i0 + 1) % TapRing::kFrames) * ch;
        for (uint32_t k = 0; k < outCh; ++k) {
            const uint32_t from = std::min(k, ch - 1);
            out[size_t(i) * outCh + k] += a[from] + (b[from] - a[from]) * t;
        }
    }
    const auto consumed = static_cast<uint64_t>(std::floor(want));
    ring.fraction = want - static_cast<double>(consumed);
    uint64_t next = r + consumed;
    // A producer running faster than this device: drop the excess to keep latency bounded.
    if (w - next > ceiling) next = w - prime;
    ring.readPos.store(next, std::memory_order_release);
}

}  // namespace

void TapsProduceInput(TapInputSet& set, std::vector<std::vector<uint8_t>>& streams, uint32_t frames, double rate,
                      double effRate) {
    frames = std::min(frames, audioproto::kMaxIOFrames);
    if (frames == 0) return;
    const uint32_t gen = set.startGeneration ? set.startGeneration->load(std::memory_order_acquire) : 0;
    const bool restart = gen != set.seenGeneration;
    set.seenGeneration = gen;
    for (size_t s = 0; s < streams.size(); ++s) {
        auto* out = reinterpret_cast<float*>(streams[s].data());
        if (s >= set.streams.size()) continue;
        const uint32_t ch = set.streams[s].tap->channels;
        std::fill(out, out + size_t(frames) * ch, 0.0f);
        for (const auto& ring : set.streams[s].rings) {
            if (restart) {
                ring->primed = false;
                ring->skipOwed = 0;
            }
            Pull(*ring, out, ch, frames, rate, effRate, set.streams[s].driftCompensation);
        }
    }
}

}  // namespace audioserver
