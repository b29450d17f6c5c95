// The uninstaller's removal command, its phases through every failure and what becomes of the
// running application, in a private HOME.

#include "AppUninstallerTestSupport.h"

namespace tidewell::testing {
namespace {

TEST_F(AppUninstallerTest, RemovalCommandAttemptsEveryBundleAndFailsWhenAnyRemovalFailed) {
  EXPECT_EQ(AppUninstaller::adminRemovalCommand("/plug/ins/"),
            "rc=0; rm -rf -- '/plug/ins/TidewellHAL.driver' || rc=1; rm -rf -- '/plug/ins/ZellvaneHAL.driver' || rc=1; "
            "rm -rf -- '/plug/ins/.TidewellHAL.installing' || rc=1; exit $rc");
  // A quote in the folder reaches the shell intact.
  EXPECT_EQ(AppUninstaller::adminRemovalCommand("/it's"),
            "rc=0; rm -rf -- '/it'\\''s/TidewellHAL.driver' || rc=1; rm -rf -- '/it'\\''s/ZellvaneHAL.driver' || rc=1; "
            "rm -rf -- '/it'\\''s/.TidewellHAL.installing' || rc=1; exit $rc");

  // Run through a real shell, with an rm that cannot remove the current bundle.
  QTemporaryDir tools;
  QFile fakeRm(tools.path() + "/rm");
  ASSERT_TRUE(fakeRm.open(QIODevice::WriteOnly));
  fakeRm.write("#!/bin/sh\ncase \"$*\" in */TidewellHAL.driver) echo \"rm: cannot remove $3: Busy\" >&2; exit 1;; esac\n"
               "exec /bin/rm \"$@\"\n");
  fakeRm.close();
  fakeRm.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", tools.path().toUtf8() + ":" + path);
  const QString folder = plugIns + "/it's here";
  touch(folder + "/TidewellHAL.driver/Contents/Info.plist");
  touch(folder + "/ZellvaneHAL.driver/Contents/Info.plist");
  touch(folder + "/.TidewellHAL.installing/TidewellHAL.driver/Contents/Info.plist");
  PrivilegedCommand::Environment direct;
  direct.isRoot = true;
  try {
    PrivilegedCommand::run(AppUninstaller::adminRemovalCommand(folder), "p", direct);
    ADD_FAILURE() << "a failed removal must fail the command";
  } catch (const DriverInstallError& e) {
    EXPECT_EQ(e.kind(), DriverInstallError::Kind::failed);
    EXPECT_THAT(e.text().toStdString(), ::testing::HasSubstr("cannot remove"));
  }
  qputenv("PATH", path);
  EXPECT_FALSE(QFileInfo::exists(folder + "/ZellvaneHAL.driver")) << "the later removal was attempted";
  EXPECT_FALSE(QFileInfo::exists(folder + "/.TidewellHAL.installing"));
  EXPECT_TRUE(QFileInfo::exists(folder + "/TidewellHAL.driver"));
  // With a working rm both go and the command succeeds.
  EXPECT_NO_THROW(PrivilegedCommand::run(AppUninstaller::adminRemovalCommand(folder), "p", direct));
  EXPECT_FALSE(QFileInfo::exists(folder + "/TidewellHAL.driver"));
}

TEST_F(AppUninstallerTest, StartIsRunningAtOnceAndASecondStartDoesNothing) {
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  EXPECT_EQ(uninstaller->phase(), Phase::idle());
  uninstaller->uninstall(*model);
  EXPECT_EQ(uninstaller->phase(), Phase::running(Step::driver));
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(lastPrompt, "Tidewell needs your administrator password to remove its audio driver.");
  EXPECT_EQ(lastCommand, AppUninstaller::adminRemovalCommand(plugIns));
  EXPECT_EQ(terminations, 1);
}

TEST_F(AppUninstallerTest, CancelledPromptLeavesEverythingAndOffersTheStartAgain) {
  auto files = createUserData();
  auto model = makeModel();
  admin = [](const QString&) { throw DriverInstallError::cancelled(); };
  auto uninstaller = makeUninstaller(setup());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(uninstaller->phase(), Phase::idle());
  EXPECT_FALSE(model->isUninstalling());
  EXPECT_EQ(restarts, 0);
  EXPECT_TRUE(launchctlCalls.empty());
  EXPECT_TRUE(sharedMemoryRemovals.empty());
  for (const QString& file : files) EXPECT_TRUE(QFileInfo::exists(file)) << file.toStdString();
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  EXPECT_EQ(prompts, 2);
  EXPECT_EQ(terminations, 0);
}

TEST_F(AppUninstallerTest, FailedCommandStopsBeforeTheModelWithItsText) {
  auto model = makeModel();
  struct Case {
    std::function<void(const QString&)> admin;
    QString message;
    int restarts;
  };
  const std::vector<Case> cases{
      {[](const QString&) { throw DriverInstallError::failed("rm: cannot remove: Busy"); }, "rm: cannot remove: Busy", 1},
      {[](const QString&) { throw DriverInstallError::failed(""); }, "The installer command failed.", 1},
      {[](const QString&) { throw PrivilegedLaunchError("pkexec: not found"); }, "pkexec: not found", 0}};
  for (const Case& c : cases) {
    restarts = 0;
    admin = c.admin;
    auto uninstaller = makeUninstaller(setup());
    uninstaller->uninstall(*model);
    ASSERT_TRUE(settles(*uninstaller));
    EXPECT_EQ(uninstaller->phase(), Phase::failed(c.message));
    // A command that ran restarts the server even when a removal failed; one that never
    // started has nothing to drop.
    EXPECT_EQ(restarts, c.restarts) << c.message.toStdString();
    EXPECT_FALSE(model->isUninstalling());
    EXPECT_TRUE(launchctlCalls.empty());
  }
  EXPECT_EQ(terminations, 0);
}

// Root removes bundles in the plug-in folder by name: a folder the installer would refuse (not
// absolute, or one others could change) is refused here too, before any prompt, and the run can
// be started again.
TEST_F(AppUninstallerTest, APlugInFolderRootCannotTrustFailsBeforeAnyPrompt) {
  auto model = makeModel();
  auto s = setup();
  s.plugInFolder = "relative/HAL";
  s.plugInFolderProblem = &DriverInstaller::plugInFolderProblem;
  auto uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  EXPECT_EQ(uninstaller->phase(),
            Phase::failed("The plug-in folder \"relative/HAL\" is not an absolute path."));
  EXPECT_EQ(prompts, 0);
  EXPECT_FALSE(model->isUninstalling());
  EXPECT_TRUE(launchctlCalls.empty());

  // A folder anyone may write, as the world-writable temporary folder is.
  QTemporaryDir shared;
  ASSERT_TRUE(QFile::setPermissions(shared.path(), QFileDevice::Permissions(0x7777)));
  s.plugInFolder = shared.path() + "/HAL";
  uninstaller = makeUninstaller(s);
  uninstaller->uninstall(*model);
  EXPECT_EQ(uninstaller->phase().kind, Phase::Kind::failed);
  EXPECT_THAT(uninstaller->phase().message.toStdString(), ::testing::HasSubstr("is not safe"));
  EXPECT_EQ(prompts, 0);
  EXPECT_EQ(terminations, 0);
}

TEST_F(AppUninstallerTest, FullRunStopsAgentsRemovesUserDataAndQuitsWithThePackageInPlace) {
  auto files = createUserData();
  touch(home.path() + "/cache/other-app/keep");
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  EXPECT_FALSE(uninstaller->canTrashRunningBundle());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_EQ(restarts, 1);
  EXPECT_TRUE(model->isUninstalling());
  EXPECT_EQ(phases, (std::vector<Phase>{Phase::running(Step::driver), Phase::running(Step::service),
                                        Phase::running(Step::userData)}));
  const QString domain = "gui/" + QString::number(getuid());
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  EXPECT_EQ(launchctlCalls, (std::vector<QStringList>{{"bootout", domain, l.servicePlist},
                                                      {"bootout", domain + "/app.tidewell.service"},
                                                      {"bootout", domain, l.legacyServicePlist},
                                                      {"bootout", domain + "/app.zellvane.audioagent"}}));
  // The regions go once, after every agent was stopped: nothing recreates them afterwards.
  EXPECT_EQ(sharedMemoryRemovals, std::vector<std::size_t>{4});
  for (const QString& file : files) EXPECT_FALSE(QFileInfo::exists(file)) << file.toStdString();
  for (const char* folder : {"/data/Tidewell", "/data/Zellvane", "/state/Tidewell", "/config/Tidewell",
                             "/config/launch-agents", "/cache/app.tidewell.main"})
    EXPECT_FALSE(QFileInfo::exists(home.path() + folder)) << folder;
  EXPECT_TRUE(QFileInfo::exists(home.path() + "/cache/other-app/keep"));

  // Nothing writes the preferences again once uninstalling has begun.
  model->setDeveloperMode(true);
  EXPECT_FALSE(QFileInfo::exists(preferencesFile));
}

// Fault mended: the boot-outs' outcome was ignored, so a launchctl that could not run, or an
// agent that could not be stopped, was reported removed; its definition and program were
// deleted under a job that launchd (or systemd) went on restarting.
TEST_F(AppUninstallerTest, AServiceThatCannotBeStoppedKeepsItsDefinitionAndTheDataAndSaysWhy) {
  auto files = createUserData();
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  auto model = makeModel();
  struct Case {
    std::function<CommandResult(const QStringList&)> answer;
    QString message;
  };
  const std::vector<Case> cases{
      {[](const QStringList&) -> CommandResult { throw CommandError("/usr/bin/launchctl: No such file or directory"); },
       "Could not stop the background service: /usr/bin/launchctl: No such file or directory"},
      // The service's own agent fails; the earlier product's is not loaded.
      {[](const QStringList& arguments) {
         if (arguments.last().endsWith("/app.tidewell.service"))
           return CommandResult{5, "Boot-out failed: 5: Job for agent-app.tidewell.service.service failed."};
         return CommandResult{LaunchAgent::notLoadedStatus, "Boot-out failed: 3: No such process"};
       },
       "Could not stop the background service: Boot-out failed: 5: Job for agent-app.tidewell.service.service failed."},
      {[](const QStringList& arguments) {
         return arguments.last().endsWith("/app.zellvane.audioagent") ? CommandResult{1, {}} : CommandResult{0, {}};
       },
       "Could not stop the background service: launchctl bootout gui/" + QString::number(getuid()) +
           "/app.zellvane.audioagent ended with status 1"}};
  for (const Case& c : cases) {
    launchctlAnswer = c.answer;
    auto uninstaller = makeUninstaller(setup());
    uninstaller->uninstall(*model);
    ASSERT_TRUE(waitFor([&] { return !uninstaller->phase().isRunning(); }, 20000));
    EXPECT_EQ(uninstaller->phase(), Phase::failed(c.message));
    for (const QString& file : files) EXPECT_TRUE(QFileInfo::exists(file)) << file.toStdString();
    EXPECT_TRUE(sharedMemoryRemovals.empty());
    EXPECT_EQ(terminations, 0);
  }

  // Agents that are not loaded, and definition files that are gone, are what a removal leaves.
  launchctlAnswer = [](const QStringList& arguments) {
    return arguments.size() == 3 ? CommandResult{5, "cannot read the definition"}
                                 : CommandResult{LaunchAgent::notLoadedStatus, "Boot-out failed: 3: No such process"};
  };
  auto uninstaller = makeUninstaller(setup());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_FALSE(QFileInfo::exists(l.servicePlist));
  EXPECT_FALSE(QFileInfo::exists(l.appSupport));
}

TEST_F(AppUninstallerTest, UserDataFailuresAreListedOnePerLineAndDoNotStopLaterItems) {
  auto files = createUserData();
  const ServiceLocations l = ServiceLocations::fromEnvironment();
  const QString cache = home.path() + "/cache/app.tidewell.main";
  failingRemovals[l.appSupport] = "Device or resource busy";
  failingRemovals[cache] = "Permission denied";
  auto model = makeModel();
  auto uninstaller = makeUninstaller(setup());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(settles(*uninstaller));
  ASSERT_TRUE(waitFor([&] { return !uninstaller->phase().isRunning(); }));
  EXPECT_EQ(uninstaller->phase(), Phase::failed("Could not remove " + l.appSupport + ": Device or resource busy\n" +
                                                "Could not remove " + cache + ": Permission denied"));
  EXPECT_FALSE(QFileInfo::exists(l.serviceLog));
  EXPECT_FALSE(QFileInfo::exists(SettingsPreferences::defaultFilePath()));
  EXPECT_EQ(terminations, 0);
  EXPECT_TRUE(model->isUninstalling());

  // Items that do not exist give no message: a second run over what is left removes it.
  failingRemovals.clear();
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_EQ(prompts, 2);
  EXPECT_FALSE(QFileInfo::exists(l.appSupport));
}

TEST_F(AppUninstallerTest, AnApplicationImageMovesToTheTrashOrTellsWhyNot) {
  auto model = makeModel();
  auto s = setup();
  // The image this program runs from: its folder holds the running executable.
  const QString image = home.path() + "/Apps/Tidewell.AppImage";
  const QString mounted = home.path() + "/mount";
  touch(image);
  touch(mounted + "/usr/bin/Tidewell");
  s.runningBundle = AppUninstaller::runningImage(image, mounted, mounted + "/usr/bin/Tidewell");
  ASSERT_EQ(s.runningBundle, image);
  {
    auto uninstaller = makeUninstaller(s);
    EXPECT_TRUE(uninstaller->canTrashRunningBundle());
    uninstaller->uninstall(*model);
    ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
    EXPECT_EQ(phases.back(), Phase::running(Step::trashApp));
    EXPECT_FALSE(QFileInfo::exists(image));
  }
  phases.clear();
  auto uninstaller = makeUninstaller(s);  // the image is gone now, so the move fails
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return !uninstaller->phase().isRunning(); }, 20000));
  EXPECT_EQ(uninstaller->phase(), Phase::trashFailed("no trash for " + image));
  EXPECT_EQ(terminations, 1);

  for (const QString& notAnImage : {QString("/usr/bin/Tidewell"), QString(), QString("Tidewell.AppImage")}) {
    s.runningBundle = notAnImage;
    EXPECT_FALSE(AppUninstaller(s).canTrashRunningBundle()) << notAnImage.toStdString();
  }
}

TEST_F(AppUninstallerTest, AnImageCountsOnlyWhenThisProgramRunsFromIt) {
  const QString image = home.path() + "/Apps/Terminal.AppImage";
  const QString mounted = home.path() + "/mount";
  const QString inside = mounted + "/usr/bin/Tidewell";
  touch(image);
  touch(inside);
  touch(home.path() + "/usr/bin/Tidewell");
  EXPECT_EQ(AppUninstaller::runningImage(image, mounted, inside), image);
  // A program started from another image's program inherits its two variables.
  EXPECT_EQ(AppUninstaller::runningImage(image, mounted, home.path() + "/usr/bin/Tidewell"), "");
  EXPECT_EQ(AppUninstaller::runningImage(image, mounted, mounted), "");
  EXPECT_EQ(AppUninstaller::runningImage(image, "", inside), "");
  EXPECT_EQ(AppUninstaller::runningImage(image, "/", inside), "");
  EXPECT_EQ(AppUninstaller::runningImage(image, "mount", inside), "");
  // A link into the image's folder is the same place; a folder whose name only begins alike is not.
  ASSERT_TRUE(QFile::link(mounted, home.path() + "/mount-link"));
  EXPECT_EQ(AppUninstaller::runningImage(image, home.path() + "/mount-link", inside), image);
  touch(home.path() + "/mount2/usr/bin/Tidewell");
  EXPECT_EQ(AppUninstaller::runningImage(image, mounted, home.path() + "/mount2/usr/bin/Tidewell"), "");
  // Not an image: a folder, a missing file, another name, a file inside the folder itself.
  ASSERT_TRUE(QDir().mkpath(home.path() + "/Folder.AppImage"));
  EXPECT_EQ(AppUninstaller::runningImage(home.path() + "/Folder.AppImage", mounted, inside), "");
  EXPECT_EQ(AppUninstaller::runningImage(home.path() + "/Gone.AppImage", mounted, inside), "");
  touch(home.path() + "/Apps/Terminal");
  EXPECT_EQ(AppUninstaller::runningImage(home.path() + "/Apps/Terminal", mounted, inside), "");
  touch(mounted + "/Inner.AppImage");
  EXPECT_EQ(AppUninstaller::runningImage(mounted + "/Inner.AppImage", mounted, inside), "");
}

TEST_F(AppUninstallerTest, AnInheritedImageStaysWhereItIsAndTheRunQuits) {
  // As in a terminal that is itself an image: its variables reach this program.
  const QString image = home.path() + "/Apps/Terminal.AppImage";
  touch(image);
  touch(home.path() + "/terminal-mount/usr/bin/terminal");
  qputenv("APPIMAGE", image.toUtf8());
  qputenv("APPDIR", (home.path() + "/terminal-mount").toUtf8());
  const QString fromEnvironment = AppUninstallerSetup::standard().runningBundle;
  // This program's own folder stands in for the mount of an image it runs from.
  qputenv("APPDIR", QCoreApplication::applicationDirPath().toUtf8());
  const QString ownFolder = AppUninstallerSetup::standard().runningBundle;
  qunsetenv("APPIMAGE");
  qunsetenv("APPDIR");
  EXPECT_EQ(fromEnvironment, "");
  EXPECT_EQ(ownFolder, image);

  auto s = setup();
  s.runningBundle = fromEnvironment;
  auto model = makeModel();
  auto uninstaller = makeUninstaller(s);
  EXPECT_FALSE(uninstaller->canTrashRunningBundle());
  uninstaller->uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 20000));
  EXPECT_EQ(phases.back(), Phase::running(Step::userData));
  EXPECT_TRUE(QFileInfo(image).isFile());
}

TEST_F(AppUninstallerTest, TheTrashIsTheUsersEvenWithoutADataFolderAndAFalseSuccessIsNone) {
  // A home with no .local/share, and a working folder of its own.
  qunsetenv("XDG_DATA_HOME");
  QTemporaryDir work;
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(work.path()));
  const QString image = home.path() + "/Apps/Tidewell.AppImage";
  touch(image);
  QString error;
  const bool moved = AppUninstallerSetup::standard().moveToTrash(image, error);
  QDir::setCurrent(before);
  EXPECT_TRUE(moved) << error.toStdString();
  EXPECT_FALSE(QFileInfo::exists(image));
  EXPECT_TRUE(QFileInfo(home.path() + "/.local/share/Trash/files/Tidewell.AppImage").isFile());
  EXPECT_TRUE(QFileInfo(home.path() + "/.local/share/Trash/info/Tidewell.AppImage.trashinfo").isFile());
  EXPECT_FALSE(QFileInfo::exists(work.path() + "/files")) << "trashed into the working folder";

  // A data folder that cannot be made: nothing moves, and the run is told.
  QFile blocker(home.path() + "/blocker");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  qputenv("XDG_DATA_HOME", (home.path() + "/blocker/share").toUtf8());
  touch(image);
  ASSERT_TRUE(QDir::setCurrent(work.path()));
  const bool movedAgain = AppUninstallerSetup::standard().moveToTrash(image, error);
  QDir::setCurrent(before);
  EXPECT_FALSE(movedAgain);
  EXPECT_EQ(error, "Could not move " + image + " to the Trash.");
  EXPECT_TRUE(QFileInfo(image).isFile());
  EXPECT_EQ(QDir(work.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

  // A data folder whose Trash cannot be made: Qt moves the file into the working folder and
  // says it worked; the move is undone and reported.
  ASSERT_TRUE(QDir().mkpath(home.path() + "/share"));
  QFile notAFolder(home.path() + "/share/Trash");
  ASSERT_TRUE(notAFolder.open(QIODevice::WriteOnly));
  notAFolder.close();
  qputenv("XDG_DATA_HOME", (home.path() + "/share").toUtf8());
  ASSERT_TRUE(QDir::setCurrent(work.path()));
  const bool movedAside = AppUninstallerSetup::standard().moveToTrash(image, error);
  QDir::setCurrent(before);
  EXPECT_FALSE(movedAside);
  EXPECT_EQ(error, "Could not move " + image + " to the Trash.");
  EXPECT_TRUE(QFileInfo(image).isFile());
  EXPECT_EQ(QDir(work.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

}  // namespace
}  // namespace tidewell::testing
