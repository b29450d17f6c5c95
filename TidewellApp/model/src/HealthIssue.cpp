#include "TidewellApp/HealthIssue.h"

namespace tidewell {

QString title(HealthIssue issue) {
    switch (issue) {
    case HealthIssue::driverNotLoaded: return QStringLiteral("Audio driver isn't loaded");
    case HealthIssue::serviceNotInstalled: return QStringLiteral("Background service isn't installed");
    case HealthIssue::serviceBinariesMissing: return QStringLiteral("Background service files are missing");
    case HealthIssue::serviceNotRunning: return QStringLiteral("Background service is stopped");
    case HealthIssue::serviceUnresponsive: return QStringLiteral("Background service isn't responding");
    case HealthIssue::runtimePublishFailed: return QStringLiteral("Couldn't update the audio driver");
    }
    return {};
}

QString detail(HealthIssue issue) {
    switch (issue) {
    case HealthIssue::driverNotLoaded:
        return QStringLiteral("Your virtual devices are unavailable until the driver reloads.");
    case HealthIssue::serviceNotInstalled:
        return QStringLiteral("Audio can't move between apps and devices without it.");
    case HealthIssue::serviceBinariesMissing:
        return QStringLiteral("Reinstalling restores the helper tools your routes run on.");
    case HealthIssue::serviceNotRunning:
        return QStringLiteral("Saved routes won't run until the service restarts.");
    case HealthIssue::serviceUnresponsive:
        return QStringLiteral("It's running but has stopped updating. Restarting usually fixes it.");
    case HealthIssue::runtimePublishFailed:
        return QStringLiteral("Your latest settings haven't reached the driver.");
    }
    return {};
}

QString actionTitle(HealthIssue issue) {
    switch (issue) {
    case HealthIssue::driverNotLoaded:
    case HealthIssue::serviceNotInstalled:
        return QStringLiteral("Repair\u2026");
    case HealthIssue::serviceBinariesMissing:
    case HealthIssue::serviceNotRunning:
    case HealthIssue::serviceUnresponsive:
        return QStringLiteral("Restart");
    case HealthIssue::runtimePublishFailed:
        return QStringLiteral("Retry");
    }
    return {};
}

}  // namespace tidewell
