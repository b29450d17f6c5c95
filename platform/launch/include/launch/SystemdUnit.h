#pragma once
// The systemd user unit that runs a launch agent where a user manager answers.

#include <string>

#include "launch/AgentDefinition.h"

namespace tidewell::launch {

// "agent-" + label + ".service".
std::string systemdUnitName(const std::string& label);

// The unit file's text: the program with its arguments, the agent's environment, standard
// output and error appended to the agent's log paths, restart 10 s after any exit when the
// agent is kept alive, and an install section when it runs at load (so `enable` starts it at
// the next login, as agents in the user's folder are loaded there). Throws LaunchError
// (kExitIOError) for a definition, output or error path the unit cannot carry as it is: one
// with a control character, or ending in a blank or a backslash.
std::string systemdUnitText(const AgentDefinition& agent);

// The agent definition's path as a unit text of systemdUnitText names it; empty when it names none.
std::string systemdUnitSourcePath(const std::string& unitText);

}  // namespace tidewell::launch
