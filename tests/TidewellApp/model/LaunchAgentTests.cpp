// The service's agent definition, byte for byte, from the user's folders; its atomic write.
#include <TidewellApp/LaunchAgent.h>
#include <TidewellApp/LaunchAgentLocations.h>
#include <launch/AgentDefinition.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tidewell;

namespace {

// Sets or clears environment variables for one test and puts them back afterwards.
class ScopedEnvironment {
 public:
  void set(const char* name, const char* value) {
    if (!saved_.contains(name)) saved_.insert(name, qgetenv(name));
    if (!wasSet_.contains(name)) wasSet_.insert(name, qEnvironmentVariableIsSet(name));
    if (value) qputenv(name, value);
    else qunsetenv(name);
  }
  ~ScopedEnvironment() {
    for (auto it = saved_.begin(); it != saved_.end(); ++it) {
      if (wasSet_.value(it.key())) qputenv(it.key().constData(), it.value());
      else qunsetenv(it.key().constData());
    }
  }

 private:
  QHash<QByteArray, QByteArray> saved_;
  QHash<QByteArray, bool> wasSet_;
};

const char* kExpected = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>Label</key>
	<string>app.tidewell.service</string>
	<key>AssociatedBundleIdentifiers</key>
	<array>
		<string>app.tidewell.main</string>
	</array>
	<key>ProgramArguments</key>
	<array>
		<string>/home/u/.local/share/Tidewell/bin/tidewell-service</string>
	</array>
	<key>EnvironmentVariables</key>
	<dict>
		<key>TIDEWELL_HELPER_DIR</key>
		<string>/home/u/.local/share/Tidewell/bin</string>
		<key>TIDEWELL_SERVICE_POLL_SECONDS</key>
		<string>1</string>
	</dict>
	<key>RunAtLoad</key>
	<true/>
	<key>KeepAlive</key>
	<true/>
	<key>StandardOutPath</key>
	<string>/home/u/.local/state/Tidewell/audioagent.out.log</string>
	<key>StandardErrorPath</key>
	<string>/home/u/.local/state/Tidewell/audioagent.err.log</string>
</dict>
</plist>
)";

}  // namespace

TEST(LaunchAgent, TheServiceAgentDefinitionByteForByte) {
  ScopedEnvironment env;
  env.set("HOME", "/home/u");
  for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"}) env.set(name, nullptr);
  ServiceLocations l = ServiceLocations::fromEnvironment();
  EXPECT_EQ(l.servicePlist, "/home/u/.config/launch-agents/app.tidewell.service.plist");
  QByteArray text = propertyListText(serviceAgentDefinition(l, "app.tidewell.main"));
  EXPECT_EQ(text.toStdString(), kExpected);

  // launchctl reads back exactly what the service needs.
  launch::AgentDefinition read = launch::parseAgentDefinition(text.toStdString(), "/p");
  EXPECT_EQ(read.label, "app.tidewell.service");
  EXPECT_EQ(read.programArguments, std::vector<std::string>{"/home/u/.local/share/Tidewell/bin/tidewell-service"});
  EXPECT_EQ(read.environment.at("TIDEWELL_HELPER_DIR"), "/home/u/.local/share/Tidewell/bin");
  EXPECT_EQ(read.environment.at("TIDEWELL_SERVICE_POLL_SECONDS"), "1");
  EXPECT_TRUE(read.runAtLoad && read.keepAlive);
  EXPECT_EQ(read.standardErrorPath, "/home/u/.local/state/Tidewell/audioagent.err.log");
}

TEST(LaunchAgent, LocationsFollowTheXdgFoldersAndIgnoreRelativeOnes) {
  ScopedEnvironment env;
  env.set("HOME", "/home/u");
  env.set("XDG_DATA_HOME", "/d");
  env.set("XDG_STATE_HOME", "/s/");
  env.set("XDG_CONFIG_HOME", "/c");
  ServiceLocations l = ServiceLocations::fromEnvironment();
  EXPECT_EQ(l, (ServiceLocations{"/d/Tidewell", "/d/Tidewell/bin", "/s/Tidewell", "/c/launch-agents/app.tidewell.service.plist",
                                 "/c/launch-agents/app.zellvane.audioagent.plist", "/d/Zellvane/bin"}));
  env.set("XDG_STATE_HOME", "relative");
  env.set("XDG_CONFIG_HOME", "");
  l = ServiceLocations::fromEnvironment();
  EXPECT_EQ(l.serviceLog, "/home/u/.local/state/Tidewell");
  EXPECT_EQ(l.servicePlist, "/home/u/.config/launch-agents/app.tidewell.service.plist");

  env.set("TIDEWELL_LAUNCHCTL", "/opt/test/launchctl");
  EXPECT_EQ(launchctlPath(), "/opt/test/launchctl");
  EXPECT_EQ(LaunchAgent::serviceTarget(501), "gui/501/app.tidewell.service");
  EXPECT_EQ(LaunchAgent::legacyServiceTarget(501), "gui/501/app.zellvane.audioagent");
  EXPECT_EQ(LaunchAgent::domainTarget(501), "gui/501");
}

TEST(LaunchAgent, TextIsEscapedForXml) {
  LaunchAgentDefinition agent;
  agent.label = "a";
  agent.programArguments = {"/x/<b> & \"c\""};
  QByteArray text = propertyListText(agent);
  EXPECT_TRUE(text.contains("<string>/x/&lt;b&gt; &amp; \"c\"</string>")) << text.toStdString();
  EXPECT_EQ(launch::parseAgentDefinition(text.toStdString(), "/p").programArguments.front(), "/x/<b> & \"c\"");
}

TEST(LaunchAgent, TheAtomicWriteReplacesTheWholeFileAndLeavesNothingElse) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QString path = dir.filePath("agent.plist");
  writeFileAtomically(path, QByteArray(10000, 'x'));
  writeFileAtomically(path, "short\n");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "short\n");
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"agent.plist"});

  try {
    writeFileAtomically(dir.filePath("missing/agent.plist"), "x");
    ADD_FAILURE() << "a write into a missing folder succeeded";
  } catch (const FileWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("missing/agent.plist: "), std::string::npos) << e.what();
  }
}
