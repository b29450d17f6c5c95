#pragma once
// What keeps a helper ring's two sides in step without dropping or inserting audio:
//
// - `TidewellStreamClock`: the frame rate one side's device really runs at, from the time stamps
//   of its cycles (least squares over the last several seconds). A cycle the helper was too late
//   for still counts as frames the device passed (its sample time says so), so a late wake-up
//   is not taken for drift.
// - `TidewellRingSidePoint`: one side's position in the ring at the host time of its latest
//   cycle, with its clock's rate, published for the other side (a sequence-counted pair).
// - `TidewellFillControl`: the fill trim. The resampling ratio comes from the two clocks (exactly
//   1 where they are one clock); the fill error only trims it, by a few ppm. At start, after a
//   resync, at a new target and after a step that a lost cycle brought, the fill is measured for a
//   moment and then put right at once by one step, instead of by seconds at a shifted pitch.
//
// The fill the controlling side holds is the ring's low envelope: what the ring would hold just
// before the writer's next block, from both sides' positions carried to the same instant along
// their clocks. It does not jump with the phase of the two cycles as the fill of any one moment
// does.
//
// Everything here runs on audio threads: no allocation, lock or system call.

#include <atomic>
#include <cstdint>

// The time of one cycle: host nanoseconds (when known) and the device's sample time (when known).
struct TidewellBlockTime {
    uint64_t hostNanos;
    double sampleTime;
    bool hasHostTime;
    bool hasSampleTime;
    // When the block reached the side that writes it, where that is well after its first frame
    // (an input queue hands a device cycle over in buffers, a cycle late); 0 when it came at once.
    uint64_t deliveredNanos = 0;
    // From this block on the device's cycles are stamped on a line moved by a whole shift (an
    // output unit learned the device's new cycle length, and every cycle start moved with it).
    bool timelineMoved = false;
};

// The current host time, no sample time.
TidewellBlockTime TidewellBlockTimeNow();

struct TidewellStreamClock {
    double nominalRate;        // frames per second expected; used until a rate is measured
    double timeConstant;       // seconds of history the least squares weighs
    bool started;
    uint64_t lastNanos;
    double lastSampleTime;
    bool lastHasSampleTime;
    uint32_t lastFrames;
    double position;           // frames the device passed since the clock started
    double pendingAdvance;     // frames of earlier slices of the latest cycle
    double startSeconds;       // span of the measurement so far
    double scatter;            // seconds the points typically lie off the fitted line
    // Exponentially weighted sums of (t, position), both relative to the latest point.
    double sw, st, sp, stt, stp;
    std::atomic<double> rate;  // frames per host second; 0 until measured
};

void TidewellStreamClockInit(TidewellStreamClock* clock, double nominalRate);
// One cycle of `frames` frames at `time`. A time without host time is taken as now.
void TidewellStreamClockAddBlock(TidewellStreamClock* clock, uint32_t frames, const TidewellBlockTime& time);
// The measured rate, or 0 while there is none (any thread).
double TidewellStreamClockRate(const TidewellStreamClock* clock);
// Forgets everything measured (the owning thread).
void TidewellStreamClockRestart(TidewellStreamClock* clock);

// A device cycle that passed without this side: the frames it missed, from the sample time of the
// side's previous cycle and of this one. The side that skips them keeps its audio on the device's
// timeline, so a lost cycle costs one gap and no shift that must be set right later.
struct TidewellCycleGap {
    double cycleSample;        // sample time of the latest cycle
    double expectedSample;     // sample time the next cycle should start at
    bool started;
};

// This cycle's first sample time and frames; returns the frames between the previous cycle's end
// and this cycle (0 for the first cycle, a contiguous one, one without sample time, a further
// piece of the same cycle, or a jump back or further than `largest` frames, which is a new
// timeline rather than a lost cycle).
double TidewellCycleGapUpdate(TidewellCycleGap* gap, const TidewellBlockTime& time, uint32_t frames, double largest);

// An output unit stamps its render slices with its own sample time, which runs on only while it
// renders: a device cycle the server gave up on leaves no trace in it, and its frames would read
// as a slower clock and leave the ring a cycle fuller. The unit's host stamps follow the device's
// cycles (the same stamp for every slice of one cycle); this puts the frames of each cycle that
// passed without a render back into the sample time.
//
// The stamp is the time the cycle will be played, one device cycle after the cycle begins. The
// rate control compares cycles as they begin, so the record also learns the device's cycle
// length from the spacing of the stamps (cycles a converting unit skips are whole multiples of
// it) and gives each slice the host time of its cycle's start: exact device times, where the
// time a render thread happens to run would carry its wake-up jitter and, under load, its
// lateness into the clock.
struct TidewellUnitTimeline {
    uint64_t cycleHostNanos;   // stamp of the device cycle of the latest slice; 0 before the first
    double cycleFrames;        // frames rendered in that cycle so far
    double skippedFrames;      // frames of the cycles that passed unrendered, so far
    uint64_t periodNanos;      // one device cycle; 0 until known (a starter may set it)
    uint64_t unfitNanos;       // the shortest of the latest spacings that fit no whole cycle count
    uint32_t unfitRun;         // how many such spacings in a row
    // The latest slice's cycle start lies off the line of the earlier ones: the cycle length was
    // learned anew, and each start moved by the difference. The bridge passes it on to the clock.
    bool moved;
};

// One slice of `frames` frames at the unit's stamp; `rate` is the unit's stream rate. Returns the
// slice's sample time on the device's timeline. A zero-filled record is a fresh one.
double TidewellUnitTimelineSlice(TidewellUnitTimeline* timeline, uint64_t hostNanos, double sampleTime,
                                 uint32_t frames, double rate);
// The host time the device cycle stamped `hostNanos` began: the stamp less one cycle, or the stamp
// itself while the cycle length is unknown.
uint64_t TidewellUnitTimelineCycleStart(const TidewellUnitTimeline* timeline, uint64_t hostNanos);

struct TidewellRingSidePoint {
    std::atomic<uint32_t> sequence;
    std::atomic<uint64_t> position;
    std::atomic<uint64_t> hostNanos;
    std::atomic<double> rate;
    std::atomic<uint64_t> underrun;
    std::atomic<uint64_t> explained;
};

struct TidewellRingSideSnapshot {
    uint64_t position;
    uint64_t hostNanos;
    double rate;
    uint64_t underrun;
    uint64_t explained;
    bool valid;
};

// The one storer of the point publishes its position at a host time, with its clock's rate and
// the ring's underruns so far: a reader gives the frames it has played from an empty ring (and 0
// explained); a writer gives how many of those it has accounted for, and how many of them a lost
// input cycle explained (what it never got, and so made up with less silence).
void TidewellRingSidePublish(TidewellRingSidePoint* point, uint64_t position, uint64_t hostNanos, double rate,
                             uint64_t underrun, uint64_t explained);
// The other side reads a consistent copy (invalid before the first publish or while torn).
TidewellRingSideSnapshot TidewellRingSideRead(const TidewellRingSidePoint* point);
// Makes the point invalid until the next publish; only while its storer does not run (a side that
// stopped and starts again on a new device must not be taken for where it stood on the old one).
void TidewellRingSideWithdraw(TidewellRingSidePoint* point);

struct TidewellFillControl {
    bool aligned;
    double alignedTarget;      // the target of the latest alignment
    double measureSum;         // fill x seconds while measuring
    double measureSeconds;
    uint64_t measureUnderrun;  // the reader's underrun count at the latest fill measured
    double smoothedError;      // frames
    double settledSeconds;     // since the last alignment
    double trim;               // relative, applied on top of the clocks' ratio
    // Set by the caller before each update: the two sides run at one rate on clocks that agree, so
    // the ring is a copy sample for sample. No trim then: any trim leaves the copy for a filter,
    // and going back would jump. With no drift to follow, the fill moves only by whole events (a
    // lost cycle, a reader run dry), which the steps set right.
    bool exactCopy;
    uint64_t steps;            // alignments that moved the ring
};

void TidewellFillControlInit(TidewellFillControl* control);
// Measures again and aligns once that is done (after a resync; a new target does so by itself).
void TidewellFillControlRealign(TidewellFillControl* control);
// One cycle: the low-envelope fill, the target, the cycle's length and the frames the reader has
// played from an empty ring so far that no lost input cycle explains, as of that fill. Returns the
// frames the controlling side must step the ring by at once: positive drops that many (the fill is
// too high), negative inserts silence; 0 otherwise. control->trim is the ratio trim to apply.
//
// A ring starts dry, and the reader then runs it out at some of its cycles and not at others: each
// time it falls behind its clock by what it could not take, and the ring's low point rises by as
// much. The fills measured before such an underrun count as raised by it, so that the alignment
// puts the ring as it stands at the end of the measurement at the target. (An underrun a lost
// input cycle explains raises nothing: the writer makes up the loss with that much less silence.)
int64_t TidewellFillControlUpdate(TidewellFillControl* control, double fill, double target, double elapsedSeconds,
                                  uint64_t underrun);

// The resampler's rate scalar from the two clocks (input frames per output frame against the
// nominal ratio) and the trim; 1 + trim while a clock has no rate yet, or while the two clocks
// agree within 0.1 ppm (one clock, as far as their time stamps can tell).
double TidewellClockRatioScalar(double inputClockRate, double inputNominal, double outputClockRate,
                                double outputNominal, double trim);
// Whether the two clocks agree as far as their time stamps can tell (within 0.1 ppm), or a clock
// has no rate yet (nothing says they differ).
bool TidewellClocksAgree(double inputClockRate, double inputNominal, double outputClockRate, double outputNominal);
