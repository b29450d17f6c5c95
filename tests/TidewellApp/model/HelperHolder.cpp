// A process that holds an application model with a running diagnostic helper, for the tests
// that end it: it starts the monitor, prints the helper's pid and runs until it is killed, or
// until SIGTERM makes it quit normally, as the application does. Everything it reaches comes
// from its environment (audio server socket, data folders).

#include <QCoreApplication>
#include <cstdio>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/QuitSignals.h"
#include "TidewellApp/TidewellAppModel.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 2 || !tidewell::QuitSignals::install()) return 2;
  tidewell::AppEnvironment environment = tidewell::AppEnvironment::live();
  environment.helperLauncher =
      std::make_shared<tidewell::ProcessHelperLauncher>(QStringList{QString::fromLocal8Bit(argv[1])});
  tidewell::TidewellAppModel model(environment);
  model.startMonitor();
  if (!model.monitorProcess()) {
    std::printf("not started: %s\n", model.monitorStatusMessage().toUtf8().constData());
    return 1;
  }
  std::printf("%lld\n", static_cast<long long>(model.monitorProcess()->processId()));
  std::fflush(stdout);
  return application.exec();
}
