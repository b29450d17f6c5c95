// The monitors column on the routing canvas, offscreen, over the application model and fakes:
// cards come and go with their monitors and a kept card is the same card; the header's
// controls write through the model (the runtime at once, the file when the model commits);
// an absent output shows orange; the add-monitor menu lists what the inventory offers.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/MonitorAddMenu.h"
#include "TidewellApp/MonitorRow.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/MeterClock.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellCore/TidewellConstants.h"

#include "TidewellApp/VolumeSliderLine.h"

#include <QAction>
#include <QLabel>
#include <QApplication>
#include <QMenu>
#include <QSettings>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell::testing {
namespace {

AudioDeviceInfo output(std::string uid, std::string name, bool isDefault = false, int channels = 2) {
    return AudioDeviceInfo{std::move(uid), std::move(name), channels, isDefault, std::nullopt};
}

MonitorConfig monitorOn(const std::string& id, const std::string& name, const std::string& uid) {
    MonitorConfig monitor = makeMonitor(id, name);
    monitor.deviceUID = uid;
    return monitor;
}

// True once the widget is gone (a removed card is deleted when control returns to the loop).
template <class Widget>
bool deleted(const QPointer<Widget>& widget) {
    return waitFor([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return widget.isNull();
    });
}

class MonitorsColumnTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meterModel;
    DeviceConfig device = makeDevice("D", "Desk");
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;

    MonitorsColumnTest() {
        registry->inventory.outputs = {output("out-builtin", "Built-in Output", true),
                                       output("out-usb", "USB Audio Interface", false, 4)};
    }
    void TearDown() override { window.reset(); }

    void start(ColorScheme scheme = ColorScheme::dark) {
        writeConfig({device}, "D");
        model = makeModel();
        meterModel = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
        test::useScheme(scheme);
        window = std::make_unique<QWidget>();
        test::fillWithBackground(*window, scheme);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(16, 16, 16, 16);
        canvas = new RoutingCanvasView(*model, *meterModel, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        layout->addStretch();
        window->resize(1000, 640);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    MonitorsColumn* column() {
        auto* found = qobject_cast<MonitorsColumn*>(canvas->columns().value(2));
        EXPECT_NE(found, nullptr);
        return found;
    }
    MonitorRow* card(const std::string& id) { return column()->row(id); }
    std::vector<std::string> cardIDs() {
        std::vector<std::string> ids;
        for (MonitorRow* row : column()->rows()) ids.push_back(row->monitor().id);
        return ids;
    }
    // Saves an edited copy of the device, as a structural edit elsewhere would.
    void saveDevice(const std::function<void(DeviceConfig&)>& edit) {
        ConfigSnapshot edited = model->snapshot();
        edit(edited.devices.at(0));
        ASSERT_TRUE(model->saveEditedSnapshot(edited, "edited"));
        QApplication::processEvents();
    }
    const MonitorConfig& published(const std::string& id) {
        for (const auto& monitor : publisher->published.back().devices.at(0).monitors)
            if (monitor.id == id) return monitor;
        throw std::runtime_error("no published monitor " + id);
    }
    MonitorConfig saved(const std::string& id) {
        const ConfigSnapshot file = savedConfig();
        for (const auto& monitor : file.devices.at(0).monitors)
            if (monitor.id == id) return monitor;
        throw std::runtime_error("no saved monitor " + id);
    }
    QString preference(const char* key) {
        return QSettings(preferencesFile, QSettings::IniFormat).value(QString::fromLatin1(key)).toString();
    }
};

TEST_F(MonitorsColumnTest, ADeviceWithoutMonitorsShowsTheMenuAndTheEmptyState) {
    start();
    MonitorsColumn* monitors = column();
    ASSERT_NE(monitors, nullptr);
    EXPECT_EQ(monitors->column()->title(), "Monitors");
    EXPECT_EQ(monitors->column()->systemImage(), "headphones");
    EXPECT_EQ(monitors->addMenu()->text(), "Add Monitor");
    EXPECT_TRUE(monitors->addMenu()->isVisible());
    ASSERT_TRUE(monitors->emptyState()->isVisible());
    EXPECT_EQ(monitors->emptyState()->text(), "No Monitors");
    EXPECT_EQ(monitors->emptyState()->symbol(), "headphones.circle");
    EXPECT_GE(monitors->emptyState()->height(), 110);
    // As wide as the column, below the menu.
    EXPECT_EQ(monitors->emptyState()->width(), monitors->addMenu()->parentWidget()->width());
    EXPECT_GT(monitors->emptyState()->mapTo(monitors, QPoint()).y(),
              monitors->addMenu()->mapTo(monitors, QPoint()).y() + monitors->addMenu()->height());
    EXPECT_TRUE(monitors->rows().isEmpty());
}

TEST_F(MonitorsColumnTest, CardsComeAndGoWithTheirMonitorsAndAKeptCardIsTheSameCard) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin"), monitorOn("B", "Desk USB", "out-usb")};
    start();
    ASSERT_EQ(cardIDs(), (std::vector<std::string>{"A", "B"}));
    EXPECT_FALSE(column()->emptyState()->isVisible());
    QPointer<MonitorRow> first = card("A");
    QPointer<MonitorRow> second = card("B");
    first->setProperty("marker", 7);

    // A third appears at the end, the first is renamed: the two old cards stay.
    saveDevice([](DeviceConfig& d) {
        d.monitors[0].name = "Main Speakers";
        d.monitors.push_back(monitorOn("C", "Phones", "out-builtin"));
    });
    ASSERT_EQ(cardIDs(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(card("A"), first.data());
    EXPECT_EQ(card("B"), second.data());
    EXPECT_EQ(first->property("marker").toInt(), 7);
    EXPECT_EQ(first->nameLabel()->text(), "Main Speakers");

    // Reordered: the same cards in the new order.
    saveDevice([](DeviceConfig& d) { std::swap(d.monitors[0], d.monitors[2]); });
    EXPECT_EQ(cardIDs(), (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_EQ(card("A"), first.data());

    // Removed: the card goes once the event is over; the others stay.
    saveDevice([](DeviceConfig& d) { d.monitors.erase(d.monitors.begin() + 1); });
    EXPECT_EQ(cardIDs(), (std::vector<std::string>{"C", "A"}));
    EXPECT_FALSE(second.isNull() ? false : second->isVisible());
    ASSERT_TRUE(deleted(second));
    EXPECT_EQ(card("A"), first.data());

    // The last one gone: the empty state is back.
    saveDevice([](DeviceConfig& d) { d.monitors.clear(); });
    EXPECT_TRUE(column()->rows().isEmpty());
    EXPECT_TRUE(column()->emptyState()->isVisible());
    ASSERT_TRUE(deleted(first));
}

TEST_F(MonitorsColumnTest, TheHeaderShowsNameOutputAndStateAndAnAbsentOutputInOrange) {
    MonitorConfig off = monitorOn("B", "Old Phones", "out-gone");
    off.enabled = false;
    off.channelCount = 3;
    device.monitors = {monitorOn("A", "Speakers", "out-usb"), off};
    start(ColorScheme::light);
    MonitorRow* present = card("A");
    MonitorRow* absent = card("B");
    EXPECT_EQ(present->nameLabel()->text(), "Speakers");
    EXPECT_EQ(present->statusLabel()->text(), "USB Audio Interface  2ch");
    EXPECT_EQ(present->statusLabel()->effectiveColor(), Theme::secondaryText(ColorScheme::light));
    EXPECT_EQ(present->stateSymbol(), "speaker.wave.2.circle.fill");
    EXPECT_TRUE(present->enableSwitch()->isChecked());
    EXPECT_EQ(present->enableSwitch()->toolTip(), "Enable Monitor");
    EXPECT_EQ(present->deleteButton()->toolTip(), "Delete Monitor");

    // The output is not present: its own name, orange, and the switch still works.
    EXPECT_FALSE(absent->outputIsAvailable());
    EXPECT_EQ(absent->statusLabel()->text(), "Old Phones  3ch");
    EXPECT_EQ(absent->statusLabel()->effectiveColor(), Theme::orange(ColorScheme::light));
    EXPECT_EQ(absent->stateSymbol(), "speaker.circle");
    EXPECT_FALSE(absent->enableSwitch()->isChecked());

    // Its meters are inactive.
    auto meterAvailable = [&](MonitorRow* row) {
        auto* meter = qobject_cast<RoutingMeterView*>(row->channelRow(1)->meter());
        return std::get<RoutingMonitorMeterTarget>(meter->target()).available;
    };
    EXPECT_FALSE(meterAvailable(absent));
    EXPECT_TRUE(meterAvailable(present));

    // The output comes: the line turns secondary with the output's name; it goes again: orange.
    model->setAudioDeviceInventory({{}, {output("out-gone", "Headphones Jack"), output("out-usb", "USB Audio Interface")}});
    EXPECT_EQ(absent->statusLabel()->text(), "Headphones Jack  3ch");
    EXPECT_EQ(absent->statusLabel()->effectiveColor(), Theme::secondaryText(ColorScheme::light));
    EXPECT_TRUE(meterAvailable(absent));
    model->setAudioDeviceInventory({{}, {output("out-usb", "USB Audio Interface")}});
    EXPECT_EQ(absent->statusLabel()->effectiveColor(), Theme::orange(ColorScheme::light));
    EXPECT_FALSE(meterAvailable(absent));
    EXPECT_EQ(savedConfig().devices.at(0).monitors.at(1), off);

    // A long name ends in an ellipsis; the column keeps its width.
    const int width = column()->width();
    saveDevice([](DeviceConfig& d) { d.monitors[0].name = std::string(120, 'W'); });
    QApplication::processEvents();
    EXPECT_EQ(column()->width(), width);
    EXPECT_TRUE(present->nameLabel()->isElided());
}

// Fault mended: the output's name went through a second substitution, so a "%1" in it took
// the channel count's place. The name is shown as the output calls itself.
TEST_F(MonitorsColumnTest, AnOutputsNameIsShownAsWrittenEvenWithPlaceMarkersInIt) {
    registry->inventory.outputs = {output("out-odd", "Dock %1 %2 100%", true)};
    device.monitors = {monitorOn("A", "Speakers", "out-odd")};
    start();
    EXPECT_EQ(card("A")->statusLabel()->text(), "Dock %1 %2 100%  2ch");
}

TEST_F(MonitorsColumnTest, TheEnableSwitchCommitsAtOnceAndRestartsOnlyThroughTheModelsRule) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin")};
    start();
    ToggleSwitch* toggle = card("A")->enableSwitch();
    ASSERT_TRUE(toggle->isVisible());
    QTest::mouseClick(toggle, Qt::LeftButton);
    // Published and saved at once; the model asks the monitor helper to follow.
    EXPECT_EQ(model->statusMessage(), "Saved");
    EXPECT_FALSE(published("A").enabled);
    EXPECT_FALSE(saved("A").enabled);
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"monitor:A"});
    // The card follows the saved monitor.
    EXPECT_FALSE(card("A")->enableSwitch()->isChecked());
    EXPECT_EQ(card("A")->stateSymbol(), "speaker.circle");
    QTest::mouseClick(card("A")->enableSwitch(), Qt::LeftButton);
    EXPECT_TRUE(saved("A").enabled);
}

TEST_F(MonitorsColumnTest, UseThisMonitorShowsInDeveloperModeAndRestartsOnlyARunningHelper) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin"), monitorOn("B", "Desk USB", "out-usb")};
    start();
    MonitorRow* row = card("B");
    EXPECT_FALSE(row->useButton()->isVisible());
    model->setDeveloperMode(true);
    ASSERT_TRUE(row->useButton()->isVisible());
    EXPECT_EQ(row->useButton()->toolTip(), "Use This Monitor");
    // Between the switch and the delete button.
    EXPECT_LT(row->enableSwitch()->x(), row->useButton()->x());
    EXPECT_LT(row->useButton()->x(), row->deleteButton()->x());

    const auto file = readFile(configFile);
    QTest::mouseClick(row->useButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedMonitorOutputUID(), "out-usb");
    EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-usb");
    EXPECT_TRUE(launcher->calls.empty());
    EXPECT_EQ(readFile(configFile), file);

    model->setMonitorRunning(true);
    QTest::mouseClick(card("A")->useButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedMonitorOutputUID(), "out-builtin");
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"restart monitor"});
    model->setDeveloperMode(false);
    EXPECT_FALSE(row->useButton()->isVisible());
}

TEST_F(MonitorsColumnTest, DeleteRemovesTheMonitorWithItsWiresAndItsCard) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin"), monitorOn("B", "Desk USB", "out-usb")};
    device.wires.push_back({"wa", {EndpointKind::deviceOutput, "D", 1}, {EndpointKind::monitor, "A", 1}});
    device.wires.push_back({"wb", {EndpointKind::deviceOutput, "D", 2}, {EndpointKind::monitor, "B", 2}});
    start();
    model->setSelectedMonitorOutputUID("out-builtin");
    QPointer<MonitorRow> doomed = card("A");
    QTest::mouseClick(doomed->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(model->statusMessage(), "Deleted monitor");
    // The deleted monitor's output was the selected one: the remaining monitor's output is.
    EXPECT_EQ(model->selectedMonitorOutputUID(), "out-usb");
    EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-usb");
    const DeviceConfig after = savedConfig().devices.at(0);
    ASSERT_EQ(after.monitors.size(), 1u);
    EXPECT_EQ(after.monitors[0].id, "B");
    std::vector<std::string> wires;
    for (const auto& wire : after.wires) wires.push_back(wire.id);
    EXPECT_EQ(wires, (std::vector<std::string>{"D-w1", "D-w2", "wb"}));
    EXPECT_EQ(cardIDs(), std::vector<std::string>{"B"});
    ASSERT_TRUE(deleted(doomed));
}

TEST_F(MonitorsColumnTest, TheTintFollowsTheSourcesAndTheMonitorsPosition) {
    device.sources.push_back(makeSource("S1", SourceType::system, "One"));
    device.sources.push_back(makeSource("S2", SourceType::system, "Two"));
    device.monitors = {monitorOn("A", "Speakers", "out-builtin"), monitorOn("B", "Desk USB", "out-usb")};
    start(ColorScheme::dark);
    // The device's pass-thru and the two sources: the second monitor takes palette place 4.
    ASSERT_EQ(model->snapshot().devices.at(0).sources.size(), 3u);
    EXPECT_EQ(card("B")->monitorTint(), ZVTheme::wireColor(4, ColorScheme::dark));
    EXPECT_EQ(card("A")->monitorTint(), ZVTheme::wireColor(3, ColorScheme::dark));
    // Two more sources: 6 wraps to the palette's first colour.
    saveDevice([](DeviceConfig& d) {
        d.sources.push_back(makeSource("S3", SourceType::system, "Three"));
        d.sources.push_back(makeSource("S4", SourceType::system, "Four"));
    });
    EXPECT_EQ(card("B")->monitorTint(), ZVTheme::wireColor(0, ColorScheme::dark));
}

// The menu of the column over crafted inventories: what it lists and what it disables.
TEST_F(MonitorsColumnTest, TheAddMenuListsTheOutputsItsRulesAllow) {
    device.monitors = {monitorOn("A", "Speakers", "out-usb")};
    // The product's own device is an output too, and is never offered.
    registry->inventory.outputs.push_back(output(TidewellCore::derivedDeviceUID("D"), "Desk"));
    start();
    MonitorAddMenu* menu = column()->addMenu();
    auto listed = [&] {
        menu->rebuild();
        QStringList texts;
        for (QAction* action : menu->popupMenu()->actions())
            texts << (action->isSeparator() ? "---" : action->text() + (action->isEnabled() ? "" : " (off)"));
        return texts;
    };
    EXPECT_EQ(listed(), (QStringList{"Monitor Outputs (off)", "System Default (Built-in Output)",
                                     "Built-in Output (Default)", "USB Audio Interface (off)", "---",
                                     "Refresh Outputs"}));

    // One output, not flagged as default: it is the default pick, listed without the suffix,
    // and disabled in both places once the device has a monitor on it.
    model->setAudioDeviceInventory({{}, {output("out-usb", "USB Audio Interface")}});
    EXPECT_EQ(listed(), (QStringList{"Monitor Outputs (off)", "System Default (USB Audio Interface) (off)",
                                     "USB Audio Interface (off)", "---", "Refresh Outputs"}));

    // No outputs at all.
    model->setAudioDeviceInventory({});
    EXPECT_EQ(listed(), (QStringList{"Monitor Outputs (off)", "No Output Devices (off)", "---", "Refresh Outputs"}));
}

TEST_F(MonitorsColumnTest, AMonitorAddedFromTheMenuGetsACard) {
    start();
    MonitorAddMenu* menu = column()->addMenu();
    menu->rebuild();
    QAction* usb = menu->actionForKey("output:out-usb");
    ASSERT_NE(usb, nullptr);
    usb->trigger();
    QApplication::processEvents();
    EXPECT_EQ(model->statusMessage(), "Added monitor");
    ASSERT_EQ(column()->rows().size(), 1);
    MonitorRow* row = column()->rows().front();
    EXPECT_EQ(row->monitor().deviceUID, "out-usb");
    EXPECT_EQ(row->statusLabel()->text(), "USB Audio Interface  4ch");
    EXPECT_FALSE(column()->emptyState()->isVisible());
    // The menu knows the device has it now.
    menu->rebuild();
    EXPECT_FALSE(menu->actionForKey("output:out-usb")->isEnabled());
}

TEST_F(MonitorsColumnTest, MuteAndVolumeArePublishedAtOnceAndSavedAfterThePause) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin")};
    start();
    MonitorRow* row = card("A");
    QToolButton* mute = row->muteButton();
    EXPECT_EQ(mute->toolTip(), "Mute Monitor");
    EXPECT_EQ(mute->property("symbol").toString(), "speaker.wave.2.fill");
    EXPECT_EQ(row->percentLabel()->text(), "100%");

    QTest::mouseClick(mute, Qt::LeftButton);
    EXPECT_TRUE(published("A").muted);
    EXPECT_FALSE(saved("A").muted);
    EXPECT_EQ(mute->property("symbol").toString(), "speaker.slash.fill");
    // A press on the slider's middle: half the range, 1.0 give or take a pixel's worth.
    ContinuousSlider* slider = row->volumeSlider();
    const QPoint quarter(int(slider->width() * 0.25), slider->height() / 2);
    QTest::mouseClick(slider, Qt::LeftButton, {}, quarter);
    const double written = published("A").gain;
    EXPECT_NEAR(written, slider->valueAt(quarter.x()), 1e-9);
    EXPECT_LT(written, 0.8);
    EXPECT_EQ(row->percentLabel()->text(), gainPercentText(written));
    EXPECT_EQ(saved("A").gain, 1.0);
    // Nothing restarts for mute and volume; the file holds both once the model commits.
    EXPECT_TRUE(launcher->calls.empty());
    ASSERT_TRUE(waitFor([&] { return saved("A").muted; }, 2000));
    EXPECT_EQ(saved("A").gain, written);
    EXPECT_EQ(model->statusMessage(), "Saved");

    QTest::mouseClick(mute, Qt::LeftButton);
    EXPECT_FALSE(published("A").muted);
    EXPECT_EQ(mute->property("symbol").toString(), "speaker.wave.2.fill");
}

TEST_F(MonitorsColumnTest, ThePercentageTruncatesTheGain) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin")};
    start();
    const std::vector<std::pair<double, QString>> cases = {
        {1.0, "100%"}, {0.999, "99%"}, {2.0, "200%"}, {0.29, "28%"}, {0.0, "0%"}};
    for (const auto& [gain, text] : cases) {
        saveDevice([&](DeviceConfig& d) { d.monitors[0].gain = gain; });
        EXPECT_EQ(card("A")->percentLabel()->text(), text) << gain;
        EXPECT_EQ(card("A")->volumeSlider()->value(), gain);
    }
}

TEST_F(MonitorsColumnTest, ChannelRowsAreTitledByTheOutputsChannelNames) {
    MonitorConfig three = monitorOn("A", "Speakers", "out-builtin");
    three.channelCount = 3;
    MonitorConfig none = monitorOn("B", "Nothing", "out-usb");
    none.channelCount = 0;
    device.monitors = {three, none};
    start();
    auto titles = [&](const std::string& id) {
        QStringList list;
        for (const auto& [channel, row] : card(id)->channelRows()) list << row->title();
        return list;
    };
    EXPECT_EQ(titles("A"), (QStringList{"Channel 1 (L)", "Channel 2 (R)", "Channel 3"}));
    EXPECT_TRUE(titles("B").isEmpty());
    EXPECT_TRUE(card("B")->volumeSlider()->isVisible());

    // The output names its second channel: only that title changes, and the rows stay.
    RoutingChannelRow* second = card("A")->channelRow(2);
    AudioDeviceInfo named = output("out-builtin", "Built-in Output", true, 3);
    named.channelNames = std::vector<std::string>{"", "Right Speaker", ""};
    model->setAudioDeviceInventory({{}, {named}});
    EXPECT_EQ(titles("A"), (QStringList{"Channel 1 (L)", QString::fromUtf8("2 \u00B7 Right Speaker"), "Channel 3"}));
    EXPECT_EQ(card("A")->channelRow(2), second);
}

TEST_F(MonitorsColumnTest, AChannelRowCarriesThePortTheMeterAndTheChannelVolume) {
    device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
    device.monitors = {monitorOn("A", "Speakers", "out-builtin")};
    start();
    RoutingChannelRow* row = card("A")->channelRow(2);
    ASSERT_NE(row, nullptr);
    auto* port = qobject_cast<RoutingChannelPort*>(row->leading());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->port(), (RoutingPortID{{"monitor", "A", 2}, RoutingPortRole::monitorInput}));
    EXPECT_FALSE(port->canStartDrag());
    EXPECT_EQ(port->strokeColor(), ZVTheme::wireColor(2, ColorScheme::dark));
    auto* meter = qobject_cast<RoutingMeterView*>(row->meter());
    ASSERT_NE(meter, nullptr);
    const auto* target = std::get_if<RoutingMonitorMeterTarget>(&meter->target());
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->monitor.id, "A");
    EXPECT_EQ(target->channel, 2);
    EXPECT_TRUE(target->available);
    ASSERT_NE(row->trailing(), nullptr);
    EXPECT_FALSE(qobject_cast<RoutingChannelPort*>(row->trailing()));

    // The channel's volume: open, moved, published at once and saved after the pause.
    ASSERT_TRUE(row->hasChannelGain());
    QTest::mouseClick(row->volumeToggle(), Qt::LeftButton);
    ASSERT_TRUE(row->isExpanded());
    ASSERT_TRUE(waitFor([&] { return row->volumeSlider()->isVisible() && row->volumeSlider()->width() > 20; }));
    QTest::mouseClick(row->volumeSlider(), Qt::LeftButton, {}, QPoint(row->volumeSlider()->width() / 4, 4));
    ASSERT_TRUE(published("A").channelGains.has_value());
    const double written = published("A").channelGains->at(1);
    EXPECT_LT(written, 0.8);
    EXPECT_EQ(published("A").channelGains->at(0), 1.0);
    EXPECT_FALSE(saved("A").channelGains.has_value());
    ASSERT_TRUE(waitFor([&] { return saved("A").channelGains.has_value(); }, 2000));
    EXPECT_EQ(saved("A").channelGains->at(1), written);

    // An edit elsewhere keeps the row, open; a third channel adds a row below.
    saveDevice([](DeviceConfig& d) {
        d.monitors[0].name = "Renamed";
        d.monitors[0].channelCount = 3;
    });
    EXPECT_EQ(card("A")->channelRow(2), row);
    EXPECT_TRUE(row->isExpanded());
    ASSERT_NE(card("A")->channelRow(3), nullptr);
    EXPECT_GT(card("A")->channelRow(3)->y(), row->y());
    // Fewer channels: the rows beyond go, the others stay.
    QPointer<RoutingChannelRow> third = card("A")->channelRow(3);
    saveDevice([](DeviceConfig& d) { d.monitors[0].channelCount = 2; });
    EXPECT_EQ(card("A")->channelRows().size(), 2u);
    EXPECT_TRUE(deleted(third));
    EXPECT_EQ(card("A")->channelRow(2), row);
}

TEST_F(MonitorsColumnTest, MonitorPortsLightUpOnlyWhileAWireIsDrawnFromAnOutputChannel) {
    device.monitors = {monitorOn("A", "Speakers", "out-builtin")};
    start();
    const RoutingPortID monitorPort{{"monitor", "A", 1}, RoutingPortRole::monitorInput};
    const RoutingPortID outputPort{{"deviceOutput", "D", 1}, RoutingPortRole::outputOutput};
    const RoutingPortID sourcePort{{"source", "D-pt", 1}, RoutingPortRole::sourceOutput};
    ASSERT_TRUE(waitFor([&] {
        const auto& frames = canvas->state().portFrames();
        return frames.count(monitorPort) && frames.count(outputPort) && frames.count(sourcePort);
    }));
    QWindow* handle = window->windowHandle();
    auto centre = [&](const RoutingPortID& id) {
        return canvas->mapTo(window.get(), canvas->state().portFrames().at(id).center().toPoint());
    };
    QTest::mouseMove(handle, QPoint(1, 1));
    for (const auto& [from, lit] : {std::pair{outputPort, true}, std::pair{sourcePort, false}}) {
        const QPoint start = centre(from);
        QTest::mousePress(handle, Qt::LeftButton, {}, start);
        QTest::mouseMove(handle, start + QPoint(10, 40));
        ASSERT_TRUE(canvas->state().activeDrag());
        EXPECT_EQ(canvas->port(monitorPort)->isHighlighted(), lit);
        QTest::mouseRelease(handle, Qt::LeftButton, {}, start + QPoint(10, 40));
        QApplication::processEvents();
        EXPECT_FALSE(canvas->port(monitorPort)->isHighlighted());
    }
    // A wire drawn onto the monitor's port is saved.
    const QPoint start = centre(outputPort);
    QTest::mousePress(handle, Qt::LeftButton, {}, start);
    QTest::mouseMove(handle, start + QPoint(10, 5));
    QTest::mouseMove(handle, centre(monitorPort));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, centre(monitorPort));
    QApplication::processEvents();
    EXPECT_EQ(model->statusMessage(), "Connected wire");
    EXPECT_EQ(savedConfig().devices.at(0).wires.back().to, (WireEndpoint{EndpointKind::monitor, "A", 1}));
}

// The column as a person sees it: two monitors (one on an absent output, switched off, at a
// lower volume), live meters, one channel volume open; and the empty column. Both schemes.
TEST_F(MonitorsColumnTest, GrabsOfTheColumnInLightAndDark) {
    MonitorConfig usb = monitorOn("B", "Desk Headphones", "out-gone");
    usb.enabled = false;
    usb.gain = 0.62;
    usb.channelCount = 2;
    device.sources.push_back(makeSource("S", SourceType::system, "System Audio"));
    device.monitors = {monitorOn("A", "Built-in Output", "out-builtin"), usb};
    device.wires.push_back({"wa", {EndpointKind::deviceOutput, "D", 1}, {EndpointKind::monitor, "A", 1}});
    device.wires.push_back({"wb", {EndpointKind::deviceOutput, "D", 2}, {EndpointKind::monitor, "A", 2}});
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        start(scheme);
        model->setDeveloperMode(true);
        QTest::mouseClick(card("A")->channelRow(2)->volumeToggle(), Qt::LeftButton);
        // Levels for the first monitor, fed until the meters have risen.
        const auto feed = [&] {
            meterModel->tap()->update({{"A", {{0.35, 0.5}, {0.6, 0.9}}}}, meterClockNow());
        };
        QElapsedTimer fed;
        fed.start();
        while (fed.elapsed() < 600) {
            feed();
            QTest::qWait(30);
        }
        QApplication::processEvents();
        const QImage image = column()->grab().toImage();
        test::saveArtifact(image, "MonitorsColumn-" + test::schemeName(scheme));
        // The cards stand clear of the text: the header's name is fully shown.
        EXPECT_FALSE(card("A")->nameLabel()->isElided());
        EXPECT_FALSE(card("B")->statusLabel()->isElided());
        EXPECT_GE(card("A")->width(), 260);

        const int width = column()->width();
        saveDevice([](DeviceConfig& d) { d.monitors.clear(); });
        QApplication::processEvents();
        // The column keeps its width when only the empty state is left.
        EXPECT_EQ(column()->width(), width);
        test::saveArtifact(column()->grab().toImage(), "MonitorsColumn-empty-" + test::schemeName(scheme));
        window.reset();
    }
}

}  // namespace
}  // namespace tidewell::testing
