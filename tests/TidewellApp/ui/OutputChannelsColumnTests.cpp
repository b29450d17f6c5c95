// The output-channels column on the canvas, against the application model over fakes: rows
// follow the channel count and keep their state by channel number, and every control writes
// through its binding (published at once, in the file after the live-edit pause).

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/ChannelCountMenu.h"
#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/DeviceVolumeRow.h"
#include "TidewellApp/LinkButton.h"
#include "TidewellApp/OutputChannelRow.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/TidewellMeterModel.h"
#include "TidewellApp/VirtualDeviceInfoPopover.h"

#include <QAction>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QToolButton>
#include <QVBoxLayout>

namespace tidewell::testing {
namespace {

class OutputChannelsColumnTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meters;
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;
    OutputChannelsColumn* column = nullptr;

    void SetUp() override {
        writeConfig({makeDevice("D", "Desk")});
        model = makeModel();
        meters = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
    }
    void TearDown() override { window.reset(); }

    void show(ColorScheme scheme = ColorScheme::light) {
        test::useScheme(scheme);
        window = std::make_unique<QWidget>();
        test::fillWithBackground(*window, scheme);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(16, 16, 16, 16);
        canvas = new RoutingCanvasView(*model, *meters, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        layout->addStretch();
        window->resize(1000, 700);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        // The canvas's own middle column is this one.
        ASSERT_EQ(canvas->columns().size(), 3);
        column = qobject_cast<OutputChannelsColumn*>(canvas->columns().at(1));
        ASSERT_NE(column, nullptr);
    }

    DeviceConfig saved() { return savedConfig().devices.at(0); }
    void chooseCount(std::int64_t count) {
        QAction* action = column->channelCountMenu()->actionForCount(count);
        ASSERT_NE(action, nullptr);
        action->trigger();
    }
    static std::vector<std::int64_t> channelsOf(const OutputChannelsColumn& shown) {
        std::vector<std::int64_t> channels;
        for (auto* row : shown.rows()) channels.push_back(row->channel());
        return channels;
    }
    // A press on the slider at a fraction of its track, as the user gives it.
    static double pressSlider(ContinuousSlider* slider, double fraction) {
        EXPECT_TRUE(slider->isVisible());
        const QPointF at(slider->width() * fraction, slider->height() / 2.0);
        for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, at, slider->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(slider, &event);
        }
        return slider->valueAt(at.x());
    }
    // Rows that went are deleted later; a test's own loop lets that happen here.
    static void deleteDeferred() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
    static void open(RoutingChannelRow* card) {
        QTest::mouseClick(card->volumeToggle(), Qt::LeftButton);
        ASSERT_TRUE(card->isExpanded());
        ASSERT_TRUE(waitFor([&] { return card->volumeControl()->maximumHeight() == QWIDGETSIZE_MAX; }));
        ASSERT_TRUE(waitFor([&] { return card->volumeSlider()->width() > 40; }));
    }
};

TEST_F(OutputChannelsColumnTest, RowsFollowTheChannelCountAndAKeptRowKeepsItsOpenVolume) {
    show();
    EXPECT_EQ(column->column()->title(), QStringLiteral("Output Channels"));
    EXPECT_EQ(column->headerText(), QStringLiteral("Desk Virtual Audio"));
    EXPECT_EQ(column->infoButton()->deviceName(), QStringLiteral("Desk"));
    EXPECT_EQ(channelsOf(*column), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(column->row(1)->card()->title(), QStringLiteral("Channel 1 (L)"));
    EXPECT_EQ(column->row(2)->card()->title(), QStringLiteral("Channel 2 (R)"));
    EXPECT_EQ(column->channelCountMenu()->text(), QStringLiteral("2 Channels"));

    QPointer<OutputChannelRow> second = column->row(2);
    open(second->card());

    chooseCount(8);
    EXPECT_EQ(model->statusMessage(), "Updated channel count");
    const DeviceConfig widened = saved();
    EXPECT_EQ(widened.channelCount, 8);
    ASSERT_EQ(widened.sources.size(), 1u);
    EXPECT_EQ(widened.sources[0].channelCount, 8);
    EXPECT_EQ(widened.wires.size(), 8u);
    ASSERT_TRUE(waitFor([&] { return column->rows().size() == 8; }));
    EXPECT_EQ(channelsOf(*column), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(column->row(2), second.data()) << "the row of a channel that stays is kept";
    EXPECT_TRUE(second->card()->isExpanded());
    for (std::int64_t channel = 3; channel <= 8; ++channel) {
        EXPECT_FALSE(column->row(channel)->card()->isExpanded()) << channel;
        EXPECT_EQ(column->row(channel)->card()->title(), QStringLiteral("Channel %1").arg(channel));
    }
    EXPECT_EQ(column->channelCountMenu()->text(), QStringLiteral("8 Channels"));
    EXPECT_FALSE(column->channelCountMenu()->actionForCount(8)->icon().isNull());
    EXPECT_TRUE(column->channelCountMenu()->actionForCount(2)->icon().isNull());
    // The ports of the new rows reach the canvas, in layout order.
    ASSERT_TRUE(waitFor([&] { return canvas->state().portFrames().size() == 8 + 16; }));
    // (the pass-thru source widened with the device: 8 source ports, 16 output ports)
    EXPECT_LT(column->row(3)->inputPort()->canvasFrame().top(), column->row(4)->inputPort()->canvasFrame().top());

    QPointer<OutputChannelRow> eighth = column->row(8);
    chooseCount(2);
    ASSERT_TRUE(waitFor([&] {
        deleteDeferred();
        return eighth.isNull();
    })) << "rows of channels that went are deleted";
    EXPECT_EQ(channelsOf(*column), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(column->row(2), second.data());
    EXPECT_TRUE(second->card()->isExpanded());

    // Choosing the count it already has rewires the pass-thru source all the same.
    const std::string firstWire = saved().wires.at(0).id;
    model->setStatusMessage("");
    chooseCount(2);
    EXPECT_EQ(model->statusMessage(), "Updated channel count");
    EXPECT_NE(saved().wires.at(0).id, firstWire);
    EXPECT_EQ(column->row(2), second.data());
}

TEST_F(OutputChannelsColumnTest, UnofferedCountsAndCountsBelowOneShowAsTheyAre) {
    DeviceConfig twelve = makeDevice("D", "Desk");
    twelve.channelCount = 12;
    twelve.sources.clear();
    twelve.wires.clear();
    writeConfig({twelve});
    model = makeModel();
    show();
    EXPECT_EQ(column->channelCountMenu()->text(), QStringLiteral("12 Channels"));
    for (const std::int64_t count : ChannelCountMenu::offeredCounts)
        EXPECT_TRUE(column->channelCountMenu()->actionForCount(count)->icon().isNull()) << count;
    EXPECT_EQ(column->rows().size(), 12);
    EXPECT_EQ(column->row(10)->card()->title(), QStringLiteral("Channel 10"));

    // A copy of the device with no channels (never a saved one) shows no rows and does not fail.
    DeviceConfig none = twelve;
    none.channelCount = 0;
    column->updateRows({*model, *meters, none});
    ASSERT_TRUE(waitFor([&] {
        deleteDeferred();
        return column->findChildren<OutputChannelRow*>().isEmpty();
    }));
    EXPECT_TRUE(column->rows().isEmpty());
    EXPECT_EQ(column->channelCountMenu()->text(), QStringLiteral("0 Channels"));
}

TEST_F(OutputChannelsColumnTest, EachRowHasBothPortsAndTheOutputMeterOfItsChannel) {
    show();
    for (auto* row : column->rows()) {
        const RoutingEndpointID end{"deviceOutput", "D", row->channel()};
        EXPECT_EQ(row->inputPort()->port(), (RoutingPortID{end, RoutingPortRole::outputInput}));
        EXPECT_FALSE(row->inputPort()->canStartDrag());
        EXPECT_EQ(row->outputPort()->port(), (RoutingPortID{end, RoutingPortRole::outputOutput}));
        EXPECT_TRUE(row->outputPort()->canStartDrag());
        EXPECT_EQ(row->card()->leading(), row->inputPort());
        EXPECT_EQ(row->card()->trailing(), row->outputPort());
        const auto* target = std::get_if<RoutingOutputMeterTarget>(&row->meter()->target());
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(target->channel, row->channel());
        EXPECT_TRUE(row->card()->hasChannelGain());
    }
}

TEST_F(OutputChannelsColumnTest, ChannelGainResetAndDeviceVolumeWriteThroughTheirBindings) {
    show();
    RoutingChannelRow* first = column->row(1)->card();
    open(first);
    const std::size_t publishedBefore = publisher->published.size();
    const double chosen = pressSlider(first->volumeSlider(), 0.3);
    // The control region has it at once, the file only after the pause.
    ASSERT_GT(publisher->published.size(), publishedBefore);
    const auto& gains = publisher->published.back().devices.at(0).channelGains;
    ASSERT_TRUE(gains.has_value());
    EXPECT_DOUBLE_EQ(gains->at(0), chosen);
    EXPECT_FALSE(saved().channelGains.has_value());
    ASSERT_TRUE(waitFor([&] { return saved().channelGains.has_value(); }, 3000));
    EXPECT_DOUBLE_EQ(saved().channelGains->at(0), chosen);
    EXPECT_EQ(model->statusMessage(), "Saved");
    EXPECT_EQ(first->percentText(), gainPercentText(chosen));

    // Reset writes unity, and the row shows it.
    QTest::mouseClick(first->resetButton(), Qt::LeftButton);
    EXPECT_EQ(publisher->published.back().devices.at(0).channelGains.value_or(std::vector<double>{1.0, 1.0}).at(0),
              1.0);
    EXPECT_FALSE(first->resetButton()->isEnabled());
    ASSERT_TRUE(waitFor([&] {
        const auto kept = saved().channelGains;
        return !kept || kept->at(0) == 1.0;
    }, 3000));

    // The device volume.
    DeviceVolumeRow* volume = column->volumeRow();
    EXPECT_EQ(volume->toolTip(), QStringLiteral("Device Volume \u2014 applies on top of every channel's own volume"));
    const double level = pressSlider(volume->slider(), 0.8);
    EXPECT_DOUBLE_EQ(publisher->published.back().devices.at(0).volume, level);
    EXPECT_EQ(volume->percentText(), gainPercentText(level));
    ASSERT_TRUE(waitFor([&] { return saved().volume == level; }, 3000));

    // An edit made elsewhere shows in the rows without rebuilding them.
    QPointer<OutputChannelRow> second = column->row(2);
    deviceChannelGainBinding(*model, "D", 2).set(0.57);
    EXPECT_EQ(second->card()->volumeToggleColor(), Theme::accent(ColorScheme::light));
    open(second->card());
    EXPECT_EQ(second->card()->percentText(), QStringLiteral("56%"));
    ASSERT_TRUE(waitFor([&] { return saved().channelGains && saved().channelGains->at(1) == 0.57; }, 3000));
    EXPECT_EQ(column->row(2), second.data());
}

TEST_F(OutputChannelsColumnTest, GrabsOfEightChannelsWithLiveMeters) {
    DeviceConfig device = makeDevice("D", "Desk");
    device.channelCount = 8;
    writeConfig({device});
    model = makeModel();
    model->setChannelCount("D", 8);
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        show(scheme);
        ASSERT_EQ(column->rows().size(), 8);
        deviceChannelGainBinding(*model, "D", 3).set(0.42);
        open(column->row(3)->card());
        // Levels falling across the channels, read from the meter cache as the meter model
        // leaves them.
        const std::string owner = RuntimeMeterStore::outputOwnerID(model->snapshot().devices[0].uid);
        std::vector<double> levels;
        for (int channel = 0; channel < 8; ++channel) levels.push_back(0.9 - channel * 0.1);
        const double now = 5000;
        meters->tap()->update({{owner, {levels, levels}}}, now);
        for (auto* row : column->rows())
            for (double t = now; t < now + 0.6; t += 0.033) row->meter()->step(t);
        EXPECT_GT(column->row(1)->meter()->ballistics().bar(), column->row(8)->meter()->ballistics().bar());
        // Grabbed from the window, so the column shows on the window's background.
        const QImage image =
            window->grab(QRect(column->mapTo(window.get(), QPoint(0, 0)), column->size()).adjusted(-8, -8, 8, 8))
                .toImage();
        test::saveArtifact(image, QStringLiteral("OutputChannelsColumn-") + test::schemeName(scheme));
        window.reset();
    }
}

}  // namespace
}  // namespace tidewell::testing
