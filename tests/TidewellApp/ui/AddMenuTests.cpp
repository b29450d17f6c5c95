// The add menus as widgets over a real model: choosing an entry remembers the pick, restarts a
// running diagnostic helper and has the model add the item (the file holds it); the refresh
// entries re-read the registry; grabs of both menus in light and dark.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/MonitorAddMenu.h"
#include "TidewellApp/SourceAddMenu.h"
#include "TidewellApp/Theme.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSettings>

namespace tidewell::testing {
namespace {

AudioDeviceInfo info(std::string uid, std::string name, bool isDefault = false) {
    return AudioDeviceInfo{std::move(uid), std::move(name), 2, isDefault, std::nullopt};
}

class AddMenuTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    int nextID = 0;

    AddMenuTest() {
        registry->inventory.inputs = {info("in-mic", "Built-in Microphone", true), info("in-usb", "USB Audio Interface")};
        registry->inventory.outputs = {info("out-usb", "USB Audio Interface"), info("out-builtin", "Built-in Output", true)};
        registry->candidates = {{"Music Player", "org.example.Player", 41, 410},
                                {"Helper", std::nullopt, std::nullopt, std::nullopt},
                                {"Helper", std::nullopt, std::nullopt, std::nullopt}};
        DeviceConfig stream = makeDevice("E", "Stream");
        SourceConfig nestedDesk = makeSource("N", SourceType::virtualDevice, "Desk");
        nestedDesk.metadata.sourceDeviceID = "D";
        stream.sources.push_back(nestedDesk);
        writeConfig({makeDevice("D", "Desk"), stream, makeDevice("F", "Game")});
        model = makeModel();
        model->newItemID = [this] { return "id" + std::to_string(++nextID); };
    }
    DeviceConfig shown() { return model->snapshot().devices.at(0); }
    DeviceConfig saved() { return savedConfig().devices.at(0); }
    QString preference(const char* key) {
        return QSettings(preferencesFile, QSettings::IniFormat).value(QString::fromLatin1(key)).toString();
    }
    static void choose(AddMenuButton& menu, const QString& key) {
        menu.rebuild();
        QAction* action = menu.actionForKey(key);
        ASSERT_NE(action, nullptr) << key.toStdString();
        ASSERT_TRUE(action->isEnabled()) << key.toStdString();
        action->trigger();
    }
};

TEST_F(AddMenuTest, TheBuiltMenuShowsTheEntriesWithDisabledOnesVisible) {
    SourceAddMenu menu(*model, shown());
    EXPECT_EQ(menu.text(), "Add Source");
    EXPECT_EQ(menu.toolTip(), "Add a source");
    EXPECT_EQ(menu.popupMode(), QToolButton::InstantPopup);
    menu.rebuild();
    QStringList texts;
    for (QAction* action : menu.popupMenu()->actions()) {
        texts << (action->isSeparator() ? "---" : action->text() + (action->isEnabled() ? "" : " (off)"));
    }
    EXPECT_EQ(texts, (QStringList{"Audio Devices (off)", "Built-in Microphone (Default)", "USB Audio Interface",
                                  "Special Sources (off)", "System Audio", "Virtual Pass-Thru (off)",
                                  "Tidewell Devices (off)", "Stream (off)", "Game", "Running Applications (off)",
                                  "Music Player", "Helper (off)", "Helper (off)", "---", "Refresh Sources"}));
    // Application entries carry the application's icon.
    EXPECT_FALSE(menu.actionForKey(applicationEntryKey(registry->candidates[0], 0))->icon().isNull());

    MonitorAddMenu monitors(*model, shown());
    EXPECT_EQ(monitors.text(), "Add Monitor");
    EXPECT_EQ(monitors.toolTip(), "Add a monitor");
    monitors.rebuild();
    ASSERT_NE(monitors.actionForKey("systemDefault"), nullptr);
    EXPECT_EQ(monitors.actionForKey("systemDefault")->text(), "System Default (Built-in Output)");
}

// What a menu shows for an action's text: "&&" is one "&", a lone "&" marks the next letter.
QString shownMenuText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        shown += text[i];
    }
    return shown;
}

// Names chosen by other programs are shown as they are: an "&" in one is no keyboard mnemonic.
TEST_F(AddMenuTest, EntriesShowApplicationAndDeviceNamesLiterally) {
    registry->candidates = {{"Tom & Jerry", "org.example.Cartoon", 43, 430}};
    registry->inventory.inputs = {info("in-amp", "Mic &Line", true)};
    model->setApplicationSourceCandidates(registry->candidates);
    model->setAudioDeviceInventory(registry->inventory);
    SourceAddMenu menu(*model, shown());
    menu.rebuild();
    QAction* application = menu.actionForKey(applicationEntryKey(registry->candidates[0], 0));
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(shownMenuText(application->text()), "Tom & Jerry");
    QStringList texts;
    for (QAction* action : menu.popupMenu()->actions()) texts << shownMenuText(action->text());
    EXPECT_TRUE(texts.contains("Mic &Line (Default)")) << texts.join(" | ").toStdString();
}

TEST_F(AddMenuTest, ChoosingAnInputRemembersItRestartsTheRunningHelperAndAddsTheSource) {
    SourceAddMenu menu(*model, shown());
    model->setHardwareSourceRunning(true);
    choose(menu, "input:in-usb");
    const DeviceConfig device = saved();
    ASSERT_EQ(device.sources.size(), 2u);
    EXPECT_EQ(device.sources[1].type, SourceType::hardwareInput);
    EXPECT_EQ(device.sources[1].metadata.deviceUID, "in-usb");
    EXPECT_EQ(model->selectedHardwareInputUID(), "in-usb");
    EXPECT_EQ(preference(PreferenceKeys::hardwareInputUID), "in-usb");
    // The running diagnostic helper is restarted once.
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"restart hardware"});
    EXPECT_EQ(model->statusMessage(), "Added hardware input");
    // The column passes the new copy; the input is now disabled.
    menu.setDevice(shown());
    menu.rebuild();
    EXPECT_FALSE(menu.actionForKey("input:in-usb")->isEnabled());
    EXPECT_TRUE(menu.actionForKey("input:in-mic")->isEnabled());
}

TEST_F(AddMenuTest, TheSpecialAndNestedEntriesAddTheirSources) {
    SourceAddMenu menu(*model, shown());
    choose(menu, "system");
    EXPECT_EQ(model->statusMessage(), "Added system audio");
    choose(menu, "device:F");
    EXPECT_EQ(model->statusMessage(), "Added nested device source");
    std::vector<SourceType> types;
    for (const auto& source : saved().sources) types.push_back(source.type);
    EXPECT_EQ(types, (std::vector<SourceType>{SourceType::passThru, SourceType::system, SourceType::virtualDevice}));
    EXPECT_EQ(saved().sources[2].metadata.sourceDeviceID, "F");
    EXPECT_TRUE(launcher->calls.empty());

    // Pass-thru on a device that has none.
    DeviceConfig game = model->snapshot().devices.at(2);
    ASSERT_EQ(game.id, "F");
    game.sources.clear();
    game.wires.clear();
    ConfigSnapshot edited = model->snapshot();
    edited.devices[2] = game;
    ASSERT_TRUE(model->saveEditedSnapshot(edited, "cleared"));
    SourceAddMenu gameMenu(*model, model->snapshot().devices.at(2));
    choose(gameMenu, "passThru");
    EXPECT_EQ(model->statusMessage(), "Added pass-thru");
    ASSERT_EQ(savedConfig().devices.at(2).sources.size(), 1u);
    EXPECT_EQ(savedConfig().devices.at(2).sources[0].type, SourceType::passThru);
}

TEST_F(AddMenuTest, ChoosingAnApplicationRemembersItsPidAndAddsIt) {
    model->setApplicationSourceCandidates(registry->candidates);
    SourceAddMenu menu(*model, shown());
    model->setProcessTapRunning(true);
    choose(menu, applicationEntryKey(registry->candidates[0], 0));
    ASSERT_EQ(saved().sources.size(), 2u);
    EXPECT_EQ(saved().sources[1].type, SourceType::application);
    EXPECT_EQ(saved().sources[1].metadata.pid, 41);
    EXPECT_EQ(saved().sources[1].metadata.processObjectID, 410u);
    EXPECT_EQ(model->selectedApplicationPID(), "41");
    EXPECT_EQ(preference(PreferenceKeys::applicationPID), "41");
    // The running diagnostic helper is restarted once.
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"restart tap"});
    // The two pid-less candidates are two entries, both disabled.
    menu.rebuild();
    QAction* first = menu.actionForKey(applicationEntryKey(registry->candidates[1], 1));
    QAction* second = menu.actionForKey(applicationEntryKey(registry->candidates[2], 2));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first->isEnabled());
    EXPECT_FALSE(second->isEnabled());
}

TEST_F(AddMenuTest, RefreshSourcesReReadsInputsAndApplications) {
    SourceAddMenu menu(*model, shown());
    {
        std::lock_guard guard(registry->lock);
        registry->inventory.inputs.push_back(info("in-new", "New Interface"));
        registry->candidates.push_back({"Recorder", std::nullopt, 77, 770});
    }
    menu.rebuild();
    EXPECT_EQ(menu.actionForKey("input:in-new"), nullptr);
    choose(menu, "refresh");
    menu.rebuild();
    EXPECT_NE(menu.actionForKey("input:in-new"), nullptr);
    EXPECT_NE(menu.actionForKey(applicationEntryKey(registry->candidates.back(), 3)), nullptr);
}

TEST_F(AddMenuTest, ChoosingAnOutputOrTheSystemDefaultAddsAMonitorAndRemembersTheOutput) {
    MonitorAddMenu menu(*model, shown());
    model->setMonitorRunning(true);
    choose(menu, "output:out-usb");
    ASSERT_EQ(saved().monitors.size(), 1u);
    EXPECT_EQ(saved().monitors[0].deviceUID, "out-usb");
    EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-usb");
    // The running diagnostic helper is restarted once.
    EXPECT_EQ(launcher->calls, std::vector<std::string>{"restart monitor"});
    EXPECT_EQ(model->statusMessage(), "Added monitor");

    // The system default: the default output's uid, once the monitor is in the file.
    QStringList written;
    QObject::connect(model.get(), &TidewellAppModel::selectedMonitorOutputUIDChanged,
                     [&] { written << model->selectedMonitorOutputUID(); });
    menu.setDevice(shown());
    choose(menu, "systemDefault");
    EXPECT_EQ(written, (QStringList{"out-builtin"}));
    ASSERT_EQ(saved().monitors.size(), 2u);
    EXPECT_EQ(saved().monitors[1].deviceUID, "out-builtin");
    EXPECT_EQ(preference(PreferenceKeys::monitorOutputUID), "out-builtin");
    menu.setDevice(shown());
    menu.rebuild();
    EXPECT_FALSE(menu.actionForKey("systemDefault")->isEnabled());
    EXPECT_FALSE(menu.actionForKey("output:out-builtin")->isEnabled());
    EXPECT_FALSE(menu.actionForKey("output:out-usb")->isEnabled());
}

// Fault mended: the menus remembered the pick before the add, and the adds restarted the
// running helper whatever became of the save. A save that is refused (here the configuration
// is invalid: two devices share an id) leaves the remembered picks and the helpers alone.
TEST_F(AddMenuTest, AnAddWhoseSaveIsRefusedRemembersNoPickAndRestartsNothing) {
    ConfigSnapshot invalid = savedConfig();
    invalid.devices.push_back(makeDevice("D", "Desk twin"));
    store->save(invalid);
    model->reload();
    ASSERT_FALSE(model->validation().isValid());
    model->setApplicationSourceCandidates(registry->candidates);
    model->setMonitorRunning(true);
    model->setHardwareSourceRunning(true);
    model->setProcessTapRunning(true);
    const auto file = readFile(configFile);

    MonitorAddMenu monitors(*model, shown());
    choose(monitors, "output:out-usb");
    EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
    SourceAddMenu sources(*model, shown());
    choose(sources, "input:in-usb");
    EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
    choose(sources, applicationEntryKey(registry->candidates[0], 0));
    EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
    choose(sources, "system");
    EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");

    EXPECT_EQ(readFile(configFile), file);
    for (const char* key : {PreferenceKeys::monitorOutputUID, PreferenceKeys::hardwareInputUID,
                            PreferenceKeys::applicationPID})
        EXPECT_EQ(preference(key), "") << key;
    EXPECT_EQ(model->selectedMonitorOutputUID(), "");
    EXPECT_EQ(model->selectedHardwareInputUID(), "");
    EXPECT_EQ(model->selectedApplicationPID(), "");
    EXPECT_THAT(launcher->calls, ::testing::IsEmpty());
}

TEST_F(AddMenuTest, RefreshOutputsReReadsTheInventoryOnly) {
    MonitorAddMenu menu(*model, shown());
    {
        std::lock_guard guard(registry->lock);
        registry->inventory.outputs.push_back(info("out-new", "New Speakers"));
        registry->candidates.push_back({"Recorder", std::nullopt, 77, 770});
    }
    const auto candidatesBefore = model->applicationSourceCandidates();
    choose(menu, "refresh");
    menu.rebuild();
    EXPECT_NE(menu.actionForKey("output:out-new"), nullptr);
    EXPECT_EQ(model->applicationSourceCandidates(), candidatesBefore);
}

// The button with its menu opened below it, on the window background.
QImage grabMenu(AddMenuButton& button, ColorScheme scheme) {
    QWidget host;
    test::fillWithBackground(host, scheme);
    host.resize(260, 40);
    button.setParent(&host);
    button.move(12, 6);
    button.adjustSize();
    const QImage buttonImage = test::grabShown(host);
    button.rebuild();
    QMenu* menu = button.popupMenu();
    menu->popup(host.mapToGlobal(QPoint(12, 36)));
    EXPECT_TRUE(QTest::qWaitForWindowExposed(menu));
    const QImage menuImage = menu->grab().toImage();
    menu->hide();
    QImage result(std::max(buttonImage.width(), menuImage.width() + 12),
                  buttonImage.height() + menuImage.height() + 4, QImage::Format_ARGB32_Premultiplied);
    result.fill(Theme::backgroundBase(scheme));
    QPainter painter(&result);
    painter.drawImage(0, 0, buttonImage);
    painter.drawImage(12, buttonImage.height() + 4, menuImage);
    painter.end();
    button.setParent(nullptr);
    return result;
}

TEST_F(AddMenuTest, GrabsOfBothMenusInLightAndDark) {
    model->setApplicationSourceCandidates(registry->candidates);
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        SourceAddMenu sources(*model, shown());
        const QImage sourceImage = grabMenu(sources, scheme);
        EXPECT_GT(sourceImage.height(), 300);
        test::saveArtifact(sourceImage, "add-source-menu-" + test::schemeName(scheme));
        MonitorAddMenu monitors(*model, shown());
        const QImage monitorImage = grabMenu(monitors, scheme);
        EXPECT_GT(monitorImage.height(), 100);
        test::saveArtifact(monitorImage, "add-monitor-menu-" + test::schemeName(scheme));
    }
}

}  // namespace
}  // namespace tidewell::testing
