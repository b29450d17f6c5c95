// The developer diagnostics panel: each row's texts, symbols and enable rules driven from the
// model's states, the buttons' operations, and the pickers' choices.

#include "DesktopEntryFolders.h"
#include "MainWindowTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>

#include "TidewellApp/ApplicationIcon.h"
#include "TidewellApp/DeveloperDiagnosticsPanel.h"
#include "TidewellApp/DriverHealthView.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/LineLimitedLabel.h"
#include "TidewellApp/Theme.h"

using namespace tidewell;
using namespace tidewell::test;

namespace {

class DiagnosticsTest : public MainWindowTest {
 protected:
  std::unique_ptr<TidewellAppModel> model;
  std::unique_ptr<DeveloperDiagnosticsPanel> panel;
  std::vector<std::string> calls;

  void build() {
    writeThreeDevices("desk");
    model = makeModel();
    DeveloperDiagnosticsPanel::Operations operations;
    auto record = [this](std::string name) { return [this, name] { calls.push_back(name); }; };
    operations.runPassThruSelfTest = record("passThru");
    operations.installOrRestartService = record("installOrRestart");
    operations.uninstallService = record("uninstall");
    operations.refreshServiceStatus = record("refreshService");
    operations.startMonitor = record("startMonitor");
    operations.stopMonitor = record("stopMonitor");
    operations.restartMonitor = record("restartMonitor");
    operations.startHardwareSource = record("startInput");
    operations.stopHardwareSource = record("stopInput");
    operations.restartHardwareSource = record("restartInput");
    operations.startProcessTap = record("startCapture");
    operations.stopProcessTap = record("stopCapture");
    operations.restartProcessTap = record("restartCapture");
    panel = std::make_unique<DeveloperDiagnosticsPanel>(*model, operations);
    panel->resize(246, 560);
    panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
  }

  std::vector<const DeveloperDiagnosticsPanel::HelperControls*> helpers() {
    return {&panel->monitor(), &panel->hardwareInput(), &panel->capture()};
  }
};

TEST_F(DiagnosticsTest, TheDriverRowFollowsThePlugInAndThePassThruTest) {
  build();
  model->setHalDriverLoaded(false);
  EXPECT_EQ(panel->driverTitle()->text(), "Driver Missing");
  EXPECT_EQ(panel->driverDotColor(), Theme::red(ColorSchemeSource::instance().scheme()));
  EXPECT_FALSE(panel->passThruTestButton()->isEnabled());
  EXPECT_TRUE(panel->driverRefreshButton()->isEnabled());
  EXPECT_EQ(panel->driverRefreshButton()->toolTip(), "Refresh");

  // The refresh re-checks at once; the pass-thru device alone also counts as loaded.
  registry->pluginLoaded = false;
  registry->passThruLoaded = true;
  click(panel->driverRefreshButton());
  EXPECT_TRUE(model->halDriverLoaded());
  EXPECT_EQ(panel->driverTitle()->text(), "Driver Loaded");
  EXPECT_EQ(panel->driverDotColor(), Theme::green(ColorSchemeSource::instance().scheme()));
  EXPECT_TRUE(panel->passThruTestButton()->isEnabled());
  EXPECT_EQ(panel->passThruTestButton()->toolTip(), "Run Pass-Thru Test");
  EXPECT_EQ(panel->passThruTestSymbol(), "waveform.path.ecg.rectangle");
  click(panel->passThruTestButton());
  EXPECT_EQ(calls, std::vector<std::string>{"passThru"});

  model->setPassThruTestRunning(true);
  EXPECT_EQ(panel->passThruTestSymbol(), "waveform.path.ecg.rectangle.fill");
  EXPECT_EQ(panel->passThruTestButton()->toolTip(), "Pass-Thru Test Running");
  EXPECT_FALSE(panel->passThruTestButton()->isEnabled());

  model->setStatusMessage("Saved");
  EXPECT_EQ(panel->statusLine()->text(), "Saved");
  EXPECT_EQ(panel->statusLine()->toolTip(), "Saved");
}

TEST_F(DiagnosticsTest, TheServiceRowsButtonsFollowInstalledAndBusy) {
  build();
  model->setServiceInstalled(false);
  model->setServiceRunning(false);
  EXPECT_EQ(panel->serviceTitle()->text(), "Service Off");
  EXPECT_EQ(panel->serviceIconSymbol(), "gearshape.2");
  EXPECT_EQ(panel->serviceInstallSymbol(), "arrow.down.circle");
  EXPECT_EQ(panel->serviceInstallButton()->toolTip(), "Install Service");
  EXPECT_TRUE(panel->serviceInstallButton()->isEnabled());
  EXPECT_FALSE(panel->serviceStopButton()->isEnabled());
  EXPECT_EQ(panel->serviceRefreshButton()->toolTip(), "Refresh Service");

  model->setServiceInstalled(true);
  model->setServiceRunning(true);
  model->setServiceResponsive(false);
  EXPECT_EQ(panel->serviceTitle()->text(), "Service On");
  EXPECT_EQ(panel->serviceIconSymbol(), "gearshape.2.fill");
  EXPECT_EQ(panel->serviceInstallSymbol(), "arrow.clockwise");
  EXPECT_EQ(panel->serviceInstallButton()->toolTip(), "Restart Service");
  EXPECT_TRUE(panel->serviceStopButton()->isEnabled());
  click(panel->serviceInstallButton());
  click(panel->serviceStopButton());
  click(panel->serviceRefreshButton());
  EXPECT_EQ(calls, (std::vector<std::string>{"installOrRestart", "uninstall", "refreshService"}));

  model->setServiceActionRunning(true);
  EXPECT_FALSE(panel->serviceInstallButton()->isEnabled());
  EXPECT_FALSE(panel->serviceStopButton()->isEnabled());
  EXPECT_FALSE(panel->serviceRefreshButton()->isEnabled());
}

TEST_F(DiagnosticsTest, HelperRowsStartOnlyWithThePlugInAndWithoutTheService) {
  build();
  const char* stoppedHelp[] = {"Start Monitor", "Start Hardware Input", "Start Capture"};
  const char* serviceHelp[] = {"Service controls saved monitors", "Service controls saved hardware inputs",
                               "Service controls saved capture sources"};
  const char* stoppedTitles[] = {"Monitor Off", "Input Off", "Capture Off"};
  const char* stoppedIcons[] = {"headphones.circle", "mic.circle", "desktopcomputer.and.arrow.down"};
  model->setHalDriverLoaded(true);
  model->setServiceRunning(false);
  for (std::size_t index = 0; index < 3; ++index) {
    const auto& row = *helpers()[index];
    EXPECT_TRUE(row.startStop->isEnabled()) << index;
    EXPECT_EQ(row.startStop->toolTip(), stoppedHelp[index]);
    EXPECT_EQ(row.title->text(), stoppedTitles[index]);
    EXPECT_EQ(row.iconSymbol, stoppedIcons[index]);
    EXPECT_EQ(row.buttonSymbol, "play.fill");
  }
  model->setHalDriverLoaded(false);
  for (const auto* row : helpers()) EXPECT_FALSE(row->startStop->isEnabled());
  model->setHalDriverLoaded(true);
  model->setServiceRunning(true);
  for (std::size_t index = 0; index < 3; ++index) {
    EXPECT_FALSE(helpers()[index]->startStop->isEnabled());
    EXPECT_EQ(helpers()[index]->startStop->toolTip(), serviceHelp[index]);
  }

  // Running in the application, each can still be stopped, whatever the service does.
  model->setMonitorRunning(true);
  model->setHardwareSourceRunning(true);
  model->setProcessTapRunning(true);
  model->setHalDriverLoaded(false);
  EXPECT_EQ(panel->monitor().title->text(), "Monitor On");
  EXPECT_EQ(panel->capture().iconSymbol, "desktopcomputer.and.arrow.down.circle.fill");
  for (std::size_t index = 0; index < 3; ++index) {
    EXPECT_TRUE(helpers()[index]->startStop->isEnabled());
    EXPECT_EQ(helpers()[index]->buttonSymbol, "stop.fill");
    EXPECT_EQ(helpers()[index]->startStop->toolTip(), serviceHelp[index]);
    click(helpers()[index]->startStop);
  }
  model->setServiceRunning(false);
  EXPECT_EQ(panel->hardwareInput().startStop->toolTip(), "Stop Hardware Input");
  model->setProcessTapRunning(false);
  model->setHalDriverLoaded(true);
  click(panel->capture().startStop);
  EXPECT_EQ(calls, (std::vector<std::string>{"stopMonitor", "stopInput", "stopCapture", "startCapture"}));
}

TEST_F(DiagnosticsTest, DevicePickersStoreTheChoiceAndRestartARunningHelper) {
  build();
  QComboBox* outputs = panel->monitor().picker;
  QComboBox* inputs = panel->hardwareInput().picker;
  model->setAudioDeviceInventory({});
  EXPECT_FALSE(outputs->isEnabled());
  EXPECT_FALSE(inputs->isEnabled());
  EXPECT_TRUE(panel->capture().picker->isEnabled());

  AudioDeviceInventory inventory;
  inventory.outputs = {{"spk", "Speakers", 2, true, std::nullopt}, {"phones", "Phones", 2, false, std::nullopt}};
  inventory.inputs = {{"mic", "Desk Mic", 1, true, std::nullopt}};
  registry->inventory = inventory;
  click(panel->monitor().pickerRefresh);
  EXPECT_EQ(panel->monitor().pickerRefresh->toolTip(), "Refresh Audio Devices");
  ASSERT_EQ(outputs->count(), 3);
  EXPECT_EQ(outputs->itemText(0), "System Default");
  EXPECT_EQ(outputs->itemText(1), "Speakers (Default)");
  EXPECT_EQ(outputs->itemText(2), "Phones");
  EXPECT_EQ(inputs->itemText(0), "Select Input");
  EXPECT_TRUE(outputs->isEnabled());

  // Stopped: only stored.
  outputs->activated(2);
  EXPECT_EQ(model->selectedMonitorOutputUID(), "phones");
  EXPECT_EQ(model->environment().preferences->string("Tidewell.monitorOutputUID"), QString("phones"));
  EXPECT_TRUE(calls.empty());
  // Running: restarted once with the new output.
  model->setMonitorRunning(true);
  outputs->activated(0);
  EXPECT_EQ(model->selectedMonitorOutputUID(), "");
  EXPECT_EQ(model->environment().preferences->string("Tidewell.monitorOutputUID"), QString(""));
  EXPECT_EQ(calls, std::vector<std::string>{"restartMonitor"});
  EXPECT_EQ(outputs->currentIndex(), 0);

  // A stored pick that matches nothing is left alone.
  model->setSelectedHardwareInputUID("unplugged");
  EXPECT_EQ(inputs->currentIndex(), -1);
  EXPECT_EQ(model->selectedHardwareInputUID(), "unplugged");

  // Fault mended: the panel wrote the pick to the preferences file itself, past the model's
  // guard, so a file the uninstaller had removed came back.
  model->prepareForUninstall();
  ASSERT_TRUE(QFile::remove(preferencesFile));
  outputs->activated(2);
  EXPECT_EQ(model->selectedMonitorOutputUID(), "phones");
  EXPECT_FALSE(QFileInfo::exists(preferencesFile));
}

TEST_F(DiagnosticsTest, TheCapturePickerKeepsThePickedApplicationWhenSeveralHaveNoProcessID) {
  build();
  registry->candidates = {tidewell::testing::candidate("org.example.player", 410, 4100),
                          {"Helper A", std::nullopt, std::nullopt, 7001},
                          {"Helper B", std::nullopt, std::nullopt, 7002}};
  click(panel->capture().pickerRefresh);
  EXPECT_EQ(panel->capture().pickerRefresh->toolTip(), "Refresh Applications");
  QComboBox* picker = panel->capture().picker;
  ASSERT_EQ(picker->count(), 4);
  EXPECT_EQ(picker->itemText(0), "System Audio");
  EXPECT_EQ(picker->itemData(2).toString(), "0");
  EXPECT_EQ(picker->itemData(3).toString(), "0");

  picker->activated(3);
  EXPECT_EQ(model->selectedApplicationPID(), "0");
  EXPECT_EQ(picker->currentIndex(), 3);
  EXPECT_EQ(picker->currentText(), "Helper B");
  // Still the one picked after the list is read again.
  click(panel->capture().pickerRefresh);
  EXPECT_EQ(picker->currentText(), "Helper B");
  picker->activated(1);
  EXPECT_EQ(model->selectedApplicationPID(), "410");
  EXPECT_EQ(model->environment().preferences->string("Tidewell.applicationPID"), QString("410"));
}

TEST_F(DiagnosticsTest, TheCapturePickerShowsEachApplicationsOwnIcon) {
  test::DesktopEntryFolders folders;
  folders.installApplication("org.example.Painter", Qt::red);
  folders.installApplication("org.example.Mixer", Qt::blue);
  build();
  registry->candidates = {{"Painter", "org.example.Painter", std::nullopt, 7001},
                          {"Mixer", "org.example.Mixer", std::nullopt, 7002},
                          {"Helper", std::nullopt, std::nullopt, 7003}};
  click(panel->capture().pickerRefresh);
  QComboBox* picker = panel->capture().picker;
  ASSERT_EQ(picker->count(), 4);
  const auto centre = [&](int option) {
    return test::DesktopEntryFolders::centre(picker->itemIcon(option));
  };
  EXPECT_EQ(centre(1), QColor(Qt::red));
  EXPECT_EQ(centre(2), QColor(Qt::blue));
  // An application the desktop knows nothing of gets the generic application icon.
  EXPECT_EQ(picker->itemIcon(3).pixmap(15).toImage(),
            ApplicationIcon::menuIcon(std::nullopt, std::nullopt, 15).pixmap(15).toImage());
}

TEST_F(DiagnosticsTest, TheRunningPassThruTestShowsAnotherSymbolThanTheIdleOne) {
  build();
  registry->passThruLoaded = true;
  click(panel->driverRefreshButton());
  const auto picture = [&] { return panel->passThruTestButton()->icon().pixmap(26).toImage(); };
  const QImage idle = picture();
  model->setPassThruTestRunning(true);
  const QImage running = picture();
  EXPECT_NE(idle, running);
  // Told apart by their shape, not only by their tint: many pixels inked in one are clear in
  // the other.
  ASSERT_EQ(idle.size(), running.size());
  int inkedInIdle = 0, different = 0;
  for (int y = 0; y < idle.height(); ++y)
    for (int x = 0; x < idle.width(); ++x) {
      const bool a = qAlpha(idle.pixel(x, y)) > 128, b = qAlpha(running.pixel(x, y)) > 128;
      inkedInIdle += a;
      different += a != b;
    }
  EXPECT_GT(different, inkedInIdle / 3);
}

// The self-test's verdict is read in the panel's two status lines whole: the longest the tool
// says (64 channels far off the mark, or a failing channel of a device with a long name, which
// the tool shortens to 16 characters) is not cut.
TEST_F(DiagnosticsTest, TheLongestSelfTestVerdictsAreShownWhole) {
  build();
  for (const char* verdict :
       {"Pass-thru test passed, Captured RMS: -120.0 dBFS, expected -18.0, 64 channels",
        "Pass-thru test failed: My Long …uesdays channel 64 at -120.0 dBFS, not -18.0",
        "Pass-thru test failed: Nothing to test: every device is off, muted or unwired",
        "Pass-thru test failed: My Long …uesdays is not in the audio server's device list",
        "Pass-thru test failed: Could not open My Long …uesdays"}) {
    model->setStatusMessage(verdict);
    QCoreApplication::processEvents();
    EXPECT_FALSE(panel->statusLine()->isTruncated())
        << verdict << " shows as: " << panel->statusLine()->displayedLines().join(" | ").toStdString();
  }
}

TEST_F(DiagnosticsTest, TheConfigurationPathIsShownAndSelectable) {
  build();
  panel->resize(246, panel->sizeHint().height());
  EXPECT_EQ(panel->configurationPath()->path().toStdString(), configFile.string());
  EXPECT_EQ(panel->configurationPath()->displayedText().remove(QLatin1Char('\n')).toStdString(), configFile.string())
      << "a short path is shown whole";
  EXPECT_TRUE(panel->configurationPath()->textInteractionFlags() & Qt::TextSelectableByMouse);
  for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    useScheme(scheme);
    model->setHalDriverLoaded(true);
    model->setStatusMessage("Loaded");
    panel->resize(246, panel->sizeHint().height());
    saveArtifact(grabShown(*panel), "diagnostics-panel-" + schemeName(scheme));
  }
  useScheme(ColorScheme::light);
}

// Names from other programs reach the status lines and their tooltips (an application's name
// in "Added ...", helper output, launchctl output). A tooltip is read as markup when it starts
// like markup: an image tag there loads a file when the tooltip shows.
TEST_F(DiagnosticsTest, OutsideNamesInStatusLinesAndTooltipsShowLiterally) {
  build();
  DriverHealthView footer(*model, MainWindowHooks{});
  for (const QString& name : {QStringLiteral("<img src=\"/dev/zero\">"), QStringLiteral("<b>x</b>"),
                             QStringLiteral("&lt;b&gt; & more")}) {
    const QString status = name + QStringLiteral(" added");
    model->setStatusMessage(status);
    model->setServiceStatusMessage(QStringLiteral("launchctl: ") + name);
    model->setMonitorStatusMessage(name);
    model->setHardwareSourceStatusMessage(name + QStringLiteral("\nsecond line"));
    model->setProcessTapStatusMessage(name);
    const auto label = name.toStdString();
    EXPECT_EQ(panel->statusLine()->text(), status) << label;
    EXPECT_EQ(shownToolTip(*panel->statusLine()), status) << label;
    EXPECT_EQ(shownToolTip(*panel->serviceStatusLine()), QStringLiteral("launchctl: ") + name) << label;
    EXPECT_EQ(shownToolTip(*panel->monitor().status), name) << label;
    EXPECT_EQ(shownToolTip(*panel->hardwareInput().status), name + QStringLiteral("\nsecond line")) << label;
    EXPECT_EQ(shownToolTip(*panel->capture().status), name) << label;
    EXPECT_EQ(shownToolTip(*footer.compactView()->summaryLabel()),
              status + QStringLiteral("\nlaunchctl: ") + name)
        << label;
  }
  // Texts of our own that do not look like markup stay as they are.
  model->setStatusMessage("Saved");
  EXPECT_EQ(panel->statusLine()->toolTip(), "Saved");
}

// A path longer than two lines of the panel keeps its start and its file's name, with "…" where
// the middle was left out, in two lines; copying it copies the whole path.
TEST(PathLabel, ALongPathKeepsItsStartAndItsFileNameAndCopiesWhole) {
  const QString path = QStringLiteral("/home/someone/") + QString(QStringLiteral("a-rather-long-folder/")).repeated(8) +
                       QStringLiteral("Tidewell/config.json");
  PathLabel label;
  label.setFont(Theme::monospacedFont(10));
  label.setPath(path);
  label.resize(220, 60);
  label.show();
  const QStringList lines = label.displayedText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(label.isShortened());
  EXPECT_TRUE(path.startsWith(lines[0])) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].startsWith(QChar(0x2026))) << lines[1].toStdString();
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral("/Tidewell/config.json"))) << lines[1].toStdString();
  const QFontMetrics metrics(label.font());
  for (const QString& line : lines) EXPECT_LE(metrics.horizontalAdvance(line), label.contentsRect().width());

  // Selected and copied from the keyboard: the whole path, without the break or the "…".
  label.setSelection(0, int(label.text().size()));
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
  QApplication::sendEvent(&label, &copy);
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), path.toStdString());

  // Wide enough again, it is whole.
  label.resize(2000, 60);
  EXPECT_FALSE(label.isShortened());
  EXPECT_EQ(label.displayedText(), path);
}

}  // namespace
