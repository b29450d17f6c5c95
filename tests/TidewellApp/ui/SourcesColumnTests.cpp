// The sources column on the canvas over a model of fakes: a card per source in the device's
// order, kept across edits (the same widget, its state intact), gone with its source; a device
// without sources shows the add menu alone; grabs in light and dark.

#include "SourcesColumnFixture.h"

#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/SourceChannelRows.h"
#include "TidewellApp/SourceAddMenu.h"

#include <QAction>
#include <QToolButton>

namespace tidewell::testing {
namespace {

void processDeletions() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
}

TEST_F(SourcesColumnTest, TheCanvasShowsTheSourcesColumnOnTheLeft) {
    show();
    ASSERT_NE(column(), nullptr);
    EXPECT_EQ(column()->column()->title(), "Sources");
    EXPECT_EQ(column()->column()->systemImage(), "dot.radiowaves.left.and.right");
    EXPECT_EQ(column()->addMenu()->text(), "Add Source");
    EXPECT_EQ(column()->addMenu()->device().id, "D");
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"D-pt", "S", "A", "H"}));
    // The menu sits above the cards.
    EXPECT_LT(column()->addMenu()->mapTo(column(), QPoint()).y(), row("D-pt")->mapTo(column(), QPoint()).y());
}

TEST_F(SourcesColumnTest, CardsComeAndGoWithTheirSourcesAndKeptCardsAreTheSameWidgets) {
    show();
    QPointer<SourceRow> passThru = row("D-pt"), system = row("S"), application = row("A"), usb = row("H");
    editDevice([](DeviceConfig& device) {
        std::erase_if(device.sources, [](const SourceConfig& s) { return s.id == "A"; });
        SourceConfig added = makeSource("N", SourceType::system, "Second");
        device.sources.insert(device.sources.begin() + 1, added);
        device.sources[2].name = "Everything";  // "S", renamed
    });
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"D-pt", "N", "S", "H"}));
    EXPECT_EQ(row("D-pt"), passThru.data());
    EXPECT_EQ(row("S"), system.data());
    EXPECT_EQ(row("H"), usb.data());
    EXPECT_EQ(system->nameLabel()->text(), "Everything");
    // The card of the removed source is hidden at once and deleted once control returns.
    ASSERT_TRUE(application);
    EXPECT_FALSE(application->isVisible());
    processDeletions();
    EXPECT_TRUE(application.isNull());
    // The cards are laid out in the device's order.
    QApplication::processEvents();
    int lastY = -1;
    for (SourceRow* card : column()->rows()) {
        EXPECT_GT(card->y(), lastY) << card->source().id;
        lastY = card->y();
    }

    // Reordered: the same cards, in the new order.
    editDevice([](DeviceConfig& device) { std::reverse(device.sources.begin(), device.sources.end()); });
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"H", "S", "N", "D-pt"}));
    EXPECT_EQ(row("H"), usb.data());
    EXPECT_EQ(row("D-pt"), passThru.data());
}

TEST_F(SourcesColumnTest, TheDeleteButtonRemovesTheSourceItsWiresAndItsCardOnly) {
    editDevice([](DeviceConfig& device) {
        device.wires.push_back(Wire{"wS", {EndpointKind::source, "S", 1}, {EndpointKind::deviceOutput, "D", 1}});
        device.wires.push_back(Wire{"wH", {EndpointKind::source, "H", 2}, {EndpointKind::deviceOutput, "D", 2}});
    });
    show();
    QPointer<SourceRow> system = row("S");
    SourceRow* application = row("A");
    QTest::mouseClick(system->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(model->statusMessage(), "Deleted source");
    processDeletions();
    EXPECT_TRUE(system.isNull());
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"D-pt", "A", "H"}));
    EXPECT_EQ(row("A"), application);
    std::vector<std::string> wires;
    const ConfigSnapshot saved = savedConfig();
    for (const auto& wire : saved.devices.at(0).wires) wires.push_back(wire.id);
    EXPECT_EQ(wires, (std::vector<std::string>{"D-w1", "D-w2", "wH"}));
}

TEST_F(SourcesColumnTest, ADeviceWithoutSourcesShowsTheMenuAlone) {
    show();
    editDevice([](DeviceConfig& device) {
        device.sources.clear();
        device.wires.clear();
    });
    processDeletions();
    EXPECT_TRUE(column()->rows().isEmpty());
    EXPECT_TRUE(column()->findChildren<SourceRow*>().isEmpty());
    EXPECT_TRUE(column()->addMenu()->isVisible());
    // The menu follows the device: "System Audio" is offered again.
    column()->addMenu()->rebuild();
    ASSERT_NE(column()->addMenu()->actionForKey("system"), nullptr);
    EXPECT_TRUE(column()->addMenu()->actionForKey("system")->isEnabled());
    column()->addMenu()->actionForKey("system")->trigger();
    EXPECT_EQ(model->statusMessage(), "Added system audio");
    EXPECT_EQ(rowIDs().size(), 1u);
}

// Four kinds of source with live meters (one muted at 55 %, one channel volume open), in light
// with every input plugged and in dark with the USB input unplugged and the application gone.
TEST_F(SourcesColumnTest, GrabsWithLiveMeters) {
    editDevice([](DeviceConfig& device) {
        device.sources[1].muted = true;
        device.sources[1].gain = 0.55;
        device.sources[2].channelGains = std::vector<double>{1.0, 0.7};
    });
    model->setDeveloperMode(true);
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        show(scheme, QSize(1100, 1000));
        const bool dark = scheme == ColorScheme::dark;
        model->setAudioDeviceInventory(dark ? AudioDeviceInventory{} : registry->inventory);
        model->setApplicationSourceCandidates(dark ? std::vector<ApplicationSourceCandidate>{} : registry->candidates);
        RoutingChannelRow* opened = row("A")->channelRows()->row(2);
        QTest::mouseClick(opened->volumeToggle(), Qt::LeftButton);
        // The volume line slides open.
        ASSERT_TRUE(waitFor([&] { return opened->volumeControl()->height() >= opened->volumeControl()->sizeHint().height(); }));
        QTest::qWait(RoutingChannelRow::expandMilliseconds);

        // Every meter of the column reads a level that differs per source and channel.
        const double now = TidewellMeterModel::referenceSeconds(std::chrono::system_clock::now());
        TidewellMeterModel::Readings readings;
        const auto meters = column()->findChildren<RoutingMeterView*>();
        int n = 0;
        for (RoutingMeterView* meter : meters) {
            const auto selection = routingMeterSelection(canvas->device(), meter->target());
            auto& reading = readings[selection.ownerID];
            reading.levels.resize(std::max<std::size_t>(reading.levels.size(), std::size_t(selection.channelIndex) + 1));
            reading.peaks.resize(reading.levels.size());
            reading.levels[std::size_t(selection.channelIndex)] = 0.05 + 0.07 * n;
            reading.peaks[std::size_t(selection.channelIndex)] = 0.1 + 0.1 * n;
            ++n;
        }
        meterModel->tap()->update(readings, now);
        for (RoutingMeterView* meter : meters) meter->step(now);
        ASSERT_EQ(meters.size(), 8);

        const QImage image = column()->grab().toImage();
        test::saveArtifact(image, "SourcesColumn-" + test::schemeName(scheme));
        EXPECT_GT(image.height(), 600);
        window.reset();
    }
}

}  // namespace
}  // namespace tidewell::testing
