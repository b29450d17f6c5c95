#pragma once
// The routing service's launch agent: its labels, the executables it installs, the targets
// launchctl is given, and the agent definition (an XML property list) with its atomic write.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <sys/types.h>

namespace tidewell {

struct ServiceLocations;

namespace LaunchAgent {

inline constexpr char serviceLabel[] = "app.tidewell.service";
// The agent of the earlier product, removed on every install.
inline constexpr char legacyServiceLabel[] = "app.zellvane.audioagent";

// launchctl's exit status for a boot-out of an agent that is not loaded.
inline constexpr int notLoadedStatus = 3;

// The service and its three helpers, in the order they are installed and checked.
QStringList serviceExecutableNames();

// "gui/" + uid: the user's domain.
QString domainTarget(uid_t uid);
// "gui/" + uid + "/" + the service's label.
QString serviceTarget(uid_t uid);
// "gui/" + uid + "/" + the earlier product's label.
QString legacyServiceTarget(uid_t uid);

}  // namespace LaunchAgent

struct LaunchAgentDefinition {
  QString label;
  QStringList associatedBundleIdentifiers;
  QStringList programArguments;
  QList<QPair<QString, QString>> environmentVariables;  // written in this order
  bool runAtLoad = false;
  bool keepAlive = false;
  QString standardOutPath;
  QString standardErrorPath;
  bool operator==(const LaunchAgentDefinition&) const = default;
};

// The service's agent: "tidewell-service" in the bin folder, kept alive and run at load, with
// TIDEWELL_HELPER_DIR = the bin folder and TIDEWELL_SERVICE_POLL_SECONDS = "1", and its output
// in "audioagent.out.log" and "audioagent.err.log" in the log folder.
LaunchAgentDefinition serviceAgentDefinition(const ServiceLocations& locations, const QString& bundleIdentifier);

// The definition as an XML property list: keys in the order Label, AssociatedBundleIdentifiers,
// ProgramArguments, EnvironmentVariables, RunAtLoad, KeepAlive, StandardOutPath,
// StandardErrorPath; tab-indented, one element per line.
QByteArray propertyListText(const LaunchAgentDefinition& agent);

// A file-system failure; what() is the system's description with the path.
class FileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the bytes to a temporary file in the same folder and renames it over `path`, so a
// reader sees the old file or the new one, never a part. The folder must exist. Throws
// FileWriteError.
void writeFileAtomically(const QString& path, const QByteArray& bytes);

}  // namespace tidewell
