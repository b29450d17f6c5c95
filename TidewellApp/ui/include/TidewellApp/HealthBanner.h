#pragma once
// The floating card that names one health problem: a warning symbol, the issue's title and
// detail, its repair button and a dismiss button. It decides nothing: what the repair does and
// what dismissing means come from its creator.

#include "TidewellApp/GlassCard.h"
#include "TidewellApp/HealthIssue.h"

#include <functional>

class QLabel;
class QPushButton;
class QToolButton;

namespace tidewell {

class ElidingLabel;

class HealthBanner : public GlassCard {
    Q_OBJECT
public:
    HealthBanner(HealthIssue issue, bool actionDisabled, std::function<void()> action,
                 std::function<void()> onDismiss, QWidget* parent = nullptr);

    HealthIssue issue() const { return issue_; }
    void setIssue(HealthIssue issue);
    bool actionDisabled() const { return actionDisabled_; }
    void setActionDisabled(bool disabled);
    void setAction(std::function<void()> action) { action_ = std::move(action); }
    void setOnDismiss(std::function<void()> onDismiss) { onDismiss_ = std::move(onDismiss); }

    // The parts, for the window's tests and for positioning.
    ElidingLabel* titleLabel() const { return title_; }
    ElidingLabel* detailLabel() const { return detail_; }
    QPushButton* actionButton() const { return actionButton_; }
    QToolButton* dismissButton() const { return dismissButton_; }

private:
    void refreshSymbols();

    HealthIssue issue_;
    bool actionDisabled_;
    std::function<void()> action_;
    std::function<void()> onDismiss_;
    QLabel* icon_;
    ElidingLabel* title_;
    ElidingLabel* detail_;
    QPushButton* actionButton_;
    QToolButton* dismissButton_;
};

}  // namespace tidewell
