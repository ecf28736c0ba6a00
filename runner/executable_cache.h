// Where a script's executable lives in /tmp/ and whether it must be built again.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Ends the run through error_page when SCRIPT_FILENAME names nothing that can be examined.
void check_script_path(const RunState& state);

// "/tmp/zr-executable_" + the script path without "/"; in force mode a unique suffix, and
// ZR_Interpreter_ParamForce is set to "1".
void set_executable_path(RunState& state);

// True when the script's modification time is later than the executable's (a missing
// executable counts as time 0).
bool executable_is_stale(const RunState& state);

bool force_mode(const RunState& state);

}  // namespace sr
