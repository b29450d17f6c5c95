#pragma once
// The content of the uninstall window: what will be removed, in four rows that follow the
// uninstaller's steps, which step runs and which are done, the start and "Try Again", and after
// a failed move to the Trash the way to finish by hand. Everything shown follows the
// uninstaller's phase; the view keeps no state of its own, so a window closed and opened again
// shows the same phase.
//
// Escape dismisses the window like "Cancel", and does nothing while a run is in progress.

#include "TidewellApp/AppUninstaller.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>

class QLabel;
class QPushButton;

namespace tidewell {

class TidewellAppModel;
namespace setupsheet {
class Header;
class StatusRow;
class Spinner;
}  // namespace setupsheet

class UninstallView : public QWidget {
    Q_OBJECT
public:
    struct StepRow {
        AppUninstallStep::Value step;
        QString title;
        QString subtitle;
    };
    // The four rows in step order.
    static const std::array<StepRow, 4>& steps();
    enum class RowState { pending, active, done };
    static RowState rowState(AppUninstallStep::Value step, const AppUninstallPhase& phase);

    UninstallView(TidewellAppModel& model, AppUninstaller& uninstaller, QWidget* parent = nullptr);

    // Closes the window; by default the top-level window this view is in.
    void setDismiss(std::function<void()> dismiss) { dismiss_ = std::move(dismiss); }
    // Ends the application ("Quit" after a failed move to the Trash); by default quits.
    void setTerminate(std::function<void()> terminate) { terminate_ = std::move(terminate); }

    // For tests and the window: the parts whose state follows the phase.
    setupsheet::StatusRow* row(AppUninstallStep::Value step) const { return rows_[step]; }
    QLabel* footnote() const { return footnote_; }
    QLabel* errorText() const { return error_; }
    // Why the administrator is asked, during the driver step.
    QLabel* promptText() const { return prompt_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* primaryButton() const { return primary_; }
    QPushButton* quitButton() const { return quit_; }
    bool spinnerShown() const;

private:
    void refresh();
    void escape();
    void activatePrimary();

    TidewellAppModel& model_;
    QPointer<AppUninstaller> uninstaller_;
    std::function<void()> dismiss_;
    std::function<void()> terminate_;
    setupsheet::Header* header_;
    std::array<setupsheet::StatusRow*, 4> rows_{};
    QLabel* footnote_;
    QLabel* prompt_;
    QLabel* error_;
    QPushButton* cancel_;
    QPushButton* primary_;
    QPushButton* quit_;
    setupsheet::Spinner* spinner_;
};

}  // namespace tidewell
