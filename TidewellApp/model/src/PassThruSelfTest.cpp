// The pass-thru self-test: runs the smoke tool of the plug-in's pass-thru path and shows its
// verdict in the status line.

#include <QPointer>
#include <QTimer>

#include "ChildProcess.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

std::optional<QString> TidewellAppModel::passThruTestExecutableURL() const {
  return HelperLaunch::findExecutable(passThruTestProgramName,
                                      environment_.helperLauncher->programFolders());
}

void TidewellAppModel::runPassThruSelfTest() {
  DeviceRegistry& registry = *environment_.registry;
  setHalDriverLoaded(registry.halPlugInIsLoaded() || registry.passThruDeviceIsLoaded());
  if (!halDriverLoaded_) {
    return setStatusMessage(QStringLiteral("Install the driver before running the test"));
  }
  if (passThruTestRunning_) return;
  const auto program = passThruTestExecutableURL();
  if (!program) return setStatusMessage(QStringLiteral("Pass-thru test helper is missing"));

  QPointer<TidewellAppModel> model(this);
  auto ended = [model](QProcess& child, const HelperProcessOutput& output) {
    if (!model || model->passThruTestProcess_ != &child) return;  // timed out, or model gone
    model->passThruTestProcess_ = nullptr;
    model->setPassThruTestRunning(false);
    model->setStatusMessage(
        HelperLaunch::passThruTestTerminationMessage(child.exitStatus(), child.exitCode(), output));
  };
  QString error;
  QProcess* child =
      ChildProcess::start(*program, QProcessEnvironment::systemEnvironment(), true, ended, error);
  if (!child) return setStatusMessage(QStringLiteral("Could not run pass-thru test: ") + error);
  adoptChild(child);
  passThruTestProcess_ = child;
  setPassThruTestRunning(true);
  setStatusMessage(QStringLiteral("Running pass-thru test"));
  // A tool that hangs would keep the test button disabled until the application restarts.
  QTimer::singleShot(passThruTestTimeout_, child, [model, child] {
    if (model) model->passThruTestTimedOut(child);
  });
}

void TidewellAppModel::passThruTestTimedOut(QProcess* child) {
  if (passThruTestProcess_ != child) return;
  passThruTestProcess_ = nullptr;
  setPassThruTestRunning(false);
  const qint64 seconds =
      std::chrono::duration_cast<std::chrono::seconds>(passThruTestTimeout_).count();
  setStatusMessage(QStringLiteral("Pass-thru test failed: no result after %1 s").arg(seconds));
  // One that ignores the request is ended for good; the object goes once it has.
  ChildProcess::stop(child);
}

}  // namespace tidewell
