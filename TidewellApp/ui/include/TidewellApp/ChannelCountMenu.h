#pragma once
// The channel-count picker above the output channels: a bordered menu button "N Channels" on
// the glass menu backdrop, offering 2, 4, 6, 8, 16, 32 and 64 channels with a checkmark on the
// device's current count. Choosing a count, the current one included, has the model set it
// (which rewires the device's pass-thru source straight through and saves at once).

#include "TidewellCore/ConfigModel.h"

#include <QToolButton>

#include <array>
#include <cstdint>

class QMenu;

namespace tidewell {

class TidewellAppModel;

class ChannelCountMenu : public QToolButton {
    Q_OBJECT
public:
    static constexpr std::array<std::int64_t, 7> offeredCounts{2, 4, 6, 8, 16, 32, 64};
    static constexpr qreal backdropCornerRadius = 6;

    ChannelCountMenu(TidewellAppModel& model, const DeviceConfig& device, QWidget* parent = nullptr);

    void setDevice(const DeviceConfig& device);

    // "8 Channels".
    static QString countText(std::int64_t count);
    QMenu* popupMenu() const { return menu_; }
    // The item of an offered count.
    QAction* actionForCount(std::int64_t count) const;
    // What choosing the item of `count` does.
    void choose(std::int64_t count);

protected:
    void paintEvent(QPaintEvent* event) override;
    QSize sizeHint() const override;

private:
    void refresh();

    TidewellAppModel& model_;
    std::string deviceID_;
    std::int64_t channelCount_;
    QMenu* menu_;
};

}  // namespace tidewell
