#pragma once
// The plain columns of the routing canvas: one row per channel with its name, its level meter
// and its ports; the sources and monitors titled by name above their channels. Enough to
// route with; fuller rows (volumes, switches, add menus) plug in through the canvas's column
// builders.

#include "TidewellApp/RoutingCanvasView.h"

namespace tidewell {

QWidget* buildSourcesColumn(const RoutingCanvasContext& context);
QWidget* buildOutputChannelsColumn(const RoutingCanvasContext& context);
QWidget* buildMonitorsColumn(const RoutingCanvasContext& context);

// A monitor's output device is present among the model's monitor outputs.
bool monitorOutputIsPresent(const TidewellAppModel& model, const MonitorConfig& monitor);

}  // namespace tidewell
