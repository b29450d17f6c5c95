#include "TidewellHelpers/TidewellHelperLoop.h"

#include <algorithm>

#include "TidewellHelpers/TidewellCaptureWrite.h"
#include "TidewellHelpers/TidewellHelperSettings.h"

double TidewellHelperLoopInit(TidewellHelperLoop* loop, const TidewellHelperRingCounters& counters,
                              const TidewellAdaptiveFillConfig* config, double durationSeconds) {
    *loop = TidewellHelperLoop{};
    loop->counters = counters;
    loop->durationSeconds = durationSeconds;
    TidewellAdaptiveFillInit(&loop->adaptiveFill, config);
    const double target = loop->adaptiveFill.target;
    counters.targetFill->store(static_cast<uint32_t>(target + 0.5), std::memory_order_relaxed);
    return target;
}

void TidewellHelperLoopRestartFill(TidewellHelperLoop* loop) {
    const TidewellAdaptiveFillConfig config = loop->adaptiveFill.config;
    TidewellAdaptiveFillInit(&loop->adaptiveFill, &config);
    loop->counters.targetFill->store(static_cast<uint32_t>(loop->adaptiveFill.target + 0.5), std::memory_order_relaxed);
    loop->heldUnderrun = 0;
}

bool TidewellHelperPollControls(TidewellControlReader* reader, const char* ownerID, std::atomic<float>* gain,
                                float* channelGains, uint32_t channelCount) {
    if (reader->mapping == nullptr) {
        if (ownerID != nullptr && *ownerID != '\0') {
            TidewellControlReaderOpen(reader, ownerID);
        }
        return false;
    }
    TidewellControlState state{};
    if (!TidewellControlReaderPoll(reader, &state)) {
        return false;
    }
    float newGain = 1.0f;
    float newChannelGains[64];
    const uint32_t count = channelCount > 64 ? 64 : channelCount;
    for (uint32_t c = 0; c < count; ++c) {
        newChannelGains[c] = TidewellLoadGain(channelGains[c]);
    }
    TidewellControlApply(&state, &newGain, newChannelGains, count);
    gain->store(newGain, std::memory_order_relaxed);
    for (uint32_t c = 0; c < count; ++c) {
        TidewellStoreGain(channelGains[c], newChannelGains[c]);
    }
    return true;
}

void TidewellHelperLoopAdvanceFill(TidewellHelperLoop* loop) {
    const uint64_t underrun = loop->counters.underrun->load(std::memory_order_relaxed);
    const uint64_t captured = loop->counters.captured->load(std::memory_order_relaxed);
    const uint64_t explained =
        loop->counters.explainedUnderrun != nullptr ? loop->counters.explainedUnderrun->load(std::memory_order_relaxed) : 0;
    // Explanations settle what waited since the last tick first, then this tick's underruns; what
    // the last tick left unexplained counts now.
    uint64_t credit = explained - loop->previousExplained;
    const uint64_t settled = std::min(credit, loop->heldUnderrun);
    credit -= settled;
    const uint64_t unexplained = loop->heldUnderrun - settled;
    // While the input stalls, underruns say nothing about the fill the stream needs.
    const bool stalled = captured == loop->previousCaptured;
    const uint64_t fresh = underrun - loop->previousUnderrun;
    loop->heldUnderrun = stalled ? 0 : fresh - std::min(credit, fresh);
    loop->previousExplained = explained;
    if (loop->adaptiveFill.config.enabled) {
        const uint64_t delta = stalled ? 0 : unexplained;
        const double target = TidewellAdaptiveFillAdvance(&loop->adaptiveFill, static_cast<double>(delta), 0.1);
        const auto rounded = static_cast<uint32_t>(target + 0.5);
        if (rounded != loop->counters.targetFill->load(std::memory_order_relaxed)) {
            loop->counters.targetFill->store(rounded, std::memory_order_relaxed);
        }
    }
    loop->previousUnderrun = underrun;
    loop->previousCaptured = captured;
}

bool TidewellHelperLoopCountTick(TidewellHelperLoop* loop, FILE* out) {
    ++loop->ticks;
    if (loop->ticks % kTidewellStatusTicks != 0) {
        return false;
    }
    const TidewellHelperRingCounters& c = loop->counters;
    const uint64_t dropped = c.dropped->load(std::memory_order_relaxed);
    const uint64_t underrun = c.underrun->load(std::memory_order_relaxed);
    const uint64_t target = c.targetFill->load(std::memory_order_relaxed);
    if (loop->printedStatus && dropped == loop->statusDropped && underrun == loop->statusUnderrun &&
        target == loop->statusTargetFill) {
        return false;
    }
    const uint64_t read = c.readPosition->load(std::memory_order_acquire);
    const uint64_t write = c.writePosition->load(std::memory_order_acquire);
    std::fprintf(out, "status captured=%llu rendered=%llu dropped=%llu underrun=%llu targetFill=%llu fill=%llu\n",
                 static_cast<unsigned long long>(c.captured->load(std::memory_order_relaxed)),
                 static_cast<unsigned long long>(c.rendered->load(std::memory_order_relaxed)),
                 static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(underrun),
                 static_cast<unsigned long long>(target),
                 static_cast<unsigned long long>(write >= read ? write - read : 0));
    std::fflush(out);
    loop->printedStatus = true;
    loop->statusDropped = dropped;
    loop->statusUnderrun = underrun;
    loop->statusTargetFill = target;
    return true;
}

bool TidewellHelperLoopDurationElapsed(const TidewellHelperLoop* loop) {
    return TidewellHelperDurationElapsed(loop->durationSeconds, loop->ticks);
}

bool TidewellHelperLoopEndTick(TidewellHelperLoop* loop, FILE* out) {
    TidewellHelperLoopAdvanceFill(loop);
    TidewellHelperLoopCountTick(loop, out);
    return TidewellHelperLoopDurationElapsed(loop);
}

void TidewellHelperPrintStopped(FILE* out, const char* what, uint64_t captured, uint64_t rendered,
                                uint64_t dropped, uint64_t underrun, uint64_t steps) {
    std::fprintf(out, "Ring alignment steps: %llu.\n", static_cast<unsigned long long>(steps));
    std::fprintf(out, "Stopped %s. captured=%llu rendered=%llu dropped=%llu underrun=%llu\n", what,
                 static_cast<unsigned long long>(captured), static_cast<unsigned long long>(rendered),
                 static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(underrun));
    std::fflush(out);
}
