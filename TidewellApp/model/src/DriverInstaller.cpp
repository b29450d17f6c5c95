#include "TidewellApp/DriverInstaller.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <TidewellCore/Branding.h>

#include "TidewellApp/SetupActivity.h"

#include <mutex>
#include <thread>

namespace tidewell {
namespace {

QString productName() {
  return QString::fromUtf8(Branding::productName.data(), static_cast<qsizetype>(Branding::productName.size()));
}

// Whether two bundles hold the same plug-in: their content hashes decide when both have one,
// else their version texts.
bool sameBundle(const QString& versionA, const std::optional<QString>& hashA, const QString& versionB,
                const std::optional<QString>& hashB) {
  if (hashA && hashB) return *hashA == *hashB;
  return versionA == versionB;
}

std::optional<QString> fromStd(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return QString::fromStdString(*text);
}

}  // namespace

DriverInstaller::DriverInstaller(QObject* parent) : DriverInstaller(DriverInstallerSetup::standard(), parent) {}

struct DriverInstaller::CommandOutcome {
  std::mutex lock;
  bool ended = false;
  std::optional<QString> error;
};

DriverInstaller::DriverInstaller(DriverInstallerSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), outcomePoll_(new QTimer(this)) {
  outcomePoll_->setInterval(20);
  connect(outcomePoll_, &QTimer::timeout, this, &DriverInstaller::collectOutcome);
}

std::optional<QString> DriverInstaller::bundledURL() const {
  if (setup_.carriedBundle.isEmpty() || !QFileInfo(setup_.carriedBundle).isDir()) return std::nullopt;
  return setup_.carriedBundle;
}

QString DriverInstaller::installedBundlePath() const {
  return QDir::cleanPath(setup_.plugInFolder) + QLatin1Char('/') +
         QString::fromUtf8(Branding::driverBundleBasename.data(),
                           static_cast<qsizetype>(Branding::driverBundleBasename.size())) +
         QStringLiteral(".driver");
}

void DriverInstaller::setStatus(const DriverInstallStatus& status) {
  status_ = status;
  emit statusChanged();
}

DriverInstaller::~DriverInstaller() {
  if (installing_) SetupActivity::shared().driverInstallEnded();
}

void DriverInstaller::setInstalling(bool installing) {
  if (installing != installing_) {
    if (installing) SetupActivity::shared().driverInstallStarted();
    else SetupActivity::shared().driverInstallEnded();
  }
  installing_ = installing;
  emit installingChanged();
}

void DriverInstaller::setLastError(const std::optional<QString>& error) {
  lastError_ = error;
  emit lastErrorChanged();
}

void DriverInstaller::setAdministratorPrompt(const std::optional<QString>& prompt) {
  if (administratorPrompt_ == prompt) return;
  administratorPrompt_ = prompt;
  emit administratorPromptChanged();
}

void DriverInstaller::refresh() {
  auto carried = bundledURL();
  if (!carried) return setStatus(DriverInstallStatus::bundleMissing());
  auto carriedVersion = version(*carried);
  if (!carriedVersion) return setStatus(DriverInstallStatus::bundleMissing());
  const QString installed = installedBundlePath();
  auto installedVersion = version(installed);
  if (!installedVersion) return setStatus(DriverInstallStatus::notInstalled());
  // The installed copy's hash matters only when the carried bundle has one.
  auto carriedHash = contentHash(*carried);
  auto installedHash = carriedHash ? contentHash(installed) : std::nullopt;
  if (sameBundle(*installedVersion, installedHash, *carriedVersion, carriedHash))
    return setStatus(DriverInstallStatus::upToDate());
  setStatus(DriverInstallStatus::outdated(*installedVersion, *carriedVersion));
}

void DriverInstaller::installOrUpdate(std::function<void(bool)> done) {
  auto endAtOnce = [&] {
    if (done) done(false);
    emit installFinished(false);
  };
  if (installing_) return endAtOnce();
  auto carried = bundledURL();
  if (!carried) return endAtOnce();
  // The uninstall would report the plug-in removed while this put it back.
  if (SetupActivity::shared().uninstallRunning()) {
    setLastError(QStringLiteral("The driver cannot be installed while ") + productName() +
                 QStringLiteral(" is being uninstalled."));
    return endAtOnce();
  }
  setInstalling(true);
  setLastError(std::nullopt);
  done_ = std::move(done);
  checks_ = 0;
  carried_ = {version(*carried).value_or(QString()), contentHash(*carried)};
  // Which server runs now: only one started after it counts as having loaded the new bundle.
  instanceBefore_ = setup_.serverInstance ? setup_.serverInstance() : std::nullopt;
  // A folder others could change is refused before anyone is asked for a password.
  if (setup_.plugInFolderProblem) {
    if (auto problem = setup_.plugInFolderProblem(setup_.plugInFolder)) return commandEnded(problem);
  }

  const QString command = adminInstallCommand(*carried, setup_.plugInFolder);
  const QString prompt = productName() + QStringLiteral(" needs to install its audio driver.");
  setAdministratorPrompt(prompt);
  auto outcome = std::make_shared<CommandOutcome>();
  outcome_ = outcome;
  // Not tied to this object: the command may wait long at its prompt, and its outcome is
  // simply left behind if the installer goes first.
  std::thread([outcome, run = setup_.runAsAdministrator, restart = setup_.restartAudioServer, command, prompt] {
    std::optional<QString> error;
    try {
      run(command, prompt);
      if (restart) restart();
    } catch (const DriverInstallError& e) {
      error = e.localizedDescription();
    } catch (const std::exception& e) {
      error = QString::fromUtf8(e.what());
    }
    std::lock_guard<std::mutex> guard(outcome->lock);
    outcome->error = std::move(error);
    outcome->ended = true;
  }).detach();
  outcomePoll_->start();
}

void DriverInstaller::collectOutcome() {
  std::optional<QString> error;
  {
    std::lock_guard<std::mutex> guard(outcome_->lock);
    if (!outcome_->ended) return;
    error = std::move(outcome_->error);
  }
  outcomePoll_->stop();
  outcome_.reset();
  setAdministratorPrompt(std::nullopt);
  commandEnded(error);
}

void DriverInstaller::commandEnded(const std::optional<QString>& error) {
  if (error) {
    setLastError(error);
    finish(false);
    return;
  }
  checkLoaded();
}

void DriverInstaller::checkLoaded() {
  auto loaded = setup_.loadedPlugIn ? setup_.loadedPlugIn() : std::nullopt;
  // A server that was running before the command (maybe still on its way out) holds the old
  // plug-in; only a new instance that loaded the carried bundle counts.
  bool isNew = loaded && (!instanceBefore_ || loaded->serverInstance != *instanceBefore_);
  if (isNew) {
    auto shortVersion = fromStd(loaded->shortVersion);
    auto build = fromStd(loaded->bundleVersion);
    QString loadedVersion =
        shortVersion && build ? *shortVersion + QStringLiteral(" (") + *build + QLatin1Char(')') : QString();
    if ((shortVersion && build) || (carried_.hash && loaded->contentHash)) {
      if (sameBundle(loadedVersion, fromStd(loaded->contentHash), carried_.version, carried_.hash))
        return finish(true);
    }
  }
  QTimer::singleShot(setup_.loadCheckInterval, this, [this] {
    if (++checks_ >= setup_.loadChecks) {
      setLastError(QStringLiteral("The driver was installed but did not load. Try restarting your Mac."));
      finish(false);
      return;
    }
    checkLoaded();
  });
}

void DriverInstaller::finish(bool loaded) {
  setInstalling(false);
  refresh();
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done(loaded);
  emit installFinished(loaded);
}

}  // namespace tidewell
