#include "TidewellApp/HealthBannerOverlay.h"

#include "TidewellApp/HealthBanner.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QWidget>

namespace tidewell {

namespace {

constexpr int transitionMilliseconds = 250;

// Moves the banner between two places while fading it between two opacities; the returned
// group belongs to the banner and is not started yet.
QAbstractAnimation* transition(QWidget* banner, qreal fromOpacity, qreal toOpacity, QPoint from,
                               QPoint to, QEasingCurve::Type easing) {
    auto* fade = new QGraphicsOpacityEffect(banner);
    banner->setGraphicsEffect(fade);
    auto* group = new QParallelAnimationGroup(banner);
    auto* opacity = new QPropertyAnimation(fade, "opacity", group);
    opacity->setStartValue(fromOpacity);
    opacity->setEndValue(toOpacity);
    opacity->setDuration(transitionMilliseconds);
    auto* move = new QPropertyAnimation(banner, "pos", group);
    move->setStartValue(from);
    move->setEndValue(to);
    move->setDuration(transitionMilliseconds);
    move->setEasingCurve(easing);
    return group;
}

}  // namespace

HealthBannerAction bannerAction(HealthIssue issue) {
    switch (issue) {
    case HealthIssue::driverNotLoaded:
    case HealthIssue::serviceNotInstalled:
        return HealthBannerAction::showOnboarding;
    case HealthIssue::serviceBinariesMissing:
    case HealthIssue::serviceNotRunning:
    case HealthIssue::serviceUnresponsive:
        return HealthBannerAction::installOrRestartService;
    case HealthIssue::runtimePublishFailed:
        return HealthBannerAction::reload;
    }
    return HealthBannerAction::reload;
}

HealthBannerOverlay::HealthBannerOverlay(QWidget* host, HealthBannerCommands commands, QObject* parent)
    : QObject(parent), host_(host), commands_(std::move(commands)) {
    if (host_) host_->installEventFilter(this);
}

HealthBannerOverlay::~HealthBannerOverlay() {
    if (banner_) retire(banner_);
}

void HealthBannerOverlay::setInputs(const HealthBannerInputs& inputs) {
    if (inputs == inputs_) return;
    inputs_ = inputs;
    refresh();
}

void HealthBannerOverlay::refresh() {
    std::optional<HealthIssue> next;
    // A dismissed first issue hides the banner even when later checks fail too.
    if (!inputs_.onboardingShown && !inputs_.bundleMissing && inputs_.primaryIssue &&
        !dismissed_.contains(*inputs_.primaryIssue))
        next = inputs_.primaryIssue;

    if (next && banner_ && shown_) {
        banner_->setIssue(*next);
        banner_->setActionDisabled(inputs_.actionDisabled);
        place();
    }
    if (next == shown_) return;
    const bool wasShown = shown_.has_value();
    shown_ = next;
    if (next && !wasShown) enter();
    if (!next && wasShown) leave();
    emit shownIssueChanged();
}

void HealthBannerOverlay::runAction(HealthIssue issue) {
    const std::function<void()>* command = nullptr;
    switch (bannerAction(issue)) {
    case HealthBannerAction::showOnboarding: command = &commands_.showOnboarding; break;
    case HealthBannerAction::installOrRestartService: command = &commands_.installOrRestartService; break;
    case HealthBannerAction::reload: command = &commands_.reload; break;
    }
    if (command && *command) (*command)();
}

void HealthBannerOverlay::dismiss(HealthIssue issue) {
    dismissed_.insert(issue);
    refresh();
}

void HealthBannerOverlay::enter() {
    if (!host_) return;
    // A banner still leaving gives way to the new one. It goes later, not at once: this can
    // run inside a click handler of that very banner.
    if (banner_) retire(banner_);
    const HealthIssue issue = *shown_;
    banner_ = new HealthBanner(
        issue, inputs_.actionDisabled,
        [this] {
            if (shown_) runAction(*shown_);
        },
        [this] {
            if (shown_) dismiss(*shown_);
        },
        host_);
    banner_->adjustSize();
    place();
    banner_->show();
    banner_->raise();
    if (!animated_) return;

    // Moves in from the bottom edge while fading in.
    const QPoint rest = banner_->pos();
    QAbstractAnimation* group = transition(banner_, 0, 1, QPoint(rest.x(), host_->height()), rest,
                                           QEasingCurve::OutCubic);
    QPointer<HealthBanner> entering = banner_;
    connect(group, &QAbstractAnimation::finished, banner_, [entering] {
        if (entering) entering->setGraphicsEffect(nullptr);
    });
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void HealthBannerOverlay::leave() {
    if (!banner_) return;
    HealthBanner* leaving = banner_;
    banner_->setEnabled(false);  // a leaving banner takes no more clicks
    if (!animated_ || !host_) {
        retire(leaving);
        return;
    }
    QAbstractAnimation* group = transition(leaving, 1, 0, leaving->pos(),
                                           QPoint(leaving->x(), host_->height()), QEasingCurve::InCubic);
    connect(group, &QAbstractAnimation::finished, leaving, &QObject::deleteLater);
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void HealthBannerOverlay::retire(HealthBanner* banner) {
    banner->hide();
    banner->deleteLater();
    if (banner_ == banner) banner_ = nullptr;
}

void HealthBannerOverlay::place() {
    if (!host_ || !banner_) return;
    banner_->adjustSize();
    const QSize size = banner_->size();
    // The card (not its shadow margin) ends the padding above the host's lower edge.
    const int cardBottomInWidget = size.height() - GlassCard::shadowMargins().bottom();
    const int x = (host_->width() - size.width()) / 2;
    const int y = host_->height() - bottomPadding - cardBottomInWidget;
    banner_->move(x, y);
}

bool HealthBannerOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == host_ && event->type() == QEvent::Resize && shown_) place();
    return QObject::eventFilter(watched, event);
}

}  // namespace tidewell
