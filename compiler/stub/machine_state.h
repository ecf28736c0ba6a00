// Everything a running program uses: its variables, its two value stacks, its streams, the host
// that gives it its world and the line being run. One per run; shared by the instruction loop
// and the builtin functions.
#pragma once

#include <stdint.h>

#include "compiler/stub/call_frames.h"
#include "compiler/stub/file_locks.h"
#include "compiler/stub/host.h"
#include "compiler/stub/pod_array.h"
#include "compiler/stub/program_reader.h"
#include "compiler/stub/run_failure.h"
#include "compiler/stub/stream_io.h"
#include "compiler/stub/text.h"

namespace sr::zr {

struct MachineState {
  MachineState(const LoadedProgram& loaded, const Host& world)
      : program(loaded),
        host(world),
        calls(int_vars, string_vars,
              ProcedureInfo{0, loaded.int_slots, loaded.string_slots, loaded.array_slots}),
        out(world),
        in(world) {}

  // The compiler balances every stack; an empty one means the file was tampered with.
  int64_t pop_int() {
    if (ints.empty()) fail_run("the program is damaged");
    return ints.pop();
  }
  Text pop_text() {
    if (strings.empty()) fail_run("the program is damaged");
    return strings.pop();
  }
  void push_int(int64_t value) { ints.push(value); }
  void push_text(Text text) { strings.push(moved(text)); }

  const LoadedProgram& program;
  const Host& host;
  PodArray<int64_t> int_vars;  // the top level's variables
  TextList string_vars;
  CallStack calls;  // declared after the tables it sizes
  PodArray<int64_t> ints;
  TextList strings;
  OutputBuffer out;
  InputReader in;
  RunLocks locks;  // let go when the run ends, however it ends
  uint32_t line = 0;
};

}  // namespace sr::zr
