#pragma once
// Proportional-integral controller that turns the fill of a helper ring into the resampler's rate
// scalar, so a producer on one clock and a consumer on another keep the ring near a target fill.
// A plain value record: the one audio thread that owns the controlled side of the ring calls it.

struct TidewellDriftController {
    double targetFill;
    double proportionalGain;
    double integralGain;
    double limit;
    double slew;
    double timeConstant;
    double smoothedFill;
    double integral;
    double ratio;
    bool seeded;
};

void TidewellDriftControllerInit(TidewellDriftController* controller, double targetFill);
void TidewellDriftControllerSetTarget(TidewellDriftController* controller, double targetFill);
double TidewellDriftControllerUpdate(TidewellDriftController* controller, double fill, double elapsedSeconds);
void TidewellDriftControllerReset(TidewellDriftController* controller);
