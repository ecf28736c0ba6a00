// Plain mode: the temporary source is the script with ";" over its first character, which turns
// the shebang line into a comment.
#pragma once

#include "runner/run_state.h"

namespace sr {

// Reads script_path, writes source_path; ends the run through error_page on failure.
void prepare_plain_source(const RunState& state);

}  // namespace sr
