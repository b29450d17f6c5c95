// A launch-agent definition as launchctl reads it from the agents' folder. Anything that is
// not a valid agent is refused with the tool's I/O error; what is accepted is usable: a
// label that names a file and a unit, and a program to run.
#include "launch/AgentDefinition.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    try {
        const tidewell::launch::AgentDefinition agent = tidewell::launch::parseAgentDefinition(xml, "fuzz.plist");
        if (!tidewell::launch::isValidLabel(agent.label) || agent.programArguments.empty() ||
            agent.programArguments.front().empty()) {
            std::fprintf(stderr, "accepted an agent that cannot run: label '%s'\n", agent.label.c_str());
            std::abort();
        }
    } catch (const tidewell::launch::LaunchError& e) {
        if (e.code() != tidewell::launch::kExitIOError) std::abort();
    }
    return 0;
}
