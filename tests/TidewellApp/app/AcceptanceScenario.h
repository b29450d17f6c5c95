#pragma once
// The world of the acceptance scenario: one private tree per test program holding a fresh HOME
// (its XDG folders inside), the runtime folder, the audio server's socket and plug-in folder,
// Xvfb's screen, the logs and the work files. Every program the scenario starts (Xvfb, the
// stand-in audio server, the real Tidewell executable, the audio tools) gets exactly the
// environment built here, so nothing reaches the machine's own user, server or plug-ins.
//
// The window is driven through the window driver loaded into the unchanged executable; the
// scenario only finds visible widgets by their public properties and sends them input.

#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <set>

#include "../../TidewellCore/registry/PrivateAudioServer.h"
#include "../model/ServiceTestSupport.h"
#include "WindowDriverClient.h"
#include "XvfbSession.h"

namespace tidewell::testing {

// A selector of the window driver: every entry must hold (see WindowDriverPlugin.cpp).
using Select = QJsonObject;

// One device of `audioctl list`.
struct ListedDevice {
  std::string name, uid;
  int inputChannels = 0, outputChannels = 0;
};

class AcceptanceWorld {
 public:
  AcceptanceWorld();
  ~AcceptanceWorld();

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path home() const { return root_ / "home"; }
  std::filesystem::path work() const { return root_ / "work"; }
  std::filesystem::path logs() const { return root_ / "logs"; }
  std::filesystem::path plugInFolder() const { return root_ / "HAL"; }
  // Copies every log the service and its helpers wrote under HOME into logs(), so that a failed
  // step's account (the helpers' counters among them) outlives the uninstall that follows.
  void keepHomeLogs(const std::string& step) const;

  // The user's environment: fresh HOME and XDG folders, the private server and plug-in folder,
  // the build's launchctl with its own supervisor, and the display once Xvfb runs.
  std::vector<std::string> environment() const;
  // The application's: the user's, on Xvfb, with the window driver loaded.
  std::vector<std::string> applicationEnvironment() const;

  // Xvfb, then the stand-in audio server with its emulated devices and an empty plug-in folder.
  bool startDisplayAndServer(std::string& why);
  // Starts the Tidewell executable and connects to its window driver.
  bool startApplication(std::string& why);
  pid_t applicationPid() const { return app_; }
  // Waits for the application to end by itself; its exit status, or -1.
  int waitForApplicationEnd(std::chrono::seconds limit);
  // Ends everything still running, the service agent included.
  void stopAll();

  // A program of the build (by name) or of the system (by absolute path), run to its end
  // with the user's environment; its output and exit status.
  struct Run {
    int status = -1;
    std::string output;
  };
  Run run(const std::vector<std::string>& arguments) const;
  pid_t spawn(const std::vector<std::string>& arguments, const std::string& logName) const;
  std::vector<ListedDevice> audioctlList() const;
  std::optional<ListedDevice> listedDevice(const std::string& name) const;

  // The window.
  QJsonObject find(const Select& select);
  bool visible(const Select& select) { return find(select).value("count").toInt() > 0; }
  bool waitVisible(const Select& select, std::chrono::seconds limit = std::chrono::seconds(60));
  bool waitGone(const Select& select, std::chrono::seconds limit = std::chrono::seconds(60));
  QString textOf(const Select& select) { return find(select).value("text").toString(); }
  // Each returns the driver's complaint, empty when the input was sent.
  std::string click(const Select& select);
  // A click at pixel `x` of the widget's middle line.
  std::string clickAtX(const Select& select, int x);
  std::string typeText(const Select& select, const QString& text);
  std::string drag(const Select& from, const Select& to);
  std::string key(const Select& select, const QString& key);
  std::string clickMidpoint(const Select& from, const Select& to);
  // An item of the open menu; a menu without it stays open.
  std::string chooseInOpenMenu(const QString& item, bool prefix);
  // A menu bar title, then an item of the menu it opens.
  std::string chooseMenu(const QString& title, const QString& item);
  // A button that opens a menu, then an item of that menu.
  // With `prefix`, the item whose text starts with `item` (a device's " (Default)" mark).
  std::string chooseFromButtonMenu(const Select& button, const QString& item, bool prefix = false);
  // The whole X screen as the application's connection sees it, into test-artifacts/.
  bool screenshot(const std::string& name);
  // Xvfb's own copy of the screen (when the application is gone), into test-artifacts/.
  bool screenshotFromServer(const std::string& name);

  // What the comparison after the uninstall looks at.
  struct Snapshot {
    std::set<std::string> tree;       // every path under the private root that the user owns
    std::multiset<std::string> processes;  // names of the live processes with this HOME
    std::set<std::string> sharedMemory;    // names in /dev/shm of the product's kind
  };
  Snapshot snapshot() const;

 private:
  std::filesystem::path root_;
  pid_t xvfb_ = -1, app_ = -1;
  std::string display_;
  WindowDriverClient driver_;
};

// The differences between two sets, for messages: "+added -removed".
template <class Set>
std::string differences(const Set& before, const Set& after) {
  std::string text;
  for (const auto& entry : after)
    if (before.count(entry) < after.count(entry) && text.find("+" + entry + " ") == std::string::npos)
      text += "+" + entry + " ";
  for (const auto& entry : before)
    if (after.count(entry) < before.count(entry) && text.find("-" + entry + " ") == std::string::npos)
      text += "-" + entry + " ";
  return text;
}

}  // namespace tidewell::testing
