// The main window's size, on a 1920 x 1080 screen (this program's offscreen screen): the first
// opening is large enough for the demonstration device's editor to show every name whole; the
// size the user leaves the window at is the next opening's; the screen bounds a remembered size
// and the minimum holds; nothing is kept once uninstalling has begun or for a screenshot.

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

#include "EditorWindowFixture.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/MainWindowSize.h"
#include "TidewellApp/WindowScreenshot.h"

namespace tidewell::testing {
namespace {

const QSize screenSize(1920, 1080);
const QSize minimumSize(TidewellMainWindow::minimumWidth, TidewellMainWindow::minimumHeight);

class WindowSizeTest : public EditorWindowTest {
 protected:
  // Shows the window as the application does: at the size it was given for its opening.
  void showAsOpened() {
    window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
    ASSERT_NE(editor(), nullptr);
    QApplication::processEvents();
  }
  QString stored() {
    return QSettings(preferencesFile, QSettings::IniFormat).value(MainWindowSize::preferenceKey).toString();
  }
  void store(const QString& value) {
    QSettings settings(preferencesFile, QSettings::IniFormat);
    settings.setValue(MainWindowSize::preferenceKey, value);
  }
  QStringList cutNames() {
    QStringList cut;
    for (ElidingLabel* label : editor()->findChildren<ElidingLabel*>())
      if (label->isVisible() && label->isElided()) cut << label->text();
    return cut;
  }
};

// Fault mended: the window opened at its minimum frame, where the demonstration device's
// channel rows read "Cha…" and the source cards "Built-in Mic…" and "Example Pl…".
TEST_F(WindowSizeTest, TheFirstOpeningShowsTheEditorWholeWhereTheScreenAllows) {
  ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry().size(), screenSize);
  for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
    SCOPED_TRACE(test::schemeName(scheme).toStdString());
    test::useScheme(scheme);
    create();
    const QSize opening = window().size();
    EXPECT_GT(opening.width(), minimumSize.width());
    EXPECT_GE(opening.height(), minimumSize.height());
    EXPECT_LE(opening.width(), screenSize.width());
    EXPECT_LE(opening.height(), screenSize.height());
    showAsOpened();
    EXPECT_EQ(window().size(), opening);
    EXPECT_FALSE(editor()->scrollArea()->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(editor()->scrollArea()->verticalScrollBar()->isVisible());
    EXPECT_TRUE(cutNames().isEmpty()) << cutNames().join(", ").toStdString();
    test::saveArtifact(test::grabShown(window()),
                       QStringLiteral("editor-window-first-opening-%1x%2-").arg(opening.width()).arg(opening.height()) +
                           test::schemeName(scheme));
    app.reset();
  }
}

// The size the user leaves the window at, when closing it or quitting, opens the next run; a
// maximised window keeps the size it had before.
TEST_F(WindowSizeTest, TheSizeTheUserLeavesTheWindowAtIsTheNextOpenings) {
  create();
  showAsOpened();
  window().resize(1300, 820);
  QApplication::processEvents();
  window().close();
  EXPECT_EQ(stored(), "1300x820");
  app.reset();

  create();
  EXPECT_EQ(window().size(), QSize(1300, 820));
  showAsOpened();
  EXPECT_EQ(window().size(), QSize(1300, 820));
  window().resize(1250, 790);
  QApplication::processEvents();
  window().showMaximized();
  QApplication::processEvents();
  ASSERT_TRUE(window().isMaximized());
  window().close();
  EXPECT_EQ(stored(), "1250x790");
  app.reset();

  // Quitting closes the window too.
  create();
  showAsOpened();
  window().resize(1400, 900);
  QApplication::processEvents();
  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  EXPECT_EQ(stored(), "1400x900");
}

// What the preference holds is bounded as the window is: by the screen and by the minimum. A
// value that is no size (a hand edit, a damaged file) gives the first opening's size.
TEST_F(WindowSizeTest, ARememberedSizeIsBoundedByTheScreenAndTheMinimum) {
  create();
  const QSize fitting = window().size();
  app.reset();
  for (const auto& [text, expected] :
       std::vector<std::pair<QString, QSize>>{{"5000x3000", screenSize},
                                              {"300x200", minimumSize},
                                              {"2400x700", QSize(screenSize.width(), 700)},
                                              {"wide", fitting},
                                              {"0x0", fitting},
                                              {"-1300x820", fitting},
                                              {"99999999x820", fitting}}) {
    store(text);
    create();
    EXPECT_EQ(window().size(), expected) << text.toStdString();
    app.reset();
  }
}

// Once uninstalling has begun the preferences file is being removed: a window closed then
// keeps nothing. A window grown for a screenshot is not the user's size either.
TEST_F(WindowSizeTest, NothingIsKeptWhileUninstallingOrForAScreenshot) {
  store("1300x820");
  create();
  showAsOpened();
  app->model().prepareForUninstall();
  window().resize(1500, 900);
  QApplication::processEvents();
  window().close();
  EXPECT_EQ(stored(), "1300x820");
  app.reset();

  play();  // live meters: the picture is written once they have risen
  create();
  const QString file = folder.path() + "/window.png";
  WindowScreenshot shot(*app, file);
  std::optional<bool> written;
  QObject::connect(&shot, &WindowScreenshot::finished, [&](bool ok) { written = ok; });
  window().resize(minimumSize);
  showAsOpened();
  ASSERT_TRUE(waitFor([&] { return written.has_value(); }, WindowScreenshot::meterWaitMilliseconds + 5000));
  window().close();
  EXPECT_EQ(stored(), "1300x820");
}

}  // namespace
}  // namespace tidewell::testing
