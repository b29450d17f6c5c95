#pragma once
// The health problems the application can report about the plug-in and the background
// service, in the order in which they are checked: the first failing check is the one the
// window shows. Each carries the texts of its banner.

#include <QHash>
#include <QString>

#include <array>

namespace tidewell {

enum class HealthIssue {
    driverNotLoaded,
    serviceNotInstalled,
    serviceBinariesMissing,
    serviceNotRunning,
    serviceUnresponsive,
    runtimePublishFailed,
};

// Every issue, highest priority first.
inline constexpr std::array<HealthIssue, 6> allHealthIssues = {
    HealthIssue::driverNotLoaded,     HealthIssue::serviceNotInstalled,
    HealthIssue::serviceBinariesMissing, HealthIssue::serviceNotRunning,
    HealthIssue::serviceUnresponsive, HealthIssue::runtimePublishFailed,
};

// The banner's first line: what is wrong.
QString title(HealthIssue issue);
// The banner's second line: what it means for the user.
QString detail(HealthIssue issue);
// The label of the banner's repair button.
QString actionTitle(HealthIssue issue);

// Issues are kept in sets (the dismissed ones).
inline size_t qHash(HealthIssue issue, size_t seed = 0) noexcept {
    return ::qHash(static_cast<int>(issue), seed);
}

}  // namespace tidewell
