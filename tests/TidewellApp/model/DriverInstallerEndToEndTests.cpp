// The installer for real, in a private root: the build's share/tidewell bundle is copied into a
// temporary plug-in folder (AUDIOSERVER_PLUGIN_PATH) by the root shell, the private audio server
// is restarted with audioctl, and the install ends once the new server has loaded the bundle.
#include <TidewellApp/DriverInstaller.h>

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "../../helpers/common/ScopedEnvironment.h"
#include "DriverInstallerTestSupport.h"

using namespace tidewell;
using namespace tidewell::testing;

namespace {

// The environment every child (audioctl, the servers it starts) inherits; set once, before
// the client library starts a thread.
struct PrivateRoot {
  std::filesystem::path folder;
  PrivateRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tidewell-driver-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
    for (const char* sub : {"home", "runtime", "HAL", "sockets"}) std::filesystem::create_directories(folder / sub);
    ::setenv("HOME", (folder / "home").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    ::setenv("AUDIOSERVER_PLUGIN_PATH", (folder / "HAL").c_str(), 1);
    ::setenv("AUDIOSERVER_SOCKET", (folder / "sockets" / "control").c_str(), 1);
  }
  ~PrivateRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  static PrivateRoot& get() {
    static PrivateRoot root;
    return root;
  }
};

class DriverInstallEndToEnd : public ::testing::Test {
 protected:
  std::filesystem::path root = PrivateRoot::get().folder;
  QString folder = QString::fromStdString((root / "HAL").string());

  void SetUp() override {
    application();
    if (::geteuid() != 0) GTEST_SKIP() << "the install command changes ownership to root";
    ASSERT_EQ(runTool({"audioctl", "start"}), 0);
  }
  void TearDown() override {
    runTool({"audioctl", "stop"});
    ::umount2(folder.toLocal8Bit().constData(), MNT_DETACH);
  }

  static std::optional<bool> install(DriverInstaller& installer) {
    std::optional<bool> result;
    installer.installOrUpdate([&](bool loaded) { result = loaded; });
    processEventsUntil([&] { return result.has_value(); });
    return result;
  }
};

TEST_F(DriverInstallEndToEnd, InstallsRestartsAndSeesTheNewServerWithThePlugIn) {
  DriverInstaller installer;
  // The build lays the bundle out beside bin/ as an installation does.
  ASSERT_TRUE(installer.bundledURL()) << "no bundle in share/tidewell beside " << QCoreApplication::applicationDirPath().toStdString();
  EXPECT_EQ(installer.installedBundlePath(), folder + "/TidewellHAL.driver");
  installer.refresh();
  EXPECT_EQ(installer.status(), DriverInstallStatus::notInstalled());
  auto before = CoreAudioDeviceRegistry::audioServerInstance();
  ASSERT_TRUE(before);
  EXPECT_FALSE(CoreAudioDeviceRegistry::halPlugInIsLoaded());

  EXPECT_EQ(install(installer), true) << installer.lastError().value_or("").toStdString();
  EXPECT_FALSE(installer.lastError());
  EXPECT_EQ(installer.status(), DriverInstallStatus::upToDate());
  QFileInfo installed(installer.installedBundlePath() + "/Contents/MacOS/TidewellHAL");
  EXPECT_TRUE(installed.isFile());
  EXPECT_EQ(installed.ownerId(), 0u);
  EXPECT_EQ(installed.groupId(), 0u);
  auto loaded = CoreAudioDeviceRegistry::loadedHALPlugIn();
  ASSERT_TRUE(loaded);
  EXPECT_NE(loaded->serverInstance, *before);
  EXPECT_EQ(QString::fromStdString(loaded->contentHash.value_or("")),
            DriverInstaller::contentHash(*installer.bundledURL()).value_or("none"));

  // Installing again over the loaded plug-in needs another restart to count.
  auto first = loaded->serverInstance;
  EXPECT_EQ(install(installer), true);
  auto again = CoreAudioDeviceRegistry::loadedHALPlugIn();
  ASSERT_TRUE(again);
  EXPECT_NE(again->serverInstance, first);
}

// A window opened from another shell than the server's lacks the server's variable: it looks
// where the running server loads from, not in the default folder, and sees the plug-in there.
TEST_F(DriverInstallEndToEnd, WithoutTheServersVariableTheFolderIsTheOneTheRunningServerLoads) {
  DriverInstaller installer;
  ASSERT_EQ(install(installer), true) << installer.lastError().value_or("").toStdString();
  ScopedEnvironment environment;
  environment.Unset("AUDIOSERVER_PLUGIN_PATH");
  EXPECT_EQ(driverPlugInFolder().toStdString(), QDir::cleanPath(folder).toStdString());
  DriverInstaller opened;
  opened.refresh();
  EXPECT_EQ(opened.installedBundlePath().toStdString(), (folder + "/TidewellHAL.driver").toStdString());
  EXPECT_EQ(opened.status(), DriverInstallStatus::upToDate());

  // With no server answering, the default folder.
  ASSERT_EQ(runTool({"audioctl", "stop"}), 0);
  EXPECT_EQ(driverPlugInFolder().toStdString(), "/usr/local/lib/audioserver/Plug-Ins/HAL");
}

TEST_F(DriverInstallEndToEnd, AFailedCopyEndsWithItsErrorNotALoadTimeout) {
  // A read-only, empty plug-in folder (even root cannot write there): the copy fails.
  QDir(folder + "/TidewellHAL.driver").removeRecursively();
  QByteArray path = folder.toLocal8Bit();
  if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount the plug-in folder read-only here";
  }
  DriverInstaller installer;
  ASSERT_TRUE(installer.bundledURL());
  EXPECT_EQ(install(installer), false);
  QString error = installer.lastError().value_or("");
  // The first step that writes there (making the copy's own folder) fails with its reason.
  EXPECT_TRUE(error.startsWith("mkdir: ")) << error.toStdString();
  EXPECT_TRUE(error.contains("Read-only file system")) << error.toStdString();
  EXPECT_FALSE(installer.installing());
  EXPECT_EQ(installer.status(), DriverInstallStatus::notInstalled());
}

}  // namespace
