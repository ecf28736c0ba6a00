// The script language's compiler and the optional packer, both found beside the runner.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Compiles source_path into executable_path within five seconds; ends the run through
// error_page with the compiler's output when the compile fails.
void compile_script(const RunState& state);

// Packs executable_path with upx; a packer that cannot be started only warns.
void compress_executable(const RunState& state);

}  // namespace sr
