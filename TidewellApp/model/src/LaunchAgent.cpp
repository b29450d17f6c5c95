#include "TidewellApp/LaunchAgent.h"

#include <QDir>
#include <QSaveFile>

#include "TidewellApp/LaunchAgentLocations.h"

namespace tidewell {

namespace LaunchAgent {

QStringList serviceExecutableNames() {
  return {"tidewell-service", "tidewell-monitor", "tidewell-hardware-source", "tidewell-process-tap"};
}

QString domainTarget(uid_t uid) { return "gui/" + QString::number(uid); }
QString serviceTarget(uid_t uid) { return domainTarget(uid) + "/" + serviceLabel; }
QString legacyServiceTarget(uid_t uid) { return domainTarget(uid) + "/" + legacyServiceLabel; }

}  // namespace LaunchAgent

LaunchAgentDefinition serviceAgentDefinition(const ServiceLocations& locations, const QString& bundleIdentifier) {
  const QDir bin(locations.serviceBin);
  const QDir logs(locations.serviceLog);
  LaunchAgentDefinition agent;
  agent.label = LaunchAgent::serviceLabel;
  agent.associatedBundleIdentifiers = {bundleIdentifier};
  agent.programArguments = {bin.filePath("tidewell-service")};
  agent.environmentVariables = {{"TIDEWELL_HELPER_DIR", locations.serviceBin}, {"TIDEWELL_SERVICE_POLL_SECONDS", "1"}};
  agent.runAtLoad = true;
  agent.keepAlive = true;
  agent.standardOutPath = logs.filePath("audioagent.out.log");
  agent.standardErrorPath = logs.filePath("audioagent.err.log");
  return agent;
}

namespace {

QByteArray escaped(const QString& text) {
  return text.toHtmlEscaped().replace("&quot;", "\"").toUtf8();
}

void appendString(QByteArray& out, const char* indent, const QString& text) {
  out += indent;
  out += "<string>" + escaped(text) + "</string>\n";
}

void appendKey(QByteArray& out, const char* key) { out += QByteArray("\t<key>") + key + "</key>\n"; }

void appendStrings(QByteArray& out, const char* key, const QStringList& values) {
  appendKey(out, key);
  if (values.isEmpty()) {
    out += "\t<array/>\n";
    return;
  }
  out += "\t<array>\n";
  for (const QString& v : values) appendString(out, "\t\t", v);
  out += "\t</array>\n";
}

}  // namespace

QByteArray propertyListText(const LaunchAgentDefinition& agent) {
  QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  appendKey(out, "Label");
  appendString(out, "\t", agent.label);
  appendStrings(out, "AssociatedBundleIdentifiers", agent.associatedBundleIdentifiers);
  appendStrings(out, "ProgramArguments", agent.programArguments);
  appendKey(out, "EnvironmentVariables");
  if (agent.environmentVariables.isEmpty()) {
    out += "\t<dict/>\n";
  } else {
    out += "\t<dict>\n";
    for (const auto& [name, value] : agent.environmentVariables) {
      out += "\t\t<key>" + escaped(name) + "</key>\n";
      appendString(out, "\t\t", value);
    }
    out += "\t</dict>\n";
  }
  appendKey(out, "RunAtLoad");
  out += agent.runAtLoad ? "\t<true/>\n" : "\t<false/>\n";
  appendKey(out, "KeepAlive");
  out += agent.keepAlive ? "\t<true/>\n" : "\t<false/>\n";
  appendKey(out, "StandardOutPath");
  appendString(out, "\t", agent.standardOutPath);
  appendKey(out, "StandardErrorPath");
  appendString(out, "\t", agent.standardErrorPath);
  out += "</dict>\n</plist>\n";
  return out;
}

void writeFileAtomically(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw FileWriteError((path + ": " + file.errorString()).toStdString());
  if (file.write(bytes) != bytes.size()) {
    QString why = file.errorString();
    file.cancelWriting();
    throw FileWriteError((path + ": " + why).toStdString());
  }
  if (!file.commit()) throw FileWriteError((path + ": " + file.errorString()).toStdString());
}

}  // namespace tidewell
