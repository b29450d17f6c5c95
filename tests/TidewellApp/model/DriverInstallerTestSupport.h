#pragma once
// Shared by the installer's tests: a Qt event loop to wait in, and crafted plug-in bundles.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace tidewell::testing {

// One application object per test program; the installer's timers and hand-overs need it.
inline QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "driver-installer-tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Runs the event loop until the condition holds or the limit has passed.
template <class Condition>
bool processEventsUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  application();
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return condition();
}

// A bundle folder whose Contents/Info.plist holds these text values.
inline void writeBundle(const QString& path, const std::map<QString, QString>& values) {
  ASSERT_TRUE(QDir().mkpath(path + "/Contents"));
  QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : values)
    xml += "\t<key>" + key.toHtmlEscaped().toUtf8() + "</key>\n\t<string>" + value.toHtmlEscaped().toUtf8() +
           "</string>\n";
  xml += "\t<key>CFPlugInTypes</key>\n\t<dict>\n\t\t<key>T</key>\n\t\t<array><string>F</string></array>\n"
         "\t</dict>\n\t<key>Count</key>\n\t<integer>3</integer>\n\t<key>On</key>\n\t<true/>\n";
  xml += "</dict>\n</plist>\n";
  QFile file(path + "/Contents/Info.plist");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(xml);
}

inline std::map<QString, QString> bundleValues(const QString& shortVersion, const QString& build,
                                               const QString& hash = {}) {
  std::map<QString, QString> values{{"CFBundleShortVersionString", shortVersion}, {"CFBundleVersion", build}};
  if (!hash.isEmpty()) values["TWDriverContentHash"] = hash;
  return values;
}

}  // namespace tidewell::testing
