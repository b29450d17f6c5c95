#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "TidewellStream/TidewellHelperRuntime.h"

namespace {

struct ProbeResult {
    bool exited = false;
    int status = -1;
    double seconds = 0.0;
    std::string standardError;
};

std::string ProbePath() {
    const char* dir = std::getenv("TIDEWELL_BIN_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/streamlib_watchdog_probe";
}

// Runs the probe with both output streams on pipes. Standard error is read unless
// `drainStandardError` is false; standard output never is, so it fills up when written.
ProbeResult RunProbe(const char* mode, bool drainStandardError) {
    int out[2];
    int err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        const std::string path = ProbePath();
        execl(path.c_str(), path.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    ProbeResult result;
    const auto deadline = start + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (drainStandardError) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(err[0], buffer, sizeof buffer)) > 0) {
                result.standardError.append(buffer, static_cast<size_t>(n));
            }
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            result.exited = true;
            result.status = status;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result.exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (drainStandardError) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(err[0], buffer, sizeof buffer)) > 0) {
            result.standardError.append(buffer, static_cast<size_t>(n));
        }
    }
    close(out[0]);
    close(err[0]);
    return result;
}

}  // namespace

TEST(ShutdownWatchdog, EndsAHungShutdownWithStatusZeroAndSaysSo) {
    const ProbeResult r = RunProbe("sleep", true);
    ASSERT_TRUE(r.exited);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_EQ(r.standardError, "Shutdown did not complete within 2 s; exiting.\n");
}

TEST(ShutdownWatchdog, EndsTheProcessWhenStandardOutputIsAFullPipe) {
    const ProbeResult r = RunProbe("stdout-full", true);
    ASSERT_TRUE(r.exited) << "still running after " << r.seconds << " s";
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_NE(r.standardError.find("Shutdown did not complete within 2 s; exiting.\n"), std::string::npos);
}

TEST(ShutdownWatchdog, EndsTheProcessWhenStandardErrorIsAFullPipe) {
    const ProbeResult r = RunProbe("stderr-full", false);
    ASSERT_TRUE(r.exited) << "still running after " << r.seconds << " s";
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_GE(r.seconds, 1.9);
}

TEST(HelperRuntime, SignalsSetTheStopFlag) {
    ASSERT_EQ(gStopRequested.load(), 0);
    signal(SIGTERM, SignalHandler);
    signal(SIGINT, SignalHandler);
    raise(SIGINT);
    EXPECT_EQ(gStopRequested.load(), 1);
    raise(SIGTERM);
    EXPECT_EQ(gStopRequested.load(), 1);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
}

TEST(HelperRuntime, PrintStatusShowsTheCodeOrDots) {
    testing::internal::CaptureStderr();
    PrintStatus("AudioDeviceStart", -50);
    PrintStatus("AudioObjectGetPropertyData(kAudioHardwarePropertyDevices)", 0x21646576);   // '!dev'
    PrintStatus("mixed", 0x41001F7F);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "AudioDeviceStart failed: -50 ('....')\n"
              "AudioObjectGetPropertyData(kAudioHardwarePropertyDevices) failed: 560227702 ('!dev')\n"
              "mixed failed: 1090527103 ('A...')\n");
}

TEST(HelperRuntimeDeathTest, CheckExitsWithOneOnAFailureAndPassesZero) {
    testing::internal::CaptureStderr();
    Check(0, "nothing");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EXIT(Check(0x6E6F7065, "AudioDeviceCreateIOProcID"), testing::ExitedWithCode(1),
                "AudioDeviceCreateIOProcID failed: 1852797029 \\('nope'\\)");
}
