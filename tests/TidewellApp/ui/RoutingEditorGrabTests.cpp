// The whole editor of a busy device, with everything running: four sources (the pass-thru, an
// application, the whole system and the USB input), eight channels and two monitors, audio
// playing through all of them. Its meters must come alive on every path that carries sound,
// and the picture of it in light and dark goes to test-artifacts/ for a person to look at.

#include <QApplication>
#include <QLineEdit>
#include <QScrollArea>
#include <QTest>

#include "../model/ModelEndToEndFixture.h"
#include "UiTestSupport.h"

#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

constexpr const char* usbUID = "USBAudioInterface";
constexpr const char* builtInOutputUID = "BuiltInOutputDevice";

Wire wire(const std::string& id, WireEndpoint from, WireEndpoint to) {
  return Wire{id, std::move(from), std::move(to)};
}

class RoutingEditorGrabTest : public ModelEndToEndTest {
 protected:
  std::string uid = std::string(TidewellCore::derivedDeviceUID("V"));
  std::unique_ptr<TidewellAppModel> model;
  std::unique_ptr<TidewellMeterModel> meters;
  std::unique_ptr<DeviceEditorView> editor;

  void TearDown() override {
    editor.reset();
    meters.reset();
    model.reset();
    runTool({"audioctl", "signal", usbUID, "silence"});
    ModelEndToEndTest::TearDown();
  }

  // Four sources, eight channels, two monitors: every source wired in, both monitors fed.
  static DeviceConfig busyDevice(const std::string& uid) {
    DeviceConfig device = makeDevice("V", "Studio Mix");
    device.uid = uid;
    device.channelCount = 8;
    device.sources.at(0).channelCount = 8;
    device.wires.clear();
    for (std::int64_t channel = 1; channel <= 8; ++channel)
      device.wires.push_back(wire("pt" + std::to_string(channel),
                                  {EndpointKind::source, "V-pt", channel},
                                  {EndpointKind::deviceOutput, "V", channel}));

    SourceConfig player = makeSource("A", SourceType::application, "Player");
    player.metadata.bundleIdentifier = "org.example.player";
    SourceConfig system = makeSource("S", SourceType::system, "System Audio");
    SourceConfig usb = makeSource("U", SourceType::hardwareInput, "USB Audio Interface");
    usb.metadata.deviceUID = usbUID;
    device.sources.push_back(player);
    device.sources.push_back(system);
    device.sources.push_back(usb);
    const std::pair<const char*, std::int64_t> fed[] = {{"A", 1}, {"S", 3}, {"U", 5}};
    for (const auto& [source, first] : fed) {
      for (std::int64_t channel = 1; channel <= 2; ++channel)
        device.wires.push_back(wire(std::string(source) + std::to_string(channel),
                                    {EndpointKind::source, source, channel},
                                    {EndpointKind::deviceOutput, "V", first + channel - 1}));
    }

    MonitorConfig speakers = makeMonitor("M1", "Built-in Output");
    speakers.deviceUID = builtInOutputUID;
    MonitorConfig interface = makeMonitor("M2", "USB Audio Interface");
    interface.deviceUID = usbUID;
    device.monitors = {speakers, interface};
    for (std::int64_t channel = 1; channel <= 2; ++channel) {
      device.wires.push_back(wire("m1-" + std::to_string(channel),
                                  {EndpointKind::deviceOutput, "V", channel},
                                  {EndpointKind::monitor, "M1", channel}));
      device.wires.push_back(wire("m2-" + std::to_string(channel),
                                  {EndpointKind::deviceOutput, "V", channel + 4},
                                  {EndpointKind::monitor, "M2", channel}));
    }
    return device;
  }

  // The meter of this owner's channel, by what it reads.
  RoutingMeterView* meterOf(const std::string& owner, int channelIndex) {
    for (auto* meter : editor->findChildren<RoutingMeterView*>()) {
      if (meter->ownerID() == owner && meter->channelIndex() == channelIndex) return meter;
    }
    return nullptr;
  }
  std::string describedMeters() {
    std::string text;
    for (auto* meter : editor->findChildren<RoutingMeterView*>()) {
      text += meter->ownerID() + "[" + std::to_string(meter->channelIndex()) + "] " +
              (meter->isActive() ? "active " : "off ") +
              std::to_string(meter->shownState().barWidth) + "\n";
    }
    return text;
  }
  bool showsLevel(const std::string& owner, int channelIndex) {
    RoutingMeterView* meter = meterOf(owner, channelIndex);
    return meter && meter->isActive() && meter->shownState().barWidth > 0;
  }
};

TEST_F(RoutingEditorGrabTest, ABusyDeviceShowsLiveMetersOnEveryPathAndIsGrabbedInBothSchemes) {
  const DeviceConfig device = busyDevice(uid);
  writeConfig({device}, "V");
  player = spawnTool({"audio-play", "--bundle-id", "org.example.player", "--sine", "440",
                      "--level", "-12", "--duration", "900"});
  ASSERT_GT(player, 0);
  ASSERT_EQ(runTool({"audioctl", "signal", usbUID, "sine", "220", "-18"}), 0);
  startService("0.2");
  model = makeLiveModel();
  AppEnvironment live = environment();
  live.meters = makeRuntimeMeterSource();
  live.clock = makeSystemClock();
  meters = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), live);
  ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
  // As the main window does for the device it shows.
  meters->updateDevice(model->snapshot().devices.at(0));
  meters->start();

  editor = std::make_unique<DeviceEditorView>(*model, meters.get(), "V", true, MainWindowHooks{});
  editor->resize(1280, 900);
  editor->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(editor.get()));
  ASSERT_NE(editor->canvas(), nullptr);

  // Every row of the device is there: 8 + 2 × 3 source channels, 8 outputs, 2 × 2 monitor
  // channels.
  EXPECT_EQ(editor->findChildren<RoutingMeterView*>().size(), 8u + 6u + 8u + 4u);

  // The application's and the USB input's meters come alive through their helpers, the
  // device's own channels carry them, and both monitors play what is wired to them.
  const std::string output = RuntimeMeterStore::outputOwnerID(uid);
  EXPECT_TRUE(waitFor([&] { return showsLevel("A", 0) && showsLevel("U", 0); }, 20000))
      << describedMeters();
  EXPECT_TRUE(waitFor([&] { return showsLevel(output, 0) && showsLevel(output, 4); }, 20000));
  EXPECT_TRUE(waitFor([&] { return showsLevel("M1", 0) && showsLevel("M2", 0); }, 20000))
      << readFile(serviceLog);

  for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    test::useScheme(scheme);
    QApplication::processEvents();
    QTest::qWait(200);  // a few meter frames in the new colours
    // The name field sits under style sheets; it must take the new scheme's text colour.
    const int nameLightness = editor->header()->nameField()->palette().color(QPalette::Text).lightness();
    EXPECT_EQ(nameLightness > 128, scheme == ColorScheme::dark) << nameLightness;
    const QImage image = editor->grab().toImage();
    ASSERT_FALSE(image.isNull());
    test::saveArtifact(image, "routing-editor-busy-" + test::schemeName(scheme));
  }
}

}  // namespace
}  // namespace tidewell::testing
