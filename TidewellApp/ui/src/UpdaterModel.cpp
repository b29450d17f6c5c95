#include "TidewellApp/UpdaterModel.h"

#include <TidewellCore/TidewellConstants.h>

#include <QCoreApplication>

namespace tidewell {

QList<QMap<QString, QString>> FeedParametersDelegate::feedParameters(bool) const {
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty()) version = QStringLiteral("unknown");
    return {{{QStringLiteral("key"), QStringLiteral("appVersion")}, {QStringLiteral("value"), version}}};
}

QString UpdaterModel::ownBundleIdentifier() {
    return QString::fromUtf8(TidewellCore::appBundleID.data(), qsizetype(TidewellCore::appBundleID.size()));
}

UpdaterModel::UpdaterModel(const QString& runningBundleIdentifier, const ControllerFactory& makeController,
                           QObject* parent)
    : QObject(parent) {
    // Only the application itself runs an updater; a build under another identifier has none.
    if (runningBundleIdentifier.isEmpty() || runningBundleIdentifier != ownBundleIdentifier()) return;
    if (!makeController) return;
    controller_ = makeController(feedDelegate_);
    if (!controller_) return;
    connect(controller_.get(), &UpdateController::canCheckForUpdatesChanged, this,
            &UpdaterModel::setCanCheckForUpdates);
    setCanCheckForUpdates(controller_->canCheckForUpdates());
}

UpdaterModel::~UpdaterModel() = default;

void UpdaterModel::checkForUpdates() {
    if (controller_) controller_->checkForUpdates();
}

void UpdaterModel::setCanCheckForUpdates(bool canCheck) {
    if (canCheck == canCheckForUpdates_) return;
    canCheckForUpdates_ = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}

}  // namespace tidewell
