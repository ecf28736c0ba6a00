// The script language's compiler and the optional packer, both found beside the runner.
#pragma once

#include <optional>
#include <string>

#include "runner/run_state.h"

namespace sr {

// Compiles source_path into executable_path within five seconds. Returns the run's fatal message
// when the compile fails ("Compiler could not be started." or the compiler's output), else
// nothing. A compiler still running at the limit has been killed by then.
std::optional<std::string> compile_script(const RunState& state);

// Packs executable_path with upx; a packer that cannot be started only warns.
void compress_executable(const RunState& state);

}  // namespace sr
