// The editor's header with everything running (a private audio server with the plug-in, the
// routing service and its helpers): a name typed in the header is what the audio server lists
// once the live edit is saved, and the "Enabled" switch silences the device and brings it back.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <QLineEdit>
#include <QTest>

#include "../model/ModelEndToEndFixture.h"
#include "UiTestSupport.h"

#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

// The name `audioctl list` gives the device with this uid (the line above its uid); empty when
// it lists no such device.
std::string listedName(const std::string& uid) {
  const std::string listing = outputOf("audioctl list");
  const auto at = listing.find("  uid: " + uid + "\n");
  if (at == std::string::npos) return {};
  const auto idLine = listing.rfind("\n  id: ", at);
  if (idLine == std::string::npos) return {};
  const auto nameLine = listing.rfind('\n', idLine - 1);
  const auto start = nameLine == std::string::npos ? 0 : nameLine + 1;
  return listing.substr(start, idLine - start);
}

class DeviceHeaderEndToEndTest : public ModelEndToEndTest {
 protected:
  std::string uid = std::string(TidewellCore::derivedDeviceUID("V"));
  std::unique_ptr<TidewellAppModel> model;
  std::unique_ptr<TidewellMeterModel> meters;
  std::unique_ptr<DeviceEditorView> editor;

  void SetUp() override {
    ModelTest::SetUp();
    DeviceConfig device = makeDevice("V", "Virtual");
    device.uid = uid;
    writeConfig({device}, "V");
    startService();
    model = makeLiveModel();
    meters = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
    ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
    editor = std::make_unique<DeviceEditorView>(*model, meters.get(), "V", true, MainWindowHooks{});
    editor->resize(1000, 640);
    editor->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor.get()));
    ASSERT_NE(editor->header(), nullptr);
  }
  void TearDown() override {
    editor.reset();
    meters.reset();
    model.reset();
    ModelEndToEndTest::TearDown();
  }

  bool savedName(const std::string& name) {
    const auto devices = savedConfig().devices;
    return devices.size() == 1 && devices[0].name == name;
  }
};

TEST_F(DeviceHeaderEndToEndTest, ANameTypedInTheHeaderIsListedBySecondAfterItIsSaved) {
  ASSERT_TRUE(eventually([&] { return listedName(uid) == "Virtual"; })) << listedName(uid);
  QLineEdit* field = editor->header()->nameField();
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, "Studio Mix");
  // A live edit: saved after the pause that follows the last key.
  ASSERT_TRUE(waitFor([&] { return savedName("Studio Mix"); })) << savedConfig().devices.at(0).name;
  const auto saved = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return listedName(uid) == "Studio Mix"; }, 1s))
      << "audioctl lists \"" << listedName(uid) << "\"";
  RecordProperty("listedAfterMilliseconds",
                 int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - saved)
                         .count()));
  // The editor still shows the device, its canvas included.
  ASSERT_NE(editor->canvas(), nullptr);
  EXPECT_EQ(editor->canvas()->device().name, "Studio Mix");
}

// A disabled device is still described to the plug-in, which keeps it listed and plays silence
// through it (only a device that leaves the configuration leaves the audio server).
TEST_F(DeviceHeaderEndToEndTest, TheEnabledSwitchSilencesTheDeviceAndBringsItBack) {
  ASSERT_EQ(listedInputChannels(uid), 2);
  player = spawnTool({"audio-play", "--device", uid, "--sine", "997", "--level", "-12", "--duration", "120"});
  ASSERT_GT(player, 0);
  int captures = 0;
  auto record = [&] {
    const auto file = home / ("device-" + std::to_string(captures++) + ".wav");
    if (runTool({"audio-record", "--device", uid, "--output", file.string(), "--duration", "1"}) != 0)
      return std::vector<tools::ChannelReport>{};
    auto heard = tools::analyse(tools::readWav(file.string()));
    std::filesystem::remove(file);
    return heard;
  };
  auto tone = [](const std::vector<tools::ChannelReport>& heard) {
    return !heard.empty() && std::abs(heard[0].dominantHz - 997) < 10 && std::abs(heard[0].rmsDbfs - -12) < 1.5;
  };
  auto silent = [](const std::vector<tools::ChannelReport>& heard) {
    return !heard.empty() && heard[0].rmsDbfs < -60;
  };
  auto within = [](int attempts, auto condition) {
    for (int attempt = 0; attempt < attempts; ++attempt)
      if (condition()) return true;
    return false;
  };
  ASSERT_TRUE(within(5, [&] { return tone(record()); })) << "the playing tone is not heard";

  ToggleSwitch* enabled = editor->header()->enabledSwitch();
  ASSERT_TRUE(enabled->isChecked());
  QTest::mouseClick(enabled, Qt::LeftButton);
  EXPECT_FALSE(enabled->isChecked());
  ASSERT_TRUE(waitFor([&] { return !savedConfig().devices.at(0).enabled; }));
  EXPECT_TRUE(within(5, [&] { return silent(record()); })) << "the disabled device still plays";
  EXPECT_EQ(listedInputChannels(uid), 2) << "a disabled device stays listed";

  QTest::mouseClick(editor->header()->enabledSwitch(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return savedConfig().devices.at(0).enabled; }));
  EXPECT_TRUE(within(5, [&] { return tone(record()); })) << "the enabled device stays silent";
}

}  // namespace
}  // namespace tidewell::testing
