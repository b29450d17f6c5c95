// The routing canvas with everything running: a private audio server with the plug-in, the
// routing service with the build's helpers, an application playing, and the editor on top. A
// wire dragged in the editor is what a recording application hears; deleting it silences the
// channel by the end of the service's next pass.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <QApplication>
#include <QToolButton>
#include <QVBoxLayout>
#include <sys/wait.h>

#include "../model/ModelTestSupport.h"
#include "../model/ServiceProcess.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/RoutingWireOverlay.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

constexpr double toneHz = 997;
constexpr double silentDbfs = -60;

class RoutingCanvasEndToEndTest : public ModelTest {
protected:
    PrivateAudioServer server{true};
    std::filesystem::path home = std::filesystem::path(folder.path().toStdString());
    std::filesystem::path serviceLog = home / "service.log";
    std::string uid = std::string(TidewellCore::derivedDeviceUID("V"));
    pid_t servicePid = -1;
    pid_t player = -1;
    int captures = 0;

    void TearDown() override {
        for (pid_t* pid : {&player, &servicePid}) {
            if (*pid <= 0) continue;
            ::kill(*pid, SIGTERM);
            ::waitpid(*pid, nullptr, 0);
        }
    }

    // One second of the device, as a recording application gets it; empty when it failed.
    std::vector<tools::ChannelReport> record() {
        auto file = home / ("device-" + std::to_string(captures++) + ".wav");
        if (runTool({"audio-record", "--device", uid, "--output", file.string(), "--duration", "1"}) != 0)
            return {};
        auto heard = tools::analyse(tools::readWav(file.string()));
        std::filesystem::remove(file);
        return heard;
    }
    static std::string described(const std::vector<tools::ChannelReport>& heard) {
        std::string text;
        for (const auto& channel : heard)
            text += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.rmsDbfs) + " dBFS; ";
        return text;
    }
    static bool toneOnSecondOnly(const std::vector<tools::ChannelReport>& heard) {
        return heard.size() == 2 && heard[0].rmsDbfs < silentDbfs &&
               std::abs(heard[1].dominantHz - toneHz) < toneHz / 100 &&
               std::abs(heard[1].rmsDbfs - -12) < 1.5;
    }
    static bool silent(const std::vector<tools::ChannelReport>& heard) {
        return heard.size() == 2 && heard[0].rmsDbfs < silentDbfs && heard[1].rmsDbfs < silentDbfs;
    }
    std::filesystem::file_time_type lastServicePass() {
        return modificationTime(serviceHeartbeat(home));
    }
};

TEST_F(RoutingCanvasEndToEndTest, AWireDraggedInTheEditorIsHeardOnItsChannelOnlyAndDeletingItSilencesIt) {
    DeviceConfig device = makeDevice("V", "Virtual");
    device.uid = uid;
    SourceConfig application = makeSource("A", SourceType::application, "Player");
    application.metadata.bundleIdentifier = "org.example.player";
    device.sources.push_back(application);
    writeConfig({device}, "V");
    player = spawnTool({"audio-play", "--bundle-id", "org.example.player", "--sine", "997",
                        "--level", "-12", "--duration", "900"});
    ASSERT_GT(player, 0);
    servicePid = startTidewellService(home, configFile, serviceLog, "0.2");
    ASSERT_GT(servicePid, 0);

    AppEnvironment env = environment();
    env.registry = makeAudioServerDeviceRegistry();
    env.publisher = makeRuntimeConfigPublisher();
    TidewellAppModel model(env);
    TidewellMeterModel meters(std::make_shared<MeterTap>(), env);
    ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
    ASSERT_TRUE(eventually([&] { return readFile(serviceLog).find("Starting") != std::string::npos; }))
        << readFile(serviceLog);
    // Nothing is wired from the application yet.
    auto heard = record();
    EXPECT_TRUE(silent(heard)) << described(heard);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* canvas = new RoutingCanvasView(model, meters, model.snapshot().devices.at(0));
    layout->addWidget(canvas);
    window.resize(1000, 360);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const RoutingPortID from{{"source", "A", 1}, RoutingPortRole::sourceOutput};
    const RoutingPortID to{{"deviceOutput", "V", 2}, RoutingPortRole::outputInput};
    ASSERT_TRUE(waitFor([&] {
        return canvas->state().portFrames().count(from) && canvas->state().portFrames().count(to);
    }));
    auto inWindow = [&](QPointF point) { return canvas->mapTo(&window, point.toPoint()); };
    QWindow* handle = window.windowHandle();

    const QPoint start = inWindow(canvas->state().portFrames().at(from).center());
    const QPoint end = inWindow(canvas->state().portFrames().at(to).center());
    QTest::mousePress(handle, Qt::LeftButton, {}, start);
    QTest::mouseMove(handle, start + QPoint(8, 0));
    QTest::mouseMove(handle, end);
    QTest::mouseRelease(handle, Qt::LeftButton, {}, end);
    QApplication::processEvents();
    ASSERT_EQ(model.statusMessage(), "Connected wire");

    bool heardIt = false;
    for (int attempt = 0; attempt < 10 && !heardIt; ++attempt) heardIt = toneOnSecondOnly(heard = record());
    EXPECT_TRUE(heardIt) << described(heard) << readFile(serviceLog);

    // Select the new wire by a click on its middle, then its button deletes it.
    ASSERT_TRUE(waitFor([&] { return canvas->device().wires.size() == device.wires.size() + 1; }));
    const Wire wire = canvas->device().wires.back();
    const auto line = routingWireLine(wire, canvas->state().portFrames());
    ASSERT_TRUE(line);
    QTest::mouseMove(handle, inWindow(line->midpoint));
    QTest::mouseClick(handle, Qt::LeftButton, {}, inWindow(line->midpoint));
    ASSERT_EQ(canvas->state().selectedWireID(), wire.id);
    QToolButton* button = canvas->overlay()->deleteButton();
    ASSERT_TRUE(button && button->isVisible());
    const auto passBefore = lastServicePass();
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_EQ(model.statusMessage(), "Deleted wire");

    // One whole pass after the deletion: the pass under way may have read the old file, the
    // next one starts after it.
    ASSERT_TRUE(eventually([&] { return lastServicePass() > passBefore; }));
    const auto passUnderWay = lastServicePass();
    ASSERT_TRUE(eventually([&] { return lastServicePass() > passUnderWay; }));
    heard = record();
    EXPECT_TRUE(silent(heard)) << described(heard) << readFile(serviceLog);
}

}  // namespace
}  // namespace tidewell::testing
