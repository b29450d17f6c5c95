#include "TidewellApp/RoutingChannelRow.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/VolumeSliderLine.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPropertyAnimation>
#include <QRegularExpression>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell {

namespace {

ElidingLabel* nameLabel(const QString& text, qreal points, QFont::Weight weight, QWidget* parent) {
    auto* label = new ElidingLabel(text, parent);
    label->setFont(Theme::font(points, weight));
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    return label;
}

// How much of a channel's name stays whole when the name is cut: the number and side it ends
// in (" 1 (L)" of "Channel 1 (L)", " 12" of "Channel 12"), which tell the rows of a card
// apart. A name that starts with its number ("1 · Front Left") keeps its start anyway.
int numberAndSideLength(const QString& title) {
    static const QRegularExpression end(QStringLiteral("\\s\\d+( \\([A-Z]\\))?$"));
    const QRegularExpressionMatch match = end.match(title);
    return match.hasMatch() ? int(title.size() - match.capturedStart()) : 0;
}

}  // namespace

RoutingChannelRow::RoutingChannelRow(const QString& title, const std::optional<QString>& subtitle,
                                     std::optional<Binding<double>> channelGain, QWidget* leading,
                                     QWidget* meter, QWidget* trailing, QWidget* parent)
    : QWidget(parent), stack_(new QVBoxLayout(this)), leading_(leading), meter_(meter),
      trailing_(trailing) {
    if (channelGain && channelGain->get) gain_ = std::move(channelGain);
    stack_->setContentsMargins(8, 6, 8, 6);
    stack_->setSpacing(6);

    auto* line = new QHBoxLayout;
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);
    stack_->addLayout(line);

    line->addWidget(slot(leading_), 0, Qt::AlignVCenter);

    nameBlock_ = new QWidget(this);
    auto* names = new QVBoxLayout(nameBlock_);
    names->setContentsMargins(0, 0, 0, 0);
    names->setSpacing(1);
    title_ = nameLabel(title, 11, QFont::DemiBold, nameBlock_);
    title_->setKeptEnd(numberAndSideLength(title));
    names->addWidget(title_);
    if (subtitle) {
        subtitle_ = nameLabel(*subtitle, 9, QFont::Normal, nameBlock_);
        subtitle_->setForeground(Theme::Foreground::secondary);
        names->addWidget(subtitle_);
    }
    nameBlock_->setMinimumWidth(subtitle ? nameWithSubtitleMinimumWidth : nameMinimumWidth);
    nameBlock_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    line->addWidget(nameBlock_, 0, Qt::AlignVCenter);

    line->addSpacerItem(new QSpacerItem(4, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));

    if (meter_) {
        meter_->setParent(this);
        line->addWidget(meter_, 0, Qt::AlignVCenter);
    }

    if (gain_) {
        toggle_ = new QToolButton(this);
        toggle_->setAutoRaise(true);
        toggle_->setToolButtonStyle(Qt::ToolButtonIconOnly);
        toggle_->setFocusPolicy(Qt::TabFocus);
        toggle_->setCursor(Qt::ArrowCursor);
        toggle_->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; }"));
        const int side = qRound(SymbolProvider::sizeForFont(11));
        toggle_->setIconSize(QSize(side, side));
        connect(toggle_, &QToolButton::clicked, this, &RoutingChannelRow::toggleExpanded);
        line->addWidget(toggle_, 0, Qt::AlignVCenter);
    }

    line->addWidget(slot(trailing_), 0, Qt::AlignVCenter);

    if (gain_) {
        control_ = new QWidget(this);
        auto* controlLayout = new QVBoxLayout(control_);
        controlLayout->setContentsMargins(0, 0, 0, 2);
        line_ = new VolumeSliderLine(*gain_, control_);
        reset_ = new LinkButton(QStringLiteral("Reset"), line_);
        reset_->setFont(Theme::font(10));
        line_->lineLayout()->addWidget(reset_, 0, Qt::AlignVCenter);
        connect(reset_, &LinkButton::clicked, this, [this] {
            if (gain_->set) gain_->set(1.0);
            refresh();
        });
        connect(line_, &VolumeSliderLine::edited, this, &RoutingChannelRow::refresh);
        controlLayout->addWidget(line_);
        control_->hide();
        stack_->addWidget(control_);
        animation_ = new QPropertyAnimation(control_, "maximumHeight", this);
        animation_->setDuration(expandMilliseconds);
        animation_->setEasingCurve(QEasingCurve::InOutQuad);
        connect(animation_, &QPropertyAnimation::finished, this, [this] {
            if (expanded_) control_->setMaximumHeight(QWIDGETSIZE_MAX);
            else control_->hide();
        });
    }

    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] {
        applyToggleLook();
        update();
    });
    refresh();
}

QWidget* RoutingChannelRow::slot(QWidget* view) {
    auto* frame = new QWidget(this);
    frame->setFixedSize(slotSide, slotSide);
    auto* layout = new QHBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    if (view) layout->addWidget(view, 0, Qt::AlignCenter);
    return frame;
}

QString RoutingChannelRow::title() const { return title_->text(); }

void RoutingChannelRow::setTitle(const QString& title) {
    title_->setText(title);
    title_->setKeptEnd(numberAndSideLength(title));
}

std::optional<QString> RoutingChannelRow::subtitle() const {
    if (!subtitle_) return std::nullopt;
    return subtitle_->text();
}

ContinuousSlider* RoutingChannelRow::volumeSlider() const { return line_ ? line_->slider() : nullptr; }

QString RoutingChannelRow::percentText() const { return line_ ? line_->percentText() : QString(); }

QColor RoutingChannelRow::cardFill(bool dark) {
    return dark ? QColor::fromRgbF(1, 1, 1, 0.055) : QColor::fromRgbF(0, 0, 0, 0.06);
}

void RoutingChannelRow::refresh() {
    if (!gain_) return;
    line_->refresh();
    reset_->setEnabled(gain_->get() != 1.0);
    applyToggleLook();
}

void RoutingChannelRow::applyToggleLook() {
    if (!toggle_) return;
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    // Exact comparison on purpose: any gain other than unity marks the channel as adjusted.
    const bool adjusted = gain_->get() != 1.0;
    toggleColor_ = adjusted || expanded_ ? Theme::accent(scheme) : Theme::secondaryText(scheme);
    toggle_->setIcon(SymbolProvider::icon(QStringLiteral("ellipsis.circle"), toggleColor_));
    const QString help = expanded_ ? QStringLiteral("Hide Channel Volume") : QStringLiteral("Channel Volume");
    toggle_->setToolTip(help);
    toggle_->setAccessibleName(help);
}

void RoutingChannelRow::toggleExpanded() {
    expanded_ = !expanded_;
    refresh();
    showControl(isVisible());
    emit expandedChanged(expanded_);
}

void RoutingChannelRow::showControl(bool animated) {
    animation_->stop();
    if (!animated) {
        control_->setMaximumHeight(QWIDGETSIZE_MAX);
        control_->setVisible(expanded_);
        return;
    }
    const int full = control_->sizeHint().height();
    if (expanded_) {
        control_->setMaximumHeight(0);
        control_->show();
        animation_->setStartValue(0);
        animation_->setEndValue(full);
    } else {
        animation_->setStartValue(control_->height());
        animation_->setEndValue(0);
    }
    animation_->start();
}

void RoutingChannelRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(cardFill(ColorSchemeSource::instance().isDark()));
    painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

}  // namespace tidewell
