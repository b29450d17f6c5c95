// Tidewell: the desktop application. Runs until the user quits, closes the main window or
// sends SIGTERM/SIGINT/SIGHUP; each of those ends normally, so a pending edit is saved.
//
//   Tidewell [--screenshot FILE | --install-service]
//
// --screenshot renders the main window, grown to show the whole editor, once its meters are
// live, writes it to FILE as a PNG and quits (for a machine without a display:
// QT_QPA_PLATFORM=offscreen). It only looks: it publishes nothing, saves nothing to the user's
// configuration, writes no preference and never installs the service.
// --install-service installs (or restarts) the routing service as its launch agent, the same
// install the window's setup runs, prints the outcome and quits without a window; it exits
// non-zero when the install failed. scripts/run.sh brings the system up with it.
//
// One window runs per configuration file: a later start (from a menu, a dock, a shell) brings
// that window forward and exits with status 0. The two one-shot modes take no part: they open
// no window of the user's, and --screenshot must render while the window is open.

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/QuitSignals.h"
#include "TidewellApp/ServiceInstallation.h"
#include "TidewellApp/SingleInstance.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/WindowScreenshot.h"
#include "TidewellCore/Branding.h"
#include "TidewellCore/ConfigStore.h"

#include <memory>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString product = QString::fromUtf8(tidewell::Branding::productName.data(),
                                            int(tidewell::Branding::productName.size()));
  QApplication::setApplicationName(product);
  QApplication::setApplicationDisplayName(product);

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("The Tidewell audio-routing application."));
  parser.addHelpOption();
  QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                QStringLiteral("Write the main window as a PNG to <file>, then quit."),
                                QStringLiteral("file"));
  parser.addOption(screenshot);
  QCommandLineOption installService(QStringLiteral("install-service"),
                                    QStringLiteral("Install or restart the routing service, then quit."));
  parser.addOption(installService);
  parser.process(app);

  if (parser.isSet(installService)) {
    try {
      tidewell::LaunchAgentServiceController controller;
      controller.installService();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "Service install failed: %s\n", error.what());
      return 1;
    }
    std::printf("Service running\n");
    return 0;
  }

  std::unique_ptr<tidewell::SingleInstance> instance;
  if (!parser.isSet(screenshot)) {
    // The file the live environment's store edits.
    instance = std::make_unique<tidewell::SingleInstance>(tidewell::ConfigStore::defaultURL());
    switch (instance->start()) {
      case tidewell::SingleInstance::Role::handedOver:
        return 0;
      case tidewell::SingleInstance::Role::unanswered:
        std::fprintf(stderr, "Tidewell is already running (see %s), but its window did not answer\n",
                     qPrintable(instance->lockPath()));
        return 1;
      case tidewell::SingleInstance::Role::first:
      case tidewell::SingleInstance::Role::alone:
        break;
    }
  }

  if (!tidewell::QuitSignals::install())
    std::fprintf(stderr, "Tidewell: SIGTERM, SIGINT and SIGHUP will end the application without saving\n");

  // The render takes the part of no second window: it shows, and changes nothing.
  std::unique_ptr<QTemporaryDir> scratch;
  if (parser.isSet(screenshot)) {
    scratch = std::make_unique<QTemporaryDir>();
    if (!scratch->isValid()) {
      std::fprintf(stderr, "Tidewell: no private folder for the render: %s\n", qPrintable(scratch->errorString()));
      return 1;
    }
    tidewell::AppEnvironment::install(
        tidewell::AppEnvironment::readOnly(tidewell::AppEnvironment::live(), scratch->path().toStdString()));
  } else {
    tidewell::AppEnvironment::install(tidewell::AppEnvironment::live());
  }
  tidewell::TidewellApplication application;
  tidewell::TidewellMainWindow& window = application.mainWindow();

  if (parser.isSet(screenshot)) {
    const QString file = parser.value(screenshot);
    auto* shot = new tidewell::WindowScreenshot(application, file, &app);
    QObject::connect(shot, &tidewell::WindowScreenshot::finished, &app, [file](bool written) {
      if (!written) {
        std::fprintf(stderr, "Tidewell: could not write %s\n", qPrintable(file));
        QCoreApplication::exit(1);
        return;
      }
      std::printf("%s\n", qPrintable(file));
      QCoreApplication::quit();
    });
  }
  if (instance) {
    QObject::connect(instance.get(), &tidewell::SingleInstance::raiseRequested, &window, [&window] {
      tidewell::bringForward(window);
      std::fprintf(stderr, "Tidewell: another start brought this window forward\n");
    });
  }
  window.show();
  return app.exec();
}
