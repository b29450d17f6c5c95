// Reading agent definitions, parsing targets, and the systemd unit written from a definition.
#include <launch/AgentDefinition.h>
#include <launch/SystemdUnit.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace tidewell::launch;

namespace {

const char* kAgent = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>Label</key>
	<string>app.example.service</string>
	<key>AssociatedBundleIdentifiers</key>
	<array>
		<string>app.example.main</string>
	</array>
	<key>ProgramArguments</key>
	<array>
		<string>/home/u/.local/share/Example/bin/example-service</string>
	</array>
	<key>EnvironmentVariables</key>
	<dict>
		<key>EXAMPLE_HELPER_DIR</key>
		<string>/home/u/.local/share/Example/bin</string>
		<key>EXAMPLE_POLL_SECONDS</key>
		<string>1</string>
	</dict>
	<key>RunAtLoad</key>
	<true/>
	<key>KeepAlive</key>
	<true/>
	<key>StandardOutPath</key>
	<string>/home/u/.local/state/Example/out.log</string>
	<key>StandardErrorPath</key>
	<string>/home/u/.local/state/Example/err.log</string>
</dict>
</plist>
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

}  // namespace

TEST(AgentDefinition, ReadsEveryKeyTheAgentsUse) {
  AgentDefinition agent = parseAgentDefinition(kAgent, "/p/agent.plist");
  EXPECT_EQ(agent.path, "/p/agent.plist");
  EXPECT_EQ(agent.label, "app.example.service");
  EXPECT_EQ(agent.programArguments, std::vector<std::string>{"/home/u/.local/share/Example/bin/example-service"});
  EXPECT_EQ(agent.environment, (std::map<std::string, std::string>{
                                   {"EXAMPLE_HELPER_DIR", "/home/u/.local/share/Example/bin"},
                                   {"EXAMPLE_POLL_SECONDS", "1"}}));
  EXPECT_TRUE(agent.runAtLoad);
  EXPECT_TRUE(agent.keepAlive);
  EXPECT_EQ(agent.standardOutPath, "/home/u/.local/state/Example/out.log");
  EXPECT_EQ(agent.standardErrorPath, "/home/u/.local/state/Example/err.log");
}

TEST(AgentDefinition, RejectsDefinitionsThatCannotRunWithTheFileAndTheReason) {
  auto rejects = [](const std::string& xml, const std::string& reason) {
    try {
      parseAgentDefinition(xml, "/p/agent.plist");
      ADD_FAILURE() << "accepted: " << reason;
    } catch (const LaunchError& e) {
      EXPECT_EQ(e.code(), kExitIOError);
      EXPECT_NE(std::string(e.what()).find("/p/agent.plist: "), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  };
  rejects("<plist version=\"1.0\"><dict><key>Label</key>", "not a property list");
  rejects(replaced(kAgent, "<string>app.example.service</string>", "<string></string>"), "Label is missing");
  rejects(replaced(kAgent, "app.example.service", "../escape"), "not usable");
  rejects(replaced(kAgent, "<key>ProgramArguments</key>", "<key>Other</key>"), "ProgramArguments");
  rejects(replaced(kAgent, "<key>RunAtLoad</key>\n\t<true/>", "<key>RunAtLoad</key>\n\t<string>yes</string>"),
          "RunAtLoad is not a boolean");
  rejects(replaced(kAgent, "<key>EXAMPLE_POLL_SECONDS</key>", "<key>A=B</key>"), "unusable name");
  try {
    readAgentDefinition("/nonexistent/agent.plist");
    ADD_FAILURE();
  } catch (const LaunchError& e) {
    EXPECT_EQ(std::string(e.what()), "/nonexistent/agent.plist: No such file or directory");
  }
}

TEST(AgentDefinition, TargetsNameTheCallersGuiDomain) {
  std::string uid = std::to_string(getuid());
  EXPECT_EQ(parseTarget("gui/" + uid, false).label, "");
  EXPECT_EQ(parseTarget("gui/" + uid + "/app.example.service", true).label, "app.example.service");
  for (const std::string& bad : std::vector<std::string>{"user/" + uid, "gui/", "gui/x1", "gui/" + uid + "/", "gui/" + uid + "/a/b"}) {
    try {
      parseTarget(bad, true);
      ADD_FAILURE() << bad;
    } catch (const LaunchError& e) {
      EXPECT_EQ(e.code(), kExitUsage) << bad;
    }
  }
  EXPECT_THROW(parseTarget("gui/" + uid + "/app.example.service", false), LaunchError);
  try {
    parseTarget("gui/" + std::to_string(getuid() + 1) + "/app.example.service", true);
    ADD_FAILURE();
  } catch (const LaunchError& e) {
    EXPECT_EQ(e.code(), kExitNotPermitted);
  }
}

TEST(SystemdUnit, WrittenFromTheAgentDefinition) {
  AgentDefinition agent = parseAgentDefinition(kAgent, "/home/u/.config/launch-agents/app.example.service.plist");
  EXPECT_EQ(systemdUnitName(agent.label), "agent-app.example.service.service");
  EXPECT_EQ(systemdUnitText(agent),
            "# Written by launchctl from the launch agent /home/u/.config/launch-agents/app.example.service.plist;"
            " bootout removes it.\n"
            "[Unit]\n"
            "Description=Launch agent app.example.service\n"
            "SourcePath=/home/u/.config/launch-agents/app.example.service.plist\n"
            "StartLimitIntervalSec=0\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=\"/home/u/.local/share/Example/bin/example-service\"\n"
            "Environment=\"EXAMPLE_HELPER_DIR=/home/u/.local/share/Example/bin\"\n"
            "Environment=\"EXAMPLE_POLL_SECONDS=1\"\n"
            "WorkingDirectory=/\n"
            "StandardInput=null\n"
            "StandardOutput=append:/home/u/.local/state/Example/out.log\n"
            "StandardError=append:/home/u/.local/state/Example/err.log\n"
            "Restart=always\n"
            "RestartSec=10\n"
            "TimeoutStopSec=5\n"
            "\n"
            "[Install]\n"
            "WantedBy=default.target\n");
}

TEST(SystemdUnit, QuotesWhatSystemdWouldOtherwiseExpandOrSplit) {
  AgentDefinition agent;
  agent.path = "/p.plist";
  agent.label = "a";
  agent.programArguments = {"/bin/sh", "-c", "echo \"$HOME\" 100% \\ done"};
  agent.environment = {{"GREETING", "a \"b\" 5% $X"}};
  std::string unit = systemdUnitText(agent);
  EXPECT_NE(unit.find("ExecStart=\"/bin/sh\" \"-c\" \"echo \\\"$$HOME\\\" 100%% \\\\ done\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Environment=\"GREETING=a \\\"b\\\" 5%% $X\"\n"), std::string::npos) << unit;
  // Not kept alive and not run at load: no restarts, and nothing starts it at login.
  EXPECT_NE(unit.find("Restart=no\n"), std::string::npos);
  EXPECT_EQ(unit.find("[Install]"), std::string::npos);
  EXPECT_NE(unit.find("StandardOutput=null\n"), std::string::npos);
}

// The paths take the rest of their line in the unit, where systemd has no escape for a line
// break: a path holding one would add settings of its own. A trailing blank or backslash would
// make systemd read back another path. Each is refused, naming the path.
TEST(SystemdUnit, RefusesPathsTheUnitCannotCarry) {
  AgentDefinition agent;
  agent.path = "/home/u/.config/launch-agents/a.plist";
  agent.label = "a";
  agent.programArguments = {"/bin/true"};
  agent.standardOutPath = "/tmp/out.log";
  ASSERT_NO_THROW(systemdUnitText(agent));

  struct Case {
    std::string AgentDefinition::*field;
    std::string value;
    std::string shown;
  };
  const Case cases[] = {
      {&AgentDefinition::path, "/home/u/x\nExecStartPre=/bin/rm -rf /home/u\n/a.plist",
       "The agent definition's path \"/home/u/x\\nExecStartPre=/bin/rm -rf /home/u\\n/a.plist\""},
      {&AgentDefinition::path, "/home/u/tab\there/a.plist", "\"/home/u/tab\\there/a.plist\""},
      {&AgentDefinition::path, "/home/u/cr\r/a.plist", "\"/home/u/cr\\x0d/a.plist\""},
      {&AgentDefinition::standardOutPath, "/tmp/out\n[Install]\nWantedBy=default.target", "StandardOutPath"},
      {&AgentDefinition::standardErrorPath, "/tmp/err.log\\", "StandardErrorPath \"/tmp/err.log\\\""},
      {&AgentDefinition::standardOutPath, "/tmp/out.log ", "StandardOutPath"},
  };
  for (const auto& c : cases) {
    AgentDefinition bad = agent;
    bad.*(c.field) = c.value;
    try {
      std::string unit = systemdUnitText(bad);
      ADD_FAILURE() << "written:\n" << unit;
    } catch (const LaunchError& e) {
      EXPECT_EQ(e.code(), kExitIOError);
      std::string message = e.what();
      EXPECT_TRUE(message.starts_with("Bootstrap failed: 5: ")) << message;
      EXPECT_NE(message.find(c.shown), std::string::npos) << message;
      EXPECT_NE(message.find("cannot be written into a systemd unit"), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
}

// systemd expands specifiers in SourcePath=, so a '%' in the definition's path is doubled there,
// and print reads the path back as it was.
TEST(SystemdUnit, SourcePathKeepsAPercentSign) {
  AgentDefinition agent;
  agent.path = "/home/u/100%h/a.plist";
  agent.label = "a";
  agent.programArguments = {"/bin/true"};
  std::string unit = systemdUnitText(agent);
  EXPECT_NE(unit.find("\nSourcePath=/home/u/100%%h/a.plist\n"), std::string::npos) << unit;
  EXPECT_EQ(systemdUnitSourcePath(unit), agent.path);
  EXPECT_EQ(systemdUnitSourcePath("[Unit]\nDescription=x\n"), "");
}
