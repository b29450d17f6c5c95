#pragma once
// The window's health banner: floats at the bottom edge of a host widget, shows the current
// health issue unless onboarding is open, the application carries no plug-in bundle, or the
// user dismissed that issue during this run, and runs the repair that belongs to the issue.

#include "TidewellApp/HealthIssue.h"

#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <optional>

class QWidget;

namespace tidewell {

class HealthBanner;

// What the banner's repair button does for an issue.
enum class HealthBannerAction { showOnboarding, installOrRestartService, reload };
HealthBannerAction bannerAction(HealthIssue issue);

// The operations the repairs call; the application wires them to its model.
struct HealthBannerCommands {
    std::function<void()> showOnboarding;
    std::function<void()> installOrRestartService;
    std::function<void()> reload;
};

// What the banner reads.
struct HealthBannerInputs {
    std::optional<HealthIssue> primaryIssue;  // the first failing health check, if any
    bool onboardingShown = false;
    bool bundleMissing = false;               // the application carries no plug-in bundle
    bool actionDisabled = false;              // a service action or plug-in install runs
    bool operator==(const HealthBannerInputs&) const = default;
};

class HealthBannerOverlay : public QObject {
    Q_OBJECT
public:
    // The space between the card's lower edge and the host's.
    static constexpr int bottomPadding = 18;

    HealthBannerOverlay(QWidget* host, HealthBannerCommands commands, QObject* parent = nullptr);
    ~HealthBannerOverlay() override;

    void setInputs(const HealthBannerInputs& inputs);
    const HealthBannerInputs& inputs() const { return inputs_; }

    // The issue the banner shows, or none while it is hidden (also while it fades out).
    std::optional<HealthIssue> shownIssue() const { return shown_; }
    // The banner widget while it is on screen (a banner still fading out included), else null.
    HealthBanner* banner() const { return banner_; }
    // Issues hidden by the user until the application relaunches.
    const QSet<HealthIssue>& dismissedHealthIssues() const { return dismissed_; }

    // Enter and leave animations; off, the banner appears and disappears at once.
    void setAnimated(bool animated) { animated_ = animated; }

signals:
    void shownIssueChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void runAction(HealthIssue issue);
    void dismiss(HealthIssue issue);
    void place();
    void enter();
    void leave();
    void retire(HealthBanner* banner);

    QPointer<QWidget> host_;
    HealthBannerCommands commands_;
    HealthBannerInputs inputs_;
    std::optional<HealthIssue> shown_;
    QSet<HealthIssue> dismissed_;
    QPointer<HealthBanner> banner_;
    bool animated_ = true;
};

}  // namespace tidewell
