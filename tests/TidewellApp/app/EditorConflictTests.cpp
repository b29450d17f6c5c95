// The routing editor in the application's window when another writer removed its device from
// the file: the edits made through the editor are refused and the window shows the file, with
// no widget deleted while it is still handling the click or the drag that made the edit (the
// build's AddressSanitizer stage runs this too).

#include "EditorWindowFixture.h"
#include "TidewellApp/Bindings.h"
#include "TidewellApp/SourceRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/ToggleSwitch.h"

namespace tidewell::testing {
namespace {

const QString refused = QStringLiteral("Not saved: the configuration changed on disk meanwhile; reloaded it");

class EditorConflictTest : public EditorWindowTest {
 protected:
  ConfigSnapshot demo;
  // What the other writer leaves: a device of its own, the demonstration device gone.
  ConfigSnapshot others;

  void SetUp() override {
    EditorWindowTest::SetUp();
    demo = savedConfig();
    others = ConfigSnapshot::empty();
    others.devices = {makeDevice("other", "Other Writer's Device")};
  }
  // The window shows the demonstration device as the file holds it.
  void showDemo() {
    store->save(demo);
    app->model().reload();
    QApplication::processEvents();
    ASSERT_NE(editor(), nullptr);
    ASSERT_EQ(editor()->deviceID(), "demo-device");
    ASSERT_TRUE(waitFor([&] { return canvas()->state().portFrames().size() == std::size_t(canvas()->ports().size()); }));
    QApplication::processEvents();
  }
  // The window shows the demonstration device; then the other writer saves its document.
  void showDemoThenRemoveIt() {
    showDemo();
    store->save(others);
  }
  // The centre of the microphone card's Enable switch, in the window.
  QPoint microphoneSwitch() {
    auto* sources = qobject_cast<SourcesColumn*>(canvas()->columns().value(0));
    EXPECT_NE(sources, nullptr);
    SourceRow* microphone = sources ? sources->row("demo-microphone") : nullptr;
    EXPECT_NE(microphone, nullptr);
    if (!microphone) return {};
    const QPoint centre = centreInWindow(microphone->enableSwitch());
    EXPECT_EQ(window().childAt(centre), microphone->enableSwitch());
    return centre;
  }
  // The window ends up showing the file: the other writer's device.
  void expectTheFileShown() {
    ASSERT_TRUE(waitFor([&] { return editor() && editor()->deviceID() == "other" && editor()->header(); }));
    EXPECT_EQ(app->model().snapshot(), others);
    EXPECT_EQ(savedConfig(), others);
    EXPECT_EQ(app->model().statusMessage(), refused);
  }
  QPoint centreInWindow(QWidget* widget) { return widget->mapTo(&window(), widget->rect().center()); }
};

// Fault mended: the save's reload ran inside the edit and deleted the whole editor under the
// switch still handling its click; AddressSanitizer reported the reads of freed memory that
// followed (the switch's binding, then the switch itself).
TEST_F(EditorConflictTest, ASwitchFlippedOnARemovedDeviceIsRefusedAndTheWindowShowsTheFile) {
  open(QSize(1600, 1000));
  showDemoThenRemoveIt();
  const QPoint toggle = microphoneSwitch();
  QTest::mouseMove(handle(), toggle);
  QTest::mouseClick(handle(), Qt::LeftButton, {}, toggle);
  EXPECT_EQ(app->model().statusMessage(), refused);
  expectTheFileShown();

  // With the device in the file, the same click saves.
  showDemo();
  QTest::mouseClick(handle(), Qt::LeftButton, {}, microphoneSwitch());
  EXPECT_EQ(app->model().statusMessage(), "Saved");
  EXPECT_FALSE(savedConfig().devices.at(0).sources.at(1).enabled);
}

// Likewise for a wire drawn from the pass-thru's first channel to the device's second output
// channel while the device's volume, moved a moment before, waits for its pause: the wire
// edit commits the volume first, and that save was the one to reload, under the wire edit
// still reading the canvas's device.
TEST_F(EditorConflictTest, AWireDrawnOnARemovedDeviceIsRefusedAndTheWindowShowsTheFile) {
  open(QSize(1600, 1000));
  showDemoThenRemoveIt();
  const QPoint from = centreOf(sourcePort("demo-passthru", 1));
  const QPoint to = centreOf(outputInputPort("demo-device", 2));
  QTest::mouseMove(handle(), from);
  QTest::mousePress(handle(), Qt::LeftButton, {}, from);
  for (const QPoint point : {from + QPoint(6, 3), (from + to) / 2, to}) QTest::mouseMove(handle(), point);
  ASSERT_TRUE(canvas()->state().activeDrag());
  deviceBinding(app->model(), "demo-device", &DeviceConfig::volume, 1.0).set(0.5);
  ASSERT_TRUE(app->model().liveSnapshot());
  QTest::mouseRelease(handle(), Qt::LeftButton, {}, to);
  EXPECT_EQ(app->model().statusMessage(), refused);
  expectTheFileShown();
  EXPECT_TRUE(launcher->calls.empty()) << "a refused wire restarts no helper";
}

}  // namespace
}  // namespace tidewell::testing
