// The rules of the application's own helpers that need no child: gain texts, the remembered
// pid, the environment table of each kind and the verdict on a child's end.

#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <map>

#include "TidewellApp/HelperLaunch.h"
#include "TidewellApp/HelperProcessOutput.h"
#include "TidewellCore/ConfigModel.h"

inline void PrintTo(const QString& text, std::ostream* stream) { *stream << '"' << text.toStdString() << '"'; }

namespace tidewell {
namespace {

TEST(HelperLaunchRules, GainsAreShortestRoundTripTextsWithAFractionOnWholeNumbers) {
  EXPECT_EQ(HelperLaunch::formatGain(1.0), "1.0");
  EXPECT_EQ(HelperLaunch::formatGain(0.5), "0.5");
  EXPECT_EQ(HelperLaunch::formatGain(2.0), "2.0");
  EXPECT_EQ(HelperLaunch::formatGain(0.1), "0.1");
  EXPECT_EQ(HelperLaunch::formatGain(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(HelperLaunch::formatGain(0.0), "0.0");
  EXPECT_EQ(HelperLaunch::formatGains({1.0, 0.25, 1.5}), "1.0,0.25,1.5");
}

TEST(HelperLaunchRules, TheRememberedPidIsReadStrictlyAsA32BitNumber) {
  EXPECT_EQ(HelperLaunch::parseInt32("123"), 123);
  EXPECT_EQ(HelperLaunch::parseInt32("+123"), 123);
  EXPECT_EQ(HelperLaunch::parseInt32("-5"), -5);
  EXPECT_EQ(HelperLaunch::parseInt32("007"), 7);
  EXPECT_EQ(HelperLaunch::parseInt32("2147483647"), 2147483647);
  EXPECT_EQ(HelperLaunch::parseInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "", "+", "-",
                          " 12", "12 ", "12a", "0x10", "1.0", "++1", "١٢"}) {
    EXPECT_EQ(HelperLaunch::parseInt32(QString::fromUtf8(bad)), std::nullopt) << bad;
  }
}

QProcessEnvironment baseEnvironment() {
  QProcessEnvironment base;
  base.insert("PATH", "/usr/bin");
  base.insert("TIDEWELL_OUTPUT_BACKEND", "null");
  base.insert("TIDEWELL_BUFFER_FRAMES", "256");
  // Stale values the application may have been started with: each table decides about them.
  for (const char* name :
       {"TIDEWELL_MONITOR_OUTPUT_CHANNELS", "TIDEWELL_MONITOR_OUTPUT_UID", "TIDEWELL_MONITOR_ID",
        "TIDEWELL_MONITOR_CHANNEL_GAINS", "TIDEWELL_SOURCE_ID", "TIDEWELL_SOURCE_CHANNEL_GAINS",
        "TIDEWELL_SOURCE_INPUT_BACKEND", "TIDEWELL_TAP_SOURCE_ID", "TIDEWELL_TAP_CHANNEL_GAINS",
        "TIDEWELL_TAP_PID"}) {
    base.insert(name, "stale");
  }
  return base;
}

std::map<QString, QString> tidewellVariables(const QProcessEnvironment& environment) {
  std::map<QString, QString> result;
  for (const QString& name : environment.keys()) {
    if (name.startsWith("TIDEWELL_")) result[name] = environment.value(name);
  }
  return result;
}

DeviceConfig shownDevice() {
  DeviceConfig device;
  device.id = "D";
  device.uid = "desk-uid";
  device.channelCount = 6;
  return device;
}

TEST(HelperLaunchRules, MonitorEnvironmentTable) {
  MonitorLaunchTarget full{"spk", "Speakers", "M1", true, true, 0.5, std::vector{1.0, 0.25}, "1:1,2:2"};
  using Map = std::map<QString, QString>;
  EXPECT_EQ(tidewellVariables(HelperLaunch::monitorEnvironment(baseEnvironment(), full, shownDevice())),
            (Map{{"TIDEWELL_OUTPUT_BACKEND", "null"},
                 {"TIDEWELL_BUFFER_FRAMES", "256"},
                 {"TIDEWELL_MONITOR_INPUT_UID", "desk-uid"},
                 {"TIDEWELL_MONITOR_INPUT_CHANNELS", "6"},
                 {"TIDEWELL_MONITOR_OUTPUT_UID", "spk"},
                 {"TIDEWELL_MONITOR_ID", "M1"},
                 {"TIDEWELL_MONITOR_GAIN", "0.5"},
                 {"TIDEWELL_MONITOR_CHANNEL_GAINS", "1.0,0.25"},
                 {"TIDEWELL_MONITOR_MUTED", "1"},
                 {"TIDEWELL_MONITOR_ROUTES", "1:1,2:2"},
                 {"TIDEWELL_SOURCE_ID", "stale"},
                 {"TIDEWELL_SOURCE_CHANNEL_GAINS", "stale"},
                 {"TIDEWELL_SOURCE_INPUT_BACKEND", "stale"},
                 {"TIDEWELL_TAP_SOURCE_ID", "stale"},
                 {"TIDEWELL_TAP_CHANNEL_GAINS", "stale"},
                 {"TIDEWELL_TAP_PID", "stale"}}));
  // The system default output, no device shown, an empty UID counts as none.
  for (std::optional<std::string> uid : {std::optional<std::string>(), std::optional<std::string>("")}) {
    MonitorLaunchTarget plain{uid, "System Default", std::nullopt, true, false, 1.0, std::nullopt, "1:1,2:2"};
    auto variables = tidewellVariables(HelperLaunch::monitorEnvironment(baseEnvironment(), plain, std::nullopt));
    EXPECT_EQ(variables["TIDEWELL_MONITOR_INPUT_UID"], "app.tidewell.passthru.main");
    EXPECT_EQ(variables["TIDEWELL_MONITOR_INPUT_CHANNELS"], "2");
    EXPECT_EQ(variables["TIDEWELL_MONITOR_GAIN"], "1.0");
    EXPECT_EQ(variables["TIDEWELL_MONITOR_MUTED"], "0");
    for (const char* removed : {"TIDEWELL_MONITOR_OUTPUT_UID", "TIDEWELL_MONITOR_ID",
                                "TIDEWELL_MONITOR_CHANNEL_GAINS", "TIDEWELL_MONITOR_OUTPUT_CHANNELS"}) {
      EXPECT_EQ(variables.count(removed), 0u) << removed;
    }
  }
}

TEST(HelperLaunchRules, HardwareSourceEnvironmentTable) {
  HardwareSourceLaunchTarget full{"usb", "USB", "S1", true, false, 1.5, std::vector{0.5, 2.0}, "1:2"};
  auto variables = tidewellVariables(HelperLaunch::hardwareSourceEnvironment(baseEnvironment(), full, shownDevice()));
  EXPECT_EQ(variables["TIDEWELL_SOURCE_INPUT_UID"], "usb");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_ID"], "S1");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_OUTPUT_UID"], "desk-uid");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_OUTPUT_CHANNELS"], "6");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_GAIN"], "1.5");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_CHANNEL_GAINS"], "0.5,2.0");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_MUTED"], "0");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_ROUTES"], "1:2");
  // Neither set nor removed.
  EXPECT_EQ(variables["TIDEWELL_SOURCE_INPUT_BACKEND"], "stale");
  EXPECT_EQ(variables["TIDEWELL_MONITOR_OUTPUT_CHANNELS"], "stale");

  HardwareSourceLaunchTarget plain{"usb", "USB", std::nullopt, true, true, 1.0, std::nullopt, "1:1,2:2"};
  variables = tidewellVariables(HelperLaunch::hardwareSourceEnvironment(baseEnvironment(), plain, std::nullopt));
  EXPECT_EQ(variables["TIDEWELL_SOURCE_OUTPUT_UID"], "app.tidewell.passthru.main");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_OUTPUT_CHANNELS"], "2");
  EXPECT_EQ(variables["TIDEWELL_SOURCE_MUTED"], "1");
  EXPECT_EQ(variables.count("TIDEWELL_SOURCE_ID"), 0u);
  EXPECT_EQ(variables.count("TIDEWELL_SOURCE_CHANNEL_GAINS"), 0u);
}

TEST(HelperLaunchRules, ProcessTapEnvironmentTable) {
  ProcessTapLaunchTarget application{"application", 4321, "Player", "A1", true, false, true, 0.75,
                                     std::vector{1.0, 1.0}, "1:1"};
  auto variables = tidewellVariables(HelperLaunch::processTapEnvironment(baseEnvironment(), application, shownDevice()));
  EXPECT_EQ(variables["TIDEWELL_TAP_OUTPUT_UID"], "desk-uid");
  EXPECT_EQ(variables["TIDEWELL_TAP_OUTPUT_CHANNELS"], "6");
  EXPECT_EQ(variables["TIDEWELL_TAP_SOURCE_ID"], "A1");
  EXPECT_EQ(variables["TIDEWELL_TAP_MODE"], "application");
  EXPECT_EQ(variables["TIDEWELL_TAP_GAIN"], "0.75");
  EXPECT_EQ(variables["TIDEWELL_TAP_CHANNEL_GAINS"], "1.0,1.0");
  EXPECT_EQ(variables["TIDEWELL_TAP_MUTED"], "0");
  EXPECT_EQ(variables["TIDEWELL_TAP_MUTE_WHEN_CAPTURING"], "1");
  EXPECT_EQ(variables["TIDEWELL_TAP_ROUTES"], "1:1");
  EXPECT_EQ(variables["TIDEWELL_TAP_PID"], "4321");

  ProcessTapLaunchTarget system{"system", std::nullopt, "System Audio", std::nullopt, true, true, false,
                                1.0, std::nullopt, "1:1,2:2"};
  variables = tidewellVariables(HelperLaunch::processTapEnvironment(baseEnvironment(), system, std::nullopt));
  EXPECT_EQ(variables["TIDEWELL_TAP_OUTPUT_UID"], "app.tidewell.passthru.main");
  EXPECT_EQ(variables["TIDEWELL_TAP_OUTPUT_CHANNELS"], "2");
  EXPECT_EQ(variables["TIDEWELL_TAP_MODE"], "system");
  EXPECT_EQ(variables["TIDEWELL_TAP_MUTED"], "1");
  EXPECT_EQ(variables["TIDEWELL_TAP_MUTE_WHEN_CAPTURING"], "0");
  for (const char* removed : {"TIDEWELL_TAP_SOURCE_ID", "TIDEWELL_TAP_CHANNEL_GAINS", "TIDEWELL_TAP_PID"}) {
    EXPECT_EQ(variables.count(removed), 0u) << removed;
  }
}

TEST(HelperLaunchRules, EndStatusAfterAnExitAStatusAndASignal) {
  HelperProcessOutput quiet;
  HelperProcessOutput spoke;
  spoke.append(HelperProcessOutput::Stream::standardOutput, "Monitoring...\n");
  spoke.append(HelperProcessOutput::Stream::standardError, "Could not start monitor output bridge: -50\n\n");
  const auto kind = HelperKind::monitor;
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, false, QProcess::NormalExit, 0, spoke), "Monitor stopped");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, false, QProcess::NormalExit, 1, spoke),
            "Monitor failed: Could not start monitor output bridge: -50");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, false, QProcess::NormalExit, 3, quiet), "Monitor failed: exit 3");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, true, QProcess::CrashExit, SIGTERM, quiet), "Monitor stopped");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, true, QProcess::CrashExit, SIGINT, quiet), "Monitor stopped");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, false, QProcess::CrashExit, SIGTERM, quiet),
            "Monitor failed: signal 15");
  EXPECT_EQ(HelperLaunch::helperEndStatus(kind, true, QProcess::CrashExit, SIGKILL, quiet),
            "Monitor failed: signal 9");
  EXPECT_EQ(HelperLaunch::helperEndStatus(HelperKind::hardwareSource, false, QProcess::NormalExit, 1, quiet),
            "Hardware source failed: exit 1");
  EXPECT_EQ(HelperLaunch::helperEndStatus(HelperKind::processTap, true, QProcess::CrashExit, SIGTERM, quiet),
            "Capture stopped");

  HelperProcessOutput result;
  result.append(HelperProcessOutput::Stream::standardOutput,
                "tone\n  level: Captured RMS: -12.01 dBFS \nCaptured RMS: second\n");
  EXPECT_EQ(HelperLaunch::passThruTestTerminationMessage(QProcess::NormalExit, 0, result),
            "Pass-thru test passed, level: Captured RMS: -12.01 dBFS");
  EXPECT_EQ(HelperLaunch::passThruTestTerminationMessage(QProcess::NormalExit, 0, quiet), "Pass-thru test passed");
  EXPECT_EQ(HelperLaunch::passThruTestTerminationMessage(QProcess::NormalExit, 3, quiet),
            "Pass-thru test failed: exit 3");
  EXPECT_EQ(HelperLaunch::passThruTestTerminationMessage(QProcess::CrashExit, 9, quiet),
            "Pass-thru test failed: signal 9");
  EXPECT_EQ(HelperLaunch::passThruTestTerminationMessage(QProcess::NormalExit, 1, result),
            "Pass-thru test failed: Captured RMS: second");
}

}  // namespace
}  // namespace tidewell
