#include "TidewellApp/MeterBallistics.h"

#include <algorithm>
#include <cmath>

namespace tidewell {

namespace {

constexpr double attackTime = 0.025;  // seconds
constexpr double barFall = 0.4;       // scale per second (24 dB/s)
constexpr double peakFall = 0.2;      // scale per second (12 dB/s)
constexpr double peakHold = 1.2;      // seconds
constexpr double clipHold = 1.0;      // seconds
constexpr double clipThreshold = 0.985;

}  // namespace

double meterScale(double amplitude) {
    if (!(amplitude > 0)) return 0;  // also catches not-a-number
    const double x = std::min(amplitude, 1.0);
    return std::clamp((20 * std::log10(x) + 60) / 60, 0.0, 1.0);
}

MeterBallistics::Levels MeterBallistics::step(double rms, double peakSample, double now) {
    double dt = 0;
    if (lastTime_ > 0) {
        dt = std::clamp(now - lastTime_, 0.0, maximumStep);
        if (now < lastTime_) {
            // The clock went back: deadlines set on the old time would hold for the whole
            // jump. Move them back with it, so each hold keeps what was left of it.
            peakHeldUntil_ -= lastTime_ - now;
            clipUntil_ -= lastTime_ - now;
        }
    }
    lastTime_ = now;

    const double level = meterScale(rms);
    if (bar_ < level) {
        const double k = dt > 0 ? 1 - std::exp(-dt / attackTime) : 1.0;
        bar_ += (level - bar_) * k;
    } else {
        double fallen = bar_ - barFall * dt;
        if (fallen <= 0) fallen = 0;
        bar_ = level <= fallen ? fallen : level;
    }

    const double peakTarget = meterScale(peakSample);
    if (peak_ <= peakTarget) {
        peak_ = peakTarget;
        peakHeldUntil_ = now + peakHold;
    } else if (peakHeldUntil_ < now) {
        peak_ = std::max(level, peak_ - peakFall * dt);
    }

    if (peakSample >= clipThreshold) clipUntil_ = now + clipHold;
    return {bar_, peak_, now < clipUntil_};
}

}  // namespace tidewell
