#pragma once
// The application's side of software updates: an update controller runs only when the
// application runs under its own bundle identifier and a controller is available, and
// `canCheckForUpdates` mirrors whether it allows a manual check. On Linux the package manager
// updates the application, so there is no controller and "Check for Updates…" stays disabled.

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace tidewell {

// Adds the application's version to every update-feed request.
class FeedParametersDelegate {
public:
    // Exactly one entry: "key" → "appVersion", "value" → the short version or "unknown".
    // Whether a system profile is sent does not matter.
    QList<QMap<QString, QString>> feedParameters(bool sendingSystemProfile) const;
};

// An update framework's controller: started at construction, reporting whether a
// user-initiated check is possible (initial value included) and running such a check.
class UpdateController : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool canCheckForUpdates() const = 0;
    virtual void checkForUpdates() = 0;
signals:
    void canCheckForUpdatesChanged(bool canCheck);
};

class UpdaterModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    // Makes a started controller that uses the delegate; none where no framework exists.
    using ControllerFactory = std::function<std::unique_ptr<UpdateController>(FeedParametersDelegate&)>;

    // `runningBundleIdentifier` is the identifier the application runs under; a controller is
    // made only when it equals the application's own and a factory is given.
    explicit UpdaterModel(const QString& runningBundleIdentifier = ownBundleIdentifier(),
                          const ControllerFactory& makeController = {}, QObject* parent = nullptr);
    ~UpdaterModel() override;

    static QString ownBundleIdentifier();

    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    UpdateController* controller() const { return controller_.get(); }
    FeedParametersDelegate& feedDelegate() { return feedDelegate_; }

    // The menu command: a user-initiated check when there is a controller, else nothing.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged(bool canCheck);

private:
    void setCanCheckForUpdates(bool canCheck);

    bool canCheckForUpdates_ = false;
    FeedParametersDelegate feedDelegate_;
    std::unique_ptr<UpdateController> controller_;
};

}  // namespace tidewell
