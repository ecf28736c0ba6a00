// The cache decision: whether the executable at executable_path may run for this script as it
// is, or must be built first.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Ends the run through error_page when SCRIPT_FILENAME names nothing that can be examined.
void check_script_path(const RunState& state);

// True when executable_path holds a trusted file whose modification time is not earlier than
// the script's; it is then open in state.executable_fd, and that open file is what runs.
bool open_current_executable(RunState& state);

// Opens the executable that this run has just built into state.executable_fd; ends the run
// through error_page when it is gone or not a trusted file.
void open_built_executable(RunState& state);

}  // namespace sr
