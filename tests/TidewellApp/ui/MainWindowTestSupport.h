#pragma once
// A model over fakes in a temporary folder, for the main window's widget tests, and the
// helpers they share.

#include "../model/ModelTestSupport.h"
#include "UiTestSupport.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/TidewellMeterModel.h"

#include <QAbstractButton>
#include <QTest>
#include <QWidget>

namespace tidewell::test {

class MainWindowTest : public tidewell::testing::ModelTest {
 protected:
  // Meters for the editor's canvas; never started, so every level reads as silence.
  std::unique_ptr<TidewellMeterModel> meters;

  void SetUp() override {
    tidewell::testing::ModelTest::SetUp();
    meters = std::make_unique<TidewellMeterModel>(std::make_shared<MeterTap>(), environment());
  }

  // Three saved devices; the second is disabled with 8 channels.
  void writeThreeDevices(std::optional<std::string> selected = std::nullopt) {
    auto desk = tidewell::testing::makeDevice("desk", "Desk");
    auto stream = tidewell::testing::makeDevice("stream", "Stream");
    stream.enabled = false;
    stream.channelCount = 8;
    stream.icon = "music.note";
    auto game = tidewell::testing::makeDevice("game", "Game Chat");
    game.icon = "gamecontroller.circle";
    writeConfig({desk, stream, game}, std::move(selected));
  }

  template <class Condition>
  static bool waitFor(Condition condition, int limitMilliseconds = 5000) {
    return tidewell::testing::waitFor(condition, limitMilliseconds);
  }
};

// Clicks the middle of a widget.
inline void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center()); }

}  // namespace tidewell::test
