// Runs a loaded program: the stack machine behind every executable.
#pragma once

#include "compiler/stub/host.h"
#include "compiler/stub/program_reader.h"

namespace sr::zr {

struct RunEnd {
  int exit_code;  // End's value (0 when the program runs off its end), 1 after an error
  bool failed;    // ended by a run-time error
};

// Runs `program` in the world that `host` gives it. A run-time error flushes the output first
// and writes "Runtime error at line N: message" to the host's error stream. The process goes on
// either way; every block the run made is freed, except those that a failed run left behind in
// skipped frames, which release_run_blocks frees.
RunEnd run_program(const LoadedProgram& program, const Host& host);

}  // namespace sr::zr
