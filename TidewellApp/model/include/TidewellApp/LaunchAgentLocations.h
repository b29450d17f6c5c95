#pragma once
// Where the service is installed and where its agent and logs live, in the user's folders:
// application data in $XDG_DATA_HOME, logs under $XDG_STATE_HOME, agent definitions in
// $XDG_CONFIG_HOME/launch-agents (each with its usual default under HOME). Everything follows
// the environment at the moment of the call, so each test runs in its own tree.

#include <QString>

namespace tidewell {

struct ServiceLocations {
  QString appSupport;          // the product's data folder
  QString serviceBin;          // appSupport/bin: the installed executables
  QString serviceLog;          // the logs folder/the product's folder name
  QString servicePlist;        // the agents folder/<service label>.plist
  QString legacyServicePlist;  // the agents folder/<earlier label>.plist
  QString legacyServiceBin;    // the earlier product's data folder/bin

  static ServiceLocations fromEnvironment();
  bool operator==(const ServiceLocations&) const = default;
};

// The XDG folder in $name when it is an absolute path (the XDG rules ignore relative ones),
// else home/fallback.
QString xdgFolder(const char* name, const char* fallback);

// The launchctl to run: $TIDEWELL_LAUNCHCTL when set, else "launchctl" beside the running
// application, else the first on PATH, else "/bin/launchctl".
QString launchctlPath();

}  // namespace tidewell
