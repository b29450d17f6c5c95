#pragma once
// The small level meter beside each channel of the routing editor, 78 × 7: a rounded track, a
// green-amber-red bar that follows the channel's RMS level, a thin peak-hold tick, a red clip
// dot at the right end and a faint green stub at the left end that marks a live meter.
//
// The shared meter clock steps it about 30 times a second. Each step reads the channel from
// the meter's reading source, runs the ballistics, and repaints only when what the meter shows
// has changed. A meter that is hidden, or has no parent, is not stepped at all.

#include "TidewellApp/MeterBallistics.h"
#include "TidewellCore/RuntimeMeterStore.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tidewell {

// Where a meter gets its readings: the reading of an owner at a time, or none when the owner
// is unknown or its reading has gone stale.
using MeterReadingSource =
    std::function<std::optional<RuntimeMeterStore::Reading>(std::string_view ownerID, double now)>;

// Reads from a meter cache that outlives the meter.
MeterReadingSource meterTapSource(const MeterTap& tap);

class RoutingLevelMeter : public QWidget {
    Q_OBJECT
public:
    static constexpr int meterWidth = 78;
    static constexpr int meterHeight = 7;

    // What the meter shows, in its own pixels: the bar's width (-1: no bar), the tick's centre
    // (-1: no tick) and opacity, and the clip dot.
    struct AppliedState {
        double barWidth = -1;
        double tickX = -1;
        double tickOpacity = 0;
        bool clipped = false;
        bool operator==(const AppliedState&) const = default;
    };

    // The picture of `levels` on a meter of `width` × `height`. A visible bar is never narrower
    // than the meter is high; a peak at 0.02 of the scale or below shows no tick.
    static AppliedState appliedState(const MeterBallistics::Levels& levels, double width,
                                     double height);

    // The bar's colours, the same in light and dark.
    static QColor green();
    static QColor amber();
    static QColor red();

    explicit RoutingLevelMeter(QWidget* parent = nullptr);

    void setReadingSource(MeterReadingSource source);
    void setOwnerID(std::string ownerID);
    const std::string& ownerID() const { return ownerID_; }
    void setChannelIndex(int index);
    int channelIndex() const { return channelIndex_; }
    // An inactive meter takes no readings and hides its stub; what it showed runs down.
    void setActive(bool active);
    bool isActive() const { return active_; }

    // One step of the clock at `now` (seconds since 2001-01-01 UTC).
    void step(double now);

    const MeterBallistics& ballistics() const { return ballistics_; }
    // What the meter last drew, and whether a step must draw again.
    const AppliedState& shownState() const { return shown_; }
    bool needsReapply() const { return !applied_.has_value(); }

    QSize sizeHint() const override { return {meterWidth, meterHeight}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    MeterReadingSource source_;
    std::string ownerID_;
    int channelIndex_ = 0;
    bool active_ = false;
    std::optional<AppliedState> applied_;  // none: the next step draws whatever it finds
    AppliedState shown_;
    MeterBallistics ballistics_;
};

}  // namespace tidewell
