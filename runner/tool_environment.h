// The environment of the compiler and the packer: fixed by the runner and the administrator,
// never taken from the request, so that no request can load code into them (LD_PRELOAD and
// the like) or point them at files of its choosing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "runner/run_state.h"

namespace sr {

// The search path that the tools get instead of the request's.
inline constexpr char kToolPath[] = "/usr/local/bin:/usr/bin:/bin";

// Reads one variable of the runner's own environment; null when it is not set.
using EnvironmentLookUp = std::function<const char*(const std::string& name)>;

// "NAME=VALUE" entries: PATH, the runner's variables that the compiler inherits
// (ZR_Interpreter_Version, TAMRIVOLE_HOME, ZR_Interpreter_ParamForce in force mode),
// SCRIPT_FILENAME as the runner checked it, and each set variable named in ZR_Interpreter_ToolEnv
// (names separated by blanks; such a name may replace PATH, none of the runner's own). Nothing
// else.
std::vector<std::string> tool_environment(const std::string& program_filename, bool force,
                                          const std::string& script_path,
                                          const EnvironmentLookUp& look_up);

// The same for this run, read from the process's environment.
std::vector<std::string> tool_environment(const RunState& state);

}  // namespace sr
