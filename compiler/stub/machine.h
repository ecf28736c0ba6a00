// Runs a loaded program: the stack machine behind every executable.
#pragma once

#include "compiler/program_format.h"

namespace sr::zr {

// Runs `program` with the process's arguments. Returns the exit code: the value of End (0 when
// the program runs off its end) or 1 after a run-time error, which has then been reported on
// standard error as "Runtime error at line N: message". Standard output is flushed either way.
int run_program(const Program& program, int argc, char** argv);

}  // namespace sr::zr
