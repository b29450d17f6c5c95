#pragma once
// The channels of one source's card: one channel row per channel, with a clear leading slot,
// the channel's level meter, its own volume (every kind of source but pass-thru) and the port
// wires start from, tinted in the source's palette colour.
//
// Rows are kept by channel number while the channel exists, so an open channel volume stays
// open across edits, and a row whose title changes (the input device now names the channel)
// keeps its state too.

#include "TidewellApp/ColorScheme.h"
#include "TidewellCore/ConfigModel.h"

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <vector>

class QVBoxLayout;

namespace tidewell {

class RoutingChannelPort;
class RoutingChannelRow;
class TidewellAppModel;
class TidewellMeterModel;

class SourceChannelRows : public QWidget {
    Q_OBJECT
public:
    static constexpr int rowSpacing = 5;

    SourceChannelRows(TidewellAppModel& model, const TidewellMeterModel& meters, QWidget* parent = nullptr);

    // Reconciles the rows with the source's channels (1 to its channel count).
    void setSource(const DeviceConfig& device, const SourceConfig& source);
    // The titles follow the model's input devices.
    void refreshTitles();
    // The channel volumes show their bound values.
    void refreshValues();
    // The ports take the source's colour in the current scheme.
    void refreshTint();

    QList<RoutingChannelRow*> rows() const;
    RoutingChannelRow* row(std::int64_t channel) const;
    RoutingChannelPort* port(std::int64_t channel) const;

private:
    struct Entry {
        std::int64_t channel = 0;
        QPointer<RoutingChannelRow> row;
        RoutingChannelPort* port = nullptr;
    };

    Entry makeRow(std::int64_t channel, const QString& title);
    void remove(Entry& entry);
    bool wantsChannelGain() const { return source_.type != SourceType::passThru; }

    TidewellAppModel& model_;
    const TidewellMeterModel& meters_;
    DeviceConfig device_;
    SourceConfig source_;
    QVBoxLayout* layout_;
    std::vector<Entry> entries_;
};

}  // namespace tidewell
