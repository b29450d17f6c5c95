// The monitors column with everything running (a private audio server with the plug-in, the
// routing service and its helpers, a tone playing into the device): a monitor added from the
// column's "Add Monitor" menu plays the device to Built-in Output, and the card's mute button
// silences it.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <QAction>
#include <QApplication>
#include <QToolButton>
#include <QVBoxLayout>

#include "../model/ModelEndToEndFixture.h"
#include "UiTestSupport.h"

#include "TidewellApp/MonitorAddMenu.h"
#include "TidewellApp/MonitorRow.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

constexpr double toneHz = 997;
constexpr double toneDbfs = -6;
const std::string builtInOutput = "BuiltInOutputDevice";

class MonitorsColumnEndToEndTest : public ModelEndToEndTest {
protected:
    std::string uid = std::string(TidewellCore::derivedDeviceUID("V"));
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meterModel;
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;
    int captures = 0;

    void SetUp() override {
        ModelTest::SetUp();
        DeviceConfig device = makeDevice("V", "Virtual");
        device.uid = uid;
        writeConfig({device}, "V");
        startService();
        model = makeLiveModel();
        meterModel = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
        ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
        player = spawnTool({"audio-play", "--device", uid, "--sine", std::to_string(toneHz), "--level",
                            std::to_string(toneDbfs), "--duration", "120"});
        ASSERT_GT(player, 0);

        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        canvas = new RoutingCanvasView(*model, *meterModel, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        window->resize(1000, 480);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        meterModel.reset();
        model.reset();
        ModelEndToEndTest::TearDown();
    }

    MonitorsColumn* column() { return qobject_cast<MonitorsColumn*>(canvas->columns().value(2)); }

    // The last second of two seconds that Built-in Output played; empty when the capture failed.
    std::vector<tools::ChannelReport> hearOutput() {
        const auto file = home / ("capture-" + std::to_string(captures++) + ".wav");
        if (runTool({"audioctl", "capture", builtInOutput, file.string(), "--seconds", "2"}) != 0) return {};
        auto audio = tools::readWav(file.string());
        std::filesystem::remove(file);
        const std::size_t second = std::size_t(audio.sampleRate) * audio.channels;
        if (audio.samples.size() > second) audio.samples.erase(audio.samples.begin(), audio.samples.end() - long(second));
        return tools::analyse(audio);
    }
    static bool tone(const std::vector<tools::ChannelReport>& heard) {
        return heard.size() >= 2 &&
               std::all_of(heard.begin(), heard.begin() + 2, [](const tools::ChannelReport& channel) {
                   return std::abs(channel.dominantHz - toneHz) < toneHz / 100 &&
                          std::abs(channel.steadyDbfs - toneDbfs) < 1.5;
               });
    }
    static bool silent(const std::vector<tools::ChannelReport>& heard) {
        return heard.size() >= 2 && heard[0].rmsDbfs < -60 && heard[1].rmsDbfs < -60;
    }
    static std::string described(const std::vector<tools::ChannelReport>& heard) {
        std::string text;
        for (const auto& channel : heard)
            text += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.steadyDbfs) + " dBFS; ";
        return text;
    }
    // What the output plays now, on one capture: the tone is judged by its steady level, which a
    // few cycles lost under load do not tip.
    template <class Condition>
    bool hearsNow(Condition condition, std::vector<tools::ChannelReport>& heard) {
        return condition(heard = hearOutput());
    }
    // A live edit reaches the running monitor on one of its next polls: up to three captures for
    // it to arrive, each judged as above.
    template <class Condition>
    bool heardWithin(Condition condition, std::vector<tools::ChannelReport>& heard) {
        for (int capture = 0; capture < 3; ++capture)
            if (condition(heard = hearOutput())) return true;
        return false;
    }
};

TEST_F(MonitorsColumnEndToEndTest, AMonitorAddedFromTheMenuPlaysTheDeviceToBuiltInOutputAndItsMuteSilencesIt) {
    ASSERT_NE(column(), nullptr);
    std::vector<tools::ChannelReport> heard;
    EXPECT_TRUE(hearsNow(silent, heard)) << "before any monitor: " << described(heard);

    MonitorAddMenu* menu = column()->addMenu();
    menu->rebuild();
    QAction* entry = menu->actionForKey(QString::fromStdString("output:" + builtInOutput));
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(entry->isEnabled());
    entry->trigger();
    QApplication::processEvents();
    ASSERT_EQ(model->statusMessage(), "Added monitor");
    ASSERT_EQ(column()->rows().size(), 1);
    MonitorRow* card = column()->rows().front();
    EXPECT_EQ(card->monitor().deviceUID, builtInOutput);
    EXPECT_TRUE(card->outputIsAvailable());

    ASSERT_TRUE(eventually([&] { return serviceLogHas("Started monitor 'Built-in Output' (Virtual)"); }))
        << readFile(serviceLog);
    std::this_thread::sleep_for(1s);  // the helper settles its fill
    EXPECT_TRUE(hearsNow(tone, heard)) << described(heard) << readFile(serviceLog);

    // The card's mute: a live edit the running monitor follows without a save.
    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    ASSERT_TRUE(model->liveSnapshot().has_value());
    EXPECT_TRUE(heardWithin(silent, heard)) << "muted: " << described(heard);
    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    EXPECT_TRUE(heardWithin(tone, heard)) << "unmuted: " << described(heard);
}

}  // namespace
}  // namespace tidewell::testing
