// A source's card on the canvas over a model of fakes: what it says about each kind of source
// (and how that follows the device inventory and the application list), and what each of its
// controls writes: the control region at once, the file at once for switches and 0.3 s after
// the last change for mute and volumes.

#include "DesktopEntryFolders.h"
#include "SourcesColumnFixture.h"

#include "TidewellApp/ApplicationIcon.h"
#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/SourceChannelRows.h"
#include "TidewellApp/VolumeSliderLine.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/Preferences.h"
#include "TidewellApp/SourceTexts.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/ToggleSwitch.h"

#include <QCheckBox>
#include <QLabel>
#include <QSettings>
#include <QToolButton>

namespace tidewell::testing {
namespace {

// Presses the slider where it chooses about `value`; returns the value it chose.
double pressSlider(ContinuousSlider* slider, double value) {
    int x = 0;
    while (x < slider->width() && slider->valueAt(x) < value) ++x;
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(x, slider->height() / 2));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(x, slider->height() / 2));
    return slider->value();
}

QString subtitle(SourceRow* row) { return row ? row->subtitleLabel()->text() : QStringLiteral("(no row)"); }

class SourceRowTest : public SourcesColumnTest {
protected:
    QString preference(const char* key) {
        return QSettings(preferencesFile, QSettings::IniFormat).value(QString::fromLatin1(key)).toString();
    }
    bool warns(const std::string& id) {
        return row(id)->subtitleLabel()->effectiveColor() == Theme::orange(ColorSchemeSource::instance().scheme());
    }
};

TEST_F(SourceRowTest, EachKindOfSourceShowsItsIconAndStatusLine) {
    show();
    editDevice([](DeviceConfig& device) {
        SourceConfig nested = makeSource("V", SourceType::virtualDevice, "Other");
        nested.metadata.sourceDeviceID = "E";
        device.sources.push_back(nested);
    });
    const std::vector<std::pair<std::string, QString>> expected = {
        {"D-pt", "Virtual pass-thru  2ch"},
        {"S", "System audio  2ch"},
        {"A", "Application  2ch"},
        {"H", "2ch"},  // the device reports the source's own name
        {"V", "Tidewell device  2ch"}};
    for (const auto& [id, text] : expected) {
        SourceRow* card = row(id);
        ASSERT_NE(card, nullptr) << id;
        EXPECT_EQ(card->subtitleLabel()->text(), text) << id;
        EXPECT_FALSE(warns(id)) << id;
        EXPECT_EQ(card->nameLabel()->text(), QString::fromStdString(card->source().name));
        if (id == "A") {
            EXPECT_NE(qobject_cast<ApplicationIcon*>(card->iconView()), nullptr);
        } else {
            auto* symbol = qobject_cast<QLabel*>(card->iconView());
            ASSERT_NE(symbol, nullptr) << id;
            EXPECT_FALSE(symbol->pixmap().isNull()) << id;
        }
    }
    EXPECT_EQ(sourceSymbol(SourceType::passThru), "arrow.left.arrow.right.circle");
    EXPECT_EQ(sourceSymbol(SourceType::system), "desktopcomputer");
    EXPECT_EQ(sourceSymbol(SourceType::hardwareInput), "waveform.path.ecg");
    EXPECT_EQ(sourceSymbol(SourceType::virtualDevice), "square.stack.3d.down.right");
}

TEST_F(SourceRowTest, TheStatusLineFollowsTheInventoryAndTheApplicationList) {
    show();
    // The input now reports another name: the line names the device.
    AudioDeviceInventory renamed;
    renamed.inputs = {inputDevice("in-usb", "USB Interface (2)")};
    model->setAudioDeviceInventory(renamed);
    EXPECT_EQ(subtitle(row("H")), "USB Interface (2)  2ch");
    EXPECT_FALSE(warns("H"));
    // Unplugged: offline, in orange, without any action of the card.
    model->setAudioDeviceInventory(AudioDeviceInventory{});
    EXPECT_EQ(subtitle(row("H")), "Offline  2ch");
    EXPECT_TRUE(warns("H"));
    // The application quit (the list was refreshed without it).
    model->setApplicationSourceCandidates({});
    EXPECT_EQ(subtitle(row("A")), "Application  not running");
    EXPECT_TRUE(warns("A"));
    model->setApplicationSourceCandidates(registry->candidates);
    EXPECT_EQ(subtitle(row("A")), "Application  2ch");
    EXPECT_FALSE(warns("A"));
    // Other kinds never warn.
    EXPECT_FALSE(warns("S"));
    EXPECT_FALSE(warns("D-pt"));
    // Plugged in again and unplugged as the system reports it: the model re-reads its inventory
    // on the device-change notice, and the card follows.
    model->setAudioDeviceInventory(registry->inventory);
    ASSERT_FALSE(warns("H"));
    {
        std::lock_guard guard(registry->lock);
        registry->inventory.inputs.clear();
    }
    registry->notify();
    EXPECT_TRUE(waitFor([&] { return warns("H"); }));
    EXPECT_EQ(subtitle(row("H")), "Offline  2ch");

    // A one-channel input, named or not by its device.
    SourceConfig mono = makeSource("M", SourceType::hardwareInput, "Mic");
    mono.channelCount = 1;
    mono.metadata.deviceUID = "in-mic";
    AudioDeviceInventory mic;
    mic.inputs = {inputDevice("in-mic", "Mic", 1)};
    model->setAudioDeviceInventory(mic);
    EXPECT_EQ(sourceSubtitle(*model, mono), "1ch");
    mic.inputs[0].name = "Desk Mic";
    model->setAudioDeviceInventory(mic);
    EXPECT_EQ(sourceSubtitle(*model, mono), "Desk Mic  1ch");
    mono.metadata.deviceUID.reset();
    EXPECT_EQ(sourceSubtitle(*model, mono), "Offline  1ch");
    EXPECT_TRUE(sourceSubtitleWarns(*model, mono));
}

TEST_F(SourceRowTest, AnApplicationsIconFollowsItQuittingAndStartingAgain) {
    test::DesktopEntryFolders folders;
    folders.installApplication("org.example.Painter", Qt::blue);
    const QString launched = folders.desktopEntry(folders.system.path() + "/launched.desktop",
                                                  folders.picture(folders.system.path() + "/green.png", Qt::green));
    auto child = folders.runningChild(launched);
    const auto pid = std::int32_t(child->processId());
    const ApplicationSourceCandidate running{"Painter", "org.example.Painter", pid, 0};
    model->setApplicationSourceCandidates({running});
    DeviceConfig device = model->snapshot().devices.at(0);
    SourceRow card(*model, *meterModel, device, makeApplicationSource("P", "org.example.Painter", pid));
    auto icon = [&] { return test::DesktopEntryFolders::centre(qobject_cast<ApplicationIcon*>(card.iconView())->icon()); };
    EXPECT_EQ(icon(), QColor(Qt::green));  // the running process's own icon

    // It quits: the list is refreshed without it, and the card shows the installed icon.
    child->kill();
    ASSERT_TRUE(child->waitForFinished(5000));
    model->setApplicationSourceCandidates({});
    EXPECT_EQ(icon(), QColor(Qt::blue));
    // It starts again under a new process id, which the model follows into the source.
    auto again = folders.runningChild(launched);
    const auto newPid = std::int32_t(again->processId());
    model->setApplicationSourceCandidates({{"Painter", "org.example.Painter", newPid, 0}});
    card.setSource(device, makeApplicationSource("P", "org.example.Painter", newPid));
    EXPECT_EQ(icon(), QColor(Qt::green));
    again->kill();
    again->waitForFinished(5000);
}

TEST_F(SourceRowTest, ChannelTitlesUseTheInputsChannelNamesWhereItHasThem) {
    SourceConfig three = makeSource("T", SourceType::hardwareInput, "Interface");
    three.channelCount = 3;
    three.metadata.deviceUID = "in-3";
    AudioDeviceInventory inventory;
    inventory.inputs = {inputDevice("in-3", "Interface", 3)};
    model->setAudioDeviceInventory(inventory);
    auto titles = [&] {
        QStringList list;
        for (std::int64_t c = 1; c <= 3; ++c) list << sourceChannelTitle(*model, three, c);
        return list;
    };
    EXPECT_EQ(titles(), (QStringList{"1 (L)", "2 (R)", "3"}));
    inventory.inputs[0].channelNames = std::vector<std::string>{"Vocal", "", ""};
    model->setAudioDeviceInventory(inventory);
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("1 \u00B7 Vocal"), "2 (R)", "3"}));
}

TEST_F(SourceRowTest, PortsTakeThePaletteColourOfTheirSourcesPlace) {
    DeviceConfig device = makeDevice("X", "X");
    for (int i = 0; i < 6; ++i) device.sources.push_back(makeSource("s" + std::to_string(i), SourceType::system, "S"));
    // Pass-thru first: the third source is "s1".
    EXPECT_EQ(sourcePortTint(device, "s1", ColorScheme::dark), ZVTheme::wireColor(2, ColorScheme::dark));
    EXPECT_EQ(sourcePortTint(device, "s1", ColorScheme::light), ZVTheme::wireColor(2, ColorScheme::light));
    // The seventh source wraps to the first colour.
    EXPECT_EQ(sourcePortTint(device, "s5", ColorScheme::dark), ZVTheme::wireColor(0, ColorScheme::dark));
    EXPECT_EQ(sourcePortTint(device, "gone", ColorScheme::dark), std::nullopt);
}

TEST_F(SourceRowTest, TheSwitchAndMuteWhenCapturingAreSavedAtOnceAndRestartTheirHelpers) {
    show();
    SourceRow* system = row("S");
    ASSERT_NE(system, nullptr);
    ASSERT_TRUE(system->enableSwitch()->isChecked());
    QTest::mouseClick(system->enableSwitch(), Qt::LeftButton);
    EXPECT_FALSE(publishedSource("S").enabled);
    EXPECT_FALSE(savedSource("S").enabled);
    EXPECT_EQ(model->statusMessage(), "Saved");
    EXPECT_FALSE(system->enableSwitch()->isChecked());
    EXPECT_EQ(launcher->calls, (std::vector<std::string>{"hardware:S", "tap:S"}));

    SourceRow* application = row("A");
    QCheckBox* box = application->muteWhenCapturingBox();
    ASSERT_TRUE(box->isVisible());
    const bool before = box->isChecked();
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    EXPECT_EQ(publishedSource("A").muteWhenCapturing, !before);
    EXPECT_EQ(savedSource("A").muteWhenCapturing, !before);
    EXPECT_EQ(box->isChecked(), !before);
    // The edits changed values only: every card is the one it was.
    EXPECT_EQ(row("S"), system);
    EXPECT_EQ(row("A"), application);
}

TEST_F(SourceRowTest, TheMuteButtonIsPublishedAtOnceAndSavedAfterThePause) {
    show();
    SourceRow* card = row("S");
    EXPECT_EQ(card->muteSymbol(), "speaker.wave.2.fill");
    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    EXPECT_TRUE(publishedSource("S").muted);
    EXPECT_FALSE(savedSource("S").muted) << "a mute is committed after the pause";
    EXPECT_EQ(card->muteSymbol(), "speaker.slash.fill");
    EXPECT_TRUE(waitFor([&] { return savedSource("S").muted; }, 3000));
    EXPECT_TRUE(launcher->calls.empty());
    // Pressed again, the button writes the negation of what it reads.
    QTest::mouseClick(card->muteButton(), Qt::LeftButton);
    EXPECT_FALSE(publishedSource("S").muted);
    EXPECT_EQ(card->muteSymbol(), "speaker.wave.2.fill");
    EXPECT_TRUE(waitFor([&] { return !savedSource("S").muted; }, 3000));
    EXPECT_EQ(row("S"), card);
}

TEST_F(SourceRowTest, TheVolumeAndTheChannelVolumesArePublishedAtOnceAndSavedAfterThePause) {
    show();
    SourceRow* card = row("A");
    EXPECT_EQ(card->gainLine()->percentText(), "100%");
    const double gain = pressSlider(card->gainLine()->slider(), 0.5);
    ASSERT_NEAR(gain, 0.5, 0.05);
    EXPECT_DOUBLE_EQ(publishedSource("A").gain, gain);
    EXPECT_DOUBLE_EQ(savedSource("A").gain, 1.0) << "a volume is committed after the pause";
    EXPECT_EQ(card->gainLine()->percentText(), gainPercentText(gain));
    EXPECT_TRUE(waitFor([&] { return savedSource("A").gain == gain; }, 3000));

    RoutingChannelRow* right = card->channelRows()->row(2);
    ASSERT_NE(right, nullptr);
    ASSERT_TRUE(right->hasChannelGain());
    QTest::mouseClick(right->volumeToggle(), Qt::LeftButton);
    ASSERT_TRUE(right->isExpanded());
    QApplication::processEvents();
    const double channelGain = pressSlider(right->volumeSlider(), 1.5);
    ASSERT_NEAR(channelGain, 1.5, 0.05);
    auto channelGains = [](const SourceConfig& source) {
        return source.channelGains.value_or(std::vector<double>{});
    };
    EXPECT_EQ(channelGains(publishedSource("A")), (std::vector<double>{1.0, channelGain}));
    EXPECT_TRUE(channelGains(savedSource("A")).empty());
    EXPECT_TRUE(waitFor([&] { return channelGains(savedSource("A")) == std::vector<double>{1.0, channelGain}; }, 3000));
    EXPECT_EQ(right->percentText(), gainPercentText(channelGain));
    // Values only: the card and its channel rows are the ones they were.
    EXPECT_EQ(row("A"), card);
    EXPECT_EQ(card->channelRows()->row(2), right);
    EXPECT_TRUE(launcher->calls.empty());
}

TEST_F(SourceRowTest, ChannelRowsCarryTheMeterThePortAndNoVolumeForPassThru) {
    show();
    for (const char* id : {"D-pt", "S", "A", "H"}) {
        SourceChannelRows* channels = row(id)->channelRows();
        ASSERT_EQ(channels->rows().size(), 2) << id;
        for (std::int64_t c : {1, 2}) {
            RoutingChannelRow* channel = channels->row(c);
            EXPECT_EQ(channel->hasChannelGain(), std::string(id) != "D-pt") << id;
            EXPECT_EQ(channel->volumeToggle() != nullptr, std::string(id) != "D-pt") << id;
            auto* meter = qobject_cast<RoutingMeterView*>(channel->meter());
            ASSERT_NE(meter, nullptr);
            const auto* target = std::get_if<RoutingSourceMeterTarget>(&meter->target());
            ASSERT_NE(target, nullptr);
            EXPECT_EQ(target->source.id, id);
            EXPECT_EQ(target->channel, c);
            // The port wires start from: on the canvas, never highlighted, in the source's colour.
            RoutingChannelPort* port = canvas->port({{"source", id, c}, RoutingPortRole::sourceOutput});
            ASSERT_NE(port, nullptr) << id << c;
            EXPECT_EQ(port, channels->port(c));
            EXPECT_EQ(port, channel->trailing());
            EXPECT_TRUE(port->canStartDrag());
            EXPECT_FALSE(port->isHighlighted());
        }
    }
    EXPECT_EQ(row("A")->channelRows()->row(1)->title(), "1 (L)");
    EXPECT_EQ(row("A")->channelRows()->row(2)->title(), "2 (R)");
    // The third source (after pass-thru and system audio) has the third colour.
    EXPECT_EQ(row("A")->channelRows()->port(1)->strokeColor(),
              ZVTheme::wireColor(2, ColorSchemeSource::instance().scheme()));
}

TEST_F(SourceRowTest, SourcePortsStartDragsAreNeverHighlightedAndFollowTheScheme) {
    show(ColorScheme::dark);
    QWindow* handle = window->windowHandle();
    auto centre = [&](RoutingChannelPort* port) {
        return port->mapTo(window.get(), port->circleRect().center().toPoint());
    };
    auto sourcePortsHighlighted = [&] {
        for (auto* port : canvas->ports())
            if (port->port().role == RoutingPortRole::sourceOutput && port->isHighlighted()) return true;
        return false;
    };
    RoutingChannelPort* outputRight = canvas->port({{"deviceOutput", "D", 1}, RoutingPortRole::outputOutput});
    RoutingChannelPort* applicationLeft = row("A")->channelRows()->port(1);
    ASSERT_NE(outputRight, nullptr);
    for (RoutingChannelPort* from : {outputRight, applicationLeft}) {
        const QPoint start = centre(from);
        QTest::mousePress(handle, Qt::LeftButton, {}, start);
        QTest::mouseMove(handle, start + QPoint(6, 3));
        QTest::mouseMove(handle, start + QPoint(30, 20));
        ASSERT_TRUE(canvas->state().activeDrag().has_value());
        EXPECT_FALSE(sourcePortsHighlighted());
        // The drag is one the canvas follows: its drop targets light up.
        const auto target = from == outputRight ? RoutingPortRole::monitorInput : RoutingPortRole::outputInput;
        for (auto* port : canvas->ports()) {
            if (port->port().role == target) {
                EXPECT_TRUE(port->isHighlighted());
            }
        }
        QTest::mouseRelease(handle, Qt::LeftButton, {}, start + QPoint(30, 20));
        QApplication::processEvents();
    }
    // A scheme change re-tints the ports in the other palette.
    EXPECT_EQ(applicationLeft->strokeColor(), ZVTheme::wireColor(2, ColorScheme::dark));
    test::useScheme(ColorScheme::light);
    EXPECT_EQ(applicationLeft->strokeColor(), ZVTheme::wireColor(2, ColorScheme::light));
}

TEST_F(SourceRowTest, AKeptCardKeepsItsOpenChannelVolumeAcrossEditsAndChannelChanges) {
    show();
    RoutingChannelRow* first = row("H")->channelRows()->row(1);
    QTest::mouseClick(first->volumeToggle(), Qt::LeftButton);
    ASSERT_TRUE(first->isExpanded());
    // An edit of another source, saved at once.
    QTest::mouseClick(row("S")->enableSwitch(), Qt::LeftButton);
    ASSERT_FALSE(savedSource("S").enabled);
    EXPECT_EQ(row("H")->channelRows()->row(1), first);
    EXPECT_TRUE(first->isExpanded());
    // The input now names its channels: the titles change, the rows stay.
    AudioDeviceInventory named;
    named.inputs = {inputDevice("in-usb", "USB Audio Interface", 2, std::vector<std::string>{"Vocal", ""})};
    model->setAudioDeviceInventory(named);
    EXPECT_EQ(first->title(), QStringLiteral("1 \u00B7 Vocal"));
    EXPECT_EQ(row("H")->channelRows()->row(2)->title(), "2 (R)");
    EXPECT_TRUE(first->isExpanded());
    // A third channel comes; the first two rows stay; with one channel left, one row.
    editDevice([](DeviceConfig& device) { device.sources[3].channelCount = 3; });
    ASSERT_EQ(row("H")->channelRows()->rows().size(), 3);
    EXPECT_EQ(row("H")->channelRows()->row(1), first);
    EXPECT_EQ(row("H")->channelRows()->row(3)->title(), "3");
    EXPECT_NE(canvas->port({{"source", "H", 3}, RoutingPortRole::sourceOutput}), nullptr);
    editDevice([](DeviceConfig& device) { device.sources[3].channelCount = 1; });
    ASSERT_EQ(row("H")->channelRows()->rows().size(), 1);
    EXPECT_EQ(row("H")->channelRows()->row(1), first);
    EXPECT_TRUE(first->isExpanded());
    // No channels (the configuration refuses it, the card copes): the header and the volume stay.
    DeviceConfig device = canvas->device();
    device.sources[3].channelCount = 0;
    row("H")->setSource(device, device.sources[3]);
    EXPECT_TRUE(row("H")->channelRows()->rows().isEmpty());
    EXPECT_TRUE(row("H")->gainLine()->isVisible());
}

TEST_F(SourceRowTest, UseThisSourceAndMuteWhenCapturingShowOnlyWhereTheyApply) {
    show();
    auto useShown = [&](const std::string& id) { return row(id)->useButton()->isVisibleTo(row(id)); };
    for (const char* id : {"D-pt", "S", "A", "H"}) EXPECT_FALSE(useShown(id)) << id;
    editDevice([](DeviceConfig& device) {
        SourceConfig nested = makeSource("V", SourceType::virtualDevice, "Other");
        nested.metadata.sourceDeviceID = "E";
        device.sources.push_back(nested);
    });
    model->setDeveloperMode(true);
    EXPECT_FALSE(useShown("D-pt"));
    // A nested device has no capture helper to point at: no button that would do nothing.
    EXPECT_FALSE(useShown("V"));
    for (const char* id : {"S", "A", "H"}) EXPECT_TRUE(useShown(id)) << id;
    // Between the mute button and the delete button.
    QApplication::processEvents();
    SourceRow* card = row("A");
    EXPECT_LT(card->muteButton()->x(), card->useButton()->x());
    EXPECT_LT(card->useButton()->x(), card->deleteButton()->x());

    auto boxShown = [&](const std::string& id) { return row(id)->muteWhenCapturingBox()->isVisibleTo(row(id)); };
    EXPECT_TRUE(boxShown("S"));
    EXPECT_TRUE(boxShown("A"));
    EXPECT_FALSE(boxShown("H"));
    EXPECT_FALSE(boxShown("D-pt"));
    EXPECT_FALSE(boxShown("V"));
    EXPECT_EQ(row("A")->muteWhenCapturingBox()->text(), "Mute when capturing");
    EXPECT_EQ(row("A")->muteWhenCapturingBox()->toolTip(),
              "Silence this source's direct output to the speakers while it is captured");
}

TEST_F(SourceRowTest, UseThisSourcePointsTheCaptureHelpersAtTheSourceAndChangesNoConfiguration) {
    model->setDeveloperMode(true);
    show();
    const ConfigSnapshot before = savedConfig();
    model->setSelectedApplicationPID("41");
    model->setProcessTapRunning(true);
    QTest::mouseClick(row("S")->useButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedApplicationPID(), "");
    EXPECT_EQ(preference(PreferenceKeys::applicationPID), "");
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"restart tap"});

    QTest::mouseClick(row("A")->useButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedApplicationPID(), "41");
    EXPECT_EQ(preference(PreferenceKeys::applicationPID), "41");
    EXPECT_EQ(launcher->calls, (std::vector<std::string>{"restart tap", "restart tap"}));

    // The hardware helper is stopped: only the pick changes.
    ASSERT_FALSE(model->hardwareSourceRunning());
    QTest::mouseClick(row("H")->useButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedHardwareInputUID(), "in-usb");
    EXPECT_EQ(preference(PreferenceKeys::hardwareInputUID), "in-usb");
    EXPECT_EQ(launcher->calls.size(), 2u);
    EXPECT_EQ(savedConfig(), before);
}

TEST_F(SourceRowTest, AnApplicationSourceWithoutPidIsNotUsed) {
    model->setDeveloperMode(true);
    model->setProcessTapRunning(true);
    editDevice([](DeviceConfig& device) { device.sources[2].metadata.pid.reset(); });
    show();
    model->setSelectedApplicationPID("7");
    row("A")->useSource();
    EXPECT_EQ(model->selectedApplicationPID(), "7");
    EXPECT_TRUE(launcher->calls.empty());
}

}  // namespace
}  // namespace tidewell::testing
