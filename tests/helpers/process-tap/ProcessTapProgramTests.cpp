// tidewell-process-tap's start-up failures against a private audio server: each ends with status
// 1 after its line, with the start-up steps before it in order.
#include "ProcessTapTestSupport.h"

using namespace taptest;

namespace {

TEST_F(ProcessTapProgram, UnknownOutputDeviceEndsWithStatusOne) {
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=NoSuchDevice"});
    EXPECT_EQ(tap.wait(20s), 1);
    EXPECT_TRUE(InOrder(tap.output(), {Step("checking output device"),
                                       "Audio device UID NoSuchDevice is not registered with Core Audio.\n"}))
        << tap.output();
    EXPECT_EQ(tap.output().find("finding default system output"), std::string::npos) << tap.output();
}

TEST_F(ProcessTapProgram, ApplicationModeNeedsAProcessID) {
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_MODE=application"});
    EXPECT_EQ(tap.wait(20s), 1);
    EXPECT_TRUE(InOrder(tap.output(), {Step("checking output device"), Step("finding default system output"),
                                       Step("choosing tap clock device"), Step("creating tap description"),
                                       "TIDEWELL_TAP_PID is required for application capture.\n"}))
        << tap.output();
    EXPECT_EQ(tap.output().find("creating process tap"), std::string::npos) << tap.output();
}

// A process that never opens audio: the waiting line once, then the failure about 10 s later.
TEST_F(ProcessTapProgram, AProcessThatNeverOpensAudioIsGivenUp) {
    Child silent({"/bin/sleep", "60"});
    const std::string pid = std::to_string(silent.pid());
    const auto started = std::chrono::steady_clock::now();
    Child tap({Program(kProgram)}, {"TIDEWELL_TAP_OUTPUT_UID=" + std::string(kDevice), "TIDEWELL_TAP_PID=" + pid});
    EXPECT_EQ(tap.wait(40s), 1);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GT(elapsed, 9s);
    EXPECT_LT(elapsed, 30s);
    const std::string out = tap.output();
    const std::string waiting = "PID " + pid + " is not a Core Audio process yet; waiting for it to open audio.\n";
    EXPECT_TRUE(InOrder(out, {waiting, "Could not translate PID " + pid + " to a Core Audio process object.\n"})) << out;
    EXPECT_EQ(out.find(waiting, out.find(waiting) + 1), std::string::npos) << out;
}

}  // namespace
