// Tidewell: the desktop application. Runs until the user quits, closes the main window or
// sends SIGTERM/SIGINT; each of those ends normally, so a pending edit is saved.
//
//   Tidewell [--screenshot FILE]
//
// --screenshot renders the main window once, writes it to FILE as a PNG and quits (for a
// machine without a display: QT_QPA_PLATFORM=offscreen).

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QTimer>
#include <cstdio>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/QuitSignals.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellCore/Branding.h"

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
  parser.process(app);

  if (!tidewell::QuitSignals::install())
    std::fprintf(stderr, "Tidewell: SIGTERM and SIGINT will end the application without saving\n");

  tidewell::AppEnvironment::install(tidewell::AppEnvironment::live());
  tidewell::TidewellApplication application;
  tidewell::TidewellMainWindow& window = application.mainWindow();

  if (parser.isSet(screenshot)) {
    const QString file = parser.value(screenshot);
    application.healthBanner().setAnimated(false);
    QObject::connect(&window, &tidewell::TidewellMainWindow::firstFramePainted, &app, [&window, file] {
      if (!window.grab().toImage().save(file, "PNG")) {
        std::fprintf(stderr, "Tidewell: could not write %s\n", qPrintable(file));
        QCoreApplication::exit(1);
        return;
      }
      std::printf("%s\n", qPrintable(file));
      QCoreApplication::quit();
    });
  }
  window.show();
  return app.exec();
}
