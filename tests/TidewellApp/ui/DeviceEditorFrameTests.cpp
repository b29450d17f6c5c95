// The device editor's frame: the header's live edits (name, enabled, icon) reaching the model
// and the saved file, the validation strip's rows, and the health footer.

#include "MainWindowTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

#include "TidewellApp/DeveloperDiagnosticsPanel.h"
#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/DriverHealthView.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellApp/ValidationStrip.h"

using namespace tidewell;
using namespace tidewell::test;

namespace {

class EditorTest : public MainWindowTest {
 protected:
  std::unique_ptr<TidewellAppModel> model;
  std::unique_ptr<DeviceEditorView> editor;

  void build(const std::string& deviceID) {
    model = makeModel();
    editor = std::make_unique<DeviceEditorView>(*model, meters.get(), deviceID, true, MainWindowHooks{});
    editor->resize(900, 640);
    editor->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor.get()));
  }

  const DeviceConfig* saved(const std::string& id) {
    static ConfigSnapshot snapshot;
    snapshot = savedConfig();
    for (const auto& device : snapshot.devices) {
      if (device.id == id) return &device;
    }
    return nullptr;
  }
};

TEST_F(EditorTest, ANameTypedInTheHeaderIsALiveEditSavedAfterThePause) {
  writeThreeDevices("desk");
  build("desk");
  QLineEdit* field = editor->header()->nameField();
  EXPECT_EQ(field->text(), "Desk");
  EXPECT_EQ(field->placeholderText(), "Device Name");
  const std::size_t publishedBefore = publisher->published.size();

  field->setFocus();
  field->setCursorPosition(4);
  QTest::keyClicks(field, " Left");
  // Published at once, in the file only after the pause that follows the last key.
  EXPECT_EQ(model->workingCopy().devices[0].name, "Desk Left");
  EXPECT_GT(publisher->published.size(), publishedBefore);
  EXPECT_EQ(publisher->published.back().devices[0].name, "Desk Left");
  EXPECT_EQ(saved("desk")->name, "Desk");
  ASSERT_TRUE(waitFor([&] { return saved("desk")->name == "Desk Left"; }, 3000));
  EXPECT_EQ(field->text(), "Desk Left");
  EXPECT_EQ(field->cursorPosition(), 9);
  // A cosmetic change restarts none of the application's helpers.
  EXPECT_TRUE(launcher->calls.empty());
}

TEST_F(EditorTest, TheEnabledSwitchTurnsTheDeviceOffAndOnThroughTheModel) {
  writeThreeDevices("desk");
  build("desk");
  ToggleSwitch* toggle = editor->header()->enabledSwitch();
  EXPECT_TRUE(toggle->isChecked());
  click(toggle);
  EXPECT_FALSE(model->workingCopy().devices[0].enabled);
  ASSERT_TRUE(waitFor([&] { return !saved("desk")->enabled; }, 3000));
  click(toggle);
  EXPECT_TRUE(model->workingCopy().devices[0].enabled);
  ASSERT_TRUE(waitFor([&] { return saved("desk")->enabled; }, 3000));
  EXPECT_TRUE(toggle->isChecked());
}

TEST_F(EditorTest, TheIconMenuStoresTheSymbolNameAndTheLabelFollowsTheSavedIcon) {
  writeThreeDevices("desk");
  build("desk");
  DeviceHeaderView* header = editor->header();
  EXPECT_EQ(header->iconSymbol(), "waveform.circle.fill");
  EXPECT_EQ(header->iconMenuButton()->toolTip(), "Device Icon");
  QStringList titles;
  for (QAction* action : header->iconMenu()->actions()) titles << action->text();
  EXPECT_EQ(titles, QStringList({"Waveform", "Speaker", "Microphone", "Music", "Game", "Chat", "Video", "Globe"}));
  header->iconMenu()->actions()[3]->trigger();
  ASSERT_TRUE(waitFor([&] { return saved("desk")->icon == "music.note"; }, 3000));
  ASSERT_TRUE(waitFor([&] { return editor->header()->iconSymbol() == "music.note"; }));
}

TEST_F(EditorTest, AClearedNameComesBackWithoutItsErrorAndWhatIsTypedNextReplacesIt) {
  writeThreeDevices("desk");
  build("desk");
  QLineEdit* field = editor->header()->nameField();
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_EQ(field->text(), "");
  // The empty name cannot be saved: after the pause it is put back, and so is the validation.
  ASSERT_TRUE(waitFor([&] { return field->text() == "Desk"; }));
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_TRUE(model->validation().errors.empty());
  for (const auto& row : editor->validationStrip()->rows())
    EXPECT_NE(row.message, "Device name must not be empty.");
  EXPECT_EQ(saved("desk")->name, "Desk");

  QTest::keyClicks(field, "Podcast");
  EXPECT_EQ(field->text(), "Podcast");
  ASSERT_TRUE(waitFor([&] { return saved("desk")->name == "Podcast"; }));
}

TEST_F(EditorTest, TheStripListsErrorsThenWarningsWithTheValidatorsTexts) {
  auto desk = tidewell::testing::makeDevice("desk", "Desk");
  auto nameless = tidewell::testing::makeSource("src-1", SourceType::system, "");
  desk.sources.push_back(nameless);
  auto loud = tidewell::testing::makeMonitor("mon-1", "Speakers");
  loud.gain = 5.0;
  loud.deviceUID = "speakers-uid";
  auto unplugged = tidewell::testing::makeMonitor("mon-2", "Phones");
  desk.monitors = {loud, unplugged};
  writeConfig({desk}, "desk");
  build("desk");

  const ValidationResult& validation = model->validation();
  ASSERT_EQ(validation.errors.size(), 2u);
  ASSERT_GE(validation.warnings.size(), 1u);
  ValidationStrip* strip = editor->validationStrip();
  EXPECT_TRUE(strip->isVisible());
  const auto rows = strip->rows();
  ASSERT_EQ(rows.size(), qsizetype(validation.errors.size() + validation.warnings.size()));
  EXPECT_EQ(rows[0].symbol, "xmark.octagon.fill");
  EXPECT_EQ(rows[0].message, "Source name must not be empty.");
  EXPECT_EQ(rows[1].symbol, "xmark.octagon.fill");
  EXPECT_EQ(rows[1].message, "Gain must be finite and between 0.0 and 2.0.");
  for (qsizetype index = 2; index < rows.size(); ++index) {
    EXPECT_EQ(rows[index].symbol, "exclamationmark.triangle.fill");
    EXPECT_EQ(rows[index].message.toStdString(), validation.warnings[std::size_t(index - 2)].message);
  }
  EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [](const auto& row) {
    return row.message == "Monitor has no Core Audio output device UID.";
  }));
  // The header, then the strip, 16 apart, inside the 18 padding.
  EXPECT_EQ(editor->header()->geometry().topLeft(), QPoint(18, 18));
  EXPECT_EQ(strip->geometry().top(), editor->header()->geometry().bottom() + 1 + 16);
  saveArtifact(grabShown(*editor), "device-editor-validation-" + schemeName(ColorSchemeSource::instance().scheme()));

  // Mended, the strip goes and takes no space.
  ConfigSnapshot fixed = model->snapshot();
  fixed.devices[0].sources[1].name = "Everything";
  fixed.devices[0].monitors[0].gain = 1.0;
  fixed.devices[0].monitors[1].deviceUID = "phones-uid";
  fixed.devices[0].channelCount = fixed.devices[0].sources[0].channelCount;
  ASSERT_TRUE(model->saveEditedSnapshot(fixed, "Saved"));
  ASSERT_EQ(model->validation(), ValidationResult{});
  EXPECT_FALSE(strip->isVisible());
  EXPECT_TRUE(waitFor([&] {
    return editor->canvas()->geometry().top() == editor->header()->geometry().bottom() + 1 + 16;
  }));
}

TEST_F(EditorTest, MessagesAreShownAsPlainText) {
  auto desk = tidewell::testing::makeDevice("desk", "Desk");
  auto monitor = tidewell::testing::makeMonitor("", "<b>Bold</b>");
  desk.monitors = {monitor};
  writeConfig({desk}, "desk");
  build("desk");
  for (QLabel* label : editor->validationStrip()->findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) {
      EXPECT_EQ(label->textFormat(), Qt::PlainText);
    }
  }
}

// Counts far beyond the 64 channels a stream carries, as a corrupt or hand-edited file has
// them: each is a validation error, and no column builds more than 64 rows for it.
TEST_F(EditorTest, ChannelCountsBeyondTheDeviceLimitBuildAtMostSixtyFourRows) {
  auto desk = tidewell::testing::makeDevice("desk", "Desk");
  desk.channelCount = 2000;
  desk.sources.clear();
  desk.wires.clear();
  auto input = tidewell::testing::makeSource("hw", SourceType::hardwareInput, "Wide Input");
  input.channelCount = 8000;
  input.metadata.deviceUID = "wide-in";
  desk.sources = {input};
  auto output = tidewell::testing::makeMonitor("mon", "Wide Output");
  output.channelCount = 2000;
  output.deviceUID = "wide-out";
  desk.monitors = {output};
  writeConfig({desk}, "desk");
  build("desk");

  std::vector<std::string> codes;
  for (const auto& issue : model->validation().errors) codes.push_back(issue.code);
  EXPECT_THAT(codes, ::testing::UnorderedElementsAre("device.invalidChannelCount",
                                                     "source.invalidChannelCount",
                                                     "monitor.invalidChannelCount"));
  auto rowsIn = [&](QWidget* column) {
    return column ? column->findChildren<RoutingChannelRow*>().size() : qsizetype(-1);
  };
  EXPECT_EQ(rowsIn(editor->findChild<SourcesColumn*>()), 64);
  EXPECT_EQ(rowsIn(editor->findChild<OutputChannelsColumn*>()), 64);
  EXPECT_EQ(rowsIn(editor->findChild<MonitorsColumn*>()), 64);
}

TEST_F(EditorTest, ADeviceThatIsNotSavedLeavesTheEditorEmpty) {
  writeThreeDevices("desk");
  build("gone");
  EXPECT_EQ(editor->scrollArea(), nullptr);
  EXPECT_EQ(editor->header(), nullptr);
  editor->setDeviceID("game");
  ASSERT_NE(editor->header(), nullptr);
  EXPECT_EQ(editor->header()->nameField()->text(), "Game Chat");
  ASSERT_NE(editor->canvas(), nullptr);
  EXPECT_EQ(editor->canvas()->device().id, "game");
}

TEST_F(EditorTest, TheHealthFooterShowsOneLineOrTheDiagnosticsInDeveloperMode) {
  writeThreeDevices("desk");
  model = makeModel();
  model->setHalDriverLoaded(true);
  model->setServiceRunning(true);
  model->setServiceResponsive(true);
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  DriverHealthView health(*model, MainWindowHooks{});
  health.resize(240, 40);
  health.show();
  CompactHealthView* compact = health.compactView();
  EXPECT_EQ(compact->summaryLabel()->text(), QString::fromUtf8("Driver Loaded \u2022 Service On"));
  EXPECT_EQ(compact->dotColor(), Theme::green(scheme));

  model->setStatusMessage("Saved");
  EXPECT_EQ(compact->summaryLabel()->toolTip(), "Saved\n" + model->serviceStatusMessage());
  model->setStatusMessage("");
  EXPECT_EQ(compact->summaryLabel()->toolTip(), "\n" + model->serviceStatusMessage());

  model->setHalDriverLoaded(false);
  model->setServiceResponsive(false);
  EXPECT_EQ(compact->summaryLabel()->text(), QString::fromUtf8("Driver Missing \u2022 Service Stalled"));
  EXPECT_EQ(compact->dotColor(), Theme::orange(scheme));

  model->setDeveloperMode(true);
  ASSERT_NE(health.diagnosticsPanel(), nullptr);
  EXPECT_TRUE(health.diagnosticsPanel()->isVisible());
  EXPECT_NE(qobject_cast<DeveloperDiagnosticsPanel*>(health.diagnosticsPanel()), nullptr);
  EXPECT_FALSE(compact->isVisible());
  model->setDeveloperMode(false);
  EXPECT_EQ(health.diagnosticsPanel(), nullptr);
  EXPECT_TRUE(compact->isVisible());
}

// A window too narrow for the three columns scrolls sideways; nothing, the header's switch
// included, is cut off out of reach.
TEST_F(EditorTest, ANarrowEditorScrollsSidewaysSoTheHeaderSwitchStaysReachable) {
  auto device = tidewell::testing::makeDevice("desk", "Desk");
  device.monitors.push_back(tidewell::testing::makeMonitor("m", "Speakers"));
  writeConfig({device}, "desk");
  build("desk");
  editor->resize(560, 640);
  QApplication::processEvents();
  QScrollArea* scroll = editor->scrollArea();
  ASSERT_NE(scroll, nullptr);
  ASSERT_GT(scroll->widget()->minimumSizeHint().width(), scroll->viewport()->width());
  QScrollBar* bar = scroll->horizontalScrollBar();
  ASSERT_TRUE(waitFor([&] { return bar->isVisible() && bar->maximum() > 0; }));
  bar->setValue(bar->maximum());
  QApplication::processEvents();
  ToggleSwitch* toggle = editor->header()->enabledSwitch();
  const QRect inViewport(toggle->mapTo(scroll->viewport(), QPoint(0, 0)), toggle->size());
  EXPECT_TRUE(scroll->viewport()->rect().contains(inViewport)) << inViewport.x() << "+" << inViewport.width();
}

}  // namespace
