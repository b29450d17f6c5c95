// Setup and removal for real, in a private root: the onboarding sheet on a fresh HOME installs
// the build's plug-in bundle into a temporary plug-in folder (AUDIOSERVER_PLUGIN_PATH) with the
// root shell, restarts the private audio server, sees the new instance with the plug-in, and
// installs the service under the build's launchctl and its own supervisor. The uninstaller then
// removes all of it: the file tree is as before the install, the server lists no device of
// ours, and no service or supervisor process is left.

#include "TidewellApp/AppUninstaller.h"
#include "TidewellApp/DriverInstaller.h"
#include "TidewellApp/OnboardingView.h"

#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <set>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "../model/ServiceTestSupport.h"
#include "SetupSheetParts.h"
#include "TidewellApp/RunCommand.h"
#include "UiTestSupport.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;

// The whole program lives in its own root, set before the audio client starts any thread.
std::filesystem::path privateRoot() {
  static const std::filesystem::path root = [] {
    char pattern[] = "/tmp/tw-setup-e2e-XXXXXX";
    std::filesystem::path path = ::mkdtemp(pattern);
    // A user's home has its standard folders before any application runs.
    for (const char* sub : {"home/.config", "home/.local/share", "home/.local/state", "home/.cache", "run", "HAL",
                            "sockets"}) std::filesystem::create_directories(path / sub);
    std::filesystem::permissions(path / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    ::setenv("HOME", (path / "home").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (path / "run").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("APPIMAGE");
    ::setenv("AUDIOSERVER_PLUGIN_PATH", (path / "HAL").c_str(), 1);
    ::setenv("AUDIOSERVER_SOCKET", (path / "sockets" / "control").c_str(), 1);
    ::setenv("TIDEWELL_LAUNCH_BACKEND", "supervisor", 1);
    ::setenv("TIDEWELL_LAUNCHCTL", (binDirectory() / "launchctl").c_str(), 1);
    return path;
  }();
  return root;
}
const std::filesystem::path rootAtStart = privateRoot();
struct RemoveRoot {
  ~RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(rootAtStart, ignored);
  }
} removeRoot;

// Every file and folder under the root, the runtime and socket folders left out (sockets and
// locks come and go with the processes).
std::set<QString> treeUnderRoot() {
  std::set<QString> entries;
  const QString root = QString::fromStdString(privateRoot().string());
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next().mid(root.size());
    if (!path.startsWith("/run") && !path.startsWith("/sockets")) entries.insert(path);
  }
  return entries;
}

// Live processes of this root other than this program and the audio server.
std::vector<std::string> processesInOurRoot() {
  return processesWithHome(privateRoot() / "home", {"audioserverd", "audioctl"});
}

// The unique ids of the devices the server lists (their object ids change with each start).
QStringList audioctlList() {
  const QString output = runCommand(QString::fromStdString((binDirectory() / "audioctl").string()), {"list"}).output;
  QStringList uids;
  for (const QString& line : output.split('\n'))
    if (line.trimmed().startsWith("uid: ")) uids << line.trimmed().mid(5);
  uids.sort();
  return uids;
}

class SetupEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(rootAtStart, privateRoot());
    if (::geteuid() != 0) GTEST_SKIP() << "the install command changes ownership to root";
    ASSERT_EQ(runTool({"audioctl", "start"}), 0);
  }
  void TearDown() override {
    runCommand(qEnvironmentVariable("TIDEWELL_LAUNCHCTL"), {"bootout", LaunchAgent::serviceTarget(::getuid())});
    eventually([] { return processesInOurRoot().empty(); }, 15s);
    runTool({"audioctl", "stop"});
  }
};

TEST_F(SetupEndToEndTest, OnboardingSetsUpEverythingAndUninstallRemovesItAll) {
  const auto before = treeUnderRoot();
  const QStringList listBefore = audioctlList();
  const auto serverBefore = CoreAudioDeviceRegistry::audioServerInstance();
  ASSERT_TRUE(serverBefore);
  ASSERT_TRUE(processesInOurRoot().empty()) << ::testing::PrintToString(processesInOurRoot());

  // The application's model as it runs, with the build's executables as the service's source.
  LaunchAgentServiceController::Settings settings = LaunchAgentServiceController::Settings::live();
  settings.bundle.resourceFolders = {QString::fromStdString(binDirectory().string())};
  settings.log = [](ServiceLogLevel, const QString&) {};
  AppEnvironment environment = AppEnvironment::live();
  environment.serviceController = std::make_shared<LaunchAgentServiceController>(settings);
  auto model = std::make_unique<TidewellAppModel>(environment);
  DriverInstaller installer;
  ASSERT_TRUE(installer.bundledURL()) << "no bundle in share/tidewell beside the test";

  int closes = 0;
  OnboardingView view(*model, installer, [&] { ++closes; });
  test::grabShown(view);
  EXPECT_EQ(installer.status(), DriverInstallStatus::notInstalled());
  EXPECT_EQ(view.primaryButton()->text(), "Install");
  test::saveArtifact(test::grabShown(view), "setup-e2e-onboarding-fresh");

  view.primaryButton()->click();
  ASSERT_TRUE(waitFor([&] { return !view.settingUp(); }, 120000));
  EXPECT_FALSE(installer.lastError()) << installer.lastError().value_or("").toStdString();
  const auto loaded = CoreAudioDeviceRegistry::loadedHALPlugIn();
  ASSERT_TRUE(loaded);
  EXPECT_NE(loaded->serverInstance, *serverBefore) << "a new server instance carries the plug-in";
  EXPECT_EQ(QString::fromStdString(loaded->contentHash.value_or("")),
            DriverInstaller::contentHash(*installer.bundledURL()).value_or("none"));
  EXPECT_EQ(installer.status(), DriverInstallStatus::upToDate());
  EXPECT_TRUE(model->serviceInstalled());

  // The health checks see what the user would: the driver loaded and the service on.
  ASSERT_TRUE(eventually([&] {
    model->healthTick();
    QCoreApplication::processEvents();
    return model->compactHealthSummary() == QString::fromUtf8("Driver Loaded \u2022 Service On");
  }, 30s)) << model->compactHealthSummary().toStdString();
  QCoreApplication::processEvents();
  EXPECT_EQ(view.driverRow()->detail()->text(), "Installed");
  EXPECT_EQ(view.driverRow()->symbol(), "checkmark.circle.fill");
  EXPECT_EQ(view.serviceRow()->detail()->text(), "Running");
  EXPECT_EQ(view.serviceRow()->symbol(), "checkmark.circle.fill");
  EXPECT_EQ(closes, 1) << "a complete setup closes the sheet";
  test::saveArtifact(test::grabShown(view), "setup-e2e-onboarding-done");
  const QStringList listInstalled = audioctlList();
  EXPECT_NE(listInstalled, listBefore) << "the plug-in's devices appear";
  EXPECT_TRUE(listInstalled.join(" ").contains("tidewell", Qt::CaseInsensitive)) << listInstalled.join(" ").toStdString();

  // Uninstall: everything goes, and the application would quit.
  AppUninstallerSetup uninstallSetup = AppUninstallerSetup::standard();
  int terminations = 0;
  uninstallSetup.terminate = [&] { ++terminations; };
  AppUninstaller uninstaller(uninstallSetup);
  EXPECT_FALSE(uninstaller.canTrashRunningBundle());
  uninstaller.uninstall(*model);
  ASSERT_TRUE(waitFor([&] { return terminations == 1 || !uninstaller.phase().isRunning(); }, 120000));
  ASSERT_EQ(terminations, 1) << uninstaller.phase().message.toStdString();
  EXPECT_TRUE(eventually([] { return processesInOurRoot().empty(); }, 15s))
      << ::testing::PrintToString(processesInOurRoot());
  ASSERT_TRUE(eventually([] { return CoreAudioDeviceRegistry::audioServerInstance().has_value(); }, 15s));
  EXPECT_FALSE(CoreAudioDeviceRegistry::loadedHALPlugIn());
  EXPECT_EQ(audioctlList(), listBefore) << "no device of ours is left";
  EXPECT_FALSE(audioctlList().join(" ").contains("tidewell", Qt::CaseInsensitive));

  // Nothing writes the preferences back while the model lives on.
  model->setDeveloperMode(true);
  const auto after = treeUnderRoot();
  QStringList added, removed;
  for (const QString& entry : after) if (!before.count(entry)) added << entry;
  for (const QString& entry : before) if (!after.count(entry)) removed << entry;
  RecordProperty("installedDevices", listInstalled.join(" ").toStdString());
  EXPECT_TRUE(added.isEmpty()) << "left behind: " << added.join(" ").toStdString();
  EXPECT_TRUE(removed.isEmpty()) << "removed: " << removed.join(" ").toStdString();
}

}  // namespace
}  // namespace tidewell::testing
