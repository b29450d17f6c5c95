#include "TidewellApp/MonitorRow.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/Preferences.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/ToggleSwitch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr qreal bodyPoints = 13;  // the text size the header's symbols sit beside
constexpr int stateIconWidth = 20;

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
    enabled_ = monitorBinding(model_, device_.id, monitor_.id, &MonitorConfig::enabled,
                              monitor_.enabled);

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
    texts->addWidget(name_);
    texts->addWidget(status_);
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

    connect(&model_, &TidewellAppModel::snapshotChanged, this, &MonitorRow::refreshValues);
    connect(&model_, &TidewellAppModel::liveSnapshotChanged, this, &MonitorRow::refreshValues);
    connect(&model_, &TidewellAppModel::developerModeChanged, this, &MonitorRow::refreshHeader);
    connect(&model_, &TidewellAppModel::monitorOutputDevicesChanged, this,
            &MonitorRow::refreshHeader);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            &MonitorRow::refreshSymbols);

    refreshHeader();
    refreshValues();
    refreshSymbols();
}

void MonitorRow::setMonitor(const DeviceConfig& device, const MonitorConfig& monitor) {
    device_ = device;
    monitor_ = monitor;
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
    return tr("%1  %2ch")
        .arg(QString::fromStdString(model_.monitorOutputName(monitor_)))
        .arg(monitor_.channelCount);
}

QString MonitorRow::stateSymbol() const {
    return monitor_.enabled ? QStringLiteral("speaker.wave.2.circle.fill")
                            : QStringLiteral("speaker.circle");
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
}

void MonitorRow::refreshSymbols() {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const QColor tint = monitor_.enabled ? Theme::accent(scheme) : Theme::secondaryText(scheme);
    stateIcon_->setPixmap(SymbolProvider::pixmap(
        stateSymbol(), SymbolProvider::sizeForFont(bodyPoints), tint, devicePixelRatioF()));
    showSymbol(use_, QStringLiteral("scope"));
    showSymbol(delete_, QStringLiteral("trash"));
    // The orange of an absent output follows the scheme too.
    refreshHeader();
}

void MonitorRow::useThisMonitor() {
    // Only the in-application diagnostic monitor follows this pick; the configuration stays.
    const QString uid = QString::fromStdString(monitor_.deviceUID);
    model_.setSelectedMonitorOutputUID(uid);
    model_.environment().preferences->setString(PreferenceKeys::monitorOutputUID, uid);
    if (model_.monitorRunning()) model_.environment().helperLauncher->restartMonitor(model_);
}

}  // namespace tidewell
