// launchctl's systemd back-end against a systemctl that records what it is asked and answers
// `show` like a user manager running the unit: the unit file it writes, the commands each
// verb runs, and what print makes of the manager's answer.
#include <launch/AgentDefinition.h>
#include <launch/SystemdUnit.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "LaunchctlTestSupport.h"

namespace fs = std::filesystem;
using launchtest::readFile;
using launchtest::Result;

namespace {

class LaunchctlSystemd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/launchctl-systemd-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "fakebin");
    std::ofstream(root_ / "fakebin/systemctl")
        << "#!/bin/sh\n"
           "echo \"$*\" >> \"$FAKE_SYSTEMCTL_LOG\"\n"
           "if [ \"$2\" = \"$FAKE_SYSTEMCTL_FAIL\" ]; then echo \"Job for $3 failed.\" >&2; exit 1; fi\n"
           "if [ \"$2\" = show ]; then printf 'ActiveState=active\\nSubState=running\\nMainPID=4242\\n"
           "NRestarts=2\\nExecMainStatus=0\\nExecMainCode=0\\n'; fi\n";
    fs::permissions(root_ / "fakebin/systemctl", fs::perms::owner_all);
    plist_ = root_ / "test.job.plist";
    std::ofstream(plist_) << "<plist version=\"1.0\"><dict><key>Label</key><string>test.job</string>"
                             "<key>ProgramArguments</key><array><string>/bin/sleep</string><string>1000</string>"
                             "</array><key>RunAtLoad</key><true/><key>KeepAlive</key><true/>"
                             "<key>StandardOutPath</key><string>/tmp/out.log</string></dict></plist>\n";
    uid_ = std::to_string(getuid());
  }
  void TearDown() override { fs::remove_all(root_); }

  Result run(const std::vector<std::string>& arguments, const std::string& failing = "") {
    return launchtest::runLaunchctl(
        arguments, {"HOME=" + root_.string(), "XDG_CONFIG_HOME=" + (root_ / "config").string(),
                    "TIDEWELL_LAUNCH_BACKEND=systemd", "PATH=" + (root_ / "fakebin").string() + ":/usr/bin:/bin",
                    "FAKE_SYSTEMCTL_LOG=" + (root_ / "calls").string(), "FAKE_SYSTEMCTL_FAIL=" + failing});
  }
  // The systemctl commands run since the last call.
  std::string calls() {
    std::string text = readFile(root_ / "calls");
    fs::remove(root_ / "calls");
    return text;
  }

  fs::path root_;
  fs::path plist_;
  std::string uid_;
};

}  // namespace

TEST_F(LaunchctlSystemd, EachVerbDrivesTheUserUnit) {
  const fs::path unit = root_ / "config/systemd/user/agent-test.job.service";
  Result boot = run({"bootstrap", "gui/" + uid_, plist_.string()});
  ASSERT_EQ(boot.status, 0) << boot.output;
  EXPECT_EQ(readFile(unit), tidewell::launch::systemdUnitText(tidewell::launch::readAgentDefinition(plist_.string())));
  EXPECT_EQ(calls(), "--user daemon-reload\n--user start agent-test.job.service\n");
  EXPECT_EQ(run({"bootstrap", "gui/" + uid_, plist_.string()}).status, 37);

  Result print = run({"print", "gui/" + uid_ + "/test.job"});
  EXPECT_EQ(print.status, 0);
  for (const char* line : {"\tstate = running\n", "\tpid = 4242\n", "\truns = 3\n", "\tprogram = /bin/sleep\n",
                           "\tstdout path = /tmp/out.log\n", "\tunit = agent-test.job.service\n"})
    EXPECT_NE(print.output.find(line), std::string::npos) << line << " missing from\n" << print.output;
  EXPECT_NE(print.output.find("\tpath = " + plist_.string() + "\n"), std::string::npos) << print.output;
  calls();

  EXPECT_EQ(run({"kickstart", "-k", "gui/" + uid_ + "/test.job"}).status, 0);
  EXPECT_EQ(run({"kickstart", "gui/" + uid_ + "/test.job"}).status, 0);
  EXPECT_EQ(run({"enable", "gui/" + uid_ + "/test.job"}).status, 0);
  EXPECT_EQ(calls(), "--user restart agent-test.job.service\n--user start agent-test.job.service\n"
                     "--user enable agent-test.job.service\n");

  EXPECT_EQ(run({"bootout", "gui/" + uid_ + "/test.job"}).status, 0);
  EXPECT_EQ(calls(), "--user stop agent-test.job.service\n--user disable agent-test.job.service\n"
                     "--user daemon-reload\n--user reset-failed agent-test.job.service\n");
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_EQ(run({"print", "gui/" + uid_ + "/test.job"}).status, 113);
  EXPECT_EQ(run({"kickstart", "gui/" + uid_ + "/test.job"}).status, 113);
  EXPECT_EQ(run({"bootout", "gui/" + uid_, plist_.string()}).status, 3);
}

// Fault mended: a boot-out whose stop or disable failed removed the unit's file and reported
// success, leaving a unit that systemd kept running, or started again at the next login.
TEST_F(LaunchctlSystemd, ABootoutThatCannotStopOrDisableTheUnitFailsAndKeepsIt) {
  const fs::path unit = root_ / "config/systemd/user/agent-test.job.service";
  ASSERT_EQ(run({"bootstrap", "gui/" + uid_, plist_.string()}).status, 0);
  for (const char* failing : {"stop", "disable"}) {
    Result bootout = run({"bootout", "gui/" + uid_ + "/test.job"}, failing);
    EXPECT_EQ(bootout.status, 5) << failing;
    EXPECT_NE(bootout.output.find("Boot-out failed: 5: Job for agent-test.job.service failed."), std::string::npos)
        << bootout.output;
    EXPECT_TRUE(fs::exists(unit)) << "a later boot-out finds the unit again";
  }
  calls();
  EXPECT_EQ(run({"bootout", "gui/" + uid_ + "/test.job"}).status, 0);
  EXPECT_FALSE(fs::exists(unit));
}

TEST_F(LaunchctlSystemd, AUnitThatDoesNotStartFailsTheBootstrapWithSystemdsMessage) {
  Result boot = run({"bootstrap", "gui/" + uid_, plist_.string()}, "start");
  EXPECT_EQ(boot.status, 5);
  EXPECT_NE(boot.output.find("Bootstrap failed: 5: Job for agent-test.job.service failed."), std::string::npos)
      << boot.output;
  // Nothing stays loaded: the unit is gone and the next bootstrap goes ahead.
  EXPECT_FALSE(fs::exists(root_ / "config/systemd/user/agent-test.job.service"));
  EXPECT_EQ(run({"bootstrap", "gui/" + uid_, plist_.string()}).status, 0);
}

// The application writes its definition under $XDG_CONFIG_HOME/launch-agents. One under a
// folder name with a line break in it is refused before any unit is written: its path would
// otherwise add lines of its own choosing to the unit.
TEST_F(LaunchctlSystemd, ADefinitionPathWithALineBreakIsRefused) {
  fs::path odd = root_ / "config\nExecStartPre=/bin/touch /tmp/injected\n" / "launch-agents";
  fs::create_directories(odd);
  fs::path plist = odd / "test.job.plist";
  fs::copy_file(plist_, plist);
  Result boot = run({"bootstrap", "gui/" + uid_, plist.string()});
  EXPECT_EQ(boot.status, 5) << boot.output;
  EXPECT_NE(boot.output.find("The agent definition's path"), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find("cannot be written into a systemd unit"), std::string::npos) << boot.output;
  EXPECT_FALSE(fs::exists(root_ / "config/systemd/user/agent-test.job.service"));
  EXPECT_FALSE(fs::exists(root_ / "config/systemd/user/agent-test.job.service.tmp"));
  EXPECT_FALSE(fs::exists(root_ / "calls")) << readFile(root_ / "calls");
  // The same definition where the path is plain loads.
  EXPECT_EQ(run({"bootstrap", "gui/" + uid_, plist_.string()}).status, 0);
}

// A relative HOME names no folder the user's systemd looks in: the unit goes where systemd has
// the user's home, the password database's entry, as the application resolves HOME too.
TEST_F(LaunchctlSystemd, ARelativeHomeWritesTheUnitUnderThePasswordDatabasesHome) {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || std::string(entry->pw_dir).size() < 2)
    GTEST_SKIP() << "this user has no home of its own";
  const std::string label = "test.relative-home." + std::to_string(getpid());
  const fs::path unit = fs::path(entry->pw_dir) / ".config/systemd/user" / ("agent-" + label + ".service");
  ASSERT_FALSE(fs::exists(unit)) << unit;
  fs::path plist = root_ / (label + ".plist");
  std::string text = readFile(plist_);
  text.replace(text.find("test.job"), 8, label);
  std::ofstream(plist) << text;
  Result boot = launchtest::runLaunchctl(
      {"bootstrap", "gui/" + uid_, plist.string()},
      {"HOME=relhome", "TIDEWELL_LAUNCH_BACKEND=systemd", "PATH=" + (root_ / "fakebin").string() + ":/usr/bin:/bin",
       "FAKE_SYSTEMCTL_LOG=" + (root_ / "calls").string()});
  const bool written = fs::exists(unit);
  std::error_code ignored;
  fs::remove(unit, ignored);
  ASSERT_EQ(boot.status, 0) << boot.output;
  EXPECT_TRUE(written) << unit;
  EXPECT_FALSE(fs::exists(fs::path("/.config/systemd/user") / ("agent-" + label + ".service")));
}
