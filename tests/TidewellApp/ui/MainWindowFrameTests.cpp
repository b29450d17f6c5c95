// The main window's frame and sidebar: showing and hiding the sidebar (slot width, opacity,
// clicks, the floating button), the device list's selection by click and by keyboard, the
// device icons, and the grabs of the window in both schemes.

#include "MainWindowTestSupport.h"

#include <QListView>
#include <QPushButton>
#include <QToolButton>

#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/DeviceIcon.h"
#include "TidewellApp/SidebarView.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellRootView.h"

using namespace tidewell;
using namespace tidewell::test;

namespace {

// Longer than any fade of the frame.
constexpr int fadeSettle = 400;

class RootViewTest : public MainWindowTest {
 protected:
  std::unique_ptr<TidewellAppModel> model;
  std::unique_ptr<TidewellRootView> root;

  void build(bool sidebarVisible = true, MainWindowHooks hooks = {}) {
    model = makeModel();
    root = std::make_unique<TidewellRootView>(*model, meters.get(), sidebarVisible, std::move(hooks));
    root->resize(1100, 700);
    root->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(root.get()));
  }

  // The model always loads at least one device: this is the state after the last was deleted.
  void showNoDevices() {
    ConfigSnapshot none = model->snapshot();
    none.devices.clear();
    none.ui.selectedDeviceID.reset();
    // The file says the same, or the next save would carry its edit over onto the three devices
    // the file still holds, as it does after another writer's save.
    store->save(none);
    model->setSnapshot(none);
    model->setSelectedDeviceID(std::nullopt);
  }

  bool settled() { return !root->sidebarAnimating(); }
  // The widget the user's click at `point` of the root would reach.
  QWidget* hitAt(QPoint point) { return root->childAt(point); }
  bool isInSidebar(QWidget* widget) {
    for (; widget; widget = widget->parentWidget()) {
      if (widget == root->sidebar()) return true;
    }
    return false;
  }
};

TEST_F(RootViewTest, TheSidebarSlidesOutAndBackAndOnlyTakesClicksWhileShown) {
  writeThreeDevices();
  build();
  showNoDevices();
  const QPoint inCard(100, 300);
  EXPECT_DOUBLE_EQ(root->sidebarSlotWidth(), 282);
  EXPECT_EQ(root->sidebarCardRect(), QRectF(12, 18, 270, 700 - 30));
  EXPECT_TRUE(root->sidebarTakesClicks());
  EXPECT_TRUE(isInSidebar(hitAt(inCard)));
  EXPECT_EQ(root->detailColumn()->geometry(), QRect(282, 0, 1100 - 282, 700));
  EXPECT_FALSE(root->floatingToggle()->isVisible());
  saveArtifact(root->grab().toImage(), "root-view-no-device-sidebar-shown-light");

  click(root->sidebar()->hideSidebarButton());
  EXPECT_FALSE(root->sidebarVisible());
  // The card stops taking clicks as soon as it starts to leave.
  EXPECT_FALSE(root->sidebarTakesClicks());
  ASSERT_TRUE(waitFor([&] { return root->sidebarSlotWidth() > 0 && root->sidebarSlotWidth() < 282; }));
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  EXPECT_DOUBLE_EQ(root->sidebarSlotWidth(), 0);
  EXPECT_DOUBLE_EQ(root->sidebarOpacity(), 0);
  EXPECT_FALSE(root->sidebar()->isVisible());
  EXPECT_FALSE(isInSidebar(hitAt(inCard)));
  EXPECT_EQ(root->detailColumn()->geometry(), QRect(0, 0, 1100, 700));
  EXPECT_LT(root->sidebarCardRect().right(), 1);


  // No device selected: the floating button is the way back; it sits 12/16 from the corner.
  ASSERT_TRUE(waitFor([&] { return root->floatingToggle()->isVisible(); }));
  const QRect button = root->floatingToggle()->button()->geometry().translated(root->floatingToggle()->pos());
  EXPECT_EQ(button, QRect(12, 16, 30, 30));
  EXPECT_EQ(root->floatingToggle()->button()->toolTip().left(14), "Show Sidebar (");
  QTest::qWait(fadeSettle);
  saveArtifact(root->grab().toImage(), "root-view-no-device-sidebar-hidden-light");

  click(root->floatingToggle()->button());
  EXPECT_TRUE(root->sidebarVisible());
  EXPECT_TRUE(root->sidebarTakesClicks());
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  EXPECT_DOUBLE_EQ(root->sidebarSlotWidth(), 282);
  EXPECT_DOUBLE_EQ(root->sidebarOpacity(), 1);
  EXPECT_TRUE(isInSidebar(hitAt(inCard)));
  ASSERT_TRUE(waitFor([&] { return !root->floatingToggle()->isVisible(); }));
}

TEST_F(RootViewTest, WithADeviceSelectedTheHeaderCarriesTheWayBack) {
  writeThreeDevices("desk");
  int toggles = 0;
  MainWindowHooks hooks;
  hooks.toggleSidebar = [&] {
    ++toggles;
    root->setSidebarVisible(!root->sidebarVisible());
  };
  build(false, hooks);
  ASSERT_NE(root->editor(), nullptr);
  ASSERT_NE(root->editor()->header(), nullptr);
  EXPECT_DOUBLE_EQ(root->sidebarSlotWidth(), 0);
  EXPECT_FALSE(root->floatingToggle()->isVisible());
  QToolButton* back = root->editor()->header()->showSidebarButton();
  EXPECT_TRUE(back->isVisible());

  click(back);
  EXPECT_EQ(toggles, 1);
  ASSERT_TRUE(waitFor([&] { return settled() && !back->isVisible(); }));
  EXPECT_DOUBLE_EQ(root->sidebarSlotWidth(), 282);
  EXPECT_FALSE(root->floatingToggle()->isVisible());

  // Through the application's hook, from the sidebar's own button.
  click(root->sidebar()->hideSidebarButton());
  EXPECT_EQ(toggles, 2);
  ASSERT_TRUE(waitFor([&] { return settled() && back->isVisible(); }));
  EXPECT_FALSE(root->floatingToggle()->isVisible());
}

TEST_F(RootViewTest, AClickOnARowSavesTheSelectionAndTheKeyboardOnlySelects) {
  writeThreeDevices("desk");
  build();
  QListView* list = root->sidebar()->deviceList();
  ASSERT_EQ(list->model()->rowCount(), 3);
  EXPECT_EQ(list->currentIndex().row(), 0);

  const QRect second = list->visualRect(list->model()->index(1, 0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
  EXPECT_EQ(model->selectedDeviceID(), std::optional<std::string>("stream"));
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, std::optional<std::string>("stream"));
  EXPECT_EQ(model->statusMessage(), "Selected device");
  ASSERT_NE(root->editor(), nullptr);
  EXPECT_EQ(root->editor()->deviceID(), "stream");

  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(model->selectedDeviceID(), std::optional<std::string>("game"));
  EXPECT_EQ(root->editor()->deviceID(), "game");
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, std::optional<std::string>("stream"));
  QTest::keyClick(list, Qt::Key_Up);
  QTest::keyClick(list, Qt::Key_Up);
  EXPECT_EQ(model->selectedDeviceID(), std::optional<std::string>("desk"));
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, std::optional<std::string>("stream"));

  // A press that leaves the row before its release selects nothing.
  const QRect third = list->visualRect(list->model()->index(2, 0));
  QTest::mousePress(list->viewport(), Qt::LeftButton, {}, third.center());
  QTest::mouseMove(list->viewport(), QPoint(third.center().x(), list->viewport()->height() - 2));
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, QPoint(third.center().x(), list->viewport()->height() - 2));
  EXPECT_EQ(model->selectedDeviceID(), std::optional<std::string>("desk"));
  EXPECT_EQ(list->currentIndex().row(), 0);

  // The selected row clicked again saves again.
  model->setStatusMessage("");
  const QRect first = list->visualRect(list->model()->index(0, 0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(model->statusMessage(), "Selected device");
  EXPECT_EQ(savedConfig().ui.selectedDeviceID, std::optional<std::string>("desk"));
}

// Fault mended: a file whose selection names no device (removed by hand, or by another copy)
// opened on "No Devices" while the sidebar listed the file's devices. The first device is
// shown and highlighted.
TEST_F(RootViewTest, ASelectionThatNamesNoDeviceShowsTheFirstDevice) {
  writeThreeDevices("gone");
  build();
  ASSERT_NE(root->editor(), nullptr);
  EXPECT_TRUE(root->editor()->isVisible());
  EXPECT_FALSE(root->emptyState()->isVisible());
  EXPECT_EQ(root->editor()->deviceID(), "desk");
  ASSERT_NE(root->editor()->header(), nullptr);
  EXPECT_EQ(root->sidebar()->deviceList()->currentIndex().row(), 0);
  EXPECT_TRUE(root->sidebar()->deviceList()->selectionModel()->isSelected(
      root->sidebar()->deviceList()->model()->index(0, 0)));
  EXPECT_TRUE(root->sidebar()->deleteDeviceButton()->isEnabled());
}

TEST_F(RootViewTest, TheTitleRowCreatesAndDeletesDevices) {
  writeThreeDevices();
  build();
  showNoDevices();
  SidebarView* sidebar = root->sidebar();
  EXPECT_EQ(sidebar->deviceList()->model()->rowCount(), 0);
  EXPECT_FALSE(sidebar->deleteDeviceButton()->isEnabled());
  EXPECT_TRUE(root->emptyState()->isVisible());
  EXPECT_EQ(sidebar->newDeviceButton()->toolTip(), "New Device");
  EXPECT_EQ(sidebar->deleteDeviceButton()->toolTip(), "Delete Device");

  click(sidebar->newDeviceButton());
  EXPECT_EQ(sidebar->deviceList()->model()->rowCount(), 1);
  EXPECT_EQ(savedConfig().devices.size(), 1u);
  EXPECT_EQ(sidebar->deviceList()->currentIndex().row(), 0);
  EXPECT_TRUE(sidebar->deleteDeviceButton()->isEnabled());
  ASSERT_NE(root->editor(), nullptr);
  click(sidebar->deleteDeviceButton());
  EXPECT_TRUE(savedConfig().devices.empty());
  EXPECT_FALSE(sidebar->deleteDeviceButton()->isEnabled());
  EXPECT_TRUE(root->emptyState()->isVisible());
}

TEST_F(RootViewTest, TheEmptyStateCreatesADevice) {
  writeThreeDevices();
  build();
  showNoDevices();
  EXPECT_TRUE(root->emptyState()->isVisible());
  saveArtifact(root->grab().toImage(), "root-view-empty-light");
  click(root->emptyState()->newDeviceButton());
  ASSERT_EQ(savedConfig().devices.size(), 1u);
  ASSERT_NE(root->editor(), nullptr);
  EXPECT_TRUE(root->editor()->isVisible());
  EXPECT_FALSE(root->emptyState()->isVisible());
}

// Fault mended: once uninstalling had begun (and after a run that failed partway) every edit
// silently did nothing while the window looked as editable as before.
TEST_F(RootViewTest, OnceUninstallingHasBegunTheSidebarAndEditorTakeNoEdits) {
  writeThreeDevices("desk");
  build(true);
  ASSERT_NE(root->editor(), nullptr);
  EXPECT_TRUE(root->sidebar()->isEnabled());
  EXPECT_TRUE(root->editor()->isEnabled());
  model->prepareForUninstall();
  EXPECT_FALSE(root->sidebar()->isEnabled());
  EXPECT_FALSE(root->editor()->isEnabled());
  EXPECT_TRUE(root->editor()->isVisible()) << "still in view";
}

TEST_F(RootViewTest, GrabsInBothSchemes) {
  for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    useScheme(scheme);
    const QString name = schemeName(scheme);
    writeThreeDevices("desk");
    build(true);
    model->setHalDriverLoaded(true);
    model->setServiceRunning(true);
    model->setServiceResponsive(true);
    model->setServiceStatusMessage("Service running");  // as the health check says it with the two above
    saveArtifact(root->grab().toImage(), "root-view-" + name);
    model->setDeveloperMode(true);
    QTest::qWait(50);
    saveArtifact(root->grab().toImage(), "root-view-developer-mode-" + name);
    model->setDeveloperMode(false);
    root->setSidebarVisible(false, false);
    QTest::qWait(fadeSettle);
    saveArtifact(root->grab().toImage(), "root-view-sidebar-hidden-" + name);
    const QImage hidden = root->grab().toImage();
    // Hidden: the left edge shows the dotted background, no card.
    EXPECT_EQ(hidden.pixelColor(40, 400).alpha(), 255);
    root.reset();
    build(false);
    showNoDevices();
    QTest::qWait(fadeSettle);
    saveArtifact(root->grab().toImage(), "root-view-empty-hidden-" + name);
    root.reset();
    model.reset();
  }
  useScheme(ColorScheme::light);
}

TEST(DeviceIconTest, NamesTitlesAndFilledSymbols) {
  QStringList raw;
  QStringList titles;
  for (DeviceIcon icon : DeviceIcon::allCases()) {
    raw << icon.rawValue();
    titles << icon.title();
  }
  EXPECT_EQ(raw, QStringList({"waveform.circle", "speaker.circle", "mic.circle", "music.note",
                              "gamecontroller.circle", "bubble.left.circle", "video.circle", "globe"}));
  EXPECT_EQ(titles, QStringList({"Waveform", "Speaker", "Microphone", "Music", "Game", "Chat", "Video", "Globe"}));
  EXPECT_EQ(DeviceIcon::fromRawValue("mic.circle"), DeviceIcon(DeviceIcon::microphone));
  EXPECT_FALSE(DeviceIcon::fromRawValue("mic.circle.fill").has_value());

  EXPECT_EQ(DeviceIcon::symbolName("mic.circle", true), "mic.circle.fill");
  EXPECT_EQ(DeviceIcon::symbolName("mic.circle", false), "mic.circle");
  EXPECT_EQ(DeviceIcon::symbolName("music.note", true), "music.note");
  EXPECT_EQ(DeviceIcon::symbolName("globe", true), "globe");
  // Unknown names draw as the waveform.
  EXPECT_EQ(DeviceIcon::symbolName("rocket", true), "waveform.circle.fill");
  EXPECT_EQ(DeviceIcon::symbolName("", false), "waveform.circle");
  for (DeviceIcon icon : DeviceIcon::allCases()) {
    EXPECT_TRUE(SymbolProvider::exists(DeviceIcon::symbolName(icon.rawValue(), true))) << icon.rawValue().toStdString();
  }
}

TEST(DeviceSidebarRowTest, TheSubtitleShowsChannelsAndTheEngineRate) {
  DeviceConfig device;
  device.channelCount = 2;
  device.sampleRate = 44100;
  EXPECT_EQ(DeviceSidebarRow::subtitle(device), "2ch  48 kHz");
  device.channelCount = 16;
  EXPECT_EQ(DeviceSidebarRow::subtitle(device), "16ch  48 kHz");
}

}  // namespace
