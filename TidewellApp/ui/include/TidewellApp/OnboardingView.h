#pragma once
// The setup sheet: the state of the audio driver and of the background service, one line on
// each, and one button that sets up whatever is missing (installs or updates the plug-in,
// installs or restarts the service, checks again) and closes the sheet when all is in place.
// Everything shown is derived from the installer and the model whenever they change.

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

namespace tidewell {

class DriverInstaller;
class TidewellAppModel;
struct DriverInstallStatus;
namespace setupsheet {
class Header;
class StatusRow;
class Spinner;
}  // namespace setupsheet

class OnboardingView : public QWidget {
    Q_OBJECT
public:
    // `onClose` closes the sheet (the presenter's flag becomes false).
    OnboardingView(TidewellAppModel& model, DriverInstaller& installer, std::function<void()> onClose,
                   QWidget* parent = nullptr);

    struct RowState {
        QString symbol;
        enum class Tint { secondary, orange, green } tint;
        QString detail;
        bool operator==(const RowState&) const = default;
    };
    static RowState driverRowState(const DriverInstallStatus& status, bool halDriverLoaded);
    static RowState serviceRowState(bool serviceRunning, bool serviceInstalled);
    static QString updateDescription(const QString& installed, const QString& bundled);
    static QString primaryTitle(const DriverInstallStatus& status, bool halDriverLoaded, bool setupComplete);

    bool setupComplete() const;
    bool settingUp() const { return settingUp_; }
    // Starts the setup run (the primary button while setup is not complete).
    void runSetup();

    setupsheet::StatusRow* driverRow() const { return driverRow_; }
    setupsheet::StatusRow* serviceRow() const { return serviceRow_; }
    QLabel* errorText() const { return error_; }
    // Why the administrator is asked, while the installer asks.
    QLabel* promptText() const { return prompt_; }
    QPushButton* notNowButton() const { return notNow_; }
    QPushButton* primaryButton() const { return primary_; }
    bool spinnerShown() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void recheckDriver();
    void finishRun();
    void requestClose();
    void setSettingUp(bool value);

    QPointer<TidewellAppModel> model_;
    QPointer<DriverInstaller> installer_;
    std::function<void()> onClose_;
    bool settingUp_ = false;
    setupsheet::Header* header_;
    setupsheet::StatusRow* driverRow_;
    setupsheet::StatusRow* serviceRow_;
    QLabel* prompt_;
    QLabel* error_;
    QPushButton* notNow_;
    QPushButton* primary_;
    setupsheet::Spinner* spinner_;
};

}  // namespace tidewell
