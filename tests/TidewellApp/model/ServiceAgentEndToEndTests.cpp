// The service installed for real in a private HOME: the build's executables copied into place,
// the agent loaded by the build's launchctl under its own supervisor, the plug-in in a private
// audio server, and the model's health checks reading what a user would see: installed,
// running, killed and brought back by the agent, reinstalled for another build, uninstalled.

#include <QDirIterator>
#include <csignal>
#include <set>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "ServiceTestSupport.h"
#include "TidewellApp/RunCommand.h"

namespace tidewell::testing {
namespace {

// The whole test program lives in its own HOME and runtime folder, set before anything reads
// them (the audio client's threads read the environment once they run).
std::filesystem::path privateHome() {
  static const std::filesystem::path home = [] {
    char pattern[] = "/tmp/tw-service-agent-XXXXXX";
    std::filesystem::path path = ::mkdtemp(pattern);
    for (const char* sub : {"run", "data", "state", "config"}) std::filesystem::create_directories(path / sub);
    std::filesystem::permissions(path / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    ::setenv("HOME", path.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (path / "run").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (path / "data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (path / "state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (path / "config").c_str(), 1);
    ::setenv("TIDEWELL_LAUNCH_BACKEND", "supervisor", 1);
    ::setenv("TIDEWELL_LAUNCHCTL", (binDirectory() / "launchctl").c_str(), 1);
    return path;
  }();
  return home;
}
const std::filesystem::path homeAtStart = privateHome();
// Removed when the program ends.
struct RemoveHome {
  ~RemoveHome() {
    std::error_code ignored;
    std::filesystem::remove_all(homeAtStart, ignored);
  }
} removeHome;

using namespace std::chrono_literals;

// Every file under HOME (runtime folder left out: the supervisor's sockets come and go).
std::set<QString> filesUnderHome() {
  std::set<QString> files;
  const QString home = QString::fromStdString(privateHome().string());
  QDirIterator it(home, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next().mid(home.size());
    if (!path.startsWith("/run/")) files.insert(path);
  }
  return files;
}

// Live processes other than this one and the audio server that run in our HOME.
std::vector<std::string> processesInOurHome() { return processesWithHome(privateHome(), {"audioserverd"}); }

class ServiceAgentEndToEndTest : public ModelTest {
 protected:
  PrivateAudioServer server{true};
  std::vector<QString> summaries;
  std::shared_ptr<LaunchAgentServiceController> controller;
  std::unique_ptr<TidewellAppModel> model;

  void SetUp() override {
    ASSERT_EQ(homeAtStart, privateHome());
    makeModel("42");
  }
  void TearDown() override {
    // Whatever happened, nothing may outlive the test.
    runCommand(launchctl(), {"bootout", target()});
    eventually([] { return processesInOurHome().empty(); }, 15s);
  }

  void makeModel(const QString& build) {
    LaunchAgentServiceController::Settings settings = LaunchAgentServiceController::Settings::live();
    settings.bundle.resourceFolders = {QString::fromStdString(binDirectory().string())};
    settings.bundle.buildNumber = build;
    settings.log = [](ServiceLogLevel, const QString&) {};
    controller = std::make_shared<LaunchAgentServiceController>(settings);
    AppEnvironment env = environment();
    env.registry = makeAudioServerDeviceRegistry();
    env.clock = makeSystemClock();
    env.serviceController = controller;
    model = std::make_unique<TidewellAppModel>(env);
    // Its first status question has its answer: no launchctl of its own runs any more.
    ServiceControllerTest::settle(*model);
    QObject::connect(model.get(), &TidewellAppModel::compactHealthSummaryChanged, model.get(),
                     [this] { summaries.push_back(model->compactHealthSummary()); });
  }

  static QString launchctl() { return qEnvironmentVariable("TIDEWELL_LAUNCHCTL"); }
  QString target() const { return LaunchAgent::serviceTarget(::getuid()); }
  CommandResult print() { return runCommand(launchctl(), {"print", target()}); }
  // The job's process id while launchd runs it.
  std::optional<int> servicePid() {
    const CommandResult result = print();
    if (result.status != 0 || !result.output.contains("state = running")) return std::nullopt;
    const auto at = result.output.indexOf("pid = ");
    if (at < 0) return std::nullopt;
    return result.output.mid(at + 6).section('\n', 0, 0).trimmed().toInt();
  }
  std::optional<Clock::TimePoint> lastBeat() {
    return ServiceHeartbeat::lastBeat(controller->heartbeatFile().toStdString());
  }
  // Health ticks, four a second, until the condition holds or the limit passes.
  template <class Condition>
  bool tickUntil(Condition condition, std::chrono::seconds limit) {
    return eventually([&] {
      model->healthTick();
      QCoreApplication::processEvents();
      return condition();
    }, limit);
  }
  bool onWithAFreshBeatAfter(Clock::TimePoint since) {
    const auto beat = lastBeat();
    return model->compactHealthSummary() == QString::fromUtf8("Driver Loaded \u2022 Service On") &&
           !model->heartbeatStaleSince() && beat && *beat > since;
  }
};

TEST_F(ServiceAgentEndToEndTest, InstalledRunsComesBackAfterAKillIsReinstalledForANewBuildAndLeavesNothing) {
  const auto before = filesUnderHome();
  ASSERT_TRUE(processesInOurHome().empty());
  const auto installStart = std::chrono::system_clock::now();
  ServiceControllerTest::install(*model);
  ASSERT_EQ(model->serviceStatusMessage(), "Service running") << model->serviceStatusMessage().toStdString();

  // The four executables and the agent definition are in place.
  const ServiceLocations& at = controller->settings().locations;
  for (const QString& name : LaunchAgent::serviceExecutableNames()) {
    const QFileInfo installed(QDir(at.serviceBin).filePath(name));
    EXPECT_TRUE(installed.isFile() && installed.isExecutable()) << name.toStdString();
    EXPECT_EQ(installed.size(), QFileInfo(QDir(QString::fromStdString(binDirectory().string())).filePath(name)).size());
  }
  EXPECT_EQ(ServiceControllerTest::contents(at.servicePlist),
            propertyListText(serviceAgentDefinition(at, "app.tidewell.main")));
  EXPECT_EQ(ServiceControllerTest::contents(controller->installMarkerFile()), "42\n");

  // launchd runs it at once.
  ASSERT_TRUE(eventually([&] { return servicePid().has_value(); }, 2s)) << print().output.toStdString();
  const int firstPid = *servicePid();

  // Its heartbeat becomes fresh and the summary reads healthy.
  ASSERT_TRUE(tickUntil([&] { return onWithAFreshBeatAfter(installStart); }, 20s))
      << model->compactHealthSummary().toStdString();
  EXPECT_TRUE(model->halDriverLoaded());
  EXPECT_EQ(model->primaryHealthIssue(), std::nullopt);

  // Killed: the agent starts it again (after its restart delay) and the health comes back.
  // Meanwhile, once the last beat is stale, launchd reports the job waiting to restart: the
  // summary reads "Service Off" for those ticks, never "Stalled" (that needs a job that runs
  // without beating).
  summaries.clear();
  const auto killedAt = std::chrono::system_clock::now();
  ASSERT_EQ(::kill(firstPid, SIGKILL), 0);
  ASSERT_TRUE(tickUntil([&] {
    auto pid = servicePid();
    return pid && *pid != firstPid && onWithAFreshBeatAfter(killedAt);
  }, 45s)) << model->compactHealthSummary().toStdString() << " / " << print().output.toStdString();
  QStringList seen;
  for (const QString& summary : summaries) seen << summary;
  RecordProperty("summariesAfterKill", seen.join(" | ").toStdString());
  EXPECT_FALSE(seen.join("|").contains("Stalled")) << seen.join(" | ").toStdString();
  EXPECT_EQ(processesInOurHome().size(), 2u) << "the supervisor and the service, no helper without a route";

  // A service that hangs: launchd still runs the job, its heartbeat goes stale; after the grace
  // the summary reads "Stalled", and it comes back once the service goes on.
  const int hungPid = *servicePid();
  summaries.clear();
  ASSERT_EQ(::kill(hungPid, SIGSTOP), 0);
  const bool stalled = tickUntil([&] { return model->compactHealthSummary().endsWith("Stalled"); }, 40s);
  const auto resumedAt = std::chrono::system_clock::now();
  ::kill(hungPid, SIGCONT);
  ASSERT_TRUE(stalled) << model->compactHealthSummary().toStdString();
  EXPECT_EQ(model->serviceStatusMessage(), "Service running but not responding");
  EXPECT_EQ(model->primaryHealthIssue(), HealthIssue::serviceUnresponsive);
  EXPECT_EQ(summaries, std::vector<QString>{QString::fromUtf8("Driver Loaded \u2022 Service Stalled")})
      << "on until the grace is over";
  ASSERT_TRUE(tickUntil([&] { return onWithAFreshBeatAfter(resumedAt); }, 20s));
  EXPECT_EQ(servicePid(), hungPid) << "a hung job is not restarted";

  // Installed by build 41, the application is build 42: reinstalled once.
  const int secondPid = *servicePid();
  ServiceInstallMarker::write("41", controller->installMarkerFile().toStdString());
  const auto reinstallStart = std::chrono::system_clock::now();
  ServiceControllerTest::reinstallIfStale(*model);
  EXPECT_EQ(ServiceControllerTest::contents(controller->installMarkerFile()), "42\n");
  ASSERT_TRUE(eventually([&] { auto pid = servicePid(); return pid && *pid != secondPid; }, 10s))
      << print().output.toStdString();
  EXPECT_TRUE(tickUntil([&] { return onWithAFreshBeatAfter(reinstallStart); }, 20s));

  // Uninstalled: no agent, no process; the agent definition and the marker are gone, and
  // only the executables, the logs and the service's own data files stay.
  ServiceControllerTest::uninstall(*model);
  EXPECT_EQ(model->serviceStatusMessage(), "Service not installed");
  EXPECT_FALSE(print().output.contains("state = running"));
  EXPECT_TRUE(eventually([] { return processesInOurHome().empty(); }, 15s))
      << ::testing::PrintToString(processesInOurHome());
  const auto after = filesUnderHome();
  QStringList added, removed;
  for (const QString& file : after) if (!before.count(file)) added << file;
  for (const QString& file : before) if (!after.count(file)) removed << file;
  RecordProperty("filesBefore", QStringList(before.begin(), before.end()).join(" ").toStdString());
  RecordProperty("filesAfter", QStringList(after.begin(), after.end()).join(" ").toStdString());
  EXPECT_TRUE(removed.isEmpty()) << removed.join(" ").toStdString();
  for (const QString& file : added) {
    const bool expected = file.startsWith("/data/Tidewell/bin/tidewell-") ||
                          file.startsWith("/state/Tidewell/audioagent.") ||
                          QStringList{"/data/Tidewell/service-heartbeat", "/data/Tidewell/service.lock",
                                      "/data/Tidewell/service-helpers", "/data/Tidewell/config.json"}
                              .contains(file);
    EXPECT_TRUE(expected) << "left behind: " << file.toStdString();
  }
  // Only the empty lock file that serialises bootstraps stays in the runtime folder.
  const QStringList launchState =
      QDir(QString::fromStdString((privateHome() / "run" / "tidewell-launch").string()))
          .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
  EXPECT_TRUE(launchState.isEmpty() || launchState == QStringList{"bootstrap.lock"})
      << launchState.join(" ").toStdString();
}

}  // namespace
}  // namespace tidewell::testing
