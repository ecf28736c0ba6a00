// The cache phase: finds or builds a trusted, current executable of this very script and opens
// it into state.executable_fd. One build at a time per cached executable.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Sets executable_path (and source_path when this run compiles). Ends the run through
// error_page on any failure.
void provide_executable(RunState& state);

}  // namespace sr
