// The channel-count menu with everything running (a private audio server with the plug-in and
// the routing service): choosing 8 channels in the menu of a 2-channel device is what the audio
// server lists for it, and the column shows eight rows.

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QVBoxLayout>

#include "../model/ModelEndToEndFixture.h"
#include "UiTestSupport.h"

#include "TidewellApp/ChannelCountMenu.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

class ChannelCountEndToEndTest : public ModelEndToEndTest {};

TEST_F(ChannelCountEndToEndTest, EightChosenInTheMenuIsListedByTheAudioServer) {
  const std::string uid = std::string(TidewellCore::derivedDeviceUID("V"));
  DeviceConfig device = makeDevice("V", "Virtual");
  device.uid = uid;
  writeConfig({device}, "V");
  startService();
  std::unique_ptr<TidewellAppModel> model = makeLiveModel();
  TidewellMeterModel meters(std::make_shared<MeterTap>(), environment());
  ASSERT_TRUE(eventually([&] { return listedInputChannels(uid) == 2; })) << listedInputChannels(uid);

  test::useScheme(ColorScheme::light);
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* canvas = new RoutingCanvasView(*model, meters, model->snapshot().devices.at(0));
  layout->addWidget(canvas);
  window.resize(1000, 700);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* column = qobject_cast<OutputChannelsColumn*>(canvas->columns().at(1));
  ASSERT_NE(column, nullptr);
  ChannelCountMenu* button = column->channelCountMenu();

  // The user opens the menu and clicks "8 Channels" in it.
  bool clicked = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QMenu* menu = button->popupMenu();
    if (clicked || !menu->isVisible()) return;
    QAction* eight = button->actionForCount(8);
    ASSERT_NE(eight, nullptr);
    EXPECT_EQ(eight->text(), QStringLiteral("8 Channels"));
    clicked = true;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(eight).center());
  });
  poll.start(20);
  // The menu runs its own loop until the click closes it.
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return clicked && !button->popupMenu()->isVisible(); }, 10000));
  poll.stop();

  EXPECT_EQ(model->statusMessage(), "Updated channel count");
  EXPECT_EQ(savedConfig().devices.at(0).channelCount, 8);
  EXPECT_TRUE(eventually([&] { return listedInputChannels(uid) == 8; }, 10s))
      << "audioctl lists " << listedInputChannels(uid) << " channels";
  EXPECT_EQ(column->rows().size(), 8);
  EXPECT_EQ(button->text(), QStringLiteral("8 Channels"));
}

}  // namespace
}  // namespace tidewell::testing
