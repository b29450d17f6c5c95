#include "TidewellStream/TidewellDriftController.h"

#include <algorithm>
#include <cmath>

void TidewellDriftControllerInit(TidewellDriftController* controller, double targetFill) {
    if (controller == nullptr) {
        return;
    }
    const double target = std::isnan(targetFill) ? 1.0 : std::max(targetFill, 1.0);
    *controller = TidewellDriftController{
        .targetFill = target,
        .proportionalGain = 0.003,
        .integralGain = 0.0002,
        .limit = 0.005,
        .slew = 0.002,
        .timeConstant = 0.1,
        .smoothedFill = target,
        .integral = 0.0,
        .ratio = 1.0,
        .seeded = false,
    };
}

void TidewellDriftControllerSetTarget(TidewellDriftController* controller, double targetFill) {
    if (controller == nullptr || !std::isfinite(targetFill)) {
        return;
    }
    controller->targetFill = std::max(targetFill, 1.0);
}

double TidewellDriftControllerUpdate(TidewellDriftController* controller, double fill, double elapsedSeconds) {
    if (controller == nullptr) {
        return 1.0;
    }
    if (!std::isfinite(fill) || !std::isfinite(elapsedSeconds) || !(elapsedSeconds > 0.0)) {
        return controller->ratio;
    }
    if (!controller->seeded) {
        controller->smoothedFill = fill;
        controller->seeded = true;
        return controller->ratio;
    }
    const double alpha = 1.0 - std::exp(-elapsedSeconds / controller->timeConstant);
    controller->smoothedFill += alpha * (fill - controller->smoothedFill);
    const double error = (controller->smoothedFill - controller->targetFill) / controller->targetFill;
    const double limit = controller->limit;
    controller->integral =
        std::clamp(controller->integral + error * elapsedSeconds * controller->integralGain, -limit, limit);
    const double output = std::clamp(controller->proportionalGain * error + controller->integral, -limit, limit);
    const double desired = 1.0 + output;
    const double step = controller->slew * elapsedSeconds;
    controller->ratio += std::clamp(desired - controller->ratio, -step, step);
    return controller->ratio;
}

void TidewellDriftControllerReset(TidewellDriftController* controller) {
    if (controller == nullptr) {
        return;
    }
    controller->integral = 0.0;
    controller->ratio = 1.0;
    controller->seeded = false;
}
