#include "TidewellApp/SourceRow.h"

#include "SidebarParts.h"
#include "TidewellApp/ApplicationIcon.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/SourceChannelRows.h"
#include "TidewellApp/SourceTexts.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellApp/VolumeSliderLine.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr int padding = 10;
constexpr int pieceSpacing = 10;
constexpr int headerSpacing = 8;
constexpr int iconFrame = 20;
constexpr qreal applicationIconSize = 18;
constexpr qreal buttonPoints = 13;

QString text(const std::string& value) { return QString::fromStdString(value); }

ColorScheme currentScheme() { return ColorSchemeSource::instance().scheme(); }

bool showsMuteWhenCapturing(SourceType type) {
    return type == SourceType::application || type == SourceType::system;
}

}  // namespace

SourceRow::SourceRow(TidewellAppModel& model, const TidewellMeterModel& meters, const DeviceConfig& device,
                     const SourceConfig& source, QWidget* parent)
    : QWidget(parent), model_(model), meters_(meters), device_(device), source_(source) {
    setObjectName(QStringLiteral("sourceRow:") + text(source.id));
    // The row stands for this one source of this one device: its bindings live as long as it.
    // (Making them again on an update would destroy a binding while its own write runs: a
    // switch's write saves, and the save updates the rows.)
    makeBindings();
    auto* card = new QVBoxLayout(this);
    card->setContentsMargins(padding, padding, padding, padding);
    card->setSpacing(pieceSpacing);
    card->setAlignment(Qt::AlignTop);

    buildHeader(card);

    gain_ = new VolumeSliderLine(gainBinding_, this);
    card->addWidget(gain_);

    muteWhenCapturing_ = new QCheckBox(tr("Mute when capturing"), this);
    muteWhenCapturing_->setFont(Theme::font(11));
    muteWhenCapturing_->setToolTip(tr("Silence this source's direct output to the speakers while it is captured"));
    connect(muteWhenCapturing_, &QCheckBox::clicked, this, [this](bool on) {
        if (muteWhenCapturingBinding_.set) muteWhenCapturingBinding_.set(on);
    });
    card->addWidget(muteWhenCapturing_);

    channels_ = new SourceChannelRows(model_, meters_, this);
    card->addWidget(channels_);

    connect(&model_, &TidewellAppModel::liveSnapshotChanged, this, &SourceRow::refreshValues);
    connect(&model_, &TidewellAppModel::snapshotChanged, this, &SourceRow::refreshValues);
    connect(&model_, &TidewellAppModel::audioDeviceInventoryChanged, this, &SourceRow::refreshStatus);
    connect(&model_, &TidewellAppModel::applicationSourceCandidatesChanged, this, [this] {
        refreshStatus();
        refreshApplicationIcon();
    });
    connect(&model_, &TidewellAppModel::developerModeChanged, this, &SourceRow::refreshUseButton);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &SourceRow::refreshScheme);

    setSource(device, source);
}

void SourceRow::buildHeader(QVBoxLayout* card) {
    header_ = new QHBoxLayout;
    header_->setSpacing(headerSpacing);

    iconSlot_ = new QWidget(this);
    iconSlot_->setFixedSize(iconFrame, iconFrame);
    auto* slotLayout = new QHBoxLayout(iconSlot_);
    slotLayout->setContentsMargins(0, 0, 0, 0);
    slotLayout->setAlignment(Qt::AlignCenter);
    header_->addWidget(iconSlot_, 0, Qt::AlignVCenter);

    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    name_ = new ElidingLabel(QString(), this);
    name_->setFont(Theme::font(13, QFont::Medium));
    subtitle_ = new ElidingLabel(QString(), this);
    subtitle_->setFont(Theme::font(10));
    names->addWidget(name_);
    names->addWidget(subtitle_);
    header_->addLayout(names, 1);

    enabled_ = new ToggleSwitch(this);
    enabled_->setToolTip(tr("Enable Source"));
    enabled_->setAccessibleName(tr("Enable Source"));
    connect(enabled_, &ToggleSwitch::clicked, this, [this](bool on) {
        if (enabledBinding_.set) enabledBinding_.set(on);
    });
    header_->addWidget(enabled_, 0, Qt::AlignVCenter);

    mute_ = makeSymbolButton(QStringLiteral("speaker.wave.2.fill"), tr("Mute Source"), this, buttonPoints);
    connect(mute_, &QToolButton::clicked, this, [this] {
        if (mutedBinding_.set) mutedBinding_.set(!mutedBinding_.get());
    });
    header_->addWidget(mute_, 0, Qt::AlignVCenter);

    use_ = makeSymbolButton(QStringLiteral("scope"), tr("Use This Source"), this, buttonPoints);
    connect(use_, &QToolButton::clicked, this, &SourceRow::useSource);
    header_->addWidget(use_, 0, Qt::AlignVCenter);

    delete_ = makeSymbolButton(QStringLiteral("trash"), tr("Delete Source"), this, buttonPoints);
    connect(delete_, &QToolButton::clicked, this, [this] {
        // The save that follows takes this card away (later: this handler is still running).
        const std::string deviceID = device_.id, sourceID = source_.id;
        model_.deleteSource(deviceID, sourceID);
    });
    header_->addWidget(delete_, 0, Qt::AlignVCenter);

    card->addLayout(header_);
}

void SourceRow::setSource(const DeviceConfig& device, const SourceConfig& source) {
    const bool iconChanged = !icon_ || source.type != source_.type ||
                             source.metadata.bundleIdentifier != source_.metadata.bundleIdentifier ||
                             source.metadata.pid != source_.metadata.pid;
    device_ = device;
    source_ = source;
    if (iconChanged) buildIcon();
    name_->setText(text(source_.name));
    muteWhenCapturing_->setVisible(showsMuteWhenCapturing(source_.type));
    refreshUseButton();
    channels_->setSource(device_, source_);
    refreshStatus();
    refreshValues();
}

void SourceRow::makeBindings() {
    const std::string& deviceID = device_.id;
    const std::string& sourceID = source_.id;
    enabledBinding_ = sourceBinding(model_, deviceID, sourceID, &SourceConfig::enabled, source_.enabled);
    mutedBinding_ = sourceBinding(model_, deviceID, sourceID, &SourceConfig::muted, source_.muted);
    muteWhenCapturingBinding_ =
        sourceBinding(model_, deviceID, sourceID, &SourceConfig::muteWhenCapturing, source_.muteWhenCapturing);
    gainBinding_ = sourceBinding(model_, deviceID, sourceID, &SourceConfig::gain, source_.gain);
}

void SourceRow::buildIcon() {
    if (icon_) {
        iconSlot_->layout()->removeWidget(icon_);
        icon_->deleteLater();
    }
    if (source_.type == SourceType::application) {
        icon_ = new ApplicationIcon(source_.metadata.bundleIdentifier, source_.metadata.pid, applicationIconSize,
                                    iconSlot_);
        iconOfRunningApplication_ = model_.applicationIsAvailable(source_);
    } else {
        auto* label = new QLabel(iconSlot_);
        label->setAlignment(Qt::AlignCenter);
        icon_ = label;
    }
    iconSlot_->layout()->addWidget(icon_);
    refreshScheme();
}

void SourceRow::refreshApplicationIcon() {
    auto* icon = qobject_cast<ApplicationIcon*>(icon_);
    if (!icon) return;
    const bool running = model_.applicationIsAvailable(source_);
    if (running == iconOfRunningApplication_) return;
    iconOfRunningApplication_ = running;
    icon->refresh();
}

void SourceRow::refreshValues() {
    const bool enabled = enabledBinding_.get();
    if (enabled_->isChecked() != enabled) enabled_->setChecked(enabled);
    const QString symbol =
        mutedBinding_.get() ? QStringLiteral("speaker.slash.fill") : QStringLiteral("speaker.wave.2.fill");
    if (symbol != muteSymbol_) {
        muteSymbol_ = symbol;
        mute_->setIcon(SymbolProvider::icon(muteSymbol_, Theme::primaryText(currentScheme())));
    }
    const bool muteWhenCapturing = muteWhenCapturingBinding_.get();
    if (muteWhenCapturing_->isChecked() != muteWhenCapturing) muteWhenCapturing_->setChecked(muteWhenCapturing);
    gain_->refresh();
    channels_->refreshValues();
}

void SourceRow::refreshStatus() {
    subtitle_->setText(sourceSubtitle(model_, source_));
    subtitle_->setColor(sourceSubtitleColor(model_, source_, currentScheme()));
    channels_->refreshTitles();
}

void SourceRow::refreshUseButton() {
    // A pass-thru or nested-device source has no in-application capture helper to point at.
    use_->setVisible(source_.type != SourceType::passThru && source_.type != SourceType::virtualDevice &&
                     model_.developerMode());
}

void SourceRow::refreshScheme() {
    const ColorScheme scheme = currentScheme();
    if (auto* label = qobject_cast<QLabel*>(icon_)) {
        label->setPixmap(SymbolProvider::pixmap(sourceSymbol(source_.type), SymbolProvider::sizeForFont(13),
                                                Theme::secondaryText(scheme), devicePixelRatioF()));
    }
    if (!muteSymbol_.isEmpty()) mute_->setIcon(SymbolProvider::icon(muteSymbol_, Theme::primaryText(scheme)));
    subtitle_->setColor(sourceSubtitleColor(model_, source_, scheme));
    channels_->refreshTint();
}

void SourceRow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshScheme();  // the screen, and with it the pixel ratio, is known now
}

void SourceRow::useSource() {
    switch (source_.type) {
        case SourceType::passThru:
        case SourceType::virtualDevice:
            // Neither has an in-application capture helper to point at.
            return;
        case SourceType::application: {
            if (!source_.metadata.pid) return;
            const QString pid = QString::number(*source_.metadata.pid);
            model_.rememberApplication(pid);
            if (model_.processTapRunning()) model_.environment().helperLauncher->restartProcessTap(model_);
            return;
        }
        case SourceType::system:
            model_.useSystemAudioSource();
            return;
        case SourceType::hardwareInput: {
            if (!source_.metadata.deviceUID) return;
            const QString uid = text(*source_.metadata.deviceUID);
            model_.rememberHardwareInput(uid);
            if (model_.hardwareSourceRunning()) model_.environment().helperLauncher->restartHardwareSource(model_);
            return;
        }
    }
}

}  // namespace tidewell
