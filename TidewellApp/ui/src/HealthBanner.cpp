#include "TidewellApp/HealthBanner.h"

#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell {

namespace {
constexpr qreal bannerCornerRadius = 12;
constexpr qreal warningSymbolPoints = 13;
constexpr qreal dismissSymbolPoints = 10;
}  // namespace

HealthBanner::HealthBanner(HealthIssue issue, bool actionDisabled, std::function<void()> action,
                           std::function<void()> onDismiss, QWidget* parent)
    : GlassCard(bannerCornerRadius, parent),
      issue_(issue),
      actionDisabled_(actionDisabled),
      action_(std::move(action)),
      onDismiss_(std::move(onDismiss)) {
    setObjectName(QStringLiteral("healthBanner"));
    setFloatsOverContent(true);
    auto* row = new QHBoxLayout(this);
    row->setSpacing(12);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSizeConstraint(QLayout::SetFixedSize);  // as wide as its content

    icon_ = new QLabel(this);
    icon_->setObjectName(QStringLiteral("healthBannerIcon"));
    row->addWidget(icon_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    title_ = new ElidingLabel(title(issue), this);
    title_->setObjectName(QStringLiteral("healthBannerTitle"));
    title_->setFont(Theme::font(13, QFont::Medium));
    detail_ = new ElidingLabel(detail(issue), this);
    detail_->setObjectName(QStringLiteral("healthBannerDetail"));
    detail_->setFont(Theme::font(11));
    detail_->setForeground(Theme::Foreground::secondary);
    texts->addWidget(title_);
    texts->addWidget(detail_);
    row->addLayout(texts);

    actionButton_ = new QPushButton(actionTitle(issue), this);
    actionButton_->setObjectName(QStringLiteral("healthBannerAction"));
    actionButton_->setEnabled(!actionDisabled);
    connect(actionButton_, &QPushButton::clicked, this, [this] {
        if (action_) action_();
    });
    row->addWidget(actionButton_, 0, Qt::AlignVCenter);

    dismissButton_ = new QToolButton(this);
    dismissButton_->setObjectName(QStringLiteral("healthBannerDismiss"));
    dismissButton_->setAutoRaise(true);
    dismissButton_->setFixedSize(20, 20);
    dismissButton_->setToolTip(QStringLiteral("Hide until the app relaunches"));
    dismissButton_->setFocusPolicy(Qt::TabFocus);
    connect(dismissButton_, &QToolButton::clicked, this, [this] {
        if (onDismiss_) onDismiss_();
    });
    row->addWidget(dismissButton_, 0, Qt::AlignVCenter);

    refreshSymbols();
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            [this] { refreshSymbols(); });
}

void HealthBanner::setIssue(HealthIssue issue) {
    if (issue == issue_) return;
    issue_ = issue;
    title_->setText(title(issue));
    detail_->setText(detail(issue));
    actionButton_->setText(actionTitle(issue));
}

void HealthBanner::setActionDisabled(bool disabled) {
    actionDisabled_ = disabled;
    actionButton_->setEnabled(!disabled);
}

void HealthBanner::refreshSymbols() {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const qreal warning = SymbolProvider::sizeForFont(warningSymbolPoints);
    icon_->setPixmap(SymbolProvider::pixmap(QStringLiteral("exclamationmark.triangle.fill"), warning,
                                            Theme::orange(scheme), devicePixelRatioF()));
    icon_->setFixedSize(int(warning), int(warning));
    const qreal dismiss = SymbolProvider::sizeForFont(dismissSymbolPoints);
    dismissButton_->setIcon(SymbolProvider::icon(QStringLiteral("xmark"), Theme::secondaryText(scheme)));
    dismissButton_->setIconSize(QSize(int(dismiss), int(dismiss)));
}

}  // namespace tidewell
