#include "AcceptanceScenario.h"

#include <QImage>

#include <sstream>

namespace tidewell::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Folders of the private root that come and go with the processes or belong to the test
// itself; the comparison after the uninstall leaves them out.
const std::set<std::string> notCompared = {"run", "sockets", "screen", "logs", "work"};

std::string artifact(const std::string& name) {
  const fs::path folder = TIDEWELL_TEST_ARTIFACTS_DIR;
  fs::create_directories(folder);
  return (folder / (name + ".png")).string();
}

}  // namespace

AcceptanceWorld::AcceptanceWorld() {
  std::string pattern = (fs::temp_directory_path() / "tw-accept-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  // A user's home has its standard folders before any application runs.
  for (const char* sub : {"home/.config", "home/.local/share", "home/.local/state", "home/.cache", "run", "HAL",
                          "sockets", "screen", "logs", "work"})
    fs::create_directories(root_ / sub);
  fs::permissions(root_ / "run", fs::perms::owner_all, fs::perm_options::replace);
}

AcceptanceWorld::~AcceptanceWorld() {
  stopAll();
  // A failing run keeps its logs for a person to read.
  if (!::testing::UnitTest::GetInstance()->Passed()) {
    std::printf("acceptance scenario: logs kept in %s\n", logs().c_str());
    for (const auto& sub : fs::directory_iterator(root_))
      if (sub.path().filename() != "logs") fs::remove_all(sub.path());
    return;
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void AcceptanceWorld::keepHomeLogs(const std::string& step) const {
  std::error_code ignored;
  const fs::path into = logs() / step;
  for (auto it = fs::recursive_directory_iterator(home(), ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (!it->is_regular_file(ignored) || it->path().extension() != ".log") continue;
    fs::create_directories(into, ignored);
    fs::copy_file(it->path(), into / it->path().filename(), fs::copy_options::overwrite_existing, ignored);
  }
}

std::vector<std::string> AcceptanceWorld::environment() const {
  const fs::path home = this->home();
  std::vector<std::string> environment = {
      "HOME=" + home.string(),
      "PATH=/usr/bin:/bin",
      "XDG_CONFIG_HOME=" + (home / ".config").string(),
      "XDG_DATA_HOME=" + (home / ".local/share").string(),
      "XDG_STATE_HOME=" + (home / ".local/state").string(),
      "XDG_CACHE_HOME=" + (home / ".cache").string(),
      "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
      "AUDIOSERVER_SOCKET=" + (root_ / "sockets/control").string(),
      "AUDIOSERVER_PLUGIN_PATH=" + plugInFolder().string(),
      "TIDEWELL_LAUNCH_BACKEND=supervisor",
      "TIDEWELL_LAUNCHCTL=" + (binDirectory() / "launchctl").string(),
  };
  if (!display_.empty()) environment.push_back("DISPLAY=" + display_);
  // A sanitizer build's programs report under the options the test run was given.
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  return environment;
}

std::vector<std::string> AcceptanceWorld::applicationEnvironment() const {
  std::vector<std::string> environment = this->environment();
  environment.push_back("QT_QPA_PLATFORM=xcb");
  environment.push_back("QT_PLUGIN_PATH=" + std::string(TIDEWELL_TEST_PLUGIN_DIR));
  environment.push_back("QT_QPA_GENERIC_PLUGINS=tidewellwindowdriver");
  environment.push_back("TIDEWELL_WINDOW_DRIVER_SOCKET=" + (root_ / "run/window-driver").string());
  // One look for every screenshot, whatever the machine's desktop.
  environment.push_back("TIDEWELL_COLOR_SCHEME=dark");
  return environment;
}

bool AcceptanceWorld::startDisplayAndServer(std::string& why) {
  display_ = startXvfb(environment(), root_ / "screen", logs() / "xvfb.log", xvfb_, "1600x1200x24");
  if (display_.empty()) {
    why = "Xvfb did not start";
    return false;
  }
  const Run started = run({"audioctl", "start"});
  if (started.status != 0) {
    why = "audioctl start: " + started.output;
    return false;
  }
  if (!eventually([&] { return listedDevice("Built-in Output").has_value(); }, 60s)) {
    why = "the audio server lists no Built-in Output";
    return false;
  }
  return true;
}

bool AcceptanceWorld::startApplication(std::string& why) {
  // The user gives the window the whole screen, so the editor's three columns and a device's
  // sources all show at once (there is no window manager to maximise it).
  app_ = spawnWith({(binDirectory() / "Tidewell").string(), "-geometry", "1600x1200+0+0"}, applicationEnvironment(),
                   logs() / "Tidewell.log");
  if (app_ <= 0) {
    why = "Tidewell did not start";
    return false;
  }
  const std::string socket = (root_ / "run/window-driver").string();
  if (!eventually([&] { return driver_.connectTo(socket); }, 60s)) {
    why = "no window driver in Tidewell: " + readFile(logs() / "Tidewell.log");
    return false;
  }
  return true;
}

int AcceptanceWorld::waitForApplicationEnd(std::chrono::seconds limit) {
  if (app_ <= 0) return -1;
  int status = 0;
  const bool ended = eventually([&] { return ::waitpid(app_, &status, WNOHANG) == app_; }, limit);
  if (!ended) return -1;
  app_ = -1;
  driver_.disconnect();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void AcceptanceWorld::stopAll() {
  driver_.disconnect();
  if (app_ > 0) {
    ::kill(app_, SIGTERM);
    if (waitForApplicationEnd(30s) < 0 && app_ > 0) {
      ::kill(app_, SIGKILL);
      ::waitpid(app_, nullptr, 0);
      app_ = -1;
    }
  }
  // Whatever the scenario left installed stops with it.
  run({"launchctl", "bootout", LaunchAgent::serviceTarget(::getuid()).toStdString()});
  eventually([&] { return processesWithHome(home(), {"Xvfb", "audioserverd"}).empty(); }, 30s);
  run({"audioctl", "stop"});
  if (xvfb_ > 0) {
    ::kill(xvfb_, SIGTERM);
    ::waitpid(xvfb_, nullptr, 0);
    xvfb_ = -1;
  }
}

AcceptanceWorld::Run AcceptanceWorld::run(const std::vector<std::string>& arguments) const {
  static int runs = 0;
  std::vector<std::string> words = arguments;
  if (words[0].find('/') == std::string::npos) words[0] = (binDirectory() / words[0]).string();
  const fs::path log = logs() / ("run-" + std::to_string(++runs) + ".txt");
  Run result;
  result.status = runWith(words, environment(), log);
  result.output = readFile(log);
  fs::remove(log);
  return result;
}

pid_t AcceptanceWorld::spawn(const std::vector<std::string>& arguments, const std::string& logName) const {
  std::vector<std::string> words = arguments;
  if (words[0].find('/') == std::string::npos) words[0] = (binDirectory() / words[0]).string();
  return spawnWith(words, environment(), logs() / logName);
}

std::vector<ListedDevice> AcceptanceWorld::audioctlList() const {
  std::vector<ListedDevice> devices;
  const Run listed = run({"audioctl", "list"});
  if (listed.status != 0) return devices;
  std::istringstream lines(listed.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != ' ') {
      devices.push_back({line, {}, 0, 0});
    } else if (!devices.empty()) {
      auto value = [&](const char* key) -> std::optional<std::string> {
        const std::string prefix = std::string("  ") + key + ": ";
        if (line.rfind(prefix, 0) != 0) return std::nullopt;
        return line.substr(prefix.size());
      };
      if (auto uid = value("uid")) devices.back().uid = *uid;
      if (auto in = value("input channels")) devices.back().inputChannels = std::atoi(in->c_str());
      if (auto out = value("output channels")) devices.back().outputChannels = std::atoi(out->c_str());
    }
  }
  return devices;
}

std::optional<ListedDevice> AcceptanceWorld::listedDevice(const std::string& name) const {
  for (const ListedDevice& device : audioctlList())
    if (device.name == name) return device;
  return std::nullopt;
}

QJsonObject AcceptanceWorld::find(const Select& select) {
  return driver_.call({{"op", "find"}, {"select", select}});
}

bool AcceptanceWorld::waitVisible(const Select& select, std::chrono::seconds limit) {
  return eventually([&] { return visible(select); }, limit);
}

bool AcceptanceWorld::waitGone(const Select& select, std::chrono::seconds limit) {
  return eventually([&] {
    const QJsonObject found = find(select);
    return found.value("ok").toBool() && found.value("count").toInt() == 0;
  }, limit);
}

namespace {
std::string complaint(const QJsonObject& answer) {
  return answer.value("ok").toBool() ? std::string() : answer.value("error").toString("no answer").toStdString();
}
}  // namespace

std::string AcceptanceWorld::click(const Select& select) {
  return complaint(driver_.call({{"op", "click"}, {"select", select}}));
}

std::string AcceptanceWorld::clickAtX(const Select& select, int x) {
  return complaint(driver_.call({{"op", "click"}, {"select", select}, {"x", x}}));
}

std::string AcceptanceWorld::typeText(const Select& select, const QString& text) {
  return complaint(driver_.call({{"op", "typeText"}, {"select", select}, {"text", text}}));
}

std::string AcceptanceWorld::drag(const Select& from, const Select& to) {
  return complaint(driver_.call({{"op", "drag"}, {"from", from}, {"to", to}}));
}

std::string AcceptanceWorld::chooseMenu(const QString& title, const QString& item) {
  if (std::string why = complaint(driver_.call({{"op", "menuBar"}, {"title", title}})); !why.empty()) return why;
  return chooseInOpenMenu(item, false);
}

std::string AcceptanceWorld::chooseInOpenMenu(const QString& item, bool prefix) {
  // Once the menu is open its items are there: one look decides.
  std::string why;
  eventually([&] {
    why = complaint(driver_.call({{"op", "menuItem"}, {"text", item}, {"prefix", prefix}}));
    return why != "no open menu";
  }, 30s);
  return why;
}

std::string AcceptanceWorld::key(const Select& select, const QString& key) {
  return complaint(driver_.call({{"op", "key"}, {"select", select}, {"key", key}}));
}

std::string AcceptanceWorld::clickMidpoint(const Select& from, const Select& to) {
  return complaint(driver_.call({{"op", "clickMidpoint"}, {"from", from}, {"to", to}}));
}

std::string AcceptanceWorld::chooseFromButtonMenu(const Select& button, const QString& item, bool prefix) {
  if (std::string why = click(button); !why.empty()) return why;
  return chooseInOpenMenu(item, prefix);
}

bool AcceptanceWorld::screenshot(const std::string& name) {
  const std::string file = artifact(name);
  const bool saved = driver_.call({{"op", "screenshot"}, {"file", QString::fromStdString(file)}}).value("ok").toBool();
  if (saved) std::printf("screenshot %s\n", file.c_str());
  return saved;
}

bool AcceptanceWorld::screenshotFromServer(const std::string& name) {
  const QImage screen = readXwdScreen(root_ / "screen/Xvfb_screen0");
  const std::string file = artifact(name);
  const bool saved = !screen.isNull() && screen.save(QString::fromStdString(file));
  if (saved) std::printf("screenshot %s\n", file.c_str());
  return saved;
}

AcceptanceWorld::Snapshot AcceptanceWorld::snapshot() const {
  Snapshot taken;
  for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = fs::relative(it->path(), root_).string();
    if (it.depth() == 0 && notCompared.count(relative)) {
      it.disable_recursion_pending();
      continue;
    }
    taken.tree.insert(relative);
  }
  for (const std::string& process : processesWithHome(home(), {}))
    taken.processes.insert(process.substr(process.find(' ') + 1));
  // The product's names all start with "tw"; the test suites' own scratch regions ("twtest-")
  // and everything else may come and go with other tests where /dev/shm is not private.
  for (const auto& entry : fs::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename();
    if (name.rfind("tw", 0) == 0 && name.rfind("twtest-", 0) != 0) taken.sharedMemory.insert(name);
  }
  return taken;
}

}  // namespace tidewell::testing
