#include "TidewellApp/SourceChannelRows.h"

#include "TidewellApp/Bindings.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/RoutingChannelPort.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/SourceTexts.h"

#include <QVBoxLayout>

#include <algorithm>

namespace tidewell {

SourceChannelRows::SourceChannelRows(TidewellAppModel& model, const TidewellMeterModel& meters, QWidget* parent)
    : QWidget(parent), model_(model), meters_(meters), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(rowSpacing);
}

SourceChannelRows::Entry SourceChannelRows::makeRow(std::int64_t channel, const QString& title) {
    Entry entry;
    entry.channel = channel;
    // The leading slot stays clear: a source channel has only its output side.
    auto* leading = new QWidget;
    auto* meter = new RoutingMeterView(meters_, device_, RoutingSourceMeterTarget{source_, channel});
    entry.port = new RoutingChannelPort(
        RoutingPortID{{"source", source_.id, channel}, RoutingPortRole::sourceOutput}, true);
    entry.port->setTint(sourcePortTint(device_, source_.id, ColorSchemeSource::instance().scheme()));
    std::optional<Binding<double>> gain;
    if (wantsChannelGain()) gain = sourceChannelGainBinding(model_, device_.id, source_.id, channel);
    entry.row = new RoutingChannelRow(title, std::nullopt, std::move(gain), leading, meter, entry.port, this);
    entry.row->setObjectName(QStringLiteral("sourceChannel:%1").arg(channel));
    return entry;
}

void SourceChannelRows::remove(Entry& entry) {
    if (!entry.row) return;
    // May run inside the row's own port report (a drag that saved): delete once it returned.
    layout_->removeWidget(entry.row);
    entry.row->hide();
    entry.row->deleteLater();
    entry.row = nullptr;
    entry.port = nullptr;
}

void SourceChannelRows::setSource(const DeviceConfig& device, const SourceConfig& source) {
    const bool sameKind = entries_.empty() || (source.type == SourceType::passThru) ==
                                                  (source_.type == SourceType::passThru);
    device_ = device;
    source_ = source;
    const std::vector<std::int64_t> channels = channelNumbers(source.channelCount);

    std::vector<Entry> kept;
    for (Entry& entry : entries_) {
        const bool stays = std::find(channels.begin(), channels.end(), entry.channel) != channels.end();
        if (stays && sameKind && entry.row) kept.push_back(entry);
        else remove(entry);
    }
    entries_.clear();
    for (const std::int64_t channel : channels) {
        auto found = std::find_if(kept.begin(), kept.end(), [&](const Entry& e) { return e.channel == channel; });
        Entry entry = found != kept.end() ? *found : makeRow(channel, sourceChannelTitle(model_, source_, channel));
        const int index = int(entries_.size());
        if (layout_->indexOf(entry.row) != index) {
            layout_->removeWidget(entry.row);
            layout_->insertWidget(index, entry.row);
        }
        entries_.push_back(entry);
    }
    refreshTitles();
    refreshTint();
    refreshValues();
}

void SourceChannelRows::refreshTitles() {
    for (Entry& entry : entries_) {
        if (!entry.row) continue;
        const QString title = sourceChannelTitle(model_, source_, entry.channel);
        // The row itself stays (a new one would lose its open volume and its port's ties to the
        // canvas).
        if (entry.row->title() != title) entry.row->setTitle(title);
    }
}

void SourceChannelRows::refreshValues() {
    for (const Entry& entry : entries_)
        if (entry.row) entry.row->refresh();
}

void SourceChannelRows::refreshTint() {
    const auto tint = sourcePortTint(device_, source_.id, ColorSchemeSource::instance().scheme());
    for (const Entry& entry : entries_)
        if (entry.port) entry.port->setTint(tint);
}

QList<RoutingChannelRow*> SourceChannelRows::rows() const {
    QList<RoutingChannelRow*> list;
    for (const Entry& entry : entries_)
        if (entry.row) list.append(entry.row);
    return list;
}

RoutingChannelRow* SourceChannelRows::row(std::int64_t channel) const {
    for (const Entry& entry : entries_)
        if (entry.channel == channel) return entry.row;
    return nullptr;
}

RoutingChannelPort* SourceChannelRows::port(std::int64_t channel) const {
    for (const Entry& entry : entries_)
        if (entry.channel == channel) return entry.port;
    return nullptr;
}

}  // namespace tidewell
