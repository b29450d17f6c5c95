// The installer against crafted bundles and scripted services: the status table, the install
// command, and the install's course through success and every failure.
#include <TidewellApp/DriverInstaller.h>

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "DriverInstallerTestSupport.h"

using namespace tidewell;
using namespace tidewell::testing;
using Kind = DriverInstallStatus::Kind;

namespace {

class DriverStatusTest : public ::testing::Test {
 protected:
  QTemporaryDir root;
  QString carried = root.filePath("share/TidewellHAL.driver");
  QString folder = root.filePath("HAL");
  QString installed = folder + "/TidewellHAL.driver";

  DriverInstallStatus status() {
    DriverInstallerSetup setup;
    setup.carriedBundle = carried;
    setup.plugInFolder = folder;
    DriverInstaller installer(setup);
    QSignalSpy changed(&installer, &DriverInstaller::statusChanged);
    EXPECT_EQ(installer.status(), DriverInstallStatus::unknown());
    installer.refresh();
    EXPECT_EQ(changed.count(), 1);
    return installer.status();
  }
};

TEST_F(DriverStatusTest, CarriedBundleAbsentOrWithoutVersionIsMissing) {
  EXPECT_EQ(status().kind, Kind::bundleMissing);
  writeBundle(carried, {{"CFBundleShortVersionString", "1.4"}});  // no CFBundleVersion
  writeBundle(installed, bundleValues("1.4", "212"));
  EXPECT_EQ(status().kind, Kind::bundleMissing);
}

TEST_F(DriverStatusTest, InstalledCopyAbsentOrUnreadableIsNotInstalled) {
  writeBundle(carried, bundleValues("1.4", "212", "H1"));
  EXPECT_EQ(status().kind, Kind::notInstalled);
  ASSERT_TRUE(QDir().mkpath(installed + "/Contents"));
  QFile broken(installed + "/Contents/Info.plist");
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("<plist><dict><key>CFBundleVersion</key><string>212</string><dict>");  // cut short
  broken.close();
  EXPECT_EQ(status().kind, Kind::notInstalled);
}

TEST_F(DriverStatusTest, HashesDecideWhenBothHaveOne) {
  writeBundle(carried, bundleValues("1.5", "300", "SAME"));
  writeBundle(installed, bundleValues("1.4", "212", "SAME"));
  EXPECT_EQ(status(), DriverInstallStatus::upToDate());
  writeBundle(installed, bundleValues("1.5", "300", "OTHER"));
  EXPECT_EQ(status(), DriverInstallStatus::outdated("1.5 (300)", "1.5 (300)"));
}

TEST_F(DriverStatusTest, VersionTextsDecideWithoutBothHashes) {
  writeBundle(carried, bundleValues("1.5", "300", "H"));  // only the carried one has a hash
  writeBundle(installed, bundleValues("1.5", "300"));
  EXPECT_EQ(status(), DriverInstallStatus::upToDate());
  writeBundle(installed, bundleValues("1.4", "212"));
  EXPECT_EQ(status(), DriverInstallStatus::outdated("1.4 (212)", "1.5 (300)"));
  writeBundle(carried, bundleValues("1.5", "300"));
  writeBundle(installed, bundleValues("1.4", "212", "H"));
  EXPECT_EQ(status(), DriverInstallStatus::outdated("1.4 (212)", "1.5 (300)"));
}

TEST(DriverBundleInfo, ReadsTheXMLPropertyListAndRefusesOthers) {
  QTemporaryDir root;
  QString bundle = root.filePath("B.driver");
  writeBundle(bundle, bundleValues("2.0", "7", "abc"));
  auto info = DriverInstaller::infoPlist(bundle);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->value("CFBundleVersion").toString(), "7");
  EXPECT_EQ(info->value("Count").toLongLong(), 3);
  EXPECT_EQ(info->value("On").toBool(), true);
  EXPECT_EQ(info->value("CFPlugInTypes").toMap().value("T").toList().value(0).toString(), "F");
  EXPECT_EQ(DriverInstaller::version(bundle), QString("2.0 (7)"));
  EXPECT_EQ(DriverInstaller::contentHash(bundle), QString("abc"));

  QFile file(bundle + "/Contents/Info.plist");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("<plist><array><string>x</string></array></plist>");  // not a dictionary
  file.close();
  EXPECT_FALSE(DriverInstaller::infoPlist(bundle));
  // A number where a text is expected counts as absent.
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("<plist><dict><key>CFBundleShortVersionString</key><string>1</string>"
             "<key>CFBundleVersion</key><integer>2</integer></dict></plist>");
  file.close();
  EXPECT_FALSE(DriverInstaller::version(bundle));
}

TEST(DriverInstallCommand, RemovesCopiesChecksOwnsAndRenamesStepByStep) {
  const QString staging = "'/usr/local/lib/audioserver/Plug-Ins/HAL/.TidewellHAL.installing'";
  const QString copy = "'/usr/local/lib/audioserver/Plug-Ins/HAL/.TidewellHAL.installing/TidewellHAL.driver'";
  const QString bundle = "The plug-in bundle /opt/Tidewell/share/tidewell/TidewellHAL.driver";
  EXPECT_EQ(DriverInstaller::adminInstallCommand("/opt/Tidewell/share/tidewell/TidewellHAL.driver",
                                                 "/usr/local/lib/audioserver/Plug-Ins/HAL"),
            "rm -rf -- '/usr/local/lib/audioserver/Plug-Ins/HAL/ZellvaneHAL.driver' && "
            "rm -rf -- " + staging + " && "
            "mkdir -p -- '/usr/local/lib/audioserver/Plug-Ins/HAL' && "
            "mkdir -m 0700 -- " + staging + " && "
            "cp -R -- '/opt/Tidewell/share/tidewell/TidewellHAL.driver' " + copy + " && "
            "{ [ -d " + copy + " ] && [ ! -h " + copy + " ] || { echo '" + bundle + " is not a folder.' >&2; false; }; } && "
            "{ [ -z \"$(find " + copy + " ! -type f ! -type d ! -type l -print)\" ] || { echo '" + bundle +
            " holds something other than files, folders and links.' >&2; false; }; } && "
            "{ find " + copy + " -type l -exec sh -c 'for l do case $(readlink -- \"$l\") in /*) exit 1;; esac; "
            "case $(readlink -m -- \"$l\") in \"$0\"|\"$0\"/*) ;; *) exit 1;; esac; done' \"$(readlink -f -- " + copy +
            ")\" {} + || { echo '" + bundle + " holds a link that leads out of it.' >&2; false; }; } && "
            "chown -R -h root:root -- " + copy + " && "
            "chmod -R go-w,ug-s -- " + copy + " && "
            "{ [ -z \"$(find " + copy + " \\( ! -user 0 -o ! -group 0 -o \\( ! -type l -perm /6022 \\) \\) -print)\" ] || "
            "{ echo 'The copy of the plug-in bundle /opt/Tidewell/share/tidewell/TidewellHAL.driver is not root'\\''s alone.' >&2; false; }; } && "
            "rm -rf -- '/usr/local/lib/audioserver/Plug-Ins/HAL/TidewellHAL.driver' && "
            "mv -T -- " + copy + " '/usr/local/lib/audioserver/Plug-Ins/HAL/TidewellHAL.driver' && "
            "rmdir -- " + staging);
  // A quote in a path stays inside its word; a trailing slash of the folder is dropped.
  QString command = DriverInstaller::adminInstallCommand("/home/o'neil/T.driver", "/x/HAL/");
  EXPECT_TRUE(command.contains("cp -R -- '/home/o'\\''neil/T.driver' '/x/HAL/.TidewellHAL.installing/TidewellHAL.driver'"))
      << command.toStdString();
}

TEST(DriverInstallCommand, ReplacesTheBundleWholeAndLeavesNothingElse) {
  if (::geteuid() != 0) GTEST_SKIP() << "the command changes ownership to root";
  QTemporaryDir root;
  // Names that read as options, and an old bundle with a file the new one lacks.
  const QString carried = root.filePath("-carried/TidewellHAL.driver");
  const QString folder = root.filePath("-HAL");
  writeBundle(carried, bundleValues("1.5", "300", "NEW"));
  writeBundle(folder + "/TidewellHAL.driver", bundleValues("1.4", "200", "OLD"));
  QFile stale(folder + "/TidewellHAL.driver/Contents/stale");
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  PrivilegedCommand::Environment direct;
  direct.isRoot = true;
  ASSERT_NO_THROW(PrivilegedCommand::run(DriverInstaller::adminInstallCommand(carried, folder), "prompt", direct));
  EXPECT_EQ(DriverInstaller::contentHash(folder + "/TidewellHAL.driver"), QString("NEW"));
  EXPECT_FALSE(QFile::exists(folder + "/TidewellHAL.driver/Contents/stale"));
  EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"TidewellHAL.driver"});
  // An install cut short before the rename leaves its copy where no server loads it, and the
  // next install starts afresh.
  writeBundle(folder + "/.TidewellHAL.installing/TidewellHAL.driver/TidewellHAL.driver", bundleValues("0", "0"));
  ASSERT_NO_THROW(PrivilegedCommand::run(DriverInstaller::adminInstallCommand(carried, folder), "prompt", direct));
  EXPECT_EQ(DriverInstaller::contentHash(folder + "/TidewellHAL.driver"), QString("NEW"));
  EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"TidewellHAL.driver"});
}

// Fault mended: root's cp -R copied whatever the bundle folder held, and re-created device
// nodes: a user whose install an administrator approved could plant a world-readable raw-disk
// node (or a link out of the bundle) in the system's plug-in folder.
TEST(DriverInstallCommand, OnlyFilesFoldersAndLinksInsideTheBundleAreInstalledAndRootsAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "the command changes ownership to root";
  QTemporaryDir root;
  const QString carried = root.filePath("share/TidewellHAL.driver");
  const QString folder = root.filePath("HAL");
  PrivilegedCommand::Environment direct;
  direct.isRoot = true;
  auto install = [&]() -> QString {
    try {
      PrivilegedCommand::run(DriverInstaller::adminInstallCommand(carried, folder), "prompt", direct);
      return {};
    } catch (const DriverInstallError& e) {
      return e.text();
    }
  };
  auto fresh = [&] {
    QDir(carried).removeRecursively();
    writeBundle(carried, bundleValues("1.5", "300", "NEW"));
  };
  const QString bundle = "The plug-in bundle " + carried;
  writeBundle(folder + "/TidewellHAL.driver", bundleValues("1.4", "200", "OLD"));
  struct Plant {
    const char* what;
    std::function<bool()> plant;
    QString refusal;
  };
  const std::vector<Plant> plants{
      {"a device node", [&] { return ::mknod(QFile::encodeName(carried + "/Contents/disk").constData(), S_IFCHR | 0666,
                                             makedev(1, 3)) == 0; },
       bundle + " holds something other than files, folders and links."},
      {"a pipe", [&] { return ::mkfifo(QFile::encodeName(carried + "/Contents/pipe").constData(), 0666) == 0; },
       bundle + " holds something other than files, folders and links."},
      {"an absolute link", [&] { return QFile::link(carried + "/Contents/Info.plist", carried + "/Contents/abs"); },
       bundle + " holds a link that leads out of it."},
      {"a link out", [&] { return QFile::link("../../../secret", carried + "/Contents/out"); },
       bundle + " holds a link that leads out of it."},
      // The first stays inside (the bundle itself), the second leads out through it.
      {"a link out through a link", [&] {
         return QFile::link("..", carried + "/Contents/up") && QFile::link("up/..", carried + "/Contents/upup");
       },
       bundle + " holds a link that leads out of it."}};
  for (const Plant& p : plants) {
    fresh();
    ASSERT_TRUE(p.plant()) << p.what;
    EXPECT_EQ(install(), p.refusal) << p.what;
    // Refused before the rename: the installed bundle is the one before.
    EXPECT_EQ(DriverInstaller::contentHash(folder + "/TidewellHAL.driver"), QString("OLD")) << p.what;
  }
  // Nobody but root can reach what a refused copy left: its folder is root's alone.
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(driverStagingFolder(folder)).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A bundle that is itself a link is not a folder.
  QDir(carried).removeRecursively();
  writeBundle(root.filePath("elsewhere"), bundleValues("1.5", "300", "NEW"));
  ASSERT_TRUE(QFile::link(root.filePath("elsewhere"), carried));
  EXPECT_EQ(install(), bundle + " is not a folder.");
  QFile::remove(carried);

  // A link that stays inside, a file others may write, a set-id program: installed, root's
  // alone, writable by root alone, without the set-id bits.
  fresh();
  ASSERT_TRUE(QFile::link("Info.plist", carried + "/Contents/same"));
  QDir().mkpath(carried + "/Contents/MacOS");
  ASSERT_TRUE(QFile::link("../Info.plist", carried + "/Contents/MacOS/up"));
  QFile program(carried + "/Contents/MacOS/TidewellHAL");
  ASSERT_TRUE(program.open(QIODevice::WriteOnly));
  program.close();
  ASSERT_EQ(::chmod(QFile::encodeName(program.fileName()).constData(), 06777), 0);
  ASSERT_EQ(::chown(QFile::encodeName(carried).constData(), 65534, 65534), 0);
  EXPECT_EQ(install(), QString());
  const QString installed = folder + "/TidewellHAL.driver";
  EXPECT_EQ(DriverInstaller::contentHash(installed), QString("NEW"));
  EXPECT_EQ(QFile::symLinkTarget(installed + "/Contents/same"), installed + "/Contents/Info.plist");
  for (const QString& path : {installed, installed + "/Contents/MacOS/TidewellHAL", installed + "/Contents/same"}) {
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    EXPECT_EQ(st.st_uid, 0u) << path.toStdString();
    EXPECT_EQ(st.st_gid, 0u) << path.toStdString();
    if (!S_ISLNK(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 06022, 0u) << path.toStdString();
    }
  }
  EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"TidewellHAL.driver"});
}

// The plug-in folder root's shell may work in, checked on the real file system.
class DriverPlugInFolderTest : public ::testing::Test {
 protected:
  QTemporaryDir root;  // the test's own, 0700
  bool isRoot = ::geteuid() == 0;

  QString folder(const QString& name, QFile::Permissions permissions) {
    const QString path = root.filePath(name);
    EXPECT_TRUE(QDir().mkpath(path));
    EXPECT_TRUE(QFile::setPermissions(path, permissions));
    return path;
  }
  static QString problem(const QString& path) { return DriverInstaller::plugInFolderProblem(path).value_or(""); }
};

constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions everyone = ownerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                       QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

TEST_F(DriverPlugInFolderTest, ARelativeFolderIsRefused) {
  EXPECT_EQ(problem("plug-ins/HAL"), "The plug-in folder \"plug-ins/HAL\" is not an absolute path.");
  EXPECT_EQ(problem(""), "The plug-in folder \"\" is not an absolute path.");
}

TEST_F(DriverPlugInFolderTest, RootsOwnFoldersPassAndMissingOnesUnderThemToo) {
  // The default folder: what exists of it is root's, the rest root's mkdir makes.
  EXPECT_FALSE(DriverInstaller::plugInFolderProblem("/usr/local/lib/audioserver/Plug-Ins/HAL"));
  EXPECT_FALSE(DriverInstaller::plugInFolderProblem("/usr/lib/../lib"));
  if (!isRoot) GTEST_SKIP() << "folders of root's own need root";
  // Under /tmp (open to all, sticky) a folder of root's that already exists is safe.
  const QString safe = folder("safe", ownerOnly);
  EXPECT_FALSE(DriverInstaller::plugInFolderProblem(safe + "/HAL/not/yet")) << problem(safe).toStdString();
}

TEST_F(DriverPlugInFolderTest, AFolderOthersCanWriteOrOwnIsRefused) {
  // /tmp itself, and a name under it that anyone could create before root does.
  EXPECT_THAT(problem("/tmp").toStdString(), ::testing::HasSubstr("/tmp can be written by users other than root"));
  EXPECT_THAT(problem("/tmp/tw-no-such-folder-" + QString::number(::getpid()) + "/HAL").toStdString(),
              ::testing::HasSubstr("/tmp lets any user create"));
  // The test's own folder, when the test is not root.
  if (!isRoot) {
    EXPECT_THAT(problem(root.filePath("HAL")).toStdString(), ::testing::HasSubstr(" belongs to a user other than root"));
    GTEST_SKIP() << "the rest needs folders of root's own";
  }
  const QString open = folder("open", everyone);
  EXPECT_EQ(problem(open + "/HAL"), "The plug-in folder " + open + "/HAL is not safe to change as administrator: " +
                                        open + " can be written by users other than root.");
  const QString group = folder("group", ownerOnly | QFile::WriteGroup | QFile::ExeGroup);
  EXPECT_THAT(problem(group).toStdString(), ::testing::HasSubstr(group.toStdString() + " can be written by users"));
  QFile file(root.filePath("file"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  EXPECT_THAT(problem(root.filePath("file/HAL")).toStdString(), ::testing::HasSubstr("file is not a folder"));
  // A folder of another user's, however closed.
  const QString theirs = folder("theirs", ownerOnly);
  ASSERT_EQ(::chown(theirs.toLocal8Bit().constData(), 65534, 65534), 0);
  EXPECT_THAT(problem(theirs + "/HAL").toStdString(),
              ::testing::HasSubstr(theirs.toStdString() + " belongs to a user other than root"));
}

TEST_F(DriverPlugInFolderTest, SymbolicLinksAreFollowedAsTheShellWould) {
  if (!isRoot) GTEST_SKIP() << "a link in a folder of root's needs root";
  const QString open = folder("open", everyone);
  const QString safe = folder("safe", ownerOnly);
  ASSERT_TRUE(QFile::link(open, root.filePath("to-open")));
  ASSERT_TRUE(QFile::link("safe", root.filePath("to-safe")));
  ASSERT_TRUE(QFile::link("../to-open", safe + "/up-and-over"));
  EXPECT_FALSE(DriverInstaller::plugInFolderProblem(root.filePath("to-safe/HAL")));
  EXPECT_THAT(problem(root.filePath("to-open/HAL")).toStdString(),
              ::testing::HasSubstr(open.toStdString() + " can be written by users other than root"));
  EXPECT_THAT(problem(safe + "/up-and-over/HAL").toStdString(),
              ::testing::HasSubstr(open.toStdString() + " can be written by users other than root"));
  ASSERT_TRUE(QFile::link("loop", root.filePath("loop")));
  EXPECT_THAT(problem(root.filePath("loop/HAL")).toStdString(), ::testing::HasSubstr("too many symbolic links"));
}

TEST(DriverInstallCommand, AFailedCopyFailsTheWholeCommand) {
  QTemporaryDir root;
  QString folder = root.filePath("HAL");
  QString command = DriverInstaller::adminInstallCommand(root.filePath("absent.driver"), folder);
  {
    PrivilegedCommand::Environment direct;
    direct.isRoot = true;  // runs the shell directly, whoever we are: the copy fails first
    try {
      PrivilegedCommand::run(command, "prompt", direct);
      FAIL() << "a failed copy reported success";
    } catch (const DriverInstallError& e) {
      EXPECT_EQ(e.kind(), DriverInstallError::Kind::failed);
      EXPECT_TRUE(e.text().startsWith("cp: ")) << e.what();
      EXPECT_TRUE(e.text().contains("absent.driver")) << e.what();
    }
  }
  EXPECT_TRUE(QDir(folder).exists());  // the steps before the copy ran
}

// ---- the install, with scripted services ---------------------------------------------------

constexpr std::uint64_t oldServer = 11, newServer = 22;

class DriverInstallTest : public ::testing::Test {
 protected:
  QTemporaryDir root;
  QString carried = root.filePath("share/TidewellHAL.driver");
  QString folder = root.filePath("HAL");
  std::mutex lock;
  QStringList commands;  // guarded by lock
  std::atomic<int> restarts{0};
  std::function<void()> commandBehaviour = [] {};
  // What the server shows at each check (the last entry repeats).
  std::vector<std::optional<LoadedHALPlugIn>> shown;
  int checks = 0;

  void SetUp() override {
    application();
    writeBundle(carried, bundleValues("1.5", "300", "NEW"));
  }

  static LoadedHALPlugIn plugIn(std::uint64_t instance, const char* hash, const char* version = "1.5") {
    LoadedHALPlugIn loaded{instance, version, "300", std::nullopt};
    if (hash != nullptr) loaded.contentHash = hash;
    return loaded;
  }

  DriverInstallerSetup setup() {
    DriverInstallerSetup s;
    s.carriedBundle = carried;
    s.plugInFolder = folder;
    s.runAsAdministrator = [this](const QString& command, const QString& prompt) {
      {
        std::lock_guard<std::mutex> guard(lock);
        commands << prompt + "|" + command;
      }
      commandBehaviour();
    };
    s.restartAudioServer = [this] { ++restarts; };
    s.serverInstance = [] { return std::optional<std::uint64_t>(oldServer); };
    s.loadedPlugIn = [this]() -> std::optional<LoadedHALPlugIn> {
      ++checks;
      if (shown.empty()) return std::nullopt;
      return shown[std::min<size_t>(static_cast<size_t>(checks - 1), shown.size() - 1)];
    };
    s.loadCheckInterval = std::chrono::milliseconds(5);
    s.loadChecks = 6;
    return s;
  }

  // Runs one install to its end; its result.
  std::optional<bool> install(DriverInstaller& installer) {
    std::optional<bool> result;
    installer.installOrUpdate([&](bool loaded) { result = loaded; });
    processEventsUntil([&] { return result.has_value(); });
    return result;
  }
};

TEST_F(DriverInstallTest, SucceedsOnceANewServerShowsTheCarriedBundle) {
  // The old server still answers with the old plug-in, then is gone, then a new one has the
  // previous bundle for a moment (a restart by someone else), then the carried one.
  shown = {plugIn(oldServer, "OLD"), plugIn(oldServer, "NEW"), std::nullopt, plugIn(newServer, "OLD"),
           plugIn(newServer, "NEW")};
  DriverInstaller installer(setup());
  installer.installOrUpdate([](bool) {});
  EXPECT_TRUE(installer.installing());
  QSignalSpy finished(&installer, &DriverInstaller::installFinished);
  ASSERT_TRUE(processEventsUntil([&] { return finished.count() == 1; }));
  EXPECT_TRUE(finished.at(0).at(0).toBool());
  EXPECT_EQ(checks, 5);
  EXPECT_EQ(restarts, 1);
  EXPECT_FALSE(installer.installing());
  EXPECT_FALSE(installer.lastError());
  ASSERT_EQ(commands.size(), 1);
  EXPECT_EQ(commands[0], "Tidewell needs to install its audio driver.|" +
                             DriverInstaller::adminInstallCommand(carried, folder));
  EXPECT_EQ(installer.status().kind, Kind::notInstalled);  // refreshed: the scripted command copied nothing
}

TEST_F(DriverInstallTest, TheOldServerStillShowingThePlugInIsNotSuccess) {
  shown = {plugIn(oldServer, "NEW")};  // never a new instance
  DriverInstaller installer(setup());
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(checks, 6);
  EXPECT_EQ(installer.lastError(), QString("The driver was installed but did not load. Try restarting your Mac."));
  EXPECT_FALSE(installer.installing());
}

TEST_F(DriverInstallTest, ANewServerWithAnotherBundleIsNotSuccess) {
  shown = {plugIn(newServer, "OLD")};
  DriverInstaller installer(setup());
  EXPECT_EQ(install(installer), false);
  // Without hashes the version texts decide.
  writeBundle(carried, bundleValues("1.5", "300"));
  shown = {plugIn(newServer, nullptr, "1.4")};
  checks = 0;
  EXPECT_EQ(install(installer), false);
  shown = {plugIn(newServer, nullptr, "1.5")};
  checks = 0;
  EXPECT_EQ(install(installer), true);
  EXPECT_EQ(checks, 1);  // loaded at the first check: no pause
}

TEST_F(DriverInstallTest, WithoutAServerBeforeAnyLoadedInstanceCounts) {
  shown = {plugIn(oldServer, "NEW")};
  auto s = setup();
  s.serverInstance = [] { return std::optional<std::uint64_t>(); };
  DriverInstaller installer(s);
  EXPECT_EQ(install(installer), true);
}

TEST_F(DriverInstallTest, ACommandFailureEndsAtOnceWithItsText) {
  shown = {plugIn(newServer, "NEW")};
  commandBehaviour = [] { throw DriverInstallError::failed("cp: cannot create directory 'x': Read-only file system"); };
  DriverInstaller installer(setup());
  QSignalSpy statusChanges(&installer, &DriverInstaller::statusChanged);
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(installer.lastError(), QString("cp: cannot create directory 'x': Read-only file system"));
  EXPECT_EQ(checks, 0);  // no load wait
  EXPECT_EQ(restarts, 0);
  EXPECT_FALSE(installer.installing());
  EXPECT_EQ(statusChanges.count(), 1);

  commandBehaviour = [] { throw DriverInstallError::cancelled(); };
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(installer.lastError(), QString("Installation was cancelled."));
  commandBehaviour = [] { throw DriverInstallError::failed(""); };
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(installer.lastError(), QString("The installer command failed."));
  commandBehaviour = [] { throw PrivilegedLaunchError("/usr/bin/pkexec: No such file or directory"); };
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(installer.lastError(), QString("/usr/bin/pkexec: No such file or directory"));
}

TEST_F(DriverInstallTest, AFolderRootCannotTrustEndsBeforeAnyPrompt) {
  shown = {plugIn(newServer, "NEW")};
  auto s = setup();
  s.plugInFolderProblem = &DriverInstaller::plugInFolderProblem;
  s.plugInFolder = "plug-ins/HAL";  // as a relative AUDIOSERVER_PLUGIN_PATH gives it
  DriverInstaller installer(s);
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(installer.lastError(), QString("The plug-in folder \"plug-ins/HAL\" is not an absolute path."));
  EXPECT_TRUE(commands.isEmpty());
  EXPECT_EQ(restarts, 0);
  EXPECT_EQ(checks, 0);
  EXPECT_FALSE(installer.installing());

  // The same check on the standard installer's own folder.
  qputenv("AUDIOSERVER_PLUGIN_PATH", "relative/HAL:/usr/lib");
  EXPECT_EQ(DriverInstallerSetup::standard().plugInFolder, "relative/HAL");
  EXPECT_EQ(DriverInstallerSetup::standard().plugInFolderProblem("relative/HAL"),
            QString("The plug-in folder \"relative/HAL\" is not an absolute path."));
  qunsetenv("AUDIOSERVER_PLUGIN_PATH");
}

TEST_F(DriverInstallTest, ASecondCallOrAMissingBundleEndsAtOnceAndChangesNothing) {
  shown = {plugIn(newServer, "NEW")};
  std::atomic<bool> release{false};
  commandBehaviour = [&] {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  DriverInstaller installer(setup());
  QSignalSpy installing(&installer, &DriverInstaller::installingChanged);
  QSignalSpy errors(&installer, &DriverInstaller::lastErrorChanged);
  std::optional<bool> first, second;
  installer.installOrUpdate([&](bool r) { first = r; });
  installer.installOrUpdate([&](bool r) { second = r; });
  EXPECT_EQ(second, false);  // at once
  EXPECT_FALSE(first);
  EXPECT_EQ(installing.count(), 1);
  EXPECT_EQ(errors.count(), 1);  // cleared once, by the first call
  release = true;
  ASSERT_TRUE(processEventsUntil([&] { return first.has_value(); }));
  EXPECT_EQ(first, true);
  EXPECT_EQ(commands.size(), 1);  // one prompt only
  EXPECT_EQ(installing.count(), 2);

  commandBehaviour = [] { throw DriverInstallError::cancelled(); };
  EXPECT_EQ(install(installer), false);
  QDir(carried).removeRecursively();
  QSignalSpy after(&installer, &DriverInstaller::installingChanged);
  EXPECT_EQ(install(installer), false);
  EXPECT_EQ(after.count(), 0);
  EXPECT_EQ(installer.lastError(), QString("Installation was cancelled."));  // kept
  EXPECT_EQ(commands.size(), 2);
}

}  // namespace
