#include "TidewellApp/RoutingCanvasColumns.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include <tuple>

namespace tidewell {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

QWidget* rowsWidget(QVBoxLayout*& rows) {
    auto* widget = new QWidget;
    rows = new QVBoxLayout(widget);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    return widget;
}

// The plain columns keep to a readable width, leaving room between them for the wires.
constexpr int plainColumnWidth = 240;

RoutingColumn* column(const QString& title, const QString& symbol, QWidget* content) {
    auto* built = new RoutingColumn(title, symbol, content);
    built->setMaximumWidth(plainColumnWidth);
    return built;
}

QLabel* caption(const QString& name) {
    auto* label = new QLabel(name);
    label->setFont(Theme::font(12, QFont::DemiBold));
    return label;
}

RoutingChannelPort* makePort(RoutingPortID id, bool canStartDrag, std::optional<QColor> tint) {
    auto* port = new RoutingChannelPort(std::move(id), canStartDrag);
    port->setTint(tint);
    return port;
}

// One channel: [leading port] name meter [trailing port].
QWidget* channelRow(const QString& name, RoutingMeterView* meter, RoutingChannelPort* leading,
                    RoutingChannelPort* trailing) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    if (leading) layout->addWidget(leading);
    auto* label = new ElidingLabel(name);
    label->setMinimumWidth(60);
    layout->addWidget(label, 1);
    layout->addWidget(meter, 0, Qt::AlignVCenter);
    if (trailing) layout->addWidget(trailing);
    return row;
}

QString channelName(std::int64_t channel) { return QStringLiteral("Ch %1").arg(channel); }

// What the plain rows are built from; any other change leaves them as they are.
auto rowShape(const DeviceConfig& device) {
    std::vector<std::tuple<std::string, std::string, std::int64_t>> sources, monitors;
    for (const auto& source : device.sources)
        sources.emplace_back(source.id, source.name, source.channelCount);
    for (const auto& monitor : device.monitors)
        monitors.emplace_back(monitor.id, monitor.name, monitor.channelCount);
    return std::tuple(device.id, device.channelCount, sources, monitors);
}

class PlainColumn : public RoutingCanvasColumn {
public:
    PlainColumn(std::function<QWidget*(const RoutingCanvasContext&)> build,
                const RoutingCanvasContext& context)
        : build_(std::move(build)), layout_(new QVBoxLayout(this)) {
        layout_->setContentsMargins(0, 0, 0, 0);
        rebuild(context);
    }

    void updateRows(const RoutingCanvasContext& context) override {
        if (rowShape(context.device) != shape_) rebuild(context);
    }

private:
    void rebuild(const RoutingCanvasContext& context) {
        if (content_) {
            layout_->removeWidget(content_);
            content_->hide();
            content_->deleteLater();
        }
        shape_ = rowShape(context.device);
        content_ = build_(context);
        layout_->addWidget(content_);
    }

    std::function<QWidget*(const RoutingCanvasContext&)> build_;
    QVBoxLayout* layout_;
    QPointer<QWidget> content_;
    decltype(rowShape(std::declval<const DeviceConfig&>())) shape_;
};

}  // namespace

RoutingColumnFactory plainColumnFactory(std::function<QWidget*(const RoutingCanvasContext&)> build) {
    return [build = std::move(build)](const RoutingCanvasContext& context) -> RoutingCanvasColumn* {
        return new PlainColumn(build, context);
    };
}

bool monitorOutputIsPresent(const TidewellAppModel& model, const MonitorConfig& monitor) {
    for (const auto& output : model.monitorOutputDevices()) {
        if (output.uid == monitor.deviceUID) return true;
    }
    return false;
}

QWidget* buildSourcesColumn(const RoutingCanvasContext& context) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QVBoxLayout* rows = nullptr;
    QWidget* content = rowsWidget(rows);
    const auto& sources = context.device.sources;
    for (std::size_t index = 0; index < sources.size(); ++index) {
        const SourceConfig& source = sources[index];
        rows->addWidget(caption(text(source.name)));
        const QColor tint = ZVTheme::wireColor(int(index), scheme);
        for (const std::int64_t channel : channelNumbers(source.channelCount)) {
            auto* meter = new RoutingMeterView(context.meters, context.device,
                                               RoutingSourceMeterTarget{source, channel});
            RoutingPortID id{{"source", source.id, channel}, RoutingPortRole::sourceOutput};
            rows->addWidget(
                channelRow(channelName(channel), meter, nullptr, makePort(id, true, tint)));
        }
    }
    return column(QStringLiteral("Sources"),
                             QStringLiteral("dot.radiowaves.left.and.right"), content);
}

QWidget* buildOutputChannelsColumn(const RoutingCanvasContext& context) {
    QVBoxLayout* rows = nullptr;
    QWidget* content = rowsWidget(rows);
    const DeviceConfig& device = context.device;
    for (const std::int64_t channel : channelNumbers(device.channelCount)) {
        const RoutingEndpointID end{"deviceOutput", device.id, channel};
        auto* meter = new RoutingMeterView(context.meters, device, RoutingOutputMeterTarget{channel});
        rows->addWidget(channelRow(QStringLiteral("Channel %1").arg(channel), meter,
                                   makePort({end, RoutingPortRole::outputInput}, false, {}),
                                   makePort({end, RoutingPortRole::outputOutput}, true, {})));
    }
    return column(QStringLiteral("Output Channels"),
                             QStringLiteral("rectangle.split.2x1"), content);
}

QWidget* buildMonitorsColumn(const RoutingCanvasContext& context) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QVBoxLayout* rows = nullptr;
    QWidget* content = rowsWidget(rows);
    const DeviceConfig& device = context.device;
    for (std::size_t index = 0; index < device.monitors.size(); ++index) {
        const MonitorConfig& monitor = device.monitors[index];
        rows->addWidget(caption(text(monitor.name)));
        const QColor tint = ZVTheme::wireColor(int(device.sources.size() + index), scheme);
        const bool available = monitorOutputIsPresent(context.model, monitor);
        for (const std::int64_t channel : channelNumbers(monitor.channelCount)) {
            auto* meter = new RoutingMeterView(context.meters, device,
                                               RoutingMonitorMeterTarget{monitor, available, channel});
            RoutingPortID id{{"monitor", monitor.id, channel}, RoutingPortRole::monitorInput};
            rows->addWidget(
                channelRow(channelName(channel), meter, makePort(id, false, tint), nullptr));
        }
    }
    return column(QStringLiteral("Monitors"), QStringLiteral("headphones"), content);
}

}  // namespace tidewell
