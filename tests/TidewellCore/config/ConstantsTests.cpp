#include <gtest/gtest.h>

#include "TestSupport.h"
#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

using testing::ScopedEnvironment;

TEST(Constants, ValuesAndIdentifierForms) {
  EXPECT_EQ(TidewellCore::schemaVersion, 2);
  EXPECT_EQ(TidewellCore::engineSampleRate, 48000.0);
  EXPECT_EQ(TidewellCore::defaultDeviceIcon, "waveform.circle");
  EXPECT_EQ(TidewellCore::minimumSupportedOS, (OperatingSystemVersion{14, 4, 0}));
  EXPECT_EQ(TidewellCore::passThruDeviceName, "Tidewell");
  EXPECT_EQ(TidewellCore::deviceUIDPrefix.size(), 21u);
  EXPECT_EQ(TidewellCore::deviceUIDPrefix.back(), '.');
  EXPECT_EQ(TidewellCore::passThruDeviceUID.size(), 26u);
  EXPECT_EQ(TidewellCore::halBundleID.size(), 17u);
  EXPECT_EQ(TidewellCore::appBundleID.size(), 17u);

  EXPECT_EQ(Branding::productName, "Tidewell");
  EXPECT_EQ(Branding::manufacturerName, "Tidewell");
  EXPECT_EQ(Branding::dataDirectoryName, "Tidewell");
  EXPECT_EQ(Branding::driverBundleBasename, "TidewellHAL");
  EXPECT_EQ(Branding::legacyDataDirectoryName, "Zellvane");
  ASSERT_EQ(Branding::legacyDriverBundleBasenames.size(), 1u);
  EXPECT_EQ(Branding::legacyDriverBundleBasenames[0], "ZellvaneHAL");
}

TEST(Constants, DerivedDeviceUIDIsThePrefixFollowedByTheId) {
  const std::string prefix(TidewellCore::deviceUIDPrefix);
  EXPECT_EQ(TidewellCore::derivedDeviceUID(""), prefix);
  EXPECT_EQ(TidewellCore::derivedDeviceUID("A1-b/ü"), prefix + "A1-b/ü");
  // The pass-thru UID lies outside the derived namespace, so no device id can produce it.
  EXPECT_NE(std::string(TidewellCore::passThruDeviceUID).rfind(prefix, 0), 0u);
}

TEST(Constants, ServiceFilesShareTheProductFolderAndFollowTheEnvironment) {
  testing::TemporaryFolder home;
  ScopedEnvironment homeVar("HOME", home.path().string());
  {
    ScopedEnvironment xdg("XDG_DATA_HOME", std::nullopt);
    const auto folder = home.path() / ".local" / "share" / "Tidewell";
    EXPECT_EQ(TidewellCore::serviceHeartbeatFileURL(), folder / "service-heartbeat");
    EXPECT_EQ(TidewellCore::serviceInstallMarkerFileURL(), folder / "service-build");
    EXPECT_EQ(TidewellCore::serviceLockFileURL(), folder / "service.lock");
    EXPECT_EQ(UserDataFolder::productDirectory(), folder);
    EXPECT_FALSE(std::filesystem::exists(folder)) << "computing a location creates nothing";
  }
  {
    ScopedEnvironment xdg("XDG_DATA_HOME", (home.path() / "data").string());
    EXPECT_EQ(TidewellCore::serviceLockFileURL(), home.path() / "data" / "Tidewell" / "service.lock");
  }
  {
    // A relative XDG_DATA_HOME is ignored rather than resolved against the working directory.
    ScopedEnvironment xdg("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(UserDataFolder::applicationSupportDirectory(), home.path() / ".local" / "share");
  }
}

TEST(Constants, HomeFallsBackToThePasswordDatabaseWhenHOMEIsUnusable) {
  ScopedEnvironment xdg("XDG_DATA_HOME", std::nullopt);
  for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>(""),
                                           std::optional<std::string>("not/absolute")}) {
    ScopedEnvironment homeVar("HOME", value);
    auto home = UserDataFolder::homeDirectory();
    auto dirs = UserDataFolder::applicationSupportDirectories();
    if (home.empty()) {
      EXPECT_TRUE(dirs.empty());
      EXPECT_TRUE(UserDataFolder::applicationSupportDirectory().is_absolute());
    } else {
      EXPECT_TRUE(home.is_absolute());
      ASSERT_EQ(dirs.size(), 1u);
      EXPECT_EQ(dirs[0], home / ".local" / "share");
    }
  }
}

}  // namespace
}  // namespace tidewell
