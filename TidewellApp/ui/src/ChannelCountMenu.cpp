#include "TidewellApp/ChannelCountMenu.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

#include <QAction>
#include <QMenu>
#include <QStyleOptionToolButton>

namespace tidewell {

ChannelCountMenu::ChannelCountMenu(TidewellAppModel& model, const DeviceConfig& device, QWidget* parent)
    : QToolButton(parent), model_(model), deviceID_(device.id), channelCount_(device.channelCount),
      menu_(new QMenu(this)) {
    setToolTip(QStringLiteral("Device channel count"));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setPopupMode(QToolButton::InstantPopup);
    setMenu(menu_);
    // Its own height, any width.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    for (const std::int64_t count : offeredCounts) {
        QAction* action = menu_->addAction(countText(count));
        action->setData(QVariant::fromValue<qlonglong>(count));
        connect(action, &QAction::triggered, this, [this, count] { choose(count); });
    }
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &ChannelCountMenu::refresh);
    refresh();
}

QString ChannelCountMenu::countText(std::int64_t count) {
    return QString::number(count) + QStringLiteral(" Channels");
}

void ChannelCountMenu::setDevice(const DeviceConfig& device) {
    deviceID_ = device.id;
    if (device.channelCount == channelCount_) return;
    channelCount_ = device.channelCount;
    refresh();
}

QAction* ChannelCountMenu::actionForCount(std::int64_t count) const {
    for (QAction* action : menu_->actions())
        if (action->data().toLongLong() == count) return action;
    return nullptr;
}

void ChannelCountMenu::choose(std::int64_t count) { model_.setChannelCount(deviceID_, count); }

void ChannelCountMenu::refresh() {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    setText(countText(channelCount_));
    setIcon(SymbolProvider::icon(QStringLiteral("number"), Theme::primaryText(scheme)));
    const QIcon check = SymbolProvider::icon(QStringLiteral("checkmark"), Theme::primaryText(scheme));
    // A count that is not offered (a hand-edited 12) checks nothing.
    for (QAction* action : menu_->actions())
        action->setIcon(action->data().toLongLong() == channelCount_ ? check : QIcon());
    updateGeometry();
    update();
}

void ChannelCountMenu::paintEvent(QPaintEvent*) {
    QStyleOptionToolButton option;
    initStyleOption(&option);
    GlassMenuBackdropModifier::paintMenuButton(*this, option, backdropCornerRadius);
}

QSize ChannelCountMenu::sizeHint() const {
    return GlassMenuBackdropModifier::menuButtonSizeHint(QToolButton::sizeHint());
}

}  // namespace tidewell
