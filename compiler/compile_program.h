// Compiles a whole source into a program, or into the list of errors that prevent it.
#pragma once

#include <string>
#include <vector>

#include "compiler/program_format.h"

namespace sr::zr {

struct CompileError {
  uint32_t line;  // from 1
  std::string message;
};

// Returns true with `program` filled, or false with at least one error, in line order.
bool compile_program(const std::vector<std::string>& lines, Program& program,
                     std::vector<CompileError>& errors);

}  // namespace sr::zr
