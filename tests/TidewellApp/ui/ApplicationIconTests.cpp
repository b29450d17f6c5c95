// Where an application's icon comes from: the running process's desktop entry, then the
// installed application's desktop entry, then the generic icon; and how the square is drawn.
// Desktop entries and icons live in private XDG data folders.

#include "DesktopEntryFolders.h"
#include "UiTestSupport.h"

#include "TidewellApp/ApplicationIcon.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QProcess>
#include <QTemporaryDir>

namespace tidewell {
namespace {

class ApplicationIconTest : public ::testing::Test, public test::DesktopEntryFolders {};

TEST_F(ApplicationIconTest, TheRunningProcessComesFirstThenTheInstalledApplicationThenTheGenericIcon) {
    const QString red = picture(system.path() + "/red.png", Qt::red);
    const QString processEntry = desktopEntry(system.path() + "/launched.desktop", red);
    // Installed: by desktop-file id, its icon named and found among the data folders' pixmaps.
    picture(system.path() + "/pixmaps/tidewell-test-green.png", Qt::green);
    desktopEntry(home.path() + "/applications/org.example.Green.desktop", "tidewell-test-green");

    auto child = runningChild(processEntry);
    const std::int32_t pid = std::int32_t(child->processId());
    EXPECT_EQ(centre(ApplicationIconResolver::icon("org.example.Green", pid)), QColor(Qt::red));

    // A pid whose process has quit falls back to the installed application.
    child->kill();
    ASSERT_TRUE(child->waitForFinished(5000));
    EXPECT_TRUE(ApplicationIconResolver::iconOfProcess(pid).isNull());
    EXPECT_EQ(centre(ApplicationIconResolver::icon("org.example.Green", pid)), QColor(Qt::green));

    // Neither running nor installed: the generic icon, never a null one.
    const QIcon generic = ApplicationIconResolver::icon("org.example.Missing", pid);
    ASSERT_FALSE(generic.isNull());
    EXPECT_EQ(generic.pixmap(32).toImage(), ApplicationIconResolver::genericIcon().pixmap(32).toImage());
    EXPECT_FALSE(ApplicationIconResolver::icon(std::nullopt, std::nullopt).isNull());
}

TEST_F(ApplicationIconTest, AProcessIsFoundByItsProgramWhenNoLauncherNamedTheEntry) {
    const QString blue = picture(system.path() + "/blue.png", Qt::blue);
    desktopEntry(system.path() + "/applications/sleeper.desktop", blue, "/usr/bin/sleep %U");
    auto child = runningChild(QString());
    EXPECT_EQ(centre(ApplicationIconResolver::iconOfProcess(std::int32_t(child->processId()))), QColor(Qt::blue));
    child->kill();
    child->waitForFinished(5000);
}

// Fault mended: every lookup read every desktop entry of every applications folder, so each
// opening of the add-source menu read them all again for each running application, on the
// main thread. They are read once now, and again only once a folder has changed.
TEST_F(ApplicationIconTest, TheEntriesAreReadOnceAndAgainWhenAFolderChanges) {
    const QString blue = picture(system.path() + "/blue.png", Qt::blue);
    const QString green = picture(system.path() + "/green.png", Qt::green);
    const QString entry = desktopEntry(system.path() + "/applications/sleeper.desktop", blue, "/usr/bin/sleep %U");
    auto child = runningChild(QString());
    const std::int32_t pid = std::int32_t(child->processId());
    EXPECT_EQ(centre(ApplicationIconResolver::iconOfProcess(pid)), QColor(Qt::blue));

    // Rewritten in place, the folder unchanged: nothing is read again.
    desktopEntry(entry, green, "/usr/bin/sleep %U");
    EXPECT_EQ(centre(ApplicationIconResolver::iconOfProcess(pid)), QColor(Qt::blue));

    // An entry installed beside it changes the folder: everything is read again.
    desktopEntry(system.path() + "/applications/other.desktop", green, "other");
    // (A file system may stamp the folder with the clock's coarse tick of the first read.)
    const std::filesystem::path folder = (system.path() + "/applications").toStdString();
    std::filesystem::last_write_time(folder, std::filesystem::last_write_time(folder) + std::chrono::seconds(5));
    EXPECT_EQ(centre(ApplicationIconResolver::iconOfProcess(pid)), QColor(Qt::green));
    // So is another set of folders.
    QTemporaryDir elsewhere;
    QDir(elsewhere.path()).mkpath("applications");
    qputenv("XDG_DATA_DIRS", elsewhere.path().toLocal8Bit());
    EXPECT_TRUE(ApplicationIconResolver::iconOfProcess(pid).isNull());
    child->kill();
    child->waitForFinished(5000);
}

TEST_F(ApplicationIconTest, BrokenEntriesAndUnsafeIdentifiersFallThrough) {
    // An entry naming a missing file, an entry without an icon, an id with a path in it.
    desktopEntry(system.path() + "/applications/org.example.Gone.desktop", system.path() + "/gone.png");
    QFile bare(system.path() + "/applications/org.example.Bare.desktop");
    ASSERT_TRUE(bare.open(QIODevice::WriteOnly));
    bare.write("[Desktop Entry]\nName=Bare\n");
    bare.close();
    picture(system.path() + "/applications/escape.png", Qt::red);
    EXPECT_TRUE(ApplicationIconResolver::iconOfInstalledApplication("org.example.Gone").isNull());
    EXPECT_TRUE(ApplicationIconResolver::iconOfInstalledApplication("org.example.Bare").isNull());
    EXPECT_TRUE(ApplicationIconResolver::iconOfInstalledApplication("../applications/org.example.Gone").isNull());
    EXPECT_TRUE(ApplicationIconResolver::iconOfInstalledApplication("").isNull());
    EXPECT_TRUE(ApplicationIconResolver::iconOfProcess(-1).isNull());
    EXPECT_FALSE(ApplicationIconResolver::icon("org.example.Gone", std::nullopt).isNull());
}

TEST_F(ApplicationIconTest, TheSquareFitsTheImageAndRoundsItsCorners) {
    EXPECT_DOUBLE_EQ(ApplicationIcon::cornerRadius(18), 18 * 0.18);
    EXPECT_DOUBLE_EQ(ApplicationIcon::cornerRadius(15), 3);
    EXPECT_DOUBLE_EQ(ApplicationIcon::cornerRadius(40), 40 * 0.18);

    const QIcon square(picture(system.path() + "/square.png", Qt::red));
    const QImage drawn = ApplicationIcon::pixmap(square, 40).toImage();
    ASSERT_EQ(drawn.size(), QSize(40, 40));
    EXPECT_EQ(qAlpha(drawn.pixel(0, 0)), 0);        // rounded corner
    EXPECT_EQ(qAlpha(drawn.pixel(39, 39)), 0);
    EXPECT_EQ(qAlpha(drawn.pixel(20, 0)), 255);     // straight edge
    EXPECT_EQ(drawn.pixelColor(20, 20), QColor(Qt::red));

    // A wide image is fitted and centred: empty bands above and below.
    const QIcon wide(picture(system.path() + "/wide.png", Qt::green, {64, 32}));
    const QImage fitted = ApplicationIcon::pixmap(wide, 40).toImage();
    EXPECT_EQ(qAlpha(fitted.pixel(20, 4)), 0);
    EXPECT_EQ(qAlpha(fitted.pixel(20, 20)), 255);
    EXPECT_EQ(qAlpha(fitted.pixel(20, 36)), 0);

    // At a pixel ratio of 2 the square has twice the pixels.
    EXPECT_EQ(ApplicationIcon::pixmap(square, 18, 2.0).size(), QSize(36, 36));

    ApplicationIcon view(std::nullopt, std::nullopt, 18);
    EXPECT_EQ(view.size(), QSize(18, 18));
    EXPECT_FALSE(view.icon().isNull());
}

}  // namespace
}  // namespace tidewell
