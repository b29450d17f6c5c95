#include <gtest/gtest.h>

#include <cmath>

#include "ScopedEnvironment.h"
#include "TidewellHelpers/TidewellHelperSettings.h"
#include "TidewellStream/TidewellHelperEnvironment.h"

namespace {

double Duration(std::vector<const char*> args, const char* variable) {
    std::vector<char*> argv;
    for (const char* a : args) {
        argv.push_back(const_cast<char*>(a));
    }
    argv.push_back(nullptr);
    return TidewellHelperDurationSeconds(static_cast<int>(args.size()), argv.data(), variable);
}

TEST(HelperDuration, ArgumentBeatsVariableAndEmptyArgumentDoesNot) {
    ScopedEnvironment env;
    env.Set("TIDEWELL_SOURCE_SECONDS", "7");
    EXPECT_DOUBLE_EQ(Duration({"prog", "2.5"}, "TIDEWELL_SOURCE_SECONDS"), 2.5);
    // A first argument of 0 runs until stopped even with the variable set.
    EXPECT_DOUBLE_EQ(Duration({"prog", "0"}, "TIDEWELL_SOURCE_SECONDS"), 0.0);
    EXPECT_DOUBLE_EQ(Duration({"prog", ""}, "TIDEWELL_SOURCE_SECONDS"), 7.0);
    EXPECT_DOUBLE_EQ(Duration({"prog"}, "TIDEWELL_SOURCE_SECONDS"), 7.0);
    env.Set("TIDEWELL_SOURCE_SECONDS", "");
    EXPECT_DOUBLE_EQ(Duration({"prog"}, "TIDEWELL_SOURCE_SECONDS"), 0.0);
    env.Set("TIDEWELL_SOURCE_SECONDS", "1.5s");
    EXPECT_DOUBLE_EQ(Duration({"prog"}, "TIDEWELL_SOURCE_SECONDS"), 1.5);
    EXPECT_DOUBLE_EQ(Duration({"prog", "nan"}, "TIDEWELL_SOURCE_SECONDS"), 0.0);
    EXPECT_DOUBLE_EQ(Duration({"prog", "inf"}, "TIDEWELL_SOURCE_SECONDS"), 0.0);
}

TEST(HelperDuration, ElapsesAfterTheRightTickWithFractionalSeconds) {
    EXPECT_FALSE(TidewellHelperDurationElapsed(2.5, 24));
    EXPECT_TRUE(TidewellHelperDurationElapsed(2.5, 25));
    EXPECT_FALSE(TidewellHelperDurationElapsed(1.5, 14));
    EXPECT_TRUE(TidewellHelperDurationElapsed(1.5, 15));
    EXPECT_FALSE(TidewellHelperDurationElapsed(0.0, 1000000));
    EXPECT_FALSE(TidewellHelperDurationElapsed(-3.0, 1000000));
}

TEST(HelperGain, MutedUnsetNumbersAndNonFiniteValues) {
    ScopedEnvironment env;
    env.Unset("G");
    env.Unset("M");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    env.Set("G", "");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    env.Set("G", "0.25");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 0.25f);
    env.Set("G", "3");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 2.0f);
    env.Set("G", "-1");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 0.0f);
    env.Set("G", "loud");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 0.0f);   // not a number reads as 0
    env.Set("G", "nan");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);   // never NaN into every sample
    env.Set("G", "-nan");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    // Infinite gains count as 1.0 like every other non-finite gain, not as the clamp bounds.
    env.Set("G", "inf");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    env.Set("G", "-inf");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    env.Set("G", "1e999");   // overflows to infinity when read
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 1.0f);
    env.Set("G", "0.5");
    env.Set("M", "on");
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 0.0f);
    env.Set("M", "ON");   // the common switch rule is case-sensitive
    EXPECT_FLOAT_EQ(TidewellHelperStartingGain("G", "M"), 0.5f);
}

TEST(HelperChannelCount, VariableDeviceAndClamp) {
    EXPECT_EQ(TidewellResolveChannelCountText(nullptr, 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("", 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("0", 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("x", 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("4x", 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("-4", 8), 8u);
    EXPECT_EQ(TidewellResolveChannelCountText("4", 8), 4u);
    EXPECT_EQ(TidewellResolveChannelCountText("100", 8), 64u);
    EXPECT_EQ(TidewellResolveChannelCountText(nullptr, 128), 64u);
    EXPECT_EQ(TidewellResolveChannelCountText(nullptr, 0), 2u);
    // 2^32 + 2 must not wrap around to 2.
    EXPECT_EQ(TidewellResolveChannelCountText("4294967298", 8), 64u);
    EXPECT_EQ(TidewellResolveChannelCountText("99999999999999999999999999", 8), 64u);
}

TEST(TapSettings, MuteWhenCapturingTakesOneOrTrueInAnyCase) {
    ScopedEnvironment env;
    env.Unset("TIDEWELL_TAP_MUTE_WHEN_CAPTURING");
    EXPECT_FALSE(TidewellTapMuteWhenCapturing());
    for (const char* on : {"1", "true", "TRUE", "True"}) {
        env.Set("TIDEWELL_TAP_MUTE_WHEN_CAPTURING", on);
        EXPECT_TRUE(TidewellTapMuteWhenCapturing()) << on;
    }
    for (const char* off : {"yes", "on", "0", "", "true "}) {
        env.Set("TIDEWELL_TAP_MUTE_WHEN_CAPTURING", off);
        EXPECT_FALSE(TidewellTapMuteWhenCapturing()) << off;
    }
}

TEST(TapSettings, ModeAndProcessIDChooseTheCapture) {
    ScopedEnvironment env;
    env.Unset("TIDEWELL_TAP_MODE");
    EXPECT_STREQ(TidewellTapModeText(), "system");
    env.Set("TIDEWELL_TAP_MODE", "");
    EXPECT_STREQ(TidewellTapModeText(), "system");
    env.Set("TIDEWELL_TAP_MODE", "application");
    EXPECT_STREQ(TidewellTapModeText(), "application");

    EXPECT_TRUE(TidewellTapIsApplicationCapture("system", 1234));
    EXPECT_TRUE(TidewellTapIsApplicationCapture("pid", 0));
    EXPECT_TRUE(TidewellTapIsApplicationCapture("application", 0));
    EXPECT_FALSE(TidewellTapIsApplicationCapture("Application", 0));
    EXPECT_FALSE(TidewellTapIsApplicationCapture("system", 0));
    EXPECT_FALSE(TidewellTapIsApplicationCapture("anything", -5));

    env.Unset("TIDEWELL_TAP_PID");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 0);
    env.Set("TIDEWELL_TAP_PID", "1234");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 1234);
    env.Set("TIDEWELL_TAP_PID", "1234abc");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 1234);
    env.Set("TIDEWELL_TAP_PID", "abc");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 0);
    env.Set("TIDEWELL_TAP_PID", "-7");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 0);
    // 2^32 + 1 must not wrap around to process 1.
    env.Set("TIDEWELL_TAP_PID", "4294967297");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 0);
    env.Set("TIDEWELL_TAP_PID", "99999999999999999999999");
    EXPECT_EQ(TidewellProcessIDFromEnvironment("TIDEWELL_TAP_PID"), 0);
}

TEST(TapSettings, StartupTimeoutDefaultsOffValuesAndCap) {
    ScopedEnvironment env;
    env.Unset("TIDEWELL_TAP_STARTUP_TIMEOUT");
    EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), 30);
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "");
    EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), 30);
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "0");
    EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), 0);
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "-5");
    EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), 0);
    env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", "7s");
    EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), 7);
    // Values whose tenths overflow 32 bits (or 64) wait long; they never become an immediate timeout.
    for (const char* huge : {"300000000", "4294967296", "9223372036854775807", "999999999999999999999999"}) {
        env.Set("TIDEWELL_TAP_STARTUP_TIMEOUT", huge);
        EXPECT_EQ(TidewellTapStartupTimeoutSeconds(), kTidewellTapMaximumStartupTimeout) << huge;
    }
}

TEST(TapSettings, BufferFramesFollowTheProgramVariableFirst) {
    ScopedEnvironment env;
    env.Set("TIDEWELL_BUFFER_FRAMES", "256");
    env.Set("TIDEWELL_TAP_BUFFER_FRAMES", "48");
    EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), 192u);
    env.Unset("TIDEWELL_TAP_BUFFER_FRAMES");
    EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), 256u);
    env.Set("TIDEWELL_TAP_BUFFER_FRAMES", "4097");
    EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), 192u);
    env.Set("TIDEWELL_TAP_BUFFER_FRAMES", "256x");
    EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), 192u);
    env.Set("TIDEWELL_TAP_BUFFER_FRAMES", "4096");
    EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), 4096u);
}

TEST(HelperExecutables, OnlyTheThreeHelperNamesMatch) {
    EXPECT_TRUE(TidewellIsHelperExecutablePath("/opt/tidewell/bin/tidewell-process-tap"));
    EXPECT_TRUE(TidewellIsHelperExecutablePath("/x/tidewell-hardware-source"));
    EXPECT_TRUE(TidewellIsHelperExecutablePath("tidewell-monitor"));
    EXPECT_TRUE(TidewellIsHelperExecutablePath("/x/tidewell-monitor (deleted)"));
    EXPECT_FALSE(TidewellIsHelperExecutablePath("/x/tidewell-monitor2"));
    EXPECT_FALSE(TidewellIsHelperExecutablePath("/x/tidewell-service"));
    EXPECT_FALSE(TidewellIsHelperExecutablePath("/tidewell-monitor/audio-play"));
    EXPECT_FALSE(TidewellIsHelperExecutablePath(""));
    EXPECT_FALSE(TidewellIsHelperExecutablePath(nullptr));
}

TEST(InputBackends, SourceSpellingsAreExactAndDeviceIsAuto) {
    using B = TidewellSourceInputBackend;
    EXPECT_EQ(TidewellSourceInputBackendFromText(nullptr), B::Auto);
    for (const char* t : {"", "auto", "default", "device", "HAL", "Queue", "whatever"}) {
        EXPECT_EQ(TidewellSourceInputBackendFromText(t), B::Auto) << t;
    }
    for (const char* t : {"audio-device", "audio_device", "io-proc", "ioproc", "hal"}) {
        EXPECT_EQ(TidewellSourceInputBackendFromText(t), B::AudioDevice) << t;
    }
    for (const char* t : {"audio-queue", "audio_queue", "aq", "queue"}) {
        EXPECT_EQ(TidewellSourceInputBackendFromText(t), B::AudioQueue) << t;
    }
    EXPECT_STREQ(TidewellSourceInputBackendName(B::Auto), "auto");
    EXPECT_STREQ(TidewellSourceInputBackendName(B::AudioDevice), "audio-device");
    EXPECT_STREQ(TidewellSourceInputBackendName(B::AudioQueue), "audio-queue");
}

TEST(InputBackends, MonitorTakesDeviceButNotCapitals) {
    using B = TidewellMonitorInputBackend;
    EXPECT_EQ(TidewellMonitorInputBackendFromText("device"), B::AudioDevice);
    EXPECT_EQ(TidewellMonitorInputBackendFromText("hal"), B::AudioDevice);
    EXPECT_EQ(TidewellMonitorInputBackendFromText("HAL"), B::Auto);
    EXPECT_EQ(TidewellMonitorInputBackendFromText("aq"), B::AudioQueue);
    EXPECT_EQ(TidewellMonitorInputBackendFromText(""), B::Auto);
    EXPECT_STREQ(TidewellMonitorInputBackendName(B::AudioQueue), "audio-queue");
}

TEST(InputBackends, MonitorOutputBackendPrefersItsOwnThenSharedThenDevice) {
    ScopedEnvironment env;
    env.Unset("TIDEWELL_MONITOR_OUTPUT_BACKEND");
    env.Unset("TIDEWELL_OUTPUT_BACKEND");
    EXPECT_STREQ(TidewellMonitorOutputBackendText(), "audio-device");
    env.Set("TIDEWELL_OUTPUT_BACKEND", "aq");
    EXPECT_STREQ(TidewellMonitorOutputBackendText(), "aq");
    env.Set("TIDEWELL_MONITOR_OUTPUT_BACKEND", "");
    EXPECT_STREQ(TidewellMonitorOutputBackendText(), "aq");
    env.Set("TIDEWELL_MONITOR_OUTPUT_BACKEND", "audio-unit");
    EXPECT_STREQ(TidewellMonitorOutputBackendText(), "audio-unit");
}

}  // namespace
