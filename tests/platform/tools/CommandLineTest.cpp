// The command line the audio tools share: option/value pairs, usage and failure statuses.
#include <AudioToolsCommon/CommandLine.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

using namespace tidewell::tools;

namespace {

const ToolCommand kTool{"tw-tool", "usage: tw-tool [--name X]\n"};

// argv for a list of words, with the program name in front.
struct Args {
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "tw-tool");
        for (auto& w : words_) pointers_.push_back(w.data());
    }
    int argc() const { return static_cast<int>(pointers_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

struct ParseRun {
    std::optional<int> status;
    std::vector<std::pair<std::string, std::string>> seen;
    std::string stderrText;
};

// Knows --name; --stop ends the run with status 7; anything else is a usage error.
ParseRun parse(std::vector<std::string> words) {
    Args args(std::move(words));
    ParseRun run;
    testing::internal::CaptureStderr();
    run.status = kTool.parse(args.argc(), args.argv(), [&](const std::string& option, const char* value) -> std::optional<int> {
        run.seen.emplace_back(option, value);
        if (option == "--name") return std::nullopt;
        if (option == "--stop") return 7;
        return kTool.usageError();
    });
    run.stderrText = testing::internal::GetCapturedStderr();
    return run;
}

TEST(ToolCommandLineTest, TakesEveryPairInOrder) {
    ParseRun run = parse({"--name", "a", "--name", "--help"});
    EXPECT_FALSE(run.status.has_value());
    // A value is taken as it stands, even one that looks like an option.
    std::vector<std::pair<std::string, std::string>> expected{{"--name", "a"}, {"--name", "--help"}};
    EXPECT_EQ(run.seen, expected);
    EXPECT_EQ(run.stderrText, "");

    EXPECT_FALSE(parse({}).status.has_value());
}

TEST(ToolCommandLineTest, HelpPrintsTheUsageAndSucceeds) {
    for (const char* help : {"--help", "-h"}) {
        ParseRun run = parse({"--name", "a", help, "--unknown"});
        EXPECT_EQ(run.status, 0) << help;
        EXPECT_EQ(run.stderrText, "usage: tw-tool [--name X]\n");
        EXPECT_EQ(run.seen.size(), 1u);  // nothing after the help is read
    }
}

TEST(ToolCommandLineTest, AnOptionWithoutValueOrUnknownIsAUsageError) {
    ParseRun missing = parse({"--name", "a", "--name"});
    EXPECT_EQ(missing.status, kToolUsage);
    EXPECT_EQ(missing.stderrText, "usage: tw-tool [--name X]\n");
    EXPECT_EQ(missing.seen.size(), 1u);

    ParseRun unknown = parse({"--colour", "red", "--name", "a"});
    EXPECT_EQ(unknown.status, kToolUsage);
    EXPECT_EQ(unknown.stderrText, "usage: tw-tool [--name X]\n");
    EXPECT_EQ(unknown.seen.size(), 1u);  // parsing stops at the first refusal
}

TEST(ToolCommandLineTest, TheHandlersStatusEndsTheRun) {
    ParseRun run = parse({"--stop", "now", "--name", "a"});
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(run.seen.size(), 1u);
}

TEST(ToolCommandLineTest, FailuresNameTheTool) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(kTool.fail("the device is gone"), kToolFailed);
    EXPECT_EQ(kTool.badArgument("--level needs a number, not \"x\""), kToolUsage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tw-tool: the device is gone\ntw-tool: --level needs a number, not \"x\"\n");
    EXPECT_EQ(kToolFailed, 1);
    EXPECT_EQ(kToolUsage, 2);
}

TEST(ToolCommandLineTest, AnInterruptAsksToStopInsteadOfEndingTheProcess) {
    installStopSignals();
    EXPECT_FALSE(stopRequested());
    std::raise(SIGTERM);
    EXPECT_TRUE(stopRequested());
}

}  // namespace
