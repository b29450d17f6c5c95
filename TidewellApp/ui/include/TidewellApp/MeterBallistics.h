#pragma once
// The smoothing of one level meter: turns raw readings (an RMS level and a peak sample, linear
// amplitudes) into a bar that rises in 25 ms and falls 24 dB/s, a peak mark held 1.2 s that
// then falls 12 dB/s, and a clip indicator held 1 s. Positions are on a scale linear in
// decibels: 0 at -60 dBFS and below, 1 at 0 dBFS.

namespace tidewell {

// A linear amplitude on the meter scale; zero, negative and not-a-number give 0.
double meterScale(double amplitude);

class MeterBallistics {
public:
    struct Levels {
        double bar = 0;
        double peak = 0;
        bool clipped = false;
        bool operator==(const Levels&) const = default;
    };

    // The longest time step taken at once: a meter stepped after a pause moves as if a quarter
    // of a second had passed.
    static constexpr double maximumStep = 0.25;

    // One step at time `now` (seconds, the meter cache's time base). A time before the previous
    // step's (the wall clock set back) counts as no time passing: nothing falls or rises for
    // it, and the peak and clip holds keep what was left of them.
    Levels step(double rms, double peakSample, double now);

    double bar() const { return bar_; }
    double peak() const { return peak_; }
    double peakHeldUntil() const { return peakHeldUntil_; }
    double clipUntil() const { return clipUntil_; }
    double lastTime() const { return lastTime_; }

private:
    double bar_ = 0;
    double peak_ = 0;
    double peakHeldUntil_ = 0;
    double clipUntil_ = 0;
    double lastTime_ = 0;
};

}  // namespace tidewell
