// Runs a loaded program: the stack machine behind every executable.
#pragma once

#include "compiler/stub/program_reader.h"

namespace sr::zr {

// Runs `program` with the process's arguments. Returns the exit code: the value of End (0 when
// the program runs off its end). A run-time error does not return: standard output is flushed,
// "Runtime error at line N: message" goes to standard error and the process exits with 1.
int run_program(const LoadedProgram& program, int argc, char** argv);

}  // namespace sr::zr
