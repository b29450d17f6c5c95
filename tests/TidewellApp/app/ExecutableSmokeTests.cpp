// The real Tidewell executable on a real X server (Xvfb), against a private stand-in audio
// server with the plug-in and a running routing service: it shows its window, the screen
// holds it, and SIGTERM ends it normally. Its command-line service install (what
// scripts/run.sh uses) leaves the service running as the launch agent.

#include <chrono>
#include <sstream>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "XvfbSession.h"
#include "TidewellCore/ConfigStore.h"

namespace tidewell::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The share of pixels that are not the empty screen's black.
double paintedFraction(const QImage& screen) {
  qint64 painted = 0;
  for (int y = 0; y < screen.height(); ++y)
    for (int x = 0; x < screen.width(); ++x) painted += (screen.pixel(x, y) & 0xffffff) != 0;
  return double(painted) / (double(screen.width()) * screen.height());
}

class ExecutableSmokeTest : public ::testing::Test {
 protected:
  fs::path home;
  PrivateAudioServer server{true};
  pid_t xvfb = -1, service = -1, app = -1;
  std::string display;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tidewell-smoke-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home = pattern;
    for (const char* sub : {"data/Tidewell", "state", "config", "runtime", "screen"})
      fs::create_directories(home / sub);
    fs::permissions(home / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  }
  void TearDown() override {
    // An agent a test loaded goes with its service (nothing when none is loaded).
    runWith({(binDirectory() / "launchctl").string(), "bootout",
                "gui/" + std::to_string(::getuid()) + "/app.tidewell.service"},
               userEnvironment());
    for (pid_t* pid : {&app, &service, &xvfb}) {
      if (*pid <= 0) continue;
      ::kill(*pid, SIGTERM);
      ::waitpid(*pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  std::vector<std::string> userEnvironment() const {
    std::vector<std::string> environment = {
        "HOME=" + home.string(), "PATH=/usr/bin:/bin",
        "XDG_DATA_HOME=" + (home / "data").string(), "XDG_STATE_HOME=" + (home / "state").string(),
        "XDG_CONFIG_HOME=" + (home / "config").string(), "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
        std::string("AUDIOSERVER_SOCKET=") + std::getenv("AUDIOSERVER_SOCKET")};
    // A sanitizer build's programs report under the options the test run was given.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
  }

  void startXvfb() {
    display = tidewell::testing::startXvfb(userEnvironment(), home / "screen", home / "xvfb.log", xvfb);
    ASSERT_GT(xvfb, 0);
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  }

  void startService() {
    std::vector<std::string> environment = userEnvironment();
    environment.push_back("TIDEWELL_HELPER_DIR=" + binDirectory().string());
    environment.push_back("TIDEWELL_SERVICE_POLL_SECONDS=0.2");
    service = spawnWith({(binDirectory() / "tidewell-service").string()}, environment, home / "service.log");
    ASSERT_GT(service, 0);
  }

  // The processes whose program is `program`.
  static std::vector<pid_t> processesRunning(const fs::path& program) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code error;
      if (fs::read_symlink(entry.path() / "exe", error) == program) found.push_back(std::stoi(name));
    }
    return found;
  }

  // SIGTERM ends the application normally, with status 0.
  void endsNormallyOnSigterm() {
    ::kill(app, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(app, &status, 0), app);
    app = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  bool windowViewable() {
    pid_t pid = -1;
    const fs::path out = home / "xwininfo.txt";
    fs::remove(out);
    pid = spawnWith({"/usr/bin/xwininfo", "-display", display, "-name", "Tidewell"}, userEnvironment(), out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::ifstream stream(out);
    std::stringstream text;
    text << stream.rdbuf();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           text.str().find("Map State: IsViewable") != std::string::npos;
  }
};

TEST_F(ExecutableSmokeTest, StartsShowsItsWindowOnXAndEndsNormallyOnSigterm) {
  startXvfb();
  startService();
  std::vector<std::string> environment = userEnvironment();
  environment.push_back("DISPLAY=" + display);
  environment.push_back("QT_QPA_PLATFORM=xcb");
  environment.push_back(std::string("AUDIOSERVER_PLUGIN_PATH=") + std::getenv("TIDEWELL_PLUGIN_DIR"));
  const auto started = std::chrono::steady_clock::now();
  app = spawnWith({(binDirectory() / "Tidewell").string()}, environment, home / "app.log");
  ASSERT_GT(app, 0);
  ASSERT_TRUE(eventually([&] { return windowViewable(); }, 30s));
  const auto shown = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  RecordProperty("windowShownAfterMilliseconds", int(shown * 1000));
  std::printf("window viewable %.0f ms after start\n", shown * 1000);

  // The screen shows the painted window: most of Xvfb's black screen is covered by it.
  QImage screen;
  ASSERT_TRUE(eventually([&] {
    screen = readXwdScreen(home / "screen/Xvfb_screen0");
    return !screen.isNull() && paintedFraction(screen) > 0.6;
  }, 20s)) << "painted fraction " << (screen.isNull() ? 0.0 : paintedFraction(screen));
  const fs::path artifacts = TIDEWELL_TEST_ARTIFACTS_DIR;
  fs::create_directories(artifacts);
  ASSERT_TRUE(screen.save(QString::fromStdString((artifacts / "tidewell-xvfb-screen.png").string())));
  EXPECT_EQ(runWith({"/usr/bin/xwininfo", "-display", display, "-name", "Tidewell"}, userEnvironment()), 0);

  endsNormallyOnSigterm();
}

// A launch from a menu or a dock starts a new process: it hands over to the running window and
// ends with status 0, so two windows never overwrite each other's saves. The offscreen render
// scripts/run.sh makes takes no part, and a window that was killed leaves nothing in the way.
TEST_F(ExecutableSmokeTest, ASecondStartBringsTheFirstWindowForwardAndExitsZero) {
  startService();
  std::vector<std::string> environment = userEnvironment();
  environment.push_back("QT_QPA_PLATFORM=offscreen");
  environment.push_back(std::string("AUDIOSERVER_PLUGIN_PATH=") + std::getenv("TIDEWELL_PLUGIN_DIR"));
  const std::string program = (binDirectory() / "Tidewell").string();
  auto readFile = [](const fs::path& file) {
    std::ifstream stream(file);
    return std::string(std::istreambuf_iterator<char>(stream), {});
  };
  // The window's lock, in the private runtime folder, names the process that holds it.
  auto holds = [&](pid_t pid) {
    for (const auto& entry : fs::directory_iterator(home / "runtime")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("tidewell-", 0) == 0 && entry.path().extension() == ".lock") {
        std::istringstream text(readFile(entry.path()));
        pid_t holder = 0;
        return text >> holder && holder == pid;
      }
    }
    return false;
  };
  auto logSays = [&](const fs::path& log, const std::string& text) {
    return readFile(log).find(text) != std::string::npos;
  };
  auto running = [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; };
  // A start's exit status; -1 when it is still running after the limit (it is then ended).
  auto exitStatus = [&](std::vector<std::string> arguments, const fs::path& log) {
    const pid_t pid = spawnWith(arguments, environment, log);
    int status = 0;
    const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  const std::string raised = "another start brought this window forward";

  app = spawnWith({program}, environment, home / "app.log");
  ASSERT_GT(app, 0);
  ASSERT_TRUE(eventually([&] { return holds(app); }, 30s)) << readFile(home / "app.log");
  EXPECT_EQ(exitStatus({program}, home / "second.log"), 0) << readFile(home / "second.log");
  EXPECT_TRUE(eventually([&] { return logSays(home / "app.log", raised); }, 10s)) << readFile(home / "app.log");
  EXPECT_TRUE(running(app)) << "the first window runs on";

  // The render beside the open window.
  const fs::path picture = home / "window.png";
  EXPECT_EQ(exitStatus({program, "--screenshot", picture.string()}, home / "screenshot.log"), 0)
      << readFile(home / "screenshot.log");
  EXPECT_FALSE(QImage(QString::fromStdString(picture.string())).isNull());

  // Killed, the window leaves its socket file; the next start takes over all the same.
  ::kill(app, SIGKILL);
  ::waitpid(app, nullptr, 0);
  app = spawnWith({program}, environment, home / "app2.log");
  ASSERT_GT(app, 0);
  ASSERT_TRUE(eventually([&] { return holds(app); }, 30s)) << readFile(home / "app2.log");
  EXPECT_EQ(exitStatus({program}, home / "third.log"), 0) << readFile(home / "third.log");
  EXPECT_TRUE(eventually([&] { return logSays(home / "app2.log", raised); }, 10s)) << readFile(home / "app2.log");

  endsNormallyOnSigterm();
}

// Fault mended: the render ran a full live model beside the user's window: it published its
// reading of the file over the window's pending live values, saved (a configuration without
// devices got the default one), and reinstalled a service of another build.
TEST_F(ExecutableSmokeTest, TheRenderOnlyLooks) {
  auto readFile = [](const fs::path& file) {
    std::ifstream stream(file);
    return std::string(std::istreambuf_iterator<char>(stream), {});
  };
  // A configuration the window would add its default device to and save.
  const fs::path config = home / "data/Tidewell/config.json";
  ConfigStore(config).save(ConfigSnapshot::empty());
  const std::string saved = readFile(config);
  // A service installed by another build, which the window would reinstall; a launchctl that
  // writes down what it is asked and knows no job.
  fs::create_directories(home / "config/launch-agents");
  std::ofstream(home / "config/launch-agents/app.tidewell.service.plist") << "<plist/>\n";
  std::ofstream(home / "data/Tidewell/service-build") << "other\n";
  const fs::path launchctl = home / "launchctl";
  std::ofstream(launchctl) << "#!/bin/sh\necho \"$*\" >> '" << (home / "launchctl.calls").string() << "'\nexit 113\n";
  fs::permissions(launchctl, fs::perms::owner_all);
  // The runtime region as a window left it.
  const bool privateRegions = std::getenv("TIDEWELL_IN_PRIVATE_SHM") != nullptr;
  if (privateRegions) fs::remove("/dev/shm/twruntime3");

  std::vector<std::string> environment = userEnvironment();
  environment.push_back("QT_QPA_PLATFORM=offscreen");
  environment.push_back(std::string("AUDIOSERVER_PLUGIN_PATH=") + std::getenv("TIDEWELL_PLUGIN_DIR"));
  environment.push_back("TIDEWELL_LAUNCHCTL=" + launchctl.string());
  const fs::path picture = home / "window.png";
  ASSERT_EQ(runWith({(binDirectory() / "Tidewell").string(), "--screenshot", picture.string()}, environment,
                    home / "screenshot.log"),
            0)
      << readFile(home / "screenshot.log");
  EXPECT_FALSE(QImage(QString::fromStdString(picture.string())).isNull());

  EXPECT_EQ(readFile(config), saved) << "the user's configuration was saved over";
  EXPECT_EQ(readFile(home / "data/Tidewell/service-build"), "other\n") << "the service was reinstalled";
  const std::string calls = readFile(home / "launchctl.calls");
  for (const char* verb : {"bootout", "bootstrap", "enable", "kickstart"})
    EXPECT_EQ(calls.find(verb), std::string::npos) << calls;
  if (privateRegions) {
    EXPECT_FALSE(fs::exists("/dev/shm/twruntime3")) << "the render published the runtime region";
  }
}

TEST_F(ExecutableSmokeTest, InstallsTheServiceAsALaunchAgentFromTheCommandLine) {
  const std::string launchctl = (binDirectory() / "launchctl").string();
  const std::string target = "gui/" + std::to_string(::getuid()) + "/app.tidewell.service";
  std::vector<std::string> environment = userEnvironment();
  environment.push_back("QT_QPA_PLATFORM=offscreen");
  environment.push_back("TIDEWELL_LAUNCH_BACKEND=supervisor");

  // Without a launchctl nothing can be loaded: the install says so and fails.
  std::vector<std::string> broken = environment;
  broken.push_back("TIDEWELL_LAUNCHCTL=" + (home / "no-launchctl").string());
  EXPECT_EQ(runWith({(binDirectory() / "Tidewell").string(), "--install-service"}, broken), 1);

  environment.push_back("TIDEWELL_LAUNCHCTL=" + launchctl);
  ASSERT_EQ(runWith({(binDirectory() / "Tidewell").string(), "--install-service"}, environment), 0)
      << "see " << (home / "state/Tidewell").string();
  const fs::path installed = home / "data/Tidewell/bin/tidewell-service";
  EXPECT_TRUE(fs::exists(home / "config/launch-agents/app.tidewell.service.plist"));
  // The build is recorded, so the window does not install the same build again at its start.
  EXPECT_TRUE(fs::exists(home / "data/Tidewell/service-build"));
  // The agent runs the installed copy, which beats.
  EXPECT_TRUE(eventually([&] { return processesRunning(installed).size() == 1; }, 20s));
  EXPECT_TRUE(eventually([&] { return fs::exists(home / "data/Tidewell/service-heartbeat"); }, 20s));

  // Installing again replaces the running instance rather than adding one.
  ASSERT_EQ(runWith({(binDirectory() / "Tidewell").string(), "--install-service"}, environment), 0);
  EXPECT_TRUE(eventually([&] { return processesRunning(installed).size() == 1; }, 20s));
  EXPECT_EQ(processesRunning(installed).size(), 1u);

  // Unloading the agent ends the service and its supervisor.
  EXPECT_EQ(runWith({launchctl, "bootout", target}, environment), 0);
  EXPECT_TRUE(eventually([&] { return processesRunning(installed).empty(); }, 30s));
  EXPECT_NE(runWith({launchctl, "print", target}, environment), 0);
}

}  // namespace
}  // namespace tidewell::testing
