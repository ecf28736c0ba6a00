// Makes sure that a trusted, current executable of this very script is at executable_path,
// building it when it is not: one compile at a time per executable.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Sets source_path when this run compiles. Ends the run through error_page on any failure.
void provide_executable(RunState& state);

// Deletes this run's temporary source, waiting for a compile of the same executable that
// another run may have started meanwhile.
void delete_temporary_source(const RunState& state);

}  // namespace sr
