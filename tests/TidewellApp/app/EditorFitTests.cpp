// The routing editor in the application's window fits it: the demonstration device whole at
// the window's minimum size and on a large screen, in both schemes, and the picture that
// `Tidewell --screenshot` writes for scripts/run.sh.

#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <map>

#include "EditorWindowFixture.h"
#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/MonitorRow.h"
#include "TidewellApp/MonitorsColumn.h"
#include "TidewellApp/OutputChannelsColumn.h"
#include "TidewellApp/RoutingChannelRow.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/SourceRow.h"
#include "TidewellApp/SourcesColumn.h"
#include "TidewellApp/ToggleSwitch.h"
#include "TidewellApp/WindowScreenshot.h"

namespace tidewell::testing {
namespace {

// The card a channel row belongs to: its source's or its monitor's, or the output channels'.
QWidget* cardOf(QWidget* row) {
  for (QWidget* widget = row; widget; widget = widget->parentWidget()) {
    if (qobject_cast<SourceRow*>(widget) || qobject_cast<MonitorRow*>(widget) ||
        qobject_cast<OutputChannelsColumn*>(widget))
      return widget;
  }
  return nullptr;
}

// The demonstration device at the window's minimum size and on a large screen, in both
// schemes, its meters live: the header and the three columns are whole without a sideways
// scroll bar, the columns share the width 14 apart and line up with the header, every card
// spans its column, names are whole wherever their column has room for them, and the channel
// rows of a card never read the same.
TEST_F(EditorWindowTest, TheEditorFitsTheWindowFromItsMinimumSizeUp) {
  play();

  for (const QSize size : {QSize(1080, 680), QSize(1600, 1000)}) {
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
      SCOPED_TRACE(QStringLiteral("%1 x %2 %3").arg(size.width()).arg(size.height()).arg(test::schemeName(scheme)).toStdString());
      test::useScheme(scheme);
      open(size);
      QScrollArea* scroll = editor()->scrollArea();
      QWidget* viewport = scroll->viewport();
      EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
      const auto inViewport = [&](QWidget* widget, QRect rect) {
        return QRect(widget->mapTo(viewport, rect.topLeft()), rect.size());
      };
      const auto whole = [&](QWidget* widget, QRect rect) {
        const QRect shown = inViewport(widget, rect);
        return shown.left() >= 0 && shown.right() < viewport->width();
      };
      // The header, its Enabled switch included, and the columns' visible parts.
      DeviceHeaderView* header = editor()->header();
      EXPECT_TRUE(whole(header, header->rect()));
      EXPECT_TRUE(header->enabledSwitch()->isVisible());
      EXPECT_TRUE(whole(header->enabledSwitch(), header->enabledSwitch()->rect()));
      // Each column keeps room beside its cards for their shadows.
      const QMargins shadow = GlassCard::shadowMargins();
      const QMargins overhang(shadow.left(), 0, shadow.right(), 0);
      QList<QRect> columns;
      for (RoutingCanvasColumn* column : canvas()->columns())
        columns.append(inViewport(column, column->rect().marginsRemoved(overhang)));
      ASSERT_EQ(columns.size(), 3);
      const QRect headerShown = inViewport(header, header->rect());
      EXPECT_EQ(columns.first().left(), headerShown.left());
      EXPECT_EQ(columns.last().right(), headerShown.right());
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(columns[i].width(), columns[0].width(), 1) << i;
        if (i > 0) {
          EXPECT_EQ(columns[i].left() - columns[i - 1].right() - 1, RoutingCanvasView::columnSpacing) << i;
        }
      }
      // Every card fills its column's width.
      const auto spans = [&](QWidget* card, QRect visible, int column) {
        const QRect shown = inViewport(card, visible);
        EXPECT_EQ(shown.left(), columns[column].left()) << card->objectName().toStdString();
        EXPECT_EQ(shown.right(), columns[column].right()) << card->objectName().toStdString();
      };
      auto* sources = qobject_cast<SourcesColumn*>(canvas()->columns()[0]);
      auto* outputs = qobject_cast<OutputChannelsColumn*>(canvas()->columns()[1]);
      auto* monitors = qobject_cast<MonitorsColumn*>(canvas()->columns()[2]);
      ASSERT_TRUE(sources && outputs && monitors);
      ASSERT_EQ(sources->rows().size(), 3);
      for (SourceRow* row : sources->rows()) spans(row, row->rect(), 0);
      spans(outputs->card(), outputs->card()->cardRect(), 1);
      ASSERT_EQ(monitors->rows().size(), 1);
      spans(monitors->rows()[0], monitors->rows()[0]->rect(), 2);

      // Names: at the minimum size a third of the editor is about 240 wide, room for the
      // monitor's and the device's names but not for the longer source names or the channel
      // names beside the meters; on the large screen nothing is cut.
      QStringList cut;
      for (ElidingLabel* label : editor()->findChildren<ElidingLabel*>())
        if (label->isVisible() && label->isElided()) cut << label->text();
      if (size.width() >= 1400) {
        EXPECT_TRUE(cut.isEmpty()) << cut.join(", ").toStdString();
      } else {
        for (const QString name : {"Pass-Thru", "Tidewell Demo Virtual Audio", "Built-in Output", "Sources",
                                   "Output Channels", "Monitors"})
          EXPECT_FALSE(cut.contains(name)) << name.toStdString();
      }

      // However narrow their names, the channel rows of a card read differently: a name that
      // is cut keeps the channel's number and side.
      std::map<QWidget*, QStringList> shownByCard;
      for (RoutingChannelRow* row : editor()->findChildren<RoutingChannelRow*>()) {
        if (!row->isVisible()) continue;
        const QString shown = row->titleLabel()->displayedText();
        const QRegularExpressionMatch numberAndSide = QRegularExpression("\\d+( \\([LR]\\))?$").match(row->title());
        ASSERT_TRUE(numberAndSide.hasMatch()) << row->title().toStdString();
        EXPECT_TRUE(shown.endsWith(numberAndSide.captured())) << shown.toStdString() << " for " << row->title().toStdString();
        shownByCard[cardOf(row)] << shown;
      }
      EXPECT_EQ(shownByCard.size(), 3u + 1u + 1u) << "three sources, the outputs, the monitor";
      for (const auto& [card, shown] : shownByCard)
        EXPECT_EQ(QSet<QString>(shown.begin(), shown.end()).size(), shown.size()) << shown.join(", ").toStdString();

      // Live meters in the picture.
      ASSERT_TRUE(waitFor([&] {
        const auto views = editor()->findChildren<RoutingMeterView*>();
        return std::all_of(views.begin(), views.end(), [](RoutingMeterView* meter) {
          return !meter->isActive() || meter->shownState().barWidth > 0;
        }) && std::any_of(views.begin(), views.end(), [](RoutingMeterView* meter) { return meter->isActive(); });
      }));
      const QImage image = test::grabShown(window());
      test::saveArtifact(image, QStringLiteral("editor-window-demo-%1x%2-").arg(size.width()).arg(size.height()) +
                                    test::schemeName(scheme));
      app.reset();
    }
  }
}

// Tidewell --screenshot: the picture shows the whole editor, every scroll bar gone and no name
// cut, and the meters that carry sound with their levels.
TEST_F(EditorWindowTest, TheScreenshotShowsTheWholeEditorWithLiveMeters) {
  test::useScheme(ColorScheme::dark);
  play();
  create();
  const QString file = folder.path() + "/window.png";
  WindowScreenshot shot(*app, file);
  std::optional<bool> written;
  QObject::connect(&shot, &WindowScreenshot::finished, [&](bool ok) { written = ok; });
  show(QSize(TidewellMainWindow::minimumWidth, TidewellMainWindow::minimumHeight));
  ASSERT_TRUE(waitFor([&] { return written.has_value(); }, WindowScreenshot::meterWaitMilliseconds + 5000));
  ASSERT_TRUE(*written);
  const QImage image(file);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size() / image.devicePixelRatio(), window().size());
  test::saveArtifact(image, "editor-window-screenshot-dark");

  // The whole editor.
  QScrollArea* scroll = editor()->scrollArea();
  EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
  EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
  QStringList cut;
  for (ElidingLabel* label : editor()->findChildren<ElidingLabel*>())
    if (label->isVisible() && label->isElided()) cut << label->text();
  EXPECT_TRUE(cut.isEmpty()) << cut.join(", ").toStdString();

  // Every meter that reads a level shows it, in the picture too: green at its left end.
  const auto views = editor()->findChildren<RoutingMeterView*>();
  const auto active = std::count_if(views.begin(), views.end(), [](RoutingMeterView* meter) { return meter->isActive(); });
  EXPECT_GT(active, 0);
  EXPECT_EQ(shot.liveMeters(), active);
  for (RoutingMeterView* meter : views) {
    if (!meter->isActive()) continue;
    const QPoint left = meter->mapTo(&window(), QPoint(meter->height() + 2, meter->height() / 2));
    const QColor colour = image.pixelColor(left * image.devicePixelRatio());
    EXPECT_TRUE(colour.green() > colour.red() + 40 && colour.green() > colour.blue() + 40)
        << meter->ownerID() << " " << colour.name().toStdString();
  }
}

}  // namespace
}  // namespace tidewell::testing
