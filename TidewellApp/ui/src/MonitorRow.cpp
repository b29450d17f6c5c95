#include "TidewellApp/MonitorRow.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellApp/VolumeSliderLine.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr qreal bodyPoints = 13;  // the text size the header's symbols sit beside
constexpr int stateIconWidth = 20;
constexpr int percentWidth = 42;

// An icon-only borderless button; its symbol is set by the row and redrawn with the scheme.
QToolButton* symbolButton(const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setFocusPolicy(Qt::TabFocus);
    const int side = qRound(SymbolProvider::sizeForFont(bodyPoints));
    button->setIconSize(QSize(side, side));
    return button;
}

void showSymbol(QToolButton* button, const QString& symbol) {
    button->setIcon(SymbolProvider::icon(
        symbol, Theme::primaryText(ColorSchemeSource::instance().scheme())));
    button->setProperty("symbol", symbol);
}

}  // namespace

MonitorRow::MonitorRow(TidewellAppModel& model, const TidewellMeterModel& meters,
                       const DeviceConfig& device, const MonitorConfig& monitor, QWidget* parent)
    : QWidget(parent), model_(model), meters_(meters), device_(device), monitor_(monitor) {
    // The ids never change for a row, so neither do its bindings; they read the model afresh.
    enabled_ = monitorBinding(model_, device_.id, monitor_.id, &MonitorConfig::enabled,
                              monitor_.enabled);
    muted_ = monitorBinding(model_, device_.id, monitor_.id, &MonitorConfig::muted,
                            monitor_.muted);
    gain_ = monitorBinding(model_, device_.id, monitor_.id, &MonitorConfig::gain, monitor_.gain);

    auto* card = new QVBoxLayout(this);
    card->setContentsMargins(padding, padding, padding, padding);
    card->setSpacing(10);

    // The header: state, name and output, the switch and the buttons.
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    stateIcon_ = new QLabel(this);
    stateIcon_->setFixedWidth(stateIconWidth);
    stateIcon_->setAlignment(Qt::AlignCenter);
    header->addWidget(stateIcon_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    name_ = new ElidingLabel(QString(), this);
    name_->setFont(Theme::font(13, QFont::Medium));
    status_ = new ElidingLabel(QString(), this);
    status_->setFont(Theme::font(10));
    // A long name or output elides rather than widening the column.
    for (ElidingLabel* label : {name_, status_}) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        label->setMinimumWidth(40);
        texts->addWidget(label);
    }
    header->addLayout(texts, 1);

    enable_ = new ToggleSwitch(this);
    enable_->setToolTip(tr("Enable Monitor"));
    enable_->setAccessibleName(tr("Enable Monitor"));
    connect(enable_, &ToggleSwitch::clicked, this, [this](bool on) { enabled_.set(on); });
    header->addWidget(enable_, 0, Qt::AlignVCenter);

    use_ = symbolButton(tr("Use This Monitor"), this);
    connect(use_, &QToolButton::clicked, this, &MonitorRow::useThisMonitor);
    header->addWidget(use_, 0, Qt::AlignVCenter);

    delete_ = symbolButton(tr("Delete Monitor"), this);
    connect(delete_, &QToolButton::clicked, this, [this] {
        // The save removes this card; it goes once the click has been handled.
        model_.deleteMonitor(device_.id, monitor_.id);
    });
    header->addWidget(delete_, 0, Qt::AlignVCenter);
    card->addLayout(header);

    // The volume line: mute, volume and its percentage.
    auto* volumeLine = new QHBoxLayout;
    volumeLine->setSpacing(8);
    mute_ = symbolButton(tr("Mute Monitor"), this);
    connect(mute_, &QToolButton::clicked, this, [this] {
        muted_.set(!muted_.get());
        refreshValues();
    });
    volumeLine->addWidget(mute_, 0, Qt::AlignVCenter);
    volume_ = new ContinuousSlider(minimumGain, maximumGain, this);
    connect(volume_, &ContinuousSlider::valueEdited, this, [this](double value) {
        gain_.set(value);
        refreshValues();
    });
    volumeLine->addWidget(volume_, 1, Qt::AlignVCenter);
    percent_ = new QLabel(this);
    percent_->setFont(Theme::monospacedFont(11));
    percent_->setFixedWidth(percentWidth);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    volumeLine->addWidget(percent_, 0, Qt::AlignVCenter);
    card->addLayout(volumeLine);

    // The channels.
    channelStack_ = new QVBoxLayout;
    channelStack_->setSpacing(5);
    card->addLayout(channelStack_);

    connect(&model_, &TidewellAppModel::snapshotChanged, this, &MonitorRow::refreshValues);
    connect(&model_, &TidewellAppModel::liveSnapshotChanged, this, &MonitorRow::refreshValues);
    connect(&model_, &TidewellAppModel::developerModeChanged, this, &MonitorRow::refreshHeader);
    connect(&model_, &TidewellAppModel::monitorOutputDevicesChanged, this,
            &MonitorRow::refreshHeader);
    // Channel names come from the whole inventory's outputs.
    connect(&model_, &TidewellAppModel::audioDeviceInventoryChanged, this,
            &MonitorRow::refreshChannels);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            &MonitorRow::refreshSymbols);

    refreshChannels();
    refreshHeader();
    refreshValues();
    refreshSymbols();
}

void MonitorRow::setMonitor(const DeviceConfig& device, const MonitorConfig& monitor) {
    device_ = device;
    monitor_ = monitor;
    refreshChannels();
    refreshHeader();
    refreshValues();
    refreshSymbols();
}

std::optional<QColor> MonitorRow::monitorTint() const {
    for (std::size_t index = 0; index < device_.monitors.size(); ++index) {
        if (device_.monitors[index].id != monitor_.id) continue;
        return ZVTheme::wireColor(int(device_.sources.size() + index),
                                  ColorSchemeSource::instance().scheme());
    }
    return std::nullopt;
}

bool MonitorRow::outputIsAvailable() const { return model_.monitorIsAvailable(monitor_); }

QString MonitorRow::statusText() const {
    // One call: a "%1" or "%2" in the output's name is text, not a place for the count.
    return tr("%1  %2ch").arg(QString::fromStdString(model_.monitorOutputName(monitor_)),
                              QString::number(monitor_.channelCount));
}

QString MonitorRow::stateSymbol() const {
    return monitor_.enabled ? QStringLiteral("speaker.wave.2.circle.fill")
                            : QStringLiteral("speaker.circle");
}

QString MonitorRow::channelTitle(std::int64_t channel) const {
    const auto name = TidewellAppModel::channelName(model_.audioDeviceInventory().outputs,
                                                    monitor_.deviceUID, channel);
    if (name) return QString::number(channel) + QStringLiteral(" \u00B7 ") + QString::fromStdString(*name);
    if (channel == 1) return tr("Channel 1 (L)");
    if (channel == 2) return tr("Channel 2 (R)");
    return tr("Channel %1").arg(channel);
}

RoutingChannelRow* MonitorRow::channelRow(std::int64_t channel) const {
    const auto found = channels_.find(channel);
    return found == channels_.end() ? nullptr : found->second;
}

void MonitorRow::refreshHeader() {
    name_->setText(QString::fromStdString(monitor_.name));
    status_->setText(statusText());
    if (outputIsAvailable())
        status_->setForeground(Theme::Foreground::secondary);
    else
        status_->setColor(Theme::orange(ColorSchemeSource::instance().scheme()));
    use_->setVisible(model_.developerMode());
}

void MonitorRow::refreshValues() {
    const bool enabled = enabled_.get();
    if (enable_->isChecked() != enabled) enable_->setChecked(enabled);
    showSymbol(mute_, muted_.get() ? QStringLiteral("speaker.slash.fill")
                                   : QStringLiteral("speaker.wave.2.fill"));
    const double gain = gain_.get();
    volume_->setValue(displayedGain(gain));
    percent_->setText(gainPercentText(gain));
    for (const auto& [channel, row] : channels_) row->refresh();
}

void MonitorRow::refreshSymbols() {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const QColor tint = monitor_.enabled ? Theme::accent(scheme) : Theme::secondaryText(scheme);
    stateIcon_->setPixmap(SymbolProvider::pixmap(
        stateSymbol(), SymbolProvider::sizeForFont(bodyPoints), tint, devicePixelRatioF()));
    showSymbol(use_, QStringLiteral("scope"));
    showSymbol(delete_, QStringLiteral("trash"));
    QPalette palette = percent_->palette();
    palette.setColor(QPalette::WindowText, Theme::secondaryText(scheme));
    percent_->setPalette(palette);
    // The orange of an absent output, the mute symbol and the ports' tint follow the scheme.
    refreshHeader();
    refreshValues();
    const auto tintOfPorts = monitorTint();
    for (const auto& [channel, row] : channels_) {
        if (auto* port = qobject_cast<RoutingChannelPort*>(row->leading())) port->setTint(tintOfPorts);
    }
}

// Channel rows are kept by number: a row that stays keeps its open volume, its meter's
// ballistics and its port; rows beyond a smaller count go, new numbers get new rows.
void MonitorRow::refreshChannels() {
    const auto numbers = channelNumbers(monitor_.channelCount);
    const std::int64_t count = numbers.empty() ? 0 : numbers.back();
    for (auto it = channels_.begin(); it != channels_.end();) {
        if (it->first <= count) {
            ++it;
            continue;
        }
        channelStack_->removeWidget(it->second);
        it->second->hide();
        it->second->deleteLater();
        it = channels_.erase(it);
    }
    const bool available = outputIsAvailable();
    const auto tint = monitorTint();
    for (const std::int64_t channel : numbers) {
        RoutingChannelRow* row = channelRow(channel);
        if (!row) {
            row = makeChannelRow(channel);
            channels_[channel] = row;
            channelStack_->addWidget(row);
            continue;
        }
        // The title follows the output's channel names; the row itself stays.
        row->setTitle(channelTitle(channel));
        if (auto* meter = qobject_cast<RoutingMeterView*>(row->meter()))
            meter->setTarget(device_, RoutingMonitorMeterTarget{monitor_, available, channel});
        if (auto* port = qobject_cast<RoutingChannelPort*>(row->leading())) port->setTint(tint);
    }
}

RoutingChannelRow* MonitorRow::makeChannelRow(std::int64_t channel) {
    auto* port = new RoutingChannelPort(
        RoutingPortID{{"monitor", monitor_.id, channel}, RoutingPortRole::monitorInput},
        /*canStartDrag=*/false);
    port->setTint(monitorTint());
    auto* meter = new RoutingMeterView(
        meters_, device_, RoutingMonitorMeterTarget{monitor_, outputIsAvailable(), channel});
    // The trailing slot stays empty: wires end on the leading port.
    auto* clear = new QWidget;
    return new RoutingChannelRow(channelTitle(channel), std::nullopt,
                                 monitorChannelGainBinding(model_, device_.id, monitor_.id, channel),
                                 port, meter, clear, this);
}

void MonitorRow::useThisMonitor() {
    // Only the in-application diagnostic monitor follows this pick; the configuration stays.
    const QString uid = QString::fromStdString(monitor_.deviceUID);
    model_.rememberMonitorOutput(uid);
    if (model_.monitorRunning()) model_.environment().helperLauncher->restartMonitor(model_);
}

}  // namespace tidewell
