#include "TidewellStream/TidewellStreamClock.h"

#include <AudioClient/AudioHardware.h>

#include <algorithm>
#include <cmath>

static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

namespace {

constexpr double kClockTimeConstant = 10.0;    // seconds the rate is averaged over
constexpr double kClockMinimumSpan = 0.2;      // seconds before a rate is reported
// A sample time that jumps back, or ahead by more than this many cycles, is a new timeline.
constexpr double kClockLargestAdvance = 64.0;
// How far a device's points stray from its line, as a running mean (weight per point); below a
// hundredth of a cycle its stamps count as exact. It starts above any cycle's length, so a
// device proves its stamps exact (in a second or two) before a point off its line counts as a jump.
constexpr double kScatterWeight = 0.05;
constexpr double kExactScatter = 0.01;
constexpr double kStartScatter = 0.05;         // seconds

constexpr double kAlignSeconds = 0.25;         // fill measured before an alignment
constexpr double kSmoothingSeconds = 1.0;      // of the fill error the trim follows
constexpr double kTrimPerFrame = 1e-6;         // 1 ppm per frame of error beyond the dead band
// The measured fill ripples by a fraction of a frame with the beat of the two sides' cycles; a
// trim that followed the ripple would wobble the resampler's position with it, a phase
// modulation heard as sidebands around every tone. Within a frame of the target the clocks'
// ratio stands alone.
constexpr double kTrimDeadBand = 1.0;
constexpr double kTrimLimit = 10e-6;           // the trim never moves the pitch audibly
constexpr double kSettleSeconds = 0.5;         // after an alignment before a step is judged
// Two clocks whose rates agree within 0.1 ppm are one clock (two devices paced by the same host
// clock, as a virtual device and any device beside it are): what tells them apart is the noise of
// their time stamps. Their ratio is taken as exactly 1, so that an equal-rate resampler keeps
// copying. Two crystals never agree that closely for long, and what drift there is the fill trim
// follows (10 ppm of it, a frame of fill error for each ppm).
constexpr double kSameClock = 1e-7;

}  // namespace

TidewellBlockTime TidewellBlockTimeNow() {
    return TidewellBlockTime{AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()), 0.0, true, false};
}

void TidewellStreamClockInit(TidewellStreamClock* clock, double nominalRate) {
    clock->nominalRate = nominalRate;
    clock->timeConstant = kClockTimeConstant;
    TidewellStreamClockRestart(clock);
}

void TidewellStreamClockRestart(TidewellStreamClock* clock) {
    clock->started = false;
    clock->lastNanos = 0;
    clock->lastSampleTime = 0;
    clock->lastHasSampleTime = false;
    clock->lastFrames = 0;
    clock->position = 0;
    clock->pendingAdvance = 0;
    clock->startSeconds = 0;
    clock->sw = clock->st = clock->sp = clock->stt = clock->stp = 0;
    clock->scatter = kStartScatter;
    clock->rate.store(0.0, std::memory_order_relaxed);
}

void TidewellStreamClockAddBlock(TidewellStreamClock* clock, uint32_t frames, const TidewellBlockTime& given) {
    if (clock == nullptr || frames == 0) {
        return;
    }
    const TidewellBlockTime time = given.hasHostTime ? given : TidewellBlockTime{TidewellBlockTimeNow().hostNanos,
                                                                                 given.sampleTime, true,
                                                                                 given.hasSampleTime};
    if (!clock->started) {
        clock->started = true;
        clock->lastNanos = time.hostNanos;
        clock->lastSampleTime = time.sampleTime;
        clock->lastHasSampleTime = time.hasSampleTime;
        clock->lastFrames = frames;
        clock->sw = 1;
        return;
    }
    const double dt = static_cast<double>(static_cast<int64_t>(time.hostNanos - clock->lastNanos)) * 1e-9;
    double advance = 0;
    if (time.hasSampleTime && clock->lastHasSampleTime) {
        advance = time.sampleTime - clock->lastSampleTime;
        if (advance == 0) {
            return;   // another piece of the same cycle
        }
    } else {
        // Without sample times: whole cycles of the last size passed, at least one.
        const double period = clock->lastFrames / clock->nominalRate;
        advance = std::max(1.0, std::round(dt / period)) * clock->lastFrames;
    }
    const double largest = kClockLargestAdvance * std::max(frames, clock->lastFrames);
    if (dt == 0 && advance > 0 && advance <= largest && time.hasSampleTime) {
        // A slice of a cycle that shares its host time: its frames count at the next point.
        clock->pendingAdvance += advance;
        clock->lastSampleTime = time.sampleTime;
        return;
    }
    advance += clock->pendingAdvance;
    clock->pendingAdvance = 0;
    if (!(dt > 0) || !(advance > 0) || advance > largest) {
        // A new timeline (a restarted device, a stall): start measuring again from here.
        TidewellStreamClockRestart(clock);
        TidewellStreamClockAddBlock(clock, frames, time);
        return;
    }
    // Exact stamps lie on the device's line to a few microseconds. Where they have done so, a
    // point a quarter cycle or more off it is a jump of the device's timeline (a stalled device
    // resuming on a new grid), not its rate: the history moves with the jump, where fitted it
    // would bend the rate for seconds. Stamps that scatter (a queue's) are fitted as they come.
    double fitted = dt;
    const double measured = clock->rate.load(std::memory_order_relaxed);
    if (time.timelineMoved) {
        // The shift is no time the device took: fitted, a cycle's worth of it in the first
        // moments bends the rate by hundreds of ppm for seconds, which the ring follows and so
        // drifts off its fill. The history moves with it; without a rate yet, it starts again.
        if (!(measured > 0)) {
            TidewellStreamClockRestart(clock);
            TidewellBlockTime next = time;
            next.timelineMoved = false;
            TidewellStreamClockAddBlock(clock, frames, next);
            return;
        }
        fitted = advance / measured;
    } else if (measured > 0 && time.hasSampleTime && clock->lastHasSampleTime) {
        const double cycle = clock->lastFrames / measured;
        const double residual = std::fabs(dt - advance / measured);
        if (residual > 0.25 * cycle && clock->scatter < kExactScatter * cycle) {
            fitted = advance / measured;
        } else {
            clock->scatter += kScatterWeight * (std::min(residual, cycle) - clock->scatter);
        }
    }
    // Forget old points, then move the origin to the new point (which adds only its weight).
    const double decay = std::exp(-dt / clock->timeConstant);
    double sw = clock->sw * decay, st = clock->st * decay, sp = clock->sp * decay;
    double stt = clock->stt * decay, stp = clock->stp * decay;
    const double a = fitted, b = advance;
    stt = stt - 2 * a * st + a * a * sw;
    stp = stp - a * sp - b * st + a * b * sw;
    st = st - a * sw;
    sp = sp - b * sw;
    sw += 1;
    clock->sw = sw, clock->st = st, clock->sp = sp, clock->stt = stt, clock->stp = stp;
    clock->position += advance;
    clock->startSeconds += fitted;
    clock->lastNanos = time.hostNanos;
    clock->lastSampleTime = time.sampleTime;
    clock->lastHasSampleTime = time.hasSampleTime;
    clock->lastFrames = frames;
    const double denominator = sw * stt - st * st;
    if (clock->startSeconds >= kClockMinimumSpan && denominator > 0) {
        const double rate = (sw * stp - st * sp) / denominator;
        if (std::isfinite(rate) && rate > 0) {
            clock->rate.store(rate, std::memory_order_relaxed);
        }
    }
}

double TidewellStreamClockRate(const TidewellStreamClock* clock) {
    return clock == nullptr ? 0.0 : clock->rate.load(std::memory_order_relaxed);
}

double TidewellCycleGapUpdate(TidewellCycleGap* gap, const TidewellBlockTime& time, uint32_t frames, double largest) {
    if (!time.hasSampleTime || frames == 0) {
        gap->started = false;
        return 0;
    }
    if (gap->started && time.sampleTime == gap->cycleSample) {
        gap->expectedSample += frames;   // a further piece of the same cycle, stamped alike
        return 0;
    }
    const double missed = gap->started ? time.sampleTime - gap->expectedSample : 0.0;
    gap->cycleSample = time.sampleTime;
    gap->expectedSample = time.sampleTime + frames;
    gap->started = true;
    // Sample times are whole frames; a fraction is no lost cycle.
    return missed >= 0.5 && missed <= largest ? std::round(missed) : 0.0;
}

namespace {

// Consecutive cycle stamps lie a whole number of cycles apart. A spacing that fits the known
// length within 2% confirms it (one cycle: follows it exactly, drift included); spacings that fit
// none, eight in a row, mean the device's buffer size changed: the shortest of them is the length.
// Returns false for a spacing that fits no whole number of known cycles.
bool LearnUnitPeriod(TidewellUnitTimeline* timeline, uint64_t spacing) {
    constexpr uint32_t kUnfitRun = 8;
    if (spacing == 0) {
        return true;
    }
    const auto period = static_cast<double>(timeline->periodNanos);
    if (period > 0) {
        const double cycles = std::round(static_cast<double>(spacing) / period);
        if (cycles >= 1 && std::fabs(static_cast<double>(spacing) - cycles * period) <= 0.02 * period) {
            if (cycles == 1) {
                timeline->periodNanos = spacing;
            }
            timeline->unfitRun = 0;
            return true;
        }
    }
    const bool known = period > 0;
    timeline->unfitNanos = timeline->unfitRun == 0 ? spacing : std::min(timeline->unfitNanos, spacing);
    ++timeline->unfitRun;
    if (timeline->periodNanos == 0 || timeline->unfitRun >= kUnfitRun) {
        timeline->moved = timeline->unfitNanos != timeline->periodNanos;
        timeline->periodNanos = timeline->unfitNanos;
        timeline->unfitRun = 0;
    }
    return !known;
}

}  // namespace

uint64_t TidewellUnitTimelineCycleStart(const TidewellUnitTimeline* timeline, uint64_t hostNanos) {
    return hostNanos > timeline->periodNanos ? hostNanos - timeline->periodNanos : hostNanos;
}

double TidewellUnitTimelineSlice(TidewellUnitTimeline* timeline, uint64_t hostNanos, double sampleTime,
                                 uint32_t frames, double rate) {
    timeline->moved = false;
    if (timeline->cycleHostNanos == 0 || hostNanos == timeline->cycleHostNanos || !(rate > 0)) {
        if (timeline->cycleHostNanos == 0) {
            timeline->cycleHostNanos = hostNanos;
        }
        timeline->cycleFrames += frames;
        return sampleTime + timeline->skippedFrames;
    }
    // A spacing of no whole number of cycles is a stall of the device itself: it resumed on a new
    // grid without playing the time in between, so no frames passed without this unit.
    const bool onGrid =
        hostNanos > timeline->cycleHostNanos && LearnUnitPeriod(timeline, hostNanos - timeline->cycleHostNanos);
    // A new device cycle: the host time since the last one, in cycles of the last one's size.
    // A unit that converts rates renders unevenly (a cycle without a slice is normal there), so
    // only whole cycles beyond a quarter's tolerance count as skipped.
    const double passed = static_cast<double>(static_cast<int64_t>(hostNanos - timeline->cycleHostNanos)) * 1e-9 * rate;
    if (onGrid && timeline->cycleFrames > 0 && passed > 0) {
        const double cycles = std::floor(passed / timeline->cycleFrames + 0.25);
        if (cycles >= 2 && cycles <= kClockLargestAdvance) {
            timeline->skippedFrames += (cycles - 1) * timeline->cycleFrames;
        }
    }
    timeline->cycleHostNanos = hostNanos;
    timeline->cycleFrames = frames;
    return sampleTime + timeline->skippedFrames;
}

void TidewellRingSidePublish(TidewellRingSidePoint* point, uint64_t position, uint64_t hostNanos, double rate,
                             uint64_t underrun, uint64_t explained) {
    const uint32_t sequence = point->sequence.load(std::memory_order_relaxed);
    point->sequence.store(sequence + 1, std::memory_order_relaxed);
    // Release stores keep the odd count ahead of every field: a reader that sees a new field
    // also sees the count move. (Atomic orderings rather than a fence, which the thread
    // sanitizer cannot follow.)
    point->position.store(position, std::memory_order_release);
    point->hostNanos.store(hostNanos, std::memory_order_release);
    point->rate.store(rate, std::memory_order_release);
    point->underrun.store(underrun, std::memory_order_release);
    point->explained.store(explained, std::memory_order_release);
    point->sequence.store(sequence + 2, std::memory_order_release);
}

TidewellRingSideSnapshot TidewellRingSideRead(const TidewellRingSidePoint* point) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t before = point->sequence.load(std::memory_order_acquire);
        if (before == 0) {
            break;
        }
        // Acquire loads keep the second read of the count after every field.
        TidewellRingSideSnapshot copy{point->position.load(std::memory_order_acquire),
                                      point->hostNanos.load(std::memory_order_acquire),
                                      point->rate.load(std::memory_order_acquire),
                                      point->underrun.load(std::memory_order_acquire),
                                      point->explained.load(std::memory_order_acquire), true};
        if ((before & 1) == 0 && point->sequence.load(std::memory_order_relaxed) == before) {
            return copy;
        }
    }
    return TidewellRingSideSnapshot{0, 0, 0.0, 0, 0, false};
}

void TidewellRingSideWithdraw(TidewellRingSidePoint* point) {
    point->sequence.store(0, std::memory_order_release);
}

void TidewellFillControlInit(TidewellFillControl* control) {
    *control = TidewellFillControl{};
}

void TidewellFillControlRealign(TidewellFillControl* control) {
    control->aligned = false;
    control->measureSum = 0;
    control->measureSeconds = 0;
}

int64_t TidewellFillControlUpdate(TidewellFillControl* control, double fill, double target, double elapsedSeconds,
                                  uint64_t underrun) {
    if (!std::isfinite(fill) || !(elapsedSeconds > 0) || !(target > 0)) {
        return 0;
    }
    if (control->aligned && target != control->alignedTarget) {
        // A new target (the adaptive fill's, after an underrun or a quiet spell) is reached by one
        // step as well. Trimmed towards, a target a device cycle away would take minutes at the
        // trim's limit, and the ring would run dry meanwhile as often as before it grew.
        TidewellFillControlRealign(control);
    }
    if (!control->aligned) {
        if (control->measureSeconds > 0 && underrun > control->measureUnderrun) {
            control->measureSum += static_cast<double>(underrun - control->measureUnderrun) * control->measureSeconds;
        }
        control->measureUnderrun = underrun;
        control->measureSum += fill * elapsedSeconds;
        control->measureSeconds += elapsedSeconds;
        if (control->measureSeconds < kAlignSeconds) {
            return 0;
        }
        const auto step = static_cast<int64_t>(std::llround(control->measureSum / control->measureSeconds - target));
        control->aligned = true;
        control->alignedTarget = target;
        control->smoothedError = 0;
        control->settledSeconds = 0;
        control->trim = 0;
        if (step != 0) {
            ++control->steps;
        }
        return step;
    }
    const double alpha = 1.0 - std::exp(-elapsedSeconds / kSmoothingSeconds);
    control->smoothedError += alpha * ((fill - target) - control->smoothedError);
    control->settledSeconds += elapsedSeconds;
    // A step (a lost cycle, an underrun) is set right at once: trimmed away it would take
    // minutes, or seconds at an audible pitch.
    const double stepLimit = std::max(0.5 * target, 64.0);
    if (control->settledSeconds >= kSettleSeconds && std::fabs(control->smoothedError) > stepLimit) {
        TidewellFillControlRealign(control);
        return 0;
    }
    if (control->exactCopy) {
        control->trim = 0;
        return 0;
    }
    const double beyond = control->smoothedError - std::clamp(control->smoothedError, -kTrimDeadBand, kTrimDeadBand);
    control->trim = std::clamp(beyond * kTrimPerFrame, -kTrimLimit, kTrimLimit);
    return 0;
}

bool TidewellClocksAgree(double inputClockRate, double inputNominal, double outputClockRate, double outputNominal) {
    if (!(inputClockRate > 0) || !(outputClockRate > 0) || !(inputNominal > 0) || !(outputNominal > 0)) {
        return true;
    }
    const double clocks = (inputClockRate / inputNominal) / (outputClockRate / outputNominal);
    return std::fabs(clocks - 1.0) <= kSameClock;
}

double TidewellClockRatioScalar(double inputClockRate, double inputNominal, double outputClockRate,
                                double outputNominal, double trim) {
    if (TidewellClocksAgree(inputClockRate, inputNominal, outputClockRate, outputNominal)) {
        return 1.0 + trim;
    }
    return (inputClockRate / inputNominal) / (outputClockRate / outputNominal) * (1.0 + trim);
}
