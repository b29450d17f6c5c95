#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <functional>
#include <set>

#include "TestSupport.h"
#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedEnvironment;
using testing::TemporaryFolder;
using testing::entries;
using testing::writeFile;

// A file manager that records what the store asks of it and fails chosen operations.
class ScriptedFileManager : public FileManager {
 public:
  std::vector<std::string> calls;
  std::function<void(const std::string&, const fs::path&)> before;
  std::optional<std::vector<fs::path>> supportDirectories;
  fs::path home;
  int hideExistingFileChecks = 0;

  void step(const std::string& name, const fs::path& path) {
    calls.push_back(name + " " + path.filename().string());
    if (before) before(name, path);
  }
  std::vector<fs::path> applicationSupportDirectories() override {
    return supportDirectories ? *supportDirectories : FileManager::applicationSupportDirectories();
  }
  fs::path homeDirectory() override { return home.empty() ? FileManager::homeDirectory() : home; }
  bool fileExists(const fs::path& p) override {
    if (hideExistingFileChecks > 0) {
      --hideExistingFileChecks;
      return false;
    }
    return FileManager::fileExists(p);
  }
  void createDirectory(const fs::path& p) override {
    step("mkdir", p);
    FileManager::createDirectory(p);
  }
  std::vector<std::string> contentsOfDirectory(const fs::path& p) override {
    step("list", p);
    return FileManager::contentsOfDirectory(p);
  }
  void moveItem(const fs::path& a, const fs::path& b) override {
    step("move", a);
    FileManager::moveItem(a, b);
  }
  void replaceItem(const fs::path& a, const fs::path& b) override {
    step("replace", a);
    FileManager::replaceItem(a, b);
  }
  void writeNewFile(const fs::path& p, std::string_view bytes) override {
    step("write", p);
    FileManager::writeNewFile(p, bytes);
  }
  void removeItem(const fs::path& p) override {
    step("remove", p);
    FileManager::removeItem(p);
  }
  void synchronizeDirectory(const fs::path& p) override {
    step("sync", p);
    FileManager::synchronizeDirectory(p);
  }
};

ConfigSnapshot sampleDocument(const std::string& name = "Tidewell") {
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices.push_back(DeviceConfig::makeDefault(name, 48000.0));
  s.ui.selectedDeviceID = s.devices[0].id;
  return s;
}

TEST(ConfigStore, MissingFileErrorsAndCreationOfTheEmptyDocument) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "a" / "b" / "config.json";
  ConfigStore store(url);
  try {
    store.load();
    FAIL() << "loaded a missing file";
  } catch (const ConfigStoreError& e) {
    EXPECT_EQ(e, ConfigStoreError::missingConfig(url));
    EXPECT_EQ(e.description(), "No Tidewell config exists at " + url.string() + ".");
  }
  EXPECT_THROW(store.loadValidated(), ConfigStoreError);

  EXPECT_EQ(store.loadOrCreateEmpty(), ConfigSnapshot::empty());
  EXPECT_EQ(entries(url.parent_path()), std::set<std::string>{"config.json"});
  EXPECT_EQ(store.load(), ConfigSnapshot::empty());
}

TEST(ConfigStore, SaveWritesTheDocumentTextAndLeavesOnlyTheFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "new" / "config.json";
  ConfigStore store(url);
  ConfigSnapshot s = sampleDocument();
  s.devices[0].icon = "a/b";
  store.save(s);
  store.save(s);  // over an existing file
  EXPECT_EQ(entries(url.parent_path()), std::set<std::string>{"config.json"});
  std::string text = readFile(url);
  EXPECT_NE(text.find("\"muteWhenCapturing\""), std::string::npos);
  EXPECT_EQ(text.find("channelGains"), std::string::npos);
  EXPECT_EQ(text.find("\\/"), std::string::npos);
  EXPECT_EQ(store.loadValidated(), s);
  struct stat st{};
  ASSERT_EQ(stat(url.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(ConfigStore, SaveFlushesTheFileBeforeTheRenameAndTheFolderAfter) {
  TemporaryFolder tmp;
  auto files = std::make_shared<ScriptedFileManager>();
  ConfigStore store(tmp.path() / "config.json", files);
  store.save(sampleDocument());
  // The listing looks for temporary files of killed writers before this one makes its own.
  ASSERT_EQ(files->calls.size(), 5u);
  EXPECT_EQ(files->calls[0], "mkdir " + tmp.path().filename().string());
  EXPECT_EQ(files->calls[1], "list " + tmp.path().filename().string());
  EXPECT_EQ(files->calls[2].rfind("write .config.json.", 0), 0u) << files->calls[2];
  EXPECT_EQ(files->calls[3], "replace config.json");
  EXPECT_EQ(files->calls[4], "sync " + tmp.path().filename().string());
}

TEST(ConfigStore, AFailedSaveKeepsTheOldFileAndRemovesItsTemporaryFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  auto files = std::make_shared<ScriptedFileManager>();
  ConfigStore store(url, files);
  ConfigSnapshot original = sampleDocument("Old");
  store.save(original);
  const std::string before = readFile(url);

  files->before = [](const std::string& op, const fs::path& p) {
    if (op == "replace") throw FileSystemError("replace", p, EIO);
  };
  EXPECT_THROW(store.save(sampleDocument("New")), FileSystemError);
  EXPECT_EQ(readFile(url), before);
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});

  // The write fails after the temporary file was created.
  files->before = [](const std::string& op, const fs::path& p) {
    if (op == "write") {
      testing::writeFile(p, "partial");
      throw FileSystemError("write", p, ENOSPC);
    }
  };
  EXPECT_THROW(store.save(sampleDocument("New")), FileSystemError);
  EXPECT_EQ(readFile(url), before);
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});
  files->before = nullptr;

  // A document that cannot be encoded fails before any temporary file exists.
  ConfigSnapshot nan = sampleDocument("NaN");
  nan.devices[0].sources[0].gain = std::nan("");
  files->calls.clear();
  EXPECT_THROW(store.save(nan), EncodingError);
  for (const auto& c : files->calls) EXPECT_EQ(c.find("write"), std::string::npos) << c;
  EXPECT_EQ(readFile(url), before);
  EXPECT_EQ(store.load(), original);
}

TEST(ConfigStore, ARealReplaceFailureLeavesNoTemporaryFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  fs::create_directories(url / "occupied");  // a non-empty folder where the file should be
  ConfigStore store(url);
  for (int i = 0; i < 3; ++i) EXPECT_THROW(store.save(sampleDocument()), FileSystemError);
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});
}

TEST(ConfigStore, CreatingTheEmptyDocumentNeverReplacesAFileThatAppeared) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  auto files = std::make_shared<ScriptedFileManager>();
  ConfigStore store(url, files);
  ConfigSnapshot real = sampleDocument("Saved meanwhile");
  ConfigStore(url).save(real);
  // The existence check misses the file, as if it had been saved just after the check.
  files->hideExistingFileChecks = 1;
  EXPECT_EQ(store.loadOrCreateEmpty(), real);
  EXPECT_EQ(store.load(), real);
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});
}

TEST(ConfigStore, DamagedFilesAreReportedAndNeverOverwritten) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigStore store(url);
  writeFile(url, "{ not json");
  EXPECT_THROW(store.loadOrCreateEmpty(), DecodingError);
  EXPECT_EQ(readFile(url), "{ not json");
  writeFile(url, R"({"schemaVersion": 2, "devices": []})");
  try {
    store.loadOrCreateEmpty();
    FAIL();
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.kind(), DecodingError::Kind::keyNotFound);
    EXPECT_EQ(e.codingPath(), "ui");
  }
  fs::remove(url);
  fs::create_directory(url);
  EXPECT_THROW(store.loadOrCreateEmpty(), FileSystemError);
  EXPECT_TRUE(fs::is_directory(url));
}

TEST(ConfigStore, LoadValidatedRefusesErrorsButNotWarnings) {
  TemporaryFolder tmp;
  ConfigStore store(tmp.path() / "config.json");
  ConfigSnapshot s = sampleDocument();
  s.devices[0].sampleRate = 44100;           // warning
  s.devices[0].monitors.push_back(MonitorConfig{"m", "M", true, false, 1.0, std::nullopt, "", 2});
  s.devices[0].wires.push_back(Wire{"x", {EndpointKind::deviceOutput, "elsewhere", 1},
                                    {EndpointKind::monitor, "none", 1}});  // two warnings
  store.save(s);
  EXPECT_EQ(store.loadValidated(), s);

  s.devices[0].name = "";      // error 1
  s.devices[0].volume = 3;     // error 2
  s.devices[0].channelCount = 3;  // error 3 (and a pass-thru warning)
  store.save(s);
  try {
    store.loadValidated();
    FAIL();
  } catch (const ConfigStoreError& e) {
    EXPECT_EQ(e.kind(), ConfigStoreError::Kind::invalidConfig);
    EXPECT_EQ(e.result().errors.size(), 3u);
    EXPECT_EQ(e.result().warnings.size(), 5u);
    EXPECT_EQ(e.result(), ConfigValidator().validate(s));
    EXPECT_STREQ(e.what(), "Config contains 3 validation error(s).");
  }
  EXPECT_EQ(store.load(), s) << "plain load returns a document with errors";
}

TEST(ConfigStore, LoadMigratesOldSchemasAndNormalisesNewerOnes) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigStore store(url);
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices = {DeviceConfig::makeDefault("One", 48000.0), DeviceConfig::makeDefault("Two", 48000.0)};
  const std::string firstUID = s.devices[0].uid;

  s.schemaVersion = 1;
  s.ui.selectedDeviceID = s.devices[1].id;
  store.save(s);
  ConfigSnapshot migrated = store.load();
  EXPECT_EQ(migrated.schemaVersion, 2);
  EXPECT_EQ(migrated.devices[0].uid, firstUID);
  EXPECT_EQ(migrated.devices[1].uid, TidewellCore::passThruDeviceUID);

  s.schemaVersion = 7;
  store.save(s);
  ConfigSnapshot newer = store.load();
  ConfigSnapshot expected = s;
  expected.schemaVersion = 2;
  EXPECT_EQ(newer, expected);
  store.save(newer);
  EXPECT_NE(readFile(url).find("\"schemaVersion\": 2"), std::string::npos);
}

// A file as the earlier product wrote it: schema 1, no "uid", "icon", "volume" or
// "muteWhenCapturing" members yet, a member this version does not know, the second device selected.
TEST(ConfigStore, ARealisticSchemaOneFileMigratesAndSavesAsSchemaTwo) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  writeFile(url, R"({
  "schemaVersion" : 1,
  "devices" : [
    { "id" : "9F1C2D3E-0000-4000-8000-000000000001", "name" : "Calls", "enabled" : true,
      "sampleRate" : 48000, "channelCount" : 2,
      "sources" : [ { "id" : "src-mic", "type" : "hardwareInput", "name" : "USB Mic",
                      "enabled" : true, "muted" : false, "gain" : 0.8, "channelCount" : 1,
                      "metadata" : { "deviceUID" : "usb:mic/1" } } ],
      "monitors" : [ ],
      "wires" : [ { "id" : "w1", "from" : { "kind" : "source", "ownerID" : "src-mic", "channel" : 1 },
                    "to" : { "kind" : "deviceOutput", "ownerID" : "9F1C2D3E-0000-4000-8000-000000000001", "channel" : 1 } } ] },
    { "id" : "9F1C2D3E-0000-4000-8000-000000000002", "name" : "Zellvane", "enabled" : true,
      "sampleRate" : 48000, "channelCount" : 2, "channelGains" : [ 1, 0.5 ],
      "legacyColour" : "teal",
      "sources" : [ { "id" : "pt", "type" : "passThru", "name" : "Pass-Thru", "enabled" : true,
                      "muted" : false, "gain" : 1, "channelCount" : 2, "metadata" : { } },
                    { "id" : "app", "type" : "application", "name" : "Player", "enabled" : true,
                      "muted" : true, "gain" : 1, "channelCount" : 2,
                      "metadata" : { "bundleIdentifier" : "org.example.player", "pid" : 4242 } } ],
      "monitors" : [ { "id" : "mon", "name" : "Speakers", "enabled" : true, "muted" : false,
                       "gain" : 1, "deviceUID" : "builtin:out", "channelCount" : 2 } ],
      "wires" : [ ] }
  ],
  "ui" : { "appearance" : "dark", "selectedDeviceID" : "9F1C2D3E-0000-4000-8000-000000000002" }
})");
  ConfigStore store(url);
  ConfigSnapshot loaded = store.loadValidated();
  EXPECT_EQ(loaded.schemaVersion, 2);
  ASSERT_EQ(loaded.devices.size(), 2u);
  EXPECT_EQ(loaded.devices[0].uid,
            TidewellCore::derivedDeviceUID("9F1C2D3E-0000-4000-8000-000000000001"));
  EXPECT_EQ(loaded.devices[1].uid, TidewellCore::passThruDeviceUID);
  EXPECT_EQ(loaded.devices[1].icon, "waveform.circle");
  EXPECT_EQ(loaded.devices[1].volume, 1.0);
  EXPECT_EQ(loaded.devices[1].channelGains, (std::optional<std::vector<double>>{{1.0, 0.5}}));
  EXPECT_EQ(loaded.devices[1].sources[1].metadata.pid, 4242);
  EXPECT_EQ(loaded.devices[0].sources[0].metadata.deviceUID, std::optional<std::string>("usb:mic/1"));
  EXPECT_EQ(loaded.ui.appearance, Appearance::dark);

  store.save(loaded);
  const std::string text = readFile(url);
  EXPECT_NE(text.find("\"schemaVersion\": 2"), std::string::npos);
  EXPECT_EQ(text.find("legacyColour"), std::string::npos);
  EXPECT_NE(text.find("usb:mic/1"), std::string::npos);
  EXPECT_EQ(store.load(), loaded) << "a second read changes nothing more";
}

TEST(ConfigMigration, TargetsTheSelectedElseTheFirstDevice) {
  ConfigSnapshot s = ConfigSnapshot::empty();
  s.devices = {DeviceConfig::makeDefault("A", 48000.0), DeviceConfig::makeDefault("B", 48000.0)};
  const std::string uidA = s.devices[0].uid, uidB = s.devices[1].uid;
  for (std::int64_t version : {1, 0, -3}) {
    for (std::optional<std::string> selection :
         {std::optional<std::string>(), std::optional<std::string>("nope")}) {
      ConfigSnapshot old = s;
      old.schemaVersion = version;
      old.ui.selectedDeviceID = selection;
      ConfigSnapshot m = ConfigMigration::migrate(old);
      EXPECT_EQ(m.schemaVersion, 2);
      EXPECT_EQ(m.devices[0].uid, TidewellCore::passThruDeviceUID);
      EXPECT_EQ(m.devices[1].uid, uidB);
      EXPECT_EQ(m.ui, old.ui);
    }
  }
  ConfigSnapshot none = ConfigSnapshot::empty();
  none.schemaVersion = 1;
  EXPECT_EQ(ConfigMigration::migrate(none), ConfigSnapshot::empty());
  s.schemaVersion = 2;
  EXPECT_EQ(ConfigMigration::migrate(s), s);
  EXPECT_EQ(s.devices[0].uid, uidA);
}

TEST(ConfigStore, DefaultURLMovesTheLegacyFolderOnce) {
  TemporaryFolder tmp;
  ScopedEnvironment xdg("XDG_DATA_HOME", (tmp.path() / "data").string());
  const fs::path legacy = tmp.path() / "data" / "Zellvane";
  const fs::path current = tmp.path() / "data" / "Tidewell";

  // A schema-1 file from the earlier product, second device selected.
  ConfigSnapshot old = ConfigSnapshot::empty();
  old.devices = {DeviceConfig::makeDefault("First", 48000.0), DeviceConfig::makeDefault("Second", 48000.0)};
  old.schemaVersion = 1;
  old.ui.selectedDeviceID = old.devices[1].id;
  writeFile(legacy / "config.json", JSONEncoder::tidewell().encode(old));
  writeFile(legacy / "service-heartbeat", "1");
  writeFile(legacy / "bin" / "tool", "x");

  const fs::path url = ConfigStore::defaultURL();
  EXPECT_EQ(url, current / "config.json");
  EXPECT_EQ(entries(current), (std::set<std::string>{"config.json", "service-heartbeat"}));
  EXPECT_EQ(entries(legacy), std::set<std::string>{"bin"});

  ConfigStore store(url);
  ConfigSnapshot loaded = store.loadValidated();
  EXPECT_EQ(loaded.schemaVersion, 2);
  EXPECT_EQ(loaded.devices[0].uid, old.devices[0].uid);
  EXPECT_EQ(loaded.devices[1].uid, TidewellCore::passThruDeviceUID);

  // Once the new folder exists nothing more moves.
  writeFile(legacy / "late", "y");
  EXPECT_EQ(ConfigStore::defaultURL(), url);
  EXPECT_TRUE(fs::exists(legacy / "late"));
  EXPECT_FALSE(fs::exists(current / "late"));
}

TEST(ConfigStore, LegacyMoveSwallowsFailuresAndFallsBackToTheHomeFolder) {
  TemporaryFolder tmp;
  auto files = std::make_shared<ScriptedFileManager>();
  files->supportDirectories = std::vector<fs::path>{};
  files->home = tmp.path();
  const fs::path base = tmp.path() / "Library" / "Application Support";
  writeFile(base / "Zellvane" / "a", "1");
  writeFile(base / "Zellvane" / "b", "2");
  files->before = [](const std::string& op, const fs::path& p) {
    if (op == "move" && p.filename() == "a") throw FileSystemError("move", p, EACCES);
  };
  EXPECT_EQ(ConfigStore::defaultURL(files), base / "Tidewell" / "config.json");
  EXPECT_EQ(entries(base / "Tidewell"), std::set<std::string>{"b"});
  EXPECT_EQ(entries(base / "Zellvane"), std::set<std::string>{"a"});

  // A legacy folder that cannot be listed moves nothing and breaks nothing.
  TemporaryFolder other;
  auto failing = std::make_shared<ScriptedFileManager>();
  failing->supportDirectories = std::vector<fs::path>{other.path()};
  writeFile(other.path() / "Zellvane" / "x", "1");
  failing->before = [](const std::string& op, const fs::path& p) {
    if (op == "list" || op == "mkdir") throw FileSystemError(op, p, EACCES);
  };
  EXPECT_EQ(ConfigStore::defaultURL(failing), other.path() / "Tidewell" / "config.json");
  EXPECT_TRUE(fs::exists(other.path() / "Zellvane" / "x"));
}

TEST(ConfigStore, BothFoldersPresentMovesNothing) {
  TemporaryFolder tmp;
  auto files = std::make_shared<ScriptedFileManager>();
  files->supportDirectories = std::vector<fs::path>{tmp.path()};
  writeFile(tmp.path() / "Zellvane" / "config.json", "{}");
  fs::create_directories(tmp.path() / "Tidewell");
  ConfigStore::defaultURL(files);
  EXPECT_TRUE(files->calls.empty());
  EXPECT_TRUE(fs::exists(tmp.path() / "Zellvane" / "config.json"));
}

// One process saves two documents in turn thousands of times; this process loads as fast as it
// can meanwhile. Every load must decode to one of the two documents.
TEST(ConfigStore, AConcurrentReaderNeverSeesAPartialFile) {
  TemporaryFolder tmp;
  const fs::path url = tmp.path() / "config.json";
  ConfigSnapshot a = sampleDocument("A");
  ConfigSnapshot b = sampleDocument("B");
  for (int i = 0; i < 40; ++i) b.devices.push_back(DeviceConfig::makeDefault("B" + std::to_string(i), 48000.0));
  ConfigStore store(url);
  store.save(a);

  const int saves = 3000;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    try {
      ConfigStore writer(url);
      for (int i = 0; i < saves; ++i) writer.save(i % 2 ? a : b);
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }
  int loads = 0, sawA = 0, sawB = 0, failures = 0;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG);
    try {
      ConfigSnapshot s = store.load();
      ++loads;
      if (s == a)
        ++sawA;
      else if (s == b)
        ++sawB;
      else
        ++failures;
    } catch (const std::exception& e) {
      ++failures;
      ADD_FAILURE() << e.what();
    }
    if (done == child) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
      break;
    }
    if (failures > 10) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      break;
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GT(loads, 0);
  EXPECT_EQ(sawA + sawB, loads);
  EXPECT_EQ(entries(tmp.path()), std::set<std::string>{"config.json"});
  RecordProperty("loads", loads);
}

}  // namespace
}  // namespace tidewell
