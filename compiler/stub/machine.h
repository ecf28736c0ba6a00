// Runs a loaded program: the stack machine behind every executable.
#pragma once

#include "compiler/stub/host.h"
#include "compiler/stub/program_reader.h"

namespace sr::zr {

// Runs `program` in the world that `host` gives it. Returns the exit code: the value of End (0
// when the program runs off its end), or 1 after a run-time error, for which the output is
// flushed first and "Runtime error at line N: message" goes to the host's error stream. The
// process goes on either way; every block the run made is freed, except those that a failed
// run left behind in skipped frames, which release_run_blocks frees.
int run_program(const LoadedProgram& program, const Host& host);

}  // namespace sr::zr
