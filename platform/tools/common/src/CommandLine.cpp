#include <AudioToolsCommon/CommandLine.h>

#include <csignal>
#include <cstdio>

namespace tidewell::tools {

namespace {

volatile std::sig_atomic_t gStop = 0;
void onStopSignal(int) { gStop = 1; }

}  // namespace

int ToolCommand::usageError() const {
    std::fputs(usage, stderr);
    return kToolUsage;
}

int ToolCommand::fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", name, message.c_str());
    return kToolFailed;
}

int ToolCommand::badArgument(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", name, message.c_str());
    return kToolUsage;
}

std::optional<int> ToolCommand::parse(int argc, char** argv, const OptionHandler& handle) const {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            usageError();
            return 0;
        }
        if (i + 1 >= argc) return usageError();
        if (auto status = handle(option, argv[++i])) return status;
    }
    return std::nullopt;
}

void installStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool stopRequested() { return gStop != 0; }

}  // namespace tidewell::tools
