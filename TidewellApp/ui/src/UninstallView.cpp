#include "TidewellApp/UninstallView.h"

#include "SetupSheetParts.h"
#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/DriverInstaller.h"

#include <QApplication>
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

// The uninstaller's own plug-in folder, so the text names the folder that is emptied.
QString plugInFolder(const AppUninstaller& uninstaller) { return uninstaller.setup().plugInFolder; }

}  // namespace

const std::array<UninstallView::StepRow, 4>& UninstallView::steps() {
    static const std::array<StepRow, 4> table{{
        {AppUninstallStep::driver, QStringLiteral("Audio driver"),
         QStringLiteral("The virtual audio devices in ") + driverPlugInFolder() +
             QStringLiteral(". Removing them asks for your administrator password.")},
        {AppUninstallStep::service, QStringLiteral("Background service"),
         QStringLiteral("The launch agent and helper tools that route audio.")},
        {AppUninstallStep::userData, QStringLiteral("Settings and logs"),
         QStringLiteral("Device configuration, preferences, and log files.")},
        {AppUninstallStep::trashApp, QStringLiteral("The app itself"),
         productName() + QStringLiteral(" moves to the Trash and quits.")},
    }};
    return table;
}

UninstallView::RowState UninstallView::rowState(AppUninstallStep::Value step, const AppUninstallPhase& phase) {
    switch (phase.kind) {
    case AppUninstallPhase::Kind::running:
        if (step < phase.step) return RowState::done;
        if (step == phase.step) return RowState::active;
        return RowState::pending;
    case AppUninstallPhase::Kind::trashFailed:
        return step == AppUninstallStep::trashApp ? RowState::pending : RowState::done;
    case AppUninstallPhase::Kind::failed:
    case AppUninstallPhase::Kind::idle:
        break;
    }
    return RowState::pending;
}

UninstallView::UninstallView(TidewellAppModel& model, AppUninstaller& uninstaller, QWidget* parent)
    : QWidget(parent), model_(model), uninstaller_(&uninstaller) {
    setObjectName(QStringLiteral("uninstallView"));
    dismiss_ = [this] { window()->close(); };
    terminate_ = [] { QCoreApplication::quit(); };

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->setSpacing(18);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    setFixedWidth(460);

    header_ = new setupsheet::Header(
        QStringLiteral("trash.circle.fill"), [] { return Theme::red(setupsheet::scheme()); },
        QStringLiteral("Uninstall ") + productName(),
        QStringLiteral("This removes ") + productName() + QStringLiteral(" and all of its components from this Mac."),
        this);
    header_->setFixedWidth(460 - 48);
    outer->addWidget(header_);

    auto* card = new setupsheet::RowCard(this);
    card->setFixedWidth(460 - 48);
    for (const StepRow& entry : steps()) {
        auto* row = new setupsheet::StatusRow(entry.title, entry.subtitle, card);
        row->setObjectName(QStringLiteral("uninstallRow%1").arg(int(entry.step)));
        rows_[entry.step] = row;
        card->rows()->addWidget(row);
    }
    // The driver row names the folder this uninstaller empties.
    rows_[AppUninstallStep::driver]->setSubtitle(QStringLiteral("The virtual audio devices in ") +
                                                 plugInFolder(uninstaller) +
                                                 QStringLiteral(". Removing them asks for your administrator password."));
    // A program the package manager installed is not the user's to move to the Trash.
    if (!uninstaller.canTrashRunningBundle()) {
        rows_[AppUninstallStep::trashApp]->setSubtitle(
            productName() + QStringLiteral(" quits. Its program files stay in place: remove its package with your "
                                           "package manager."));
    }
    outer->addWidget(card);

    footnote_ = setupsheet::selectableCallout(this);
    footnote_->setObjectName(QStringLiteral("uninstallFootnote"));
    footnote_->setTextInteractionFlags(Qt::NoTextInteraction);
    footnote_->setFixedWidth(460 - 48);
    outer->addWidget(footnote_);

    // The system's password dialog (pkexec's) names only the program it runs; this says who asks.
    prompt_ = setupsheet::selectableCallout(this);
    prompt_->setObjectName(QStringLiteral("uninstallPrompt"));
    prompt_->setTextInteractionFlags(Qt::NoTextInteraction);
    prompt_->setFixedWidth(460 - 48);
    outer->addWidget(prompt_);

    error_ = setupsheet::selectableCallout(this);
    error_->setObjectName(QStringLiteral("uninstallError"));
    error_->setFixedWidth(460 - 48);
    outer->addWidget(error_);

    auto* buttons = new QHBoxLayout;
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("uninstallCancel"));
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, [this] {
        if (dismiss_) dismiss_();
    });
    spinner_ = new setupsheet::Spinner(this);
    primary_ = new QPushButton(this);
    primary_->setObjectName(QStringLiteral("uninstallPrimary"));
    connect(primary_, &QPushButton::clicked, this, [this] {
        if (uninstaller_) uninstaller_->uninstall(model_);
    });
    quit_ = new QPushButton(QStringLiteral("Quit"), this);
    quit_->setObjectName(QStringLiteral("uninstallQuit"));
    connect(quit_, &QPushButton::clicked, this, [this] {
        if (terminate_) terminate_();
    });
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    buttons->addWidget(spinner_);
    buttons->addSpacing(6);
    buttons->addWidget(primary_);
    buttons->addWidget(quit_);
    outer->addLayout(buttons);

    // Escape is Cancel's key, Return the default button's; both are the view's own so that they
    // hold in whatever window hosts it. Escape stays taken while Cancel is disabled, so a dialog
    // around the view cannot close itself behind a running uninstall.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &UninstallView::escape);
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto* confirm = new QShortcut(QKeySequence(key), this);
        confirm->setContext(Qt::WindowShortcut);
        connect(confirm, &QShortcut::activated, this, &UninstallView::activatePrimary);
    }

    connect(&uninstaller, &AppUninstaller::phaseChanged, this, &UninstallView::refresh);
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this] {
        header_->refreshColors();
        for (auto* row : rows_) row->refreshColors();
        refresh();
    });
    refresh();
}

bool UninstallView::spinnerShown() const { return !spinner_->isHidden(); }

void UninstallView::escape() {
    if (cancel_->isVisible() && cancel_->isEnabled()) cancel_->click();
}

void UninstallView::activatePrimary() {
    if (!quit_->isHidden() && quit_->isEnabled()) return quit_->click();
    if (!primary_->isHidden() && primary_->isEnabled()) primary_->click();
}

void UninstallView::refresh() {
    if (!uninstaller_) return;
    const AppUninstallPhase phase = uninstaller_->phase();
    const ColorScheme scheme = setupsheet::scheme();
    for (const StepRow& entry : steps()) {
        switch (rowState(entry.step, phase)) {
        case RowState::pending:
            rows_[entry.step]->setSymbol(QStringLiteral("circle"), Theme::secondaryText(scheme));
            break;
        case RowState::active:
            rows_[entry.step]->setSpinning();
            break;
        case RowState::done:
            rows_[entry.step]->setSymbol(QStringLiteral("checkmark.circle.fill"), Theme::green(scheme));
            break;
        }
    }

    const bool trashFailed = phase.kind == AppUninstallPhase::Kind::trashFailed;
    const bool running = phase.isRunning();
    if (trashFailed) {
        footnote_->setText(productName() + QStringLiteral(" couldn't move itself to the Trash: ") + phase.message +
                           QStringLiteral(" Everything else was removed — drag ") + productName() +
                           QStringLiteral(" to the Trash to finish."));
    } else {
        footnote_->setText(
            QStringLiteral("System audio will pause for a moment while macOS restarts its audio engine."));
    }
    setupsheet::setTextColor(footnote_, Theme::secondaryText(scheme));

    const bool asking = phase == AppUninstallPhase::running(AppUninstallStep::driver);
    prompt_->setText(asking ? AppUninstaller::administratorPrompt() : QString());
    prompt_->setVisible(asking);
    setupsheet::setTextColor(prompt_, Theme::secondaryText(scheme));

    const bool failed = phase.kind == AppUninstallPhase::Kind::failed;
    error_->setText(failed ? phase.message : QString());
    error_->setVisible(failed);
    setupsheet::setTextColor(error_, Theme::red(scheme));

    cancel_->setVisible(!trashFailed);
    cancel_->setEnabled(!running);
    spinner_->setVisible(!trashFailed && running);
    primary_->setVisible(!trashFailed);
    primary_->setEnabled(!running);
    primary_->setText(failed ? QStringLiteral("Try Again") : QStringLiteral("Uninstall ") + productName());
    // The destructive role: the title in red.
    QPalette destructive = primary_->palette();
    destructive.setColor(QPalette::ButtonText, Theme::red(scheme));
    primary_->setPalette(destructive);
    primary_->setDefault(!trashFailed);
    quit_->setVisible(trashFailed);
    quit_->setDefault(trashFailed);
}

}  // namespace tidewell
