// What the uninstaller may remove: only the product's own shared-memory regions of this user,
// and only the product's own names in the user's folders, whatever the XDG variables say and
// wherever symbolic links lead.

#include "AppUninstallerTestSupport.h"

namespace tidewell::testing {
namespace {

TEST_F(AppUninstallerTest, OwnSharedMemoryNamesAreTheRuntimeControlAndMeterRegionsOnly) {
  for (const char* own : {"twruntime3", "twc0123456789abcdef", "twm00000000000000ff"})
    EXPECT_TRUE(AppUninstaller::isOwnSharedMemoryName(own)) << own;
  for (const char* other : {"twruntime2", "twruntime3x", "twc0123456789ABCDEF", "twm0123456789abcde",
                            "twm0123456789abcdef0", "twx0123456789abcdef", "twc", "", "pulse-shm-1",
                            "sem.twc0123456789abcdef"})
    EXPECT_FALSE(AppUninstaller::isOwnSharedMemoryName(other)) << other;
}

TEST_F(AppUninstallerTest, OnlyThisUsersRegionsAreRemoved) {
  QTemporaryDir shm;
  for (const char* name : {"twruntime3", "twc0123456789abcdef", "twm00000000000000ff", "twm0000000000000001",
                           "pulse-shm-1"}) {
    QFile file(shm.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QFile::link(shm.filePath("twruntime3"), shm.filePath("twc00000000000000aa")));
  QStringList expected{"twc0123456789abcdef", "twm0000000000000001", "twm00000000000000ff", "twruntime3"};
  if (::geteuid() == 0) {
    // Another user's meter region, as a root uninstall meets it.
    ASSERT_EQ(::chown(shm.filePath("twm00000000000000ff").toLocal8Bit().constData(), 65534, 65534), 0);
    expected.removeAll("twm00000000000000ff");
  }
  EXPECT_EQ(AppUninstaller::ownSharedMemoryEntries(shm.path()), expected);
  EXPECT_EQ(AppUninstaller::ownSharedMemoryEntries(shm.filePath("none")), QStringList());
}

TEST_F(AppUninstallerTest, EveryRemovedPathIsTheProductsOwnNameInItsOwnFolder) {
  for (const QString& bad : {QString(), QString("."), QString(".."), QString("a/b"), QString("/")})
    EXPECT_EQ(AppUninstaller::effectiveBundleIdentifier(bad), "app.tidewell.main") << bad.toStdString();
  EXPECT_EQ(AppUninstaller::effectiveBundleIdentifier("org.example.tw"), "org.example.tw");

  auto s = setup();
  for (const QString& identifier : {QString(), QString("."), QString(".."), QString("../..")}) {
    s.bundleIdentifier = identifier;
    AppUninstaller uninstaller(s);
    for (const auto& item : uninstaller.userDataItems()) {
      EXPECT_TRUE(uninstaller.isRemovable(item)) << item.path.toStdString();
      EXPECT_TRUE(item.path.startsWith(home.path() + "/")) << item.path.toStdString();
      // The same name anywhere else is not the product's.
      for (const QString& elsewhere : {home.path() + "/cache/" + QFileInfo(item.path).fileName(), QString("Tidewell"),
                                       item.base + "/x/" + QFileInfo(item.path).fileName(), item.base})
        EXPECT_FALSE(uninstaller.isRemovable({elsewhere, item.isPreferences, item.base}) && elsewhere != item.path)
            << elsewhere.toStdString();
    }
  }

  // An empty identifier leaves the rest of the caches folder alone.
  touch(home.path() + "/cache/other-app/keep");
  touch(home.path() + "/cache/app.tidewell.main/c");
  s.bundleIdentifier = "";
  auto model = makeModel();
  auto uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_TRUE(QFileInfo::exists(home.path() + "/cache/other-app/keep"));
  EXPECT_FALSE(QFileInfo::exists(home.path() + "/cache/app.tidewell.main"));
}

// The standard removal, with the folders as odd environments give them: on the real file
// system of a throwaway home.
TEST_F(AppUninstallerTest, AnXdgFolderThatIsTheHomeKeepsTheUsersOwnFolders) {
  qputenv("XDG_STATE_HOME", home.path().toUtf8());
  const QString notes = home.path() + "/Tidewell/notes.txt";
  touch(notes);
  touch(home.path() + "/Zellvane/keep");
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  touch(l.appSupport + "/config.json");
  auto s = setup();
  s.removeItem = AppUninstallerSetup::standard().removeItem;
  auto model = makeModel();
  auto uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1 || !uninstaller->phase().isRunning(); }, 20000));
  EXPECT_EQ(uninstaller->phase(),
            Phase::failed("Could not remove " + home.path() + "/Tidewell: it is not a folder of this application.\n" +
                          "Could not remove " + home.path() + "/Zellvane: it is not a folder of this application."));
  EXPECT_TRUE(QFileInfo(notes).isFile());
  EXPECT_TRUE(QFileInfo(home.path() + "/Zellvane/keep").isFile());
  EXPECT_FALSE(QFileInfo::exists(l.appSupport)) << "the data folder is still the product's";
  EXPECT_EQ(terminations, 0);

  // The home by another name, through a symbolic link, and the root the same way.
  QTemporaryDir links;
  ASSERT_TRUE(QFile::link(home.path(), links.filePath("home")));
  ASSERT_TRUE(QFile::link("/", links.filePath("root")));
  for (const QString& alias : {links.filePath("home"), links.filePath("root")}) {
    qputenv("XDG_STATE_HOME", alias.toUtf8());
    AppUninstaller aliased(s);
    int refused = 0;
    for (const auto& item : aliased.userDataItems()) {
      if (item.base != alias) continue;
      EXPECT_FALSE(aliased.isRemovable(item)) << item.path.toStdString();
      ++refused;
    }
    EXPECT_GT(refused, 0) << alias.toStdString();
  }

  // The configuration folder set to the home: the preferences' folder is the one named rule.
  qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());
  qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  AppUninstaller check(s);
  const auto items = check.userDataItems();
  EXPECT_EQ(items.back().path, home.path() + "/Tidewell/Tidewell.conf");
  EXPECT_FALSE(check.isRemovable(items.back()));
  // Without a preferences file there, the folder is not removed either, even when empty.
  QFile::remove(notes);
  ASSERT_EQ(QDir(home.path() + "/Tidewell").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
  QDir(home.path() + "/Zellvane").removeRecursively();
  auto again = makeUninstaller(s);
  again->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1 || !again->phase().isRunning(); }, 20000));
  EXPECT_EQ(terminations, 1) << again->phase().message.toStdString();
  EXPECT_TRUE(QFileInfo(home.path() + "/Tidewell").isDir());
}

TEST_F(AppUninstallerTest, AnXdgFolderThatIsTheRootNamesNothingToRemove) {
  for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
    qputenv(name, "/");
    AppUninstaller uninstaller(setup());
    int refused = 0;
    for (const auto& item : uninstaller.userDataItems()) {
      if (QFileInfo(item.path).path() != "/" && QFileInfo(QFileInfo(item.path).path()).path() != "/") continue;
      EXPECT_FALSE(uninstaller.isRemovable(item)) << name << " " << item.path.toStdString();
      ++refused;
    }
    EXPECT_GT(refused, 0) << name;
    qputenv(name, (home.path() + "/elsewhere").toUtf8());
  }
}

TEST_F(AppUninstallerTest, ARelativeHomeIsResolvedAsEverywhereSoTheGuardPassesThePreferences) {
  if (UserDataFolder::homeDirectory().empty()) GTEST_SKIP() << "no home in the password database";
  // No run here: with HOME relative, the agent definitions resolve to the real home's.
  QTemporaryDir work;
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(work.path()));
  touch(work.path() + "/relhome/.config/Tidewell/Tidewell.conf");
  qputenv("HOME", "relhome");
  qunsetenv("XDG_CONFIG_HOME");
  const QString resolved = QString::fromStdString(UserDataFolder::homeDirectory().string());
  const QString preferences = SettingsPreferences::defaultFilePath();
  AppUninstaller uninstaller(setup());
  const auto items = uninstaller.userDataItems();
  QDir::setCurrent(before);
  EXPECT_EQ(preferences, resolved + "/.config/Tidewell/Tidewell.conf");
  ASSERT_TRUE(items.back().isPreferences);
  EXPECT_EQ(items.back().path, preferences);
  EXPECT_EQ(xdgFolder("XDG_CONFIG_HOME", ".config"), resolved + "/.config");
  // Every item, the preferences too, is one the guard lets go: a run can finish.
  for (const auto& item : items) {
    EXPECT_TRUE(QDir::isAbsolutePath(item.path)) << item.path.toStdString();
    EXPECT_TRUE(uninstaller.isRemovable(item)) << item.path.toStdString();
  }
}

TEST_F(AppUninstallerTest, SymbolicLinksAtRemovedPathsGoThemselvesAndTheirTargetsStay) {
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  const QString outside = home.path() + "/elsewhere";
  touch(outside + "/precious");
  ASSERT_TRUE(QDir().mkpath(home.path() + "/data"));
  ASSERT_TRUE(QDir().mkpath(home.path() + "/cache"));
  ASSERT_TRUE(QFile::link(outside, l.appSupport));
  ASSERT_TRUE(QFile::link(outside + "/precious", home.path() + "/cache/app.tidewell.main"));
  auto s = setup();
  s.removeItem = AppUninstallerSetup::standard().removeItem;
  auto model = makeModel();
  auto uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000)) << uninstaller->phase().message.toStdString();
  EXPECT_FALSE(QFileInfo(l.appSupport).isSymLink());
  EXPECT_FALSE(QFileInfo(home.path() + "/cache/app.tidewell.main").isSymLink());
  EXPECT_TRUE(QFileInfo(outside + "/precious").isFile());
}

}  // namespace
}  // namespace tidewell::testing
