// The sources column with everything running (a private audio server with the plug-in, the
// routing service with the build's helpers, applications playing, the editor on top): what
// the user adds from "Add Source" is what a recording application hears on the device, and the
// mute button of a source's card silences it.

#include <AudioToolsCommon/Analysis.h>
#include <AudioToolsCommon/Wav.h>

#include <QAction>
#include <QApplication>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <numbers>

#include "../model/ModelEndToEndFixture.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/SourceAddMenu.h"
#include "TidewellApp/SourceRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

constexpr double silentDbfs = -60;

// The level of one frequency in one channel, in dBFS (a sine of peak amplitude A reads
// 20 log10 A), from the correlation with that frequency over the whole recording.
double levelAt(const tools::AudioData& audio, unsigned channel, double hz) {
    const std::size_t frames = audio.frames();
    if (frames == 0 || channel >= audio.channels) return -INFINITY;
    double re = 0, im = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2 * std::numbers::pi * hz * double(i) / audio.sampleRate;
        const double sample = audio.samples[i * audio.channels + channel];
        re += sample * std::cos(phase);
        im += sample * std::sin(phase);
    }
    return tools::amplitudeToDbfs(2 * std::hypot(re, im) / double(frames));
}

class SourcesColumnEndToEndTest : public ModelEndToEndTest {
protected:
    const std::string uid = TidewellCore::derivedDeviceUID("V");
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meterModel;
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;
    std::vector<pid_t> players;
    int recordings = 0;

    void TearDown() override {
        window.reset();
        meterModel.reset();
        model.reset();
        for (pid_t pid : players) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        ModelEndToEndTest::TearDown();
    }

    // Device V (2 channels) with these sources saved, the service running, the model over it
    // and the editor's canvas shown.
    void startWith(std::vector<SourceConfig> sources, std::vector<Wire> wires) {
        DeviceConfig device = makeDevice("V", "Virtual");
        device.uid = uid;
        device.sources = std::move(sources);
        device.wires = std::move(wires);
        writeConfig({device}, "V");
        startService("0.1");
        model = makeLiveModel();
        meterModel = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
        ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(uid); }));
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        canvas = new RoutingCanvasView(*model, *meterModel, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        window->resize(1100, 800);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    SourcesColumn* column() { return qobject_cast<SourcesColumn*>(canvas->columns().value(0)); }

    void playApplication(const std::string& bundle, double hz) {
        const pid_t pid = spawnTool({"audio-play", "--bundle-id", bundle, "--sine", std::to_string(hz), "--level",
                                     "-12", "--duration", "120"});
        ASSERT_GT(pid, 0);
        players.push_back(pid);
    }
    // Chooses an entry of "Add Source" as the user does.
    void choose(const QString& key) {
        SourceAddMenu* menu = column()->addMenu();
        menu->rebuild();
        QAction* action = menu->actionForKey(key);
        ASSERT_NE(action, nullptr) << key.toStdString();
        ASSERT_TRUE(action->isEnabled()) << key.toStdString();
        action->trigger();
        QApplication::processEvents();
    }
    // The last second of a 1.5-second recording of the device; empty when it failed.
    tools::AudioData record() {
        const auto file = home / ("record-" + std::to_string(recordings++) + ".wav");
        if (runTool({"audio-record", "--device", uid, "--output", file.string(), "--duration", "1.5"}) != 0) {
            return {};
        }
        auto audio = tools::readWav(file.string());
        std::filesystem::remove(file);
        const std::size_t second = std::size_t(audio.sampleRate) * audio.channels;
        if (audio.samples.size() > second) audio.samples.erase(audio.samples.begin(), audio.samples.end() - long(second));
        return audio;
    }
    // Records until `heard` holds, a few times at most (a loaded machine can glitch one take).
    template <class Heard>
    bool hears(Heard heard, std::string& described) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const tools::AudioData audio = record();
            described.clear();
            for (const auto& channel : tools::analyse(audio)) {
                described += std::to_string(channel.dominantHz) + " Hz at " + std::to_string(channel.rmsDbfs) +
                             " dBFS; ";
            }
            if (audio.channels >= 2 && heard(audio)) return true;
        }
        return false;
    }
    static bool near(double level, double expected) { return std::abs(level - expected) < 2; }
};

TEST_F(SourcesColumnEndToEndTest, SystemAudioAddedFromTheMenuHearsEveryPlayingApplication) {
    playApplication("org.example.first", 500);
    playApplication("org.example.second", 1300);
    ASSERT_NO_FATAL_FAILURE(startWith({}, {}));
    std::string described;
    EXPECT_TRUE(hears([](const tools::AudioData& audio) { return tools::analyse(audio)[0].rmsDbfs < silentDbfs; },
                      described))
        << "before: " << described;

    choose(QStringLiteral("system"));
    ASSERT_EQ(model->statusMessage(), "Added system audio");
    ASSERT_EQ(column()->rows().size(), 1);
    EXPECT_EQ(column()->rows()[0]->source().type, SourceType::system);
    ASSERT_TRUE(eventually([&] { return serviceLogHas("Started system capture 'System Audio'"); }))
        << readFile(serviceLog);

    // Both applications, on both channels, each at its own level.
    EXPECT_TRUE(hears(
        [](const tools::AudioData& audio) {
            for (unsigned channel : {0u, 1u}) {
                if (!near(levelAt(audio, channel, 500), -12) || !near(levelAt(audio, channel, 1300), -12)) return false;
            }
            return true;
        },
        described))
        << described << readFile(serviceLog);
}

TEST_F(SourcesColumnEndToEndTest, TheUsbInputAddedFromTheMenuBringsItsSignalIn) {
    ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "1", "sine", "440", "-12"}), 0);
    ASSERT_EQ(runTool({"audioctl", "signal", "USBAudioInterface", "--channel", "2", "sine", "1000", "-12"}), 0);
    ASSERT_NO_FATAL_FAILURE(startWith({}, {}));
    ASSERT_TRUE(waitFor([&] {
        for (const auto& input : model->hardwareInputDevices())
            if (input.uid == "USBAudioInterface") return true;
        return false;
    }));

    choose(QStringLiteral("input:USBAudioInterface"));
    ASSERT_EQ(model->statusMessage(), "Added hardware input");
    ASSERT_EQ(column()->rows().size(), 1);
    SourceRow* card = column()->rows()[0];
    EXPECT_EQ(card->source().metadata.deviceUID, "USBAudioInterface");
    ASSERT_TRUE(eventually([&] { return serviceLogHas("Started hardware input 'USB Audio Interface'"); }))
        << readFile(serviceLog);

    std::string described;
    EXPECT_TRUE(hears(
        [](const tools::AudioData& audio) {
            const auto heard = tools::analyse(audio);
            return std::abs(heard[0].dominantHz - 440) < 5 && near(heard[0].rmsDbfs, -12) &&
                   std::abs(heard[1].dominantHz - 1000) < 10 && near(heard[1].rmsDbfs, -12);
        },
        described))
        << described << readFile(serviceLog);
}

TEST_F(SourcesColumnEndToEndTest, TheMuteButtonOfASourcesCardSilencesItAndBringsItBack) {
    playApplication("org.example.player", 997);
    SourceConfig application = makeSource("A", SourceType::application, "Player");
    application.metadata.bundleIdentifier = "org.example.player";
    ASSERT_NO_FATAL_FAILURE(
        startWith({application}, {Wire{"w1", {EndpointKind::source, "A", 1}, {EndpointKind::deviceOutput, "V", 1}},
                                  Wire{"w2", {EndpointKind::source, "A", 2}, {EndpointKind::deviceOutput, "V", 2}}}));
    auto tone = [](const tools::AudioData& audio) {
        const auto heard = tools::analyse(audio);
        return std::abs(heard[0].dominantHz - 997) < 10 && near(heard[0].rmsDbfs, -12);
    };
    auto silent = [](const tools::AudioData& audio) {
        const auto heard = tools::analyse(audio);
        return heard[0].rmsDbfs < silentDbfs && heard[1].rmsDbfs < silentDbfs;
    };
    std::string described;
    ASSERT_TRUE(hears(tone, described)) << "the playing application is not heard: " << described
                                        << readFile(serviceLog);

    SourceRow* card = column()->row("A");
    ASSERT_NE(card, nullptr);
    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    EXPECT_EQ(card->muteSymbol(), "speaker.slash.fill");
    EXPECT_TRUE(hears(silent, described)) << "the muted source is still heard: " << described;

    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    EXPECT_TRUE(hears(tone, described)) << "the unmuted source stays silent: " << described;
}

}  // namespace
}  // namespace tidewell::testing
