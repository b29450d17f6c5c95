#pragma once
// The sources column on the routing canvas over a model of fakes: a device "D" with a
// pass-thru, a system, an application and a hardware-input source, the registry's inputs and
// capturable applications, and the canvas shown offscreen in a window.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"

#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/SourceRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/TidewellMeterModel.h"

#include <QApplication>
#include <QVBoxLayout>

namespace tidewell::testing {

inline AudioDeviceInfo inputDevice(std::string uid, std::string name, std::int64_t channels = 2,
                                   std::optional<std::vector<std::string>> channelNames = std::nullopt) {
    return AudioDeviceInfo{std::move(uid), std::move(name), channels, false, std::move(channelNames)};
}

class SourcesColumnTest : public ModelTest {
protected:
    std::unique_ptr<TidewellAppModel> model;
    std::unique_ptr<TidewellMeterModel> meterModel;
    std::unique_ptr<QWidget> window;
    RoutingCanvasView* canvas = nullptr;
    int nextID = 0;

    void SetUp() override {
        registry->inventory.inputs = {inputDevice("in-usb", "USB Audio Interface", 2)};
        registry->candidates = {{"Music Player", "org.example.Player", 41, 410}};
        DeviceConfig device = makeDevice("D", "Desk");  // its pass-thru source is "D-pt"
        device.sources.push_back(makeSource("S", SourceType::system, "System Audio"));
        device.sources.push_back(makeApplicationSource("A", "org.example.Player", 41));
        SourceConfig usb = makeSource("H", SourceType::hardwareInput, "USB Audio Interface");
        usb.metadata.deviceUID = "in-usb";
        device.sources.push_back(usb);
        writeConfig({device, makeDevice("E", "Other")}, "D");
        model = makeModel();
        model->newItemID = [this] { return "id" + std::to_string(++nextID); };
        // The model reads the inventory in the background at start; let that settle.
        ASSERT_TRUE(waitFor([&] { return model->hardwareInputDevices().size() == 1; }));
        model->setApplicationSourceCandidates(registry->candidates);
        meterModel = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
    }
    void TearDown() override { window.reset(); }

    void show(ColorScheme scheme = ColorScheme::dark, QSize size = QSize(1100, 900)) {
        test::useScheme(scheme);
        window = std::make_unique<QWidget>();
        test::fillWithBackground(*window, scheme);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(16, 16, 16, 16);
        canvas = new RoutingCanvasView(*model, *meterModel, model->snapshot().devices.at(0));
        layout->addWidget(canvas);
        layout->addStretch();
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QApplication::processEvents();
    }

    SourcesColumn* column() {
        const auto columns = canvas->columns();
        return columns.isEmpty() ? nullptr : qobject_cast<SourcesColumn*>(columns.front());
    }
    SourceRow* row(const std::string& id) {
        SourcesColumn* sources = column();
        return sources ? sources->row(id) : nullptr;
    }
    std::vector<std::string> rowIDs() {
        std::vector<std::string> ids;
        for (SourceRow* row : column()->rows()) ids.push_back(row->source().id);
        return ids;
    }
    // The source as the file holds it, and as last published to the control region.
    SourceConfig savedSource(const std::string& id) { return find(savedConfig(), id); }
    SourceConfig publishedSource(const std::string& id) {
        if (publisher->published.empty()) throw std::runtime_error("nothing published");
        return find(publisher->published.back(), id);
    }
    static SourceConfig find(const ConfigSnapshot& snapshot, const std::string& id) {
        for (const auto& source : snapshot.devices.at(0).sources)
            if (source.id == id) return source;
        throw std::runtime_error("no source " + id);
    }
    // Saves the device after `edit`, as a structural edit of the model would.
    void editDevice(const std::function<void(DeviceConfig&)>& edit) {
        ConfigSnapshot edited = model->workingCopy();
        edit(edited.devices.at(0));
        ASSERT_TRUE(model->saveEditedSnapshot(edited, "edited"));
        QApplication::processEvents();
    }
};

}  // namespace tidewell::testing
