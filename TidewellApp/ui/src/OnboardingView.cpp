#include "TidewellApp/OnboardingView.h"

#include "SetupSheetParts.h"
#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/TidewellAppModel.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <TidewellCore/Branding.h>

namespace tidewell {

namespace {

QString productName() {
    return QString::fromUtf8(Branding::productName.data(), qsizetype(Branding::productName.size()));
}

QString shortPart(const QString& version) {
    const qsizetype at = version.indexOf(QStringLiteral(" ("));
    return at < 0 ? version : version.left(at);
}

QColor tintColor(OnboardingView::RowState::Tint tint) {
    const ColorScheme scheme = setupsheet::scheme();
    switch (tint) {
    case OnboardingView::RowState::Tint::green: return Theme::green(scheme);
    case OnboardingView::RowState::Tint::orange: return Theme::orange(scheme);
    case OnboardingView::RowState::Tint::secondary: break;
    }
    return Theme::secondaryText(scheme);
}

using Kind = DriverInstallStatus::Kind;

}  // namespace

QString OnboardingView::updateDescription(const QString& installed, const QString& bundled) {
    const QString arrow = QStringLiteral(" \u2192 ");
    if (shortPart(installed) != shortPart(bundled)) return shortPart(installed) + arrow + shortPart(bundled);
    return installed + arrow + bundled;
}

OnboardingView::RowState OnboardingView::driverRowState(const DriverInstallStatus& status, bool halDriverLoaded) {
    using Tint = RowState::Tint;
    switch (status.kind) {
    case Kind::unknown:
    case Kind::bundleMissing:
        return {QStringLiteral("questionmark.circle.fill"), Tint::secondary, QStringLiteral("Unavailable")};
    case Kind::notInstalled:
        return {QStringLiteral("exclamationmark.circle.fill"), Tint::orange, QStringLiteral("Not installed")};
    case Kind::outdated:
        return {QStringLiteral("arrow.up.circle.fill"), Tint::orange,
                QStringLiteral("Update ") + updateDescription(status.installed, status.bundled)};
    case Kind::upToDate:
        break;
    }
    if (!halDriverLoaded)
        return {QStringLiteral("exclamationmark.circle.fill"), Tint::orange, QStringLiteral("Installed, not loaded")};
    return {QStringLiteral("checkmark.circle.fill"), Tint::green, QStringLiteral("Installed")};
}

OnboardingView::RowState OnboardingView::serviceRowState(bool serviceRunning, bool serviceInstalled) {
    using Tint = RowState::Tint;
    if (serviceRunning) return {QStringLiteral("checkmark.circle.fill"), Tint::green, QStringLiteral("Running")};
    if (serviceInstalled) return {QStringLiteral("exclamationmark.circle.fill"), Tint::orange, QStringLiteral("Stopped")};
    return {QStringLiteral("exclamationmark.circle.fill"), Tint::orange, QStringLiteral("Not installed")};
}

QString OnboardingView::primaryTitle(const DriverInstallStatus& status, bool halDriverLoaded, bool setupComplete) {
    if (setupComplete) return QStringLiteral("Done");
    if (status.kind == Kind::outdated) return QStringLiteral("Update");
    if (status.kind == Kind::upToDate && !halDriverLoaded) return QStringLiteral("Repair");
    return QStringLiteral("Install");
}

OnboardingView::OnboardingView(TidewellAppModel& model, DriverInstaller& installer, std::function<void()> onClose,
                               QWidget* parent)
    : QWidget(parent), model_(&model), installer_(&installer), onClose_(std::move(onClose)) {
    setObjectName(QStringLiteral("onboardingView"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->setSpacing(18);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    setFixedWidth(460);
    constexpr int inner = 460 - 48;

    header_ = new setupsheet::Header(
        QStringLiteral("waveform.circle.fill"), [] { return Theme::accent(setupsheet::scheme()); },
        QStringLiteral("Set Up ") + productName(), QStringLiteral("Two components route your audio."), this);
    header_->setFixedWidth(inner);
    outer->addWidget(header_);

    auto* card = new setupsheet::RowCard(this);
    card->setFixedWidth(inner);
    driverRow_ = new setupsheet::StatusRow(
        QStringLiteral("Audio driver"),
        QStringLiteral("Creates the virtual audio devices. Installing asks for your administrator password once."), card);
    driverRow_->setObjectName(QStringLiteral("onboardingDriverRow"));
    serviceRow_ = new setupsheet::StatusRow(
        QStringLiteral("Background service"),
        QStringLiteral("Moves audio between apps and devices, even when ") + productName() +
            QStringLiteral(" is closed."),
        card);
    serviceRow_->setObjectName(QStringLiteral("onboardingServiceRow"));
    card->rows()->addWidget(driverRow_);
    card->rows()->addWidget(serviceRow_);
    outer->addWidget(card);

    // The system's password dialog (pkexec's) names only the program it runs; this says who asks.
    prompt_ = setupsheet::selectableCallout(this);
    prompt_->setObjectName(QStringLiteral("onboardingPrompt"));
    prompt_->setTextInteractionFlags(Qt::NoTextInteraction);
    prompt_->setFixedWidth(inner);
    outer->addWidget(prompt_);

    error_ = setupsheet::selectableCallout(this);
    error_->setObjectName(QStringLiteral("onboardingError"));
    error_->setFixedWidth(inner);
    outer->addWidget(error_);

    auto* buttons = new QHBoxLayout;
    notNow_ = new QPushButton(QStringLiteral("Not Now"), this);
    notNow_->setObjectName(QStringLiteral("onboardingNotNow"));
    notNow_->setAutoDefault(false);
    connect(notNow_, &QPushButton::clicked, this, &OnboardingView::requestClose);
    spinner_ = new setupsheet::Spinner(this);
    primary_ = new QPushButton(this);
    primary_->setObjectName(QStringLiteral("onboardingPrimary"));
    primary_->setDefault(true);
    connect(primary_, &QPushButton::clicked, this, [this] {
        if (setupComplete()) return requestClose();
        runSetup();
    });
    buttons->addWidget(notNow_);
    buttons->addStretch(1);
    buttons->addWidget(spinner_);
    buttons->addSpacing(6);
    buttons->addWidget(primary_);
    outer->addLayout(buttons);

    // Return presses the primary button while it is enabled. "Not Now" is no cancel action, and
    // the sheet has no dismiss action of its own: Escape is taken and does nothing, so that a
    // dialog around the sheet cannot close it either. Only the sheet's buttons close it.
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto* confirm = new QShortcut(QKeySequence(key), this);
        confirm->setContext(Qt::WindowShortcut);
        connect(confirm, &QShortcut::activated, this, [this] {
            if (primary_->isEnabled()) primary_->click();
        });
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);

    for (auto signal : {&DriverInstaller::statusChanged, &DriverInstaller::lastErrorChanged,
                        &DriverInstaller::administratorPromptChanged})
        connect(&installer, signal, this, &OnboardingView::refresh);
    for (auto signal : {&TidewellAppModel::halDriverLoadedChanged, &TidewellAppModel::serviceInstalledChanged,
                        &TidewellAppModel::serviceRunningChanged})
        connect(&model, signal, this, &OnboardingView::refresh);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] {
        header_->refreshColors();
        driverRow_->refreshColors();
        serviceRow_->refreshColors();
        refresh();
    });
    refresh();
}

bool OnboardingView::spinnerShown() const { return !spinner_->isHidden(); }

bool OnboardingView::setupComplete() const {
    if (!model_ || !installer_) return false;
    return installer_->status().kind == Kind::upToDate && model_->halDriverLoaded() && model_->serviceRunning();
}

void OnboardingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!model_ || !installer_) return;
    installer_->refresh();
    recheckDriver();
    model_->refreshServiceStatus();
}

void OnboardingView::recheckDriver() {
    DeviceRegistry& registry = *model_->environment().registry;
    model_->setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
}

void OnboardingView::requestClose() {
    if (onClose_) onClose_();
}

void OnboardingView::setSettingUp(bool value) {
    settingUp_ = value;
    refresh();
}

void OnboardingView::runSetup() {
    if (settingUp_ || !model_ || !installer_) return;
    setSettingUp(true);
    const DriverInstallStatus status = installer_->status();
    const bool needsInstall = status.kind == Kind::notInstalled || status.kind == Kind::outdated ||
                              (status.kind == Kind::upToDate && !model_->halDriverLoaded());
    if (!needsInstall) return finishRun();
    QPointer<OnboardingView> self(this);
    installer_->installOrUpdate([self](bool loaded) {
        if (!self) return;
        if (!loaded) return self->setSettingUp(false);
        self->finishRun();
    });
}

void OnboardingView::finishRun() {
    if (!model_ || !installer_) return setSettingUp(false);
    if (!model_->serviceRunning()) model_->installOrRestartService();
    // The install runs off the main thread and launchd answers later: the run goes on once both
    // are done, so that it judges the service as it now is.
    model_->whenServiceSettled(this, [this] {
        if (!model_ || !installer_) return setSettingUp(false);
        recheckDriver();
        model_->refreshServiceStatus();
        model_->whenServiceSettled(this, [this] {
            if (!model_ || !installer_) return setSettingUp(false);
            installer_->refresh();
            if (setupComplete()) requestClose();
            setSettingUp(false);
        });
    });
}

void OnboardingView::refresh() {
    if (!model_ || !installer_) return;
    const DriverInstallStatus status = installer_->status();
    const RowState driver = driverRowState(status, model_->halDriverLoaded());
    driverRow_->setSymbol(driver.symbol, tintColor(driver.tint));
    driverRow_->setDetail(driver.detail);
    const RowState service = serviceRowState(model_->serviceRunning(), model_->serviceInstalled());
    serviceRow_->setSymbol(service.symbol, tintColor(service.tint));
    serviceRow_->setDetail(service.detail);

    const auto prompt = installer_->administratorPrompt();
    prompt_->setText(prompt.value_or(QString()));
    prompt_->setVisible(prompt.has_value());
    setupsheet::setTextColor(prompt_, Theme::secondaryText(setupsheet::scheme()));

    const auto lastError = installer_->lastError();
    error_->setText(lastError.value_or(QString()));
    error_->setVisible(lastError.has_value());
    setupsheet::setTextColor(error_, Theme::red(setupsheet::scheme()));

    notNow_->setEnabled(!settingUp_);
    primary_->setEnabled(!settingUp_);
    primary_->setText(primaryTitle(status, model_->halDriverLoaded(), setupComplete()));
    spinner_->setVisible(settingUp_);
}

}  // namespace tidewell
