// Compiles a whole source, with the files it includes, into a program or into the list of
// errors that prevent it.
#pragma once

#include <string>
#include <vector>

#include "compiler/compile_error.h"
#include "compiler/include_expander.h"
#include "compiler/program_format.h"

namespace sr::zr {

// `lines` are the source of the file at `path`; its Include lines are read with `reader`.
// Returns true with `program` filled, or false with at least one error, in line order.
bool compile_program(const std::string& path, const std::vector<std::string>& lines,
                     const IncludeReader& reader, Program& program,
                     std::vector<CompileError>& errors);

}  // namespace sr::zr
