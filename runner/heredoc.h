// Parse mode: the temporary source written line by line with here-document blocks expanded.
#pragma once

#include <cstdint>
#include <string_view>

#include "runner/run_state.h"

namespace sr {

// 1-based position of the last occurrence of `pattern` in `text`; 0 when the pattern is empty,
// longer than the text or absent. Mode 0 compares exactly, any other mode ignores ASCII case.
std::int64_t find_last_string(std::string_view text, std::string_view pattern, int mode);

// Reads state.script_path, writes state.source_path; ends the run through error_page on failure.
void preprocess_script(const RunState& state);

}  // namespace sr
