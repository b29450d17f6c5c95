#pragma once
// The plain columns of the routing canvas: one row per channel with its name, its level meter
// and its ports; the sources and monitors titled by name above their channels. Enough to
// route with; fuller columns (volumes, switches, add menus) plug in through the canvas's
// column factories.

#include "TidewellApp/RoutingCanvasView.h"

namespace tidewell {

QWidget* buildSourcesColumn(const RoutingCanvasContext& context);
QWidget* buildOutputChannelsColumn(const RoutingCanvasContext& context);
QWidget* buildMonitorsColumn(const RoutingCanvasContext& context);

// A column that builds its whole content with `build` again whenever the rows it shows (the
// items, their names and channel counts) change.
RoutingColumnFactory plainColumnFactory(std::function<QWidget*(const RoutingCanvasContext&)> build);

// A monitor's output device is present among the model's monitor outputs.
bool monitorOutputIsPresent(const TidewellAppModel& model, const MonitorConfig& monitor);

}  // namespace tidewell
